// ONC RPC as the VXI-11 door and the portmapper speak it: records cut out of
// a TCP stream by their record marks, and the call and reply envelopes, read
// and written with libtirpc's XDR routines (xdr_callmsg, xdr_replymsg). The
// procedures' own arguments and results are the XDR routines rpcgen makes
// from vxi11.x, or libtirpc's for the portmapper.
#pragma once

#include <rpc/rpc.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace velmar::scpi::rpc {

// Cuts records out of a byte stream. Each fragment starts with a 4-byte
// big-endian mark: the top bit says it is the record's last fragment, the
// other 31 its length. A record longer than the bound is not kept: once it is
// seen, the reader takes nothing more (oversized()), since the stream can only
// be resynchronised by reading the whole record, of any length.
class RecordReader {
  public:
    explicit RecordReader(size_t most_bytes) : most_bytes_(most_bytes) {}

    // Takes bytes until a record is complete (complete()) or the bound is
    // passed; returns how many it took.
    size_t Feed(const char* data, size_t size);
    bool complete() const { return complete_; }
    bool oversized() const { return oversized_; }
    // Bytes of a record under way: zero between records.
    size_t pending_bytes() const { return record_.size() + mark_filled_; }
    // The complete record; the reader starts on the next.
    std::string Take();

  private:
    const size_t most_bytes_;
    std::string record_;
    unsigned char mark_[4] = {};
    size_t mark_filled_ = 0;
    size_t fragment_left_ = 0;
    bool in_fragment_ = false;
    bool last_fragment_ = false;
    bool complete_ = false;
    bool oversized_ = false;
};

// A record as the stream carries it: one last fragment.
std::string Mark(const std::string& record);

// A call's envelope, read from a record; its arguments follow.
class IncomingCall {
  public:
    enum class Kind {
        kCall,
        // A call of another RPC version: answered with RPC_MISMATCH.
        kRpcMismatch,
        // Not a call at all (a reply, or too short to hold a call's header):
        // it has no answer.
        kNotACall,
    };

    explicit IncomingCall(const std::string& record);
    ~IncomingCall();
    IncomingCall(const IncomingCall&) = delete;
    IncomingCall& operator=(const IncomingCall&) = delete;

    Kind kind() const { return kind_; }
    uint32_t xid() const { return xid_; }
    uint32_t program() const { return static_cast<uint32_t>(message_.rm_call.cb_prog); }
    uint32_t version() const { return static_cast<uint32_t>(message_.rm_call.cb_vers); }
    uint32_t procedure() const { return static_cast<uint32_t>(message_.rm_call.cb_proc); }

    // Decodes the arguments into *out with their XDR routine; false when they
    // do not decode (GARBAGE_ARGS), or when bytes are left after them. What
    // the routine allocated is freed with FreeArguments, whether or not it
    // decoded.
    // The routine is called with its own type: a call through xdrproc_t,
    // which is variadic, is not the function's type.
    template <typename Args>
    bool Arguments(bool_t (*routine)(XDR*, Args*), Args* out) {
        if (kind_ != Kind::kCall || arguments_read_) return false;
        arguments_read_ = true;
        return routine(&xdr_, out) && xdr_getpos(&xdr_) == record_.size();
    }
    static void FreeArguments(xdrproc_t routine, void* out);

  private:
    std::string record_;
    XDR xdr_{};
    rpc_msg message_{};
    // Where the credentials and the verifier are read to: the caller's
    // identity is not used, and nothing is allocated for it.
    char auth_[2 * MAX_AUTH_BYTES] = {};
    Kind kind_ = Kind::kNotACall;
    uint32_t xid_ = 0;
    bool arguments_read_ = false;
};

// Replies, each a whole record without its mark.
// The procedure ran: its results with their XDR routine.
std::string Success(uint32_t xid, xdrproc_t routine, const void* results);
// The call was refused: PROG_UNAVAIL, PROC_UNAVAIL, GARBAGE_ARGS or
// SYSTEM_ERR; PROG_MISMATCH with the versions served, lowest and highest.
std::string Refusal(uint32_t xid, accept_stat status, uint32_t low = 0, uint32_t high = 0);
// The call was of another RPC version than 2.
std::string RpcMismatch(uint32_t xid);

}  // namespace velmar::scpi::rpc
