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
    opened.push_back(path);
    ++open_handles;
    *handle = 42;
    return true;
}

void ScriptedInstrument::Close(DeviceHandle handle) {
    EXPECT_EQ(handle, 42);
    --open_handles;
}

TransferStatus ScriptedInstrument::Write(DeviceHandle handle, const uint8_t* data, size_t length,
                                         uint32_t timeout_ms) {
    EXPECT_EQ(handle, 42);
    EXPECT_EQ(timeout_ms, 1000u);
    const size_t number = messages.size();
    messages.emplace_back(data, data + length);
    auto scripted = script.find(number);
    Answer answer = number >= silent_from      ? Answer::Silent()
                    : scripted != script.end() ? scripted->second
                                               : Answer::Normal();
    // A new message replaces an answer nobody read.
    answer_pending_ = false;
    if (answer.kind == Answer::Kind::kWriteRefused) return TransferStatus::kStartFailed;
    answer_pending_ = true;
    pending_ = answer;
    pending_message_ = messages.back();
    return TransferStatus::kOk;
}

TransferStatus ScriptedInstrument::Read(DeviceHandle handle, uint8_t* buffer, size_t capacity,
                                        size_t* received, uint32_t timeout_ms) {
    EXPECT_EQ(handle, 42);
    EXPECT_EQ(timeout_ms, 1000u);
    ++reads;
    *received = 0;
    if (!answer_pending_) {
        ++reads_without_message;
        return TransferStatus::kTimeout;
    }
    answer_pending_ = false;
    Bytes answer;
    switch (pending_.kind) {
        case Answer::Kind::kSilent:
            return TransferStatus::kTimeout;
        case Answer::Kind::kReadFails:
            return TransferStatus::kReadFailed;
        case Answer::Kind::kBytes:
            answer = pending_.bytes;
            break;
        default:
            if (pending_message_.size() == kCommandPacketSize &&
                pending_message_[0] == kControlCommand) {
                answer.assign(report.bytes().begin(), report.bytes().end());
            } else {
                answer = {0x01};
            }
    }
    // One answer per read, cut to the room given, as the driver does.
    const size_t n = std::min(answer.size(), capacity);
    if (n > 0) std::memcpy(buffer, answer.data(), n);
    *received = n;
    return TransferStatus::kOk;
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
