#include "server.h"

#include <algorithm>
#include <atomic>
#include <boost/asio.hpp>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <future>
#include <map>
#include <thread>

#include "advertise.h"
#include "command_layer.h"
#include "http_door.h"
#ifdef VELMAR_VXI11
#include "portmap.h"
#include "vxi11_door.h"
#endif
#include "net_util.h"
#include "velmar/dds.h"

namespace velmar::scpi {

using Clock = std::chrono::steady_clock;

// ---- --allow ---------------------------------------------------------------

std::optional<AddressRange> AddressRange::Parse(const std::string& text) {
    boost::system::error_code error;
    if (text.find('/') == std::string::npos) {
        const asio::ip::address address = asio::ip::make_address(text, error);
        if (error) return std::nullopt;
        if (address.is_v4()) return AddressRange(asio::ip::network_v4(address.to_v4(), 32));
        return AddressRange(asio::ip::network_v6(address.to_v6(), 128));
    }
    const asio::ip::network_v4 v4 = asio::ip::make_network_v4(text, error);
    if (!error) return AddressRange(v4);
    const asio::ip::network_v6 v6 = asio::ip::make_network_v6(text, error);
    if (!error) return AddressRange(v6);
    return std::nullopt;
}

bool AddressRange::Contains(const asio::ip::address& address) const {
    const asio::ip::address peer = PeerAddress(address);
    if (const auto* v4 = std::get_if<asio::ip::network_v4>(&network_)) {
        return peer.is_v4() &&
               asio::ip::network_v4(peer.to_v4(), v4->prefix_length()).canonical() ==
                   v4->canonical();
    }
    const auto& v6 = std::get<asio::ip::network_v6>(network_);
    return peer.is_v6() &&
           asio::ip::network_v6(peer.to_v6(), v6.prefix_length()).canonical() == v6.canonical();
}

// ---- Server and sessions ---------------------------------------------------

namespace {

// The socket's send buffer: answers are short, and this holds thousands.
constexpr int kSocketSendBytes = 128 * 1024;
// Threads for the library calls: one for each instrument that may wait on
// its answers at the same time, up to this bound.
constexpr size_t kMostLibraryThreads = 16;
// At a stop, how long the thread pools may take to finish when no library
// call is under way. A call that is under way is not waited for.
constexpr auto kMostStopWait = std::chrono::milliseconds(300);

// What a search found: the paths in the order the library numbers them, or
// a negative result and the library's words.
struct Searched {
    int result = 0;
    std::string words;
    std::vector<std::string> paths;
};

Searched SearchNow() {
    Searched found;
    velmar_dds_list* list = nullptr;
    found.result = velmar_dds_find(&list);
    if (found.result < 0) {
        // The words are this thread's, and this is the thread that searched.
        found.words = velmar_dds_last_message();
        if (found.words.empty()) found.words = velmar_dds_strerror(found.result);
    }
    for (size_t i = 0; i < velmar_dds_list_count(list); ++i)
        found.paths.push_back(velmar_dds_list_path(list, i));
    velmar_dds_list_free(list);
    return found;
}

}  // namespace

class Server::Impl {
  public:
    class Session;
    using Served = ServedInstrument;

    Impl(ServerOptions options, std::ostream& log)
        : options_(std::move(options)),
          log_(log),
          signals_(io_, SIGINT, SIGTERM),
          layer_(
              io_, [this](const std::string& line) { Log(line); }, options_.verbose) {}

    ~Impl() {
        if (joiner_.joinable()) {
            joiner_.join();
        } else {
            StopLibraryCalls();
        }
    }

    bool Start(std::string* error);
    RunEnd Run();
    void Stop() {
        asio::post(io_, [this] { Shutdown(); });
    }

