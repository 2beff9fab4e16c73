// Finding instruments in the device directory and opening them by index,
// through the real socket transport.
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "e2e_fixture.h"

namespace velmar::e2e {
namespace {

namespace fs = std::filesystem;

using Discovery = E2eTest;

// Which instruments got a connection, in order of the DDSCheck calls that
// made them: each DDSCheck opens one instrument once and sends nothing.
std::vector<std::string> OpenedBy(SocketPeer& peer, const std::vector<std::string>& names) {
    peer.Settle();
    std::vector<std::string> opened;
    for (const auto& name : names) {
        for (const Connection& c : peer.Connections(name)) {
            EXPECT_TRUE(c.messages.empty()) << name << " received a message";
            EXPECT_TRUE(c.closed_by_caller) << name << " was left open";
            opened.push_back(name);
        }
    }
    return opened;
}

TEST_F(Discovery, IndicesFollowTheByteOrderOfTheSocketNames) {
    // Bytes above 0x7F sort after ASCII: the order is by unsigned byte.
    const std::vector<std::string> created{"b",    "a1", "\xC3\xA9t\xC3\xA9", "B", "_x", "a", "Z9",
                                           ".dot", "a b"};
    for (const auto& name : created) peer_.AddInstrument(name);
    ASSERT_EQ(lib_->Search(), 9);

    const std::vector<std::string> byte_order{
        ".dot", "B", "Z9", "_x", "a", "a b", "a1", "b", "\xC3\xA9t\xC3\xA9"};
    for (size_t i = 0; i < byte_order.size(); ++i) {
        ASSERT_EQ(lib_->Check(static_cast<int32_t>(i)), 1) << "index " << i;
        peer_.Settle();
        EXPECT_EQ(peer_.Connections(byte_order[i]).size(), 1u)
            << "index " << i << " should open " << byte_order[i];
    }
    EXPECT_EQ(OpenedBy(peer_, created).size(), created.size());
}

TEST_F(Discovery, EntriesThatAreNotSocketsAreNeitherListedNorCounted) {
    const fs::path dir = peer_.root();
    std::ofstream(dir / "a-file") << "not an instrument";
    fs::create_directory(dir / "b-dir");
    ASSERT_EQ(mkfifo((dir / "c-fifo").c_str(), 0600), 0);
    peer_.AddInstrument("d-sock");
    peer_.AddInstrument("e-sock");

    EXPECT_EQ(lib_->Search(), 2);
    EXPECT_EQ(lib_->Check(0), 1);
    EXPECT_EQ(lib_->Check(1), 1);
    EXPECT_EQ(lib_->Check(2), 0);
    EXPECT_EQ(OpenedBy(peer_, {"d-sock", "e-sock"}),
              (std::vector<std::string>{"d-sock", "e-sock"}));
}

TEST_F(Discovery, TwoInstrumentsOpenAtTheirIndicesOnly) {
    ServeAndSearch({"a", "b"});
    EXPECT_EQ(lib_->Check(0), 1);
    EXPECT_EQ(lib_->Check(1), 1);
    for (int32_t index : {2, 3, -1, INT32_MIN, INT32_MAX}) {
        EXPECT_EQ(lib_->Check(index), 0) << "index " << index;
    }
    EXPECT_EQ(OpenedBy(peer_, {"a", "b"}), (std::vector<std::string>{"a", "b"}));
}

TEST_F(Discovery, ASecondSearchReplacesTheListInsteadOfAppending) {
    ServeAndSearch({"a", "b"});
    EXPECT_EQ(lib_->Search(), 2);
    EXPECT_EQ(lib_->Check(1), 1);
    EXPECT_EQ(lib_->Check(2), 0);
    EXPECT_EQ(lib_->Check(3), 0);
}

TEST_F(Discovery, EmptyDirectoryFindsNothingAndResetsTheControlState) {
    peer_.AddInstrument("old/dds");
    PointAt(peer_.root() + "/old");
    ASSERT_EQ(lib_->Search(), 1);
    ASSERT_EQ(lib_->SetDivNum(0, 9), 1);
    ASSERT_EQ(lib_->GetCLK(), 20000000.0);

    fs::create_directory(fs::path(peer_.root()) / "empty");
    PointAt(peer_.root() + "/empty");
    EXPECT_EQ(lib_->Search(), 0);
    EXPECT_EQ(lib_->GetCLK(), 200000000.0) << "the divider was not reset";
    EXPECT_EQ(lib_->Check(0), 0) << "the old list survived";
    peer_.Settle();
    EXPECT_EQ(peer_.Connections("old/dds").size(), 1u);
}

// A directory that cannot be read: the search cannot be made at all.
class UnreadableDirectory : public E2eTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(UnreadableDirectory, FindsNothingAndLeavesTheControlStateAlone) {
    peer_.AddInstrument("dds");
    ASSERT_EQ(lib_->Search(), 1);
    ASSERT_EQ(lib_->SetDivNum(0, 9), 1);

