// Four threads call the library at once, each driving its own instrument.
// Every call must come back as it would had the calls been made one after
// another, and no call's messages may interleave with another call's.
#include <algorithm>
#include <atomic>
#include <map>
#include <set>
#include <thread>

#include "e2e_fixture.h"

namespace velmar::e2e {
namespace {

using Threads = E2eTest;

constexpr int kThreads = 4;
constexpr int kRounds = 40;
constexpr uint16_t kKnownBits = kMeasureMode | kCounterReset | kSingleWave | kTriggerOption |
                                kTriggerEnable | kTriggerPulse | kDioMode;

struct Worker {
    std::string name;
    double frequency;
    uint16_t divider;
    int32_t length;
    uint16_t digital_in;
    uint32_t count;
    uint16_t sample;
};

const Worker kWorkers[kThreads] = {
    {"t0", 1000.0, 48, 2083, 0x0A0A, 40000, 0x1111},
    {"t1", 32000.0, 1, 3125, 0x0B0B, 41000, 0x2222},
    {"t2", 100.0, 488, 2049, 0x0C0C, 42000, 0x3333},
    {"t3", 10.0, 4882, 2048, 0x0D0D, 43000, 0x4444},
};

// What went wrong in one thread; empty when every call came back right.
std::vector<std::string> Drive(Library& lib, int32_t index, std::atomic<bool>& go) {
    const Worker& w = kWorkers[index];
    const std::vector<uint16_t> wave(64, w.sample);
    std::vector<std::string> errors;
    auto check = [&](bool ok, const std::string& what, int round) {
        if (!ok) errors.push_back(w.name + " round " + std::to_string(round) + ": " + what);
    };
    while (!go.load()) std::this_thread::yield();
    for (int round = 0; round < kRounds; ++round) {
        int32_t length = 0, periods = 0;
        check(lib.SetFrequency(index, w.frequency, &length, &periods) == 1, "SetFrequency", round);
        check(length == w.length && periods == 1, "plan", round);
        double reading = 0;
        check(lib.GetMeasure(index, 0, &reading) == 1, "GetMeasure", round);
        check(reading == 2.0 * w.count, "reading " + std::to_string(reading), round);
        uint16_t in = 0;
        check(lib.GetDigitalIn(index, &in) == 1, "GetDigitalIn", round);
        check(in == w.digital_in, "digital input " + std::to_string(in), round);
        check(lib.Download(index, wave.data(), 64) == 1, "Download", round);
        check(lib.SetDigitalOut(index, static_cast<uint16_t>(w.sample + round)) == 1,
              "SetDigitalOut", round);
        check(lib.SetSingleWave(index, round % 2) == 1, "SetSingleWave", round);
        if (index == 0 && round % 10 == 0) check(lib.Search() == kThreads, "Search", round);
    }
    return errors;
}

TEST_F(Threads, FourThreadsAtOnceGetWhatSerialisedCallsWouldGet) {
    for (const Worker& w : kWorkers) {
        peer_.AddInstrument(w.name);
        peer_.SetReport(w.name, StatusReport(w.digital_in, w.count, 1));
    }
    ASSERT_EQ(lib_->Search(), kThreads);

    std::atomic<bool> go{false};
    std::vector<std::vector<std::string>> errors(kThreads);
    std::vector<std::thread> threads;
    for (int32_t i = 0; i < kThreads; ++i) {
        threads.emplace_back([&, i] { errors[i] = Drive(*lib_, i, go); });
    }
    go = true;
    for (auto& t : threads) t.join();
    for (const auto& e : errors) {
        for (const auto& line : e) ADD_FAILURE() << line;
    }

    peer_.Settle();
    // The order of arrival of all messages, as (instrument, connection).
    std::vector<std::pair<uint64_t, std::pair<int, size_t>>> arrivals;
    for (int i = 0; i < kThreads; ++i) {
        const Worker& w = kWorkers[i];
        const auto conns = peer_.Connections(w.name);
        ASSERT_EQ(conns.size(), 6u * kRounds) << w.name;
        for (size_t c = 0; c < conns.size(); ++c) {
            const auto& msgs = conns[c].messages;
            EXPECT_TRUE(conns[c].closed_by_caller) << w.name << " connection " << c;
            for (const Message& m : msgs) arrivals.push_back({m.seq, {i, c}});
            const int round = static_cast<int>(c / 6);
            ASSERT_FALSE(msgs.empty()) << w.name << " connection " << c;
            switch (c % 6) {
                case 0:  // SetFrequency: its own divider, whatever the others did
                    ASSERT_EQ(msgs.size(), 1u);
                    EXPECT_EQ(msgs[0].bytes.size(), 7u);
                    EXPECT_EQ(msgs[0].bytes[5] | (msgs[0].bytes[6] << 8), w.divider) << w.name;
                    break;
                case 4:  // SetDigitalOut: its own output word
                    ASSERT_EQ(msgs.size(), 1u);
                    EXPECT_EQ(msgs[0].bytes[3] | (msgs[0].bytes[4] << 8), w.sample + round);
                    break;
                case 5:  // SetSingleWave: its own bit
                    ASSERT_EQ(msgs.size(), 1u);
                    EXPECT_EQ((ControlWordOf(msgs[0].bytes) & kSingleWave) != 0, round % 2 == 1);
                    break;
                case 3: {  // Download: header and two blocks of its own samples
                    ASSERT_EQ(msgs.size(), 3u) << w.name;
                    EXPECT_EQ(msgs[0].bytes, LengthHeader(63));
                    Bytes block;
                    for (int s = 0; s < 32; ++s) {
                        block.push_back(static_cast<uint8_t>(w.sample & 0xFF));
                        block.push_back(static_cast<uint8_t>(w.sample >> 8));
                    }
                    EXPECT_EQ(msgs[1].bytes, block);
                    EXPECT_EQ(msgs[2].bytes, block);
                    continue;
                }
                default:
                    ASSERT_EQ(msgs.size(), 1u);
            }
            EXPECT_EQ(ControlWordOf(msgs[0].bytes) & ~kKnownBits, 0) << w.name;
        }
    }

    // Serialised calls never interleave: once a connection's run of
    // messages ends, no message of it arrives later.
    std::sort(arrivals.begin(), arrivals.end());
    std::set<std::pair<int, size_t>> finished;
    std::pair<int, size_t> current{-1, 0};
    for (const auto& [seq, conn] : arrivals) {
        if (conn == current) continue;
        finished.insert(current);
        EXPECT_EQ(finished.count(conn), 0u)
            << "a message of " << kWorkers[conn.first].name << " connection " << conn.second
            << " arrived after another call had begun (seq " << seq << ")";
        current = conn;
    }
}

// All four threads on one instrument: each call must still be one
// connection with exactly its own messages, and the one-shot reset bit may
// appear in no packet but the first of a reset.
TEST_F(Threads, FourThreadsOnOneInstrumentNeverMixTheirMessages) {
    ServeOne();
    peer_.SetReport(kDds, StatusReport(0x0F0F, 50000, 1));
    std::atomic<bool> go{false};
    std::vector<std::vector<std::string>> errors(kThreads);
    std::vector<std::thread> threads;
    for (int32_t i = 0; i < kThreads; ++i) {
        threads.emplace_back([&, i] {
            const std::vector<uint16_t> wave(64, kWorkers[i].sample);
            while (!go.load()) std::this_thread::yield();
            for (int round = 0; round < kRounds; ++round) {
                const auto out = static_cast<uint16_t>((i << 8) | round);
                double reading = 0;
                if (lib_->SetDigitalOut(0, out) != 1) errors[i].push_back("SetDigitalOut");
                if (lib_->Download(0, wave.data(), 64) != 1) errors[i].push_back("Download");
                if (lib_->ResetCounter(0) != 1) errors[i].push_back("ResetCounter");
                if (lib_->GetMeasure(0, 2, &reading) != 1 || reading != 100000.0)
                    errors[i].push_back("GetMeasure " + std::to_string(reading));
            }
        });
    }
    go = true;
    for (auto& t : threads) t.join();
    for (int i = 0; i < kThreads; ++i) {
        for (const auto& e : errors[i]) ADD_FAILURE() << kWorkers[i].name << ": " << e;
    }

    peer_.Settle();
    const auto conns = peer_.Connections(kDds);
    ASSERT_EQ(conns.size(), 4u * kThreads * kRounds);
    std::set<uint16_t> outputs_sent;
    size_t downloads = 0, resets = 0;
    uint64_t last_seq = 0;
    std::vector<std::pair<uint64_t, uint64_t>> spans;
    for (const Connection& c : conns) {
        ASSERT_FALSE(c.messages.empty());
        EXPECT_TRUE(c.closed_by_caller);
        spans.push_back({c.messages.front().seq, c.messages.back().seq});
        const auto& m = c.messages;
        if (m.size() == 3) {  // a download: header and two blocks of one thread's samples
            ++downloads;
            EXPECT_EQ(m[0].bytes, LengthHeader(63));
            ASSERT_EQ(m[1].bytes.size(), 64u);
            EXPECT_EQ(m[1].bytes, m[2].bytes);
            const Bytes& b = m[1].bytes;
            for (size_t at = 2; at < b.size(); at += 2) {
                EXPECT_TRUE(b[at] == b[0] && b[at + 1] == b[1]) << "a block mixes two waves";
            }
        } else if (m.size() == 2) {  // a reset
            ++resets;
            EXPECT_EQ(ControlWordOf(m[0].bytes) & kCounterReset, kCounterReset);
            EXPECT_EQ(ControlWordOf(m[1].bytes) & kCounterReset, 0);
        } else {
            ASSERT_EQ(m.size(), 1u);
            EXPECT_EQ(ControlWordOf(m[0].bytes) & kCounterReset, 0)
                << "another call's packet carried the reset bit";
            outputs_sent.insert(static_cast<uint16_t>(m[0].bytes[3] | (m[0].bytes[4] << 8)));
        }
        last_seq = std::max(last_seq, m.back().seq);
    }
    EXPECT_EQ(downloads, static_cast<size_t>(kThreads * kRounds));
    EXPECT_EQ(resets, static_cast<size_t>(kThreads * kRounds));
    for (int i = 0; i < kThreads; ++i) {
        for (int round = 0; round < kRounds; ++round) {
            EXPECT_EQ(outputs_sent.count(static_cast<uint16_t>((i << 8) | round)), 1u)
                << "no packet carried thread " << i << "'s output word of round " << round;
        }
    }
    // No two calls overlap: the spans of message numbers are disjoint.
    std::sort(spans.begin(), spans.end());
    for (size_t k = 1; k < spans.size(); ++k) {
        EXPECT_GT(spans[k].first, spans[k - 1].second) << "two calls interleaved";
    }
    EXPECT_EQ(last_seq + 1, 7u * kThreads * kRounds) << "messages were lost or added";
}

}  // namespace
}  // namespace velmar::e2e
