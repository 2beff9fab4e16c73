#include "vxi11_door.h"

#include <array>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>
#include <chrono>
#include <deque>
#include <limits>
#include <optional>

#include "net_util.h"
#include "rpc_call.h"
#include "server.h"
#include "vxi11_codec.h"

namespace velmar::scpi {

using Clock = std::chrono::steady_clock;
using vxi11::Request;
using vxi11::Result;

namespace {

// A record holds one call: at most a device_write of the bound, its
// arguments, and the call's header with the largest credentials RPC allows.
constexpr size_t kMostRecordBytes = kVxi11MostWriteBytes + 2048;
// The longest a call waits, for a lock or an answer, whatever time limit it
// gives (up to 49 days); --idle-timeout shortens it.
constexpr std::chrono::seconds kLongestWait{600};
// create_link's device names: inst0, inst1, ...
constexpr const char* kDevicePrefix = "inst";

}  // namespace

class Vxi11Door::Impl : public std::enable_shared_from_this<Vxi11Door::Impl> {
  public:
    class Connection;
    struct Link;

    Impl(CommandLayer& layer, const ServerOptions& options,
         std::map<int, ServedInstrument*> instruments)
        : layer_(layer), options_(options), instruments_(std::move(instruments)) {}

    bool Listen(std::string* error);
    void Stop();
    uint16_t port() const { return port_; }

    CommandLayer& layer() { return layer_; }
    const ServerOptions& options() const { return options_; }
    bool stopping() const { return stopping_; }
    void Log(const std::string& line) { layer_.Log(line); }

    ServedInstrument* Instrument(int index) const {
        const auto it = instruments_.find(index);
        return it == instruments_.end() ? nullptr : it->second;
    }

    // The instrument create_link's device name names on a connection to
    // `local`: instN, or at an instrument's own address (--instrument-
    // address) inst0 alone, that instrument.
    std::optional<int> Device(const std::string& name, const asio::ip::address& local) const {
        const std::optional<int> index = IndexAfter(name, kDevicePrefix);
        for (const auto& [own, address] : options_.own_addresses) {
            if (address == local) return index == 0 ? std::optional<int>(own) : std::nullopt;
        }
        return index;
    }

    // Links of every connection, by their id: the abort channel names a
    // link of another connection.
    std::shared_ptr<Link> FindLink(int32_t id) const {
        const auto it = links_.find(id);
        return it == links_.end() ? nullptr : it->second.lock();
    }
    int32_t AddLink(const std::shared_ptr<Link>& link);
    void ForgetLink(int32_t id) { links_.erase(id); }

    // The lock of each instrument: the id of the link that holds it.
    std::optional<int32_t> LockHolder(int index) const {
        const auto it = locks_.find(index);
        if (it == locks_.end()) return std::nullopt;
        return it->second;
    }
    void Lock(int index, int32_t link) { locks_[index] = link; }
    // Frees the lock if the link holds it, and lets the calls waiting for it
    // try again; false when the link did not hold it.
    bool Unlock(int index, int32_t link);
    // Something a waiting call may wait for has happened.
    void WakeAll();

    void Forget(uint64_t id) { connections_.erase(id); }
    // Whether another connection of the peer of connection `id` holds a
    // link: then one without links is that client's abort channel.
    bool PeerHoldsLinks(uint64_t id) const;

  private:
    struct Held {
        std::weak_ptr<Connection> connection;
        asio::ip::address peer;
    };

    void Accept(tcp::acceptor& acceptor);

    CommandLayer& layer_;
    const ServerOptions& options_;
    const std::map<int, ServedInstrument*> instruments_;
    std::vector<std::unique_ptr<tcp::acceptor>> acceptors_;
    std::map<uint64_t, Held> connections_;  // oldest first
    std::map<int32_t, std::weak_ptr<Link>> links_;
    std::map<int, int32_t> locks_;
    uint64_t next_connection_ = 0;
    int32_t next_link_ = 0;  // the last link's id
    uint16_t port_ = 0;
    bool stopping_ = false;
};

// One link: a client of one instrument in the command layer. device_write
// frames its bytes into messages, which run in order through the link's
// CommandRunner; their answer lines wait in `output` for device_read.
struct Vxi11Door::Impl::Link {
    Link(int index_, ServedInstrument& served_) : index(index_), served(served_) {}

