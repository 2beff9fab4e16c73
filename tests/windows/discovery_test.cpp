// Discovery with the SetupAPI calls scripted: what the device manager
// reports, what the library asks it, what DDSSearch makes of it. Wine has no
// instrument driver, so the real SetupAPI can only show the empty case.

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "VelmarDll.h"
#include "velmardll/library_state.h"
#include "device/test_seam.h"
#include "pipe_instrument.h"

namespace velmar::win32::testing {
namespace {

// What the device manager holds for one member of the interface set.
struct Member {
    enum class Kind {
        kReadable,           // size query fails with ERROR_INSUFFICIENT_BUFFER, detail succeeds
        kSizeQuerySucceeds,  // some stacks report success on the size query
        kSizeQueryFails,     // size query fails with another error
        kDetailFails,        // the size is given, the detail call then fails
        kSizeTooSmall,       // a size that cannot hold the record
        kUnterminated,       // the path fills the record with no terminator
    };
    Kind kind;
    std::string path;
};

// The scripted device manager and the record of every call made to it.
struct DeviceManager {
    bool set_available = true;
    std::vector<Member> members;

    // What was asked.
    int class_devs_calls = 0;
    GUID asked_guid{};
    bool asked_with_enumerator = false;
    bool asked_with_window = false;
    DWORD asked_flags = 0;
    std::vector<DWORD> enumerated;              // member indices asked for
    std::vector<DWORD> interface_record_sizes;  // cbSize of each interface record
    std::vector<DWORD> detail_record_sizes;     // cbSize of each detail record filled
    int size_queries = 0;
    std::vector<HDEVINFO> destroyed;
    DWORD last_error = 0;
};

DeviceManager* g_manager = nullptr;
const HDEVINFO kSet = reinterpret_cast<HDEVINFO>(static_cast<intptr_t>(0x5E7));

// The path's room in a detail record, terminator included.
DWORD RequiredSize(const Member& m) {
    const DWORD offset = offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath);
    switch (m.kind) {
        case Member::Kind::kSizeTooSmall:
            return offset;
        case Member::Kind::kUnterminated:
            return offset + static_cast<DWORD>(m.path.size());
        default:
            return offset + static_cast<DWORD>(m.path.size()) + 1;
    }
}

HDEVINFO WINAPI FakeGetClassDevs(const GUID* guid, PCSTR enumerator, HWND window, DWORD flags) {
    DeviceManager& dm = *g_manager;
    ++dm.class_devs_calls;
    dm.asked_guid = *guid;
    dm.asked_with_enumerator = enumerator != nullptr;
    dm.asked_with_window = window != nullptr;
    dm.asked_flags = flags;
    return dm.set_available ? kSet : INVALID_HANDLE_VALUE;
}

BOOL WINAPI FakeEnumInterfaces(HDEVINFO set, PSP_DEVINFO_DATA element, const GUID* guid,
                               DWORD index, PSP_DEVICE_INTERFACE_DATA data) {
    DeviceManager& dm = *g_manager;
    EXPECT_EQ(set, kSet);
    EXPECT_EQ(element, nullptr);
    EXPECT_EQ(std::memcmp(guid, &kDeviceInterfaceGuid, sizeof(GUID)), 0);
    dm.enumerated.push_back(index);
    dm.interface_record_sizes.push_back(data->cbSize);
    if (index >= dm.members.size()) {
        dm.last_error = ERROR_NO_MORE_ITEMS;
        return FALSE;
    }
    data->Reserved = index;  // lets the detail call tell members apart
    return TRUE;
}

BOOL WINAPI FakeGetDetail(HDEVINFO set, PSP_DEVICE_INTERFACE_DATA data,
                          PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail, DWORD size, PDWORD required,
                          PSP_DEVINFO_DATA element) {
    DeviceManager& dm = *g_manager;
    EXPECT_EQ(set, kSet);
    EXPECT_EQ(element, nullptr);
    const Member& m = dm.members.at(data->Reserved);
    if (detail == nullptr) {
        ++dm.size_queries;
        EXPECT_EQ(size, 0u);
        // A size comes back even on the failure: it must not be trusted.
        if (required != nullptr) *required = RequiredSize(m);
        if (m.kind == Member::Kind::kSizeQueryFails) {
            dm.last_error = ERROR_INVALID_USER_BUFFER;
            return FALSE;
        }
        if (m.kind == Member::Kind::kSizeQuerySucceeds) return TRUE;
        dm.last_error = ERROR_INSUFFICIENT_BUFFER;
        return FALSE;
    }
    dm.detail_record_sizes.push_back(detail->cbSize);
    EXPECT_EQ(size, RequiredSize(m)) << "the buffer is as large as the query said";
    if (m.kind == Member::Kind::kDetailFails || detail->cbSize != sizeof(*detail)) {
        dm.last_error = ERROR_INVALID_USER_BUFFER;
        return FALSE;
    }
    const DWORD room = size - offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath);
    std::memcpy(detail->DevicePath, m.path.c_str(), std::min<size_t>(room, m.path.size() + 1));
    return TRUE;
}

