// The VXI-11 calls as the door acts on them: a record of the core or the
// abort channel decoded into one Request (with rpcgen's XDR routines from
// vxi11.x), and a Result encoded as the procedure's reply. Nothing here
// touches a socket: the fuzz harness runs the door's own decoding.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace velmar::scpi::vxi11 {

constexpr uint32_t kCoreProgram = 0x0607AF;
constexpr uint32_t kAbortProgram = 0x0607B0;
constexpr uint32_t kVersion = 1;

// The procedures, by their numbers on the wire (checked against vxi11.x).
enum Procedure : uint32_t {
    kDeviceAbort = 1,  // on the abort channel
    kCreateLink = 10,
    kDeviceWrite = 11,
    kDeviceRead = 12,
    kDeviceReadStb = 13,
    kDeviceTrigger = 14,
    kDeviceClear = 15,
    kDeviceRemote = 16,
    kDeviceLocal = 17,
    kDeviceLock = 18,
    kDeviceUnlock = 19,
    kDeviceEnableSrq = 20,
    kDeviceDocmd = 22,
    kDestroyLink = 23,
    kCreateIntrChan = 25,
    kDestroyIntrChan = 26,
};

// The error codes a reply carries.
enum Error : int32_t {
    kNoError = 0,
    kSyntaxError = 1,
    kDeviceNotAccessible = 3,
    kInvalidLink = 4,
    kParameterError = 5,
    kNotSupported = 8,
    kOutOfResources = 9,
    kDeviceLocked = 11,  // by another link
    kNoLockHeld = 12,    // by this link
    kIoTimeout = 15,
    kIoError = 17,
    kAbort = 23,
};

// The flags of a call.
constexpr uint32_t kWaitLock = 0x01;
constexpr uint32_t kEnd = 0x08;
constexpr uint32_t kTermCharSet = 0x80;
// Why a device_read ended, any of them at once.
constexpr int32_t kReasonRequestCount = 0x01;
constexpr int32_t kReasonTermChar = 0x02;
constexpr int32_t kReasonEnd = 0x04;

// A call's arguments, those its procedure has.
struct Request {
    uint32_t xid = 0;
    uint32_t program = 0;
    uint32_t procedure = 0;
    int32_t link = 0;
    uint32_t flags = 0;
    uint32_t io_timeout_ms = 0;
    uint32_t lock_timeout_ms = 0;
    uint32_t request_size = 0;  // device_read
    char term_char = 0;         // device_read
    bool lock_device = false;   // create_link
    // device_write's bytes; create_link's device name.
    std::string data;
};

// What a record asks for: a request, or the RPC's own reply to send (a
// refusal, or procedure 0's empty success), or nothing to answer (a record
// that is not a call).
struct Decoded {
    std::optional<Request> request;
    std::string reply;
    // A record that cannot be read as a call; no answer can be addressed.
    bool not_a_call = false;
};

Decoded Decode(const std::string& record);

// The results of a procedure: those its reply carries.
struct Result {
    int32_t error = kNoError;
    int32_t link = 0;          // create_link
    uint16_t abort_port = 0;   // create_link
    uint32_t max_receive = 0;  // create_link
    uint32_t size = 0;         // device_write: bytes taken
    int32_t reason = 0;        // device_read
    std::string data;          // device_read
    uint8_t stb = 0;           // device_readstb
};

// The reply record (without its mark) to a request: the results as the
// request's procedure has them.
std::string Answer(const Request& request, const Result& result);

// The portmapper (program 100000 version 2) as far as VXI-11 clients need
// it: NULL, and GETPORT, which answers the core and abort channel's port for
// their programs over TCP, 111 for the portmapper itself, and 0 (not
// registered) for anything else. SET and UNSET answer false: it keeps no
// other program's port. The reply to one call, a whole record without its
// mark; empty when the record is not a call and has no answer.
constexpr uint16_t kPortmapperPort = 111;
std::string AnswerPortmapper(const std::string& record, uint16_t vxi11_port);

}  // namespace velmar::scpi::vxi11
