#include "scripted_instrument.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace velmar::testing {

void ScriptedInstrument::Expect(bool holds, const std::string& rule) {
    if (holds) return;
    if (on_violation) {
        on_violation(rule);
        return;
    }
    std::fprintf(stderr, "scripted instrument: the library broke a rule: %s\n", rule.c_str());
    std::abort();
}

void ScriptedInstrument::ExpectCurrent(DeviceHandle handle, uint32_t timeout_ms) {
    Expect(open_handles == 1 && handle == current_, "a transfer on a handle that is not open");
    Expect(timeout_ms == 1000u, "a time limit of " + std::to_string(timeout_ms) + " ms");
}

Enumeration ScriptedInstrument::EnumerateDevices() {
    Enumeration e;
    e.possible = enumeration_possible;
    if (!e.possible) return e;
    e.paths = paths;
    e.interfaces = interfaces >= 0 ? interfaces : static_cast<int32_t>(paths.size());
    return e;
}

bool ScriptedInstrument::Open(const std::string& path, DeviceHandle* handle) {
    if (unplugged.count(path) != 0) return false;
    Expect(open_handles == 0, "one device at a time");
    opened.push_back(path);
    ++open_handles;
    current_ = *handle = next_handle_++;
    current_path_ = path;
    hung_up_ = false;
    waiting_ = std::move(for_next_[path]);
    for_next_.erase(path);
    return true;
}

void ScriptedInstrument::Close(DeviceHandle handle) {
    Expect(open_handles == 1 && handle == current_, "closing a handle that is not open");
    --open_handles;
    waiting_.clear();
}

Bytes ScriptedInstrument::NormalAnswerTo(const Bytes& message) const {
    if (message.size() == kCommandPacketSize && message[0] == kControlCommand)
        return Bytes(report.bytes().begin(), report.bytes().end());
    return {0x01};
}

TransferStatus ScriptedInstrument::Write(DeviceHandle handle, const uint8_t* data, size_t length,
                                         uint32_t timeout_ms) {
    ExpectCurrent(handle, timeout_ms);
    const size_t number = messages.size();
    messages.emplace_back(data, data + length);
    if (hung_up_) return TransferStatus::kStartFailed;
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
            hung_up_ = true;
            break;
        case Answer::Kind::kLate:
            for_next_[current_path_].push_back({false, NormalAnswerTo(messages.back())});
            break;
        case Answer::Kind::kReadFails:
            waiting_.push_back({true, {}});
            break;
        case Answer::Kind::kBytes:
            waiting_.push_back({false, answer.bytes});
            break;
        case Answer::Kind::kNormal:
            waiting_.push_back({false, NormalAnswerTo(messages.back())});
            break;
    }
    wrote_since_read_ = true;
    return TransferStatus::kOk;
}

TransferStatus ScriptedInstrument::Read(DeviceHandle handle, uint8_t* buffer, size_t capacity,
                                        size_t* received, uint32_t timeout_ms) {
    ExpectCurrent(handle, timeout_ms);
    ++reads;
    *received = 0;
    if (!wrote_since_read_) ++reads_without_message;
    wrote_since_read_ = false;
    if (waiting_.empty()) return hung_up_ ? TransferStatus::kReadFailed : TransferStatus::kTimeout;
    const Waiting answer = waiting_.front();
    waiting_.pop_front();
    if (answer.read_fails) return TransferStatus::kReadFailed;
    // One answer per read, cut to the room given, as the driver does.
    const size_t n = std::min(answer.bytes.size(), capacity);
    if (n > 0) std::memcpy(buffer, answer.bytes.data(), n);
    *received = n;
    answers_read.emplace_back(answer.bytes.begin(), answer.bytes.begin() + n);
    return TransferStatus::kOk;
}

int ScriptedInstrument::DropWaitingAnswers(DeviceHandle handle, int most) {
    Expect(open_handles == 1 && handle == current_,
           "dropping answers on a handle that is not open");
    int n = 0;
    while (n < most && !waiting_.empty()) {
        waiting_.pop_front();
        ++n;
    }
    dropped += n;
    return n;
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
