// What the SCPI server's suites drive it with: a raw-socket client, and the
// server's process in front of the simulated instrument's.
#pragma once

#include <arpa/inet.h>
#include <dirent.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "child_process.h"

namespace velmar::scpi {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define VELMAR_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define VELMAR_SANITIZED 1
#endif
#endif

// The server's resident memory under any of these attacks: 64 MB, with 16
// clients each sending messages of the 1 MiB bound. A sanitizer's shadow
// memory and quarantine of freed blocks come on top of the server's own.
#ifdef VELMAR_SANITIZED
constexpr long kResidentBoundKiB = 256 * 1024;
#else
constexpr long kResidentBoundKiB = 64 * 1000;
#endif

using proctest::ChildProcess;
using proctest::TempDir;
using std::chrono::milliseconds;
using std::chrono::steady_clock;

// One TCP connection to the server, as a raw-socket VISA client has it. A
// `source` address (127.0.0.2 and so on) plays another peer; a small
// `receive_buffer` makes a client that stops reading stall the server soon.
class Client {
  public:
    explicit Client(uint16_t port, const char* source = nullptr, int receive_buffer = 0) {
        fd_ = socket(AF_INET, SOCK_STREAM, 0);
        if (receive_buffer > 0) {
            setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof(receive_buffer));
        }
        if (source != nullptr) {
            sockaddr_in local{};
            local.sin_family = AF_INET;
            inet_pton(AF_INET, source, &local.sin_addr);
            EXPECT_EQ(bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof(local)), 0) << source;
        }
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connected_ = connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
    }
    ~Client() { close(fd_); }
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    bool connected() const { return connected_; }
    // What was read after the last whole line.
    std::string Rest() { return std::exchange(input_, std::string()); }

    // A send that cannot go on for this long fails.
    void SetSendTimeout(milliseconds timeout) {
        timeval limit{};
        limit.tv_sec = static_cast<time_t>(timeout.count() / 1000);
        limit.tv_usec = static_cast<suseconds_t>(timeout.count() % 1000 * 1000);
        setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof(limit));
    }

    void Send(const std::string& bytes) {
        ASSERT_EQ(send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL),
                  static_cast<ssize_t>(bytes.size()));
    }

    // Sends what it can: false once the server has closed the connection.
    bool TrySend(const std::string& bytes) {
        size_t sent = 0;
        while (sent < bytes.size()) {
            const ssize_t n = send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
            if (n <= 0) return false;
            sent += static_cast<size_t>(n);
        }
        return true;
    }

    // The next answer line without its '\n'; nothing when none came in time
    // or the server closed the connection.
    std::optional<std::string> ReadLine(milliseconds timeout = milliseconds(4000)) {
        std::optional<std::string> line = ReadPiece(
            [](const std::string& input) -> std::optional<size_t> {
                const size_t end = input.find('\n');
                if (end == std::string::npos) return std::nullopt;
                return end + 1;
            },
            timeout);
        if (line) line->pop_back();
        return line;
    }

    // The next piece of the input, as `complete` cuts it off the front (a
    // line, an RPC record): its length, or nothing while it is not whole.
    // Nothing when none came in time or the server closed the connection.
    std::optional<std::string> ReadPiece(
        const std::function<std::optional<size_t>(const std::string&)>& complete,
        milliseconds timeout) {
        const auto deadline = steady_clock::now() + timeout;
        while (true) {
            if (const std::optional<size_t> length = complete(input_)) {
                std::string piece = input_.substr(0, *length);
                input_.erase(0, *length);
                return piece;
            }
            const auto left =
                std::chrono::duration_cast<milliseconds>(deadline - steady_clock::now());
            pollfd p{fd_, POLLIN, 0};
            if (left.count() < 0 || poll(&p, 1, static_cast<int>(left.count())) != 1) {
                return std::nullopt;
            }
            char buffer[65536];
            const ssize_t n = recv(fd_, buffer, sizeof(buffer), 0);
            if (n <= 0) {
                closed_ = true;
                return std::nullopt;
            }
            input_.append(buffer, static_cast<size_t>(n));
        }
    }

    bool closed() const { return closed_; }

    std::string Query(const std::string& message) {
        Send(message + "\n");
        return ReadLine().value_or("<no answer>");
    }

    // True when the server closes the connection within `timeout`; answers
    // on the way are read and dropped.
    bool ClosedByServer(milliseconds timeout = milliseconds(2000)) {
        const auto deadline = steady_clock::now() + timeout;
        do {
            const auto left = deadline - steady_clock::now();
            ReadLine(std::max(milliseconds(0), std::chrono::duration_cast<milliseconds>(left)));
        } while (!closed_ && steady_clock::now() < deadline);
        return closed_;
    }

  private:
    int fd_ = -1;
    bool connected_ = false;
    bool closed_ = false;
    std::string input_;
};

