// The instrument's wire format: every byte the library sends or parses is
// built here. All multi-byte fields are little-endian and packed without gaps,
// so they are assembled byte by byte rather than through struct layouts.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace velmar {

// Command codes: the first byte of every message except the sample blocks.
constexpr uint8_t kControlCommand = 0xA0;  // 7-byte packet, answered by a StatusReport
constexpr uint8_t kLengthCommand = 0xA1;   // 3-byte header, answered by an ack
constexpr uint8_t kPowerOnCommand = 0xA2;  // 7 bytes or the code alone, answered by an ack

// Control word bits. The library gives them no meaning beyond the operation
// that sets them; what the instrument does with each is its own matter.
constexpr uint16_t kMeasureModeBit = 0x0001;
constexpr uint16_t kCounterResetBit = 0x0002;
constexpr uint16_t kSingleWaveBit = 0x0004;
constexpr uint16_t kTriggerOptionBit = 0x0008;
constexpr uint16_t kTriggerEnableBit = 0x0010;
constexpr uint16_t kTriggerPulseBit = 0x0020;
constexpr uint16_t kDioModeBit = 0x0100;

// Message sizes as the instrument tells messages apart.
constexpr size_t kCommandPacketSize = 7;
constexpr size_t kLengthHeaderSize = 3;
constexpr size_t kCommandCodeSize = 1;
constexpr size_t kStatusReportSize = 10;
constexpr size_t kAckSize = 1;
constexpr size_t kSampleBlockBytes = 64;
constexpr size_t kSamplesPerBlock = kSampleBlockBytes / 2;

// The 200 MHz reference of the sample clock and of the meter's period count.
constexpr double kBaseClockHz = 200000000.0;

// The length word that opens a power-on store of the waveform: no samples.
constexpr uint16_t kNoSamplesLengthWord = 0xFFFF;

// The waveform memory and the padding unit of a download (64 samples: two
// blocks), and the largest downloadable wave.
constexpr int32_t kWaveMemorySize = 4096;
constexpr int32_t kDownloadGranule = 64;

// Reads a little-endian field out of a byte buffer.
inline uint16_t LoadLe16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
inline uint32_t LoadLe32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
inline void StoreLe16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v & 0xFF);
    p[1] = static_cast<uint8_t>(v >> 8);
}
inline void StoreLe32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

// The 7-byte control packet. Its bytes are the message buffer itself: every
// message except the sample blocks is a prefix of it (7, 3 or 1 bytes).
class CommandPacket {
  public:
    static constexpr size_t kCodeOffset = 0;
    static constexpr size_t kControlWordOffset = 1;
    static constexpr size_t kDigitalOutOffset = 3;
    static constexpr size_t kDividerOffset = 5;

    uint8_t code() const { return bytes_[kCodeOffset]; }
    void set_code(uint8_t code) { bytes_[kCodeOffset] = code; }

    // In a LengthCommand header this field carries the length word instead.
    uint16_t control_word() const { return LoadLe16(&bytes_[kControlWordOffset]); }
    void set_control_word(uint16_t word) { StoreLe16(&bytes_[kControlWordOffset], word); }
    void set_bit(uint16_t bit, bool on) {
        set_control_word(
            static_cast<uint16_t>(on ? (control_word() | bit) : (control_word() & ~bit)));
    }

    uint16_t digital_out() const { return LoadLe16(&bytes_[kDigitalOutOffset]); }
    void set_digital_out(uint16_t word) { StoreLe16(&bytes_[kDigitalOutOffset], word); }

    uint16_t divider() const { return LoadLe16(&bytes_[kDividerOffset]); }
    void set_divider(uint16_t divider) { StoreLe16(&bytes_[kDividerOffset], divider); }

    const uint8_t* data() const { return bytes_.data(); }
    const std::array<uint8_t, kCommandPacketSize>& bytes() const { return bytes_; }

  private:
    std::array<uint8_t, kCommandPacketSize> bytes_{};
};

// The 10-byte answer to a ControlCommand packet.
class StatusReport {
  public:
    static constexpr size_t kDigitalInOffset = 0;
    static constexpr size_t kCountOffset = 2;
    static constexpr size_t kPeriodOffset = 6;

    StatusReport() = default;
    explicit StatusReport(const std::array<uint8_t, kStatusReportSize>& bytes) : bytes_(bytes) {}

    uint16_t digital_in() const { return LoadLe16(&bytes_[kDigitalInOffset]); }
    // Count of the frequency meter or event counter.
    uint32_t count() const { return LoadLe32(&bytes_[kCountOffset]); }
    // Period of the measured signal in ticks of the 200 MHz base clock.
    uint32_t period() const { return LoadLe32(&bytes_[kPeriodOffset]); }

    const std::array<uint8_t, kStatusReportSize>& bytes() const { return bytes_; }

    // Builds a report as the instrument would send it (used by the simulated
    // instrument and by tests).
    static StatusReport Make(uint16_t digital_in, uint32_t count, uint32_t period) {
        std::array<uint8_t, kStatusReportSize> b{};
        StoreLe16(&b[kDigitalInOffset], digital_in);
        StoreLe32(&b[kCountOffset], count);
        StoreLe32(&b[kPeriodOffset], period);
        return StatusReport(b);
    }

  private:
    std::array<uint8_t, kStatusReportSize> bytes_{};
};

// The host-side copy of the instrument's control state. One for the process
// and shared by all instruments: every control packet restates all of it, so
// a setting made for one instrument is also sent to the next one addressed.
struct ControlShadow {
    CommandPacket packet;  // all zero at load
    StatusReport report;   // all zero at load

    // What a search does: code ControlCommand, every field and the report zero.
    void Reset() {
        packet = CommandPacket();
        packet.set_code(kControlCommand);
        report = StatusReport();
    }
};

}  // namespace velmar