    // Whole lines, each in one write: a line is never cut by another
    // process's output on the same stream.
    void Log(const std::string& line) {
        const std::string text = "velmar-dds-scpi: " + line + "\n";
        log_.write(text.data(), static_cast<std::streamsize>(text.size()));
        log_.flush();
    }
    bool verbose() const { return options_.verbose; }
    const ServerOptions& options() const { return options_; }
    asio::io_context& io() { return io_; }
    CommandLayer& layer() { return layer_; }
    void Forget(uint64_t id) { sessions_.erase(id); }

  private:
    struct Listener {
        tcp::acceptor acceptor;
        int index;
    };
    struct Connection {
        std::weak_ptr<Session> connection;
        asio::ip::address peer;
    };

    void Accept(Listener& listener);
    bool Listen(Served& served, uint16_t port, std::string* error);
    void Search();
    void Found(const Searched& found);
    void ScheduleSearch();
    void Shutdown();
    void Advertise();
    bool Assigned(const std::string& path) const {
        for (const auto& [index, served] : instruments_) {
            if (served->path == path) return true;
        }
        return false;
    }

    // The calls still waiting are dropped; one under way finishes first.
    void StopLibraryCalls() {
        for (auto* pool : {pool_.get(), search_pool_.get()}) {
            if (pool == nullptr) continue;
            pool->stop();
            pool->join();
        }
    }

    ServerOptions options_;
    std::ostream& log_;
    asio::io_context io_{1};
    asio::signal_set signals_;
    asio::steady_timer search_timer_{io_};
    std::unique_ptr<asio::thread_pool> pool_;
    // The search has a thread of its own: it waits on no instrument, and
    // instruments that do not answer do not hold it up.
    std::unique_ptr<asio::thread_pool> search_pool_;
    // After the pools: the strands go before them.
    std::map<int, std::unique_ptr<Served>> instruments_;
    std::vector<std::unique_ptr<Listener>> listeners_;
    std::map<uint64_t, Connection> sessions_;
    uint64_t next_id_ = 0;
    bool stopping_ = false;
    // One search at a time; the connections to an instrument that is not
    // there wait for a search that began after they came.
    bool searching_ = false;
    bool search_again_ = false;
    std::vector<std::shared_ptr<Session>> waiting_next_;
    std::vector<std::shared_ptr<Session>> waiting_current_;
    std::string search_words_;  // of the last failed search, until one succeeds
    CommandLayer layer_;
    std::unique_ptr<HttpDoor> http_;  // with --http
    std::unique_ptr<Advertiser> advertiser_;
#ifdef VELMAR_VXI11
    std::unique_ptr<Vxi11Door> vxi11_;
    std::unique_ptr<Portmapper> portmapper_;
#endif
    std::thread joiner_;
};

// A SCPI raw-socket client: frames the messages of its byte stream, runs
// them through the command layer, and sends the answer lines back.
class Server::Impl::Session : public std::enable_shared_from_this<Session> {
  public:
    Session(Impl& server, tcp::socket socket, Served& served, uint64_t id, std::string peer)
        : server_(server),
          served_(served),
          socket_(std::move(socket)),
          timer_(server.io()),
          id_(id),
          peer_(std::move(peer)) {}

    std::string Where() const {
        return "instrument " + std::to_string(served_.instrument.index()) + ": " + peer_;
    }

    void Start() {
        if (started_ || closed_) return;
        started_ = true;
        Door door;
        door.where = Where();
        door.owner = weak_from_this();
        door.output_waiting = [weak = weak_from_this()] {
            auto self = weak.lock();
            return self && (self->writing_ || !self->outbox_.empty());
        };
        door.write = [weak = weak_from_this()](const std::string& piece) {
            auto self = weak.lock();
            if (!self) return;  // closed and gone while the instrument answered
            self->outbox_ += piece;
            if (self->outbox_.size() >= kMostAnswerBytes || piece == "\n") self->Write();
        };
        door.resumed = [weak = weak_from_this()] {
            if (auto self = weak.lock()) {
                self->last_activity_ = Clock::now();
                self->ArmTimer();
                self->Pump();
            }
        };
        commands_ = std::make_shared<CommandRunner>(server_.layer(), served_, std::move(door));
        last_activity_ = Clock::now();
        ArmTimer();
        Pump();
    }

