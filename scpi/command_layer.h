// The one command layer of the server: every door into it (the SCPI
// sockets, the front panel's WebSocket) runs its messages here, so that a
// command does the same thing, with the same errors and on the same
// instrument state, whichever door it came through. A door frames messages
// and carries answer lines; it holds no instrument logic.
//
// A message's units run in order. Those of the connection alone (*IDN?,
// SYST:ERR?, the status bytes) run at once on the io thread; those that need
// the instrument go to the instrument's strand, one at a time, and come back
// to the io thread with their answer. The answers of a message make one line,
// joined by ';'.
#pragma once

#include <atomic>
#include <boost/asio/io_context.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/thread_pool.hpp>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "command_table.h"
#include "instrument.h"
#include "scpi_parser.h"

namespace velmar::scpi {

namespace asio = boost::asio;

// An instrument as the server serves it: its session, and the strand its
// library calls run on, one after the other; the strands of different
// instruments run at the same time.
struct ServedInstrument {
    using Strand = asio::strand<asio::thread_pool::executor_type>;
    ServedInstrument(int index, const InstrumentOptions& served_as, std::string serial_given,
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
    // The io thread's view of the latest command that went to it: the
    // library's words when it failed, else empty; nothing before the first.
    std::optional<std::string> last_failure;
    const std::string serial;  // --serial
};

// What every door's commands share: the io thread they answer on, the log,
// and the stop.
class CommandLayer {
  public:
    CommandLayer(asio::io_context& io, std::function<void(const std::string&)> log, bool verbose)
        : io_(io), log_(std::move(log)), verbose_(verbose) {}

    asio::io_context& io() { return io_; }
    void Log(const std::string& line) { log_(line); }
    bool verbose() const { return verbose_; }
    // Library calls under way: a stop does not wait for them.
    int calls_in_flight() const { return calls_in_flight_.load(); }
    // From now on, a call still queued on a strand is not made (a strand
    // runs what it has ready in one go, whatever its pool is told).
    void StopCalls() { calls_stopped_ = true; }

  private:
    friend class CommandRunner;
    asio::io_context& io_;
    std::function<void(const std::string&)> log_;
    const bool verbose_;
    std::atomic<int> calls_in_flight_{0};
    std::atomic<bool> calls_stopped_{false};
};

// What a door tells the layer about one of its clients.
struct Door {
    // "instrument 0: 127.0.0.1:40122", as the log names the client.
    std::string where;
    // The door's own object for this client: kept alive while a unit of its
    // is with the instrument, as an asynchronous operation keeps its object.
    std::weak_ptr<void> owner;
    // Each piece of the answer line as it is made, in order: an answer, the
    // ';' between two, and the '\n' that ends the line of a message that
    // answered. Called on the io thread.
    std::function<void(const std::string& piece)> write;
    // A unit that went to the instrument is back and applied: the door
    // steps on. Called on the io thread.
    std::function<void()> resumed;
    // Whether answers the client has not taken wait at the door (*STB?'s
    // MAV), besides those of the message under way.
    std::function<bool()> output_waiting;
    // Commands that would change the instrument are refused with -203; its
    // queries and the connection's own commands run.
    bool read_only = false;
    // --verbose does not log this door's commands (a poll several times a
    // second would bury the log); the library's failures are still logged.
    bool quiet = false;
};

// One client's commands on one instrument: its own ConnectionState (error
// queue, status bytes, byte order) and header path. Made with
// std::make_shared: a unit on its way to the instrument holds it.
class CommandRunner : public std::enable_shared_from_this<CommandRunner> {
  public:
    CommandRunner(CommandLayer& layer, ServedInstrument& served, Door door);

    ConnectionState& state() { return state_; }
    const Door& door() const { return door_; }
    bool in_message() const { return in_message_; }
    // A unit is with the instrument: Door::resumed follows.
    bool busy() const { return busy_; }

    // A message a door framed: its units run with Step().
    void Begin(std::string message);
    // Ends the message under way without running the rest of its units.
    void Abandon();
    // Runs the next unit of the message, or ends the message when none is
    // left. False when the unit went to the instrument (Door::resumed
    // follows) or no message is under way; true when the door may step again.
    bool Step();
    // The library's words about what failed in the message under way, or
    // in the last one: "instrument 1: no answer within 1000 ms ...". Empty
    // when nothing failed.
    const std::string& failure_words() const { return failure_words_; }

    // A line of the verbose log for this client.
    void Note(const std::string& what, const std::optional<std::string>& answer,
              const std::vector<QueuedError>& errors, const std::string& words = {});

  private:
    void RunUnit(ProgramUnit unit);
    void Apply(const ProgramUnit& unit, const Reply& reply, const FailureNote& note = {});
    void EndMessage();

    CommandLayer& layer_;
    ServedInstrument& served_;
    const Door door_;
    ConnectionState state_;
    HeaderPath path_;
    std::string message_;  // the message whose units run
    UnitReader reader_;    // over message_
    bool in_message_ = false;
    bool answered_ = false;  // the message has answered, and its line is open
    bool skipping_ = false;  // a command error ended the message's commands
    bool busy_ = false;
    std::string failure_words_;
};

// A unit as the verbose log shows it: `SOUR:FREQ 1000HZ`, blocks by size.
std::string Describe(const ProgramUnit& unit);

// A client's text as the log shows it: a string parameter could otherwise
// forge log lines.
std::string Printable(const std::string& text, size_t most);

}  // namespace velmar::scpi
