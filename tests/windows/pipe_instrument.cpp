#include "pipe_instrument.h"

#include <gtest/gtest.h>

#include <atomic>

namespace velmar::win32::testing {
namespace {

// Waits for an overlapped operation on the instrument's side; the test
// itself must never hang on a library fault.
constexpr DWORD kInstrumentPatienceMs = 2000;

bool FinishOverlapped(HANDLE handle, OVERLAPPED* record, BOOL started, DWORD* count) {
    if (!started && GetLastError() != ERROR_IO_PENDING) return false;
    if (WaitForSingleObject(record->hEvent, kInstrumentPatienceMs) != WAIT_OBJECT_0) {
        CancelIoEx(handle, record);
        GetOverlappedResult(handle, record, count, TRUE);
        return false;
    }
    return GetOverlappedResult(handle, record, count, TRUE) != FALSE;
}

}  // namespace

uint64_t NowMs() {
    return GetTickCount64();
}

PipeInstrument::PipeInstrument() {
    static std::atomic<int> serial{0};
    path_ = "\\\\.\\pipe\\velmar-dds-test-" + std::to_string(GetCurrentProcessId()) + "-" +
            std::to_string(serial++);
    server_ = CreateNamedPipeA(path_.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                               PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, 1, 4096, 4096,
                               0, nullptr);
    EXPECT_NE(server_, INVALID_HANDLE_VALUE) << "CreateNamedPipeA error " << GetLastError();
}

PipeInstrument::~PipeInstrument() {
    if (delayed_.joinable()) delayed_.join();
    if (server_ != INVALID_HANDLE_VALUE) CloseHandle(server_);
}

HANDLE PipeInstrument::Connect() {
    OVERLAPPED record{};
    record.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    const BOOL accepted = ConnectNamedPipe(server_, &record);
    const DWORD accept_error = GetLastError();

    HANDLE client = INVALID_HANDLE_VALUE;
    if (!OpenDevicePath(path_, &client)) {
        ADD_FAILURE() << "the library could not open " << path_ << ": error " << GetLastError();
        CancelIoEx(server_, &record);
        DWORD ignored = 0;
        GetOverlappedResult(server_, &record, &ignored, TRUE);
        CloseHandle(record.hEvent);
        return INVALID_HANDLE_VALUE;
    }
    DWORD mode = PIPE_READMODE_MESSAGE;
    EXPECT_TRUE(SetNamedPipeHandleState(client, &mode, nullptr, nullptr));

    if (!accepted && accept_error == ERROR_IO_PENDING) {
        DWORD ignored = 0;
        SetLastError(ERROR_IO_PENDING);
        EXPECT_TRUE(FinishOverlapped(server_, &record, FALSE, &ignored));
    } else {
        // ERROR_PIPE_CONNECTED: the client came first, which is as good.
        EXPECT_TRUE(accepted || accept_error == ERROR_PIPE_CONNECTED) << accept_error;
    }
    CloseHandle(record.hEvent);
    return client;
}

Bytes PipeInstrument::Receive() {
    Bytes message(4096);
    OVERLAPPED record{};
    record.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    DWORD count = 0;
    BOOL started =
        ReadFile(server_, message.data(), static_cast<DWORD>(message.size()), nullptr, &record);
    if (!started && GetLastError() == ERROR_PIPE_LISTENING) {
        // The library has not opened the instrument yet (it opens it itself
        // when a search found it): wait for it, then read.
        const BOOL accepted = ConnectNamedPipe(server_, &record);
        DWORD ignored = 0;
        if (accepted || GetLastError() == ERROR_PIPE_CONNECTED ||
            FinishOverlapped(server_, &record, FALSE, &ignored)) {
            const HANDLE event = record.hEvent;
            record = OVERLAPPED{};
            record.hEvent = event;
            started = ReadFile(server_, message.data(), static_cast<DWORD>(message.size()), nullptr,
                               &record);
        }
    }
    const bool ok = FinishOverlapped(server_, &record, started, &count);
    CloseHandle(record.hEvent);
    EXPECT_TRUE(ok) << "the instrument received no message";
    message.resize(ok ? count : 0);
    return message;
}

void PipeInstrument::Answer(const Bytes& bytes) {
    OVERLAPPED record{};
    record.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    DWORD count = 0;
    const BOOL started =
        WriteFile(server_, bytes.data(), static_cast<DWORD>(bytes.size()), nullptr, &record);
    const bool ok = FinishOverlapped(server_, &record, started, &count);
    CloseHandle(record.hEvent);
    EXPECT_TRUE(ok && count == bytes.size()) << "the instrument could not answer";
}

void PipeInstrument::AnswerAfter(const Bytes& bytes, DWORD delay_ms) {
    AwaitDelayedAnswer();
    delayed_ = std::thread([this, bytes, delay_ms] {
        Sleep(delay_ms);
        Answer(bytes);
    });
}

void PipeInstrument::AwaitDelayedAnswer() {
    if (delayed_.joinable()) delayed_.join();
}

void PipeInstrument::RespondToNextMessage(const Bytes& answer) {
    AwaitDelayedAnswer();
    responded_to_.clear();
    delayed_ = std::thread([this, answer] {
        responded_to_ = Receive();
        if (!responded_to_.empty()) Answer(answer);
    });
}

Bytes PipeInstrument::AwaitRespondedMessage() {
    AwaitDelayedAnswer();
    return responded_to_;
}

void PipeInstrument::HangUp() {
    AwaitDelayedAnswer();
    if (server_ == INVALID_HANDLE_VALUE) return;
    DisconnectNamedPipe(server_);
    CloseHandle(server_);
    server_ = INVALID_HANDLE_VALUE;
}

}  // namespace velmar::win32::testing
