// The trace a caller turns on with VELMAR_DDS_TRACE: for each way a call can
// fail, the line that names the reason; and a traced session that gives the
// caller exactly what an untraced one gives.
#include <fstream>
#include <functional>
#include <regex>
#include <sstream>
#include <thread>

#include "e2e_fixture.h"

namespace velmar::e2e {
namespace {

class Trace : public E2eTest {
  protected:
    void SetUp() override {
        unsetenv("VELMAR_DDS_TRACE");
        E2eTest::SetUp();
        char name[] = "/tmp/velmar-trace-XXXXXX";
        const int fd = mkstemp(name);
        ASSERT_GE(fd, 0);
        close(fd);
        file_ = name;
    }
    void TearDown() override {
        unsetenv("VELMAR_DDS_TRACE");
        std::remove(file_.c_str());
        E2eTest::TearDown();
    }

    // Serves dds0 and searches with the trace going to the file: a search
    // reads the variable again.
    void ServeAndTrace() {
        setenv("VELMAR_DDS_TRACE", file_.c_str(), 1);
        ServeOne();
    }

    std::string Lines() const {
        std::ifstream in(file_);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }

    std::string file_;
};

struct FailureCase {
    const char* name;
    std::function<void(SocketPeer&)> arrange;
    std::function<int32_t(Library&)> call;
    std::vector<std::string> lines;  // each must appear in the trace
};

void PrintTo(const FailureCase& c, std::ostream* os) {
    *os << c.name;
}

class TraceReason : public Trace, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(TraceReason, NamesWhyTheCallReturnedZero) {
    ServeAndTrace();
    GetParam().arrange(peer_);
    EXPECT_EQ(GetParam().call(*lib_), 0);
    const std::string trace = Lines();
    for (const std::string& line : GetParam().lines)
        EXPECT_NE(trace.find(line), std::string::npos) << "no '" << line << "' in:\n" << trace;
}

int32_t Measure(Library& lib) {
    double reading = 0;
    return lib.GetMeasure(0, 0, &reading);
}

const std::string kMeasureSent =
    "-> a0 00 00 00 00 00 00  control: word 0x0000 [none] dio-out 0x0000 divider 0";

INSTANTIATE_TEST_SUITE_P(
    Failures, TraceReason,
    ::testing::Values(
        FailureCase{"Silent",
                    [](SocketPeer& p) { p.Script("dds0", {Reply::Nothing()}); },
                    Measure,
                    {"DDSGetMeasure(index 0, mode 0, reading 0x", "device 0: ", kMeasureSent,
                     "<- no answer within 1000 ms", "DDSGetMeasure = 0 ("}},
        FailureCase{"Short",
                    [](SocketPeer& p) {
                        p.Script("dds0", {Reply::With({1, 2, 3})});
                    },
                    Measure,
                    {kMeasureSent, "<- a short answer to the control packet: 3 of 10 bytes (01 02 03)"}},
        FailureCase{"OverLong",
                    [](SocketPeer& p) { p.Script("dds0", {Reply::With(Bytes(11, 0))}); },
                    Measure,
                    {"<- a wrong answer to the control packet: an over-long answer (11 bytes where 10 were "
                     "asked for)"}},
        FailureCase{"HungUp",
                    [](SocketPeer& p) { p.Script("dds0", {Reply::HangUp()}); },
                    Measure,
                    {"<- the instrument hung up without answering the control packet"}},
        // The pulse's packet is answered by a hang-up; the final packet then
        // goes to a connection that is gone.
        FailureCase{"WriteRefused",
                    [](SocketPeer& p) { p.Script("dds0", {Reply::HangUp()}); },
                    [](Library& lib) { return lib.SetTrigger(0, 1, 0); },
                    {"-> a0 10 00 00 00 00 00", "<- the instrument hung up before taking the control packet: Broken pipe"}},
        FailureCase{"OpenRefused",
                    [](SocketPeer& p) { p.StopListening("dds0"); },
                    Measure,
                    {"/dds0: open failed: Connection refused"}},
        FailureCase{"Unplugged",
                    [](SocketPeer& p) { p.RemoveSocketFile("dds0"); },
                    Measure,
                    {"/dds0: open failed: No such file or directory"}},
        FailureCase{
            "IndexOutOfRange",
            [](SocketPeer&) {},
            [](Library& lib) { return lib.Check(5); },
            {"DDSCheck(index 5)", "device 5: not in the list of the last search (indices 0 to 0)"}},
        FailureCase{"RefusedArgument",
                    [](SocketPeer&) {},
                    [](Library& lib) { return lib.GetMeasure(0, 0, nullptr); },
                    {"DDSGetMeasure(index 0, mode 0, reading NULL)",
                     "refused: reading is NULL; nothing sent"}}),
    [](const ::testing::TestParamInfo<FailureCase>& info) { return info.param.name; });

TEST_F(Trace, StartsWithTheVersionAndShowsAGoodExchange) {
    ServeAndTrace();
    peer_.SetReport(kDds, StatusReport(0x1234, 30001, 4000));
    uint16_t in = 0;
    ASSERT_EQ(lib_->GetDigitalIn(0, &in), 1);
    const std::string trace = Lines();
    EXPECT_EQ(trace.rfind(std::string("VelmarDll ") + VELMAR_DLL_VERSION_STRING + ": trace on", 0),
              0u)
        << trace;
    EXPECT_NE(trace.find("searched directory " + peer_.root() + ": 1 found"), std::string::npos);
    EXPECT_NE(trace.find("<- 34 12 31 75 00 00 a0 0f 00 00  report: digital in 0x1234, count "
                         "30001, period 4000"),
              std::string::npos)
        << trace;
    EXPECT_NE(trace.find("DDSGetDigitalIn = 1 ("), std::string::npos);
}

TEST_F(Trace, AFileThatCannotBeOpenedIsReportedOnceAndTracesNothing) {
    ServeOne();
    setenv("VELMAR_DDS_TRACE", "/nonexistent-velmar-dir/trace.txt", 1);
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(lib_->Search(), 1);
    EXPECT_EQ(lib_->Search(), 1);
    EXPECT_EQ(lib_->SetSingleWave(0, 1), 1);
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(err,
              "VelmarDll: VELMAR_DDS_TRACE=/nonexistent-velmar-dir/trace.txt: cannot open the "
              "file (No such file or directory); tracing is off\n");
}

// What a caller gets from a session: every result and out-argument, and
// every byte the instrument received.
struct Session {
    std::vector<double> results;
    std::vector<Bytes> sent;
    bool operator==(const Session& o) const { return results == o.results && sent == o.sent; }
};

Session RunSession(Library& lib, SocketPeer& peer) {
    Session s;
    int32_t length = -1, periods = -1;
    double reading = -1;
    uint16_t in = 0;
    const uint16_t wave[100] = {1, 2, 3};
    s.results = {static_cast<double>(lib.SetFrequency(0, 1000.0, &length, &periods)),
                 static_cast<double>(length),
                 static_cast<double>(periods),
                 static_cast<double>(lib.Download(0, wave, 100)),
                 static_cast<double>(lib.GetMeasure(0, 1, &reading)),
                 reading,
                 static_cast<double>(lib.GetDigitalIn(0, &in)),
                 static_cast<double>(in),
                 static_cast<double>(lib.SetTrigger(0, 1, 1)),
                 lib.GetCLK(),
                 static_cast<double>(lib.GetDivNum()),
                 static_cast<double>(lib.SetPowerOnOutput(0, 0)),
                 static_cast<double>(lib.GetMeasure(0, 0, nullptr))};
    peer.Settle();
    s.sent = peer.Messages("dds0");
    return s;
}

TEST_F(Trace, ATracedSessionGivesTheCallerWhatAnUntracedOneGives) {
    ServeOne();
    peer_.SetReport(kDds, StatusReport(0xBEEF, 12345, 678));
    const Session untraced = RunSession(*lib_, peer_);

    lib_ = Library::LoadFresh();
    setenv("VELMAR_DDS_TRACE", file_.c_str(), 1);
    ASSERT_EQ(lib_->Search(), 1);
    peer_.Settle();
    const size_t before = peer_.Messages(kDds).size();
    Session traced = RunSession(*lib_, peer_);
    traced.sent.erase(traced.sent.begin(), traced.sent.begin() + static_cast<long>(before));
    EXPECT_TRUE(traced == untraced);
    EXPECT_NE(Lines().find("DDSSetPowerOnOutput = 1"), std::string::npos);
}

TEST_F(Trace, LinesStayWholeWithFourThreadsCalling) {
    ServeAndTrace();
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([this, t] {
            for (int i = 0; i < 50; ++i) {
                uint16_t in = 0;
                lib_->SetDigitalOut(0, static_cast<uint16_t>(t));
                lib_->GetDigitalIn(0, &in);
            }
        });
    }
    for (auto& thread : threads) thread.join();
    std::istringstream lines(Lines());
    const std::regex whole(R"(VelmarDll (\d+\.\d{6} .+|\d+\.\d+\.\d+: trace on .+))");
    std::string line;
    int count = 0;
    while (std::getline(lines, line)) {
        ++count;
        EXPECT_TRUE(std::regex_match(line, whole)) << line;
    }
    EXPECT_GT(count, 4 * 50 * 2 * 4) << "call, device, message and answer lines for every call";
}

}  // namespace
}  // namespace velmar::e2e
