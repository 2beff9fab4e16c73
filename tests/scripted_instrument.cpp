#include "scripted_instrument.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace velmar::testing {

struct ScriptedInstrument::RecordSlot {
    // A plain mutex tried in turns: ThreadSanitizer does not follow the
    // clock-based waits of std::timed_mutex.
    std::mutex lock;
    Bytes bytes;
};

namespace {

// One open of a record: a lock of the record's own, as the platforms keep
// one per record file.
class ScriptedRecord final : public StateRecord {
  public:
    explicit ScriptedRecord(std::shared_ptr<ScriptedInstrument::RecordSlot> slot)
        : slot_(std::move(slot)) {}
    bool Lock(uint32_t timeout_ms) override {
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        while (!(held_ = slot_->lock.try_lock())) {
            if (std::chrono::steady_clock::now() >= until) return false;
            std::this_thread::sleep_for(std::chrono::microseconds(100));
        }
        return true;
    }
    void Unlock() override {
        held_ = false;
        slot_->lock.unlock();
    }
    bool Read(uint8_t* data, size_t size) override {
        if (!held_ || slot_->bytes.size() < size) return false;
        std::memcpy(data, slot_->bytes.data(), size);
        return true;
    }
    bool Write(const uint8_t* data, size_t size) override {
        if (!held_) std::abort();  // written without its lock
        slot_->bytes.assign(data, data + size);
        return true;
    }

  private:
    std::shared_ptr<ScriptedInstrument::RecordSlot> slot_;
    bool held_ = false;
};

}  // namespace

void ScriptedInstrument::Expect(bool holds, const std::string& rule) {
    if (holds) return;
    if (on_violation) {
        on_violation(rule);
        return;
    }
    std::fprintf(stderr, "scripted instrument: the library broke a rule: %s\n", rule.c_str());
    std::abort();
}

ScriptedInstrument::Connection* ScriptedInstrument::Find(DeviceHandle handle,
                                                         uint32_t timeout_ms) {
    Expect(timeout_ms == this->timeout_ms, "a time limit of " + std::to_string(timeout_ms) + " ms");
    auto found = open_.find(handle);
    Expect(found != open_.end(), "a transfer on a handle that is not open");
    return found == open_.end() ? nullptr : &found->second;
}

Enumeration ScriptedInstrument::EnumerateDevices() {
    std::lock_guard<std::recursive_mutex> hold(lock_);
    Enumeration e;
    e.possible = enumeration_possible;
    if (!e.possible) return e;
    e.paths = paths;
    e.interfaces = interfaces >= 0 ? interfaces : static_cast<int32_t>(paths.size());
    return e;
}

bool ScriptedInstrument::Open(const std::string& path, DeviceHandle* handle) {
    std::lock_guard<std::recursive_mutex> hold(lock_);
    Fail(FailureKind::kOther, "");
    if (unplugged.count(path) != 0) {
        Fail(FailureKind::kNotFound, "No such file or directory");
        return false;
    }
    if (refusing.count(path) != 0) {
        Fail(FailureKind::kOther, "Connection refused");
        return false;
    }
    Expect(many_open || open_handles == 0, "one device at a time");
    opened.push_back(path);
    ++open_handles;
    *handle = next_handle_++;
    Connection& c = open_[*handle];
    c.path = path;
    c.waiting = std::move(for_next_[path]);
    for_next_.erase(path);
    return true;
}

void ScriptedInstrument::Close(DeviceHandle handle) {
    std::lock_guard<std::recursive_mutex> hold(lock_);
    auto found = open_.find(handle);
    Expect(found != open_.end(), "closing a handle that is not open");
    if (found == open_.end()) return;
    if (answers_outlive_close) {
        std::deque<Waiting>& next = for_next_[found->second.path];
        next.insert(next.begin(), found->second.waiting.begin(), found->second.waiting.end());
    }
    open_.erase(found);
    --open_handles;
}

Bytes ScriptedInstrument::NormalAnswerTo(const Bytes& message) const {
    if (message.size() == kCommandPacketSize && message[0] == kControlCommand)
        return Bytes(report.bytes().begin(), report.bytes().end());
    return {0x01};
}

