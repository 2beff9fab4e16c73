// The state records of the POSIX platform, as the system keeps them: a file
// of this user's own in a directory of this user's own, shared by processes,
// under a lock that a dead or stopped holder cannot keep for ever.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>

#include "device/platform.h"

namespace velmar::testing {
namespace {

class PosixStateRecordTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/velmar-record-test-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        root_ = tmpl;
        dir_ = root_ + "/state";
        setenv("VELMAR_DDS_STATE_DIR", dir_.c_str(), 1);
    }
    void TearDown() override {
        unsetenv("VELMAR_DDS_STATE_DIR");
        EXPECT_EQ(std::system(("rm -rf '" + root_ + "'").c_str()), 0);
    }
    std::unique_ptr<StateRecord> Open(const std::string& device = "/dev-dir/dds0") {
        uint64_t identity = 0;
        return SystemPlatform().OpenStateRecord(device, &identity);
    }
    std::string root_, dir_;
};

TEST_F(PosixStateRecordTest, TwoOpensShareTheBytes) {
    auto a = Open();
    auto b = Open();
    ASSERT_TRUE(a && b);
    const uint8_t written[4] = {1, 2, 3, 4};
    ASSERT_TRUE(a->Lock(1000));
    ASSERT_TRUE(a->Write(written, sizeof(written)));
    a->Unlock();
    uint8_t read[4] = {};
    ASSERT_TRUE(b->Lock(1000));
    ASSERT_TRUE(b->Read(read, sizeof(read)));
    b->Unlock();
    EXPECT_EQ(std::string(read, read + 4), std::string(written, written + 4));
    struct stat st {};
    ASSERT_EQ(stat(dir_.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u) << "a directory of this user's alone";
}

// Someone else's directory, or a link planted in ours, would let a session
// overwrite whatever file the link names.
TEST_F(PosixStateRecordTest, NeitherALinkNorAnOpenDirectoryIsUsed) {
    ASSERT_EQ(mkdir(dir_.c_str(), 0700), 0);
    const std::string victim = root_ + "/victim.txt";
    std::ofstream(victim) << "keep me";
    const std::string record = dir_ + "/" + StateRecordName("/dev-dir/dds0");
    ASSERT_EQ(symlink(victim.c_str(), record.c_str()), 0);
    EXPECT_EQ(Open(), nullptr);
    std::string kept;
    std::getline(std::ifstream(victim), kept);
    EXPECT_EQ(kept, "keep me");

    ASSERT_EQ(chmod(dir_.c_str(), 0777), 0);
    EXPECT_EQ(Open("/dev-dir/dds1"), nullptr) << "a directory others may write in";
    setenv("VELMAR_DDS_STATE_DIR", victim.c_str(), 1);
    EXPECT_EQ(Open("/dev-dir/dds1"), nullptr) << "not a directory";
}

TEST_F(PosixStateRecordTest, AHolderThatDiedHandsTheRecordOnEmpty) {
    auto record = Open();
    ASSERT_TRUE(record);
    const uint8_t written[4] = {9, 9, 9, 9};
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        auto own = Open();
        if (!own || !own->Lock(1000)) _exit(1);
        own->Write(written, sizeof(written));
        _exit(0);  // dies holding it, perhaps half way through a write
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_EQ(WEXITSTATUS(status), 0);
    ASSERT_TRUE(record->Lock(1000)) << "the dead holder's lock is handed on";
    uint8_t read[4] = {1, 1, 1, 1};
    ASSERT_TRUE(record->Read(read, sizeof(read)));
    record->Unlock();
    EXPECT_EQ(std::string(read, read + 4), std::string(4, '\0'));
}

TEST_F(PosixStateRecordTest, AStoppedHolderIsWaitedForOnlyAsLongAsTheLimit) {
    auto record = Open();
    ASSERT_TRUE(record);
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        auto own = Open();
        if (!own || !own->Lock(1000)) _exit(1);
        const char ok = 'y';
        if (write(ready[1], &ok, 1) != 1) _exit(1);
        pause();  // holds it until killed
        _exit(0);
    }
    char got = 0;
    ASSERT_EQ(read(ready[0], &got, 1), 1);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(record->Lock(200));
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, std::chrono::milliseconds(190));
    EXPECT_LT(waited, std::chrono::milliseconds(1500));
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    close(ready[0]);
    close(ready[1]);
    EXPECT_TRUE(record->Lock(1000)) << "free again once the holder is gone";
    record->Unlock();
}

}  // namespace
}  // namespace velmar::testing
