// The library's transfers against the transport itself: the same exchanges,
// made by the library and by a plain blocking client, with the same
// simulated instruments (velmar-dds-sim, a process of its own), in one run.
// Rounds alternate between the two so that a machine that speeds up or slows
// down during the run affects both alike; each figure is the median over the
// rounds of the mean time of one exchange.
//
// Both faces are measured: VelmarDll, which opens and closes the instrument
// for every call, against a client that connects for every exchange; and a
// session, which keeps its instrument open, against a client on a socket
// kept open. Last, two sessions on two instruments from two threads against
// one alone.
//
//   transport_bench [--library PATH] [--rounds N] [--load]
//
// --library loads another build of VelmarDll (by default the one built
// beside this program), so that two builds can be compared on one machine.
// --load keeps a busy loop running on another thread for the whole run: a
// ratio that holds only on an idle machine is not held.

#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "VelmarDll.h"
#include "raw_client.h"
#include "velmar/dds.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

// The library's functions, found by name in the library loaded.
struct Library {
    decltype(&DDSSearch) search = nullptr;
    decltype(&DDSSetDivNum) set_div_num = nullptr;
    decltype(&DDSDownload) download = nullptr;
    decltype(&DDSGetMeasure) get_measure = nullptr;

    bool Load(const std::string& path) {
        void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (handle == nullptr) {
            std::fprintf(stderr, "transport_bench: %s\n", dlerror());
            return false;
        }
        search = reinterpret_cast<decltype(search)>(dlsym(handle, "DDSSearch"));
        set_div_num = reinterpret_cast<decltype(set_div_num)>(dlsym(handle, "DDSSetDivNum"));
        download = reinterpret_cast<decltype(download)>(dlsym(handle, "DDSDownload"));
        get_measure = reinterpret_cast<decltype(get_measure)>(dlsym(handle, "DDSGetMeasure"));
        return search && set_div_num && download && get_measure;
    }
};

// velmar-dds-sim serving one instrument in a directory of its own.
class Simulator {
  public:
    // `delay_ms`: every answer that many milliseconds late (0: at once).
    bool Start(int delay_ms = 0) {
        char tmpl[] = "/tmp/velmar-bench-XXXXXX";
        if (mkdtemp(tmpl) == nullptr) return false;
        dir_ = tmpl;
        socket_ = dir_ + "/dds1";
        std::string binary = VELMAR_SIM_BINARY;
        const std::string delay = std::to_string(delay_ms);
        const char* argv[] = {binary.c_str(), "--dir", dir_.c_str(), "--count", "2",
                              "--delay-ms", delay.c_str(), nullptr};
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
        const int spawned = posix_spawn(&pid_, binary.c_str(), &actions, nullptr,
                                        const_cast<char* const*>(argv), environ);
        posix_spawn_file_actions_destroy(&actions);
        if (spawned != 0) return false;
        for (int i = 0; i < 500; ++i) {
            struct stat info {};
            if (stat(socket_.c_str(), &info) == 0 && S_ISSOCK(info.st_mode)) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }
    ~Simulator() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
        }
        if (!dir_.empty()) rmdir(dir_.c_str());
    }
    const std::string& dir() const { return dir_; }
    std::string socket(int i) const { return dir_ + "/dds" + std::to_string(i); }

  private:
    pid_t pid_ = -1;
    std::string dir_, socket_;
};

struct Exchange {
    const char* name;
    int repeats;  // exchanges per round and side
    std::function<bool()> library;
    std::function<bool()> raw;
};

double MeanSeconds(const std::function<bool()>& exchange, int repeats, bool* ok) {
    const auto start = Clock::now();
    for (int i = 0; i < repeats; ++i) *ok &= exchange();
    return std::chrono::duration<double>(Clock::now() - start).count() / repeats;
}

double Median(std::vector<double> values);
std::string Time(double seconds);