    int32_t id = 0;
    const int index;
    ServedInstrument& served;
    std::weak_ptr<Connection> connection;
    std::shared_ptr<CommandRunner> runner;
    MessageFramer framer;
    // After a block declared past the message bound: the bytes up to the
    // next END are its data, not commands.
    bool discarding = false;
    std::deque<std::string> messages;  // framed, not run yet
    std::string output;                // answer lines not read yet
    // A device clear came while a unit was with the instrument: its answer
    // is dropped, and the rest of its message is not run.
    bool clearing = false;
    bool destroyed = false;

    // Nothing runs and nothing waits to run: a new message may come.
    bool idle() const { return !runner->busy() && !runner->in_message() && messages.empty(); }
    // An answer may still come without another write.
    bool answer_may_come() const {
        return runner->busy() || runner->in_message() || !messages.empty();
    }
};

// A TCP connection of the core (or abort) channel: takes one record, answers
// it, then takes the next, so that a connection holds one call and one reply
// at a time. A call that must wait is kept in `waiting_` and tried again
// whenever something it may wait for happens, until its deadline. Reading
// goes on meanwhile, up to a record's worth, so that a client that goes away
// is noticed while its call waits.
class Vxi11Door::Impl::Connection : public std::enable_shared_from_this<Connection> {
  public:
    Connection(std::shared_ptr<Impl> door, tcp::socket socket, uint64_t id, std::string peer)
        : door_(std::move(door)),
          socket_(std::move(socket)),
          id_(id),
          peer_(std::move(peer)),
          reader_(kMostRecordBytes),
          wait_timer_(door_->layer().io()),
          limit_timer_(door_->layer().io()) {}

    void Start() {
        door_->Log("VXI-11 " + peer_ + " connected");
        last_activity_ = Clock::now();
        ArmLimits();
        Pump();
    }

    void Close(const std::string& reason) {
        if (closed_) return;
        closed_ = true;
        door_->Log("VXI-11 " + peer_ + " closed: " + reason);
        boost::system::error_code ignored;
        wait_timer_.cancel();
        limit_timer_.cancel();
        socket_.shutdown(tcp::socket::shutdown_both, ignored);
        socket_.close(ignored);
        std::map<int32_t, std::shared_ptr<Link>> links;
        links.swap(links_);
        for (auto& [id, link] : links) Destroy(*link);
        door_->Forget(id_);
    }

    bool holds_links() const { return !links_.empty(); }

    // Something a waiting call may wait for has happened: it tries again.
    void Retry() {
        if (closed_ || !waiting_) return;
        Attempt();
    }

    // device_abort from the abort channel: the call this link waits in ends
    // with "abort".
    bool Abort(int32_t link) {
        if (closed_ || !waiting_ || waiting_->link != link) return false;
        Result result;
        result.error = vxi11::kAbort;
        Answer(result);
        return true;
    }

    // Runs the link's messages until one waits on the instrument, its
    // answers fill up, or none is left; then lets a waiting call try again.
    void Run(const std::shared_ptr<Link>& link) {
        size_t budget = kStepsPerTurn;
        while (!closed_ && !link->destroyed && !link->runner->busy()) {
            if (link->clearing) {
                link->runner->Abandon();
                link->clearing = false;
            }
            if (link->output.size() >= kMostAnswerBytes) break;  // a read resumes it
            if (budget-- == 0) {
                asio::post(door_->layer().io(),
                           [self = shared_from_this(), link] { self->Run(link); });
                break;
            }
            if (link->runner->in_message()) {
                link->runner->Step();
            } else if (!link->messages.empty()) {
                link->runner->Begin(std::move(link->messages.front()));
                link->messages.pop_front();
            } else {
                break;
            }
        }
        Retry();
    }

  private:
    std::string Where(const Link& link) const {
        return "instrument " + std::to_string(link.index) + ": VXI-11 " + peer_ + " link " +
               std::to_string(link.id);
    }

    // ---- Records in, replies out ----

