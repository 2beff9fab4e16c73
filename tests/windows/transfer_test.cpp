// The Windows transfers against a stand-in instrument on a message-mode
// named pipe: real overlapped I/O, real events, the real 1000 ms limit; and
// against a scripted driver that never ends a cancelled request.

#include "device/transfer.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "pipe_instrument.h"
#include "velmar/dds.h"

namespace velmar::win32::testing {
namespace {

constexpr DWORD kLimit = kTransferTimeoutMs;
// Slack for a loaded machine running Wine; a hang would still exceed it.
constexpr uint64_t kSlackMs = 1500;
// Under this, a transfer was not waited out: it ended before the limit.
constexpr uint64_t kNotWaitedMs = kLimit - 100;

const Bytes kReport = {0x34, 0x12, 0x78, 0x56, 0x34, 0x12, 0xA0, 0x0F, 0x00, 0x00};

class PipeTransferTest : public ::testing::Test {
  protected:
    void SetUp() override {
        const HANDLE pipe = instrument.Connect();
        ASSERT_NE(pipe, INVALID_HANDLE_VALUE);
        device = Device::Attach(pipe);
        ASSERT_NE(device, nullptr);
    }
    void TearDown() override {
        instrument.AwaitDelayedAnswer();
        if (device != nullptr) Device::Close(device);
    }

    // Reads into a buffer filled with a marker, so that any byte that lands
    // shows.
    TransferStatus ReadMarked(DWORD capacity) {
        std::fill(std::begin(buffer), std::end(buffer), kMarker);
        received = 0xFFFF;
        return device->Read(buffer, capacity, &received, kLimit);
    }
    bool BufferUntouched() const {
        return std::all_of(std::begin(buffer), std::end(buffer),
                           [](uint8_t b) { return b == kMarker; });
    }

