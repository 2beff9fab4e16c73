#include "server.h"

#include <algorithm>
#include <asio.hpp>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <future>
#include <map>
#include <thread>

#include "velmar/dds.h"

namespace velmar::scpi {

using asio::ip::tcp;
using Clock = std::chrono::steady_clock;

// ---- --allow ---------------------------------------------------------------

namespace {

// The address a peer is known by: an IPv4 peer on an IPv6 socket as IPv4,
// and an IPv6 one without its scope (fe80::1%eth0 is in fe80::/10).
asio::ip::address PeerAddress(const asio::ip::address& address) {
    if (!address.is_v6()) return address;
    const asio::ip::address_v6 v6 = address.to_v6();
    if (v6.is_v4_mapped()) return asio::ip::make_address_v4(asio::ip::v4_mapped, v6);
    return asio::ip::address_v6(v6.to_bytes());
}

}  // namespace

std::optional<AddressRange> AddressRange::Parse(const std::string& text) {
    asio::error_code error;
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

// Answers a connection has made and the client has not taken yet: at this
// many, its commands wait until the client reads.
constexpr size_t kMostAnswerBytes = 64 * 1024;
// The socket's send buffer: answers are short, and this holds thousands.
constexpr int kSocketSendBytes = 128 * 1024;
// What a connection keeps of a message's memory once the message is done;
// a larger one is given back.
constexpr size_t kKeptMessageBytes = 64 * 1024;
// Steps (a message framed, a unit run) one connection takes before the
// others get their turn.
constexpr size_t kStepsPerTurn = 256;
// Threads for the library calls: one for each instrument that may wait on
// its answers at the same time, up to this bound.
constexpr size_t kMostLibraryThreads = 16;
// At a stop, how long the thread pools may take to finish when no library
// call is under way. A call that is under way is not waited for.
constexpr auto kMostStopWait = std::chrono::milliseconds(300);

std::string Plural(size_t count, const std::string& word) {
    return std::to_string(count) + " " + word + (count == 1 ? "" : "s");
}

std::string Seconds(std::chrono::seconds limit) {
    return Plural(static_cast<size_t>(limit.count()), "second");
}

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
        Served(int index, const InstrumentOptions& served_as, std::string serial_given,
               asio::thread_pool& pool)
            : instrument(index, served_as),
              strand(asio::make_strand(pool)),
              serial(std::move(serial_given)) {}
        // *IDN?'s serial: --serial's, else the device's name, else the index.
        std::string Serial() const {
            if (!serial.empty()) return serial;
            if (path.empty()) return std::to_string(instrument.index());
            return path.substr(path.find_last_of("/\\") + 1);
        }
        Instrument instrument;  // touched on its strand only
        Strand strand;
        // The io thread's view: the path the instrument was found at (empty
        // until it is), and whether the latest search found it there.
        std::string path;
        bool present = false;
        const std::string serial;  // --serial
    };

    Impl(ServerOptions options, std::ostream& log)
        : options_(std::move(options)), log_(log), signals_(io_, SIGINT, SIGTERM) {}

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
    std::atomic<int>& calls_in_flight() { return calls_in_flight_; }
    // Set when the server stops: a call still queued on a strand is not made
    // (a strand runs what it has ready in one go, whatever the pool is told).
    bool calls_stopped() const { return calls_stopped_.load(); }
    void Forget(uint64_t id) { sessions_.erase(id); }

  private:
    struct Listener {
        tcp::acceptor acceptor;
        int index;
    };
    struct Connection {
        std::weak_ptr<Session> session;
        asio::ip::address peer;
    };

    void Accept(Listener& listener);
    bool MakeRoomFor(const asio::ip::address& peer, const std::string& who);
    bool Listen(Served& served, uint16_t port, std::string* error);
    void Search();
    void Found(const Searched& found);
    void ScheduleSearch();
    void Shutdown();
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
    std::atomic<int> calls_in_flight_{0};
    std::atomic<bool> calls_stopped_{false};
    std::thread joiner_;
};