    // Takes the records of what was read, one call at a time: the next is
    // taken once the reply to this one is on its way out.
    void Pump() {
        while (!closed_ && !waiting_ && !writing_ && !input_.empty()) {
            input_.erase(0, reader_.Feed(input_.data(), input_.size()));
            if (reader_.oversized()) {
                return Close("sent a record over " + std::to_string(kMostRecordBytes) +
                             " bytes (a device_write takes at most " +
                             std::to_string(kVxi11MostWriteBytes) + ")");
            }
            if (reader_.complete()) Handle(reader_.Take());
        }
        if (!closed_ && !waiting_ && !writing_ && input_ended_) {
            return Close(reader_.pending_bytes() > 0 ? "ended its input within a record"
                                                     : "the client ended its input");
        }
        Read();
    }

    // Reads while a record's worth is not taken yet; the end of the input
    // while a call waits closes the connection at once.
    void Read() {
        if (reading_ || closed_ || input_ended_ || input_.size() >= kMostRecordBytes) return;
        reading_ = true;
        socket_.async_read_some(
            asio::buffer(chunk_),
            [self = shared_from_this()](boost::system::error_code error, size_t n) {
                self->reading_ = false;
                if (self->closed_) return;
                self->input_.append(self->chunk_.data(), n);
                if (error) {
                    self->input_ended_ = true;
                    if (self->waiting_) return self->Close(EndedWhileWaiting(error));
                }
                self->Pump();
            });
    }

    static std::string EndedWhileWaiting(const boost::system::error_code& error) {
        return (error == asio::error::eof ? std::string("the client ended its input")
                                          : "cannot read: " + error.message()) +
               " while a call waited";
    }

    void Handle(const std::string& record) {
        last_activity_ = Clock::now();
        vxi11::Decoded decoded = vxi11::Decode(record);
        if (decoded.not_a_call) return Close("sent a record that is not an RPC call");
        if (!decoded.request) return Send(decoded.reply);
        waiting_ = std::move(decoded.request);
        started_ = Clock::now();
        ArmLimits();
        Attempt();
    }

    void Answer(const Result& result) {
        const Request request = std::move(*waiting_);
        waiting_.reset();
        wait_timer_.cancel();
        Send(vxi11::Answer(request, result));
        // The waiting call may have held up a link's messages (a write
        // waits until its link is idle).
        Pump();
    }

    void Send(const std::string& reply) {
        outbox_ = rpc::Mark(reply);
        writing_ = true;
        write_started_ = Clock::now();
        ArmLimits();
        asio::async_write(socket_, asio::buffer(outbox_),
                          [self = shared_from_this()](boost::system::error_code error, size_t) {
                              self->writing_ = false;
                              if (self->closed_) return;
                              if (error) return self->Close("cannot send: " + error.message());
                              self->outbox_.clear();
                              self->last_activity_ = Clock::now();
                              self->ArmLimits();
                              self->Pump();
                          });
    }

    // ---- The calls ----

    // When the waiting call's time is up: at its own limit, or at the
    // server's (kLongestWait, or --idle-timeout when shorter).
    Clock::time_point Deadline(uint32_t milliseconds) const {
        std::chrono::seconds longest = kLongestWait;
        const std::chrono::seconds idle = door_->options().idle_timeout;
        if (idle.count() != 0 && idle < longest) longest = idle;
        return started_ +
               std::min<Clock::duration>(std::chrono::milliseconds(milliseconds), longest);
    }

