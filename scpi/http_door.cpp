#include "http_door.h"

#include <boost/asio/ip/host_name.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>
#include <chrono>
#include <deque>
#include <functional>
#include <limits>
#include <optional>
#include <random>
#include <vector>

#include "net_util.h"
#include "server.h"
#include "velmar/dds.h"
#include "web_api.h"
#include "web_files.h"

namespace velmar::scpi {

namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;

namespace {

// A request, header and body, must arrive within this; an idle keep-alive
// connection is closed after it too. A shorter --idle-timeout shortens it.
constexpr auto kHttpTimeout = std::chrono::seconds(30);
// A page that sends nothing, not even the answers to the server's pings,
// for this long (or a shorter --idle-timeout) is gone.
constexpr auto kPageIdleTimeout = std::chrono::seconds(60);
// How often the state and readings of an instrument are pushed to its open
// pages.
constexpr auto kLiveInterval = std::chrono::milliseconds(250);
// After a refusal, how long and how much of the rest of a request is read
// and dropped so that the client sees the answer.
constexpr auto kLingerTime = std::chrono::seconds(2);
constexpr size_t kMostLingerBytes = 4 * 1024 * 1024;
// SCPI's "Too much data": a page's reply past its bound.

// What an open page sees of its instrument, read with a message each: an
// instrument that lacks one of them answers the others all the same. None
// changes the instrument: the meter is read in the mode it is in (READ?),
// never switched.
const char* const kLiveQueries[] = {
    "*IDN?",         "FUNC?",    "FREQ?",      "VOLT?",     "VOLT:UNIT?",
    "VOLT:OFFS?",    "OUTP?",    "DIV?",       "SRAT?",     "DATA:DAC:POIN?",
    "DATA:DAC:PER?", "SING?",    "TRIG?",      "TRIG:OPT?", "DIG:MODE?",
    "DIG:OUTP?",     "DIG:INP?", "SENS:FUNC?", "READ?",
};

std::string RandomToken() {
    std::random_device random;
    std::string token;
    const char* const digits = "0123456789abcdef";
    for (int i = 0; i < 32; ++i) token.push_back(digits[random() % 16]);
    return token;
}

}  // namespace

class HttpDoor::Impl : public std::enable_shared_from_this<HttpDoor::Impl> {
  public:
    class HttpSession;
    class PanelSocket;
    class LivePoll;

    // A connection of this door, as the door closes them all at a stop.
    class Connection {
      public:
        virtual ~Connection() = default;
        virtual void Close(const std::string& reason) = 0;
    };

    Impl(CommandLayer& layer, const ServerOptions& options,
         std::map<int, PanelInstrument> instruments)
        : layer_(layer),
          options_(options),
          instruments_(std::move(instruments)),
          token_(RandomToken()) {
        boost::system::error_code error;
        const std::string host = asio::ip::host_name(error);
        if (!error && !host.empty()) names_.push_back(host);
        for (const std::string& address : options_.listen) names_.push_back(address);
    }

    bool Listen(std::string* error);
    void Stop();

    void Log(const std::string& line) { layer_.Log(line); }
    CommandLayer& layer() { return layer_; }
    bool read_only() const { return options_.http_read_only; }
    const std::string& token() const { return token_; }
    const std::vector<std::string>& names() const { return names_; }
    const std::map<int, PanelInstrument>& instruments() const { return instruments_; }
    uint16_t http_port() const { return http_port_; }
    const ServerOptions& options() const { return options_; }
    // --idle-timeout shortens the door's own limits, never lengthens them.
    std::chrono::seconds Limit(std::chrono::seconds own) const {
        const std::chrono::seconds idle = options_.idle_timeout;
        return idle.count() != 0 && idle < own ? idle : own;
    }

    uint64_t Register(std::weak_ptr<Connection> connection, const asio::ip::address& peer) {
        connections_[next_id_] = {std::move(connection), peer};
        return next_id_++;
    }
    void Forget(uint64_t id) { connections_.erase(id); }
    bool stopping() const { return stopping_; }

    // The live poll of an instrument, made while a page of it is open.
    std::shared_ptr<LivePoll> PollOf(int index);

    // The instruments as the index and the LXI identification show them,
    // their sockets at `host` as the client reached this server.
    std::vector<PanelFacts> Facts(const std::string& host) const;

  private:
    struct Held {
        std::weak_ptr<Connection> connection;
        asio::ip::address peer;
    };

    void Take(tcp::socket socket, const Peer& peer);
    void RefuseBusy(tcp::socket socket, const std::string& why);

