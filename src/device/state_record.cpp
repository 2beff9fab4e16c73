#include "device/state_record.h"

#include <cstdlib>
#include <cstring>

#include "device/platform.h"

namespace velmar {
namespace {

// "VDS" and the layout's version: a record of another layout is no record.
constexpr uint8_t kMagic[4] = {'V', 'D', 'S', 1};
constexpr size_t kIdentityOffset = 4;
constexpr size_t kPacketOffset = 12;
constexpr size_t kWaveLengthOffset = 20;
constexpr size_t kDividerOffset = 24;
constexpr size_t kMarkOffset = 28;
static_assert(kPacketOffset + kCommandPacketSize <= kWaveLengthOffset);
static_assert(kMarkOffset < kStateRecordSize);

}  // namespace

StateRecordBytes EncodeStateRecord(const InstrumentState& state, bool may_hold_late_answer,
                                   uint64_t identity) {
    StateRecordBytes b{};
    std::memcpy(b.data(), kMagic, sizeof(kMagic));
    StoreLe32(&b[kIdentityOffset], static_cast<uint32_t>(identity));
    StoreLe32(&b[kIdentityOffset + 4], static_cast<uint32_t>(identity >> 32));
    std::memcpy(&b[kPacketOffset], state.shadow.packet.data(), kCommandPacketSize);
    StoreLe32(&b[kWaveLengthOffset], static_cast<uint32_t>(state.last_wave_length));
    StoreLe32(&b[kDividerOffset], static_cast<uint32_t>(state.last_divider));
    b[kMarkOffset] = may_hold_late_answer ? 1 : 0;
    return b;
}

bool DecodeStateRecord(const StateRecordBytes& b, uint64_t identity, InstrumentState* state,
                       bool* may_hold_late_answer) {
    if (std::memcmp(b.data(), kMagic, sizeof(kMagic)) != 0) return false;
    const uint64_t kept = LoadLe32(&b[kIdentityOffset]) |
                          (static_cast<uint64_t>(LoadLe32(&b[kIdentityOffset + 4])) << 32);
    if (kept != identity) return false;
    CommandPacket packet;
    packet.set_code(b[kPacketOffset]);
    packet.set_control_word(LoadLe16(&b[kPacketOffset + CommandPacket::kControlWordOffset]));
    packet.set_digital_out(LoadLe16(&b[kPacketOffset + CommandPacket::kDigitalOutOffset]));
    packet.set_divider(LoadLe16(&b[kPacketOffset + CommandPacket::kDividerOffset]));
    state->shadow.packet = packet;
    state->last_wave_length = static_cast<int32_t>(LoadLe32(&b[kWaveLengthOffset]));
    state->last_divider = static_cast<int32_t>(LoadLe32(&b[kDividerOffset]));
    *may_hold_late_answer = b[kMarkOffset] != 0;
    return true;
}

std::string StateDirectoryFromEnvironment() {
    const char* own = std::getenv("VELMAR_DDS_STATE_DIR");
    return own != nullptr ? own : "";
}

std::string StateRecordName(const std::string& device_path) {
    // FNV-1a over the whole path: stable across runs and builds.
    uint64_t hash = 0xcbf29ce484222325ull;
    for (unsigned char c : device_path) {
        hash ^= c;
        hash *= 0x100000001b3ull;
    }
    std::string last = device_path.substr(device_path.find_last_of("/\\:") + 1);
    std::string name;
    for (char c : last.substr(0, 32)) {
        // No dot first: no hidden file, nothing that reads as "..".
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                           (c >= '0' && c <= '9') || c == '-' || c == '_' ||
                           (c == '.' && !name.empty());
        name += plain ? c : '_';
    }
    char hex[17];
    for (int i = 0; i < 16; ++i) hex[i] = "0123456789abcdef"[(hash >> (60 - 4 * i)) & 0xF];
    hex[16] = '\0';
    return name + "-" + hex + ".state";
}

}  // namespace velmar
