// Waveform download and the power-on output that reuses its length.
#include <climits>

#include "e2e_fixture.h"

namespace velmar::e2e {
namespace {

using Download = E2eTest;
using PowerOn = E2eTest;

// Distinct samples whose two bytes differ, so byte order and position show.
std::vector<uint16_t> Wave(int32_t count) {
    std::vector<uint16_t> w;
    for (int32_t i = 0; i < count; ++i) w.push_back(static_cast<uint16_t>(0x1234 + 0x0101 * i));
    return w;
}

// The blocks the instrument should receive: the wave padded to a multiple of
// 64 samples with its last sample, low byte first, 64 bytes per block.
std::vector<Bytes> Blocks(const std::vector<uint16_t>& wave, int32_t padded) {
    Bytes all;
    for (int32_t i = 0; i < padded; ++i) {
        const uint16_t s = i < static_cast<int32_t>(wave.size()) ? wave[i] : wave.back();
        all.push_back(static_cast<uint8_t>(s & 0xFF));
        all.push_back(static_cast<uint8_t>(s >> 8));
    }
    std::vector<Bytes> blocks;
    for (size_t at = 0; at < all.size(); at += 64) {
        blocks.emplace_back(all.begin() + at, all.begin() + at + 64);
    }
    return blocks;
}

std::vector<Bytes> PowerOnSequence(uint16_t length) {
    return {LengthHeader(0xFFFF), Bytes{kPowerOnCode}, LengthHeader(length)};
}

struct DownloadCase {
    int32_t count;
    uint16_t header;
    int32_t padded;
};

void PrintTo(const DownloadCase& c, std::ostream* os) {
    *os << c.count << " samples";
}

class DownloadCount : public E2eTest, public ::testing::WithParamInterface<DownloadCase> {};

TEST_P(DownloadCount, AnnouncesThenSendsPaddedBlocksAndRemembersThePaddedLength) {
    const DownloadCase& c = GetParam();
    ServeOne();
    const auto wave = Wave(c.count);
    ASSERT_EQ(lib_->Download(0, wave.data(), c.count), 1);

    std::vector<Bytes> want{LengthHeader(c.header)};
    if (c.count > 0) {
        const auto blocks = Blocks(wave, c.padded);
        ASSERT_EQ(static_cast<int32_t>(blocks.size()), c.padded / 32);
        want.insert(want.end(), blocks.begin(), blocks.end());
    }
    EXPECT_EQ(Sent(), want);

    // The power-on output sends the length the download left behind.
    ASSERT_EQ(lib_->SetPowerOnOutput(0, 0), 1);
    const auto sent = Sent();
    ASSERT_GE(sent.size(), 3u);
    EXPECT_EQ(sent.back(), LengthHeader(static_cast<uint16_t>(c.padded)));
}

INSTANTIATE_TEST_SUITE_P(Counts, DownloadCount,
                         ::testing::Values(DownloadCase{64, 63, 64}, DownloadCase{65, 64, 128},
                                           DownloadCase{4096, 4095, 4096}, DownloadCase{1, 0, 64},
                                           DownloadCase{0, 0xFFFF, 0}, DownloadCase{100, 99, 128},
                                           DownloadCase{128, 127, 128},
                                           DownloadCase{4095, 4094, 4096}));

TEST_F(Download, ZeroSamplesNeedNoSampleBuffer) {
    ServeOne();
    EXPECT_EQ(lib_->Download(0, nullptr, 0), 1);
    ASSERT_EQ(lib_->SetPowerOnOutput(0, 0), 1);
    EXPECT_EQ(Sent(), (std::vector<Bytes>{LengthHeader(0xFFFF), LengthHeader(0xFFFF),
                                          Bytes{kPowerOnCode}, LengthHeader(0)}));
}

class RefusedDownload : public E2eTest,
                        public ::testing::WithParamInterface<std::pair<int32_t, bool>> {};

TEST_P(RefusedDownload, ReturnsZeroWithNothingSentAndTheLengthKept) {
    const auto [count, null_samples] = GetParam();
    ServeOne();
    const auto wave = Wave(4097);
    EXPECT_EQ(lib_->Download(0, null_samples ? nullptr : wave.data(), count), 0);
    EXPECT_TRUE(Sent().empty());
    ASSERT_EQ(lib_->SetPowerOnOutput(0, 0), 1);
    EXPECT_EQ(Sent(), PowerOnSequence(4095));
}

INSTANTIATE_TEST_SUITE_P(Counts, RefusedDownload,
                         ::testing::Values(std::pair{-1, false}, std::pair{4097, false},
                                           std::pair{INT32_MIN, false}, std::pair{INT32_MAX, false},
                                           std::pair{1, true}, std::pair{4096, true}));

// The control word is borrowed for the length word only.
TEST_F(Download, ADownloadLeavesTheControlWordAsItWas) {
    ServeOne();
    ASSERT_EQ(lib_->SetSingleWave(0, 1), 1);
    ASSERT_EQ(lib_->SetDigitalOut(0, 0x0BAD), 1);
    const auto wave = Wave(100);
    ASSERT_EQ(lib_->Download(0, wave.data(), 100), 1);
    EXPECT_EQ(Sent()[2], LengthHeader(99));
    ASSERT_EQ(lib_->SetDIOMode(0, 0), 1);
    EXPECT_EQ(LastControlPacket(), ControlPacket(kSingleWave, 0x0BAD, 0));
}

TEST_F(Download, AnInstrumentThatStopsAcknowledgingEndsTheDownload) {
    ServeOne();
    ASSERT_EQ(lib_->SetSingleWave(0, 1), 1);
    const auto wave = Wave(256);  // 8 blocks
    peer_.Script(kDds, {Reply::Normal(), Reply::Normal(), Reply::Normal(), Reply::Normal(),
                        Reply::With({})});  // header and 3 blocks acknowledged
    EXPECT_EQ(lib_->Download(0, wave.data(), 256), 0);
    auto sent = Sent();
    ASSERT_EQ(sent.size(), 6u) << "control packet, header and four blocks";
    EXPECT_EQ(sent[1], LengthHeader(255));
    EXPECT_EQ(sent[5], Blocks(wave, 256)[3]);

    EXPECT_EQ(ShadowControlWord(), kSingleWave);
    ASSERT_EQ(lib_->SetPowerOnOutput(0, 0), 1);
    EXPECT_EQ(Sent().back(), LengthHeader(4095)) << "an incomplete download changed the length";
}

TEST_F(Download, AnUnacknowledgedHeaderEndsTheDownloadBeforeTheFirstBlock) {
    ServeOne();
    ASSERT_EQ(lib_->SetDIOMode(0, 1), 1);
    const auto wave = Wave(64);
    peer_.Script(kDds, {Reply::With({})});
    EXPECT_EQ(lib_->Download(0, wave.data(), 64), 0);
    EXPECT_EQ(Sent().size(), 2u) << "blocks were sent after an unacknowledged header";
    EXPECT_EQ(ShadowControlWord(), kDioMode);
    ASSERT_EQ(lib_->SetPowerOnOutput(0, 2), 1);
    EXPECT_EQ(Sent().back(), LengthHeader(4095));
}

TEST_F(Download, ASearchKeepsTheLengthOfTheLastDownload) {
    ServeOne();
    const auto wave = Wave(100);
    ASSERT_EQ(lib_->Download(0, wave.data(), 100), 1);
    ASSERT_EQ(lib_->Search(), 1);
    ASSERT_EQ(lib_->SetPowerOnOutput(0, 0), 1);
    EXPECT_EQ(Sent().back(), LengthHeader(128));
}

TEST_F(PowerOn, PowerOnModeOneSendsTheWholeControlStateOnce) {
    ServeOne();
    int32_t length = 0, periods = 0;
    ASSERT_EQ(lib_->SetFrequency(0, 1000.0, &length, &periods), 1);
    ASSERT_EQ(lib_->SetSingleWave(0, 1), 1);
    const size_t before = Sent().size();
    ASSERT_EQ(lib_->SetPowerOnOutput(0, 1), 1);
    const auto sent = Sent();
    ASSERT_EQ(sent.size(), before + 1);
    EXPECT_EQ(sent.back(), (Bytes{0xA2, 0x04, 0x00, 0x00, 0x00, 0x30, 0x00}));
}

class PowerOnWaveform : public E2eTest, public ::testing::WithParamInterface<int32_t> {};

TEST_P(PowerOnWaveform, SendsLengthFFFFThenTheCodeThenTheRememberedLength) {
    ServeOne();  // a search does not touch the remembered length
    ASSERT_EQ(lib_->SetSingleWave(0, 1), 1);
    ASSERT_EQ(lib_->SetDIOMode(0, 1), 1);
    ASSERT_EQ(lib_->SetPowerOnOutput(0, GetParam()), 1);
    auto sent = Sent();
    EXPECT_EQ(std::vector<Bytes>(sent.begin() + 2, sent.end()), PowerOnSequence(4095));
    EXPECT_EQ(ShadowControlWord(), kSingleWave | kDioMode);
}

INSTANTIATE_TEST_SUITE_P(NotModeOne, PowerOnWaveform, ::testing::Values(0, 2, -1, INT32_MAX));

class PowerOnMissingAck : public E2eTest, public ::testing::WithParamInterface<size_t> {};

TEST_P(PowerOnMissingAck, StillSendsTheWholeSequenceButReturnsZero) {
    ServeOne();
    std::vector<Reply> script(3, Reply::Normal());
    script[GetParam()] = Reply::With({});
    peer_.Script(kDds, script);
    EXPECT_EQ(lib_->SetPowerOnOutput(0, 0), 0);
    EXPECT_EQ(Sent(), PowerOnSequence(4095));
}

INSTANTIATE_TEST_SUITE_P(EachAck, PowerOnMissingAck, ::testing::Values(0u, 1u, 2u));

TEST_F(PowerOn, PowerOnModeOneUnacknowledgedReturnsZero) {
    ServeOne();
    peer_.Script(kDds, {Reply::With({})});
    EXPECT_EQ(lib_->SetPowerOnOutput(0, 1), 0);
    EXPECT_EQ(Sent(), (std::vector<Bytes>{Bytes{0xA2, 0, 0, 0, 0, 0, 0}}));
}

}  // namespace
}  // namespace velmar::e2e
