#include "server.h"

#include <algorithm>
#include <asio.hpp>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <map>

#include "velmar/dds.h"

namespace velmar::scpi {

using asio::ip::tcp;

// ---- --allow ---------------------------------------------------------------

std::optional<AddressRange> AddressRange::Parse(const std::string& text) {
    const size_t slash = text.find('/');
    asio::error_code error;
    const asio::ip::address address = asio::ip::make_address(text.substr(0, slash), error);
    if (error) return std::nullopt;
    AddressRange range;
    range.v6 = address.is_v6();
    const int bits = range.v6 ? 128 : 32;
    range.prefix = bits;
    if (slash != std::string::npos) {
        const std::string prefix = text.substr(slash + 1);
        if (prefix.empty() || prefix.size() > 3 ||
            prefix.find_first_not_of("0123456789") != std::string::npos) {
            return std::nullopt;
        }
        range.prefix = std::stoi(prefix);
        if (range.prefix > bits) return std::nullopt;
    }
    if (range.v6) {
        const auto bytes = address.to_v6().to_bytes();
        std::copy(bytes.begin(), bytes.end(), range.bytes.begin());
    } else {
        const auto bytes = address.to_v4().to_bytes();
        std::copy(bytes.begin(), bytes.end(), range.bytes.begin());
    }
    return range;
}

bool AddressRange::Contains(const std::string& text) const {
    asio::error_code error;
    asio::ip::address address = asio::ip::make_address(text, error);
    if (error) return false;
    if (address.is_v6() && address.to_v6().is_v4_mapped()) {
        address = asio::ip::make_address_v4(asio::ip::v4_mapped, address.to_v6());
    }
    if (address.is_v6() != v6) return false;
    std::array<uint8_t, 16> peer{};
    if (v6) {
        const auto bytes = address.to_v6().to_bytes();
        std::copy(bytes.begin(), bytes.end(), peer.begin());
    } else {
        const auto bytes = address.to_v4().to_bytes();
        std::copy(bytes.begin(), bytes.end(), peer.begin());
    }
    for (int bit = 0; bit < prefix; ++bit) {
        const uint8_t mask = static_cast<uint8_t>(0x80 >> (bit % 8));
        if ((peer[bit / 8] & mask) != (bytes[bit / 8] & mask)) return false;
    }
    return true;
}

// ---- Server and sessions ---------------------------------------------------

namespace {

// A client that does not read its answers, or sends faster than the
// instrument works, is not read from until it catches up.
constexpr size_t kMostQueuedBytes = 2 * kMaxMessageBytes;
constexpr size_t kMostQueuedMessages = 4096;
// Units one connection runs before the others get their turn.
constexpr size_t kUnitsPerTurn = 64;
// Threads for the library calls: one for each instrument that may wait on
// its answers at the same time, up to this bound.
constexpr size_t kMostLibraryThreads = 16;

std::string Endpoint(const tcp::endpoint& endpoint) {
    const asio::ip::address address = endpoint.address();
    std::string text = address.to_string();
    if (address.is_v6()) text = "[" + text + "]";
    return text + ":" + std::to_string(endpoint.port());
}

// A client's text as the log shows it: a string parameter could otherwise
// forge log lines.
std::string Printable(const std::string& text, size_t most) {
    std::string out;
    for (size_t i = 0; i < text.size() && i < most; ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c >= 0x20 && c < 0x7F) {
            out.push_back(static_cast<char>(c));
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof(escaped), "\\x%02X", c);
            out += escaped;
        }
    }
    if (text.size() > most) out += "...";
    return out;
}