    // Answers the waiting call when it can be answered now; else waits for
    // the earliest of its deadlines.
    void Attempt() {
        Request& r = *waiting_;
        const auto now = Clock::now();
        Result result;
        if (r.program == vxi11::kAbortProgram) {
            result.error = AbortCall(r.link) ? vxi11::kNoError : vxi11::kInvalidLink;
            return Answer(result);
        }
        // No interrupt channel and no docmd: the standard allows a server
        // without them. Of these calls, those that name a link have it
        // checked first.
        switch (r.procedure) {
            case vxi11::kCreateLink:
                return CreateLink(r, now);
            case vxi11::kCreateIntrChan:
            case vxi11::kDestroyIntrChan:
                result.error = vxi11::kNotSupported;
                return Answer(result);
        }
        // A link is used through the connection that made it; only the
        // abort channel names another connection's.
        const auto found = links_.find(r.link);
        if (found == links_.end()) {
            result.error = vxi11::kInvalidLink;
            return Answer(result);
        }
        if (r.procedure == vxi11::kDeviceEnableSrq || r.procedure == vxi11::kDeviceDocmd) {
            result.error = vxi11::kNotSupported;
            return Answer(result);
        }
        const std::shared_ptr<Link> link = found->second;
        if (r.procedure == vxi11::kDestroyLink) {
            links_.erase(found);
            Destroy(*link);
            return Answer(result);
        }
        if (r.procedure == vxi11::kDeviceUnlock) {
            result.error =
                door_->Unlock(link->index, link->id) ? vxi11::kNoError : vxi11::kNoLockHeld;
            return Answer(result);
        }
        // Everything else waits while another link holds the instrument's
        // lock, if the call says so, for its lock time.
        const std::optional<int32_t> holder = door_->LockHolder(link->index);
        if (holder && *holder != link->id) {
            const auto deadline = Deadline(r.lock_timeout_ms);
            if ((r.flags & vxi11::kWaitLock) == 0 || now >= deadline) {
                result.error = vxi11::kDeviceLocked;
                return Answer(result);
            }
            return WaitUntil(deadline);
        }
        const auto io_deadline = Deadline(r.io_timeout_ms);
        switch (r.procedure) {
            case vxi11::kDeviceLock:
                door_->Lock(link->index, link->id);
                return Answer(result);
            case vxi11::kDeviceRemote:
            case vxi11::kDeviceLocal:
                return Answer(result);
            case vxi11::kDeviceReadStb:
                // MAV: an answer waits to be read.
                result.stb =
                    static_cast<uint8_t>(link->runner->state().status.Stb() |
                                         (link->output.empty() ? 0 : kStbMessageAvailable));
                return Answer(result);
            case vxi11::kDeviceClear:
                Clear(*link);
                return Answer(result);
            case vxi11::kDeviceWrite:
            case vxi11::kDeviceTrigger:
                if (r.data.size() > kVxi11MostWriteBytes) {
                    result.error = vxi11::kParameterError;
                    return Answer(result);
                }
                if (!link->idle()) {
                    if (now >= io_deadline) {
                        result.error = vxi11::kIoTimeout;
                        return Answer(result);
                    }
                    return WaitUntil(io_deadline);
                }
                if (r.procedure == vxi11::kDeviceTrigger) {
                    // As *TRG sent by itself: a message the writes left
                    // unfinished goes on after it.
                    DropUnreadAnswer(*link);
                    link->messages.push_back("*TRG");
                } else {
                    Take(link, r.data, r.flags);
                    result.size = static_cast<uint32_t>(r.data.size());
                }
                Answer(result);
                return Run(link);
            case vxi11::kDeviceRead:
                return ReadCall(r, link, now >= io_deadline, io_deadline);
        }
        result.error = vxi11::kNotSupported;
        Answer(result);
    }

    void CreateLink(const Request& r, Clock::time_point now) {
        Result result;
        boost::system::error_code ec;
        const std::optional<int> index =
            door_->Device(r.data, PeerAddress(socket_.local_endpoint(ec).address()));
        ServedInstrument* served = index ? door_->Instrument(*index) : nullptr;
        if (served == nullptr) {
            door_->Log("VXI-11 " + peer_ + ": no device '" + Printable(r.data, 40) + "'");
            result.error = vxi11::kDeviceNotAccessible;
            return Answer(result);
        }
        if (links_.size() >= kVxi11MostLinksPerConnection) {
            result.error = vxi11::kOutOfResources;
            return Answer(result);
        }
        if (r.lock_device && door_->LockHolder(*index)) {
            const auto deadline = Deadline(r.lock_timeout_ms);
            if (now >= deadline) {
                result.error = vxi11::kDeviceLocked;
                return Answer(result);
            }
            return WaitUntil(deadline);
        }
        auto link = std::make_shared<Link>(*index, *served);
        link->connection = weak_from_this();
        link->id = door_->AddLink(link);
        Door door;
        door.where = Where(*link);
        door.owner = link;
        door.write = [weak = std::weak_ptr<Link>(link)](const std::string& piece) {
            auto self = weak.lock();
            if (self && !self->clearing && !self->destroyed) self->output += piece;
        };
        door.resumed = [weak = std::weak_ptr<Link>(link)] {
            auto self = weak.lock();
            if (!self || self->destroyed) return;
            if (auto connection = self->connection.lock()) connection->Run(self);
        };
        door.output_waiting = [weak = std::weak_ptr<Link>(link)] {
            auto self = weak.lock();
            return self && !self->output.empty();
        };
        link->runner = std::make_shared<CommandRunner>(door_->layer(), *served, std::move(door));
        links_[link->id] = link;
        if (r.lock_device) door_->Lock(*index, link->id);
        door_->Log(Where(*link) + ": " + r.data + " opened");
        result.link = link->id;
        result.abort_port = door_->port();
        result.max_receive = kVxi11MostWriteBytes;
        Answer(result);
    }

