// What the SCPI server adds to a measurement: MEAS:FREQ? through
// velmar-dds-scpi on loopback against velmar_dds_measure called directly on
// a session of its own, both on the same simulated instrument in the same
// run, with a bare loopback TCP round trip beside them. The server should
// cost at most that round trip plus 50 us more than the direct call. Both
// keep their session's connection to the instrument open, so the difference
// is the server's own: the socket, the parser and the hop to the
// instrument's strand and back.

#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "velmar/dds.h"

extern char** environ;

namespace {

// The machine is shared and its load changes: each figure is the median of
// repetitions run interleaved with the others' (see main).
void Timing(benchmark::internal::Benchmark* b) {
    b->UseRealTime()->Unit(benchmark::kMicrosecond)->Repetitions(9)->ReportAggregatesOnly(true);
}

pid_t Spawn(std::vector<std::string> args, const std::string& err_file) {
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 2, err_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0600);
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

int Connect(uint16_t port) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
        close(fd);
        return -1;
    }
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    return fd;
}

// Sends `message` and reads up to its answer's '\n'.
bool RoundTrip(int fd, const char* message, size_t size) {
    if (send(fd, message, size, MSG_NOSIGNAL) != static_cast<ssize_t>(size)) return false;
    char buffer[256];
    while (true) {
        const ssize_t n = recv(fd, buffer, sizeof(buffer), 0);
        if (n <= 0) return false;
        if (buffer[n - 1] == '\n') return true;
    }
}

struct Setup {
    std::string dir;
    pid_t sim = -1;
    pid_t server = -1;
    uint16_t port = 0;
};
Setup g_setup;

void BM_DirectMeasure(benchmark::State& state) {
    velmar_dds* handle = nullptr;
    if (velmar_dds_open_position(0, &handle) != VELMAR_DDS_OK) {
        return state.SkipWithError(velmar_dds_last_message());
    }
    double reading = 0.0;
    for (auto _ : state) {
        if (velmar_dds_measure(handle, 0, &reading) != VELMAR_DDS_OK) {
            state.SkipWithError(velmar_dds_last_message());
            break;
        }
    }
    velmar_dds_close(handle);
}
BENCHMARK(BM_DirectMeasure)->Apply(Timing);

// A query through the server: MEAS:FREQ? goes to the instrument's strand on
// the library's thread pool, *IDN? is answered on the connection alone.
void ServerQuery(benchmark::State& state, const std::string& query) {
    const int fd = Connect(g_setup.port);
    if (fd < 0) return state.SkipWithError("cannot connect to the server");
    for (auto _ : state) {
        if (!RoundTrip(fd, query.data(), query.size())) state.SkipWithError("no answer");
    }
    close(fd);
}
void BM_ServerMeasFreq(benchmark::State& state) {
    ServerQuery(state, "MEAS:FREQ?\n");
}
BENCHMARK(BM_ServerMeasFreq)->Apply(Timing);
void BM_ServerIdn(benchmark::State& state) {
    ServerQuery(state, "*IDN?\n");
}
BENCHMARK(BM_ServerIdn)->Apply(Timing);

// One loopback TCP round trip: a thread that echoes one line.
void BM_LoopbackRoundTrip(benchmark::State& state) {
    const int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof(address));
    listen(listener, 1);
    getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
    std::thread echo([listener] {
        const int fd = accept(listener, nullptr, nullptr);
        const int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
        char buffer[256];
        ssize_t n = 0;
        while ((n = recv(fd, buffer, sizeof(buffer), 0)) > 0) send(fd, buffer, n, MSG_NOSIGNAL);
        close(fd);
    });
    const int fd = Connect(ntohs(address.sin_port));
    static const char kLine[] = "MEAS:FREQ?\n";
    for (auto _ : state) {
        if (!RoundTrip(fd, kLine, sizeof(kLine) - 1)) state.SkipWithError("no echo");
    }
    close(fd);
    echo.join();
    close(listener);
}
BENCHMARK(BM_LoopbackRoundTrip)->Apply(Timing);

// Keeps each benchmark's time per iteration for the verdict.
class VerdictReporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "median") {
                microseconds[run.run_name.function_name] =
                    run.GetAdjustedRealTime();  // in the benchmark's unit, microseconds
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }
    std::map<std::string, double> microseconds;
};

bool StartServer() {
    char pattern[] = "/tmp/velmar-scpi-bench-XXXXXX";
    if (mkdtemp(pattern) == nullptr) return false;
    g_setup.dir = pattern;
    const std::string devices = g_setup.dir + "/devices";
    g_setup.sim = Spawn({VELMAR_SIM_BINARY, "--dir", devices}, g_setup.dir + "/sim.err");
    for (int i = 0; i < 300 && access((devices + "/dds0").c_str(), F_OK) != 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    setenv("VELMAR_DDS_DEVICE_DIR", devices.c_str(), 1);
    const std::string log = g_setup.dir + "/server.err";
    g_setup.server = Spawn({VELMAR_SCPI_BINARY, "--port", "0", "--listen", "127.0.0.1"}, log);
    const std::regex listening(R"(instrument 0 on 127\.0\.0\.1:(\d+))");
    for (int i = 0; i < 300 && g_setup.port == 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        std::ifstream in(log);
        std::stringstream text;
        text << in.rdbuf();
        std::smatch match;
        const std::string s = text.str();
        if (std::regex_search(s, match, listening)) {
            g_setup.port = static_cast<uint16_t>(std::stoi(match[1]));
        }
    }
    return g_setup.port != 0;
}

void StopServer() {
    for (pid_t pid : {g_setup.server, g_setup.sim}) {
        if (pid <= 0) continue;
        kill(pid, SIGTERM);
        waitpid(pid, nullptr, 0);
    }
    for (const char* name : {"/sim.err", "/server.err"}) unlink((g_setup.dir + name).c_str());
    rmdir(g_setup.dir.c_str());
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<char*> args(argv, argv + argc);
    char interleave[] = "--benchmark_enable_random_interleaving=true";
    args.insert(args.begin() + 1, interleave);
    argc = static_cast<int>(args.size());
    argv = args.data();
    benchmark::Initialize(&argc, argv);
    if (!StartServer()) {
        std::fprintf(stderr, "scpi_bench: the simulator or the server did not start\n");
        StopServer();
        return 1;
    }
    VerdictReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    StopServer();
    auto& us = reporter.microseconds;
    const char* names[] = {"BM_DirectMeasure", "BM_ServerMeasFreq", "BM_LoopbackRoundTrip"};
    for (const char* name : names) {
        if (us.count(name) == 0) return 0;  // filtered out
    }
    const double overhead =
        us["BM_ServerMeasFreq"] - us["BM_DirectMeasure"] - us["BM_LoopbackRoundTrip"];
    std::printf(
        "\nMedians: MEAS:FREQ? through the server %.1f us = velmar_dds_measure %.1f us + loopback "
        "round trip %.1f us + %.1f us of the server (bound: 50 us): %s\n",
        us["BM_ServerMeasFreq"], us["BM_DirectMeasure"], us["BM_LoopbackRoundTrip"], overhead,
        overhead <= 50.0 ? "within" : "OVER");
    return 0;
}
