// A VXI-11 client for the suites: ONC RPC calls over one TCP connection,
// encoded with libtirpc and the routines rpcgen made from scpi/vxi11.x, and
// raw records for the calls no client would send.
#pragma once

#include <algorithm>
#include <chrono>
#include <optional>
#include <regex>
#include <string>
#include <thread>

#include "rpc_call.h"
#include "scpi_rig.h"
#include "vxi11.h"
#include "vxi11_codec.h"

namespace velmar::scpi {

// The VXI-11 port a starting server logs ("VXI-11 on 127.0.0.1:<port>"),
// once it has; 0 after 5 s.
inline uint16_t WaitForVxi11Port(Rig& rig) {
    const std::regex line("VXI-11 on 127\\.0\\.0\\.1:(\\d+)");
    for (int i = 0; i < 500; ++i) {
        std::smatch match;
        const std::string log = rig.log();
        if (std::regex_search(log, match, line)) {
            return static_cast<uint16_t>(std::stoi(match[1]));
        }
        std::this_thread::sleep_for(milliseconds(10));
    }
    return 0;
}

// A call record: the call's header (RPC version 2 unless told, no
// credentials), then the arguments' bytes as given.
inline std::string CallRecord(uint32_t xid, uint32_t program, uint32_t version, uint32_t procedure,
                              const std::string& arguments = {}, uint32_t rpc_version = 2) {
    rpc_msg call{};
    call.rm_xid = xid;
    call.rm_direction = CALL;
    call.rm_call.cb_rpcvers = 2;
    call.rm_call.cb_prog = program;
    call.rm_call.cb_vers = version;
    call.rm_call.cb_proc = procedure;
    call.rm_call.cb_cred = _null_auth;
    call.rm_call.cb_verf = _null_auth;
    char buffer[256];
    XDR xdr;
    xdrmem_create(&xdr, buffer, sizeof(buffer), XDR_ENCODE);
    EXPECT_TRUE(xdr_callmsg(&xdr, &call));
    std::string record(buffer, xdr_getpos(&xdr));
    xdr_destroy(&xdr);
    // xdr_callmsg writes version 2 only: another goes in by hand.
    for (int i = 0; i < 4; ++i) record[8 + i] = static_cast<char>(rpc_version >> (24 - 8 * i));
    return record + arguments;
}

// Arguments' bytes, encoded with their routine.
template <typename Args>
std::string Encoded(bool_t (*routine)(XDR*, Args*), const Args& args) {
    std::string bytes(2 << 20, '\0');
    XDR xdr;
    xdrmem_create(&xdr, bytes.data(), static_cast<u_int>(bytes.size()), XDR_ENCODE);
    EXPECT_TRUE(routine(&xdr, const_cast<Args*>(&args)));
    bytes.resize(xdr_getpos(&xdr));
    xdr_destroy(&xdr);
    return bytes;
}

// A reply as the suites look at it.
struct ReplyHeader {
    bool accepted = false;
    accept_stat status = SYSTEM_ERR;    // when accepted
    reject_stat rejected = AUTH_ERROR;  // when not
    uint32_t low = 0, high = 0;         // PROG_MISMATCH's and RPC_MISMATCH's versions
};

inline bool_t NoResults(XDR*, void*) {
    return TRUE;
}

// Decodes a reply's header, and its results into *results when it has any.
template <typename Results = char>
std::optional<ReplyHeader> DecodeReply(const std::string& record,
                                       bool_t (*routine)(XDR*, Results*) = nullptr,
                                       Results* results = nullptr) {
    rpc_msg reply{};
    reply.acpted_rply.ar_verf = _null_auth;
    reply.acpted_rply.ar_results.where = reinterpret_cast<caddr_t>(results);
    reply.acpted_rply.ar_results.proc =
        routine ? reinterpret_cast<xdrproc_t>(routine) : reinterpret_cast<xdrproc_t>(NoResults);
    XDR xdr;
    std::string bytes = record;
    xdrmem_create(&xdr, bytes.data(), static_cast<u_int>(bytes.size()), XDR_DECODE);
    const bool read = xdr_replymsg(&xdr, &reply);
    xdr_destroy(&xdr);
    if (!read) return std::nullopt;
    ReplyHeader header;
    header.accepted = reply.rm_reply.rp_stat == MSG_ACCEPTED;
    if (header.accepted) {
        header.status = reply.acpted_rply.ar_stat;
        header.low = static_cast<uint32_t>(reply.acpted_rply.ar_vers.low);
        header.high = static_cast<uint32_t>(reply.acpted_rply.ar_vers.high);
    } else {
        header.rejected = reply.rjcted_rply.rj_stat;
        header.low = static_cast<uint32_t>(reply.rjcted_rply.rj_vers.low);
        header.high = static_cast<uint32_t>(reply.rjcted_rply.rj_vers.high);
    }
    return header;
}

class Vxi11Client {
  public:
    // A `source` address (127.0.0.2) plays another peer.
    explicit Vxi11Client(uint16_t port, const char* source = nullptr) : socket_(port, source) {}