// Each exchange's library side against its raw side, rounds alternating.
bool Compare(const std::vector<Exchange>& exchanges, int rounds) {
    std::printf("%-38s %12s %12s %8s\n", "exchange", "library", "raw client", "ratio");
    bool ok = true;
    for (const Exchange& e : exchanges) {
        std::vector<double> library_times, raw_times;
        // A warm-up round, not counted.
        MeanSeconds(e.library, e.repeats, &ok);
        MeanSeconds(e.raw, e.repeats, &ok);
        for (int r = 0; r < rounds; ++r) {
            // Alternate which side goes first.
            if (r % 2 == 0) library_times.push_back(MeanSeconds(e.library, e.repeats, &ok));
            raw_times.push_back(MeanSeconds(e.raw, e.repeats, &ok));
            if (r % 2 == 1) library_times.push_back(MeanSeconds(e.library, e.repeats, &ok));
        }
        const double library = Median(library_times), plain = Median(raw_times);
        std::printf("%-38s %12s %12s %8.3f\n", e.name, Time(library).c_str(),
                    Time(plain).c_str(), library / plain);
    }
    return ok;
}

// Control exchanges per second on `handles`, each driven by a thread of its
// own for `seconds`.
double ExchangesPerSecond(const std::vector<velmar_dds*>& handles, double seconds, bool* ok) {
    std::atomic<long> total{0};
    std::atomic<bool> failed{false};
    std::vector<std::thread> threads;
    const auto end = Clock::now() + std::chrono::duration<double>(seconds);
    const auto start = Clock::now();
    for (velmar_dds* h : handles) {
        threads.emplace_back([&, h] {
            long n = 0;
            while (Clock::now() < end) {
                if (velmar_dds_set_divider(h, 0) != VELMAR_DDS_OK) failed = true;
                ++n;
            }
            total += n;
        });
    }
    for (std::thread& t : threads) t.join();
    *ok &= !failed;
    return static_cast<double>(total) /
           std::chrono::duration<double>(Clock::now() - start).count();
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

std::string Time(double seconds) {
    char text[32];
    if (seconds < 1e-3) {
        std::snprintf(text, sizeof(text), "%8.2f us", seconds * 1e6);
    } else {
        std::snprintf(text, sizeof(text), "%8.3f ms", seconds * 1e3);
    }
    return text;
}

}  // namespace

