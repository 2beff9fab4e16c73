#include "net_util.h"

#include <algorithm>
#include <boost/asio/ip/v6_only.hpp>
#include <boost/asio/steady_timer.hpp>
#include <map>
#include <memory>

namespace velmar::scpi {

std::string EndpointText(const tcp::endpoint& endpoint) {
    const std::string address = endpoint.address().to_string();
    return (endpoint.address().is_v6() ? "[" + address + "]" : address) + ":" +
           std::to_string(endpoint.port());
}

asio::ip::address PeerAddress(const asio::ip::address& address) {
    if (!address.is_v6()) return address;
    const asio::ip::address_v6 v6 = address.to_v6();
    if (v6.is_v4_mapped()) return asio::ip::make_address_v4(asio::ip::v4_mapped, v6);
    return asio::ip::address_v6(v6.to_bytes());
}

bool ListenCovers(const std::vector<std::string>& listen, const asio::ip::address& address) {
    for (const std::string& text : listen) {
        boost::system::error_code ec;
        const asio::ip::address listened = asio::ip::make_address(text, ec);
        if (ec || listened.is_v6() != address.is_v6()) continue;
        if (listened == address || listened.is_unspecified()) return true;
    }
    return false;
}

std::optional<int> IndexAfter(std::string_view text, std::string_view prefix) {
    if (text.substr(0, prefix.size()) != prefix) return std::nullopt;
    const std::string_view digits = text.substr(prefix.size());
    if (digits.empty() || digits.size() > 3 || (digits.size() > 1 && digits[0] == '0')) {
        return std::nullopt;
    }
    int index = 0;
    for (char c : digits) {
        if (c < '0' || c > '9') return std::nullopt;
        index = index * 10 + (c - '0');
    }
    return index;
}

std::string Plural(size_t count, const std::string& word) {
    return std::to_string(count) + " " + word + (count == 1 ? "" : "s");
}

std::string Seconds(std::chrono::seconds limit) {
    return Plural(static_cast<size_t>(limit.count()), "second");
}

bool ListenOnEach(asio::io_context& io, const std::vector<std::string>& addresses, uint16_t port,
                  const std::string& what, const LogLine& log,
                  const std::function<void(tcp::acceptor)>& opened, std::string* error) {
    for (const std::string& text : addresses) {
        boost::system::error_code ec;
        const asio::ip::address address = asio::ip::make_address(text, ec);
        if (ec) {
            *error = "--listen: '" + text + "' is not an IP address";
            return false;
        }
        tcp::acceptor acceptor(io);
        const tcp::endpoint endpoint(address, port);
        acceptor.open(endpoint.protocol(), ec);
        if (!ec && address.is_v6()) acceptor.set_option(asio::ip::v6_only(true), ec);
        if (!ec) acceptor.set_option(tcp::acceptor::reuse_address(true), ec);
        if (!ec) acceptor.bind(endpoint, ec);
        if (!ec) acceptor.listen(asio::socket_base::max_listen_connections, ec);
        if (ec) {
            log(what + "cannot listen on " + EndpointText(endpoint) + ": " + ec.message());
            continue;
        }
        opened(std::move(acceptor));
    }
    return true;
}

namespace {

struct AcceptLoop : std::enable_shared_from_this<AcceptLoop> {
    AcceptLoop(tcp::acceptor& acceptor, const std::vector<AddressRange>& allow, std::string where,
               LogLine log, std::function<bool()> stopping,
               std::function<void(tcp::socket, const Peer&)> take)
        : acceptor(acceptor),
          allow(allow),
          where(std::move(where)),
          log(std::move(log)),
          stopping(std::move(stopping)),
          take(std::move(take)) {}

    void Next() {
        acceptor.async_accept(
            [self = shared_from_this()](boost::system::error_code error, tcp::socket socket) {
                self->Accepted(error, std::move(socket));
            });
    }

    void Accepted(boost::system::error_code error, tcp::socket socket) {
        if (stopping() || error == asio::error::operation_aborted) return;
        if (error) {
            log(where + "accept: " + error.message());
            auto timer = std::make_shared<asio::steady_timer>(acceptor.get_executor(),
                                                              std::chrono::milliseconds(200));
            timer->async_wait([self = shared_from_this(), timer](boost::system::error_code) {
                if (!self->stopping()) self->Next();
            });
            return;
        }
        boost::system::error_code ec;
        const tcp::endpoint remote = socket.remote_endpoint(ec);
        Peer peer{ec ? "unknown peer" : EndpointText(remote),
                  ec ? asio::ip::address() : PeerAddress(remote.address())};
        bool allowed = allow.empty();
        for (const AddressRange& range : allow) {
            if (!ec && range.Contains(peer.address)) allowed = true;
        }
        if (allowed) {
            take(std::move(socket), peer);
        } else {
            log(where + peer.text + " refused: not in --allow");
            socket.close(ec);
        }
        Next();
    }

    tcp::acceptor& acceptor;
    const std::vector<AddressRange>& allow;
    const std::string where;
    const LogLine log;
    const std::function<bool()> stopping;
    const std::function<void(tcp::socket, const Peer&)> take;
};

}  // namespace

void AcceptEach(tcp::acceptor& acceptor, const std::vector<AddressRange>& allow,
                const std::string& where, const LogLine& log, std::function<bool()> stopping,
                std::function<void(tcp::socket, const Peer&)> take) {
    std::make_shared<AcceptLoop>(acceptor, allow, where, log, std::move(stopping), std::move(take))
        ->Next();
}

std::optional<size_t> RoomFor(const std::vector<asio::ip::address>& held,
                              const asio::ip::address& peer, size_t most, const std::string& limit,
                              std::string* why) {
    const size_t share = std::max<size_t>(1, most / 2);
    std::map<asio::ip::address, size_t> count;
    for (const asio::ip::address& address : held) ++count[address];
    if (count[peer] >= share) return std::nullopt;
    const auto greediest =
        std::max_element(count.begin(), count.end(),
                         [](const auto& a, const auto& b) { return a.second < b.second; });
    if (greediest->second <= share) return std::nullopt;
    for (size_t i = held.size(); i-- > 0;) {
        if (held[i] != greediest->first) continue;
        *why = greediest->first.to_string() + " held " + std::to_string(greediest->second) +
               " of the " + std::to_string(most) + " connections" + limit +
               ", and one peer keeps at most " + std::to_string(share) + " while another wants one";
        return i;
    }
    return std::nullopt;
}

}  // namespace velmar::scpi
