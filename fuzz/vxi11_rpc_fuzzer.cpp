// The VXI-11 door's input side fed arbitrary bytes, split anywhere: record
// marking, the RPC call envelope (libtirpc's xdr_callmsg) and the VXI-11
// arguments (rpcgen's routines from scpi/vxi11.x), as the door reads them;
// the same records as portmapper calls, as port 111 reads them.
//
// Input: the first byte seeds where the rest is split; the rest is the
// stream a client sends.
//
// Invariants:
// - the records do not depend on how the stream was split, and none is
//   longer than the bound; once a record passes it, nothing more is taken;
// - every record is a request, the RPC's own reply to send, or not a call:
//   exactly one; that reply and every answer read back with the call's xid;
// - decoding is deterministic.

#include <cstdint>
#include <string>
#include <vector>

#include "check.h"
#include "rpc_call.h"
#include "vxi11_codec.h"

namespace {

using velmar::scpi::rpc::RecordReader;
namespace vxi11 = velmar::scpi::vxi11;

constexpr size_t kBound = 4096;

struct Records {
    std::vector<std::string> records;
    bool oversized = false;
};

Records Cut(const std::string& stream, uint32_t seed) {
    RecordReader reader(kBound);
    Records out;
    size_t at = 0;
    while (at < stream.size() && !reader.oversized()) {
        size_t chunk = stream.size() - at;
        if (seed != 0) {
            seed = seed * 1103515245u + 12345u;  // chunk sizes from 1 to 64
            chunk = std::min<size_t>(chunk, 1 + (seed >> 16) % 64);
        }
        const size_t taken = reader.Feed(stream.data() + at, chunk);
        CHECK(taken <= chunk);
        CHECK(reader.pending_bytes() <= kBound + 4);
        at += taken;
        if (reader.complete()) out.records.push_back(reader.Take());
        CHECK(taken > 0 || reader.oversized() || reader.complete() || chunk == 0);
    }
    out.oversized = reader.oversized();
    return out;
}

// The xid of a reply, read back with libtirpc.
bool ReplyXid(const std::string& reply, uint32_t* xid) {
    rpc_msg message{};
    std::string bytes = reply;
    XDR xdr;
    xdrmem_create(&xdr, bytes.data(), static_cast<u_int>(bytes.size()), XDR_DECODE);
    uint32_t direction = 1;
    const bool read = xdr_uint32_t(&xdr, xid) && xdr_uint32_t(&xdr, &direction);
    xdr_destroy(&xdr);
    (void)message;
    return read && direction == REPLY;
}

uint32_t CallXid(const std::string& record) {
    uint32_t xid = 0;
    for (size_t i = 0; i < 4 && i < record.size(); ++i) {
        xid = xid << 8 | static_cast<unsigned char>(record[i]);
    }
    return xid;
}

void CheckRecord(const std::string& record) {
    CHECK(record.size() <= kBound);
    const vxi11::Decoded decoded = vxi11::Decode(record);
    const int kinds =
        (decoded.request ? 1 : 0) + (decoded.reply.empty() ? 0 : 1) + (decoded.not_a_call ? 1 : 0);
    CHECK(kinds == 1);
    const vxi11::Decoded again = vxi11::Decode(record);
    CHECK(again.reply == decoded.reply && again.not_a_call == decoded.not_a_call);
    uint32_t xid = 0;
    if (!decoded.reply.empty()) {
        CHECK(ReplyXid(decoded.reply, &xid) && xid == CallXid(record));
    }
    if (decoded.request) {
        CHECK(again.request && again.request->data == decoded.request->data);
        CHECK(decoded.request->xid == CallXid(record));
        vxi11::Result result;
        result.data = decoded.request->data;  // an answer of any size reads back
        result.reason = vxi11::kReasonEnd;
        const std::string answer = vxi11::Answer(*decoded.request, result);
        CHECK(ReplyXid(answer, &xid) && xid == decoded.request->xid);
    }
    const std::string portmapper = vxi11::AnswerPortmapper(record, 4321);
    if (!portmapper.empty()) CHECK(ReplyXid(portmapper, &xid) && xid == CallXid(record));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const std::string stream(reinterpret_cast<const char*>(data) + 1, size - 1);
    const Records whole = Cut(stream, 0);
    const Records split = Cut(stream, data[0] | 1u);
    CHECK(whole.records == split.records);
    CHECK(whole.oversized == split.oversized);
    for (const std::string& record : whole.records) CheckRecord(record);
    return 0;
}