    // Every closing says why.
    void Close(const std::string& reason) {
        if (closed_) return;
        closed_ = true;
        // Logged first: whoever sees the connection end finds the reason there.
        server_.Log(Where() + " closed: " + reason);
        boost::system::error_code ignored;
        timer_.cancel();
        socket_.shutdown(tcp::socket::shutdown_both, ignored);
        socket_.close(ignored);
        server_.Forget(id_);
    }

  private:
    bool busy() const { return commands_->busy(); }

    // Frames messages and runs their units until one waits on the
    // instrument, the client has answers to take first, or the input is
    // used up; then reads more. Reading only when everything read is done
    // keeps a connection's memory to one message: a client that sends
    // faster than its commands run waits in its own socket.
    void Pump() {
        size_t budget = kStepsPerTurn;
        while (!closed_ && !busy()) {
            if (writing_ && outbox_.size() >= kMostAnswerBytes) return;  // Write() resumes
            if (budget-- == 0) {
                // The io thread serves every connection: after a turn this
                // one waits behind whatever else is ready.
                if (!turn_posted_) {
                    turn_posted_ = true;
                    asio::post(server_.io(), [self = shared_from_this()] {
                        self->turn_posted_ = false;
                        self->Pump();
                    });
                }
                return;
            }
            if (commands_->in_message()) {
                if (commands_->Step()) last_activity_ = Clock::now();
                continue;
            }
            if (input_begin_ < input_end_) {
                std::optional<FramedMessage> message;
                input_begin_ +=
                    framer_.Feed(input_.data() + input_begin_, input_end_ - input_begin_, &message);
                if (message) Take(std::move(*message));
                continue;
            }
            if (input_ended_) {
                // The end of the input ends the last message too.
                if (std::optional<FramedMessage> last = framer_.Finish()) {
                    Take(std::move(*last));
                    continue;
                }
                if (!writing_ && outbox_.empty()) Close("the client ended its input");
                return;
            }
            Read();
            return;
        }
    }

    void Read() {
        if (reading_ || closed_) return;
        reading_ = true;
        socket_.async_read_some(
            asio::buffer(input_),
            [self = shared_from_this()](boost::system::error_code error, size_t n) {
                self->reading_ = false;
                if (self->closed_) return;
                self->input_begin_ = 0;
                self->input_end_ = n;
                if (error) self->input_ended_ = true;
                self->Pump();
            });
    }

    void Take(FramedMessage message) {
        last_activity_ = Clock::now();
        switch (message.kind) {
            case FramedMessage::Kind::kBlockTooLong:
                return Close("-161 Invalid block data: a block of " +
                             std::to_string(message.declared_bytes) + " bytes declared, over the " +
                             std::to_string(kMaxMessageBytes) +
                             "-byte message bound; what follows it cannot be told from commands");
            case FramedMessage::Kind::kOverrun:
                commands_->state().status.Fail(kInputBufferOverrun);
                if (server_.verbose()) {
                    commands_->Note("<message over 1 MiB>", {}, {kInputBufferOverrun});
                }
                return;
            case FramedMessage::Kind::kMessage:
                commands_->Begin(std::move(message.text));
                return;
        }
    }

    void Write() {
        if (writing_ || closed_ || outbox_.empty()) return;
        writing_ = true;
        write_started_ = Clock::now();
        sending_.swap(outbox_);
        ArmTimer();
        asio::async_write(socket_, asio::buffer(sending_),
                          [self = shared_from_this()](boost::system::error_code error, size_t) {
                              self->writing_ = false;
                              if (self->closed_) return;
                              if (error) return self->Close("cannot send: " + error.message());
                              self->sending_.clear();
                              self->last_activity_ = Clock::now();
                              self->Write();
                              self->Pump();
                          });
    }

