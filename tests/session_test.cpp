// Conversations between the session API and scripted instruments: what
// each instrument receives, what the caller gets back (a code, words, and
// out-arguments only from answers of this call), and what the state kept on
// the host carries from one session to the next.

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <set>
#include <string>
#include <thread>

#include "device/platform.h"
#include "device/test_seam.h"
#include "scripted_instrument.h"
#include "velmar/dds.h"

namespace velmar::testing {
namespace {

class SessionTest : public ::testing::Test {
  protected:
    void SetUp() override {
        test_seam::UsePlatform(&dds);
        dds.on_violation = [](const std::string& rule) { ADD_FAILURE() << rule; };
        dds.many_open = true;
        dds.paths = {"dds0", "dds1"};
    }
    void TearDown() override {
        for (velmar_dds* h : handles_) velmar_dds_close(h);
        EXPECT_EQ(dds.open_handles, 0) << "a device was left open";
        test_seam::UsePlatform(nullptr);
    }
    velmar_dds* Open(const char* path) {
        velmar_dds* h = nullptr;
        EXPECT_EQ(velmar_dds_open(path, &h), VELMAR_DDS_OK) << velmar_dds_last_message();
        handles_.push_back(h);
        return h;
    }
    void Close(velmar_dds* h) {
        velmar_dds_close(h);
        handles_.erase(std::find(handles_.begin(), handles_.end(), h));
    }
    // The control packets `path` received: (control word, digital out, divider).
    std::vector<std::array<uint16_t, 3>> ControlPackets(const std::string& path) const {
        std::vector<std::array<uint16_t, 3>> packets;
        for (const Bytes& m : dds.MessagesTo(path)) {
            if (m.size() == kCommandPacketSize && m[0] == kControlCommand)
                packets.push_back({LoadLe16(&m[1]), LoadLe16(&m[3]), LoadLe16(&m[5])});
        }
        return packets;
    }