    static constexpr uint8_t kMarker = 0xEE;
    PipeInstrument instrument;
    Device* device = nullptr;
    uint8_t buffer[32];
    DWORD received = 0;
};

TEST_F(PipeTransferTest, AnAnswerThatComesInTimeIsReceivedWhole) {
    const Bytes packet = {0xA0, 0x04, 0x00, 0x00, 0x00, 0x30, 0x00};
    ASSERT_EQ(device->Write(packet.data(), 7, kLimit), TransferStatus::kOk);
    EXPECT_EQ(instrument.Receive(), packet);

    instrument.AnswerAfter(kReport, 200);
    const uint64_t start = NowMs();
    ASSERT_EQ(ReadMarked(10), TransferStatus::kOk);
    EXPECT_LT(NowMs() - start, kNotWaitedMs) << "the read waited for the answer, not the limit";
    EXPECT_EQ(received, 10u);
    EXPECT_EQ(Bytes(buffer, buffer + 10), kReport);
}

TEST_F(PipeTransferTest, TransfersThatCompleteAtOnceStillSucceed) {
    // The pipe takes the message into its buffer before WriteFile returns,
    // and the answer is waiting before ReadFile is called.
    const Bytes ack_request = {0xA2};
    ASSERT_EQ(device->Write(ack_request.data(), 1, kLimit), TransferStatus::kOk);
    EXPECT_EQ(instrument.Receive(), ack_request);
    instrument.Answer({0x55});
    const uint64_t start = NowMs();
    ASSERT_EQ(ReadMarked(1), TransferStatus::kOk);
    EXPECT_LT(NowMs() - start, kNotWaitedMs);
    EXPECT_EQ(received, 1u);
    EXPECT_EQ(buffer[0], 0x55);
}

TEST_F(PipeTransferTest, ReadReportsHowManyBytesArrived) {
    // The core decides that a short answer is no answer; it must be told.
    instrument.Answer({1, 2, 3});
    ASSERT_EQ(ReadMarked(10), TransferStatus::kOk);
    EXPECT_EQ(received, 3u);
    EXPECT_EQ(Bytes(buffer, buffer + 3), (Bytes{1, 2, 3}));
}

TEST_F(PipeTransferTest, AnAnswerLongerThanAskedIsAFailedRead) {
    instrument.Answer(Bytes(12, 0x11));
    EXPECT_EQ(ReadMarked(10), TransferStatus::kReadFailed);
    EXPECT_EQ(received, 0u);
}

TEST_F(PipeTransferTest, SilenceTimesOutAfterTheLimitAndLeavesNothingPending) {
    const uint64_t start = NowMs();
    EXPECT_EQ(ReadMarked(10), TransferStatus::kTimeout);
    const uint64_t waited = NowMs() - start;
    EXPECT_GE(waited + 20, kLimit) << "GetTickCount64 ticks in 10-16 ms steps";
    EXPECT_LT(waited, kLimit + kSlackMs);
    EXPECT_EQ(received, 0u);

    // The cancelled read is over: the next answer goes to the next read.
    instrument.Answer(kReport);
    ASSERT_EQ(ReadMarked(10), TransferStatus::kOk);
    EXPECT_EQ(Bytes(buffer, buffer + 10), kReport);
}

TEST_F(PipeTransferTest, AnAnswerAfterItsReadTimedOutLandsNowhere) {
    instrument.AnswerAfter(kReport, kLimit + 300);
    EXPECT_EQ(ReadMarked(10), TransferStatus::kTimeout);
    instrument.AwaitDelayedAnswer();
    Sleep(100);
    EXPECT_TRUE(BufferUntouched())
        << "the late answer was written into a buffer the read gave back";
}

TEST_F(PipeTransferTest, AfterAMissedAnswerTheNextMessageGetsItsOwnAnswer) {
    // Through the core: once a read on this connection timed out, the late
    // answer is dropped before the next message, so the next read gets the
    // answer to that message.
    bool marked = false;
    ControlShadow shadow;
    {
        InstrumentConnection connection(SystemPlatform(), reinterpret_cast<DeviceHandle>(device),
                                        marked);
        instrument.AnswerAfter(kReport, kLimit + 300);
        EXPECT_EQ(connection.ReadWithTimeout(buffer, 10), TransferStatus::kTimeout);
        instrument.AwaitDelayedAnswer();

        const Bytes fresh = {9, 8, 7, 6, 5, 4, 3, 2, 1, 0};
        instrument.RespondToNextMessage(fresh);
        ASSERT_EQ(connection.ExchangeControl(shadow), TransferStatus::kOk);
        EXPECT_EQ(shadow.report.bytes(),
                  StatusReport(std::array<uint8_t, 10>{9, 8, 7, 6, 5, 4, 3, 2, 1, 0}).bytes());
        EXPECT_EQ(instrument.AwaitRespondedMessage().size(), 7u);
    }
    EXPECT_TRUE(marked) << "the mark stays: this call missed an answer";
}

TEST_F(PipeTransferTest, StaleAnswersAreDroppedWithoutWaiting) {
    instrument.Answer({1});
    instrument.Answer({2, 2});
    const uint64_t start = NowMs();
    EXPECT_EQ(device->DropWaitingAnswers(16), 2);
    EXPECT_EQ(device->DropWaitingAnswers(16), 0) << "nothing more was waiting";
    EXPECT_LT(NowMs() - start, kNotWaitedMs);
}

TEST_F(PipeTransferTest, AWriteToAnInstrumentThatWentAwayIsRefusedAtItsStart) {
    instrument.HangUp();
    const Bytes packet = {0xA0, 0, 0, 0, 0, 0, 0};
    const uint64_t start = NowMs();
    EXPECT_EQ(device->Write(packet.data(), 7, kLimit), TransferStatus::kStartFailed);
    EXPECT_EQ(ReadMarked(10), TransferStatus::kStartFailed);
    EXPECT_LT(NowMs() - start, kNotWaitedMs) << "a refused transfer is not waited for";
    EXPECT_TRUE(BufferUntouched());
}

// The core's control exchange over the real transfers: what the instrument
// receives, what it answers, what the library keeps.
TEST_F(PipeTransferTest, ControlExchangeOverThePipe) {
    InstrumentState state;
    ControlShadow& shadow = state.shadow;
    shadow.packet.set_control_word(kSingleWaveBit);
    shadow.packet.set_divider(48);
    bool marked = false;
    InstrumentConnection open(SystemPlatform(), reinterpret_cast<DeviceHandle>(device), marked);

    instrument.RespondToNextMessage(kReport);
    ASSERT_EQ(open.ExchangeControl(shadow), TransferStatus::kOk);
    EXPECT_EQ(instrument.AwaitRespondedMessage(),
              (Bytes{0xA0, 0x04, 0x00, 0x00, 0x00, 0x30, 0x00}));
    EXPECT_EQ(shadow.report.digital_in(), 0x1234);

    // A short report is no report: the image keeps the last whole one.
    instrument.RespondToNextMessage({0xFF, 0xFF, 0xFF});
    EXPECT_EQ(open.ExchangeControl(shadow), TransferStatus::kReadFailed);
    EXPECT_EQ(instrument.AwaitRespondedMessage().size(), 7u);
    EXPECT_EQ(shadow.report.digital_in(), 0x1234);
    EXPECT_EQ(open.first_failure().code, ErrorCode::kBadAnswer);
}

// The session API over the real Windows transfers: a handle keeps its pipe
// open across calls, and a pipe that broke is told as a disconnection.
TEST(SessionOverPipeTest, AHandleKeepsItsDeviceAndTellsAHangUp) {
    PipeInstrument instrument;
    velmar_dds* h = nullptr;
    ASSERT_EQ(velmar_dds_open(instrument.path().c_str(), &h), VELMAR_DDS_OK)
        << velmar_dds_last_message();
    for (int call = 0; call < 2; ++call) {
        instrument.RespondToNextMessage(kReport);
        uint16_t word = 0;
        EXPECT_EQ(velmar_dds_get_digital_in(h, &word), VELMAR_DDS_OK) << velmar_dds_last_message();
        EXPECT_EQ(instrument.AwaitRespondedMessage().size(), 7u);
        EXPECT_EQ(word, 0x1234);
    }
    instrument.HangUp();
    EXPECT_EQ(velmar_dds_set_divider(h, 3), VELMAR_DDS_ERROR_DISCONNECTED)
        << velmar_dds_last_message();
    velmar_dds_close(h);
}

// ---- A driver that never ends a cancelled request ----------------------------

// Every transfer starts and stays pending; no wait is ever satisfied, not
// even after the cancel. Records what the device asked of it.
struct StuckDriver {
    static inline int starts = 0;
    static inline int cancels = 0;
    static inline std::vector<DWORD> waits;

