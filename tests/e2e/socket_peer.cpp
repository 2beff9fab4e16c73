#include "socket_peer.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <stdexcept>
#include <system_error>

namespace velmar::e2e {
namespace {

constexpr uint8_t kControlCode = 0xA0;
constexpr size_t kControlPacketSize = 7;
constexpr uint8_t kAckByte = 0x5A;  // any value: the caller must not look at it
constexpr int kPollMs = 5;

[[noreturn]] void Fail(const std::string& what) {
    throw std::system_error(errno, std::generic_category(), what);
}

void PutLe16(Bytes& b, uint16_t v) {
    b.push_back(static_cast<uint8_t>(v & 0xFF));
    b.push_back(static_cast<uint8_t>(v >> 8));
}

void PutLe32(Bytes& b, uint32_t v) {
    for (int shift = 0; shift < 32; shift += 8) b.push_back(static_cast<uint8_t>(v >> shift));
}

}  // namespace

SocketPeer::SocketPeer() {
    char tmpl[] = "/tmp/velmar-e2e-XXXXXX";
    if (mkdtemp(tmpl) == nullptr) Fail("mkdtemp");
    root_ = tmpl;
    if (pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) Fail("pipe2");
    thread_ = std::thread([this] { Serve(); });
}

SocketPeer::~SocketPeer() {
    {
        std::lock_guard<std::mutex> lock(mu_);
        stop_ = true;
    }
    char c = 1;
    (void)!write(wake_[1], &c, 1);
    thread_.join();
    for (auto& open : open_) close(open.fd);
    for (auto& [name, ins] : instruments_) {
        if (ins.listen_fd >= 0) close(ins.listen_fd);
    }
    close(wake_[0]);
    close(wake_[1]);
    std::error_code ec;
    std::filesystem::remove_all(root_, ec);
}

void SocketPeer::AddInstrument(const std::string& name) {
    const std::filesystem::path path = std::filesystem::path(root_) / name;
    std::filesystem::create_directories(path.parent_path());

    int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) Fail("socket");
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    // A path longer than a socket address can still be bound relative to its
    // directory; the test of over-long device paths needs such sockets.
    const bool relative = path.native().size() >= sizeof(addr.sun_path);
    const std::string bind_name = relative ? path.filename().native() : path.native();
    if (bind_name.size() >= sizeof(addr.sun_path)) throw std::length_error("socket name " + name);
    bind_name.copy(addr.sun_path, bind_name.size());
    int cwd = -1;
    if (relative) {
        cwd = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (cwd < 0 || chdir(path.parent_path().c_str()) != 0) Fail("chdir");
    }
    const int bound = bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
    if (relative && fchdir(cwd) != 0) Fail("fchdir");
    if (cwd >= 0) close(cwd);
    if (bound != 0) Fail("bind " + path.native());
    if (listen(fd, 64) != 0) Fail("listen");

    std::lock_guard<std::mutex> lock(mu_);
    Instrument& ins = instruments_[name];
    ins.path = path.native();
    ins.listen_fd = fd;
}

void SocketPeer::RemoveSocketFile(const std::string& name) {
    std::lock_guard<std::mutex> lock(mu_);
    if (unlink(Find(name).path.c_str()) != 0) Fail("unlink");
}

void SocketPeer::StopListening(const std::string& name) {
    // The serving thread may be polling the listener: close it only after
    // the thread has let go of it.
    std::unique_lock<std::mutex> lock(mu_);
    Instrument& ins = Find(name);
    const int fd = ins.listen_fd;
    ins.listen_fd = -1;
    const uint64_t target = idle_epoch_ + 2;
    char c = 1;
    (void)!write(wake_[1], &c, 1);
    idle_cv_.wait_for(lock, std::chrono::seconds(5), [&] { return idle_epoch_ >= target; });
    close(fd);
}

void SocketPeer::SetReport(const std::string& name, Bytes report) {
    std::lock_guard<std::mutex> lock(mu_);
    Find(name).report = std::move(report);
}

void SocketPeer::Script(const std::string& name, std::vector<Reply> replies) {
    std::lock_guard<std::mutex> lock(mu_);
    auto& script = Find(name).script;
    script.assign(replies.begin(), replies.end());
}

void SocketPeer::HangUpOnAccept(const std::string& name, bool on) {
    std::lock_guard<std::mutex> lock(mu_);
    Find(name).hang_up_on_accept = on;
}

void SocketPeer::Settle() {
    // The serving thread counts the polls that found nothing to do. One that
    // started after this call and found nothing means every connect, message
    // and close made before this call has been handled.
    std::unique_lock<std::mutex> lock(mu_);
    const uint64_t target = idle_epoch_ + 2;
    idle_cv_.wait_for(lock, std::chrono::seconds(10), [&] { return idle_epoch_ >= target; });
}

std::vector<Connection> SocketPeer::Connections(const std::string& name) const {
    std::lock_guard<std::mutex> lock(mu_);
    return Find(name).connections;
}

std::vector<Bytes> SocketPeer::Messages(const std::string& name) const {
    std::vector<Bytes> all;
    for (const Message& m : TimedMessages(name)) all.push_back(m.bytes);
    return all;
}

