#include "portmap.h"

#include <ifaddrs.h>
#include <netinet/in.h>
#include <rpc/rpc.h>

#include <algorithm>
#include <array>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ip/udp.hpp>
#include <boost/asio/ip/v6_only.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <vector>

#include "net_util.h"
#include "rpc_call.h"
#include "server.h"
#include "vxi11_codec.h"

namespace velmar::scpi {

namespace asio = boost::asio;
using asio::ip::udp;
using vxi11::kPortmapperPort;

namespace {

// A portmapper call is a few dozen bytes; credentials can add 800.
constexpr size_t kMostCallBytes = 2048;
// DUMP's answer, longer than its call: the two VXI-11 programs.
constexpr size_t kMostShortReplyBytes = 128;
// A portmapper client asks and goes: its TCP connection is closed after this.
constexpr auto kConnectionLimit = std::chrono::seconds(10);

// --allow for a datagram's sender, as AcceptEach has it for a connection.
bool Admitted(const std::vector<AddressRange>& allow, const asio::ip::address& sender) {
    if (allow.empty()) return true;
    for (const AddressRange& range : allow) {
        if (range.Contains(PeerAddress(sender))) return true;
    }
    return false;
}

// A datagram taken from a portmapper socket: its size in the buffer, who
// sent it, and, on IPv4, the address of this host it came to (for a
// broadcast, its interface's) and whether it was sent to a broadcast
// address.
struct Datagram {
    size_t size = 0;
    udp::endpoint sender;
    std::optional<asio::ip::address_v4> local;
    bool broadcast = false;
};

// The addresses of --instrument-address that are on the network of an IPv4
// `sender`, as this host's interfaces say.
std::vector<asio::ip::address_v4> OwnAddressesFacing(
    const std::map<int, asio::ip::address>& own_addresses, const udp::endpoint& sender) {
    std::vector<asio::ip::address_v4> facing;
    const asio::ip::address from = PeerAddress(sender.address());
    if (own_addresses.empty() || !from.is_v4()) return facing;
    ifaddrs* interfaces = nullptr;
    if (getifaddrs(&interfaces) != 0) return facing;
    for (const ifaddrs* i = interfaces; i != nullptr; i = i->ifa_next) {
        if (i->ifa_addr == nullptr || i->ifa_netmask == nullptr ||
            i->ifa_addr->sa_family != AF_INET) {
            continue;
        }
        const auto ours = asio::ip::make_address_v4(
            ntohl(reinterpret_cast<const sockaddr_in*>(i->ifa_addr)->sin_addr.s_addr));
        const uint32_t mask =
            ntohl(reinterpret_cast<const sockaddr_in*>(i->ifa_netmask)->sin_addr.s_addr);
        const bool own = std::any_of(own_addresses.begin(), own_addresses.end(),
                                     [&](const auto& entry) { return entry.second == ours; });
        if (own && (ours.to_uint() & mask) == (from.to_v4().to_uint() & mask) &&
            std::find(facing.begin(), facing.end(), ours) == facing.end()) {
            facing.push_back(ours);
        }
    }
    freeifaddrs(interfaces);
    return facing;
}

}  // namespace

class Portmapper::Impl : public std::enable_shared_from_this<Portmapper::Impl> {
  public:
    Impl(asio::io_context& io, const ServerOptions& options,
         std::function<void(const std::string&)> log, uint16_t vxi11_port)
        : io_(io), options_(options), log_(std::move(log)), vxi11_port_(vxi11_port) {}

    void Start();
    void Stop();

  private:
    class Connection;

    bool Register(std::string* refused);
    std::string Serve();
    struct Datagrams;
    void Receive(Datagrams& datagrams);
    void Accept(tcp::acceptor& acceptor);

    asio::io_context& io_;
    const ServerOptions& options_;
    std::function<void(const std::string&)> log_;
    const uint16_t vxi11_port_;
    bool registered_ = false;
    bool stopping_ = false;
    struct Datagrams {
        explicit Datagrams(asio::io_context& io) : socket(io) {}
        udp::socket socket;
        std::array<char, kMostCallBytes> buffer{};
    };
    void Drain(Datagrams& datagrams);
    void Answer(Datagrams& datagrams, const Datagram& call);
    // Takes the next datagram into `taken` (left empty for one that is
    // dropped); false when none waits.
    static bool Take(Datagrams& datagrams, std::optional<Datagram>& taken);
    static void SendFrom(Datagrams& datagrams, const asio::ip::address_v4& from,
                         const std::string& reply, const udp::endpoint& to);
    std::vector<std::unique_ptr<Datagrams>> datagrams_;
    std::vector<std::unique_ptr<tcp::acceptor>> acceptors_;
    std::map<uint64_t, std::weak_ptr<Connection>> connections_;
    uint64_t next_id_ = 0;
};

// One TCP client of the portmapper: calls answered in turn, within
// kConnectionLimit in all.
class Portmapper::Impl::Connection : public std::enable_shared_from_this<Connection> {
  public:
    Connection(std::shared_ptr<Impl> owner, tcp::socket socket, uint64_t id)
        : owner_(std::move(owner)),
          socket_(std::move(socket)),
          id_(id),
          reader_(kMostCallBytes),
          timer_(owner_->io_) {}