TransferStatus ScriptedInstrument::Write(DeviceHandle handle, const uint8_t* data, size_t length,
                                         uint32_t timeout_ms) {
    std::lock_guard<std::recursive_mutex> hold(lock_);
    Connection* c = Find(handle, timeout_ms);
    if (c == nullptr) return TransferStatus::kStartFailed;
    Fail(FailureKind::kOther, "");
    const size_t number = messages.size();
    messages.emplace_back(data, data + length);
    message_paths.push_back(c->path);
    if (c->hung_up) {
        Fail(FailureKind::kHungUp, "Broken pipe");
        return TransferStatus::kStartFailed;
    }
    Answer answer;
    if (answer_for) {
        answer = answer_for(messages.back());
    } else if (number >= silent_from) {
        answer = Answer::Silent();
    } else if (auto scripted = script.find(number); scripted != script.end()) {
        answer = scripted->second;
    }
    switch (answer.kind) {
        case Answer::Kind::kWriteRefused:
            return TransferStatus::kStartFailed;
        case Answer::Kind::kSilent:
            break;
        case Answer::Kind::kHangUp:
            c->hung_up = true;
            break;
        case Answer::Kind::kLate:
            for_next_[c->path].push_back({false, NormalAnswerTo(messages.back())});
            break;
        case Answer::Kind::kReadFails:
            c->waiting.push_back({true, {}});
            break;
        case Answer::Kind::kBytes:
            c->waiting.push_back({false, answer.bytes});
            break;
        case Answer::Kind::kNormal:
            c->waiting.push_back({false, NormalAnswerTo(messages.back())});
            break;
    }
    c->wrote_since_read = true;
    return TransferStatus::kOk;
}

TransferStatus ScriptedInstrument::Read(DeviceHandle handle, uint8_t* buffer, size_t capacity,
                                        size_t* received, uint32_t timeout_ms) {
    std::lock_guard<std::recursive_mutex> hold(lock_);
    *received = 0;
    Connection* c = Find(handle, timeout_ms);
    if (c == nullptr) return TransferStatus::kStartFailed;
    Fail(FailureKind::kOther, "");
    ++reads;
    if (!c->wrote_since_read) ++reads_without_message;
    c->wrote_since_read = false;
    if (c->waiting.empty()) {
        if (!c->hung_up) return TransferStatus::kTimeout;
        Fail(FailureKind::kHungUp, "the instrument hung up");
        return TransferStatus::kReadFailed;
    }
    const Waiting answer = c->waiting.front();
    c->waiting.pop_front();
    if (answer.read_fails) return TransferStatus::kReadFailed;
    // One answer per read, cut to the room given, as the driver does.
    const size_t n = std::min(answer.bytes.size(), capacity);
    if (n > 0) std::memcpy(buffer, answer.bytes.data(), n);
    *received = n;
    answers_read.emplace_back(answer.bytes.begin(), answer.bytes.begin() + n);
    return TransferStatus::kOk;
}

int ScriptedInstrument::DropWaitingAnswers(DeviceHandle handle, int most) {
    std::lock_guard<std::recursive_mutex> hold(lock_);
    auto found = open_.find(handle);
    Expect(found != open_.end(), "dropping answers on a handle that is not open");
    if (found == open_.end()) return 0;
    int n = 0;
    while (n < most && !found->second.waiting.empty()) {
        found->second.waiting.pop_front();
        ++n;
    }
    dropped += n;
    return n;
}

void ScriptedInstrument::Sleep(uint32_t milliseconds) {
    std::lock_guard<std::recursive_mutex> hold(lock_);
    sleeps.push_back(milliseconds);
}

std::string ScriptedInstrument::LastFailure() const {
    std::lock_guard<std::recursive_mutex> hold(lock_);
    auto found = failures_.find(std::this_thread::get_id());
    return found == failures_.end() ? std::string() : found->second.second;
}

FailureKind ScriptedInstrument::LastFailureKind() const {
    std::lock_guard<std::recursive_mutex> hold(lock_);
    auto found = failures_.find(std::this_thread::get_id());
    return found == failures_.end() ? FailureKind::kOther : found->second.first;
}

std::unique_ptr<StateRecord> ScriptedInstrument::OpenStateRecord(const std::string& device_path,
                                                                 uint64_t* identity) {
    std::lock_guard<std::recursive_mutex> hold(lock_);
    *identity = identities.count(device_path) ? identities[device_path] : 0;
    if (!keeps_records) return nullptr;
    std::shared_ptr<RecordSlot>& slot = records_[device_path];
    if (!slot) slot = std::make_shared<RecordSlot>();
    return std::make_unique<ScriptedRecord>(slot);
}

std::vector<Bytes> ScriptedInstrument::MessagesTo(const std::string& path) const {
    std::lock_guard<std::recursive_mutex> hold(lock_);
    std::vector<Bytes> to;
    for (size_t i = 0; i < messages.size(); ++i) {
        if (message_paths[i] == path) to.push_back(messages[i]);
    }
    return to;
}

std::vector<uint16_t> ScriptedInstrument::ControlWords() const {
    std::vector<uint16_t> words;
    for (const Bytes& m : messages) {
        if (m.size() == kCommandPacketSize && m[0] == kControlCommand)
            words.push_back(LoadLe16(&m[1]));
    }
    return words;
}

}  // namespace velmar::testing
