#include "sim_server.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <deque>

namespace velmar::sim {
namespace {

constexpr char kStopByte = 'q';
constexpr char kPowerCycleByte = 'p';
constexpr int kListenBacklog = 16;
// Larger than any message of the protocol: a longer one is cut here and
// answered as unknown.
constexpr size_t kReceiveBufferSize = 512;
// A connection's share of one round of the loop: a host that floods one
// instrument delays the others, and a stop, by one round at most.
constexpr int kMessagesPerRound = 8;
// Answers waiting to be sent on one connection (delayed ones, or ones whose
// host does not read them) before the server stops reading it.
constexpr size_t kMaxPendingAnswers = 64;
// When the kernel is short of memory for an answer, the next try: poll would
// report the socket writable at once and the loop would spin.
constexpr double kSendRetrySeconds = 0.01;
// How long accepting pauses after running out of descriptors, unless a
// connection closes sooner.
constexpr double kAcceptPauseSeconds = 1.0;

bool FillAddress(const std::string& path, sockaddr_un* address) {
    *address = sockaddr_un{};
    address->sun_family = AF_UNIX;
    if (path.size() >= sizeof(address->sun_path)) return false;
    std::memcpy(address->sun_path, path.c_str(), path.size() + 1);
    return true;
}

// True when a process accepts connections on the socket at `path`.
bool SomeoneListens(const sockaddr_un& address) {
    const int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    const bool listening =
        connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0;
    close(fd);
    return listening;
}

// Creates `dir` and its missing parents (mode 0700: the sockets are the
// instruments, not for other users). Tells whether `dir` itself was created.
bool MakeDirectories(const std::string& dir, bool* created, std::string* error) {
    *created = false;
    struct stat info {};
    if (stat(dir.c_str(), &info) == 0) {
        if (S_ISDIR(info.st_mode)) return true;
        *error = dir + " exists and is not a directory";
        return false;
    }
    const size_t slash = dir.find_last_of('/');
    if (slash != std::string::npos && slash > 0) {
        bool parent_created = false;
        if (!MakeDirectories(dir.substr(0, slash), &parent_created, error)) return false;
    }
    if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
        *error = "cannot create " + dir + ": " + std::strerror(errno);
        return false;
    }
    *created = true;
    return true;
}

// True when the host at the other end of `fd` closed its socket, rather than
// only shut down its sending side.
bool HostGone(int fd) {
    pollfd state = {fd, 0, 0};
    return poll(&state, 1, 0) == 1 && (state.revents & (POLLHUP | POLLERR)) != 0;
}

}  // namespace

struct SimServer::Connection {
    struct Pending {
        double due_s;
        std::vector<uint8_t> bytes;
        bool close_after;
    };
    int fd = -1;
    int instrument = 0;
    ConnectionCounters counters;
    std::deque<Pending> pending;
    bool hanging_up = false;  // a close is queued: read nothing more
    // The socket had no room for the next answer: nothing is sent or read
    // until poll says it has.
    bool send_blocked = false;
    bool closed = false;

    bool reading() const {
        return !hanging_up && !send_blocked && pending.size() < kMaxPendingAnswers;
    }
};

SimServer::SimServer(ServerOptions options) : options_(std::move(options)) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) == 0) {
        wake_read_ = fds[0];
        wake_write_ = fds[1];
    }
}

SimServer::~SimServer() {
    Shutdown();
    if (wake_read_ >= 0) close(wake_read_);
    if (wake_write_ >= 0) close(wake_write_);
}

