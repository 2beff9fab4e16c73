// A scripted instrument behind the OS seam. It answers like the real one (a
// report after a control packet, an acknowledgement after anything else)
// unless the test scripts another answer for a given message: nothing, a
// short answer, a refused write, a failed read, a hang-up, or an answer so
// late that the driver hands it to the next connection to that instrument.
// Answers wait in a queue per connection until a read takes them or the
// library drops them. It records every message, open, close and pause, and
// never sleeps for real, so conversations with it run in microseconds.
//
// The suites script answers by message number; the library's fuzzer sets
// `answer_for` and draws each answer from its input. Both are told when the
// library breaks the driver's rules (two devices open at once where only one
// may be, a handle it does not hold, a time limit other than the one set).
//
// Sessions keep several instruments open at once (`many_open`), from several
// threads, and keep each instrument's state in a record the platform holds:
// here a map from path to bytes, with an identity per path that a test
// changes to play an instrument replaced behind the same path.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <string>
#include <vector>

#include "device/platform.h"
#include "protocol/protocol.h"
#include "wire_messages.h"

namespace velmar::testing {

// What the instrument does with one message.
struct Answer {
    enum class Kind { kNormal, kBytes, kSilent, kWriteRefused, kReadFails, kLate, kHangUp };
    Kind kind = Kind::kNormal;
    Bytes bytes;  // for kBytes

    static Answer Normal() { return {}; }
    static Answer With(Bytes b) { return {Kind::kBytes, std::move(b)}; }
    static Answer Silent() { return {Kind::kSilent, {}}; }
    static Answer WriteRefused() { return {Kind::kWriteRefused, {}}; }
    static Answer ReadFails() { return {Kind::kReadFails, {}}; }
    // The read times out; the normal answer then waits on the next
    // connection opened to the same instrument, as a driver may deliver it
    // to the next handle.
    static Answer Late() { return {Kind::kLate, {}}; }
    // The instrument takes the message and hangs up: answers already
    // waiting can still be read, then every read fails and every write is
    // refused until the connection is closed.
    static Answer HangUp() { return {Kind::kHangUp, {}}; }
};

class ScriptedInstrument final : public Platform {
  public:
    // Enumeration the platform gives.
    bool enumeration_possible = true;
    int32_t interfaces = -1;  // -1: as many as paths
    std::vector<std::string> paths;
    std::set<std::string> unplugged;  // paths whose open fails

    // The report every control packet is answered with, unless scripted.
    StatusReport report;
    // Scripted answers by message number (0-based over the whole test).
    std::map<size_t, Answer> script;
    // From this message number on, every message goes unanswered.
    size_t silent_from = SIZE_MAX;
    // When set, decides every answer instead of `script` and `silent_from`.
    std::function<Answer(const Bytes& message)> answer_for;
    // Told of every broken rule; unset, a broken rule aborts.
    std::function<void(const std::string& what)> on_violation;
    // Answers still waiting when a connection closes go to the next
    // connection to that instrument, as a driver that keeps them would.
    bool answers_outlive_close = false;
    // Several devices may be open at once (sessions), not one per call.
    bool many_open = false;
    // The time limit every transfer must be given.
    uint32_t timeout_ms = 1000;
    // Paths whose open is refused although they exist (unplugged ones do not).
    std::set<std::string> refusing;
    // The state records are kept by path, each under a lock of its own, with
    // the identity of the instrument at each path (0 unless set). Without
    // `keeps_records` there is no place for them.
    bool keeps_records = true;
    std::map<std::string, uint64_t> identities;

    // What happened.
    std::vector<Bytes> messages;      // every message written, refused ones too
    std::vector<std::string> message_paths;  // the instrument each went to
    std::vector<Bytes> answers_read;  // every answer a read handed over, as cut
    std::vector<uint32_t> sleeps;     // every pause, in milliseconds
    std::vector<std::string> opened;  // every path opened
    int open_handles = 0;
    int reads = 0;
    int reads_without_message = 0;  // reads not preceded by an accepted write
    int dropped = 0;                // answers the library dropped unread

    Enumeration EnumerateDevices() override;
    bool Open(const std::string& path, DeviceHandle* handle) override;
    void Close(DeviceHandle handle) override;
    TransferStatus Write(DeviceHandle handle, const uint8_t* data, size_t length,
                         uint32_t timeout_ms) override;
    TransferStatus Read(DeviceHandle handle, uint8_t* buffer, size_t capacity, size_t* received,
                        uint32_t timeout_ms) override;
    int DropWaitingAnswers(DeviceHandle handle, int most) override;
    void Sleep(uint32_t milliseconds) override;
    std::string LastFailure() const override;
    FailureKind LastFailureKind() const override;
    std::unique_ptr<StateRecord> OpenStateRecord(const std::string& device_path,
                                                 uint64_t* identity) override;

    // A record's bytes under a lock of their own.
    struct RecordSlot;

    // The messages that went to `path`.
    std::vector<Bytes> MessagesTo(const std::string& path) const;

    // The control words of the control packets sent, in order.
    std::vector<uint16_t> ControlWords() const;

  private:
    // An answer waiting on a connection; a failed read is one too.
    struct Waiting {
        bool read_fails = false;
        Bytes bytes;
    };
    struct Connection {
        std::string path;
        std::deque<Waiting> waiting;
        bool hung_up = false;
        bool wrote_since_read = false;
    };
    Bytes NormalAnswerTo(const Bytes& message) const;
    void Expect(bool holds, const std::string& rule);
    Connection* Find(DeviceHandle handle, uint32_t timeout_ms);

    // Held by every call: sessions call from several threads.
    mutable std::recursive_mutex lock_;
    // Why the last open or transfer of each thread failed.
    std::map<std::thread::id, std::pair<FailureKind, std::string>> failures_;
    void Fail(FailureKind kind, std::string words) {
        failures_[std::this_thread::get_id()] = {kind, std::move(words)};
    }
    std::map<std::string, std::shared_ptr<struct RecordSlot>> records_;
    DeviceHandle next_handle_ = 42;
    std::map<DeviceHandle, Connection> open_;
    // Late answers, by path, for the next connection to that instrument.
    std::map<std::string, std::deque<Waiting>> for_next_;

};

}  // namespace velmar::testing
