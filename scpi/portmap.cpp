#include "portmap.h"

#include <netinet/in.h>
#include <rpc/rpc.h>

#include <array>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ip/udp.hpp>
#include <boost/asio/ip/v6_only.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>
#include <chrono>
#include <map>
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

    bool Register();
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
        udp::endpoint sender;
    };
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
    if (Register()) {
        registered_ = true;
        log_("VXI-11 registered with the system's portmapper (rpcbind)");
        return;
    }
    const std::string why = Serve();
    if (why.empty()) return;
    // rpcbind refuses where another user's server holds the entry.
    log_("VXI-11: no portmapper: rpcbind is absent or refused; port 111 cannot be bound (" + why +
         "); TCPIP::host::INSTR needs one of the two (clients that take a port find VXI-11 on " +
         std::to_string(vxi11_port_) + ")");
}

// The system's rpcbind answers on a local socket at once, or is not there.
// rpcb_set, which pmap_set wraps: that one loses the address it makes.
// rpcbind keeps an entry until it is taken back and refuses a second one:
// the entry of a server that was killed, which points at a dead port, is
// taken back first (rpcbind lets only its owner, or root, do so).
bool Portmapper::Impl::Register() {
    netconfig* transport = getnetconfigent("tcp");
    if (transport == nullptr) return false;
    rpcb_unset(vxi11::kCoreProgram, vxi11::kVersion, nullptr);
    rpcb_unset(vxi11::kAbortProgram, vxi11::kVersion, nullptr);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(vxi11_port_);
    netbuf where{sizeof(address), sizeof(address), &address};
    const bool registered = rpcb_set(vxi11::kCoreProgram, vxi11::kVersion, transport, &where);
    if (registered) rpcb_set(vxi11::kAbortProgram, vxi11::kVersion, transport, &where);
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
    d.socket.async_receive_from(
        asio::buffer(d.buffer), d.sender,
        [self = shared_from_this(), datagrams = &d](boost::system::error_code error, size_t n) {
            if (self->stopping_ || error == asio::error::operation_aborted) return;
            // A datagram is one record, with no mark. The answer is no
            // longer than the call: nobody gets more back than they sent.
            if (!error && Admitted(self->options_.allow, datagrams->sender.address())) {
                const std::string reply = vxi11::AnswerPortmapper(
                    std::string(datagrams->buffer.data(), n), self->vxi11_port_);
                boost::system::error_code ignored;
                if (!reply.empty() && reply.size() <= n + 64) {
                    datagrams->socket.send_to(asio::buffer(reply), datagrams->sender, 0, ignored);
                }
            }
            self->Receive(*datagrams);
        });
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
