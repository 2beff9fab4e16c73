// velmar-dds-scpi's VXI-11 door, call by call, against two simulated
// instruments: what each procedure does to a link and an instrument, the
// locks between links, and the RPC's own refusals for records no client
// should send. After each bad record the server still opens links.

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <thread>

#include "velmar/dds.h"
#include "vxi11_client.h"
#include "vxi11_door.h"

namespace velmar::scpi {
namespace {

using vxi11::kAbortProgram;
using vxi11::kCoreProgram;

const std::string kIdn0 = "VELMAR,DDS,dds0," VELMAR_DDS_VERSION_STRING "\n";
const std::string kIdn1 = "VELMAR,DDS,dds1," VELMAR_DDS_VERSION_STRING "\n";

class Vxi11Test : public ::testing::Test {
  protected:
    explicit Vxi11Test(std::vector<std::string> args = {"--http", "0"})
        : rig_(std::move(args)), port_(WaitForVxi11Port(rig_)) {}
    void SetUp() override { ASSERT_NE(port_, 0) << rig_.log(); }

    // A fresh connection opens a link and asks; true when it is answered.
    bool StillServes() {
        Vxi11Client probe(port_);
        const int32_t link = probe.CreateLink("inst0");
        return link >= 0 && probe.Query(link, "*IDN?") == kIdn0;
    }