std::vector<Message> SocketPeer::TimedMessages(const std::string& name) const {
    std::lock_guard<std::mutex> lock(mu_);
    std::vector<Message> all;
    for (const Connection& c : Find(name).connections) {
        all.insert(all.end(), c.messages.begin(), c.messages.end());
    }
    return all;
}

SocketPeer::Instrument& SocketPeer::Find(const std::string& name) {
    auto it = instruments_.find(name);
    if (it == instruments_.end()) throw std::out_of_range("no instrument " + name);
    return it->second;
}

const SocketPeer::Instrument& SocketPeer::Find(const std::string& name) const {
    auto it = instruments_.find(name);
    if (it == instruments_.end()) throw std::out_of_range("no instrument " + name);
    return it->second;
}

void SocketPeer::Serve() {
    std::vector<pollfd> fds;
    std::vector<std::string> listener_names;
    for (;;) {
        fds.clear();
        listener_names.clear();
        {
            std::lock_guard<std::mutex> lock(mu_);
            if (stop_) return;
            fds.push_back({wake_[0], POLLIN, 0});
            for (auto& [name, ins] : instruments_) {
                if (ins.listen_fd < 0) continue;
                fds.push_back({ins.listen_fd, POLLIN, 0});
                listener_names.push_back(name);
            }
            for (const Open& open : open_) fds.push_back({open.fd, POLLIN, 0});
        }
        const int ready = poll(fds.data(), fds.size(), kPollMs);

        std::lock_guard<std::mutex> lock(mu_);
        if (ready == 0) {
            ++idle_epoch_;
            idle_cv_.notify_all();
            continue;
        }
        if (fds[0].revents != 0) {
            char drain[64];
            while (read(wake_[0], drain, sizeof(drain)) > 0) {
            }
        }
        size_t at = 1;
        for (const std::string& name : listener_names) {
            const pollfd& p = fds[at++];
            Instrument& ins = Find(name);
            if (p.revents != 0 && ins.listen_fd == p.fd) Accept(ins, name);
        }
        // Connections accepted in this round are appended after the ones polled.
        std::vector<Open> kept;
        const size_t polled = fds.size() - at;
        for (size_t i = 0; i < open_.size(); ++i) {
            bool drop = false;
            if (i < polled && fds[at + i].revents != 0) Receive(open_[i], drop);
            if (!drop) kept.push_back(open_[i]);
        }
        open_.swap(kept);
    }
}

void SocketPeer::Accept(Instrument& ins, const std::string& name) {
    for (;;) {
        const int fd = accept4(ins.listen_fd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0) return;
        ins.connections.emplace_back();
        if (ins.hang_up_on_accept) {
            ins.connections.back().hung_up = true;
            close(fd);
            continue;
        }
        open_.push_back({fd, name, ins.connections.size() - 1});
    }
}

void SocketPeer::Receive(Open& open, bool& drop) {
    Instrument& ins = Find(open.instrument);
    Connection& conn = ins.connections[open.connection];
    Bytes buf(65536);
    const ssize_t n = recv(open.fd, buf.data(), buf.size(), MSG_DONTWAIT);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return;
    if (n <= 0) {
        conn.closed_by_caller = true;
        close(open.fd);
        drop = true;
        return;
    }
    buf.resize(static_cast<size_t>(n));
    conn.messages.push_back({buf, Clock::now(), next_seq_++});

    Reply reply = Reply::Normal();
    if (!ins.script.empty()) {
        reply = std::move(ins.script.front());
        ins.script.pop_front();
    }
    Bytes answer;
    switch (reply.kind) {
        case Reply::Kind::kNormal:
            if (buf.size() == kControlPacketSize && buf[0] == kControlCode) {
                answer = ins.report;
            } else {
                answer = {kAckByte};
            }
            break;
        case Reply::Kind::kBytes:
            answer = reply.bytes;
            break;
        case Reply::Kind::kNothing:
            return;
        case Reply::Kind::kHangUp:
            conn.hung_up = true;
            close(open.fd);
            drop = true;
            return;
    }
    (void)send(open.fd, answer.data(), answer.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
}

Bytes ControlPacket(uint16_t control_word, uint16_t digital_out, uint16_t divider) {
    Bytes b{kControlCode};
    PutLe16(b, control_word);
    PutLe16(b, digital_out);
    PutLe16(b, divider);
    return b;
}

Bytes LengthHeader(uint16_t word) {
    Bytes b{0xA1};
    PutLe16(b, word);
    return b;
}

Bytes StatusReport(uint16_t digital_in, uint32_t count, uint32_t period) {
    Bytes b;
    PutLe16(b, digital_in);
    PutLe32(b, count);
    PutLe32(b, period);
    return b;
}

uint16_t ControlWordOf(const Bytes& control_packet) {
    if (control_packet.size() != kControlPacketSize || control_packet[0] != kControlCode) {
        throw std::invalid_argument("not a control packet");
    }
    return static_cast<uint16_t>(control_packet[1] | (control_packet[2] << 8));
}

}  // namespace velmar::e2e
