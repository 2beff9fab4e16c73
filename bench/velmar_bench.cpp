// How fast the library plans and talks: the frequency planning against the
// period-counting loop it replaces, and whole calls through the real socket
// transport to an in-process instrument that answers at once (or never, to
// measure the time limit).

#include <benchmark/benchmark.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "VelmarDll.h"
#include "ops/frequency_plan.h"
#include "protocol/protocol.h"

namespace {

void BM_PlanFrequency(benchmark::State& state) {
    const double hz = std::pow(10.0, static_cast<double>(state.range(0)));
    for (auto _ : state) benchmark::DoNotOptimize(velmar::PlanFrequency(hz));
}
BENCHMARK(BM_PlanFrequency)->DenseRange(0, 13, 1);

// The written loop, for comparison: its cost grows with the frequency.
void BM_PeriodLoop(benchmark::State& state) {
    const double x = 200000000.0 / std::pow(10.0, static_cast<double>(state.range(0)));
    for (auto _ : state) {
        int m = 1, k = 2;
        while (k * x <= 4096.0) ++m, ++k;
        benchmark::DoNotOptimize(m);
    }
}
BENCHMARK(BM_PeriodLoop)->DenseRange(6, 11, 1);

// An instrument on a socket: a report after a control packet, an ack after
// anything else; or nothing at all when `silent`.
class SocketInstrument {
  public:
    explicit SocketInstrument(bool silent) : silent_(silent) {
        char tmpl[] = "/tmp/velmar-bench-XXXXXX";
        dir_ = mkdtemp(tmpl);
        path_ = dir_ + "/dds0";
        listener_ = socket(AF_UNIX, SOCK_SEQPACKET, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        path_.copy(address.sun_path, sizeof(address.sun_path) - 1);
        bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof(address));
        listen(listener_, 16);
        setenv("VELMAR_DDS_DEVICE_DIR", dir_.c_str(), 1);
        thread_ = std::thread([this] { Serve(); });
    }
    ~SocketInstrument() {
        stop_ = true;
        thread_.join();
        close(listener_);
        unlink(path_.c_str());
        rmdir(dir_.c_str());
    }

  private:
    void Serve() {
        std::vector<int> clients;
        while (!stop_) {
            std::vector<pollfd> fds{{listener_, POLLIN, 0}};
            for (int c : clients) fds.push_back({c, POLLIN, 0});
            if (poll(fds.data(), fds.size(), 50) <= 0) continue;
            if (fds[0].revents & POLLIN) clients.push_back(accept(listener_, nullptr, nullptr));
            for (size_t i = 1; i < fds.size(); ++i) {
                if (!(fds[i].revents & (POLLIN | POLLHUP))) continue;
                uint8_t message[64];
                const ssize_t n = recv(fds[i].fd, message, sizeof(message), 0);
                if (n <= 0) {
                    close(fds[i].fd);
                    clients.erase(std::find(clients.begin(), clients.end(), fds[i].fd));
                    continue;
                }
                if (silent_) continue;
                const uint8_t report[velmar::kStatusReportSize] = {0x34, 0x12, 0x31, 0x75};
                const uint8_t ack = 1;
                if (n == 7 && message[0] == velmar::kControlCommand) {
                    send(fds[i].fd, report, sizeof(report), MSG_NOSIGNAL);
                } else {
                    send(fds[i].fd, &ack, 1, MSG_NOSIGNAL);
                }
            }
        }
        for (int c : clients) close(c);
    }

    bool silent_;
    std::string dir_, path_;
    int listener_ = -1;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

void BM_SetFrequencyOverSocket(benchmark::State& state) {
    SocketInstrument instrument(false);
    DDSSearch();
    int32_t length = 0, periods = 0;
    for (auto _ : state) {
        if (DDSSetFrequency(0, 1000.0, &length, &periods) != 1) state.SkipWithError("no answer");
    }
}
BENCHMARK(BM_SetFrequencyOverSocket)->UseRealTime();

void BM_DownloadFullMemoryOverSocket(benchmark::State& state) {
    SocketInstrument instrument(false);
    DDSSearch();
    std::vector<uint16_t> samples(4096, 0x8000);
    for (auto _ : state) {
        if (DDSDownload(0, samples.data(), 4096) != 1) state.SkipWithError("no answer");
    }
    state.SetBytesProcessed(state.iterations() * 4096 * 2);
}
BENCHMARK(BM_DownloadFullMemoryOverSocket)->UseRealTime();

void BM_SilentInstrumentTimeLimit(benchmark::State& state) {
    SocketInstrument instrument(true);
    DDSSearch();
    for (auto _ : state) benchmark::DoNotOptimize(DDSSetSingleWave(0, 1));
}
BENCHMARK(BM_SilentInstrumentTimeLimit)
    ->UseRealTime()
    ->Iterations(2)
    ->Unit(benchmark::kMillisecond);

void BM_TriggerPulse(benchmark::State& state) {
    SocketInstrument instrument(false);
    DDSSearch();
    for (auto _ : state) benchmark::DoNotOptimize(DDSSetTrigger(0, 1, 0));
}
BENCHMARK(BM_TriggerPulse)->UseRealTime()->Iterations(5)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