    void Start() {
        timer_.expires_after(kConnectionLimit);
        timer_.async_wait([weak = weak_from_this()](boost::system::error_code error) {
            if (auto self = weak.lock(); self && !error) self->Close();
        });
        Read();
    }

    void Close() {
        boost::system::error_code ignored;
        timer_.cancel();
        socket_.close(ignored);
        owner_->connections_.erase(id_);
    }

  private:
    void Read() {
        socket_.async_read_some(
            asio::buffer(input_),
            [self = shared_from_this()](boost::system::error_code error, size_t n) {
                if (error) return self->Close();
                self->Take(n);
            });
    }

    void Take(size_t n) {
        size_t at = 0;
        while (at < n) {
            at += reader_.Feed(input_.data() + at, n - at);
            if (reader_.oversized()) return Close();
            if (!reader_.complete()) continue;
            const std::string reply = vxi11::AnswerPortmapper(reader_.Take(), owner_->vxi11_port_);
            if (reply.empty()) return Close();
            outbox_ += rpc::Mark(reply);
        }
        if (outbox_.empty()) return Read();
        asio::async_write(socket_, asio::buffer(outbox_),
                          [self = shared_from_this()](boost::system::error_code error, size_t) {
                              if (error) return self->Close();
                              self->outbox_.clear();
                              self->Read();
                          });
    }

    std::shared_ptr<Impl> owner_;
    tcp::socket socket_;
    const uint64_t id_;
    rpc::RecordReader reader_;
    asio::steady_timer timer_;
    std::array<char, kMostCallBytes> input_{};
    std::string outbox_;
};

void Portmapper::Impl::Start() {
    std::string refused;
    if (Register(&refused)) {
        registered_ = true;
        log_("VXI-11 registered with the system's portmapper (rpcbind)");
        return;
    }
    const std::string why = Serve();
    if (why.empty()) return;
    log_("VXI-11: no portmapper: " +
         (refused.empty() ? "rpcbind does not run, or refused" : refused) +
         ", and port 111 cannot be bound (" + why +
         "); TCPIP::host::INSTR needs one of the two (clients that take a port find VXI-11 on " +
         std::to_string(vxi11_port_) + ")");
}

namespace {

// Both VXI-11 programs at `port` of every address.
bool SetBoth(netconfig* transport, uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    netbuf where{sizeof(address), sizeof(address), &address};
    if (!rpcb_set(vxi11::kCoreProgram, vxi11::kVersion, transport, &where)) return false;
    if (rpcb_set(vxi11::kAbortProgram, vxi11::kVersion, transport, &where)) return true;
    rpcb_unset(vxi11::kCoreProgram, vxi11::kVersion, nullptr);
    return false;
}

// The port rpcbind gives the VXI-11 core program, if it has an entry.
std::optional<uint16_t> RegisteredPort(netconfig* transport) {
    sockaddr_storage address{};
    netbuf found{sizeof(address), 0, &address};
    if (!rpcb_getaddr(vxi11::kCoreProgram, vxi11::kVersion, transport, &found, "127.0.0.1") ||
        address.ss_family != AF_INET) {
        return std::nullopt;
    }
    return ntohs(reinterpret_cast<const sockaddr_in*>(&address)->sin_port);
}

// Whether a TCP socket of this host listens at `port` on any address: the
// entry's server runs still. The kernel's tables say so without connecting
// (a connection would reach only the addresses that server listens on, and
// show in its log).
bool Listening(uint16_t port) {
    char wanted[8];
    std::snprintf(wanted, sizeof(wanted), ":%04X", port);
    for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
        std::ifstream lines(table);
        std::string line;
        std::getline(lines, line);  // the heading
        // sl local_address rem_address st ...; st 0A is LISTEN.
        while (std::getline(lines, line)) {
            std::istringstream fields(line);
            std::string slot, local, remote, state;
            fields >> slot >> local >> remote >> state;
            if (state == "0A" && local.size() > 5 &&
                local.compare(local.size() - 5, 5, wanted) == 0) {
                return true;
            }
        }
    }
    return false;
}

}  // namespace

