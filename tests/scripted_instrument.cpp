#include "scripted_instrument.h"

#include <algorithm>
#include <cstring>

#include "VelmarDll.h"

namespace velmar::testing {

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
    EXPECT_EQ(open_handles, 0) << "one device at a time";
    opened.push_back(path);
    ++open_handles;
    current_ = *handle = next_handle_++;
    waiting_ = std::move(for_next_);
    for_next_.clear();
    return true;
}

void ScriptedInstrument::Close(DeviceHandle handle) {
    EXPECT_EQ(handle, current_);
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
    EXPECT_EQ(handle, current_);
    EXPECT_EQ(timeout_ms, 1000u);
    const size_t number = messages.size();
    messages.emplace_back(data, data + length);
    auto scripted = script.find(number);
    const Answer answer = number >= silent_from      ? Answer::Silent()
                          : scripted != script.end() ? scripted->second
                                                     : Answer::Normal();
    switch (answer.kind) {
        case Answer::Kind::kWriteRefused:
            return TransferStatus::kStartFailed;
        case Answer::Kind::kSilent:
            break;
        case Answer::Kind::kLate:
            for_next_.push_back({false, NormalAnswerTo(messages.back())});
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
    EXPECT_EQ(handle, current_);
    EXPECT_EQ(timeout_ms, 1000u);
    ++reads;
    *received = 0;
    if (!wrote_since_read_) ++reads_without_message;
    wrote_since_read_ = false;
    if (waiting_.empty()) return TransferStatus::kTimeout;
    const Waiting answer = waiting_.front();
    waiting_.pop_front();
    if (answer.read_fails) return TransferStatus::kReadFailed;
    // One answer per read, cut to the room given, as the driver does.
    const size_t n = std::min(answer.bytes.size(), capacity);
    if (n > 0) std::memcpy(buffer, answer.bytes.data(), n);
    *received = n;
    return TransferStatus::kOk;
}

int ScriptedInstrument::DropWaitingAnswers(DeviceHandle handle, int most) {
    EXPECT_EQ(handle, current_);
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

void InstrumentTest::SetUp() {
    test_seam::ResetLibraryState();
    test_seam::UsePlatform(&dds);
    ASSERT_EQ(SearchWith(1), 1);
}

void InstrumentTest::TearDown() {
    EXPECT_EQ(dds.open_handles, 0) << "a device was left open";
    test_seam::UsePlatform(nullptr);
    test_seam::ResetLibraryState();
}

int32_t InstrumentTest::SearchWith(int count) {
    dds.paths.clear();
    for (int i = 0; i < count; ++i) dds.paths.push_back("dds" + std::to_string(i));
    const int32_t found = DDSSearch();
    dds.messages.clear();
    dds.opened.clear();
    return found;
}

}  // namespace velmar::testing