BOOL WINAPI FakeDestroy(HDEVINFO set) {
    g_manager->destroyed.push_back(set);
    return TRUE;
}

DWORD WINAPI FakeGetLastError() {
    return g_manager->last_error;
}

const SetupApi kScriptedApi{&FakeGetClassDevs, &FakeEnumInterfaces, &FakeGetDetail, &FakeDestroy,
                            &FakeGetLastError};

class ScriptedSetupApiTest : public ::testing::Test {
  protected:
    void SetUp() override { g_manager = &dm; }
    void TearDown() override { g_manager = nullptr; }
    DeviceManager dm;
};

using Kind = Member::Kind;

// ---- What the library asks SetupAPI ----------------------------------------

TEST_F(ScriptedSetupApiTest, AsksForPresentInterfacesOfTheInstrumentsGuid) {
    dm.members = {{Kind::kReadable, "\\\\?\\usb#a"}};
    EnumerateInterfaces(kScriptedApi);
    const GUID expected = {
        0x4B6C73B2, 0x015B, 0x4855, {0x8B, 0xB1, 0xA7, 0xA6, 0xC0, 0x3A, 0xFA, 0x87}};
    EXPECT_EQ(std::memcmp(&dm.asked_guid, &expected, sizeof(GUID)), 0);
    EXPECT_EQ(dm.asked_flags, 0x12u);
    EXPECT_FALSE(dm.asked_with_enumerator);
    EXPECT_FALSE(dm.asked_with_window);
}

TEST_F(ScriptedSetupApiTest, RecordSizesAreThisPlatformsOwn) {
    dm.members = {{Kind::kReadable, "a"}, {Kind::kReadable, "b"}};
    EnumerateInterfaces(kScriptedApi);
#ifdef _WIN64
    const DWORD interface_record = 32, detail_record = 8;
#else
    const DWORD interface_record = 28, detail_record = 5;
#endif
    EXPECT_EQ(dm.interface_record_sizes, std::vector<DWORD>(3, interface_record));
    EXPECT_EQ(dm.detail_record_sizes, std::vector<DWORD>(2, detail_record));
}

TEST_F(ScriptedSetupApiTest, EnumeratesFromMemberZeroUntilRefusedAndReleasesTheSetOnce) {
    dm.members = {{Kind::kReadable, "a"}, {Kind::kSizeQueryFails, ""}, {Kind::kReadable, "c"}};
    EnumerateInterfaces(kScriptedApi);
    EXPECT_EQ(dm.enumerated, (std::vector<DWORD>{0, 1, 2, 3}));
    EXPECT_EQ(dm.destroyed, std::vector<HDEVINFO>{kSet});
}

TEST_F(ScriptedSetupApiTest, NoSetMeansNoEnumerationAndNothingToRelease) {
    dm.set_available = false;
    const Enumeration found = EnumerateInterfaces(kScriptedApi);
    EXPECT_FALSE(found.possible);
    EXPECT_EQ(found.interfaces, 0);
    EXPECT_TRUE(dm.enumerated.empty());
    EXPECT_TRUE(dm.destroyed.empty());
}