bool SimServer::Start(std::string* error) {
    if (wake_read_ < 0) {
        *error = "cannot create the wake-up pipe";
        return false;
    }
    if (options_.count < 1 || options_.count > kMaxInstruments) {
        *error = "the number of instruments must be from 1 to " + std::to_string(kMaxInstruments);
        return false;
    }
    if (options_.input_hz && !InstrumentModel::MeterCanCount(*options_.input_hz)) {
        *error = "the meter cannot count an input of " + std::to_string(*options_.input_hz) + " Hz";
        return false;
    }
    for (const auto& own : options_.own_faults) {
        if (own.first < 0 || own.first >= options_.count) {
            *error = "faults for instrument " + std::to_string(own.first) + ", but there are " +
                     std::to_string(options_.count);
            return false;
        }
    }
    if (!MakeDirectories(options_.dir, &created_dir_, error)) return false;

    for (int i = 0; i < options_.count; ++i) {
        const std::string path = options_.dir + "/dds" + std::to_string(i);
        sockaddr_un address{};
        if (!FillAddress(path, &address)) {
            *error = path + " is too long for a socket address";
            Shutdown();
            return false;
        }
        struct stat info {};
        if (lstat(path.c_str(), &info) == 0) {
            if (!S_ISSOCK(info.st_mode)) {
                *error = path + " exists and is not a socket";
                Shutdown();
                return false;
            }
            if (SomeoneListens(address)) {
                *error = path + " is already served by another process";
                Shutdown();
                return false;
            }
            unlink(path.c_str());  // left behind by a simulator that was killed
        }
        const InstrumentFaults faults = FaultsOf(i);
        const int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (fd < 0 || bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0 ||
            (!faults.refuse && listen(fd, kListenBacklog) != 0)) {
            *error = "cannot serve " + path + ": " + std::strerror(errno);
            if (fd >= 0) close(fd);
            Shutdown();
            return false;
        }
        listeners_.push_back(fd);
        refusing_.push_back(faults.refuse);
        socket_paths_.push_back(path);

        auto model = std::make_unique<InstrumentModel>(options_.clock);
        model->set_faults(faults.faults);
        model->set_digital_in(options_.digital_in);
        model->set_external_input_hz(options_.input_hz);  // checked above
        std::lock_guard<std::mutex> lock(models_mutex_);
        models_.push_back(std::move(model));
    }
    return true;
}

InstrumentFaults SimServer::FaultsOf(int index) const {
    const auto own = options_.own_faults.find(index);
    if (own != options_.own_faults.end()) return own->second;
    InstrumentFaults faults;
    faults.faults = options_.faults;
    faults.refuse = options_.refuse;
    return faults;
}

void SimServer::Stop() {
    if (wake_write_ >= 0) {
        [[maybe_unused]] const ssize_t n = write(wake_write_, &kStopByte, 1);
    }
}

void SimServer::RequestPowerCycle() {
    if (wake_write_ >= 0) {
        [[maybe_unused]] const ssize_t n = write(wake_write_, &kPowerCycleByte, 1);
    }
}