    // ---- The limits ----

    // When a limit may next be reached: the write's, while a write is under
    // way; else the idle one, unless a command waits on the instrument.
    std::optional<Clock::time_point> Due() const {
        const ServerOptions& options = server_.options();
        if (writing_) {
            if (options.write_timeout.count() == 0) return std::nullopt;
            return write_started_ + options.write_timeout;
        }
        if (busy() || options.idle_timeout.count() == 0) return std::nullopt;
        return last_activity_ + options.idle_timeout;
    }

    // The timer is moved only to an earlier moment; when it fires early, the
    // limits are checked and it is set again.
    void ArmTimer() {
        const std::optional<Clock::time_point> due = Due();
        if (closed_ || !started_ || !due || (timer_armed_ && armed_for_ <= *due)) return;
        timer_armed_ = true;
        armed_for_ = *due;
        timer_.expires_at(*due);
        timer_.async_wait([self = shared_from_this()](boost::system::error_code error) {
            if (error == asio::error::operation_aborted) return;  // set again, or closed
            self->timer_armed_ = false;
            self->CheckLimits();
        });
    }

    void CheckLimits() {
        if (closed_) return;
        const ServerOptions& options = server_.options();
        const auto now = Clock::now();
        if (writing_ && options.write_timeout.count() != 0 &&
            now - write_started_ >= options.write_timeout) {
            return Close("did not take its answers within " + Seconds(options.write_timeout) +
                         " (--write-timeout)");
        }
        if (!writing_ && !busy() && options.idle_timeout.count() != 0 &&
            now - last_activity_ >= options.idle_timeout) {
            return Close(
                (framer_.in_message() ? "half a message and nothing more for " : "idle for ") +
                Seconds(options.idle_timeout) + " (--idle-timeout)");
        }
        ArmTimer();
    }

