#include "rpc_call.h"

#include <algorithm>

namespace velmar::scpi::rpc {

namespace {

constexpr uint32_t kLastFragment = 0x80000000u;
// The RPC version of every call this server answers.
constexpr uint32_t kRpcVersion = 2;

std::string Encode(rpc_msg* reply) {
    // xdr_sizeof measures with the same routines that then write.
    const unsigned long size =
        xdr_sizeof(reinterpret_cast<xdrproc_t>(xdr_replymsg), static_cast<void*>(reply));
    std::string bytes(size, '\0');
    XDR xdr;
    xdrmem_create(&xdr, bytes.data(), static_cast<u_int>(bytes.size()), XDR_ENCODE);
    const bool written = xdr_replymsg(&xdr, reply);
    bytes.resize(written ? xdr_getpos(&xdr) : 0);
    xdr_destroy(&xdr);
    return bytes;
}

rpc_msg Accepted(uint32_t xid, accept_stat status) {
    rpc_msg reply{};
    reply.rm_xid = xid;
    reply.rm_direction = REPLY;
    reply.rm_reply.rp_stat = MSG_ACCEPTED;
    reply.acpted_rply.ar_verf = _null_auth;
    reply.acpted_rply.ar_stat = status;
    return reply;
}

}  // namespace

size_t RecordReader::Feed(const char* data, size_t size) {
    size_t taken = 0;
    while (taken < size && !complete_ && !oversized_) {
        if (!in_fragment_) {
            mark_[mark_filled_++] = static_cast<unsigned char>(data[taken++]);
            if (mark_filled_ < sizeof(mark_)) continue;
            mark_filled_ = 0;
            const uint32_t mark = static_cast<uint32_t>(mark_[0]) << 24 |
                                  static_cast<uint32_t>(mark_[1]) << 16 |
                                  static_cast<uint32_t>(mark_[2]) << 8 | mark_[3];
            last_fragment_ = (mark & kLastFragment) != 0;
            fragment_left_ = mark & ~kLastFragment;
            if (fragment_left_ > most_bytes_ - record_.size()) {
                oversized_ = true;
                break;
            }
            in_fragment_ = fragment_left_ > 0;
            if (!in_fragment_ && last_fragment_) complete_ = true;
            continue;
        }
        const size_t n = std::min(fragment_left_, size - taken);
        record_.append(data + taken, n);
        taken += n;
        fragment_left_ -= n;
        if (fragment_left_ == 0) {
            in_fragment_ = false;
            if (last_fragment_) complete_ = true;
        }
    }
    return taken;
}

std::string RecordReader::Take() {
    std::string record;
    record.swap(record_);
    complete_ = false;
    return record;
}

std::string Mark(const std::string& record) {
    const uint32_t mark = kLastFragment | static_cast<uint32_t>(record.size());
    std::string marked;
    marked.reserve(record.size() + 4);
    for (int shift = 24; shift >= 0; shift -= 8) {
        marked.push_back(static_cast<char>((mark >> shift) & 0xFF));
    }
    return marked + record;
}

IncomingCall::IncomingCall(const std::string& record) : record_(record) {
    xdrmem_create(&xdr_, record_.data(), static_cast<u_int>(record_.size()), XDR_DECODE);
    // The three words before anything else: xdr_callmsg refuses another RPC
    // version without saying which, and that one has its own answer.
    XDR peek;
    xdrmem_create(&peek, record_.data(), static_cast<u_int>(record_.size()), XDR_DECODE);
    uint32_t direction = 0, version = 0;
    const bool read = xdr_uint32_t(&peek, &xid_) && xdr_uint32_t(&peek, &direction) &&
                      xdr_uint32_t(&peek, &version);
    xdr_destroy(&peek);
    if (!read || direction != CALL) return;
    if (version != kRpcVersion) {
        kind_ = Kind::kRpcMismatch;
        return;
    }
    message_.rm_call.cb_cred.oa_base = auth_;
    message_.rm_call.cb_verf.oa_base = auth_ + MAX_AUTH_BYTES;
    if (xdr_callmsg(&xdr_, &message_)) kind_ = Kind::kCall;
}

IncomingCall::~IncomingCall() {
    xdr_destroy(&xdr_);
}

void IncomingCall::FreeArguments(xdrproc_t routine, void* out) {
    xdr_free(routine, static_cast<char*>(out));
}

std::string Success(uint32_t xid, xdrproc_t routine, const void* results) {
    rpc_msg reply = Accepted(xid, SUCCESS);
    reply.acpted_rply.ar_results.where = static_cast<caddr_t>(const_cast<void*>(results));
    reply.acpted_rply.ar_results.proc = routine;
    return Encode(&reply);
}

std::string Refusal(uint32_t xid, accept_stat status, uint32_t low, uint32_t high) {
    rpc_msg reply = Accepted(xid, status);
    if (status == PROG_MISMATCH) {
        reply.acpted_rply.ar_vers.low = low;
        reply.acpted_rply.ar_vers.high = high;
    }
    return Encode(&reply);
}

std::string RpcMismatch(uint32_t xid) {
    rpc_msg reply{};
    reply.rm_xid = xid;
    reply.rm_direction = REPLY;
    reply.rm_reply.rp_stat = MSG_DENIED;
    reply.rjcted_rply.rj_stat = RPC_MISMATCH;
    reply.rjcted_rply.rj_vers.low = kRpcVersion;
    reply.rjcted_rply.rj_vers.high = kRpcVersion;
    return Encode(&reply);
}

}  // namespace velmar::scpi::rpc