// The ports of "instrument <i> on 127.0.0.1:<port>" lines of a server's log.
inline std::map<int, uint16_t> ListeningPorts(const std::string& log) {
    std::map<int, uint16_t> ports;
    const std::string before = "instrument ";
    const std::string between = " on 127.0.0.1:";
    for (size_t at = log.find(before); at != std::string::npos; at = log.find(before, at + 1)) {
        const size_t index_end = log.find_first_not_of("0123456789", at + before.size());
        if (index_end == at + before.size() || log.compare(index_end, between.size(), between) != 0)
            continue;
        const int index = std::atoi(log.c_str() + at + before.size());
        ports[index] = static_cast<uint16_t>(std::atoi(log.c_str() + index_end + between.size()));
    }
    return ports;
}

// The ports a starting server listens on, once it has logged `count` of
// them (or after 5 s, with what it has logged).
inline std::map<int, uint16_t> WaitForPorts(ChildProcess& server, size_t count) {
    std::map<int, uint16_t> ports;
    for (int i = 0; i < 500 && ports.size() < count; ++i) {
        std::this_thread::sleep_for(milliseconds(10));
        ports = ListeningPorts(server.err());
    }
    return ports;
}

// The process id of this process's child running `name` (as /proc shows
// its first 15 bytes), or -1.
inline pid_t ChildNamed(const std::string& name) {
    DIR* proc = opendir("/proc");
    pid_t found = -1;
    while (dirent* entry = proc ? readdir(proc) : nullptr) {
        const pid_t pid = std::atoi(entry->d_name);
        if (pid <= 0) continue;
        std::istringstream stat(proctest::ReadFile("/proc/" + std::to_string(pid) + "/stat"));
        std::string field, comm;
        // pid (comm) state ppid: the name may hold spaces.
        std::getline(stat, field, '(');
        std::getline(stat, comm, ')');
        long parent = 0;
        stat >> field >> parent;
        if (parent == getpid() && comm == name.substr(0, 15)) found = pid;
    }
    if (proc) closedir(proc);
    return found;
}

// A field of /proc/<pid>/status in KiB (VmRSS, VmHWM), or -1.
inline long StatusKiB(pid_t pid, const std::string& field) {
    std::istringstream status(proctest::ReadFile("/proc/" + std::to_string(pid) + "/status"));
    for (std::string line; std::getline(status, line);) {
        if (line.rfind(field + ":", 0) == 0) return std::atol(line.c_str() + field.size() + 1);
    }
    return -1;
}

// Two simulated instruments and the server in front of them, each instrument
// on a port of its own chosen by the system.
class Rig {
  public:
    explicit Rig(std::vector<std::string> server_args = {}, std::vector<std::string> sim_args = {},
                 std::vector<int> served = {0, 1}, bool verbose = true) {
        std::vector<std::string> sim = {"--dir",   dir_.devices(), "--count", "2",
                                        "--trace", "--digital-in", "0x1234"};
        sim.insert(sim.end(), sim_args.begin(), sim_args.end());
        sim_.emplace(dir_, "sim", VELMAR_SIM_BINARY, sim);
        // An instrument that refuses connections (only ever dds1 here) has
        // its socket all the same.
        bool refusing = false;
        for (const std::string& arg : sim_args) refusing |= arg.rfind("--refuse", 0) == 0;
        EXPECT_TRUE(sim_->WaitForSocket(dir_.devices() + "/dds0")) << sim_->err();
        EXPECT_TRUE(sim_->WaitForSocket(dir_.devices() + "/dds1", refusing)) << sim_->err();
        setenv("VELMAR_DDS_DEVICE_DIR", dir_.devices().c_str(), 1);
        // No front panel unless a test asks for one (--http any).
        std::vector<std::string> args = {"--port", "0", "--http", "0"};
        if (verbose) args.push_back("--verbose");
        args.insert(args.end(), server_args.begin(), server_args.end());
        server_.emplace(dir_, "server", VELMAR_SCPI_BINARY, args);
        ports_ = WaitForPorts(*server_, served.size());
        EXPECT_EQ(ports_.size(), served.size()) << server_->err();
        pid_ = ChildNamed("velmar-dds-scpi");
        EXPECT_GT(pid_, 0);
    }
    ~Rig() {
        ExpectNoSanitizerReport();
        unsetenv("VELMAR_DDS_DEVICE_DIR");
    }