class Server::Impl::Session : public std::enable_shared_from_this<Session> {
  public:
    Session(Impl& server, tcp::socket socket, Served& served, uint64_t id, std::string peer)
        : server_(server),
          served_(served),
          socket_(std::move(socket)),
          timer_(server.io()),
          id_(id),
          peer_(std::move(peer)) {
        state_.index = served.instrument.index();
    }

    std::string Where() const {
        return "instrument " + std::to_string(state_.index) + ": " + peer_;
    }

    void Start() {
        if (started_ || closed_) return;
        started_ = true;
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
        asio::error_code ignored;
        timer_.cancel();
        socket_.shutdown(tcp::socket::shutdown_both, ignored);
        socket_.close(ignored);
        server_.Forget(id_);
    }

  private:
    // Frames messages and runs their units until one waits on the
    // instrument, the client has answers to take first, or the input is
    // used up; then reads more. Reading only when everything read is done
    // keeps a connection's memory to one message: a client that sends
    // faster than its commands run waits in its own socket.
    void Pump() {
        size_t budget = kStepsPerTurn;
        while (!closed_ && !busy_) {
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
            if (in_message_) {
                if (std::optional<ProgramUnit> unit = reader_.Next()) {
                    RunUnit(std::move(*unit));
                } else {
                    EndMessage();
                }
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
        socket_.async_read_some(asio::buffer(input_),
                                [self = shared_from_this()](asio::error_code error, size_t n) {
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
                state_.status.Fail(kInputBufferOverrun);
                if (server_.verbose()) Note("<message over 1 MiB>", {}, {kInputBufferOverrun});
                return;
            case FramedMessage::Kind::kMessage:
                message_ = std::move(message.text);
                reader_ = UnitReader(message_);
                path_.Reset();
                in_message_ = true;
                answered_ = false;
                skipping_ = false;
                return;
        }
    }

    void RunUnit(ProgramUnit unit) {
        // After a command error the rest of the message is not run, as
        // IEEE 488.2 has it; its queries still answer, not-a-number.
        if (skipping_) return Apply(unit, Reply::Done());
        if (unit.error != 0) {
            return Apply(unit, Reply{std::nullopt, {QueuedError(unit.error, unit.error_detail)}});
        }
        const Command* command = path_.Resolve(unit);
        if (command == nullptr) return Apply(unit, Reply::Error(kUndefinedHeader));
        if (const int error = CheckParameterCount(*command, unit); error != 0) {
            return Apply(unit, Reply::Error(error));
        }
        if (command->on_connection != nullptr) {
            // MAV: an answer of this message, or of one before, waits for the client.
            state_.message_available = answered_ || writing_ || !outbox_.empty();
            state_.serial = served_.Serial();
            return Apply(unit, command->on_connection(state_, unit));
        }
        // One unit at a time: the connection's answers keep their order. The
        // unit travels to the strand and back by moves: its parameters can
        // be a megabyte.
        busy_ = true;
        asio::post(served_.strand, [self = shared_from_this(), command, unit = std::move(unit),
                                    order = state_.byte_order]() mutable {
            std::atomic<int>& in_flight = self->server_.calls_in_flight();
            // Counted before the check, so that a stop either sees the call
            // or the call sees the stop.
            ++in_flight;
            if (self->server_.calls_stopped()) {
                --in_flight;
                return;
            }
            Instrument& instrument = self->served_.instrument;
            Reply reply = command->on_instrument(instrument, order, unit);
            FailureNote note = instrument.TakeNote();
            --in_flight;
            asio::io_context& io = self->server_.io();
            asio::post(io, [self = std::move(self), unit = std::move(unit),
                            reply = std::move(reply), note = std::move(note)] {
                self->busy_ = false;
                self->Apply(unit, reply, note);
                self->ArmTimer();
                self->Pump();
            });
        });
    }

    void Apply(const ProgramUnit& unit, const Reply& reply, const FailureNote& note = {}) {
        last_activity_ = Clock::now();
        for (const QueuedError& error : reply.errors) {
            state_.status.Fail(error.code, error.detail);
            if (error.code <= kCommandError && error.code > kExecutionError) skipping_ = true;
        }
        if (reply.reset_format) state_.byte_order = ByteOrder::kNormal;
        // Every query answers, so that no client waits for a line that
        // never comes: one that failed or was not run, with not-a-number.
        const std::optional<std::string> answer =
            reply.answer || !unit.query ? reply.answer : std::string(kNotANumber);
        if (answer) {
            // The answers of a message go out on one line, joined by ';';
            // a long line goes out in pieces as it is made.
            if (answered_) outbox_ += ';';
            outbox_ += *answer;
            answered_ = true;
            if (outbox_.size() >= kMostAnswerBytes) Write();
        }
        if (server_.verbose()) {
            Note(Describe(unit), answer, reply.errors, note.words);
        } else if (note.news) {
            // Without --verbose, a failure once, until the instrument says
            // something else or answers again.
            server_.Log("instrument " + std::to_string(state_.index) + ": " + note.words);
        }
    }

    void Note(const std::string& what, const std::optional<std::string>& answer,
              const std::vector<QueuedError>& errors, const std::string& words = {}) {
        std::string line = Where() + ": " + what;
        if (answer) line += " -> " + Printable(*answer, 80);
        for (const QueuedError& error : errors) {
            line += " [" + std::to_string(error.code) + " " + ErrorText(error.code);
            line += (error.detail.empty() ? "" : ";" + error.detail) + "]";
        }
        if (!words.empty()) line += ": " + words;
        server_.Log(line);
    }

    void EndMessage() {
        in_message_ = false;
        reader_ = UnitReader();
        if (message_.capacity() > kKeptMessageBytes) {
            std::string().swap(message_);
        } else {
            message_.clear();
        }
        if (answered_) outbox_ += '\n';
        answered_ = false;
        Write();
    }

    void Write() {
        if (writing_ || closed_ || outbox_.empty()) return;
        writing_ = true;
        write_started_ = Clock::now();
        sending_.swap(outbox_);
        ArmTimer();
        asio::async_write(socket_, asio::buffer(sending_),
                          [self = shared_from_this()](asio::error_code error, size_t) {
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
        if (busy_ || options.idle_timeout.count() == 0) return std::nullopt;
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
        timer_.async_wait([self = shared_from_this()](asio::error_code error) {
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
        if (!writing_ && !busy_ && options.idle_timeout.count() != 0 &&
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
    ConnectionState state_;
    MessageFramer framer_;
    HeaderPath path_;
    std::array<char, 65536> input_;
    size_t input_begin_ = 0;
    size_t input_end_ = 0;
    std::string message_;  // the message whose units run
    UnitReader reader_;    // over message_
    bool in_message_ = false;
    bool answered_ = false;  // the message has answered, and its line is open
    bool skipping_ = false;  // a command error ended the message's commands
    std::string outbox_;
    std::string sending_;
    bool started_ = false;
    bool reading_ = false;
    bool writing_ = false;
    bool busy_ = false;
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
    for (auto& listener : listeners_) Accept(*listener);
#ifdef SIGBREAK
    signals_.add(SIGBREAK);
#endif
    signals_.async_wait([this](asio::error_code error, int signal_number) {
        if (error) return;
        Log("signal " + std::to_string(signal_number) + ": stopping");
        Shutdown();
    });
    ScheduleSearch();
    return true;
}

bool Server::Impl::Listen(Served& served, uint16_t port, std::string* error) {
    const int index = served.instrument.index();
    for (const std::string& text : options_.listen) {
        asio::error_code ec;
        const asio::ip::address address = asio::ip::make_address(text, ec);
        if (ec) {
            *error = "--listen: '" + text + "' is not an IP address";
            return false;
        }
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
        Log("instrument " + std::to_string(index) + " on " + Endpoint(acceptor.local_endpoint()));
        listeners_.push_back(std::move(listener));
    }
    return true;
}

void Server::Impl::Accept(Listener& listener) {
    listener.acceptor.async_accept([this, &listener](asio::error_code error, tcp::socket socket) {
        if (stopping_) return;
        if (!error) {
            asio::error_code ec;
            const tcp::endpoint remote = socket.remote_endpoint(ec);
            const std::string peer = ec ? "unknown peer" : Endpoint(remote);
            const asio::ip::address address =
                ec ? asio::ip::address() : PeerAddress(remote.address());
            const std::string where = "instrument " + std::to_string(listener.index) + ": ";
            bool allowed = options_.allow.empty();
            for (const AddressRange& range : options_.allow) {
                if (!ec && range.Contains(address)) allowed = true;
            }
            if (!allowed) {
                Log(where + peer + " refused: not in --allow");
                socket.close(ec);
            } else if (sessions_.size() >= options_.max_clients && !MakeRoomFor(address, peer)) {
                Log(where + peer + " refused: already " + Plural(sessions_.size(), "client") +
                    " (--max-clients)");
                socket.close(ec);
            } else {
                socket.set_option(asio::socket_base::keep_alive(true), ec);
                socket.set_option(tcp::no_delay(true), ec);
                // The system's own buffer for the answers, bounded too: a
                // client that stops reading stalls the writes soon, and the
                // write limit then finds it out.
                socket.set_option(asio::socket_base::send_buffer_size(kSocketSendBytes), ec);
                const uint64_t id = next_id_++;
                Served& served = *instruments_.at(listener.index);
                auto session =
                    std::make_shared<Session>(*this, std::move(socket), served, id, peer);
                sessions_[id] = Connection{session, address};
                Log(where + peer + " connected");
                if (served.present) {
                    session->Start();
                } else {
                    // Perhaps it has just come: its first command finds it.
                    waiting_next_.push_back(session);
                    Search();
                }
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

// A peer may hold more than half the connections while nobody else wants
// one. When the server is full and another peer comes, the newest
// connection of the peer over its share makes room.
bool Server::Impl::MakeRoomFor(const asio::ip::address& peer, const std::string& who) {
    const size_t share = std::max<size_t>(1, options_.max_clients / 2);
    std::map<asio::ip::address, size_t> held;
    for (const auto& [id, connection] : sessions_) ++held[connection.peer];
    if (held[peer] >= share) return false;
    const auto greediest = std::max_element(
        held.begin(), held.end(), [](const auto& a, const auto& b) { return a.second < b.second; });
    if (greediest->second <= share) return false;
    for (auto it = sessions_.rbegin(); it != sessions_.rend(); ++it) {
        if (it->second.peer != greediest->first) continue;
        std::shared_ptr<Session> newest = it->second.session.lock();
        if (!newest) break;
        newest->Close("to make room for " + who + ": " + greediest->first.to_string() + " held " +
                      std::to_string(greediest->second) + " of the " +
                      std::to_string(options_.max_clients) +
                      " connections (--max-clients), and one peer keeps at most " +
                      std::to_string(share) + " while another wants one");
        return true;
    }
    return false;
}

void Server::Impl::ScheduleSearch() {
    search_timer_.expires_after(options_.search_interval);
    search_timer_.async_wait([this](asio::error_code error) {
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

void Server::Impl::Shutdown() {
    if (stopping_) return;
    stopping_ = true;
    asio::error_code ignored;
    signals_.cancel(ignored);
    search_timer_.cancel();
    for (auto& listener : listeners_) listener->acceptor.close(ignored);
    calls_stopped_ = true;
    std::vector<std::shared_ptr<Session>> open;
    for (auto& [id, connection] : sessions_) {
        if (auto session = connection.session.lock()) open.push_back(session);
    }
    for (auto& session : open) session->Close("the server is stopping");
    waiting_next_.clear();
    waiting_current_.clear();
    // The answer of a library call under way is dropped with its connection;
    // the calls still queued are not made (calls_stopped_).
    if (pool_) pool_->stop();
    if (search_pool_) search_pool_->stop();
    io_.stop();
}

RunEnd Server::Impl::Run() {
    io_.run();
    // A library call under way can wait on a silent instrument for a second
    // or more: the process ends without it. With none under way, the pools'
    // threads are joined and the process ends as usual.
    if (calls_in_flight_.load() == 0) {
        std::promise<void> joined;
        std::future<void> done = joined.get_future();
        joiner_ = std::thread([this, joined = std::move(joined)]() mutable {
            StopLibraryCalls();
            joined.set_value();
        });
        if (done.wait_for(kMostStopWait) == std::future_status::ready) return RunEnd::kClean;
    }
    const int in_flight = calls_in_flight_.load();
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
