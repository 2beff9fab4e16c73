// The bytes of the control packet, the length header and the status report.

#include "protocol/protocol.h"

#include <gtest/gtest.h>

#include "scripted_instrument.h"

namespace velmar {
namespace {

using testing::Bytes;

Bytes Sent(const CommandPacket& packet, size_t length) {
    return Bytes(packet.data(), packet.data() + length);
}

TEST(CommandPacketBytes, ResetShadowIsABareControlPacket) {
    ControlShadow shadow;
    shadow.packet.set_divider(7);
    shadow.Reset();
    EXPECT_EQ(Sent(shadow.packet, 7), (Bytes{0xA0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(shadow.report.bytes(), StatusReport().bytes());
}

TEST(CommandPacketBytes, FieldsAreLittleEndianAndPacked) {
    CommandPacket packet;
    packet.set_code(kControlCommand);
    packet.set_bit(kSingleWaveBit, true);
    packet.set_bit(kDioModeBit, true);
    packet.set_digital_out(258);
    packet.set_divider(48);
    EXPECT_EQ(Sent(packet, 7), (Bytes{0xA0, 0x04, 0x01, 0x02, 0x01, 0x30, 0x00}));

    packet.set_bit(kSingleWaveBit, false);
    EXPECT_EQ(packet.control_word(), kDioModeBit);
    EXPECT_EQ(packet.digital_out(), 258);
}

TEST(CommandPacketBytes, LengthHeaderBorrowsTheControlWord) {
    CommandPacket packet;
    packet.set_code(kLengthCommand);
    packet.set_control_word(99);
    EXPECT_EQ(Sent(packet, 3), (Bytes{0xA1, 0x63, 0x00}));
}

TEST(StatusReportBytes, ParsesEveryField) {
    const StatusReport report(
        std::array<uint8_t, 10>{0x34, 0x12, 0x31, 0x75, 0x00, 0x00, 0xA0, 0x0F, 0x00, 0x00});
    EXPECT_EQ(report.digital_in(), 4660);
    EXPECT_EQ(report.count(), 30001u);
    EXPECT_EQ(report.period(), 4000u);

    // Unsigned all the way up.
    const StatusReport high = StatusReport::Make(0xFFFF, 0xFFFFFFFFu, 0x80000000u);
    EXPECT_EQ(high.digital_in(), 0xFFFF);
    EXPECT_EQ(high.count(), 0xFFFFFFFFu);
    EXPECT_EQ(high.period(), 0x80000000u);
}

}  // namespace
}  // namespace velmar
