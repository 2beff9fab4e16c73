// The transfers themselves: the real 1000 ms limit, and instruments that hang
// up or are gone, which must fail at once instead of waiting.
#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <thread>

#include "e2e_fixture.h"

namespace velmar::e2e {
namespace {

using Transport = E2eTest;

TEST_F(Transport, AnInstrumentThatNeverAnswersTimesOutAfterASecond) {
    ServeOne();
    peer_.SetReport(kDds, StatusReport(0x4321, 5, 5));
    peer_.Script(kDds, {Reply::Nothing()});
    double reading = kUntouched;
    const auto start = Clock::now();
    EXPECT_EQ(lib_->GetMeasure(0, 0, &reading), 0);
    const double took = MsSince(start);
    EXPECT_GE(took, 1000.0);
    EXPECT_LT(took, 3000.0);
    EXPECT_EQ(reading, kUntouched);
    EXPECT_EQ(Sent(), (std::vector<Bytes>{ControlPacket(0, 0, 0)}));
    EXPECT_TRUE(peer_.Connections(kDds)[0].closed_by_caller);

    // The next call is a new conversation: its answer is its own.
    uint16_t in = 0;
    ASSERT_EQ(lib_->GetDigitalIn(0, &in), 1);
    EXPECT_EQ(in, 0x4321);
}

extern "C" void IgnoreSignal(int) {}

TEST_F(Transport, SignalsDuringTheWaitNeitherShortenNorLengthenIt) {
    ServeOne();
    peer_.Script(kDds, {Reply::Nothing()});
    // A handler without SA_RESTART: every signal interrupts the wait.
    struct sigaction action {
    }, previous{};
    action.sa_handler = IgnoreSignal;
    sigaction(SIGUSR1, &action, &previous);
    const pthread_t caller = pthread_self();
    std::atomic<bool> done{false};
    std::thread interrupter([&] {
        while (!done) {
            std::this_thread::sleep_for(std::chrono::milliseconds(150));
            if (!done) pthread_kill(caller, SIGUSR1);
        }
    });
    double reading = kUntouched;
    const auto start = Clock::now();
    EXPECT_EQ(lib_->GetMeasure(0, 0, &reading), 0);
    const double took = MsSince(start);
    done = true;
    interrupter.join();
    sigaction(SIGUSR1, &previous, nullptr);
    EXPECT_GE(took, 1000.0);
    EXPECT_LT(took, 1400.0) << "an interrupted wait started its 1000 ms afresh";
}

TEST_F(Transport, ABlockAcknowledgementThatNeverComesEndsTheDownloadAfterASecond) {
    ServeOne();
    std::vector<uint16_t> wave(64 * 5, 0x0102);  // 10 blocks
    peer_.Script(kDds, {Reply::Normal(), Reply::Normal(), Reply::Normal(), Reply::Normal(),
                        Reply::Nothing()});
    const auto start = Clock::now();
    EXPECT_EQ(lib_->Download(0, wave.data(), static_cast<int32_t>(wave.size())), 0);
    const double took = MsSince(start);
    EXPECT_GE(took, 1000.0);
    EXPECT_LT(took, 3000.0);
    EXPECT_EQ(Sent().size(), 5u) << "header and four blocks, nothing after the silent one";
}

TEST_F(Transport, AnAnswerLongerThanExpectedIsNotTheAnswer) {
    ServeOne();
    Bytes long_report = StatusReport(0x1234, 30001, 0);
    long_report.push_back(0);
    peer_.Script(kDds, {Reply::With(long_report)});
    double reading = kUntouched;
    EXPECT_EQ(lib_->GetMeasure(0, 0, &reading), 0);
    EXPECT_EQ(reading, kUntouched);

    // A report where an acknowledgement belongs is no acknowledgement.
    const uint16_t wave[64] = {};
    peer_.Script(kDds, {Reply::With(StatusReport(0, 0, 0))});
    EXPECT_EQ(lib_->Download(0, wave, 64), 0);
}

// Every operation that talks to an instrument which hangs up at once.
struct Operation {
    const char* name;
    int32_t (*call)(Library&);
};

void PrintTo(const Operation& op, std::ostream* os) {
    *os << op.name;
}

class HungUp : public E2eTest, public ::testing::WithParamInterface<Operation> {};

TEST_P(HungUp, FailsAtOnceWithoutWaitingForAnAnswer) {
    ServeOne();
    peer_.HangUpOnAccept(kDds, true);
    const auto start = Clock::now();
    EXPECT_EQ(GetParam().call(*lib_), 0);
    EXPECT_LT(MsSince(start), 500.0) << "waited for an answer that cannot come";
    peer_.Settle();
    EXPECT_GE(peer_.Connections(kDds).size(), 1u);
}

TEST_P(HungUp, FailsAtOnceWhenTheInstrumentHangsUpOnTheFirstMessage) {
    ServeOne();
    peer_.Script(kDds, {Reply::HangUp()});
    const auto start = Clock::now();
    EXPECT_EQ(GetParam().call(*lib_), 0);
    EXPECT_LT(MsSince(start), 500.0) << "waited for an answer that cannot come";
}

const uint16_t kSamples[128] = {};

INSTANTIATE_TEST_SUITE_P(
    Operations, HungUp,
    ::testing::Values(
        Operation{"SetFrequency",
                  [](Library& l) {
                      int32_t a = 0, b = 0;
                      return l.SetFrequency(0, 1000.0, &a, &b);
                  }},
        Operation{"SetDivNum", [](Library& l) { return l.SetDivNum(0, 1); }},
        Operation{"Download", [](Library& l) { return l.Download(0, kSamples, 128); }},
        Operation{"GetMeasure",
                  [](Library& l) {
                      double r = 0;
                      return l.GetMeasure(0, 0, &r);
                  }},
        Operation{"ResetCounter", [](Library& l) { return l.ResetCounter(0); }},
        Operation{"SetSingleWave", [](Library& l) { return l.SetSingleWave(0, 1); }},
        Operation{"SetDIOMode", [](Library& l) { return l.SetDIOMode(0, 1); }},
        Operation{"GetDigitalIn",
                  [](Library& l) {
                      uint16_t v = 0;
                      return l.GetDigitalIn(0, &v);
                  }},
        Operation{"SetDigitalOut", [](Library& l) { return l.SetDigitalOut(0, 1); }},
        Operation{"SetPowerOnOutput0", [](Library& l) { return l.SetPowerOnOutput(0, 0); }},
        Operation{"SetPowerOnOutput1", [](Library& l) { return l.SetPowerOnOutput(0, 1); }}));

TEST_F(Transport, ATriggerOnAHungUpInstrumentDoesNotWaitForAnswers) {
    ServeOne();
    peer_.HangUpOnAccept(kDds, true);
    const auto start = Clock::now();
    EXPECT_EQ(lib_->SetTrigger(0, 1, 1), 0);
    EXPECT_LT(MsSince(start), 700.0);
}

}  // namespace
}  // namespace velmar::e2e