    // Sends bytes as they are; false once the server has closed.
    bool SendRaw(const std::string& bytes) { return socket_.TrySend(bytes); }

    // The next reply record; nothing when none came in time or the server
    // closed the connection (closed() then says so).
    std::optional<std::string> Receive(milliseconds timeout = milliseconds(4000)) {
        const std::optional<std::string> bytes = socket_.ReadPiece(
            [](const std::string& input) -> std::optional<size_t> {
                rpc::RecordReader reader(4 << 20);
                const size_t taken = reader.Feed(input.data(), input.size());
                if (!reader.complete()) return std::nullopt;
                return taken;
            },
            timeout);
        if (!bytes) return std::nullopt;
        rpc::RecordReader reader(4 << 20);
        reader.Feed(bytes->data(), bytes->size());
        return reader.Take();
    }

    bool closed() const { return socket_.closed(); }

    // A call of the core channel, its results decoded into *results.
    template <typename Args, typename Results>
    bool Call(uint32_t procedure, bool_t (*encode)(XDR*, Args*), const Args& args,
              bool_t (*decode)(XDR*, Results*), Results* results,
              milliseconds timeout = milliseconds(4000), uint32_t program = vxi11::kCoreProgram) {
        return Call(procedure, Encoded(encode, args), decode, results, timeout, program);
    }

    // The same with the arguments' bytes as given.
    template <typename Results>
    bool Call(uint32_t procedure, const std::string& arguments, bool_t (*decode)(XDR*, Results*),
              Results* results, milliseconds timeout = milliseconds(4000),
              uint32_t program = vxi11::kCoreProgram) {
        if (!SendRaw(
                rpc::Mark(CallRecord(++xid_, program, vxi11::kVersion, procedure, arguments)))) {
            return false;
        }
        const std::optional<std::string> reply = Receive(timeout);
        if (!reply) return false;
        const std::optional<ReplyHeader> header = DecodeReply(*reply, decode, results);
        return header && header->accepted && header->status == SUCCESS;
    }

    // create_link: the link's id, or the error as a negative number.
    int32_t CreateLink(const std::string& device, bool lock = false, uint32_t lock_ms = 0) {
        Create_LinkParms args{};
        args.clientId = 1;
        args.lockDevice = lock;
        args.lock_timeout = lock_ms;
        // Encoded with a stand-in for each NUL, which a C string cannot hold,
        // and then the name's own bytes put in its place (after 4 words).
        std::string name = device;
        std::replace(name.begin(), name.end(), '\0', '\1');
        args.device = name.data();
        const std::string arguments =
            Encoded(xdr_Create_LinkParms, args).replace(16, name.size(), device);
        Create_LinkResp response{};
        if (!Call(vxi11::kCreateLink, arguments, xdr_Create_LinkResp, &response)) {
            return -1000;
        }
        max_receive_ = static_cast<uint32_t>(response.maxRecvSize);
        return response.error != 0 ? -static_cast<int32_t>(response.error)
                                   : static_cast<int32_t>(response.lid);
    }