int main(int argc, char** argv) {
    std::string library_path = VELMAR_LIBRARY_PATH;
    int rounds = 21;
    bool load = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--load") == 0) load = true;
        if (i + 1 < argc && std::strcmp(argv[i], "--library") == 0) library_path = argv[i + 1];
        if (i + 1 < argc && std::strcmp(argv[i], "--rounds") == 0)
            rounds = std::max(1, std::atoi(argv[i + 1]));
    }
    std::atomic<bool> stop_load{false};
    std::thread busy;
    if (load) {
        busy = std::thread([&] {
            volatile unsigned long spin = 0;
            while (!stop_load.load(std::memory_order_relaxed)) spin = spin + 1;
        });
    }
    Simulator sim;
    if (!sim.Start()) {
        std::fprintf(stderr, "transport_bench: velmar-dds-sim did not start\n");
        return 1;
    }
    setenv("VELMAR_DDS_DEVICE_DIR", sim.dir().c_str(), 1);
    // The sessions' state records in a directory of the run's own.
    char state_dir[] = "/tmp/velmar-bench-state-XXXXXX";
    if (mkdtemp(state_dir) == nullptr) return 1;
    setenv("VELMAR_DDS_STATE_DIR", state_dir, 1);
    Library lib;
    if (!lib.Load(library_path) || lib.search() != 2) {
        std::fprintf(stderr, "transport_bench: the library found no simulated instruments\n");
        return 1;
    }
    velmar::bench::RawClient raw(sim.socket(0));
    velmar::bench::RawClient raw_open(sim.socket(0), true);
    velmar_dds* session = nullptr;
    velmar_dds* second = nullptr;
    if (velmar_dds_open(sim.socket(0).c_str(), &session) != VELMAR_DDS_OK ||
        velmar_dds_open(sim.socket(1).c_str(), &second) != VELMAR_DDS_OK) {
        std::fprintf(stderr, "transport_bench: %s\n", velmar_dds_last_message());
        return 1;
    }
    std::vector<uint16_t> samples(4096);
    for (size_t i = 0; i < samples.size(); ++i) samples[i] = static_cast<uint16_t>(i * 16);

    std::printf("VelmarDll %s\n%d rounds against velmar-dds-sim%s; median of each round's mean\n",
                library_path.c_str(), rounds, load ? ", a busy loop on another thread" : "");
    std::printf("\nVelmarDll, open and close per call, against a client connecting per exchange\n");
    bool ok = Compare(
        {
            {"control exchange (DDSSetDivNum)", 400, [&] { return lib.set_div_num(0, 0) == 1; },
             [&] { return raw.ControlExchange(); }},
            {"download of 4096 samples", 8,
             [&] { return lib.download(0, samples.data(), 4096) == 1; },
             [&] { return raw.Download(samples.data(), 4096); }},
            {"DDSGetMeasure", 400,
             [&] {
                 double reading = 0;
                 return lib.get_measure(0, 0, &reading) == 1;
             },
             [&] { return raw.ControlExchange(); }},
        },
        rounds);
    std::printf("\nA session, kept open, against a client on a socket kept open\n");
    ok &= Compare(
        {
            {"control exchange (set_divider)", 400,
             [&] { return velmar_dds_set_divider(session, 0) == VELMAR_DDS_OK; },
             [&] { return raw_open.ControlExchange(); }},
            {"download of 4096 samples", 8,
             [&] { return velmar_dds_download(session, samples.data(), 4096) == VELMAR_DDS_OK; },
             [&] { return raw_open.Download(samples.data(), 4096); }},
            {"velmar_dds_measure", 400,
             [&] {
                 double reading = 0;
                 return velmar_dds_measure(session, 1, &reading) == VELMAR_DDS_OK;
             },
             [&] { return raw_open.ControlExchange(); }},
        },
        rounds);

    std::printf("\nTwo sessions on two instruments from two threads against one alone\n");
    std::vector<double> one, two;
    for (int r = 0; r < 5; ++r) {
        one.push_back(ExchangesPerSecond({session}, 0.4, &ok));
        two.push_back(ExchangesPerSecond({session, second}, 0.4, &ok));
    }
    std::printf("%-38s %12.0f\n%-38s %12.0f\n%-38s %12.2f\n", "control exchanges/s, one handle",
                Median(one), "control exchanges/s, two handles", Median(two), "ratio",
                Median(two) / Median(one));
    velmar_dds_close(session);
    velmar_dds_close(second);

    // With every answer 2 ms late the exchanges wait on the instruments, not
    // on the processor: what two handles gain is what they overlap.
    Simulator slow;
    if (!slow.Start(2) || velmar_dds_open(slow.socket(0).c_str(), &session) != VELMAR_DDS_OK ||
        velmar_dds_open(slow.socket(1).c_str(), &second) != VELMAR_DDS_OK) {
        std::fprintf(stderr, "transport_bench: the slow instruments did not open\n");
        return 1;
    }
    one.clear();
    two.clear();
    for (int r = 0; r < 3; ++r) {
        one.push_back(ExchangesPerSecond({session}, 0.5, &ok));
        two.push_back(ExchangesPerSecond({session, second}, 0.5, &ok));
    }
    std::printf("\nThe same with every answer 2 ms late\n");
    std::printf("%-38s %12.0f\n%-38s %12.0f\n%-38s %12.2f\n", "control exchanges/s, one handle",
                Median(one), "control exchanges/s, two handles", Median(two), "ratio",
                Median(two) / Median(one));
    velmar_dds_close(session);
    velmar_dds_close(second);
    stop_load = true;
    if (busy.joinable()) busy.join();
    const std::string clean = std::string("rm -rf '") + state_dir + "'";
    if (std::system(clean.c_str()) != 0) std::fprintf(stderr, "transport_bench: %s left\n", state_dir);
    if (!ok) {
        std::fprintf(stderr, "transport_bench: an exchange failed\n");
        return 1;
    }
    return 0;
}
