// Serves simulated instruments on the sockets of a device directory, the way
// the library reaches instruments on Linux: one SEQPACKET socket per
// instrument (dds0, dds1, ...), one message per write, one answer per message.
// A single thread polls every socket; answers that a fault delays wait in a
// queue per connection, so a slow instrument never holds up another one.
//
// No client can hold up the others, nor the server's own stop: each round
// of the loop takes at most a few messages from each connection, an
// instrument serves at most kMaxConnectionsPerInstrument connections at a
// time (further ones wait to be accepted), and a connection whose answers
// pile up is not read until they are sent. When the process runs out of
// descriptors, accepting pauses until a connection closes (or a second has
// passed) instead of polling a listener it cannot serve. An idle server
// sleeps in poll.
//
// No answer is lost to a host that does not read: an answer its socket has
// no room for stays queued, and the connection is not read again until the
// socket takes it (the server waits for that in poll, not by trying again).
// Only a host that is gone loses its answers.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "instrument_model.h"

namespace velmar::sim {

// How one instrument misbehaves.
struct InstrumentFaults {
    Faults faults;
    // Bind the socket but never listen: every connect is refused at once, so
    // the library sees an instrument it cannot open.
    bool refuse = false;
};

struct ServerOptions {
    std::string dir;
    int count = 1;
    // Every instrument's faults, but for those that have their own below.
    bool refuse = false;
    Faults faults;
    // Instruments that misbehave otherwise, by index (each below `count`): a
    // bench with a faulty instrument beside good ones.
    std::map<int, InstrumentFaults> own_faults;
    uint16_t digital_in = 0;
    std::optional<double> input_hz;
    // Receives each message as it arrives, decoded and prefixed with the
    // socket's name ("dds0: control: ..."), before its answer is sent. Called
    // on the serving thread.
    std::function<void(const std::string&)> trace;
    // False: the acknowledged blocks inside a download are left out of the
    // trace, which shows the length header and the block that completes it.
    bool trace_every_block = true;
    // The models' clock (see InstrumentModel); nothing: the steady clock.
    InstrumentModel::Clock clock;
};

class SimServer {
  public:
    static constexpr int kMaxInstruments = 64;
    static constexpr int kMaxConnectionsPerInstrument = 16;

    explicit SimServer(ServerOptions options);
    ~SimServer();
    SimServer(const SimServer&) = delete;
    SimServer& operator=(const SimServer&) = delete;

    // Creates the directory if it is missing and binds the sockets. On
    // failure returns false with one line in *error and leaves nothing behind.
    bool Start(std::string* error);

    // Serves until Stop(); then closes every connection. Call after Start().
    void Run();

    // Both may be called from any thread and from a signal handler.
    void Stop();
    void RequestPowerCycle();

    // Removes the sockets, and the directory if Start() created it. Run()
    // must have returned (or never been called). Called by the destructor.
    void Shutdown();

    const std::vector<std::string>& socket_paths() const { return socket_paths_; }

    // Instrument `index`'s faults: its own, or every instrument's.
    InstrumentFaults FaultsOf(int index) const;

    // Looks at or changes one instrument while the server may be running.
    template <typename F>
    auto WithInstrument(int index, F&& f) {
        std::lock_guard<std::mutex> lock(models_mutex_);
        return f(*models_.at(static_cast<size_t>(index)));
    }

  private:
    struct Connection;

    void AcceptAll(int instrument, double now_s);
    // Handles the messages waiting on the connection, at most a round's
    // share of them. False when the connection is to be closed.
    bool ReadSome(Connection& connection);
    void PowerCycleAll();
    void SendDue(Connection& connection, double now_s);

    ServerOptions options_;
    std::vector<std::unique_ptr<InstrumentModel>> models_;
    std::mutex models_mutex_;
    std::vector<int> listeners_;
    std::vector<bool> refusing_;  // per listener: bound, never listened on
    std::vector<std::string> socket_paths_;
    std::vector<std::unique_ptr<Connection>> connections_;
    std::vector<int> connections_per_instrument_;
    // Accepting pauses until then after running out of descriptors.
    double accept_paused_until_s_ = 0.0;
    bool created_dir_ = false;
    int wake_read_ = -1;
    int wake_write_ = -1;
};

}  // namespace velmar::sim
