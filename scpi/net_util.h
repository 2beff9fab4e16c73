// What the server's two doors, the SCPI sockets and the front panel's HTTP
// port, share of the network: how they listen on the --listen addresses,
// accept only peers of --allow, name peers in the log, keep one peer from
// holding every connection, and how much a connection may hold.
#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "server.h"

namespace velmar::scpi {

using tcp = asio::ip::tcp;

// Answers a connection has made and the client has not taken yet: at this
// many, its commands wait until the client reads (a socket), or the rest of
// its message is not run (a page).
constexpr size_t kMostAnswerBytes = 64 * 1024;
// Steps (a message framed, a unit run) one connection takes before the
// others get their turn.
constexpr size_t kStepsPerTurn = 256;

using LogLine = std::function<void(const std::string&)>;

// "127.0.0.1:5025", "[::1]:5025".
std::string EndpointText(const tcp::endpoint& endpoint);

// The address a peer is known by: an IPv4 peer on an IPv6 socket as IPv4,
// and an IPv6 one without its scope (fe80::1%eth0 is in fe80::/10).
asio::ip::address PeerAddress(const asio::ip::address& address);

// Whether listening on `listen` (addresses as --listen gives them) takes
// connections to `address`: it is one of them, or they hold the any-address
// of its family.
bool ListenCovers(const std::vector<std::string>& listen, const asio::ip::address& address);

// The instrument a name ends in, after `prefix`: "inst1" after "inst",
// "/instrument/12" after "/instrument/". Nothing for no digits, more than
// three, a leading zero, or anything after them.
std::optional<int> IndexAfter(std::string_view text, std::string_view prefix);

// "1 second", "3 clients".
std::string Plural(size_t count, const std::string& word);
std::string Seconds(std::chrono::seconds limit);

// Listens at `port` (0: any free port) on each of `addresses`, an IPv6 one
// for IPv6 only; each listener goes to `opened`. An address it cannot
// listen on is logged (`what` + "cannot listen on ...") and passed over: a
// machine without IPv6 still serves on IPv4. False, with the reason, when
// an address is no IP address.
bool ListenOnEach(asio::io_context& io, const std::vector<std::string>& addresses, uint16_t port,
                  const std::string& what, const LogLine& log,
                  const std::function<void(tcp::acceptor)>& opened, std::string* error);

// A peer that was accepted: as the log names it, and its address.
struct Peer {
    std::string text;
    asio::ip::address address;
};

// Accepts connections on `acceptor` until it is closed or `stopping()`
// says so. A peer outside `allow` (when it is not empty) is closed and
// logged ("<where><peer> refused: not in --allow"); every other goes to
// `take`. After an accept error (out of descriptors, say) it waits a
// moment rather than spin. The acceptor outlives the loop.
void AcceptEach(tcp::acceptor& acceptor, const std::vector<AddressRange>& allow,
                const std::string& where, const LogLine& log, std::function<bool()> stopping,
                std::function<void(tcp::socket, const Peer&)> take);

// One peer may hold more than half of `most` connections only while
// nobody else wants one. With `held` the peers of the open connections,
// oldest first, and the server full: the position in `held` of the
// connection that makes room for `peer` (the newest of the peer over its
// share), with the reason in *why; nothing when `peer` is the one over its
// share or nobody is. `limit` names the bound in the reason: " (--max-clients)".
std::optional<size_t> RoomFor(const std::vector<asio::ip::address>& held,
                              const asio::ip::address& peer, size_t most, const std::string& limit,
                              std::string* why);

// RoomFor over a door's open connections: a map by id, oldest first, of
// entries that name their `peer` and hold their `connection` weakly. The
// connection that makes room for `peer` is closed, with the reason; false
// when none does.
template <typename Connections>
bool MakeRoom(Connections& open, const Peer& peer, size_t most, const std::string& limit) {
    std::vector<asio::ip::address> held;
    std::vector<uint64_t> ids;
    for (const auto& [id, entry] : open) {
        held.push_back(entry.peer);
        ids.push_back(id);
    }
    std::string why;
    const std::optional<size_t> newest = RoomFor(held, peer.address, most, limit, &why);
    if (!newest) return false;
    const auto connection = open.at(ids[*newest]).connection.lock();
    if (!connection) return false;
    connection->Close("to make room for " + peer.text + ": " + why);
    return true;
}

}  // namespace velmar::scpi