// The system's rpcbind answers on a local socket at once, or is not there.
// rpcb_set, which pmap_set wraps: that one loses the address it makes.
// rpcbind keeps an entry until it is taken back and refuses a second one.
// The entry of a server that was killed, which points at a port nobody
// listens on, is taken back (rpcbind lets only its owner, or root, do so);
// that of a server that runs is left to it. False, with why in *refused
// when rpcbind runs and refused.
bool Portmapper::Impl::Register(std::string* refused) {
    netconfig* transport = getnetconfigent("tcp");
    if (transport == nullptr) return false;
    bool registered = SetBoth(transport, vxi11_port_);
    if (!registered) {
        if (const std::optional<uint16_t> held = RegisteredPort(transport)) {
            if (Listening(*held)) {
                *refused = "the portmapper on 127.0.0.1:111 gives VXI-11 to port " +
                           std::to_string(*held) + ", where another server listens";
            } else {
                rpcb_unset(vxi11::kCoreProgram, vxi11::kVersion, nullptr);
                rpcb_unset(vxi11::kAbortProgram, vxi11::kVersion, nullptr);
                registered = SetBoth(transport, vxi11_port_);
                if (!registered) {
                    *refused = "rpcbind keeps another user's entry for VXI-11, at port " +
                               std::to_string(*held) + " where nobody listens";
                }
            }
        }
    }
    freenetconfigent(transport);
    return registered;
}

// Binds port 111 over UDP and TCP on every --listen address it can; the
// reason it could bind none, else empty.
std::string Portmapper::Impl::Serve() {
    std::string why;
    for (const std::string& text : options_.listen) {
        boost::system::error_code ec;
        const asio::ip::address address = asio::ip::make_address(text, ec);
        if (ec) continue;  // the SCPI door has said so
        auto datagrams = std::make_unique<Datagrams>(io_);
        const udp::endpoint udp_endpoint(address, kPortmapperPort);
        datagrams->socket.open(udp_endpoint.protocol(), ec);
        if (!ec && address.is_v6()) datagrams->socket.set_option(asio::ip::v6_only(true), ec);
        if (!ec) datagrams->socket.bind(udp_endpoint, ec);
        // Whether a call came to a broadcast address (see Take).
        if (!ec && address.is_v4()) {
            const int on = 1;
            setsockopt(datagrams->socket.native_handle(), IPPROTO_IP, IP_PKTINFO, &on, sizeof(on));
        }
        if (ec) {
            why = ec.message();
            continue;
        }
        // TCP where UDP could be bound; ListenOnEach logs an address it
        // cannot listen on.
        std::string error;
        const size_t listening = acceptors_.size();
        ListenOnEach(
            io_, {text}, kPortmapperPort, "portmapper: ", log_,
            [this](tcp::acceptor acceptor) {
                acceptors_.push_back(std::make_unique<tcp::acceptor>(std::move(acceptor)));
            },
            &error);
        log_("portmapper for VXI-11 on " + (address.is_v6() ? "[" + text + "]" : text) +
             ":111, UDP" + (acceptors_.size() > listening ? " and TCP" : ""));
        datagrams_.push_back(std::move(datagrams));
    }
    if (datagrams_.empty()) return why.empty() ? "no --listen address" : why;
    for (auto& datagrams : datagrams_) Receive(*datagrams);
    for (auto& acceptor : acceptors_) Accept(*acceptor);
    return {};
}

void Portmapper::Impl::Receive(Datagrams& d) {
    d.socket.async_wait(udp::socket::wait_read, [self = shared_from_this(),
                                                 datagrams = &d](boost::system::error_code error) {
        if (self->stopping_ || error == asio::error::operation_aborted) return;
        self->Drain(*datagrams);
    });
}

// Answers the datagrams that wait, up to a turn's worth: one wake-up can
// be for several, and the next comes only with a datagram after them.
void Portmapper::Impl::Drain(Datagrams& d) {
    for (size_t taken = 0; taken < kStepsPerTurn; ++taken) {
        std::optional<Datagram> call;
        if (!Take(d, call)) return Receive(d);
        if (call && Admitted(options_.allow, call->sender.address())) Answer(d, *call);
    }
    asio::post(io_, [self = shared_from_this(), datagrams = &d] {
        if (!self->stopping_) self->Drain(*datagrams);
    });
}

void Portmapper::Impl::Answer(Datagrams& d, const Datagram& call) {
    // A datagram is one record, with no mark. The answer is no longer than
    // the call, or than DUMP's short list: a forged sender gets back little
    // more than was sent in its name.
    const std::string reply =
        vxi11::AnswerPortmapper(std::string(d.buffer.data(), call.size), vxi11_port_);
    if (reply.empty() || reply.size() > std::max(call.size, kMostShortReplyBytes)) return;
    // From the address the call came to, as a client that asked one of
    // this host's addresses expects; the socket's own choice would be its
    // interface's first.
    if (call.local) {
        SendFrom(d, *call.local, reply, call.sender);
    } else {
        boost::system::error_code ignored;
        d.socket.send_to(asio::buffer(reply), call.sender, 0, ignored);
    }
    // A broadcast finds the instruments that stand alone at addresses of
    // their own on the sender's network, each answering from its address,
    // as stand-alone ones do.
    if (call.broadcast) {
        for (const asio::ip::address_v4& own :
             OwnAddressesFacing(options_.own_addresses, call.sender)) {
            if (own != call.local) SendFrom(d, own, reply, call.sender);  // answered already
        }
    }
}