    uint16_t port(int index) { return ports_[index]; }
    // The front panel's port, once the server has logged it (0 after 5 s
    // without).
    uint16_t http_port() {
        const std::string before = "on http://127.0.0.1:";
        for (int i = 0; i < 500; ++i) {
            const std::string text = log();
            if (const size_t at = text.find(before); at != std::string::npos) {
                return static_cast<uint16_t>(std::atoi(text.c_str() + at + before.size()));
            }
            std::this_thread::sleep_for(milliseconds(10));
        }
        return 0;
    }
    std::string log() { return server_->err(); }
    std::string trace() { return sim_->out(); }
    // The most memory the server has held resident so far.
    long PeakResidentKiB() const { return StatusKiB(pid_, "VmHWM"); }
    // SIGTERM; the exit status. The exit may leave library calls behind, so
    // a sanitizer's report is looked for in the log rather than the status.
    int Stop() {
        const int status = server_->Signal(SIGTERM);
        ExpectNoSanitizerReport();
        return status;
    }

  private:
    // A sanitizer reports as it finds, on the server's standard error.
    void ExpectNoSanitizerReport() {
        if (reports_checked_) return;
        reports_checked_ = true;
        const std::string text = log();
        for (const char* report : {"Sanitizer", "runtime error"}) {
            EXPECT_EQ(text.find(report), std::string::npos) << text;
        }
    }

    TempDir dir_;
    std::optional<ChildProcess> sim_;
    std::optional<ChildProcess> server_;
    std::map<int, uint16_t> ports_;
    pid_t pid_ = -1;
    bool reports_checked_ = false;
};

// Checks an answer: exact text, or "~X" for a number within 0.1 % of X.
inline void ExpectAnswer(const std::string& message, const std::string& answer,
                         const std::string& expected) {
    if (expected.empty() || expected[0] != '~') {
        EXPECT_EQ(answer, expected) << message;
        return;
    }
    const double want = std::stod(expected.substr(1));
    EXPECT_NEAR(std::strtod(answer.c_str(), nullptr), want, std::fabs(want) * 1e-3)
        << message << " -> " << answer;
}

// Checks the answers of a message, split at ';', each as ExpectAnswer does.
inline void ExpectAnswers(const std::string& message, const std::string& answer,
                          const std::string& expected) {
    std::vector<std::string> got, want;
    std::stringstream a(answer), w(expected);
    for (std::string part; std::getline(a, part, ';');) got.push_back(part);
    for (std::string part; std::getline(w, part, ';');) want.push_back(part);
    ASSERT_EQ(got.size(), want.size()) << message << " -> " << answer;
    for (size_t i = 0; i < got.size(); ++i) ExpectAnswer(message, got[i], want[i]);
}

// An HTTP answer as a raw client reads it.
struct HttpAnswer {
    int status = 0;  // 0: no answer
    std::string head;
    std::string body;
};

// Sends `request` as it is on a connection of its own and reads the answer
// until the server closes or `timeout` passes (requests say Connection: close).
inline HttpAnswer HttpExchange(uint16_t port, const std::string& request,
                               milliseconds timeout = milliseconds(4000)) {
    Client client(port);
    HttpAnswer answer;
    if (!client.connected() || !client.TrySend(request)) return answer;
    std::string text;
    while (std::optional<std::string> line = client.ReadLine(timeout)) text += *line + "\n";
    text += client.Rest();
    const size_t end = text.find("\r\n\r\n");
    if (text.rfind("HTTP/1.1 ", 0) != 0 || end == std::string::npos) return answer;
    answer.status = std::atoi(text.c_str() + 9);
    answer.head = text.substr(0, end);
    answer.body = text.substr(end + 4);
    return answer;
}

// A request for `target` with the usual header fields and `extra` ones.
inline std::string HttpRequest(const std::string& method, const std::string& target,
                               const std::string& host, const std::string& extra = "",
                               const std::string& body = "") {
    std::string request =
        method + " " + target + " HTTP/1.1\r\nHost: " + host + "\r\nConnection: close\r\n" + extra;
    if (!body.empty() || method == "POST") {
        request += "Content-Length: " + std::to_string(body.size()) + "\r\n";
    }
    return request + "\r\n" + body;
}

struct Exchange {
    const char* message;
    const char* answer;
};

}  // namespace velmar::scpi