    Rig rig_;
    const uint16_t port_;
};

TEST_F(Vxi11Test, LinksReachTheirOwnInstruments) {
    Vxi11Client client(port_);
    const int32_t first = client.CreateLink("inst0");
    const int32_t second = client.CreateLink("inst1");
    ASSERT_GE(first, 0);
    ASSERT_GE(second, 0);
    EXPECT_EQ(client.max_receive(), kVxi11MostWriteBytes);
    EXPECT_EQ(client.Query(first, "*IDN?"), kIdn0);
    EXPECT_EQ(client.Query(second, "*IDN?"), kIdn1);
    // Each link its own error queue, as a socket client has.
    EXPECT_EQ(client.Write(first, "FOO\n"), vxi11::kNoError);
    EXPECT_EQ(client.Query(second, "SYST:ERR?"), "0,\"No error\"\n");
    EXPECT_EQ(client.Query(first, "SYST:ERR?"), "-113,\"Undefined header\"\n");
    EXPECT_EQ(client.OnLink(vxi11::kDestroyLink, first), vxi11::kNoError);
    EXPECT_EQ(client.Write(first, "*IDN?\n"), vxi11::kInvalidLink);
    EXPECT_EQ(client.OnLink(vxi11::kDestroyLink, first), vxi11::kInvalidLink);
}

TEST_F(Vxi11Test, DeviceNamesOtherThanInstNAreRefused) {
    Vxi11Client client(port_);
    using namespace std::string_literals;
    for (const std::string& name : {"inst2"s, "inst"s, "inst00"s, "inst01"s, "INST0"s, "gpib0,1"s,
                                    "inst0x"s, "inst99999"s, ""s, "inst1\0junk"s, "inst0\0"s}) {
        EXPECT_EQ(client.CreateLink(name), -vxi11::kDeviceNotAccessible) << Printable(name, 20);
    }
    EXPECT_GE(client.CreateLink("inst1"), 0);
}

TEST_F(Vxi11Test, MessagesEndAtEndOrNewlineAndSpanWrites) {
    Vxi11Client client(port_);
    const int32_t link = client.CreateLink("inst0");
    // END alone ends a message, as lxi-tools sends it.
    EXPECT_EQ(client.Write(link, "*IDN?"), vxi11::kNoError);
    EXPECT_EQ(client.Read(link).data, kIdn0);
    // A message over three writes, only the last with END.
    EXPECT_EQ(client.Write(link, "SYST:", 0), vxi11::kNoError);
    EXPECT_EQ(client.Write(link, "ERR", 0), vxi11::kNoError);
    EXPECT_EQ(client.Write(link, "?"), vxi11::kNoError);
    EXPECT_EQ(client.Read(link).data, "0,\"No error\"\n");
    // Two messages in one write: two lines, read one after the other.
    EXPECT_EQ(client.Write(link, "*IDN?\n*OPC?\n"), vxi11::kNoError);
    EXPECT_EQ(client.Read(link).data, kIdn0);
    EXPECT_EQ(client.Read(link).data, "1\n");
}

TEST_F(Vxi11Test, ReadsEndAtTheLineTheSizeOrTheTermChar) {
    Vxi11Client client(port_);
    const int32_t link = client.CreateLink("inst1");
    ASSERT_EQ(client.Write(link, "*IDN?\n"), vxi11::kNoError);
    struct Step {
        uint32_t size;
        uint32_t flags;
        char term;
        int32_t reason;
        std::string data;
    };
    const Step steps[] = {
        {4, 0, 0, vxi11::kReasonRequestCount, "VELM"},
        {100, vxi11::kTermCharSet, ',', vxi11::kReasonTermChar, "AR,"},
        {3, vxi11::kTermCharSet, ',', vxi11::kReasonRequestCount, "DDS"},
        {1, vxi11::kTermCharSet, ',', vxi11::kReasonRequestCount | vxi11::kReasonTermChar, ","},
        {100, 0, 0, vxi11::kReasonEnd, kIdn1.substr(11)},  // dds1,<version>\n
    };
    for (const Step& step : steps) {
        const Vxi11Client::ReadResult read =
            client.Read(link, step.size, 2000, step.flags, step.term);
        EXPECT_EQ(read.error, vxi11::kNoError) << step.data;
        EXPECT_EQ(read.reason, step.reason) << step.data;
        EXPECT_EQ(read.data, step.data);
    }
    // The newline as the term char ends the line with both reasons.
    ASSERT_EQ(client.Write(link, "*OPC?\n"), vxi11::kNoError);
    const Vxi11Client::ReadResult read = client.Read(link, 100, 2000, vxi11::kTermCharSet, '\n');
    EXPECT_EQ(read.reason, vxi11::kReasonTermChar | vxi11::kReasonEnd);
}

TEST_F(Vxi11Test, AReadWithNothingToComeFailsAtOnceAndQueues420) {
    Vxi11Client client(port_);
    const int32_t link = client.CreateLink("inst0");
    const auto asked = steady_clock::now();
    EXPECT_EQ(client.Read(link, 100, 60000).error, vxi11::kIoTimeout);
    EXPECT_LT(steady_clock::now() - asked, std::chrono::seconds(5));
    EXPECT_EQ(client.Query(link, "SYST:ERR?"), "-420,\"Query UNTERMINATED\"\n");
    // A new message while an answer is unread: the answer is dropped, -410.
    ASSERT_EQ(client.Write(link, "*IDN?\n"), vxi11::kNoError);
    EXPECT_EQ(client.Query(link, "SYST:ERR?"), "-410,\"Query INTERRUPTED\"\n");
}

TEST_F(Vxi11Test, StatusByteClearTriggerRemoteLocal) {
    Vxi11Client client(port_);
    const int32_t link = client.CreateLink("inst0");
    uint8_t stb = 0xFF;
    EXPECT_EQ(client.Generic(vxi11::kDeviceReadStb, link, &stb), vxi11::kNoError);
    EXPECT_EQ(stb, 0);
    ASSERT_EQ(client.Write(link, "FOO;*IDN?\n"), vxi11::kNoError);
    EXPECT_EQ(client.Generic(vxi11::kDeviceReadStb, link, &stb), vxi11::kNoError);
    EXPECT_EQ(stb, 0x10 | 0x04);  // MAV and an error queued
    // The clear drops the answer; the queue stays (no -410 follows).
    EXPECT_EQ(client.Generic(vxi11::kDeviceClear, link), vxi11::kNoError);
    EXPECT_EQ(client.Generic(vxi11::kDeviceReadStb, link, &stb), vxi11::kNoError);
    EXPECT_EQ(stb, 0x04);
    EXPECT_EQ(client.Query(link, "SYST:ERR?"), "-113,\"Undefined header\"\n");
    EXPECT_EQ(client.Query(link, "SYST:ERR?"), "0,\"No error\"\n");
    // It drops half a message too: what follows starts a new one.
    ASSERT_EQ(client.Write(link, "*IDN", 0), vxi11::kNoError);
    EXPECT_EQ(client.Generic(vxi11::kDeviceClear, link), vxi11::kNoError);
    EXPECT_EQ(client.Query(link, "*OPC?"), "1\n");
    // The trigger is *TRG through the command layer; remote and local are
    // taken as they are.
    EXPECT_EQ(client.Generic(vxi11::kDeviceTrigger, link), vxi11::kNoError);
    EXPECT_EQ(client.Generic(vxi11::kDeviceRemote, link), vxi11::kNoError);
    EXPECT_EQ(client.Generic(vxi11::kDeviceLocal, link), vxi11::kNoError);
    EXPECT_EQ(client.Query(link, "*OPC?;SYST:ERR?"), "1;0,\"No error\"\n");
    EXPECT_NE(rig_.log().find("link " + std::to_string(link) + ": *TRG"), std::string::npos);
    // A trigger between the writes of a message leaves the message whole.
    ASSERT_EQ(client.Write(link, "FREQ 1234", 0), vxi11::kNoError);
    EXPECT_EQ(client.Generic(vxi11::kDeviceTrigger, link), vxi11::kNoError);
    ASSERT_EQ(client.Write(link, "\n"), vxi11::kNoError);
    EXPECT_EQ(client.Query(link, "SYST:ERR?"), "0,\"No error\"\n");
    ExpectAnswer("FREQ?", client.Query(link, "FREQ?"), "~1234");
    EXPECT_EQ(client.Generic(vxi11::kDeviceClear, 12345), vxi11::kInvalidLink);
}

TEST_F(Vxi11Test, InterruptsAndDocmdAreNotSupported) {
    Vxi11Client client(port_);
    const int32_t link = client.CreateLink("inst0");
    ASSERT_GE(link, 0);
    const auto srq = [](int32_t lid) {
        Device_EnableSrqParms args{};
        args.lid = lid;
        return Encoded(xdr_Device_EnableSrqParms, args);
    };
    const auto docmd = [](int32_t lid) {
        Device_DocmdParms args{};
        args.lid = lid;
        return Encoded(xdr_Device_DocmdParms, args);
    };
    // A call that names a link has it checked first.
    const struct {
        uint32_t procedure;
        std::string arguments;
        int32_t error;
    } cases[] = {
        {vxi11::kDeviceEnableSrq, srq(link), vxi11::kNotSupported},
        {vxi11::kDeviceEnableSrq, srq(link + 100), vxi11::kInvalidLink},
        {vxi11::kDeviceDocmd, docmd(link), vxi11::kNotSupported},
        {vxi11::kDeviceDocmd, docmd(link + 100), vxi11::kInvalidLink},
        {vxi11::kCreateIntrChan, Encoded(xdr_Device_RemoteFunc, Device_RemoteFunc{}),
         vxi11::kNotSupported},
        {vxi11::kDestroyIntrChan, "", vxi11::kNotSupported},
    };
    for (const auto& c : cases) {
        Device_Error error{-1};  // each reply's first word
        ASSERT_TRUE(client.Call(c.procedure, c.arguments, xdr_Device_Error, &error)) << c.procedure;
        EXPECT_EQ(error.error, c.error) << c.procedure;
    }
    EXPECT_EQ(client.Query(link, "*IDN?"), kIdn0);
}

TEST_F(Vxi11Test, LocksKeepOtherLinksOutForTheirTime) {
    Vxi11Client holder(port_), other(port_);
    const int32_t held = holder.CreateLink("inst0");
    const int32_t waiting = other.CreateLink("inst0");
    const int32_t neighbour = other.CreateLink("inst1");
    EXPECT_EQ(other.OnLink(vxi11::kDeviceUnlock, waiting), vxi11::kNoLockHeld);
    EXPECT_EQ(holder.Lock(held, 0, 0), vxi11::kNoError);
    // Without waitlock: refused at once. With it: refused after its time.
    EXPECT_EQ(other.Write(waiting, "*IDN?\n", vxi11::kEnd), vxi11::kDeviceLocked);
    EXPECT_EQ(other.Lock(waiting, 0, 5000), vxi11::kDeviceLocked);
    const auto asked = steady_clock::now();
    EXPECT_EQ(other.Lock(waiting, vxi11::kWaitLock, 300), vxi11::kDeviceLocked);
    EXPECT_GE(steady_clock::now() - asked, milliseconds(250));
    // Another instrument, and the holder itself, are served meanwhile.
    EXPECT_EQ(other.Query(neighbour, "*IDN?"), kIdn1);
    EXPECT_EQ(holder.Query(held, "*IDN?"), kIdn0);
    // A waiting write goes through once the lock is freed.
    std::future<int32_t> write = std::async(std::launch::async, [&] {
        return other.Write(waiting, "*IDN?\n", vxi11::kEnd | vxi11::kWaitLock, 2000, 10000);
    });
    EXPECT_EQ(write.wait_for(milliseconds(300)), std::future_status::timeout);
    EXPECT_EQ(holder.OnLink(vxi11::kDeviceUnlock, held), vxi11::kNoError);
    ASSERT_EQ(write.wait_for(milliseconds(3000)), std::future_status::ready);
    EXPECT_EQ(write.get(), vxi11::kNoError);
    EXPECT_EQ(other.Read(waiting).data, kIdn0);
    // Destroying a link, or closing its connection, frees its lock.
    EXPECT_EQ(other.Lock(waiting, 0, 0), vxi11::kNoError);
    EXPECT_EQ(holder.Lock(held, 0, 0), vxi11::kDeviceLocked);
    EXPECT_EQ(other.OnLink(vxi11::kDestroyLink, waiting), vxi11::kNoError);
    EXPECT_EQ(holder.Lock(held, 0, 0), vxi11::kNoError);
    {
        Vxi11Client third(port_);
        const int32_t link = third.CreateLink("inst1", /*lock=*/true, 0);
        ASSERT_GE(link, 0);
        EXPECT_EQ(other.Lock(neighbour, 0, 0), vxi11::kDeviceLocked);
        // create_link with its lock waits for it too.
        EXPECT_EQ(other.CreateLink("inst1", true, 200), -vxi11::kDeviceLocked);
    }
    EXPECT_EQ(other.Lock(neighbour, vxi11::kWaitLock, 3000), vxi11::kNoError);
}

TEST_F(Vxi11Test, AbortEndsTheCallALinkWaitsIn) {
    Vxi11Client holder(port_), waiter(port_), abort(port_);
    const int32_t link = waiter.CreateLink("inst0");  // the server's first
    const int32_t held = holder.CreateLink("inst0");
    ASSERT_EQ(holder.Lock(held, 0, 0), vxi11::kNoError);
    const auto asked = steady_clock::now();
    std::future<int32_t> waiting =
        std::async(std::launch::async, [&] { return waiter.Lock(link, vxi11::kWaitLock, 20000); });
    std::this_thread::sleep_for(milliseconds(200));
    EXPECT_EQ(abort.OnLink(vxi11::kDeviceAbort, link, kAbortProgram), vxi11::kNoError);
    ASSERT_EQ(waiting.wait_for(milliseconds(3000)), std::future_status::ready);
    EXPECT_EQ(waiting.get(), vxi11::kAbort);
    EXPECT_LT(steady_clock::now() - asked, std::chrono::seconds(5));
    EXPECT_EQ(abort.OnLink(vxi11::kDeviceAbort, 9999, kAbortProgram), vxi11::kInvalidLink);
    // Ids start at 1: link 0, a create_link's when a call names none, is
    // nobody's, and aborts no create_link that waits for its lock.
    EXPECT_GT(link, 0);
    std::future<int32_t> creating =
        std::async(std::launch::async, [&] { return waiter.CreateLink("inst0", true, 1000); });
    std::this_thread::sleep_for(milliseconds(200));
    EXPECT_EQ(abort.OnLink(vxi11::kDeviceAbort, 0, kAbortProgram), vxi11::kInvalidLink);
    EXPECT_EQ(creating.get(), -vxi11::kDeviceLocked);
}

// A call (marked) that waits for the instrument's lock as long as a client
// may ask: ~49 days.
std::string WaitingCall(uint32_t procedure, int32_t link, uint32_t xid = 99) {
    const u_long forever = 0xFFFFFFFF;
    std::string args;
    if (procedure == vxi11::kCreateLink) {
        Create_LinkParms p{1, TRUE, forever, const_cast<char*>("inst0")};
        args = Encoded(xdr_Create_LinkParms, p);
    } else if (procedure == vxi11::kDeviceLock) {
        args = Encoded(xdr_Device_LockParms, Device_LockParms{link, vxi11::kWaitLock, forever});
    } else if (procedure == vxi11::kDeviceRead) {
        args = Encoded(xdr_Device_ReadParms,
                       Device_ReadParms{link, 100, forever, forever, vxi11::kWaitLock, 0});
    } else {
        Device_WriteParms p{link, forever, forever, vxi11::kWaitLock | vxi11::kEnd, {6, nullptr}};
        p.data.data_val = const_cast<char*>("*IDN?\n");
        args = Encoded(xdr_Device_WriteParms, p);
    }
    return rpc::Mark(CallRecord(xid, kCoreProgram, vxi11::kVersion, procedure, args));
}

// A client that goes away while its call waits is noticed at once: its
// connection closes, and with it its links and their locks.
TEST_F(Vxi11Test, AClientGoneWhileItsCallWaitsFreesItsLocks) {
    Vxi11Client holder(port_), other(port_);
    const int32_t held = holder.CreateLink("inst0", /*lock=*/true);
    const int32_t neighbour = other.CreateLink("inst1");
    ASSERT_GE(held, 0);
    ASSERT_GE(neighbour, 0);
    for (const uint32_t procedure :
         {vxi11::kDeviceLock, vxi11::kDeviceRead, vxi11::kDeviceWrite, vxi11::kCreateLink}) {
        auto gone = std::make_unique<Vxi11Client>(port_);
        ASSERT_GE(gone->CreateLink("inst1", /*lock=*/true), 0) << procedure;
        const int32_t link = gone->CreateLink("inst0");
        ASSERT_TRUE(gone->SendRaw(WaitingCall(procedure, link))) << procedure;
        std::this_thread::sleep_for(milliseconds(100));
        gone.reset();
        EXPECT_EQ(other.Lock(neighbour, vxi11::kWaitLock, 3000), vxi11::kNoError) << procedure;
        EXPECT_EQ(other.OnLink(vxi11::kDeviceUnlock, neighbour), vxi11::kNoError) << procedure;
    }
    EXPECT_NE(rig_.log().find("closed: the client ended its input while a call waited"),
              std::string::npos)
        << rig_.log();
    EXPECT_EQ(holder.Query(held, "*IDN?"), kIdn0);
}

TEST_F(Vxi11Test, AConnectionHoldsAtMost16Links) {
    Vxi11Client client(port_);
    for (size_t i = 0; i < kVxi11MostLinksPerConnection; ++i) {
        ASSERT_GE(client.CreateLink(i % 2 ? "inst1" : "inst0"), 0) << i;
    }
    EXPECT_EQ(client.CreateLink("inst0"), -vxi11::kOutOfResources);
    EXPECT_TRUE(StillServes());
}

// A record the RPC answers on its own, one no client should send or
// rpcinfo's NULL ping, and what the server does with it.
struct BadRecord {
    const char* what;
    std::string record;  // marked, as sent
    // The reply: accepted with this status, or denied (RPC_MISMATCH); or
    // nothing, the connection closed.
    enum Outcome { kAccepted, kRpcMismatch, kClosed } outcome;
    accept_stat status = SUCCESS;
    uint32_t low = 0, high = 0;
};

std::vector<BadRecord> BadRecords() {
    Create_LinkParms link{};
    link.device = const_cast<char*>("inst0");
    const std::string create = Encoded(xdr_Create_LinkParms, link);
    // A device name that declares 2 MiB in a record of a few bytes.
    std::string huge_name = create.substr(0, 12) + std::string("\x00\x20\x00\x00", 4) + "inst0";
    const auto marked = [](const std::string& record) { return rpc::Mark(record); };
    std::string oversized("\x80\x04\x10\x00", 4);  // a last fragment of 266 KiB
    return {
        {"another program", marked(CallRecord(1, 0x0607B1, 1, 10, create)), BadRecord::kAccepted,
         PROG_UNAVAIL},
        {"another version", marked(CallRecord(2, kCoreProgram, 2, 10, create)),
         BadRecord::kAccepted, PROG_MISMATCH, 1, 1},
        {"an unknown procedure", marked(CallRecord(3, kCoreProgram, 1, 21)), BadRecord::kAccepted,
         PROC_UNAVAIL},
        {"a procedure past the last", marked(CallRecord(4, kCoreProgram, 1, 0xFFFFFFFF)),
         BadRecord::kAccepted, PROC_UNAVAIL},
        {"the abort program's unknown procedure", marked(CallRecord(5, kAbortProgram, 1, 2)),
         BadRecord::kAccepted, PROC_UNAVAIL},
        // Procedure 0 answers with no results, as every program's does.
        {"the core program's procedure 0", marked(CallRecord(12, kCoreProgram, 1, 0)),
         BadRecord::kAccepted, SUCCESS},
        {"the abort program's procedure 0", marked(CallRecord(13, kAbortProgram, 1, 0)),
         BadRecord::kAccepted, SUCCESS},
        {"procedure 0 with arguments", marked(CallRecord(14, kCoreProgram, 1, 0, "xxxx")),
         BadRecord::kAccepted, GARBAGE_ARGS},
        {"arguments cut short", marked(CallRecord(6, kCoreProgram, 1, 10, create.substr(0, 10))),
         BadRecord::kAccepted, GARBAGE_ARGS},
        {"no arguments", marked(CallRecord(7, kCoreProgram, 1, 11)), BadRecord::kAccepted,
         GARBAGE_ARGS},
        {"bytes after the arguments", marked(CallRecord(8, kCoreProgram, 1, 10, create + "xxxx")),
         BadRecord::kAccepted, GARBAGE_ARGS},
        {"a name longer than the record", marked(CallRecord(9, kCoreProgram, 1, 10, huge_name)),
         BadRecord::kAccepted, GARBAGE_ARGS},
        {"RPC version 3", marked(CallRecord(10, kCoreProgram, 1, 10, create, 3)),
         BadRecord::kRpcMismatch, SUCCESS, 2, 2},
        {"a reply, not a call", marked(std::string("\0\0\0\x0b\0\0\0\x01\0\0\0\0", 12)),
         BadRecord::kClosed},
        {"a header cut short", marked(CallRecord(11, kCoreProgram, 1, 10).substr(0, 20)),
         BadRecord::kClosed},
        {"an empty record", marked(""), BadRecord::kClosed},
        {"a record over the bound", oversized + std::string(4096, 'x'), BadRecord::kClosed},
    };
}

TEST_F(Vxi11Test, BadRecordsGetTheRpcsOwnAnswers) {
    for (const BadRecord& bad : BadRecords()) {
        Vxi11Client client(port_);
        ASSERT_TRUE(client.SendRaw(bad.record)) << bad.what;
        const std::optional<std::string> reply = client.Receive();
        if (bad.outcome == BadRecord::kClosed) {
            EXPECT_FALSE(reply) << bad.what;
            EXPECT_TRUE(client.closed()) << bad.what;
        } else {
            ASSERT_TRUE(reply) << bad.what;
            const std::optional<ReplyHeader> header = DecodeReply(*reply);
            ASSERT_TRUE(header) << bad.what;
            EXPECT_EQ(header->accepted, bad.outcome == BadRecord::kAccepted) << bad.what;
            if (bad.outcome == BadRecord::kAccepted) {
                EXPECT_EQ(header->status, bad.status) << bad.what;
                // A success carries no results: a header of six words.
                if (bad.status == SUCCESS) {
                    EXPECT_EQ(reply->size(), 24u) << bad.what;
                }
            } else {
                EXPECT_EQ(header->rejected, RPC_MISMATCH) << bad.what;
            }
            EXPECT_EQ(header->low, bad.low) << bad.what;
            EXPECT_EQ(header->high, bad.high) << bad.what;
            // The connection goes on.
            const int32_t link = client.CreateLink("inst0");
            EXPECT_GE(link, 0) << bad.what;
            EXPECT_EQ(client.Query(link, "*IDN?"), kIdn0) << bad.what;
        }
        EXPECT_TRUE(StillServes()) << bad.what;
    }
}

TEST_F(Vxi11Test, OversizedWritesAreRefusedAndFragmentsJoined) {
    Vxi11Client client(port_);
    const int32_t link = client.CreateLink("inst0");
    uint32_t taken = 99;
    EXPECT_EQ(client.Write(link, std::string(kVxi11MostWriteBytes + 1, ' '), vxi11::kEnd, 2000, 0,
                           &taken),
              vxi11::kParameterError);
    EXPECT_EQ(taken, 0u);
    EXPECT_EQ(client.Write(link, std::string(kVxi11MostWriteBytes - 6, ' ') + "*IDN?\n",
                           vxi11::kEnd, 2000, 0, &taken),
              vxi11::kNoError);
    EXPECT_EQ(taken, kVxi11MostWriteBytes);
    EXPECT_EQ(client.Read(link).data, kIdn0);
    // A call in fragments of a few bytes each, sent a byte at a time.
    Device_GenericParms args{};
    args.lid = link;
    const std::string record = CallRecord(77, kCoreProgram, 1, vxi11::kDeviceReadStb,
                                          Encoded(xdr_Device_GenericParms, args));
    std::string fragments;
    for (size_t at = 0; at < record.size(); at += 7) {
        const std::string part = record.substr(at, 7);
        const bool last = at + 7 >= record.size();
        const uint32_t mark = (last ? 0x80000000u : 0) | static_cast<uint32_t>(part.size());
        for (int shift = 24; shift >= 0; shift -= 8) fragments.push_back(char(mark >> shift));
        fragments += part;
    }
    for (char c : fragments) ASSERT_TRUE(client.SendRaw(std::string(1, c)));
    const std::optional<std::string> reply = client.Receive();
    ASSERT_TRUE(reply);
    Device_ReadStbResp stb{};
    const std::optional<ReplyHeader> header = DecodeReply(*reply, xdr_Device_ReadStbResp, &stb);
    ASSERT_TRUE(header);
    EXPECT_EQ(header->status, SUCCESS);
    EXPECT_EQ(stb.error, vxi11::kNoError);
    // A block declared past the message bound: -161, and the link takes
    // commands again after the END.
    EXPECT_EQ(client.Write(link, "DATA:DAC #9999999999", 0), vxi11::kNoError);
    EXPECT_EQ(client.Write(link, "more of it\n*IDN?\n"), vxi11::kNoError);
    EXPECT_EQ(client.Query(link, "SYST:ERR?"), "-161,\"Invalid block data\"\n");
    EXPECT_EQ(client.Query(link, "*IDN?"), kIdn0);
}

class Vxi11LimitsTest : public Vxi11Test {
  protected:
    Vxi11LimitsTest()
        : Vxi11Test({"--http", "0", "--max-clients", "2", "--idle-timeout", "1", "--allow",
                     "127.0.0.1"}) {}
};

TEST_F(Vxi11LimitsTest, ConnectionsAreBoundedAllowedAndTimedOut) {
    {
        Vxi11Client a(port_), b(port_), c(port_);
        EXPECT_GE(a.CreateLink("inst0"), 0);
        EXPECT_GE(b.CreateLink("inst0"), 0);
        EXPECT_EQ(c.CreateLink("inst0"), -1000);  // closed: --max-clients 2
        EXPECT_TRUE(c.closed());
    }
    {
        Vxi11Client stranger(port_, "127.0.0.2");
        EXPECT_EQ(stranger.CreateLink("inst0"), -1000);  // not in --allow
    }
    Vxi11Client idle(port_);
    const int32_t link = idle.CreateLink("inst0");
    ASSERT_GE(link, 0);
    std::this_thread::sleep_for(milliseconds(2500));
    EXPECT_EQ(idle.Write(link, "*IDN?\n"), -1000);
    EXPECT_NE(rig_.log().find("closed: idle for 1 seconds (--idle-timeout)"), std::string::npos)
        << rig_.log();
    EXPECT_NE(rig_.log().find("127.0.0.2"), std::string::npos);
    EXPECT_TRUE(StillServes());
}

// However long a call asks to wait, it waits at most --idle-timeout (here
// 1 s), and fails as at its own limit; the connection goes on, with the
// call sent behind it.
TEST_F(Vxi11LimitsTest, AWaitEndsAtTheIdleTimeout) {
    Vxi11Client holder(port_), waiter(port_);
    const int32_t held = holder.CreateLink("inst0", /*lock=*/true);
    const int32_t link = waiter.CreateLink("inst0");
    ASSERT_GE(held, 0);
    ASSERT_GE(link, 0);
    const auto asked = steady_clock::now();
    ASSERT_TRUE(
        waiter.SendRaw(WaitingCall(vxi11::kDeviceLock, link, 1) +
                       rpc::Mark(CallRecord(2, kCoreProgram, vxi11::kVersion, vxi11::kDeviceUnlock,
                                            Encoded(xdr_Device_Link, Device_Link{link})))));
    // The holder keeps busy, so that its lock stays.
    std::optional<std::string> reply;
    for (int i = 0; i < 40 && !reply; ++i) {
        EXPECT_EQ(holder.Generic(vxi11::kDeviceReadStb, held), vxi11::kNoError);
        reply = waiter.Receive(milliseconds(100));
    }
    const auto waited = steady_clock::now() - asked;
    ASSERT_TRUE(reply);
    Device_Error locked{};
    ASSERT_TRUE(DecodeReply(*reply, xdr_Device_Error, &locked));
    EXPECT_EQ(locked.error, vxi11::kDeviceLocked);
    EXPECT_GE(waited, milliseconds(900));
    EXPECT_LT(waited, milliseconds(3000));
    Device_Error unlocked{};
    reply = waiter.Receive();
    ASSERT_TRUE(reply);
    ASSERT_TRUE(DecodeReply(*reply, xdr_Device_Error, &unlocked));
    EXPECT_EQ(unlocked.error, vxi11::kNoLockHeld);
}

// The abort channel, a connection without links, is kept while a
// connection of its peer holds a link, however long it is idle itself.
TEST_F(Vxi11LimitsTest, AnAbortChannelLastsAsLongAsItsClientsLinks) {
    Vxi11Client core(port_), abort(port_);
    const int32_t link = core.CreateLink("inst0");
    ASSERT_GE(link, 0);
    for (int i = 0; i < 25; ++i) {  // 2.5 s of --idle-timeout 1
        ASSERT_EQ(core.Generic(vxi11::kDeviceReadStb, link), vxi11::kNoError);
        std::this_thread::sleep_for(milliseconds(100));
    }
    EXPECT_EQ(abort.OnLink(vxi11::kDeviceAbort, link, kAbortProgram), vxi11::kNoError);
    EXPECT_EQ(core.OnLink(vxi11::kDestroyLink, link), vxi11::kNoError);
    std::this_thread::sleep_for(milliseconds(3000));
    EXPECT_EQ(abort.OnLink(vxi11::kDeviceAbort, link, kAbortProgram), -1000);
    EXPECT_TRUE(abort.closed());
}

class Vxi11FairnessTest : public Vxi11Test {
  protected:
    Vxi11FairnessTest() : Vxi11Test({"--http", "0", "--max-clients", "2"}) {}
};

// A peer may hold every connection, each with all its links, while nobody
// else wants one; another peer then has its newest closed, and gets links.
TEST_F(Vxi11FairnessTest, OnePeerMakesRoomForAnother) {
    Vxi11Client older(port_), newer(port_);
    int32_t kept = -1, lost = -1;
    for (size_t i = 0; i < kVxi11MostLinksPerConnection; ++i) {
        ASSERT_GE(kept = older.CreateLink("inst0"), 0) << i;
        ASSERT_GE(lost = newer.CreateLink("inst1"), 0) << i;
    }
    Vxi11Client other(port_, "127.0.0.2");
    const int32_t link = other.CreateLink("inst1");
    ASSERT_GE(link, 0) << rig_.log();
    EXPECT_EQ(other.Query(link, "*IDN?"), kIdn1);
    EXPECT_EQ(newer.Write(lost, "*IDN?\n"), -1000);
    EXPECT_TRUE(newer.closed());
    EXPECT_EQ(older.Query(kept, "*IDN?"), kIdn0);
    EXPECT_NE(rig_.log().find("closed: to make room for 127.0.0.2"), std::string::npos)
        << rig_.log();
}

// The portmapper's answers, as the server gives them on port 111.
TEST(PortmapperTest, GetPortAnswersForVxi11Only) {
    struct Case {
        uint32_t program, version, protocol;
        uint32_t port;
    };
    const Case cases[] = {
        {kCoreProgram, 1, IPPROTO_TCP, 4321}, {kAbortProgram, 1, IPPROTO_TCP, 4321},
        {kCoreProgram, 1, IPPROTO_UDP, 0},    {kCoreProgram, 2, IPPROTO_TCP, 0},
        {100000, 2, IPPROTO_UDP, 111},        {100000, 2, IPPROTO_TCP, 111},
        {100003, 3, IPPROTO_TCP, 0},
    };
    for (const Case& c : cases) {
        pmap wanted{c.program, c.version, c.protocol, 0};
        const std::string reply =
            vxi11::AnswerPortmapper(CallRecord(1, 100000, 2, 3, Encoded(xdr_pmap, wanted)), 4321);
        u_long port = 99;
        const std::optional<ReplyHeader> header = DecodeReply(reply, xdr_u_long, &port);
        ASSERT_TRUE(header);
        EXPECT_EQ(header->status, SUCCESS);
        EXPECT_EQ(port, c.port) << std::hex << c.program;
    }
    // SET is not taken; other versions and programs are refused.
    pmap set{1234, 1, IPPROTO_TCP, 80};
    bool_t done = TRUE;
    ASSERT_TRUE(DecodeReply(
        vxi11::AnswerPortmapper(CallRecord(2, 100000, 2, 1, Encoded(xdr_pmap, set)), 4321),
        xdr_bool, &done));
    EXPECT_FALSE(done);
    const std::optional<ReplyHeader> v4 =
        DecodeReply(vxi11::AnswerPortmapper(CallRecord(3, 100000, 4, 3), 4321));
    ASSERT_TRUE(v4);
    EXPECT_EQ(v4->status, PROG_MISMATCH);
    EXPECT_EQ(v4->low, 2u);
    EXPECT_EQ(v4->high, 2u);
    const std::optional<ReplyHeader> nfs =
        DecodeReply(vxi11::AnswerPortmapper(CallRecord(4, 100003, 3, 0), 4321));
    ASSERT_TRUE(nfs);
    EXPECT_EQ(nfs->status, PROG_UNAVAIL);
    EXPECT_TRUE(vxi11::AnswerPortmapper("not a call", 4321).empty());
}

}  // namespace
}  // namespace velmar::scpi
