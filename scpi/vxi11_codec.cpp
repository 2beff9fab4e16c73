#include "vxi11_codec.h"

#include "rpc_call.h"
#include "vxi11.h"  // made by rpcgen from vxi11.x

// After <rpc/rpc.h>, which it needs and does not include.
#include <rpc/pmap_prot.h>

namespace velmar::scpi::vxi11 {

// The numbers this door answers to are those of the interface definition.
static_assert(kCoreProgram == DEVICE_CORE && kAbortProgram == DEVICE_ASYNC);
static_assert(kVersion == DEVICE_CORE_VERSION && kVersion == DEVICE_ASYNC_VERSION);
static_assert(kDeviceAbort == device_abort && kCreateLink == create_link &&
              kDeviceWrite == device_write && kDeviceRead == device_read &&
              kDeviceReadStb == device_readstb && kDeviceTrigger == device_trigger &&
              kDeviceClear == device_clear && kDeviceRemote == device_remote &&
              kDeviceLocal == device_local && kDeviceLock == device_lock &&
              kDeviceUnlock == device_unlock && kDeviceEnableSrq == device_enable_srq &&
              kDeviceDocmd == device_docmd && kDestroyLink == destroy_link &&
              kCreateIntrChan == create_intr_chan && kDestroyIntrChan == destroy_intr_chan);

namespace {

// destroy_intr_chan's: none, so the record ends after the call's header.
bool_t NoArguments(XDR*, void*) {
    return TRUE;
}

template <typename Args>
xdrproc_t Routine(bool_t (*routine)(XDR*, Args*)) {
    return reinterpret_cast<xdrproc_t>(routine);
}

// Procedure 0 of every program, which clients (rpcinfo -t) call to see that
// it is served: no arguments, and a success with no results.
std::string AnswerNull(rpc::IncomingCall& call) {
    if (!call.Arguments(NoArguments, static_cast<void*>(nullptr))) {
        return rpc::Refusal(call.xid(), GARBAGE_ARGS);
    }
    return rpc::Success(call.xid(), Routine(NoArguments), nullptr);
}

// create_link's arguments as Create_LinkParms has them on the wire, with the
// device name read as the bytes it is: read as a string, a name with a NUL
// in it ("inst1\0junk") would be its part before the NUL.
struct LinkParms {
    long client = 0;
    bool_t lock_device = FALSE;
    u_long lock_timeout = 0;
    char* device = nullptr;
    u_int device_length = 0;
};

bool_t xdr_LinkParms(XDR* xdr, LinkParms* p) {
    return xdr_long(xdr, &p->client) && xdr_bool(xdr, &p->lock_device) &&
           xdr_u_long(xdr, &p->lock_timeout) &&
           xdr_bytes(xdr, &p->device, &p->device_length, VXI11_MOST_DATA);
}

// Decodes the arguments with their routine, hands them to `copy`, and frees
// what the routine allocated.
template <typename Args, typename Copy>
bool Read(rpc::IncomingCall& call, bool_t (*routine)(XDR*, Args*), Copy copy) {
    Args args{};
    const bool read = call.Arguments(routine, &args);
    if (read) copy(args);
    rpc::IncomingCall::FreeArguments(Routine(routine), &args);
    return read;
}

bool ReadArguments(rpc::IncomingCall& call, Request& r) {
    const auto generic = [&r](const Device_GenericParms& p) {
        r.link = static_cast<int32_t>(p.lid);
        r.flags = static_cast<uint32_t>(p.flags);
        r.lock_timeout_ms = static_cast<uint32_t>(p.lock_timeout);
        r.io_timeout_ms = static_cast<uint32_t>(p.io_timeout);
    };
    const auto link = [&r](const Device_Link& lid) { r.link = static_cast<int32_t>(lid); };
    if (r.program == kAbortProgram) {
        return r.procedure == kDeviceAbort && Read(call, xdr_Device_Link, link);
    }
    switch (r.procedure) {
        case kCreateLink:
            return Read(call, xdr_LinkParms, [&r](const LinkParms& p) {
                r.lock_device = p.lock_device != 0;
                r.lock_timeout_ms = static_cast<uint32_t>(p.lock_timeout);
                if (p.device != nullptr) r.data.assign(p.device, p.device_length);
            });
        case kDeviceWrite:
            return Read(call, xdr_Device_WriteParms, [&r](const Device_WriteParms& p) {
                r.link = static_cast<int32_t>(p.lid);
                r.io_timeout_ms = static_cast<uint32_t>(p.io_timeout);
                r.lock_timeout_ms = static_cast<uint32_t>(p.lock_timeout);
                r.flags = static_cast<uint32_t>(p.flags);
                r.data.assign(p.data.data_val, p.data.data_len);
            });
        case kDeviceRead:
            return Read(call, xdr_Device_ReadParms, [&r](const Device_ReadParms& p) {
                r.link = static_cast<int32_t>(p.lid);
                r.request_size = static_cast<uint32_t>(p.requestSize);
                r.io_timeout_ms = static_cast<uint32_t>(p.io_timeout);
                r.lock_timeout_ms = static_cast<uint32_t>(p.lock_timeout);
                r.flags = static_cast<uint32_t>(p.flags);
                r.term_char = p.termChar;
            });
        case kDeviceReadStb:
        case kDeviceTrigger:
        case kDeviceClear:
        case kDeviceRemote:
        case kDeviceLocal:
            return Read(call, xdr_Device_GenericParms, generic);
        case kDeviceLock:
            return Read(call, xdr_Device_LockParms, [&r](const Device_LockParms& p) {
                r.link = static_cast<int32_t>(p.lid);
                r.flags = static_cast<uint32_t>(p.flags);
                r.lock_timeout_ms = static_cast<uint32_t>(p.lock_timeout);
            });
        case kDeviceUnlock:
        case kDestroyLink:
            return Read(call, xdr_Device_Link, link);
        case kDeviceEnableSrq:
            return Read(call, xdr_Device_EnableSrqParms, [&r](const Device_EnableSrqParms& p) {
                r.link = static_cast<int32_t>(p.lid);
            });
        case kDeviceDocmd:
            return Read(call, xdr_Device_DocmdParms, [&r](const Device_DocmdParms& p) {
                r.link = static_cast<int32_t>(p.lid);
                r.flags = static_cast<uint32_t>(p.flags);
            });
        case kCreateIntrChan:
            return Read(call, xdr_Device_RemoteFunc, [](const Device_RemoteFunc&) {});
        case kDestroyIntrChan:
            return call.Arguments(NoArguments, static_cast<void*>(nullptr));
    }
    return false;
}

bool Known(uint32_t program, uint32_t procedure) {
    if (program == kAbortProgram) return procedure == kDeviceAbort;
    switch (procedure) {
        case kCreateLink:
        case kDeviceWrite:
        case kDeviceRead:
        case kDeviceReadStb:
        case kDeviceTrigger:
        case kDeviceClear:
        case kDeviceRemote:
        case kDeviceLocal:
        case kDeviceLock:
        case kDeviceUnlock:
        case kDeviceEnableSrq:
        case kDeviceDocmd:
        case kDestroyLink:
        case kCreateIntrChan:
        case kDestroyIntrChan:
            return true;
    }
    return false;
}

}  // namespace

Decoded Decode(const std::string& record) {
    rpc::IncomingCall call(record);
    Decoded decoded;
    switch (call.kind()) {
        case rpc::IncomingCall::Kind::kNotACall:
            decoded.not_a_call = true;
            return decoded;
        case rpc::IncomingCall::Kind::kRpcMismatch:
            decoded.reply = rpc::RpcMismatch(call.xid());
            return decoded;
        case rpc::IncomingCall::Kind::kCall:
            break;
    }
    const uint32_t xid = call.xid();
    if (call.program() != kCoreProgram && call.program() != kAbortProgram) {
        decoded.reply = rpc::Refusal(xid, PROG_UNAVAIL);
    } else if (call.version() != kVersion) {
        decoded.reply = rpc::Refusal(xid, PROG_MISMATCH, kVersion, kVersion);
    } else if (call.procedure() == 0) {
        decoded.reply = AnswerNull(call);
    } else if (!Known(call.program(), call.procedure())) {
        decoded.reply = rpc::Refusal(xid, PROC_UNAVAIL);
    } else {
        Request request;
        request.xid = xid;
        request.program = call.program();
        request.procedure = call.procedure();
        if (ReadArguments(call, request)) {
            decoded.request = std::move(request);
        } else {
            decoded.reply = rpc::Refusal(xid, GARBAGE_ARGS);
        }
    }
    return decoded;
}

std::string Answer(const Request& request, const Result& result) {
    const uint32_t xid = request.xid;
    const auto error = static_cast<Device_ErrorCode>(result.error);
    if (request.program == kCoreProgram) {
        switch (request.procedure) {
            case kCreateLink: {
                Create_LinkResp r{error, result.link, result.abort_port, result.max_receive};
                return rpc::Success(xid, Routine(xdr_Create_LinkResp), &r);
            }
            case kDeviceWrite: {
                Device_WriteResp r{error, result.size};
                return rpc::Success(xid, Routine(xdr_Device_WriteResp), &r);
            }
            case kDeviceRead: {
                Device_ReadResp r{};
                r.error = error;
                r.reason = result.reason;
                r.data.data_len = static_cast<u_int>(result.data.size());
                r.data.data_val = const_cast<char*>(result.data.data());
                return rpc::Success(xid, Routine(xdr_Device_ReadResp), &r);
            }
            case kDeviceReadStb: {
                Device_ReadStbResp r{error, result.stb};
                return rpc::Success(xid, Routine(xdr_Device_ReadStbResp), &r);
            }
            case kDeviceDocmd: {
                Device_DocmdResp r{};
                r.error = error;
                return rpc::Success(xid, Routine(xdr_Device_DocmdResp), &r);
            }
        }
    }
    Device_Error r{error};
    return rpc::Success(xid, Routine(xdr_Device_Error), &r);
}

namespace {

uint16_t PortFor(const pmap& wanted, uint16_t vxi11_port) {
    if (wanted.pm_prog == PMAPPROG && wanted.pm_vers == PMAPVERS &&
        (wanted.pm_prot == IPPROTO_TCP || wanted.pm_prot == IPPROTO_UDP)) {
        return kPortmapperPort;
    }
    if ((wanted.pm_prog == kCoreProgram || wanted.pm_prog == kAbortProgram) &&
        wanted.pm_vers == kVersion && wanted.pm_prot == IPPROTO_TCP) {
        return vxi11_port;
    }
    return 0;
}

// What DUMP lists: the programs GETPORT knows.
std::string Dump(uint32_t xid, uint16_t vxi11_port) {
    pmaplist entries[4] = {};
    const pmap maps[4] = {{PMAPPROG, PMAPVERS, IPPROTO_TCP, kPortmapperPort},
                          {PMAPPROG, PMAPVERS, IPPROTO_UDP, kPortmapperPort},
                          {kCoreProgram, kVersion, IPPROTO_TCP, vxi11_port},
                          {kAbortProgram, kVersion, IPPROTO_TCP, vxi11_port}};
    for (size_t i = 0; i < 4; ++i) {
        entries[i].pml_map = maps[i];
        entries[i].pml_next = i + 1 < 4 ? &entries[i + 1] : nullptr;
    }
    pmaplist* list = entries;
    return rpc::Success(xid, Routine(xdr_pmaplist), &list);
}

}  // namespace

std::string AnswerPortmapper(const std::string& record, uint16_t vxi11_port) {
    rpc::IncomingCall call(record);
    switch (call.kind()) {
        case rpc::IncomingCall::Kind::kNotACall:
            return {};
        case rpc::IncomingCall::Kind::kRpcMismatch:
            return rpc::RpcMismatch(call.xid());
        case rpc::IncomingCall::Kind::kCall:
            break;
    }
    const uint32_t xid = call.xid();
    if (call.program() != PMAPPROG) return rpc::Refusal(xid, PROG_UNAVAIL);
    // rpcbind's versions 3 and 4 are not served: their clients fall back to 2.
    if (call.version() != PMAPVERS) return rpc::Refusal(xid, PROG_MISMATCH, PMAPVERS, PMAPVERS);
    switch (call.procedure()) {
        case PMAPPROC_NULL:
            return AnswerNull(call);
        case PMAPPROC_SET:
        case PMAPPROC_UNSET:
        case PMAPPROC_GETPORT: {
            pmap wanted{};
            if (!call.Arguments(xdr_pmap, &wanted)) break;
            if (call.procedure() != PMAPPROC_GETPORT) {
                bool_t done = FALSE;
                return rpc::Success(xid, Routine(xdr_bool), &done);
            }
            u_long port = PortFor(wanted, vxi11_port);
            return rpc::Success(xid, Routine(xdr_u_long), &port);
        }
        case PMAPPROC_DUMP:
            if (!call.Arguments(NoArguments, static_cast<void*>(nullptr))) break;
            return Dump(xid, vxi11_port);
        default:
            return rpc::Refusal(xid, PROC_UNAVAIL);
    }
    return rpc::Refusal(xid, GARBAGE_ARGS);
}

}  // namespace velmar::scpi::vxi11