// A unit as the verbose log shows it: `SOUR:FREQ 1000HZ`, blocks by size.
std::string Describe(const ProgramUnit& unit) {
    std::string text;
    for (size_t i = 0; i < unit.nodes.size(); ++i) text += (i ? ":" : "") + unit.nodes[i];
    if (unit.query) text += "?";
    for (size_t i = 0; i < unit.parameters.size() && i < 8; ++i) {
        const Parameter& p = unit.parameters[i];
        text += i ? "," : " ";
        switch (p.kind) {
            case Parameter::Kind::kNumber:
                text += FormatNumber(p.number) + p.text;
                break;
            case Parameter::Kind::kCharacter:
                text += p.text;
                break;
            case Parameter::Kind::kString:
                text += "\"" + Printable(p.text, 40) + "\"";
                break;
            case Parameter::Kind::kBlock:
                text += "#<" + std::to_string(p.text.size()) + " bytes>";
                break;
        }
    }
    if (unit.parameters.size() > 8) text += ",...";
    return text;
}

}  // namespace

class Server::Impl {
  public:
    class Session;
    using Strand = asio::strand<asio::thread_pool::executor_type>;

    // An instrument and the strand its library calls run on, one after the
    // other; the strands of different instruments run at the same time.
    struct Served {
        Served(int index, std::string path, asio::thread_pool& pool)
            : instrument(index, std::move(path)), strand(asio::make_strand(pool)) {}
        Instrument instrument;
        Strand strand;
    };

    Impl(ServerOptions options, std::ostream& log)
        : options_(std::move(options)), log_(log), signals_(io_, SIGINT, SIGTERM) {}

    ~Impl() { StopLibraryCalls(); }

    bool Start(std::string* error);
    void Run();
    void Stop() {
        asio::post(io_, [this] { Shutdown(); });
    }

    void Log(const std::string& line) { log_ << "velmar-dds-scpi: " << line << std::endl; }
    bool verbose() const { return options_.verbose; }
    asio::io_context& io() { return io_; }
    void Forget(uint64_t id) { sessions_.erase(id); }

  private:
    struct Listener {
        tcp::acceptor acceptor;
        int index;
    };
    void Accept(Listener& listener);
    void Shutdown();
    // A library call under way finishes (at most a few seconds, for a
    // silent instrument); the calls still waiting are dropped.
    void StopLibraryCalls() {
        if (!pool_) return;
        pool_->stop();
        pool_->join();
    }

    ServerOptions options_;
    std::ostream& log_;
    asio::io_context io_{1};
    asio::signal_set signals_;
    std::unique_ptr<asio::thread_pool> pool_;
    // After the pool: the strands go before it.
    std::map<int, std::unique_ptr<Served>> instruments_;
    std::vector<std::unique_ptr<Listener>> listeners_;
    std::map<uint64_t, std::weak_ptr<Session>> sessions_;
    uint64_t next_id_ = 0;
    bool stopping_ = false;
};

class Server::Impl::Session : public std::enable_shared_from_this<Session> {
  public:
    Session(Impl& server, tcp::socket socket, Served& served, uint64_t id, std::string peer)
        : server_(server),
          served_(served),
          socket_(std::move(socket)),
          id_(id),
          peer_(std::move(peer)) {
        state_.index = served.instrument.index();
    }

    void Start() {
        server_.Log("instrument " + std::to_string(state_.index) + ": " + peer_ + " connected");
        Read();
    }

    void Close() {
        if (closed_) return;
        closed_ = true;
        asio::error_code ignored;
        socket_.shutdown(tcp::socket::shutdown_both, ignored);
        socket_.close(ignored);
        server_.Log("instrument " + std::to_string(state_.index) + ": " + peer_ + " closed");
        server_.Forget(id_);
    }

  private:
    // Input waiting to run or answers waiting to go beyond these bounds stop
    // the reading (the client's sends then block) until they drain.
    bool Backlogged() const {
        return pending_bytes_ > kMostQueuedBytes || pending_.size() > kMostQueuedMessages ||
               outbox_.size() + sending_.size() > kMostQueuedBytes;
    }