    // device_write: the error; the bytes taken in *size.
    int32_t Write(int32_t link, const std::string& data, uint32_t flags = vxi11::kEnd,
                  uint32_t io_ms = 2000, uint32_t lock_ms = 0, uint32_t* size = nullptr) {
        Device_WriteParms args{};
        args.lid = link;
        args.io_timeout = io_ms;
        args.lock_timeout = lock_ms;
        args.flags = flags;
        args.data.data_len = static_cast<u_int>(data.size());
        args.data.data_val = const_cast<char*>(data.data());
        Device_WriteResp response{};
        if (!Call(vxi11::kDeviceWrite, xdr_Device_WriteParms, args, xdr_Device_WriteResp, &response,
                  milliseconds(io_ms + lock_ms + 4000))) {
            return -1000;
        }
        if (size) *size = static_cast<uint32_t>(response.size);
        return static_cast<int32_t>(response.error);
    }

    struct ReadResult {
        int32_t error = -1000;
        int32_t reason = 0;
        std::string data;
    };
    ReadResult Read(int32_t link, uint32_t size = 4096, uint32_t io_ms = 2000, uint32_t flags = 0,
                    char term = 0) {
        Device_ReadParms args{};
        args.lid = link;
        args.requestSize = size;
        args.io_timeout = io_ms;
        args.flags = flags;
        args.termChar = term;
        Device_ReadResp response{};
        ReadResult result;
        if (Call(vxi11::kDeviceRead, xdr_Device_ReadParms, args, xdr_Device_ReadResp, &response,
                 milliseconds(io_ms + 4000))) {
            result.error = static_cast<int32_t>(response.error);
            result.reason = static_cast<int32_t>(response.reason);
            result.data.assign(response.data.data_val, response.data.data_len);
        }
        xdr_free(reinterpret_cast<xdrproc_t>(xdr_Device_ReadResp),
                 reinterpret_cast<char*>(&response));
        return result;
    }

    // A query's answer line, or the read's error.
    std::string Query(int32_t link, const std::string& message) {
        if (const int32_t error = Write(link, message + "\n"); error != 0) {
            return "<write error " + std::to_string(error) + ">";
        }
        const ReadResult read = Read(link);
        if (read.error != 0) return "<read error " + std::to_string(read.error) + ">";
        return read.data;
    }

    // The procedures whose arguments are Device_GenericParms: the error.
    int32_t Generic(uint32_t procedure, int32_t link, uint8_t* stb = nullptr) {
        Device_GenericParms args{};
        args.lid = link;
        args.io_timeout = 2000;
        if (procedure == vxi11::kDeviceReadStb) {
            Device_ReadStbResp response{};
            if (!Call(procedure, xdr_Device_GenericParms, args, xdr_Device_ReadStbResp,
                      &response)) {
                return -1000;
            }
            if (stb) *stb = response.stb;
            return static_cast<int32_t>(response.error);
        }
        Device_Error response{};
        if (!Call(procedure, xdr_Device_GenericParms, args, xdr_Device_Error, &response)) {
            return -1000;
        }
        return static_cast<int32_t>(response.error);
    }

    int32_t Lock(int32_t link, uint32_t flags, uint32_t lock_ms) {
        Device_LockParms args{};
        args.lid = link;
        args.flags = flags;
        args.lock_timeout = lock_ms;
        Device_Error response{};
        if (!Call(vxi11::kDeviceLock, xdr_Device_LockParms, args, xdr_Device_Error, &response,
                  milliseconds(lock_ms + 4000))) {
            return -1000;
        }
        return static_cast<int32_t>(response.error);
    }

    // device_unlock, destroy_link, or device_abort on the abort program.
    int32_t OnLink(uint32_t procedure, int32_t link, uint32_t program = vxi11::kCoreProgram) {
        Device_Link args = link;
        Device_Error response{};
        if (!Call(procedure, xdr_Device_Link, args, xdr_Device_Error, &response, milliseconds(4000),
                  program)) {
            return -1000;
        }
        return static_cast<int32_t>(response.error);
    }

    uint32_t max_receive() const { return max_receive_; }

  private:
    Client socket_;
    uint32_t xid_ = 0;
    uint32_t max_receive_ = 0;
};

}  // namespace velmar::scpi