    Impl& server_;
    Served& served_;
    tcp::socket socket_;
    asio::steady_timer timer_;
    const uint64_t id_;
    const std::string peer_;
    std::shared_ptr<CommandRunner> commands_;  // from Start() on
    MessageFramer framer_;
    std::array<char, 65536> input_;
    size_t input_begin_ = 0;
    size_t input_end_ = 0;
    std::string outbox_;
    std::string sending_;
    bool started_ = false;
    bool reading_ = false;
    bool writing_ = false;
    bool turn_posted_ = false;
    bool input_ended_ = false;
    bool closed_ = false;
    Clock::time_point last_activity_;  // a message taken, a command done, answers taken
    Clock::time_point write_started_;
    bool timer_armed_ = false;
    Clock::time_point armed_for_;
};

bool Server::Impl::Start(std::string* error) {
    const Searched found = SearchNow();
    std::vector<int> indices = options_.devices;
    if (indices.empty()) {
        const size_t count = options_.instruments > 0 ? static_cast<size_t>(options_.instruments)
                                                      : std::max<size_t>(found.paths.size(), 1);
        for (size_t i = 0; i < count; ++i) indices.push_back(static_cast<int>(i));
    }
    std::sort(indices.begin(), indices.end());
    indices.erase(std::unique(indices.begin(), indices.end()), indices.end());  // --device 1,1
    // Every port in 1..65535: a port past the last would wrap to another.
    const int last = indices.back();
    if (options_.port != 0 && options_.port + last > 65535) {
        *error = "--port " + std::to_string(options_.port) + " puts instrument " +
                 std::to_string(last) + " on port " + std::to_string(options_.port + last) +
                 ", past 65535: give a --port of at most " + std::to_string(65535 - last);
        return false;
    }
    if (found.result < 0) {
        search_words_ = found.words;
        Log("cannot search: " + found.words);
    }
    Log(Plural(found.paths.size(), "instrument") + " found in " + SearchPlace());
    pool_ = std::make_unique<asio::thread_pool>(std::min(indices.size(), kMostLibraryThreads));
    search_pool_ = std::make_unique<asio::thread_pool>(1);
    for (int index : indices) {
        const auto serial = options_.serials.find(index);
        auto served = std::make_unique<Served>(
            index, InstrumentOptions{options_.full_scale_vpp},
            serial != options_.serials.end() ? serial->second : std::string(), *pool_);
        const auto position = static_cast<size_t>(index);
        if (position < found.paths.size()) {
            served->path = found.paths[position];
            served->present = true;
            served->instrument.Locate(served->path, true);
            if (served->instrument.Open() != 0) {
                // Opened again by the first command that needs it.
                Log("instrument " + std::to_string(index) + ": " +
                    served->instrument.TakeNote().words + "; served anyway");
            }
        } else {
            Log("instrument " + std::to_string(index) + ": not found yet; it answers -241 " +
                "until a search finds it");
        }
        const uint16_t port = options_.port == 0 ? 0 : static_cast<uint16_t>(options_.port + index);
        if (!Listen(*served, port, error)) return false;
        instruments_.emplace(index, std::move(served));
    }
    if (listeners_.empty()) {
        *error = "no address to listen on";
        return false;
    }
    for (const auto& [index, address] : options_.own_addresses) {
        if (instruments_.count(index) == 0) {
            *error = "--instrument-address: instrument " + std::to_string(index) + " is not served";
            return false;
        }
    }
    for (auto& listener : listeners_) Accept(*listener);
    if (options_.http_port != 0 || options_.http_any_port) {
        std::map<int, PanelInstrument> panel;
        for (auto& listener : listeners_) {
            panel.emplace(listener->index,
                          PanelInstrument{instruments_.at(listener->index).get(),
                                          listener->acceptor.local_endpoint().port()});
        }
        http_ = std::make_unique<HttpDoor>(layer_, options_, std::move(panel));
        if (!http_->Listen(error)) return false;
    }
#ifdef VELMAR_VXI11
    if (options_.vxi11) {
        for (const auto& [index, address] : options_.own_addresses) {
            Log("instrument " + std::to_string(index) + " stands alone at " + address.to_string() +
                ": TCPIP::" + address.to_string() + "::INSTR");
        }
        std::map<int, ServedInstrument*> served;
        for (auto& [index, instrument] : instruments_) served.emplace(index, instrument.get());
        vxi11_ = std::make_unique<Vxi11Door>(layer_, options_, std::move(served));
        if (!vxi11_->Listen(error)) return false;
        portmapper_ = std::make_unique<Portmapper>(
            io_, options_, [this](const std::string& line) { Log(line); }, vxi11_->port());
        portmapper_->Start();
    }
#endif
    if (options_.advertise) Advertise();
#ifdef SIGBREAK
    signals_.add(SIGBREAK);
#endif
    signals_.async_wait([this](boost::system::error_code error, int signal_number) {
        if (error) return;
        Log("signal " + std::to_string(signal_number) + ": stopping");
        Shutdown();
    });
    ScheduleSearch();
    return true;
}

bool Server::Impl::Listen(Served& served, uint16_t port, std::string* error) {
    const int index = served.instrument.index();
    return ListenOnEach(
        io_, options_.listen, port, "", [this](const std::string& line) { Log(line); },
        [this, index](tcp::acceptor acceptor) {
            Log("instrument " + std::to_string(index) + " on " +
                EndpointText(acceptor.local_endpoint()));
            listeners_.push_back(std::make_unique<Listener>(Listener{std::move(acceptor), index}));
        },
        error);
}

void Server::Impl::Accept(Listener& listener) {
    const std::string where = "instrument " + std::to_string(listener.index) + ": ";
    AcceptEach(
        listener.acceptor, options_.allow, where, [this](const std::string& line) { Log(line); },
        [this] { return stopping_; },
        [this, where, index = listener.index](tcp::socket socket, const Peer& peer) {
            boost::system::error_code ec;
            if (sessions_.size() >= options_.max_clients &&
                !MakeRoom(sessions_, peer, options_.max_clients, " (--max-clients)")) {
                Log(where + peer.text + " refused: already " + Plural(sessions_.size(), "client") +
                    " (--max-clients)");
                socket.close(ec);
                return;
            }
            socket.set_option(asio::socket_base::keep_alive(true), ec);
            socket.set_option(tcp::no_delay(true), ec);
            // The system's own buffer for the answers, bounded too: a
            // client that stops reading stalls the writes soon, and the
            // write limit then finds it out.
            socket.set_option(asio::socket_base::send_buffer_size(kSocketSendBytes), ec);
            const uint64_t id = next_id_++;
            Served& served = *instruments_.at(index);
            auto session =
                std::make_shared<Session>(*this, std::move(socket), served, id, peer.text);
            sessions_[id] = Connection{session, peer.address};
            Log(where + peer.text + " connected");
            if (served.present) {
                session->Start();
            } else {
                // Perhaps it has just come: its first command finds it.
                waiting_next_.push_back(session);
                Search();
            }
        });
}

// A peer may hold more than half the connections while nobody else wants
// one. When the server is full and another peer comes, the newest
// connection of the peer over its share makes room.
void Server::Impl::ScheduleSearch() {
    search_timer_.expires_after(options_.search_interval);
    search_timer_.async_wait([this](boost::system::error_code error) {
        if (error || stopping_) return;
        Search();
        ScheduleSearch();
    });
}

void Server::Impl::Search() {
    if (stopping_) return;
    if (searching_) {
        search_again_ = true;
        return;
    }
    searching_ = true;
    waiting_current_ = std::move(waiting_next_);
    waiting_next_.clear();
    asio::post(*search_pool_, [this] {
        Searched found = SearchNow();
        asio::post(io_, [this, found = std::move(found)] { Found(found); });
    });
}

// An instrument keeps the path it was first found at: when it goes, its
// port answers -241 until it is back there, and no other instrument moves
// onto its port meanwhile.
void Server::Impl::Found(const Searched& found) {
    searching_ = false;
    if (stopping_) return;
    // A search that fails finds nothing: on Linux it fails when the device
    // directory is gone, as it is when the instruments' server has stopped.
    if (found.result < 0) {
        if (found.words != search_words_) Log("cannot search: " + found.words);
        search_words_ = found.words;
    } else if (!search_words_.empty()) {
        Log("searching " + SearchPlace() + " again");
        search_words_.clear();
    }
    for (auto& [index, served] : instruments_) {
        const std::string name = "instrument " + std::to_string(index) + ": ";
        bool located = false;
        if (!served->path.empty()) {
            const bool present = std::find(found.paths.begin(), found.paths.end(), served->path) !=
                                 found.paths.end();
            if (present == served->present) continue;
            served->present = present;
            Log(name + served->path +
                (present ? " is back" : " is gone; it answers -241 until it is back"));
            located = true;
        } else if (static_cast<size_t>(index) < found.paths.size() &&
                   !Assigned(found.paths[static_cast<size_t>(index)])) {
            served->path = found.paths[static_cast<size_t>(index)];
            served->present = true;
            Log(name + "found at " + served->path);
            located = true;
        }
        if (!located) continue;
        asio::post(served->strand,
                   [&instrument = served->instrument, path = served->path,
                    present = served->present] { instrument.Locate(path, present); });
    }
    // Their first commands reach the strand after what this search said.
    std::vector<std::shared_ptr<Session>> waiting = std::move(waiting_current_);
    waiting_current_.clear();
    for (auto& session : waiting) session->Start();
    if (search_again_) {
        search_again_ = false;
        Search();
    }
}

// Over mDNS, when clients beyond this machine can reach the server: an
// instrument on loopback only is nobody else's to find.
void Server::Impl::Advertise() {
    bool beyond_loopback = false;
    for (const std::string& text : options_.listen) {
        boost::system::error_code ec;
        const asio::ip::address address = asio::ip::make_address(text, ec);
        beyond_loopback |= !ec && !address.is_loopback();
    }
    if (!beyond_loopback) {
        Log("not advertised over mDNS: listening on loopback only");
        return;
    }
    Offered offered;
    boost::system::error_code ec;
    offered.host = asio::ip::host_name(ec);
    offered.version = velmar_dds_version(nullptr, nullptr, nullptr);
    for (auto& listener : listeners_) {
        const std::string serial = instruments_.at(listener->index)->Serial();
        if (offered.instruments.empty() || offered.instruments.back().index != listener->index) {
            offered.instruments.push_back(
                {listener->index, serial, listener->acceptor.local_endpoint().port()});
        }
    }
#ifdef VELMAR_VXI11
    if (vxi11_) offered.vxi11_port = vxi11_->port();
#endif
    if (http_) offered.http_port = http_->port();
    std::string why;
    // Avahi's thread says what becomes of them on the io thread's log.
    advertiser_ = velmar::scpi::Advertise(
        LxiServices(offered),
        [this](const std::string& line) { asio::post(io_, [this, line] { Log(line); }); }, &why);
    if (!advertiser_) Log("not advertised over mDNS: " + why);
}

void Server::Impl::Shutdown() {
    if (stopping_) return;
    stopping_ = true;
    boost::system::error_code ignored;
    signals_.cancel(ignored);
    search_timer_.cancel();
    for (auto& listener : listeners_) listener->acceptor.close(ignored);
    if (http_) http_->Stop();
    advertiser_.reset();
#ifdef VELMAR_VXI11
    if (vxi11_) vxi11_->Stop();
    if (portmapper_) portmapper_->Stop();
#endif
    layer_.StopCalls();
    std::vector<std::shared_ptr<Session>> open;
    for (auto& [id, connection] : sessions_) {
        if (auto session = connection.connection.lock()) open.push_back(session);
    }
    for (auto& session : open) session->Close("the server is stopping");
    waiting_next_.clear();
    waiting_current_.clear();
    // The answer of a library call under way is dropped with its connection;
    // the calls still queued are not made (CommandLayer::StopCalls).
    if (pool_) pool_->stop();
    if (search_pool_) search_pool_->stop();
    io_.stop();
}

RunEnd Server::Impl::Run() {
    io_.run();
    // A library call under way can wait on a silent instrument for a second
    // or more: the process ends without it. With none under way, the pools'
    // threads are joined and the process ends as usual.
    if (layer_.calls_in_flight() == 0) {
        std::promise<void> joined;
        std::future<void> done = joined.get_future();
        joiner_ = std::thread([this, joined = std::move(joined)]() mutable {
            StopLibraryCalls();
            joined.set_value();
        });
        if (done.wait_for(kMostStopWait) == std::future_status::ready) return RunEnd::kClean;
    }
    const int in_flight = layer_.calls_in_flight();
    Log(in_flight > 0 ? "abandoning " + Plural(static_cast<size_t>(in_flight), "library call") +
                            " waiting on an instrument"
                      : std::string("abandoning the library's threads, still busy"));
    return RunEnd::kCallsAbandoned;
}

Server::Server(ServerOptions options, std::ostream& log)
    : impl_(std::make_unique<Impl>(std::move(options), log)) {}
Server::~Server() = default;
bool Server::Start(std::string* error) {
    return impl_->Start(error);
}
RunEnd Server::Run() {
    return impl_->Run();
}
void Server::Stop() {
    impl_->Stop();
}

}  // namespace velmar::scpi