    const fs::path unreadable = fs::path(peer_.root()) / GetParam();
    std::ofstream(fs::path(peer_.root()) / "plain-file") << "x";
    PointAt(unreadable);
    EXPECT_EQ(lib_->Search(), 0);
    EXPECT_EQ(lib_->GetCLK(), 20000000.0) << "the control state was reset";
    EXPECT_EQ(lib_->Check(0), 0) << "the old list survived";
    peer_.Settle();
    EXPECT_EQ(peer_.Connections("dds").size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Discovery, UnreadableDirectory,
                         ::testing::Values("does-not-exist", "plain-file"));

TEST_F(Discovery, TheDirectoryIsLookedUpAfreshByEverySearch) {
    peer_.AddInstrument("one/a");
    peer_.AddInstrument("one/b");
    peer_.AddInstrument("two/c");

    PointAt(peer_.root() + "/one");
    EXPECT_EQ(lib_->Search(), 2);
    PointAt(peer_.root() + "/two");
    EXPECT_EQ(lib_->Search(), 1);
    EXPECT_EQ(lib_->Check(0), 1);
    EXPECT_EQ(lib_->Check(1), 0);
    PointAt(peer_.root() + "/one");
    EXPECT_EQ(lib_->Check(1), 0) << "the variable is read by DDSSearch, not by every open";
    EXPECT_EQ(OpenedBy(peer_, {"one/a", "one/b", "two/c"}), (std::vector<std::string>{"two/c"}));
}

TEST_F(Discovery, WithoutTheVariableTheDirectoryIsUnderXdgRuntimeDir) {
    peer_.AddInstrument("xdg/velmar-dds/a");
    peer_.AddInstrument("xdg/velmar-dds/b");
    peer_.AddInstrument("explicit/c");
    setenv("XDG_RUNTIME_DIR", (peer_.root() + "/xdg").c_str(), 1);

    PointAt(peer_.root() + "/explicit");
    EXPECT_EQ(lib_->Search(), 1) << "the variable takes precedence";
    unsetenv("VELMAR_DDS_DEVICE_DIR");
    EXPECT_EQ(lib_->Search(), 2);
    EXPECT_EQ(lib_->Check(1), 1);
    EXPECT_EQ(OpenedBy(peer_, {"xdg/velmar-dds/a", "xdg/velmar-dds/b", "explicit/c"}),
              (std::vector<std::string>{"xdg/velmar-dds/b"}));
}

// Runs in a child process under a user id of its own, so the default
// directory /tmp/velmar-dds-<uid> belongs to nobody else on the machine.
int SearchInDefaultTmpDirectory(uid_t uid) {
    // Loaded while still root: the build tree need not be readable by the
    // borrowed user id. The directory is only looked up when searching.
    std::unique_ptr<Library> lib;
    try {
        lib = Library::Load(Library::BuiltPath());
    } catch (...) {
        return 9;
    }
    const std::string dir = "/tmp/velmar-dds-" + std::to_string(uid);
    if (setgid(uid) != 0 || setuid(uid) != 0) return 10;
    unsetenv("VELMAR_DDS_DEVICE_DIR");
    unsetenv("XDG_RUNTIME_DIR");
    std::error_code ec;
    fs::remove_all(dir, ec);
    if (mkdir(dir.c_str(), 0700) != 0) return 11;
    const std::string path = dir + "/dds";
    const int fd = socket(AF_UNIX, SOCK_SEQPACKET, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    path.copy(addr.sun_path, path.size());
    int code = 0;
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 || listen(fd, 4) != 0) {
        code = 12;
    } else if (lib->Search() != 1) {
        code = 13;
    } else if (lib->Check(0) != 1) {
        code = 14;
    }
    close(fd);
    fs::remove_all(dir, ec);
    return code;
}

TEST(DiscoveryDefaults, WithNeitherVariableTheDirectoryIsTmpVelmarDdsUid) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to take a user id of its own";
    const uid_t uid = 46011;  // an id no account uses
    std::fflush(nullptr);     // or the child would print what the parent buffered
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) _exit(SearchInDefaultTmpDirectory(uid));
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0)
        << "9-12: setup failed, 13: DDSSearch did not find /tmp/velmar-dds-" << uid
        << "/dds, 14: DDSCheck(0) failed";
}