TEST_F(ScriptedSetupApiTest, ASizeQueryFailingWithAnotherErrorSkipsOnlyThatMember) {
    dm.members = {{Kind::kSizeQueryFails, "never"}, {Kind::kReadable, "b"}};
    const Enumeration found = EnumerateInterfaces(kScriptedApi);
    EXPECT_EQ(found.interfaces, 2);
    EXPECT_EQ(found.paths, std::vector<std::string>{"b"});
    EXPECT_EQ(dm.detail_record_sizes.size(), 1u) << "no detail call for the skipped member";
}

// ---- What the enumeration gives, member by member ---------------------------

struct EnumerationCase {
    const char* name;
    std::vector<Member> members;
    int32_t interfaces;
    std::vector<std::string> paths;
};

void PrintTo(const EnumerationCase& c, std::ostream* os) {
    *os << c.name;
}

class EnumerationTable : public ScriptedSetupApiTest,
                         public ::testing::WithParamInterface<EnumerationCase> {};

TEST_P(EnumerationTable, CountsEveryMemberAndListsTheReadablePaths) {
    dm.members = GetParam().members;
    const Enumeration found = EnumerateInterfaces(kScriptedApi);
    EXPECT_TRUE(found.possible);
    EXPECT_EQ(found.interfaces, GetParam().interfaces);
    EXPECT_EQ(found.paths, GetParam().paths);
    EXPECT_EQ(dm.destroyed.size(), 1u);
}

const std::string kLongPath = "\\\\?\\usb#vid_1234&pid_5678#" + std::string(300, 'x');

INSTANTIATE_TEST_SUITE_P(
    Members, EnumerationTable,
    ::testing::Values(
        EnumerationCase{"EmptySet", {}, 0, {}},
        EnumerationCase{"ThreeWithOneUnreadable",
                        {{Kind::kReadable, "\\\\?\\usb#one"},
                         {Kind::kDetailFails, "\\\\?\\usb#two"},
                         {Kind::kReadable, "\\\\?\\usb#three"}},
                        3,
                        {"\\\\?\\usb#one", "\\\\?\\usb#three"}},
        EnumerationCase{"SizeQueryFailsWithAnotherError", {{Kind::kSizeQueryFails, "x"}}, 1, {}},
        EnumerationCase{"SizeQuerySucceeds", {{Kind::kSizeQuerySucceeds, "p"}}, 1, {"p"}},
        EnumerationCase{"SizeTooSmallForTheRecord", {{Kind::kSizeTooSmall, "p"}}, 1, {}},
        EnumerationCase{
            "PathWithoutTerminatorEndsWithTheRecord", {{Kind::kUnterminated, "abc"}}, 1, {"abc"}},
        EnumerationCase{"LongPathIsListedWhole", {{Kind::kReadable, kLongPath}}, 1, {kLongPath}}),
    [](const ::testing::TestParamInfo<EnumerationCase>& info) { return info.param.name; });

// ---- DDSSearch over scripted discovery and live pipe instruments -------------

// The system platform with its SetupAPI scripted: paths found by the scripted
// device manager are opened and driven for real.
class ScriptedDiscoveryPlatform final : public Platform {
  public:
    Enumeration EnumerateDevices() override { return EnumerateInterfaces(kScriptedApi); }
    bool Open(const std::string& path, DeviceHandle* handle) override {
        return SystemPlatform().Open(path, handle);
    }
    void Close(DeviceHandle handle) override { SystemPlatform().Close(handle); }
    TransferStatus Write(DeviceHandle handle, const uint8_t* data, size_t length,
                         uint32_t timeout_ms) override {
        return SystemPlatform().Write(handle, data, length, timeout_ms);
    }
    TransferStatus Read(DeviceHandle handle, uint8_t* buffer, size_t capacity, size_t* received,
                        uint32_t timeout_ms) override {
        return SystemPlatform().Read(handle, buffer, capacity, received, timeout_ms);
    }
    int DropWaitingAnswers(DeviceHandle handle, int most) override {
        return SystemPlatform().DropWaitingAnswers(handle, most);
    }
    void Sleep(uint32_t milliseconds) override { SystemPlatform().Sleep(milliseconds); }
};