    // The answer waiting in the link's output: up to the end of its line
    // (END), the request's size, or the termination character, whichever
    // comes first; the client reads the rest with the next reads.
    void ReadCall(const Request& r, const std::shared_ptr<Link>& link, bool timed_out,
                  Clock::time_point deadline) {
        Result result;
        const std::string& output = link->output;
        const size_t line_end = output.find('\n');
        const size_t available = line_end == std::string::npos ? output.size() : line_end + 1;
        size_t count = std::min<size_t>({available, r.request_size, kVxi11MostWriteBytes});
        if ((r.flags & vxi11::kTermCharSet) != 0) {
            const size_t term = output.find(r.term_char);
            if (term < count) {
                count = term + 1;
                result.reason |= vxi11::kReasonTermChar;
            }
        }
        if (line_end != std::string::npos && count == line_end + 1) {
            result.reason |= vxi11::kReasonEnd;
        }
        if (count == r.request_size) result.reason |= vxi11::kReasonRequestCount;
        // A line longer than a reply holds, or than the link keeps before its
        // commands wait for the client, goes out in parts.
        const bool part =
            count == kVxi11MostWriteBytes || (count > 0 && output.size() >= kMostAnswerBytes);
        if (result.reason != 0 || part) {
            result.data = output.substr(0, count);
            link->output.erase(0, count);
            Answer(result);
            return Run(link);  // its answers may have waited for room
        }
        if (!link->answer_may_come()) {
            // Nothing to read and nothing that will answer: IEEE 488.2's
            // unterminated query, at once rather than at the time limit.
            link->runner->state().status.Fail(kQueryUnterminated);
            result.error = vxi11::kIoTimeout;
            return Answer(result);
        }
        if (timed_out) {
            result.error = vxi11::kIoTimeout;
            return Answer(result);
        }
        WaitUntil(deadline);
    }

    // A new message while an answer is unread: the answer is gone.
    void DropUnreadAnswer(Link& link) {
        if (link.output.empty()) return;
        link.output.clear();
        link.runner->state().status.Fail(kQueryInterrupted);
    }

    // The bytes of a device_write as the link's messages.
    void Take(const std::shared_ptr<Link>& link, const std::string& data, uint32_t flags) {
        CommandRunner& runner = *link->runner;
        DropUnreadAnswer(*link);
        const auto frame = [&](FramedMessage message) {
            switch (message.kind) {
                case FramedMessage::Kind::kMessage:
                    link->messages.push_back(std::move(message.text));
                    return;
                case FramedMessage::Kind::kOverrun:
                    runner.state().status.Fail(kInputBufferOverrun);
                    return;
                case FramedMessage::Kind::kBlockTooLong:
                    // Unlike a socket, VXI-11 marks where a message ends: the
                    // link takes commands again after the END.
                    runner.state().status.Fail(kInvalidBlockData);
                    link->discarding = true;
                    return;
            }
        };
        for (size_t at = 0; at < data.size() && !link->discarding;) {
            std::optional<FramedMessage> message;
            at += link->framer.Feed(data.data() + at, data.size() - at, &message);
            if (message) frame(std::move(*message));
        }
        if ((flags & vxi11::kEnd) != 0) {
            if (!link->discarding) {
                if (std::optional<FramedMessage> last = link->framer.Finish()) {
                    frame(std::move(*last));
                }
            }
            link->framer = MessageFramer();
            link->discarding = false;
        }
    }