void SimServer::Run() {
    std::vector<pollfd> fds;
    connections_per_instrument_.assign(listeners_.size(), 0);
    for (;;) {
        const double round_s = SteadySeconds();
        fds.clear();
        fds.push_back({wake_read_, POLLIN, 0});
        // A refusing instrument's socket is bound but never listened on, so
        // there is nothing to accept. A listener that is not to be accepted
        // from now is left out (fd -1): its pending connections wait, and
        // poll does not keep waking for them.
        const bool accepting = round_s >= accept_paused_until_s_;
        for (size_t i = 0; i < listeners_.size(); ++i) {
            const bool room = connections_per_instrument_[i] < kMaxConnectionsPerInstrument;
            fds.push_back({accepting && room && !refusing_[i] ? listeners_[i] : -1, POLLIN, 0});
        }
        const size_t first_connection = fds.size();
        double next_wake_s = accepting ? -1.0 : accept_paused_until_s_;
        for (const auto& connection : connections_) {
            // A connection that is neither read nor waited on for room is left
            // out: that keeps a hung-up peer's POLLHUP from waking the loop
            // again and again. One that waits for room wakes the loop by
            // POLLOUT, not by its answers' due times.
            const short events = static_cast<short>((connection->reading() ? POLLIN : 0) |
                                                    (connection->send_blocked ? POLLOUT : 0));
            fds.push_back({events != 0 ? connection->fd : -1, events, 0});
            if (!connection->send_blocked && !connection->pending.empty()) {
                const double due = connection->pending.front().due_s;
                if (next_wake_s < 0.0 || due < next_wake_s) next_wake_s = due;
            }
        }
        int timeout_ms = -1;
        if (next_wake_s >= 0.0) {
            timeout_ms =
                static_cast<int>(std::ceil(std::max(0.0, next_wake_s - SteadySeconds()) * 1000.0));
        }
        if (poll(fds.data(), fds.size(), timeout_ms) < 0 && errno != EINTR) break;

        if (fds[0].revents & POLLIN) {
            char requests[64];
            bool stop = false;
            ssize_t n;
            while ((n = read(wake_read_, requests, sizeof(requests))) > 0) {
                for (ssize_t i = 0; i < n; ++i) {
                    if (requests[i] == kStopByte) stop = true;
                    if (requests[i] == kPowerCycleByte) PowerCycleAll();
                }
            }
            if (stop) break;
        }
        for (size_t i = 0; i < listeners_.size(); ++i) {
            if (fds[1 + i].revents & POLLIN) AcceptAll(static_cast<int>(i), round_s);
        }
        // Connections accepted just now are not in `fds` yet; they are polled
        // from the next round on.
        for (size_t i = first_connection; i < fds.size(); ++i) {
            Connection& connection = *connections_[i - first_connection];
            // Room again, or a host that is gone: either way the next send
            // tells, and a gone host's messages are still read and traced.
            if (fds[i].revents & (POLLOUT | POLLHUP | POLLERR)) connection.send_blocked = false;
            if (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) {
                if (!ReadSome(connection)) connection.closed = true;
            }
        }
        const double now_s = SteadySeconds();
        for (auto& connection : connections_) {
            if (!connection->closed) SendDue(*connection, now_s);
        }
        for (auto it = connections_.begin(); it != connections_.end();) {
            if ((*it)->closed) {
                close((*it)->fd);
                --connections_per_instrument_[static_cast<size_t>((*it)->instrument)];
                // A descriptor is free again.
                accept_paused_until_s_ = 0.0;
                it = connections_.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (auto& connection : connections_) close(connection->fd);
    connections_.clear();
}

void SimServer::PowerCycleAll() {
    std::vector<std::string> lines;
    {
        std::lock_guard<std::mutex> lock(models_mutex_);
        for (auto& model : models_) lines.push_back(model->PowerCycle());
    }
    if (!options_.trace) return;
    for (size_t i = 0; i < lines.size(); ++i)
        options_.trace("dds" + std::to_string(i) + ": " + lines[i]);
}

void SimServer::AcceptAll(int instrument, double now_s) {
    int& open = connections_per_instrument_[static_cast<size_t>(instrument)];
    while (open < kMaxConnectionsPerInstrument) {
        const int fd =
            accept4(listeners_[instrument], nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            // Out of descriptors or memory: the listener stays readable, and
            // polling it again at once would only spin.
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)
                accept_paused_until_s_ = now_s + kAcceptPauseSeconds;
            return;
        }
        auto connection = std::make_unique<Connection>();
        connection->fd = fd;
        connection->instrument = instrument;
        connections_.push_back(std::move(connection));
        ++open;
    }
}

bool SimServer::ReadSome(Connection& connection) {
    uint8_t buffer[kReceiveBufferSize];
    for (int taken = 0; taken < kMessagesPerRound && connection.reading(); ++taken) {
        const ssize_t got = recv(connection.fd, buffer, sizeof(buffer), MSG_DONTWAIT);
        if (got == 0) {
            // The host sends no more. One that closed the instrument is gone;
            // one that only shut down its sending side still gets the answers
            // it is owed, then the hang-up.
            if (connection.pending.empty() || HostGone(connection.fd)) return false;
            connection.pending.push_back({SteadySeconds(), {}, true});
            connection.hanging_up = true;
            return true;
        }
        if (got < 0) return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
        Answer answer;
        {
            std::lock_guard<std::mutex> lock(models_mutex_);
            answer = models_[connection.instrument]->Handle(connection.counters, buffer,
                                                            static_cast<size_t>(got));
        }
        if (options_.trace && (options_.trace_every_block || !answer.routine_block)) {
            options_.trace("dds" + std::to_string(connection.instrument) + ": " + answer.trace);
        }
        if (!answer.bytes.empty() || answer.close_connection) {
            connection.pending.push_back({SteadySeconds() + answer.delay_ms / 1000.0,
                                          std::move(answer.bytes), answer.close_connection});
        }
        if (answer.close_connection) connection.hanging_up = true;
    }
    return true;
}

void SimServer::SendDue(Connection& connection, double now_s) {
    while (!connection.send_blocked && !connection.pending.empty() &&
           connection.pending.front().due_s <= now_s) {
        Connection::Pending& next = connection.pending.front();
        if (!next.bytes.empty() && send(connection.fd, next.bytes.data(), next.bytes.size(),
                                        MSG_NOSIGNAL | MSG_DONTWAIT) < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                connection.send_blocked = true;
                return;
            }
            if (errno == ENOBUFS || errno == ENOMEM || errno == EINTR) {
                next.due_s = now_s + kSendRetrySeconds;
                return;
            }
            // Any other failure: the host is gone, and with it whoever would
            // read this answer. Its close shows when its messages run out.
        }
        const bool close_after = next.close_after;
        connection.pending.pop_front();
        if (close_after) {
            connection.closed = true;
            return;
        }
    }
}

void SimServer::Shutdown() {
    for (int fd : listeners_) close(fd);
    listeners_.clear();
    refusing_.clear();
    for (const std::string& path : socket_paths_) unlink(path.c_str());
    socket_paths_.clear();
    for (auto& connection : connections_) close(connection->fd);
    connections_.clear();
    if (created_dir_) {
        rmdir(options_.dir.c_str());  // only if nothing else was put there
        created_dir_ = false;
    }
}

}  // namespace velmar::sim