class SearchTest : public ScriptedSetupApiTest {
  protected:
    void SetUp() override {
        ScriptedSetupApiTest::SetUp();
        test_seam::ResetLibraryState();
        test_seam::UsePlatform(&platform);
    }
    void TearDown() override {
        test_seam::UsePlatform(nullptr);
        test_seam::ResetLibraryState();
        ScriptedSetupApiTest::TearDown();
    }
    ScriptedDiscoveryPlatform platform;
};

TEST_F(SearchTest, ThreeInterfacesOneUnreadableGiveThreeAndTwoOpenableIndices) {
    PipeInstrument first, second;
    dm.members = {{Kind::kReadable, first.path()},
                  {Kind::kDetailFails, "\\\\.\\pipe\\unreadable"},
                  {Kind::kReadable, second.path()}};
    EXPECT_EQ(DDSSearch(), 3);
    EXPECT_EQ(State().device_paths, (std::vector<std::string>{first.path(), second.path()}));
    EXPECT_EQ(DDSCheck(0), 1);
    EXPECT_EQ(DDSCheck(1), 1);
    EXPECT_EQ(DDSCheck(2), 0);
    EXPECT_EQ(DDSCheck(-1), 0);
}

TEST_F(SearchTest, AnInstrumentFoundByTheSearchAnswersAnOperation) {
    PipeInstrument instrument;
    dm.members = {{Kind::kReadable, instrument.path()}};
    ASSERT_EQ(DDSSearch(), 1);
    // The instrument answers the control packet with a report whose digital
    // input word is 0xBEEF.
    instrument.RespondToNextMessage({0xEF, 0xBE, 0, 0, 0, 0, 0, 0, 0, 0});
    uint16_t value = 0;
    EXPECT_EQ(DDSGetDigitalIn(0, &value), 1);
    EXPECT_EQ(value, 0xBEEF);
    EXPECT_EQ(instrument.AwaitRespondedMessage(), (Bytes{0xA0, 0, 0, 0, 0, 0, 0}));
}

TEST_F(SearchTest, ASearchThatCannotStartGivesZeroAndAnEmptyList) {
    PipeInstrument instrument;
    dm.members = {{Kind::kReadable, instrument.path()}};
    ASSERT_EQ(DDSSearch(), 1);
    dm.set_available = false;
    EXPECT_EQ(DDSSearch(), 0);
    EXPECT_TRUE(State().device_paths.empty());
    EXPECT_EQ(DDSCheck(0), 0);
}

// ---- The real SetupAPI and CreateFileA --------------------------------------

TEST(SystemDiscoveryTest, WithNoInstrumentAttachedTheSearchFindsNothing) {
    test_seam::ResetLibraryState();
    const Enumeration found = EnumerateInterfaces(SystemSetupApi());
    EXPECT_TRUE(found.possible) << "SetupAPI gives an empty set, not none";
    EXPECT_EQ(found.interfaces, 0);
    EXPECT_EQ(DDSSearch(), 0);
    EXPECT_EQ(DDSCheck(0), 0);
}

// ---- Opening a device path ---------------------------------------------------

// What the library handed to CreateFileA.
struct CreateFileCall {
    std::string path;
    DWORD access, share, disposition, flags;
    bool security, template_file;
};
std::vector<CreateFileCall>* g_create_calls = nullptr;
HANDLE g_create_result = INVALID_HANDLE_VALUE;

HANDLE WINAPI FakeCreateFile(LPCSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                             DWORD disposition, DWORD flags, HANDLE template_file) {
    g_create_calls->push_back(
        {path, access, share, disposition, flags, security != nullptr, template_file != nullptr});
    return g_create_result;
}

class OpenPathTest : public ::testing::Test {
  protected:
    void SetUp() override {
        g_create_calls = &calls;
        g_create_result = kOpened;
    }
    void TearDown() override { g_create_calls = nullptr; }