    // device_clear: the link's input and output are emptied, as IEEE 488.2's
    // device clear does; its error queue and status bytes stay.
    void Clear(Link& link) {
        link.framer = MessageFramer();
        link.discarding = false;
        link.messages.clear();
        if (link.runner->in_message()) {
            if (link.runner->busy()) {
                link.clearing = true;
            } else {
                link.runner->Abandon();
            }
        }
        // After the abandoned message's end of line.
        link.output.clear();
    }

    bool AbortCall(int32_t id) {
        const std::shared_ptr<Link> link = door_->FindLink(id);
        if (!link) return false;
        if (auto owner = link->connection.lock(); owner && owner.get() != this) {
            owner->Abort(id);
        }
        return true;
    }

    void Destroy(Link& link) {
        if (link.destroyed) return;
        link.destroyed = true;
        door_->ForgetLink(link.id);
        if (!door_->stopping()) door_->Log(Where(link) + " closed");
        door_->Unlock(link.index, link.id);
    }

    // The timer, and the read, hold the connection while its call waits. A
    // client that has ended its input waits for nothing.
    void WaitUntil(Clock::time_point deadline) {
        if (input_ended_) return Close(EndedWhileWaiting(asio::error::eof));
        wait_timer_.expires_at(deadline);
        wait_timer_.async_wait([self = shared_from_this()](boost::system::error_code error) {
            if (!error) self->Retry();
        });
    }

    // ---- The limits ----

    // A reply the client does not take within --write-timeout, or no call
    // for --idle-timeout while nothing waits, closes the connection; but not
    // an abort channel's while its client's links are open.
    void ArmLimits() {
        if (closed_) return;
        const ServerOptions& options = door_->options();
        std::optional<Clock::time_point> due;
        if (writing_ && options.write_timeout.count() != 0) {
            due = write_started_ + options.write_timeout;
        } else if (!writing_ && !waiting_ && options.idle_timeout.count() != 0) {
            due = last_activity_ + options.idle_timeout;
        } else {
            due = Clock::now() + std::chrono::seconds(1);  // looked at again
        }
        limit_timer_.expires_at(*due);
        limit_timer_.async_wait([weak = weak_from_this()](boost::system::error_code error) {
            auto self = weak.lock();
            if (!self || error || self->closed_) return;
            const ServerOptions& options = self->door_->options();
            const auto now = Clock::now();
            if (self->writing_ && options.write_timeout.count() != 0 &&
                now - self->write_started_ >= options.write_timeout) {
                return self->Close("did not take its reply within " +
                                   std::to_string(options.write_timeout.count()) +
                                   " seconds (--write-timeout)");
            }
            if (!self->writing_ && !self->waiting_ && options.idle_timeout.count() != 0 &&
                now - self->last_activity_ >= options.idle_timeout) {
                // An abort channel is idle for as long as its client's
                // links are open: its time starts over.
                if (self->links_.empty() && self->door_->PeerHoldsLinks(self->id_)) {
                    self->last_activity_ = now;
                    return self->ArmLimits();
                }
                return self->Close("idle for " + std::to_string(options.idle_timeout.count()) +
                                   " seconds (--idle-timeout)");
            }
            self->ArmLimits();
        });
    }