    void Read() {
        if (reading_ || closed_ || input_ended_ || Backlogged()) return;
        reading_ = true;
        socket_.async_read_some(
            asio::buffer(buffer_), [self = shared_from_this()](asio::error_code error, size_t n) {
                self->reading_ = false;
                if (self->closed_) return;
                std::vector<FramedMessage> messages;
                self->framer_.Feed(self->buffer_.data(), n, &messages);
                for (FramedMessage& m : messages) {
                    self->pending_bytes_ += m.text.size();
                    self->pending_.push_back(std::move(m));
                }
                if (error) {
                    // The end of the input ends the last message too.
                    if (std::optional<FramedMessage> last = self->framer_.Finish()) {
                        self->pending_bytes_ += last->text.size();
                        self->pending_.push_back(std::move(*last));
                    }
                    self->input_ended_ = true;
                }
                self->Process();
                self->Read();
            });
    }

    // Runs units until one waits on the instrument or nothing is left.
    void Process() {
        size_t budget = kUnitsPerTurn;
        while (!busy_ && !closed_) {
            if (next_unit_ < units_.size()) {
                if (budget-- == 0) {
                    // The io thread serves every connection: after a turn
                    // this one waits behind whatever else is ready.
                    if (!turn_posted_) {
                        turn_posted_ = true;
                        asio::post(server_.io(), [self = shared_from_this()] {
                            self->turn_posted_ = false;
                            self->Process();
                        });
                    }
                    return;
                }
                RunUnit(units_[next_unit_++]);
                continue;
            }
            if (in_message_) EndMessage();
            // A client that does not read its answers gets no more until it does.
            if (pending_.empty() || outbox_.size() + sending_.size() > kMostQueuedBytes) break;
            FramedMessage message = std::move(pending_.front());
            pending_.pop_front();
            pending_bytes_ -= message.text.size();
            if (message.overrun) {
                state_.status.Fail(kInputBufferOverrun);
                if (server_.verbose()) Note("<message over 1 MiB>", {}, {kInputBufferOverrun});
                continue;
            }
            units_ = ParseMessage(message.text);
            next_unit_ = 0;
            path_.Reset();
            in_message_ = true;
            answers_.clear();
            answered_ = false;
        }
        if (!busy_ && !in_message_ && input_ended_ && pending_.empty() && !writing_ &&
            outbox_.empty()) {
            Close();
        }
        Read();
    }

    void RunUnit(const ProgramUnit& unit) {
        if (unit.error != 0) return Apply(unit, Reply::Error(unit.error));
        const Command* command = path_.Resolve(unit);
        if (command == nullptr) return Apply(unit, Reply::Error(kUndefinedHeader));
        if (const int error = CheckParameterCount(*command, unit); error != 0) {
            return Apply(unit, Reply::Error(error));
        }
        if (command->on_connection != nullptr) {
            return Apply(unit, command->on_connection(state_, unit));
        }
        // One unit at a time: the connection's answers keep their order.
        busy_ = true;
        asio::post(served_.strand,
                   [self = shared_from_this(), command, unit, order = state_.byte_order] {
                       Instrument& instrument = self->served_.instrument;
                       Reply reply = command->on_instrument(instrument, order, unit);
                       FailureNote note = instrument.TakeNote();
                       asio::post(self->server_.io(),
                                  [self, unit, reply = std::move(reply), note = std::move(note)] {
                                      self->busy_ = false;
                                      self->Apply(unit, reply, note);
                                      self->Process();
                                  });
                   });
    }

    void Apply(const ProgramUnit& unit, const Reply& reply, const FailureNote& note = {}) {
        for (const QueuedError& error : reply.errors) state_.status.Fail(error.code, error.detail);
        if (reply.answer) {
            if (answered_) answers_ += ';';
            answers_ += *reply.answer;
            answered_ = true;
        }
        if (server_.verbose()) {
            Note(Describe(unit), reply.answer, reply.errors, note.words);
        } else if (note.news) {
            // Without --verbose, a failure once, until the instrument says
            // something else or answers again.
            server_.Log("instrument " + std::to_string(state_.index) + ": " + note.words);
        }
    }