    ScriptedInstrument dds;
    std::vector<velmar_dds*> handles_;
};

// ---- Each handle its own instrument ---------------------------------------

TEST_F(SessionTest, WhatOneHandleSetsIsNeverSentToAnother) {
    velmar_dds* a = Open("dds0");
    velmar_dds* b = Open("dds1");
    ASSERT_EQ(velmar_dds_set_digital_out(a, 5), VELMAR_DDS_OK);
    ASSERT_EQ(velmar_dds_set_divider(a, 48), VELMAR_DDS_OK);
    ASSERT_EQ(velmar_dds_set_trigger(a, 1, 1), VELMAR_DDS_OK);
    ASSERT_EQ(velmar_dds_set_single_wave(b, 1), VELMAR_DDS_OK);
    ASSERT_EQ(velmar_dds_set_divider(b, 7), VELMAR_DDS_OK);

    // Every packet, not only the last.
    using P = std::array<uint16_t, 3>;
    EXPECT_EQ(ControlPackets("dds1"), (std::vector<P>{{kSingleWaveBit, 0, 0},
                                                      {kSingleWaveBit, 0, 7}}));
    EXPECT_EQ(ControlPackets("dds0"),
              (std::vector<P>{{0, 5, 0}, {0, 5, 48}, {0x0020, 5, 48}, {0, 5, 48}, {0x0018, 5, 48}}));
    EXPECT_EQ(dds.opened, (std::vector<std::string>{"dds0", "dds1"}))
        << "each handle keeps its device open";
}

TEST_F(SessionTest, TwoHandlesRunFromTwoThreads) {
    velmar_dds* a = Open("dds0");
    velmar_dds* b = Open("dds1");
    constexpr int kCalls = 200;
    auto drive = [](velmar_dds* h, uint16_t word, int* failures) {
        for (int i = 0; i < kCalls; ++i) {
            double reading = 0;
            if (velmar_dds_set_digital_out(h, word) != VELMAR_DDS_OK) ++*failures;
            if (velmar_dds_measure(h, 1, &reading) != VELMAR_DDS_OK) ++*failures;
        }
    };
    int failures_a = 0, failures_b = 0;
    std::thread ta(drive, a, uint16_t{0x00AA}, &failures_a);
    std::thread tb(drive, b, uint16_t{0x0055}, &failures_b);
    ta.join();
    tb.join();
    EXPECT_EQ(failures_a + failures_b, 0);
    for (const auto& p : ControlPackets("dds0")) EXPECT_EQ(p[1], 0x00AA);
    for (const auto& p : ControlPackets("dds1")) EXPECT_EQ(p[1], 0x0055);
}

TEST_F(SessionTest, OneHandleFromTwoThreadsSerialisesItsCalls) {
    velmar_dds* h = Open("dds0");
    constexpr int kCalls = 200;
    auto drive = [h](uint16_t word, int* failures) {
        for (int i = 0; i < kCalls; ++i) {
            if (velmar_dds_set_digital_out(h, word) != VELMAR_DDS_OK) ++*failures;
        }
    };
    int failures_a = 0, failures_b = 0;
    std::thread ta(drive, uint16_t{1}, &failures_a);
    std::thread tb(drive, uint16_t{2}, &failures_b);
    ta.join();
    tb.join();
    EXPECT_EQ(failures_a + failures_b, 0);
    EXPECT_EQ(ControlPackets("dds0").size(), 2u * kCalls) << "every call whole, none lost";
}

// ---- Codes, words and out-arguments --------------------------------------

struct FaultCase {
    const char* name;
    std::function<void(ScriptedInstrument&)> fault;
    int code;
    const char* words;  // part of velmar_dds_last_message()
};

class SessionFaultTest : public SessionTest, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(SessionFaultTest, EachFaultHasItsCodeAndLeavesOutArgumentsAlone) {
    velmar_dds* h = Open("dds0");
    GetParam().fault(dds);
    double reading = -1.5;
    EXPECT_EQ(velmar_dds_measure(h, 0, &reading), GetParam().code);
    EXPECT_NE(std::string(velmar_dds_last_message()).find(GetParam().words), std::string::npos)
        << velmar_dds_last_message();
    EXPECT_EQ(reading, -1.5);
    if (GetParam().code == VELMAR_DDS_ERROR_NOT_A_READING) return;  // the report did arrive
    uint16_t word = 0xBEEF;
    EXPECT_NE(velmar_dds_get_digital_in(h, &word), VELMAR_DDS_OK);
    EXPECT_EQ(word, 0xBEEF);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, SessionFaultTest,
    ::testing::Values(
        FaultCase{"Silent", [](ScriptedInstrument& d) { d.silent_from = 0; },
                  VELMAR_DDS_ERROR_TIMEOUT, "no answer within 1000 ms to the control packet"},
        FaultCase{"Short",
                  [](ScriptedInstrument& d) {
                      d.answer_for = [](const Bytes&) { return Answer::With({1, 2, 3}); };
                  },
                  VELMAR_DDS_ERROR_BAD_ANSWER, "a short answer to the control packet: 3 of 10"},
        FaultCase{"ReadFails",
                  [](ScriptedInstrument& d) {
                      d.answer_for = [](const Bytes&) { return Answer::ReadFails(); };
                  },
                  VELMAR_DDS_ERROR_BAD_ANSWER, "no answer to the control packet"},
        FaultCase{"WriteRefused",
                  [](ScriptedInstrument& d) {
                      d.answer_for = [](const Bytes&) { return Answer::WriteRefused(); };
                  },
                  VELMAR_DDS_ERROR_WRITE_REFUSED, "the control packet was refused"},
        FaultCase{"HungUp",
                  [](ScriptedInstrument& d) {
                      d.answer_for = [](const Bytes&) { return Answer::HangUp(); };
                  },
                  VELMAR_DDS_ERROR_DISCONNECTED, "hung up"},
        FaultCase{"ReportWithoutPeriod",
                  [](ScriptedInstrument& d) { d.report = StatusReport::Make(0, 100, 0); },
                  VELMAR_DDS_ERROR_NOT_A_READING, "no reading"}),
    [](const ::testing::TestParamInfo<FaultCase>& info) { return info.param.name; });

TEST_F(SessionTest, OpeningTellsAMissingInstrumentFromARefusingOne) {
    dds.unplugged.insert("gone");
    dds.refusing.insert("busy");
    velmar_dds* h = nullptr;
    EXPECT_EQ(velmar_dds_open("gone", &h), VELMAR_DDS_ERROR_NO_INSTRUMENT);
    EXPECT_EQ(velmar_dds_open("busy", &h), VELMAR_DDS_ERROR_OPEN_FAILED);
    EXPECT_NE(std::string(velmar_dds_last_message()).find("Connection refused"),
              std::string::npos);
    EXPECT_EQ(velmar_dds_open_position(2, &h), VELMAR_DDS_ERROR_NO_INSTRUMENT);
    EXPECT_EQ(h, nullptr);
    ASSERT_EQ(velmar_dds_open_position(1, &h), VELMAR_DDS_OK);
    EXPECT_STREQ(velmar_dds_path(h), "dds1");
    velmar_dds_close(h);
}

TEST_F(SessionTest, AHungUpConnectionIsOpenedAgainByTheNextCall) {
    velmar_dds* h = Open("dds0");
    dds.script[0] = Answer::HangUp();
    EXPECT_EQ(velmar_dds_set_divider(h, 3), VELMAR_DDS_ERROR_DISCONNECTED);
    EXPECT_EQ(velmar_dds_set_divider(h, 4), VELMAR_DDS_OK);
    EXPECT_EQ(dds.opened, (std::vector<std::string>{"dds0", "dds0"}));
}

TEST_F(SessionTest, AFailedFrequencySettingHandsBackNoPlan) {
    velmar_dds* h = Open("dds0");
    dds.silent_from = 0;
    velmar_dds_plan plan{};
    plan.divider = 7;
    EXPECT_EQ(velmar_dds_set_frequency(h, 1000, &plan), VELMAR_DDS_ERROR_TIMEOUT);
    EXPECT_EQ(plan.divider, 7);
    EXPECT_EQ(plan.length, 0);
}

TEST_F(SessionTest, ArgumentsAreRefusedBeforeAnythingIsSent) {
    velmar_dds* h = Open("dds0");
    velmar_dds_plan plan{};
    const uint16_t samples[1] = {0};
    EXPECT_EQ(velmar_dds_download(h, samples, 4097), VELMAR_DDS_ERROR_INVALID_ARGUMENT);
    EXPECT_EQ(velmar_dds_download(h, nullptr, 1), VELMAR_DDS_ERROR_INVALID_ARGUMENT);
    EXPECT_EQ(velmar_dds_download(h, samples, -1), VELMAR_DDS_ERROR_INVALID_ARGUMENT);
    EXPECT_EQ(velmar_dds_measure(h, 0, nullptr), VELMAR_DDS_ERROR_INVALID_ARGUMENT);
    EXPECT_EQ(velmar_dds_get_digital_in(h, nullptr), VELMAR_DDS_ERROR_INVALID_ARGUMENT);
    EXPECT_EQ(velmar_dds_set_frequency(h, std::numeric_limits<double>::infinity(), &plan),
              VELMAR_DDS_ERROR_INVALID_ARGUMENT);
    EXPECT_EQ(velmar_dds_set_timeout(h, 0), VELMAR_DDS_ERROR_INVALID_ARGUMENT);
    EXPECT_EQ(velmar_dds_set_divider(nullptr, 1), VELMAR_DDS_ERROR_INVALID_ARGUMENT);
    EXPECT_TRUE(dds.messages.empty());
}

TEST_F(SessionTest, TheTimeLimitIsTheHandles) {
    velmar_dds* h = Open("dds0");
    ASSERT_EQ(velmar_dds_set_timeout(h, 250), VELMAR_DDS_OK);
    dds.timeout_ms = 250;  // the instrument checks every transfer's limit
    dds.silent_from = 0;
    EXPECT_EQ(velmar_dds_set_divider(h, 1), VELMAR_DDS_ERROR_TIMEOUT);
    EXPECT_NE(std::string(velmar_dds_last_message()).find("within 250 ms"), std::string::npos);
}

TEST_F(SessionTest, ALateAnswerIsDroppedEvenAfterACheck) {
    velmar_dds* h = Open("dds0");
    dds.script[0] = Answer::Late();
    uint16_t word = 0;
    EXPECT_EQ(velmar_dds_get_digital_in(h, &word), VELMAR_DDS_ERROR_TIMEOUT);
    // The late answer arrives on the next connection; a check sends nothing
    // and must not make the handle forget it missed an answer.
    Close(h);
    h = Open("dds0");
    EXPECT_EQ(velmar_dds_check(h), VELMAR_DDS_OK);
    dds.report = StatusReport::Make(0x1234, 0, 0);
    ASSERT_EQ(velmar_dds_get_digital_in(h, &word), VELMAR_DDS_OK);
    EXPECT_EQ(word, 0x1234);
    EXPECT_EQ(dds.dropped, 1);
}

// ---- The plan ------------------------------------------------------------

struct PlanCase {
    double hz;
    int playback;
    double produced_hz;
};

TEST(SessionPlanTest, ThePlanSaysWhatReallyPlays) {
    for (const PlanCase& c : {PlanCase{1000, VELMAR_DDS_PLAYS_AS_PLANNED, 1000.16002560409},
                              PlanCase{150e6, VELMAR_DDS_PLAYS_ALIAS, 50e6},
                              PlanCase{1e14, VELMAR_DDS_PLAYS_CONSTANT, 0.0}}) {
        velmar_dds_plan plan{};
        ASSERT_EQ(velmar_dds_plan_frequency(c.hz, &plan), VELMAR_DDS_OK) << c.hz;
        EXPECT_EQ(plan.playback, c.playback) << c.hz;
        EXPECT_NEAR(plan.produced_hz, c.produced_hz, 1e-6) << c.hz;
        EXPECT_EQ(plan.requested_hz, c.hz);
    }
    velmar_dds_plan plan{};
    EXPECT_EQ(velmar_dds_plan_frequency(1e15, &plan), VELMAR_DDS_ERROR_INVALID_ARGUMENT);
    EXPECT_EQ(velmar_dds_plan_frequency(1000, nullptr), VELMAR_DDS_ERROR_INVALID_ARGUMENT);
}

// ---- The state kept on the host -----------------------------------------

TEST_F(SessionTest, ANewSessionStartsFromTheStateTheLastOneSent) {
    velmar_dds* first = Open("dds0");
    velmar_dds_plan plan{};
    ASSERT_EQ(velmar_dds_set_frequency(first, 1000, &plan), VELMAR_DDS_OK);
    ASSERT_EQ(velmar_dds_set_digital_out(first, 0x00F0), VELMAR_DDS_OK);
    Close(first);

    velmar_dds* second = Open("dds0");
    velmar_dds_state state{};
    ASSERT_EQ(velmar_dds_get_state(second, &state), VELMAR_DDS_OK);
    EXPECT_EQ(state.divider, 48);
    EXPECT_EQ(state.last_divider, 48);
    double reading = 0;
    ASSERT_EQ(velmar_dds_measure(second, 0, &reading), VELMAR_DDS_OK);
    EXPECT_EQ(ControlPackets("dds0").back(), (std::array<uint16_t, 3>{0, 0x00F0, 48}))
        << "a reading restates the divider, never zeros";
}

TEST_F(SessionTest, TwoHandlesOnOneInstrumentShareItsState) {
    velmar_dds* a = Open("dds0");
    velmar_dds* b = Open("dds0");
    ASSERT_EQ(velmar_dds_set_divider(a, 9), VELMAR_DDS_OK);
    ASSERT_EQ(velmar_dds_set_digital_out(b, 3), VELMAR_DDS_OK);
    EXPECT_EQ(ControlPackets("dds0").back(), (std::array<uint16_t, 3>{0, 3, 9}));
}

TEST_F(SessionTest, AReplacedInstrumentStartsFromZero) {
    velmar_dds* first = Open("dds0");
    ASSERT_EQ(velmar_dds_set_divider(first, 48), VELMAR_DDS_OK);
    Close(first);
    dds.identities["dds0"] = 77;  // a new socket at the same path
    velmar_dds* second = Open("dds0");
    ASSERT_EQ(velmar_dds_set_single_wave(second, 1), VELMAR_DDS_OK);
    EXPECT_EQ(ControlPackets("dds0").back(), (std::array<uint16_t, 3>{kSingleWaveBit, 0, 0}));
}

TEST_F(SessionTest, AnInstrumentReplacedUnderAnOpenHandleStartsFromZero) {
    velmar_dds* h = Open("dds0");
    ASSERT_EQ(velmar_dds_set_divider(h, 48), VELMAR_DDS_OK);
    dds.script[dds.messages.size()] = Answer::HangUp();
    dds.identities["dds0"] = 78;  // what answers at the path after the hang-up is new
    EXPECT_EQ(velmar_dds_set_digital_out(h, 1), VELMAR_DDS_ERROR_DISCONNECTED);
    ASSERT_EQ(velmar_dds_set_single_wave(h, 1), VELMAR_DDS_OK);
    EXPECT_EQ(ControlPackets("dds0").back(), (std::array<uint16_t, 3>{kSingleWaveBit, 0, 0}));
}

TEST_F(SessionTest, WithoutAPlaceForRecordsAHandleKeepsItsOwnState) {
    dds.keeps_records = false;
    velmar_dds* h = Open("dds0");
    ASSERT_EQ(velmar_dds_set_divider(h, 48), VELMAR_DDS_OK);
    ASSERT_EQ(velmar_dds_set_single_wave(h, 1), VELMAR_DDS_OK);
    EXPECT_EQ(ControlPackets("dds0").back(), (std::array<uint16_t, 3>{kSingleWaveBit, 0, 48}));
}

TEST(StateRecordNameTest, AnyPathMakesAShortSafeNameOfItsOwn) {
    const std::vector<std::string> paths = {
        "/run/user/1000/velmar-dds/dds0", "/run/user/1000/velmar-dds/dds1", "/tmp/a/dds0",
        "\\\\?\\usb#vid_1234&pid_5678#{4b6c73b2-015b-4855-8bb1-a7a6c03afa87}",
        std::string(300, 'x'), "", "no-slash", "/tmp/..", "/tmp/dir/"};
    std::set<std::string> names;
    for (const std::string& path : paths) {
        const std::string name = StateRecordName(path);
        EXPECT_LE(name.size(), 32u + 1 + 16 + 6) << path;
        EXPECT_EQ(name.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                         "0123456789-_."),
                  std::string::npos)
            << name;
        EXPECT_NE(name.substr(0, 2), "..") << "never a name that climbs out of its folder";
        EXPECT_EQ(StateRecordName(path), name) << "stable";
        names.insert(name);
    }
    EXPECT_EQ(names.size(), paths.size()) << "distinct paths, distinct names";
}

// ---- The log callback ------------------------------------------------------

TEST_F(SessionTest, TheLogCallbackGetsWholeLines) {
    std::vector<std::string> lines;
    velmar_dds_set_log_callback(
        [](const char* line, void* data) {
            static_cast<std::vector<std::string>*>(data)->push_back(line);
        },
        &lines);
    velmar_dds* h = Open("dds0");
    dds.silent_from = 0;
    velmar_dds_set_divider(h, 2);
    velmar_dds_set_log_callback(nullptr, nullptr);
    std::string all;
    for (const std::string& l : lines) {
        EXPECT_EQ(l.find('\n'), std::string::npos);
        all += l + "|";
    }
    EXPECT_NE(all.find("velmar_dds_set_divider(divider 0x0002)"), std::string::npos) << all;
    EXPECT_NE(all.find("no answer within 1000 ms to the control packet"), std::string::npos);
}

// The callback runs while its call holds the instrument: a call from inside
// it is refused rather than left to deadlock.
TEST_F(SessionTest, TheLogCallbackCannotCallTheLibrary) {
    struct Seen {
        velmar_dds* other;
        int result = 1;
    } seen{Open("dds1")};
    velmar_dds_set_log_callback(
        [](const char*, void* data) {
            auto* s = static_cast<Seen*>(data);
            if (s->result == 1) s->result = velmar_dds_check(s->other);
        },
        &seen);
    velmar_dds* h = Open("dds0");
    EXPECT_EQ(velmar_dds_set_divider(h, 2), VELMAR_DDS_OK);
    velmar_dds_set_log_callback(nullptr, nullptr);
    EXPECT_EQ(seen.result, VELMAR_DDS_ERROR_INVALID_ARGUMENT);
}

}  // namespace
}  // namespace velmar::testing