    std::shared_ptr<Impl> door_;
    tcp::socket socket_;
    const uint64_t id_;
    const std::string peer_;
    rpc::RecordReader reader_;
    std::array<char, 16384> chunk_;  // read into
    std::string input_;              // read, not taken into a record yet
    bool input_ended_ = false;
    bool reading_ = false;
    bool writing_ = false;
    bool closed_ = false;
    std::string outbox_;
    std::map<int32_t, std::shared_ptr<Link>> links_;
    std::optional<Request> waiting_;  // the call under way
    Clock::time_point started_;       // when it came
    asio::steady_timer wait_timer_;
    asio::steady_timer limit_timer_;
    Clock::time_point last_activity_;
    Clock::time_point write_started_;
};

int32_t Vxi11Door::Impl::AddLink(const std::shared_ptr<Link>& link) {
    // Ids count up from 1, so that 0, a call's link when it names none, is
    // nobody's; after the largest they start over, past those in use. A
    // stale id names no other client's link for a long while.
    do {
        next_link_ = next_link_ == std::numeric_limits<int32_t>::max() ? 1 : next_link_ + 1;
    } while (links_.count(next_link_) != 0);
    links_[next_link_] = link;
    return next_link_;
}

bool Vxi11Door::Impl::PeerHoldsLinks(uint64_t id) const {
    const auto own = connections_.find(id);
    if (own == connections_.end()) return false;
    for (const auto& [other, held] : connections_) {
        if (other == id || held.peer != own->second.peer) continue;
        if (auto connection = held.connection.lock(); connection && connection->holds_links()) {
            return true;
        }
    }
    return false;
}

bool Vxi11Door::Impl::Unlock(int index, int32_t link) {
    const auto it = locks_.find(index);
    if (it == locks_.end() || it->second != link) return false;
    locks_.erase(it);
    WakeAll();
    return true;
}

void Vxi11Door::Impl::WakeAll() {
    // Posted: a call that frees the lock finishes before the waiting ones
    // take it.
    asio::post(layer_.io(), [self = shared_from_this()] {
        std::vector<std::shared_ptr<Connection>> open;
        for (auto& [id, held] : self->connections_) {
            if (auto c = held.connection.lock()) open.push_back(c);
        }
        for (auto& connection : open) connection->Retry();
    });
}

// Every address on the same port, the first's when it was any free port:
// the portmapper has one port to give.
bool Vxi11Door::Impl::Listen(std::string* error) {
    for (const std::string& address : options_.listen) {
        const bool listening = ListenOnEach(
            layer_.io(), {address}, port_ != 0 ? port_ : options_.vxi11_port,
            "VXI-11: ", [this](const std::string& line) { Log(line); },
            [this](tcp::acceptor acceptor) {
                port_ = acceptor.local_endpoint().port();
                Log("VXI-11 on " + EndpointText(acceptor.local_endpoint()) +
                    " (TCPIP::host::instN::INSTR)");
                acceptors_.push_back(std::make_unique<tcp::acceptor>(std::move(acceptor)));
            },
            error);
        if (!listening) return false;
    }
    if (acceptors_.empty()) {
        *error = "VXI-11: cannot listen on any --listen address";
        return false;
    }
    for (auto& acceptor : acceptors_) Accept(*acceptor);
    return true;
}

void Vxi11Door::Impl::Accept(tcp::acceptor& acceptor) {
    AcceptEach(
        acceptor, options_.allow, "VXI-11 ", [this](const std::string& line) { Log(line); },
        [weak = weak_from_this()] {
            auto self = weak.lock();
            return !self || self->stopping_;
        },
        [weak = weak_from_this()](tcp::socket socket, const Peer& peer) {
            auto self = weak.lock();
            if (!self) return;
            boost::system::error_code ec;
            if (self->connections_.size() >= self->options_.max_clients &&
                !MakeRoom(self->connections_, peer, self->options_.max_clients,
                          " (--max-clients)")) {
                self->Log("VXI-11 " + peer.text + " refused: already " +
                          Plural(self->connections_.size(), "VXI-11 connection") +
                          " (--max-clients)");
                socket.close(ec);
                return;
            }
            socket.set_option(tcp::no_delay(true), ec);
            socket.set_option(asio::socket_base::keep_alive(true), ec);
            const uint64_t id = self->next_connection_++;
            auto connection = std::make_shared<Connection>(self, std::move(socket), id, peer.text);
            self->connections_[id] = Held{connection, peer.address};
            connection->Start();
        });
}

// The socket door's rule: the newest connection of a peer over its share
// makes room for another peer.
void Vxi11Door::Impl::Stop() {
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

Vxi11Door::Vxi11Door(CommandLayer& layer, const ServerOptions& options,
                     std::map<int, ServedInstrument*> instruments)
    : impl_(std::make_shared<Impl>(layer, options, std::move(instruments))) {}
Vxi11Door::~Vxi11Door() = default;
bool Vxi11Door::Listen(std::string* error) {
    return impl_->Listen(error);
}
uint16_t Vxi11Door::port() const {
    return impl_->port();
}
void Vxi11Door::Stop() {
    impl_->Stop();
}

}  // namespace velmar::scpi