// The waiting datagram, with where it came (IP_PKTINFO, set on IPv4
// sockets): a broadcast is sent to none of this host's addresses.
bool Portmapper::Impl::Take(Datagrams& d, std::optional<Datagram>& taken) {
    Datagram datagram;
    iovec data{d.buffer.data(), d.buffer.size()};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo))];
    msghdr message{};
    message.msg_name = datagram.sender.data();
    message.msg_namelen = static_cast<socklen_t>(datagram.sender.capacity());
    message.msg_iov = &data;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof(control);
    const ssize_t n = recvmsg(d.socket.native_handle(), &message, MSG_DONTWAIT);
    if (n < 0) return false;                                // none waits, or the socket is closed
    if ((message.msg_flags & MSG_TRUNC) != 0) return true;  // longer than any call: dropped
    datagram.size = static_cast<size_t>(n);
    datagram.sender.resize(message.msg_namelen);
    for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
        if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
            in_pktinfo info;
            std::memcpy(&info, CMSG_DATA(c), sizeof(info));
            datagram.local = asio::ip::make_address_v4(ntohl(info.ipi_spec_dst.s_addr));
            datagram.broadcast = info.ipi_addr.s_addr != info.ipi_spec_dst.s_addr;
        }
    }
    taken = datagram;
    return true;
}

// Sends `reply` to `to` from `from`, an address of this host, through a
// socket bound to the any-address.
void Portmapper::Impl::SendFrom(Datagrams& d, const asio::ip::address_v4& from,
                                const std::string& reply, const udp::endpoint& to) {
    iovec data{const_cast<char*>(reply.data()), reply.size()};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo))] = {};
    msghdr message{};
    message.msg_name = const_cast<sockaddr*>(to.data());
    message.msg_namelen = static_cast<socklen_t>(to.size());
    message.msg_iov = &data;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof(control);
    cmsghdr* c = CMSG_FIRSTHDR(&message);
    c->cmsg_level = IPPROTO_IP;
    c->cmsg_type = IP_PKTINFO;
    c->cmsg_len = CMSG_LEN(sizeof(in_pktinfo));
    in_pktinfo info{};
    info.ipi_spec_dst.s_addr = htonl(from.to_uint());
    std::memcpy(CMSG_DATA(c), &info, sizeof(info));
    sendmsg(d.socket.native_handle(), &message, MSG_DONTWAIT);
}

void Portmapper::Impl::Accept(tcp::acceptor& acceptor) {
    AcceptEach(
        acceptor, options_.allow, "portmapper ", log_,
        [weak = weak_from_this()] {
            auto self = weak.lock();
            return !self || self->stopping_;
        },
        [weak = weak_from_this()](tcp::socket socket, const Peer&) {
            auto self = weak.lock();
            if (!self || self->connections_.size() >= self->options_.max_clients) return;
            const uint64_t id = self->next_id_++;
            auto connection = std::make_shared<Connection>(self, std::move(socket), id);
            self->connections_[id] = connection;
            connection->Start();
        });
}

void Portmapper::Impl::Stop() {
    if (stopping_) return;
    stopping_ = true;
    if (registered_) {
        rpcb_unset(vxi11::kCoreProgram, vxi11::kVersion, nullptr);
        rpcb_unset(vxi11::kAbortProgram, vxi11::kVersion, nullptr);
    }
    boost::system::error_code ignored;
    for (auto& datagrams : datagrams_) datagrams->socket.close(ignored);
    for (auto& acceptor : acceptors_) acceptor->close(ignored);
    std::vector<std::shared_ptr<Connection>> open;
    for (auto& [id, connection] : connections_) {
        if (auto c = connection.lock()) open.push_back(c);
    }
    for (auto& connection : open) connection->Close();
}

Portmapper::Portmapper(asio::io_context& io, const ServerOptions& options,
                       std::function<void(const std::string&)> log, uint16_t vxi11_port)
    : impl_(std::make_shared<Impl>(io, options, std::move(log), vxi11_port)) {}
Portmapper::~Portmapper() = default;
void Portmapper::Start() {
    impl_->Start();
}
void Portmapper::Stop() {
    impl_->Stop();
}

}  // namespace velmar::scpi