TEST_F(Discovery, AnUnpluggedInstrumentFailsItsCheck) {
    ServeAndSearch({"a", "b", "c"});
    peer_.RemoveSocketFile("a");
    peer_.StopListening("b");
    EXPECT_EQ(lib_->Check(0), 0) << "socket file removed";
    EXPECT_EQ(lib_->Check(1), 0) << "nobody listening";
    EXPECT_EQ(lib_->Check(2), 1);
    uint16_t in = kUntouched;
    EXPECT_EQ(lib_->GetDigitalIn(0, &in), 0);
    EXPECT_EQ(lib_->SetDivNum(1, 7), 0);
    EXPECT_EQ(in, kUntouched);
    EXPECT_EQ(lib_->GetCLK(), 200000000.0) << "a failed open changed the divider";
}

TEST_F(Discovery, BeforeTheFirstSearchEveryOperationReturnsZeroAndSendsNothing) {
    peer_.AddInstrument(kDds);  // present, but not searched for yet
    int32_t length = kUntouched, periods = kUntouched;
    double reading = kUntouched;
    uint16_t in = kUntouched;
    const uint16_t samples[2] = {1, 2};

    EXPECT_EQ(lib_->Check(0), 0);
    EXPECT_EQ(lib_->SetFrequency(0, 1000.0, &length, &periods), 0);
    EXPECT_EQ(lib_->SetDivNum(0, 9), 0);
    EXPECT_EQ(lib_->Download(0, samples, 2), 0);
    EXPECT_EQ(lib_->GetMeasure(0, 0, &reading), 0);
    EXPECT_EQ(lib_->ResetCounter(0), 0);
    EXPECT_EQ(lib_->SetSingleWave(0, 1), 0);
    EXPECT_EQ(lib_->SetTrigger(0, 1, 1), 0);
    EXPECT_EQ(lib_->SetDIOMode(0, 1), 0);
    EXPECT_EQ(lib_->GetDigitalIn(0, &in), 0);
    EXPECT_EQ(lib_->SetDigitalOut(0, 0x1234), 0);
    EXPECT_EQ(lib_->SetPowerOnOutput(0, 1), 0);

    EXPECT_EQ(length, kUntouched);
    EXPECT_EQ(periods, kUntouched);
    EXPECT_EQ(reading, kUntouched);
    EXPECT_EQ(in, kUntouched);
    EXPECT_EQ(lib_->GetDivNum(), 0);
    EXPECT_EQ(lib_->GetCLK(), 200000000.0);
    peer_.Settle();
    EXPECT_TRUE(peer_.Connections(kDds).empty());
}

TEST_F(Discovery, AnIndexThatDoesNotOpenChangesNoState) {
    ServeOne();
    int32_t length = kUntouched, periods = kUntouched;
    double reading = kUntouched;
    const uint16_t samples[64] = {};
    for (int32_t index : {1, -1}) {
        EXPECT_EQ(lib_->SetFrequency(index, 1000.0, &length, &periods), 0);
        EXPECT_EQ(lib_->SetDivNum(index, 9), 0);
        EXPECT_EQ(lib_->Download(index, samples, 64), 0);
        EXPECT_EQ(lib_->GetMeasure(index, 1, &reading), 0);
        EXPECT_EQ(lib_->ResetCounter(index), 0);
        EXPECT_EQ(lib_->SetSingleWave(index, 1), 0);
        EXPECT_EQ(lib_->SetTrigger(index, 1, 1), 0);
        EXPECT_EQ(lib_->SetDIOMode(index, 1), 0);
        EXPECT_EQ(lib_->SetDigitalOut(index, 0x1234), 0);
        EXPECT_EQ(lib_->SetPowerOnOutput(index, 0), 0);
    }
    EXPECT_EQ(length, kUntouched);
    EXPECT_EQ(periods, kUntouched);
    EXPECT_EQ(reading, kUntouched);
    EXPECT_EQ(lib_->GetDivNum(), 0);
    EXPECT_EQ(lib_->GetCLK(), 200000000.0);
    EXPECT_TRUE(Sent().empty());
    uint16_t in = 0;
    ASSERT_EQ(lib_->GetDigitalIn(0, &in), 1);
    ASSERT_EQ(lib_->SetPowerOnOutput(0, 0), 1);
    EXPECT_EQ(Sent(), (std::vector<Bytes>{ControlPacket(0, 0, 0), LengthHeader(0xFFFF),
                                          Bytes{kPowerOnCode}, LengthHeader(4095)}));
}