    void Note(const std::string& what, const std::optional<std::string>& answer,
              const std::vector<QueuedError>& errors, const std::string& words = {}) {
        std::string line =
            "instrument " + std::to_string(state_.index) + ": " + peer_ + ": " + what;
        if (answer) line += " -> " + Printable(*answer, 80);
        for (const QueuedError& error : errors) {
            line += " [" + std::to_string(error.code) + " " + ErrorText(error.code);
            line += (error.detail.empty() ? "" : ";" + error.detail) + "]";
        }
        if (!words.empty()) line += ": " + words;
        server_.Log(line);
    }

    // A message's answers go out together, joined by ';', ended by '\n'.
    void EndMessage() {
        in_message_ = false;
        if (!answered_) return;
        outbox_ += answers_;
        outbox_ += '\n';
        answers_.clear();
        Write();
    }

    void Write() {
        if (writing_ || closed_ || outbox_.empty()) return;
        writing_ = true;
        sending_.swap(outbox_);
        asio::async_write(socket_, asio::buffer(sending_),
                          [self = shared_from_this()](asio::error_code error, size_t) {
                              self->writing_ = false;
                              self->sending_.clear();
                              if (error) return self->Close();
                              self->Write();
                              self->Process();
                          });
    }

    Impl& server_;
    Served& served_;
    tcp::socket socket_;
    const uint64_t id_;
    const std::string peer_;
    ConnectionState state_;
    MessageFramer framer_;
    HeaderPath path_;
    std::array<char, 65536> buffer_;
    std::deque<FramedMessage> pending_;
    size_t pending_bytes_ = 0;
    std::vector<ProgramUnit> units_;
    size_t next_unit_ = 0;
    bool in_message_ = false;
    std::string answers_;
    bool answered_ = false;
    std::string outbox_;
    std::string sending_;
    bool reading_ = false;
    bool writing_ = false;
    bool busy_ = false;
    bool turn_posted_ = false;
    bool input_ended_ = false;
    bool closed_ = false;
};

bool Server::Impl::Start(std::string* error) {
    velmar_dds_list* list = nullptr;
    const int searched = velmar_dds_find(&list);
    if (searched < 0) Log(std::string("cannot search: ") + velmar_dds_last_message());
    const std::vector<std::string> paths = [list] {
        std::vector<std::string> found;
        for (size_t i = 0; i < velmar_dds_list_count(list); ++i)
            found.push_back(velmar_dds_list_path(list, i));
        return found;
    }();
    velmar_dds_list_free(list);
    const int found = static_cast<int>(paths.size());
    std::vector<int> devices = options_.devices;
    if (devices.empty()) {
        for (int i = 0; i < found; ++i) devices.push_back(i);
    }
    if (devices.empty()) {
        *error = "no instrument found";
        return false;
    }
    Log(std::to_string(found) + " instrument" + (found == 1 ? "" : "s") + " found");
    pool_ = std::make_unique<asio::thread_pool>(std::min(devices.size(), kMostLibraryThreads));
    for (int index : devices) {
        if (instruments_.count(index) != 0) continue;  // --device 1,1
        const std::string path = index < found ? paths[static_cast<size_t>(index)] : std::string();
        auto served = std::make_unique<Served>(index, path, *pool_);
        if (path.empty()) {
            Log("instrument " + std::to_string(index) + " is not attached; served anyway");
        } else if (served->instrument.Open() != 0) {
            // Opened again by the first command that needs it.
            Log("instrument " + std::to_string(index) + ": " + served->instrument.TakeNote().words +
                "; served anyway");
        }
        instruments_.emplace(index, std::move(served));
        for (const std::string& text : options_.listen) {
            asio::error_code ec;
            const asio::ip::address address = asio::ip::make_address(text, ec);
            if (ec) {
                *error = "--listen: '" + text + "' is not an IP address";
                return false;
            }
            const uint16_t port =
                options_.port == 0 ? 0 : static_cast<uint16_t>(options_.port + index);
            auto listener = std::make_unique<Listener>(Listener{tcp::acceptor(io_), index});
            tcp::acceptor& acceptor = listener->acceptor;
            const tcp::endpoint endpoint(address, port);
            acceptor.open(endpoint.protocol(), ec);
            if (!ec && address.is_v6()) acceptor.set_option(asio::ip::v6_only(true), ec);
            if (!ec) acceptor.set_option(tcp::acceptor::reuse_address(true), ec);
            if (!ec) acceptor.bind(endpoint, ec);
            if (!ec) acceptor.listen(asio::socket_base::max_listen_connections, ec);
            if (ec) {
                // A machine without IPv6 still serves on IPv4, and the other way round.
                Log("cannot listen on " + Endpoint(endpoint) + ": " + ec.message());
                continue;
            }
            Log("instrument " + std::to_string(index) + " on " +
                Endpoint(acceptor.local_endpoint()));
            listeners_.push_back(std::move(listener));
        }
    }
    if (listeners_.empty()) {
        *error = "no address to listen on";
        return false;
    }
    for (auto& listener : listeners_) Accept(*listener);
#ifdef SIGBREAK
    signals_.add(SIGBREAK);
#endif
    signals_.async_wait([this](asio::error_code error, int signal_number) {
        if (error) return;
        Log("signal " + std::to_string(signal_number) + ": stopping");
        Shutdown();
    });
    return true;
}