    CommandLayer& layer_;
    const ServerOptions& options_;
    const std::map<int, PanelInstrument> instruments_;
    const std::string token_;
    std::vector<std::string> names_;
    std::vector<std::unique_ptr<tcp::acceptor>> acceptors_;
    std::map<uint64_t, Held> connections_;
    size_t refusing_ = 0;  // 503 answers under way
    std::map<int, std::weak_ptr<LivePoll>> polls_;
    uint64_t next_id_ = 0;
    uint16_t http_port_ = 0;
    bool stopping_ = false;
};

// ---- The live poll -----------------------------------------------------

// Reads what an open page shows of an instrument, kLiveQueries one message
// each through a runner of its own, and pushes it to every open page of the
// instrument, every kLiveInterval while one is open. Its errors are its own:
// no page's error queue sees them. An instrument that does not answer ends
// a round at once, with the library's words.
class HttpDoor::Impl::LivePoll : public std::enable_shared_from_this<LivePoll> {
  public:
    using Push = std::function<void(const std::string& json)>;

    LivePoll(std::shared_ptr<Impl> door, int index)
        : door_(std::move(door)), index_(index), timer_(door_->layer().io()) {}

    void Start() {
        Door door;
        door.where = "instrument " + std::to_string(index_) + ": front panel's live readings";
        door.owner = weak_from_this();
        door.write = [weak = weak_from_this()](const std::string& piece) {
            if (auto self = weak.lock(); self && piece != "\n") self->answer_ += piece;
        };
        door.resumed = [weak = weak_from_this()] {
            if (auto self = weak.lock()) self->Continue();
        };
        // Reading only: it never changes what a page or a client set. Its
        // queries are not logged with --verbose, only an instrument's failures.
        door.read_only = true;
        door.quiet = true;
        runner_ = std::make_shared<CommandRunner>(
            door_->layer(), *door_->instruments().at(index_).served, std::move(door));
    }

    // Each open page is called with every round's readings; the last round
    // is pushed to a page that joins, and the rounds start again when they
    // had ended.
    void Subscribe(uint64_t id, Push push) {
        pages_[id] = std::move(push);
        if (!last_.empty()) pages_[id](last_);
        if (!running_) Round();
    }
    void Unsubscribe(uint64_t id) {
        pages_.erase(id);
        if (pages_.empty()) timer_.cancel();
    }

  private:
    void Round() {
        // Nobody looks: the rounds end with the pages, and start again with
        // the next one.
        running_ = !pages_.empty() && !door_->stopping();
        if (!running_) return;
        next_ = 0;
        round_ = LiveRound{};
        runner_->Begin("*CLS");  // its queue holds nothing of the last round
        Continue();
    }

    void Continue() {
        if (door_->stopping()) return;
        while (true) {
            while (runner_->in_message()) {
                if (!runner_->Step()) return;  // with the instrument: resumed() comes back
            }
            if (next_ > 0) {
                round_.answers.emplace_back(kLiveQueries[next_ - 1], answer_);
                if (!runner_->failure_words().empty()) {
                    round_.words = runner_->failure_words();
                    break;  // it does not answer: a round waits no longer on it
                }
            }
            if (next_ == std::size(kLiveQueries)) break;
            answer_.clear();
            runner_->Begin(kLiveQueries[next_++]);
        }
        last_ = LiveJson(round_);
        for (auto& [id, push] : std::map<uint64_t, Push>(pages_)) push(last_);
        // Cancelled when the last page goes: the round after it then finds
        // none, or a page that came meanwhile.
        timer_.expires_after(kLiveInterval);
        timer_.async_wait([weak = weak_from_this()](boost::system::error_code) {
            if (auto self = weak.lock()) self->Round();
        });
    }

