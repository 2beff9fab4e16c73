// A scripted instrument on the far side of the real transport: a thread that
// serves SOCK_SEQPACKET sockets in a temporary device directory, records every
// message of every connection and answers each one as the test scripted it.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace velmar::e2e {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

// What the instrument does with one message it received.
struct Reply {
    enum class Kind {
        kNormal,   // a 10-byte report after a 7-byte 0xA0 packet, a 1-byte ack after anything else
        kBytes,    // exactly these bytes as one message (may be short or empty)
        kNothing,  // no answer at all: the caller's read has to time out
        kHangUp,   // close the connection without answering
    };
    Kind kind = Kind::kNormal;
    Bytes bytes;

    static Reply Normal() { return {}; }
    static Reply With(Bytes b) { return {Kind::kBytes, std::move(b)}; }
    static Reply Nothing() { return {Kind::kNothing, {}}; }
    static Reply HangUp() { return {Kind::kHangUp, {}}; }
};

struct Message {
    Bytes bytes;
    Clock::time_point at;
    uint64_t seq = 0;  // order of arrival across all instruments of the peer
};

struct Connection {
    std::vector<Message> messages;
    bool closed_by_caller = false;
    bool hung_up = false;
};

class SocketPeer {
  public:
    SocketPeer();
    ~SocketPeer();
    SocketPeer(const SocketPeer&) = delete;
    SocketPeer& operator=(const SocketPeer&) = delete;

    // The temporary directory the peer owns; instruments live in it or below it.
    const std::string& root() const { return root_; }

    // Serves an instrument at root()/name (name may contain sub-directories,
    // which are created). Works for paths too long for a socket address.
    void AddInstrument(const std::string& name);
    // Unplugging: the socket file goes away (the listener stays) or the
    // listener closes (the file stays, so connecting is refused).
    void RemoveSocketFile(const std::string& name);
    void StopListening(const std::string& name);

    // The 10-byte report that a normal answer to a control packet carries.
    void SetReport(const std::string& name, Bytes report);
    // Answers for the next messages the instrument receives, in order; once
    // they are used up it answers normally again.
    void Script(const std::string& name, std::vector<Reply> replies);
    // Close every new connection right after accepting it.
    void HangUpOnAccept(const std::string& name, bool on);

    // Waits until everything the caller did so far has reached the peer: every
    // pending connection accepted, every message read, every close seen.
    void Settle();

    std::vector<Connection> Connections(const std::string& name) const;
    // Every message the instrument received, over all its connections.
    std::vector<Bytes> Messages(const std::string& name) const;
    std::vector<Message> TimedMessages(const std::string& name) const;

  private:
    struct Instrument {
        std::string path;
        int listen_fd = -1;
        Bytes report = Bytes(10, 0);
        std::deque<Reply> script;
        bool hang_up_on_accept = false;
        std::vector<Connection> connections;
    };
    struct Open {
        int fd;
        std::string instrument;
        size_t connection;
    };

    void Serve();
    void Accept(Instrument& ins, const std::string& name);
    void Receive(Open& open, bool& drop);
    Instrument& Find(const std::string& name);
    const Instrument& Find(const std::string& name) const;

    std::string root_;
    int wake_[2] = {-1, -1};
    mutable std::mutex mu_;
    std::condition_variable idle_cv_;
    uint64_t idle_epoch_ = 0;
    uint64_t next_seq_ = 0;
    bool stop_ = false;
    std::map<std::string, Instrument> instruments_;
    std::vector<Open> open_;
    std::thread thread_;
};

// The bytes of the instrument protocol, written out from the wire format.
Bytes ControlPacket(uint16_t control_word, uint16_t digital_out, uint16_t divider);
Bytes LengthHeader(uint16_t word);
Bytes StatusReport(uint16_t digital_in, uint32_t count, uint32_t period);
uint16_t ControlWordOf(const Bytes& control_packet);

}  // namespace velmar::e2e