TEST_F(Discovery, EveryCallOpensItsInstrumentOnceAndClosesItBeforeReturning) {
    ServeOne();
    ASSERT_EQ(lib_->Check(0), 1);
    ASSERT_EQ(lib_->SetDivNum(0, 3), 1);
    const uint16_t samples[64] = {};
    ASSERT_EQ(lib_->Download(0, samples, 64), 1);
    peer_.Settle();
    const auto conns = peer_.Connections(kDds);
    ASSERT_EQ(conns.size(), 3u);
    EXPECT_EQ(conns[0].messages.size(), 0u) << "DDSCheck sends nothing";
    EXPECT_EQ(conns[1].messages.size(), 1u);
    EXPECT_EQ(conns[2].messages.size(), 3u);
    for (const Connection& c : conns) EXPECT_TRUE(c.closed_by_caller);
}

// A device path too long for a socket address must not be opened under a
// cut-down name. Decoys sit at the names such a cut would produce.
TEST_F(Discovery, APathTooLongForASocketAddressIsCountedButNeverOpened) {
    const std::string dir = peer_.root();
    const std::string long_name = "z" + std::string(99, 'q');
    const std::string full = dir + "/" + long_name;
    ASSERT_GT(full.size(), sizeof(sockaddr_un::sun_path));
    const std::string decoy107 = full.substr(dir.size() + 1, 107 - dir.size() - 1);
    const std::string decoy108 = full.substr(dir.size() + 1, 108 - dir.size() - 1);
    ServeAndSearch({"a", decoy107, decoy108, long_name});  // byte order as listed

    EXPECT_EQ(lib_->Check(0), 1);
    EXPECT_EQ(lib_->Check(3), 0);
    double reading = kUntouched;
    EXPECT_EQ(lib_->GetMeasure(3, 0, &reading), 0);
    EXPECT_EQ(reading, kUntouched);
    peer_.Settle();
    EXPECT_TRUE(peer_.Connections(decoy107).empty()) << "opened a path cut to 107 characters";
    EXPECT_TRUE(peer_.Connections(decoy108).empty()) << "opened a path cut to 108 characters";
    EXPECT_TRUE(peer_.Connections(long_name).empty());
    // A path of 107 characters still fits with its terminator; whether one of
    // exactly 108 is opened is the library's choice.
    EXPECT_EQ(lib_->Check(1), 1);
}

TEST_F(Discovery, TheControlStateIsOneForAllInstruments) {
    ServeAndSearch({"a", "b"});
    ASSERT_EQ(lib_->SetDigitalOut(0, 0x0102), 1);
    ASSERT_EQ(lib_->SetSingleWave(0, 1), 1);
    uint16_t in = 0;
    ASSERT_EQ(lib_->GetDigitalIn(1, &in), 1);
    peer_.Settle();
    EXPECT_EQ(peer_.Messages("b"), (std::vector<Bytes>{ControlPacket(kSingleWave, 0x0102, 0)}));
}

TEST_F(Discovery, TheSharedLibraryLoadsByItsBuiltPathWithAllFifteenNames) {
    // Every name resolves, or Load throws; the load-time state is visible.
    auto lib = Library::Load(Library::BuiltPath());
    EXPECT_EQ(lib->GetDivNum(), 0);
    EXPECT_EQ(lib->GetCLK(), 200000000.0);
}

}  // namespace
}  // namespace velmar::e2e