    std::shared_ptr<Impl> door_;
    const int index_;
    asio::steady_timer timer_;
    std::shared_ptr<CommandRunner> runner_;
    std::map<uint64_t, Push> pages_;
    size_t next_ = 0;
    std::string answer_;
    LiveRound round_;
    std::string last_;
    bool running_ = false;  // a round is under way, or its timer is set
};

std::shared_ptr<HttpDoor::Impl::LivePoll> HttpDoor::Impl::PollOf(int index) {
    if (auto poll = polls_[index].lock()) return poll;
    auto poll = std::make_shared<LivePoll>(shared_from_this(), index);
    polls_[index] = poll;
    poll->Start();
    return poll;
}

// ---- A page's WebSocket ------------------------------------------------

// One open instrument page. Each text frame it sends is `<id> <SCPI
// message>`; the server runs the message through the command layer, with
// this page's own ConnectionState, and answers
// {"type":"reply","id":<id>,"answer":<line or null>,"errors":[...],
// "words":<failure>}: "errors" is the page's error queue as SYST:ERR? reads
// it, taken right after the message, so that each reply carries the errors
// its message queued. It reads the next frame once the reply is sent, so a
// page holds at most one message and one reply; the live readings wait for
// the reply and only the newest is kept. A reply is bounded as a socket's
// answers are: past kMostAnswerBytes the rest of the frame is not run.
class HttpDoor::Impl::PanelSocket : public Connection,
                                    public std::enable_shared_from_this<PanelSocket> {
  public:
    PanelSocket(std::shared_ptr<Impl> door, tcp::socket socket, int index, Peer peer)
        : door_(std::move(door)),
          ws_(std::move(socket)),
          index_(index),
          peer_(std::move(peer.text)),
          address_(peer.address),
          write_timer_(door_->layer().io()) {}

    void Start(http::request<http::string_body> request) {
        id_ = door_->Register(weak_from_this(), address_);
        request_ = std::move(request);
        ws_.set_option(websocket::stream_base::timeout{door_->Limit(kHttpTimeout),
                                                       door_->Limit(kPageIdleTimeout), true});
        ws_.read_message_max(kMaxMessageBytes + 16);
        ws_.async_accept(request_, [self = shared_from_this()](boost::system::error_code error) {
            if (error) return self->Close("WebSocket handshake: " + error.message());
            self->Accepted();
        });
    }

    void Close(const std::string& reason) override {
        if (closed_) return;
        closed_ = true;
        door_->Log(Where() + " closed: " + reason);
        if (poll_) poll_->Unsubscribe(id_);
        write_timer_.cancel();
        boost::system::error_code ignored;
        beast::get_lowest_layer(ws_).socket().close(ignored);
        door_->Forget(id_);
    }

  private:
    std::string Where() const {
        return "instrument " + std::to_string(index_) + ": front panel " + peer_;
    }

    void Accepted() {
        door_->Log(Where() + " opened");
        const PanelInstrument& instrument = door_->instruments().at(index_);
        Door door;
        door.where = Where();
        door.owner = weak_from_this();
        door.write = [weak = weak_from_this()](const std::string& piece) {
            if (auto self = weak.lock()) self->answer_ += piece;
        };
        door.resumed = [weak = weak_from_this()] {
            if (auto self = weak.lock()) self->Run();
        };
        door.read_only = door_->read_only();
        commands_ =
            std::make_shared<CommandRunner>(door_->layer(), *instrument.served, std::move(door));
        Queue("{\"type\":\"hello\",\"index\":" + std::to_string(index_) +
              ",\"read_only\":" + (door_->read_only() ? "true" : "false") + "}");
        poll_ = door_->PollOf(index_);
        poll_->Subscribe(id_, [weak = weak_from_this()](const std::string& json) {
            if (auto self = weak.lock()) self->PushLive(json);
        });
        Read();
    }

    void Read() {
        if (closed_) return;
        ws_.async_read(input_,
                       [self = shared_from_this()](boost::system::error_code error, size_t) {
                           if (self->closed_) return;
                           if (error == websocket::error::closed)
                               return self->Close("the page closed");
                           if (error) return self->Close("cannot read: " + error.message());
                           self->Take(beast::buffers_to_string(self->input_.data()));
                           self->input_.consume(self->input_.size());
                       });
    }

    // `<id> <messages>`: the id comes back with the answers. The frame is
    // framed as a socket's bytes are, newlines and blocks alike, and ends
    // its last message.
    void Take(const std::string& frame) {
        const size_t space = frame.find(' ');
        request_id_ = frame.substr(0, space);
        bool digits = !request_id_.empty() && request_id_.size() <= 15;
        for (char c : request_id_) digits = digits && c >= '0' && c <= '9';
        if (!digits || space == std::string::npos) {
            return Close("sent a frame that is not <id> <SCPI message>");
        }
        MessageFramer framer;
        for (size_t at = space + 1; at < frame.size();) {
            std::optional<FramedMessage> message;
            at += framer.Feed(frame.data() + at, frame.size() - at, &message);
            if (message) Frame(std::move(*message));
        }
        if (std::optional<FramedMessage> last = framer.Finish()) Frame(std::move(*last));
        answer_.clear();
        Run();
    }

    void Frame(FramedMessage message) {
        switch (message.kind) {
            case FramedMessage::Kind::kMessage:
                messages_.push_back(std::move(message.text));
                return;
            case FramedMessage::Kind::kOverrun:
                commands_->state().status.Fail(kInputBufferOverrun);
                return;
            case FramedMessage::Kind::kBlockTooLong:
                commands_->state().status.Fail(kInvalidBlockData);
                return;
        }
    }

    // Runs the frame's messages; their answer lines make the reply.
    void Run() {
        if (closed_) return;
        size_t budget = kStepsPerTurn;
        std::string words;
        while (commands_->in_message() || !messages_.empty()) {
            if (answer_.size() > kMostAnswerBytes) {
                words = DropTheRest();
                break;
            }
            if (budget-- == 0) {
                asio::post(door_->layer().io(), [self = shared_from_this()] { self->Run(); });
                return;
            }
            if (!commands_->in_message()) {
                commands_->Begin(std::move(messages_.front()));
                messages_.pop_front();
            }
            if (!commands_->Step()) return;  // with the instrument: resumed() comes back
        }
        if (words.empty()) words = commands_->failure_words();
        if (!answer_.empty() && answer_.back() == '\n') answer_.pop_back();
        // The errors the frame queued, taken at once on the io thread: no
        // other message of the page runs between the reply and them.
        std::string errors;
        Status& status = commands_->state().status;
        while (status.error_count() > 0) {
            errors += (errors.empty() ? "" : ",") + JsonString(status.NextError());
        }
        Queue("{\"type\":\"reply\",\"id\":" + request_id_ +
                  ",\"answer\":" + (answer_.empty() ? std::string("null") : JsonString(answer_)) +
                  ",\"errors\":[" + errors + "],\"words\":" + JsonString(words) + "}",
              true);
        answer_.clear();
    }

    // The reply has passed its bound: the rest of the message under way
    // (replaced by an empty one, which ends it) and the frame's other
    // messages are not run, and -223 says why. The words for the reply.
    std::string DropTheRest() {
        const std::string failure = commands_->failure_words();
        messages_.clear();
        commands_->Abandon();
        const std::string why = "the reply passed " + std::to_string(kMostAnswerBytes) +
                                " bytes: the rest of the message was not run";
        commands_->state().status.Fail(kTooMuchData, why);
        door_->Log(Where() + ": " + why + " (-223 Too much data)");
        return (failure.empty() ? "" : failure + "; ") + "Too much data: " + why + ".";
    }

    void PushLive(const std::string& json) {
        live_ = json;
        Write();
    }

    // `then_read`: the reply of the page's message; its next frame is read
    // once the reply is sent.
    void Queue(std::string json, bool then_read = false) {
        queue_.push_back({std::move(json), then_read});
        Write();
    }

    void Write() {
        if (writing_ || closed_) return;
        if (queue_.empty() && !live_) return;
        writing_ = true;
        bool then_read = false;
        if (!queue_.empty()) {
            sending_ = std::move(queue_.front().first);
            then_read = queue_.front().second;
            queue_.pop_front();
        } else {
            sending_ = std::move(*live_);
            live_.reset();
        }
        // A page that does not take what it is sent holds its connection
        // only this long.
        write_timer_.expires_after(door_->options().write_timeout.count() != 0
                                       ? door_->options().write_timeout
                                       : std::chrono::seconds(366L * 24 * 3600));
        write_timer_.async_wait([weak = weak_from_this()](boost::system::error_code error) {
            auto self = weak.lock();
            if (!self || error) return;
            self->Close("did not take its updates within " +
                        Seconds(self->door_->options().write_timeout) + " (--write-timeout)");
        });
        ws_.text(true);
        ws_.async_write(asio::buffer(sending_), [self = shared_from_this(), then_read](
                                                    boost::system::error_code error, size_t) {
            self->writing_ = false;
            self->write_timer_.cancel();
            if (self->closed_) return;
            if (error) return self->Close("cannot send: " + error.message());
            if (then_read) self->Read();
            self->Write();
        });
    }

    std::shared_ptr<Impl> door_;
    websocket::stream<beast::tcp_stream> ws_;
    const int index_;
    const std::string peer_;
    const asio::ip::address address_;
    asio::steady_timer write_timer_;
    http::request<http::string_body> request_;
    uint64_t id_ = 0;
    std::shared_ptr<CommandRunner> commands_;
    std::shared_ptr<LivePoll> poll_;
    beast::flat_buffer input_;
    std::string request_id_;
    std::deque<std::string> messages_;  // of the frame, still to run
    std::string answer_;
    std::deque<std::pair<std::string, bool>> queue_;
    std::optional<std::string> live_;
    std::string sending_;
    bool writing_ = false;
    bool closed_ = false;
};

// ---- HTTP requests -----------------------------------------------------

// One HTTP connection: reads a request at a time within kHttpTimeout, each
// header at most kMostHttpHeaderBytes and each upload at most
// kMostUploadBytes, and answers it; a WebSocket upgrade hands the socket to
// a PanelSocket.
class HttpDoor::Impl::HttpSession : public Connection,
                                    public std::enable_shared_from_this<HttpSession> {
  public:
    HttpSession(std::shared_ptr<Impl> door, tcp::socket socket, Peer peer)
        : door_(std::move(door)), stream_(std::move(socket)), peer_(std::move(peer)) {
        boost::system::error_code error;
        local_ = PeerAddress(stream_.socket().local_endpoint(error).address()).to_string();
    }

    void Start() {
        id_ = door_->Register(weak_from_this(), peer_.address);
        Read();
    }

    void Close(const std::string& reason) override {
        if (closed_) return;
        closed_ = true;
        if (!reason.empty()) door_->Log("front panel " + peer_.text + " closed: " + reason);
        boost::system::error_code ignored;
        stream_.socket().shutdown(tcp::socket::shutdown_both, ignored);
        stream_.close();
        door_->Forget(id_);
    }

  private:
    using Response = http::response<http::string_body>;

    void Read() {
        parser_.emplace();
        parser_->header_limit(kMostHttpHeaderBytes);
        // The declared length is checked against the bound once the header
        // is read, so that the refusal can name it; the body is bounded then.
        parser_->body_limit(std::numeric_limits<std::uint64_t>::max());
        stream_.expires_after(door_->Limit(kHttpTimeout));
        http::async_read_header(stream_, buffer_, *parser_,
                                [self = shared_from_this()](boost::system::error_code error,
                                                            size_t) { self->Header(error); });
    }

    void Header(boost::system::error_code error) {
        if (closed_) return;
        if (error == http::error::end_of_stream || error == asio::error::connection_reset) {
            return Close("");  // the browser let a kept connection go
        }
        if (error == beast::error::timeout) {
            return Close("no whole request within " + Seconds(door_->Limit(kHttpTimeout)));
        }
        if (error == http::error::header_limit || error == http::error::buffer_overflow) {
            return Refuse(http::status::request_header_fields_too_large,
                          "The request's header is over the " +
                              std::to_string(kMostHttpHeaderBytes) + "-byte bound.");
        }
        if (error)
            return Refuse(http::status::bad_request, "Bad request: " + error.message() + ".");
        const auto& request = parser_->get();
        const std::string host(request[http::field::host]);
        if (!HostIsOurs(host, door_->names(), local_)) {
            // A page of another site whose name was pointed at this machine
            // (DNS rebinding) must not read or drive the instruments.
            return Refuse(
                http::status::forbidden,
                "The Host '" + host +
                    "' is not a name of this server. Open it by its address or its "
                    "host name, e.g. http://" +
                    (local_.find(':') == std::string::npos ? local_ : "[" + local_ + "]") + ":" +
                    std::to_string(door_->http_port()) + "/.");
        }
        if (const auto length = parser_->content_length(); length && *length > kMostUploadBytes) {
            return Refuse(http::status::payload_too_large, TooLarge(*length));
        }
        if (parser_->is_done()) return Handle();
        parser_->body_limit(kMostUploadBytes);
        http::async_read(stream_, buffer_, *parser_,
                         [self = shared_from_this()](boost::system::error_code error, size_t) {
                             if (self->closed_) return;
                             if (error == http::error::body_limit) {
                                 return self->Refuse(http::status::payload_too_large,
                                                     self->TooLarge(0));
                             }
                             if (error == beast::error::timeout) {
                                 return self->Close("no whole upload within " +
                                                    Seconds(self->door_->Limit(kHttpTimeout)));
                             }
                             if (error) {
                                 return self->Refuse(http::status::bad_request,
                                                     "Bad request: " + error.message() + ".");
                             }
                             self->Handle();
                         });
    }

    static std::string TooLarge(uint64_t length) {
        return (length != 0 ? "The file is " + std::to_string(length) + " bytes; the"
                            : std::string("The file is larger than the server takes; the")) +
               " server takes uploads of at most " + std::to_string(kMostUploadBytes / 1024) +
               " KiB (" + std::to_string(kMostUploadBytes) +
               " bytes), far more than a wave of 4096 values needs.";
    }

    // Whether a request may change something: from a page of this server
    // (its Origin) that knows this run's token.
    std::string RefusedChange(const http::request<http::string_body>& request,
                              std::string_view token) const {
        if (!OriginIsOurs(request[http::field::origin], request[http::field::host])) {
            return "Refused: the request does not come from a page of this server (its Origin is "
                   "'" +
                   std::string(request[http::field::origin]) + "').";
        }
        if (token != door_->token()) {
            return "Refused: the page's session token is missing or out of date (the server has "
                   "restarted?): reload the page.";
        }
        return "";
    }

    void Handle() {
        auto request = parser_->release();
        const std::string target(request.target());
        const std::string path = target.substr(0, target.find('?'));
        const std::string query =
            target.find('?') == std::string::npos ? "" : target.substr(target.find('?') + 1);
        const std::string host(request[http::field::host]);

        if (websocket::is_upgrade(request)) {
            const std::optional<int> index = IndexAfter(path, "/ws/instrument/");
            if (!index || door_->instruments().count(*index) == 0) {
                return Refuse(http::status::not_found, "No such instrument.");
            }
            const std::string token = query.rfind("token=", 0) == 0 ? query.substr(6) : "";
            if (std::string why = RefusedChange(request, token); !why.empty()) {
                return Refuse(http::status::forbidden, why);
            }
            Forget();
            auto socket =
                std::make_shared<PanelSocket>(door_, stream_.release_socket(), *index, peer_);
            socket->Start(std::move(request));
            return;
        }

        const bool get =
            request.method() == http::verb::get || request.method() == http::verb::head;
        if (request.method() == http::verb::post) {
            const std::optional<int> index =
                IndexAfter(path.size() > 4 && path.substr(path.size() - 4) == "/csv"
                               ? std::string_view(path).substr(0, path.size() - 4)
                               : std::string_view(),
                           "/api/instrument/");
            if (!index || door_->instruments().count(*index) == 0) {
                return Reply(request, http::status::not_found, "text/plain; charset=utf-8",
                             "No such page: " + path);
            }
            if (std::string why = RefusedChange(request, request["X-Velmar-Token"]); !why.empty()) {
                return Reply(request, http::status::forbidden, "text/plain; charset=utf-8", why);
            }
            if (door_->read_only()) {
                return Reply(request, http::status::forbidden, "text/plain; charset=utf-8",
                             "The server is read-only (--http-read-only): it loads nothing.");
            }
            // ?raw=1&clip=1: the tool's --raw and --clip.
            const auto flag = [&query](const std::string& name) {
                const std::string pair = name + "=1";
                const size_t at = query.find(pair);
                return at != std::string::npos && (at == 0 || query[at - 1] == '&') &&
                       (at + pair.size() == query.size() || query[at + pair.size()] == '&');
            };
            std::string json, error;
            if (!CsvPreview(request.body(), flag("raw"), flag("clip"), &json, &error)) {
                return Reply(request, http::status::unprocessable_entity,
                             "text/plain; charset=utf-8", error);
            }
            return Reply(request, http::status::ok, "application/json", json);
        }
        if (!get) {
            return Reply(request, http::status::method_not_allowed, "text/plain; charset=utf-8",
                         "The front panel takes GET, and POST for an upload.");
        }
        if (path == "/" || path == "/index.html") return File(request, "index.html");
        if (path == "/favicon.ico") {
            return Reply(request, http::status::no_content, "text/plain; charset=utf-8", "");
        }
        if (const std::optional<int> index = IndexAfter(path, "/instrument/")) {
            if (door_->instruments().count(*index) == 0) {
                return Reply(request, http::status::not_found, "text/plain; charset=utf-8",
                             "This server serves no instrument " + std::to_string(*index) + ".");
            }
            return File(request, "instrument.html");
        }
        if (path == "/api/session") {
            return Reply(
                request, http::status::ok, "application/json",
                "{\"token\":" + JsonString(door_->token()) +
                    ",\"read_only\":" + (door_->read_only() ? "true" : "false") +
                    ",\"most_upload_bytes\":" + std::to_string(kMostUploadBytes) +
                    ",\"full_scale_vpp\":" + FormatNumber(door_->options().full_scale_vpp) +
                    ",\"volts_at_codes\":" + VoltsAtCodes(door_->options().full_scale_vpp) + "}");
        }
        if (path == "/api/instruments") {
            return Reply(request, http::status::ok, "application/json",
                         InstrumentsJson(door_->Facts(HostPart(host)), door_->read_only()));
        }
        if (path == "/lxi/identification") {
            LxiFacts facts;
            facts.instruments = door_->Facts(HostPart(host));
            facts.version = velmar_dds_version(nullptr, nullptr, nullptr);
            facts.host = HostPart(host);
            facts.http_port = door_->http_port();
            facts.ip_address = local_;
            return Reply(request, http::status::ok, "text/xml; charset=utf-8",
                         LxiIdentification(facts));
        }
        for (const WebFile& file : WebFiles()) {
            if (path == std::string("/") + file.name && path.find(".html") == std::string::npos) {
                return File(request, file.name);
            }
        }
        Reply(request, http::status::not_found, "text/plain; charset=utf-8",
              "No such page: " + path);
    }

    void File(const http::request<http::string_body>& request, const std::string& name) {
        for (const WebFile& file : WebFiles()) {
            if (name == file.name) {
                return Reply(request, http::status::ok, ContentTypeFor(name),
                             std::string(file.data, file.size));
            }
        }
        Reply(request, http::status::not_found, "text/plain; charset=utf-8", "No such page.");
    }

    // The answer to a request that was read whole: the connection is kept
    // when the client asks.
    void Reply(const http::request<http::string_body>& request, http::status status,
               const std::string& type, std::string body) {
        Send(status, type, std::move(body), request.version(), request.keep_alive(),
             request.method() == http::verb::head);
    }

    // The answer to a request that is refused before it was read whole: the
    // connection closes after it, since the rest cannot be told from a next
    // request.
    void Refuse(http::status status, const std::string& why) {
        door_->Log("front panel " + peer_.text +
                   " refused: " + std::to_string(static_cast<int>(status)) + " " + why);
        Send(status, "text/plain; charset=utf-8", why + "\n", 11, false, false);
    }

    void Send(http::status status, const std::string& type, std::string body, unsigned version,
              bool keep_alive, bool head) {
        auto response = std::make_shared<Response>(status, version);
        response->set(http::field::server, "velmar-dds-scpi");
        response->set(http::field::content_type, type);
        response->set(http::field::cache_control, "no-store");
        response->set("X-Content-Type-Options", "nosniff");
        // No other site may frame the panel (clickjacking) or be loaded by it.
        response->set("X-Frame-Options", "DENY");
        response->set("Content-Security-Policy",
                      "default-src 'self'; connect-src 'self'; frame-ancestors 'none'");
        response->keep_alive(keep_alive);
        response->body() = std::move(body);
        response->prepare_payload();
        if (head) response->body().clear();
        stream_.expires_after(door_->Limit(kHttpTimeout));
        http::async_write(stream_, *response,
                          [self = shared_from_this(), response, keep_alive](
                              boost::system::error_code error, size_t) {
                              if (self->closed_) return;
                              if (error) return self->Close("cannot send: " + error.message());
                              if (!keep_alive) return self->Linger();
                              self->Read();
                          });
    }

    // Closes once the client has seen the answer: a close with its request
    // still unread would reset the connection, and the client would lose
    // the answer (the words of a refused upload). What it still sends is
    // read and dropped, for a moment and up to a bound.
    void Linger() {
        boost::system::error_code ignored;
        stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
        stream_.expires_after(kLingerTime);
        drain_.resize(16 * 1024);
        stream_.async_read_some(
            asio::buffer(drain_),
            [self = shared_from_this()](boost::system::error_code error, size_t n) {
                self->drained_ += n;
                if (error || self->drained_ > kMostLingerBytes) return self->Close("");
                self->Linger();
            });
    }

    // The socket goes to a PanelSocket, which registers itself.
    void Forget() {
        closed_ = true;
        door_->Forget(id_);
    }

    std::shared_ptr<Impl> door_;
    beast::tcp_stream stream_;
    const Peer peer_;
    std::string local_;  // the address the client connected to
    beast::flat_buffer buffer_{kMostHttpHeaderBytes + 4096};
    std::optional<http::request_parser<http::string_body>> parser_;
    uint64_t id_ = 0;
    bool closed_ = false;
    std::string drain_;
    size_t drained_ = 0;
};

// ---- The door ------------------------------------------------------------

std::vector<PanelFacts> HttpDoor::Impl::Facts(const std::string& host) const {
    std::vector<PanelFacts> facts;
    for (const auto& [index, instrument] : instruments_) {
        PanelFacts f;
        f.index = index;
        f.name = instrument.served->Serial();
        f.address = SocketAddress(host.find(':') == std::string::npos ? host : "[" + host + "]",
                                  instrument.scpi_port);
        f.present = instrument.served->present;
        const std::optional<std::string>& failure = instrument.served->last_failure;
        f.answering = f.present && (!failure || failure->empty());
        f.failure = failure.value_or("");
        facts.push_back(f);
    }
    return facts;
}

bool HttpDoor::Impl::Listen(std::string* error) {
    // Every address on one port: the first's, when it was any free port.
    const auto log = [this](const std::string& line) { Log(line); };
    for (const std::string& address : options_.listen) {
        const bool listening = ListenOnEach(
            layer_.io(), {address}, http_port_ != 0 ? http_port_ : options_.http_port,
            "front panel: ", log,
            [this](tcp::acceptor acceptor) {
                http_port_ = acceptor.local_endpoint().port();
                Log(std::string("front panel") + (options_.http_read_only ? " (read-only)" : "") +
                    " on http://" + EndpointText(acceptor.local_endpoint()) + "/");
                acceptors_.push_back(std::make_unique<tcp::acceptor>(std::move(acceptor)));
            },
            error);
        if (!listening) return false;
    }
    for (auto& acceptor : acceptors_) {
        AcceptEach(
            *acceptor, options_.allow, "front panel ", log,
            [weak = weak_from_this()] {
                auto self = weak.lock();
                return !self || self->stopping_;
            },
            [weak = weak_from_this()](tcp::socket socket, const Peer& peer) {
                if (auto self = weak.lock()) self->Take(std::move(socket), peer);
            });
    }
    return true;
}

void HttpDoor::Impl::Take(tcp::socket socket, const Peer& peer) {
    if (connections_.size() >= kMostWebClients &&
        !MakeRoom(connections_, peer, kMostWebClients, "")) {
        const std::string why = "already " + std::to_string(connections_.size()) +
                                " HTTP and WebSocket connections, of which one peer may hold " +
                                "more than half only while nobody else wants one";
        Log("front panel " + peer.text + " refused: " + why);
        return RefuseBusy(std::move(socket), "The front panel is busy: " + why + ". Try again.");
    }
    std::make_shared<HttpSession>(shared_from_this(), std::move(socket), peer)->Start();
}

// The socket door's rule: the newest connection of a peer over its share
// makes room for another peer.
// 503 with the reason, where it can be said: a few refusals at a time, each
// closed once it is sent (or after kLingerTime); beyond those, a refused
// connection is closed at once.
void HttpDoor::Impl::RefuseBusy(tcp::socket socket, const std::string& why) {
    if (refusing_ >= kMostWebClients) {
        boost::system::error_code ignored;
        socket.close(ignored);
        return;
    }
    ++refusing_;
    struct Refusal {
        explicit Refusal(tcp::socket s) : stream(std::move(s)) {}
        beast::tcp_stream stream;
        http::response<http::string_body> response{http::status::service_unavailable, 11};
    };
    auto refusal = std::make_shared<Refusal>(std::move(socket));
    refusal->response.set(http::field::content_type, "text/plain; charset=utf-8");
    refusal->response.set(http::field::retry_after, "5");
    refusal->response.keep_alive(false);
    refusal->response.body() = why + "\n";
    refusal->response.prepare_payload();
    refusal->stream.expires_after(kLingerTime);
    http::async_write(refusal->stream, refusal->response,
                      [self = shared_from_this(), refusal](boost::system::error_code, size_t) {
                          --self->refusing_;
                          boost::system::error_code ignored;
                          refusal->stream.socket().shutdown(tcp::socket::shutdown_send, ignored);
                          refusal->stream.close();
                      });
}

void HttpDoor::Impl::Stop() {
    if (stopping_) return;
    stopping_ = true;
    boost::system::error_code ignored;
    for (auto& acceptor : acceptors_) acceptor->close(ignored);
    std::vector<std::shared_ptr<Connection>> open;
    for (auto& [id, held] : connections_) {
        if (auto c = held.connection.lock()) open.push_back(c);
    }
    for (auto& connection : open) connection->Close("the server is stopping");
}

HttpDoor::HttpDoor(CommandLayer& layer, const ServerOptions& options,
                   std::map<int, PanelInstrument> instruments)
    : impl_(std::make_shared<Impl>(layer, options, std::move(instruments))) {}
HttpDoor::~HttpDoor() = default;
bool HttpDoor::Listen(std::string* error) {
    return impl_->Listen(error);
}
uint16_t HttpDoor::port() const {
    return impl_->http_port();
}
void HttpDoor::Stop() {
    impl_->Stop();
}

}  // namespace velmar::scpi