    static BOOL WINAPI Start(HANDLE, LPCVOID, DWORD, LPDWORD, LPOVERLAPPED) {
        ++starts;
        SetLastError(ERROR_IO_PENDING);
        return FALSE;
    }
    static BOOL WINAPI StartRead(HANDLE h, LPVOID b, DWORD n, LPDWORD c, LPOVERLAPPED o) {
        return Start(h, b, n, c, o);
    }
    static DWORD WINAPI Wait(HANDLE, DWORD ms) {
        waits.push_back(ms);
        return WAIT_TIMEOUT;
    }
    static BOOL WINAPI Result(HANDLE, LPOVERLAPPED, LPDWORD, BOOL) {
        ADD_FAILURE() << "a transfer that never ended was asked for its result";
        return FALSE;
    }
    static BOOL WINAPI Cancel(HANDLE, LPOVERLAPPED) {
        ++cancels;
        return TRUE;
    }
};
const OverlappedApi kStuckDriver{&StuckDriver::Start,  &StuckDriver::StartRead, &StuckDriver::Wait,
                                 &StuckDriver::Result, &StuckDriver::Cancel,    &GetLastError};

TEST(StuckDriverTest, ACancelThatNeverEndsGivesUpTheDeviceWithinItsBound) {
    StuckDriver::starts = StuckDriver::cancels = 0;
    StuckDriver::waits.clear();
    PipeInstrument instrument;
    Device* device = Device::Attach(instrument.Connect(), kStuckDriver);
    ASSERT_NE(device, nullptr);
    uint8_t answer[10] = {};
    DWORD got = 0;
    EXPECT_EQ(device->Read(answer, 10, &got, kLimit), TransferStatus::kTimeout);
    EXPECT_TRUE(device->given_up());
    EXPECT_EQ(StuckDriver::waits, (std::vector<DWORD>{kLimit, kCancelLimitMs}))
        << "the transfer's limit, then the cancel's: never an endless wait";
    EXPECT_EQ(StuckDriver::cancels, 1);

    // Nothing of the device is used again: later transfers fail at once.
    const uint8_t packet[7] = {0xA0};
    EXPECT_EQ(device->Write(packet, 7, kLimit), TransferStatus::kStartFailed);
    EXPECT_EQ(device->Read(answer, 10, &got, kLimit), TransferStatus::kStartFailed);
    EXPECT_EQ(device->DropWaitingAnswers(16), 0);
    EXPECT_EQ(StuckDriver::starts, 1);
    EXPECT_EQ(StuckDriver::waits.size(), 2u);
    // Closes the handle, and keeps the record and buffer the system may
    // still write into.
    Device::Close(device);
}

}  // namespace
}  // namespace velmar::win32::testing