void Server::Impl::Accept(Listener& listener) {
    listener.acceptor.async_accept([this, &listener](asio::error_code error, tcp::socket socket) {
        if (stopping_) return;
        if (!error) {
            asio::error_code ec;
            const tcp::endpoint remote = socket.remote_endpoint(ec);
            const std::string peer = ec ? "unknown peer" : Endpoint(remote);
            const std::string where = "instrument " + std::to_string(listener.index) + ": ";
            bool allowed = options_.allow.empty();
            for (const AddressRange& range : options_.allow) {
                if (!ec && range.Contains(remote.address().to_string())) allowed = true;
            }
            if (!allowed) {
                Log(where + peer + " refused: not in --allow");
                socket.close(ec);
            } else if (sessions_.size() >= options_.max_clients) {
                Log(where + peer + " refused: already " + std::to_string(sessions_.size()) +
                    " clients (--max-clients)");
                socket.close(ec);
            } else {
                socket.set_option(asio::socket_base::keep_alive(true), ec);
                socket.set_option(tcp::no_delay(true), ec);
                const uint64_t id = next_id_++;
                auto session = std::make_shared<Session>(
                    *this, std::move(socket), *instruments_.at(listener.index), id, peer);
                sessions_[id] = session;
                session->Start();
            }
        } else if (error == asio::error::operation_aborted) {
            return;
        } else {
            // Out of descriptors, say: try again shortly rather than spin.
            Log("instrument " + std::to_string(listener.index) + ": accept: " + error.message());
            auto timer = std::make_shared<asio::steady_timer>(io_, std::chrono::milliseconds(200));
            timer->async_wait([this, &listener, timer](asio::error_code) {
                if (!stopping_) Accept(listener);
            });
            return;
        }
        Accept(listener);
    });
}

void Server::Impl::Shutdown() {
    if (stopping_) return;
    stopping_ = true;
    asio::error_code ignored;
    signals_.cancel(ignored);
    for (auto& listener : listeners_) listener->acceptor.close(ignored);
    std::vector<std::shared_ptr<Session>> open;
    for (auto& [id, weak] : sessions_) {
        if (auto session = weak.lock()) open.push_back(session);
    }
    for (auto& session : open) session->Close();
    // The answer of a library call under way is dropped with its connection.
    StopLibraryCalls();
    io_.stop();
}

void Server::Impl::Run() {
    io_.run();
}

Server::Server(ServerOptions options, std::ostream& log)
    : impl_(std::make_unique<Impl>(std::move(options), log)) {}
Server::~Server() = default;
bool Server::Start(std::string* error) {
    return impl_->Start(error);
}
void Server::Run() {
    impl_->Run();
}
void Server::Stop() {
    impl_->Stop();
}

}  // namespace velmar::scpi