    const HANDLE kOpened = reinterpret_cast<HANDLE>(static_cast<intptr_t>(0x1234));
    std::vector<CreateFileCall> calls;
};

TEST_F(OpenPathTest, OpensSharedForOverlappedReadingAndWriting) {
    HANDLE handle = nullptr;
    ASSERT_TRUE(OpenDevicePath("\\\\?\\usb#one", &handle, &FakeCreateFile));
    EXPECT_EQ(handle, kOpened);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].path, "\\\\?\\usb#one");
    EXPECT_EQ(calls[0].access, 0xC0000000u) << "GENERIC_READ | GENERIC_WRITE";
    EXPECT_EQ(calls[0].share, 3u) << "FILE_SHARE_READ | FILE_SHARE_WRITE";
    EXPECT_EQ(calls[0].disposition, 3u) << "OPEN_EXISTING";
    EXPECT_EQ(calls[0].flags, 0x40000000u) << "FILE_FLAG_OVERLAPPED";
    EXPECT_FALSE(calls[0].security);
    EXPECT_FALSE(calls[0].template_file);
}

TEST_F(OpenPathTest, AnInvalidHandleIsAFailedOpen) {
    g_create_result = INVALID_HANDLE_VALUE;
    HANDLE handle = kOpened;
    EXPECT_FALSE(OpenDevicePath("p", &handle, &FakeCreateFile));
    EXPECT_EQ(calls.size(), 1u);
}

struct PathCase {
    const char* name;
    std::string path;
    bool reaches_create_file;
};

void PrintTo(const PathCase& c, std::ostream* os) {
    *os << c.name;
}

class PathTable : public OpenPathTest, public ::testing::WithParamInterface<PathCase> {};

// A path CreateFileA cannot take whole never reaches it, not even cut to
// a length it takes: the cut one could name another device.
TEST_P(PathTable, IsOpenedWholeOrNotAtAll) {
    HANDLE handle = nullptr;
    const bool opened = OpenDevicePath(GetParam().path, &handle, &FakeCreateFile);
    EXPECT_EQ(opened, GetParam().reaches_create_file);
    if (GetParam().reaches_create_file) {
        ASSERT_EQ(calls.size(), 1u);
        EXPECT_EQ(calls[0].path, GetParam().path);
    } else {
        EXPECT_TRUE(calls.empty());
    }
}

INSTANTIATE_TEST_SUITE_P(
    Lengths, PathTable,
    ::testing::Values(PathCase{"OneCharacter", "p", true},
                      PathCase{"Of259", std::string(259, 'p'), true},
                      PathCase{"Of260", std::string(260, 'p'), false},
                      PathCase{"Of261", std::string(261, 'p'), false},
                      PathCase{"Of4096", std::string(4096, 'p'), false},
                      PathCase{"Empty", "", false},
                      PathCase{"NulInside", std::string("\\\\.\\a") + '\0' + "b", false},
                      PathCase{"NulAtTheEnd", std::string("abc") + '\0', false}),
    [](const ::testing::TestParamInfo<PathCase>& info) { return info.param.name; });

// The real CreateFileA opens a path of the longest length the library
// accepts, overlapped.
TEST(SystemOpenTest, OpensAFileWhosePathHas259Characters) {
    char temp[MAX_PATH + 1] = {};
    const DWORD length = GetTempPathA(sizeof(temp), temp);
    ASSERT_GT(length, 0u);
    ASSERT_LT(length, 200u);
    std::string path = temp;
    path += "velmar-" + std::to_string(GetCurrentProcessId()) + "-";
    path += std::string(kMaxDevicePathLength - path.size(), 'p');
    ASSERT_EQ(path.size(), 259u);
    const HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE) << "error " << GetLastError();
    CloseHandle(file);

    HANDLE handle = INVALID_HANDLE_VALUE;
    EXPECT_TRUE(OpenDevicePath(path, &handle));
    if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
    DeleteFileA(path.c_str());
}

}  // namespace
}  // namespace velmar::win32::testing
