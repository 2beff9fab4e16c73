// Programs of the project run as a user runs them: a separate process with
// its output kept in files of a temporary directory, for the suites that
// drive the simulated instrument and the SCPI server from outside.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace velmar::proctest {

using std::chrono::milliseconds;

bool Exists(const std::string& path) {
    struct stat info {};
    return lstat(path.c_str(), &info) == 0;
}

// A connection to the instrument socket at `path`, as the library opens one;
// -1 when it cannot be made.
int ConnectSeqpacket(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof(address.sun_path)) return -1;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    const int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (fd >= 0 && connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

bool Accepts(const std::string& path) {
    const int fd = ConnectSeqpacket(path);
    if (fd >= 0) close(fd);
    return fd >= 0;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

class TempDir {
  public:
    TempDir() {
        char pattern[] = "/tmp/velmar-process-test-XXXXXX";
        path_ = mkdtemp(pattern);
    }
    ~TempDir() {
        for (const std::string& file : files_) unlink(file.c_str());
        rmdir((path_ + "/devices").c_str());
        rmdir(path_.c_str());
    }
    const std::string& path() const { return path_; }
    std::string devices() const { return path_ + "/devices"; }
    // A file in the directory, removed with it.
    std::string File(const std::string& name) const {
        files_.insert(path_ + "/" + name);
        return path_ + "/" + name;
    }

  private:
    std::string path_;
    mutable std::set<std::string> files_;
};

// One process of `program`, its output kept in the files <name>.out and
// <name>.err of `dir`; its standard input is the file `input`, if given.
class ChildProcess {
  public:
    ChildProcess(const TempDir& dir, const std::string& name, const std::string& program,
                 std::vector<std::string> args, const std::string& input = "")
        : out_(dir.File(name + ".out")), err_(dir.File(name + ".err")) {
        std::vector<std::string> argv_text = {program};
        argv_text.insert(argv_text.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (std::string& arg : argv_text) argv.push_back(arg.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        if (!input.empty())
            posix_spawn_file_actions_addopen(&actions, 0, input.c_str(), O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, out_.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0600);
        posix_spawn_file_actions_addopen(&actions, 2, err_.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0600);
        spawned_ = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) == 0;
        posix_spawn_file_actions_destroy(&actions);
    }

    ~ChildProcess() {
        if (running()) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }

    bool running() { return spawned_ && !Reap(false); }

    // Waits until the socket at `path` accepts connections (or, for a daemon
    // that refuses them, exists) or the daemon exits. A socket is bound a
    // moment before it listens, so its existence alone is not enough.
    bool WaitForSocket(const std::string& path, bool refusing = false) {
        for (int i = 0; i < 300; ++i) {
            if (refusing ? Exists(path) : Accepts(path)) return true;
            if (Reap(false)) return false;
            std::this_thread::sleep_for(milliseconds(10));
        }
        return false;
    }

    // Waits up to 5 s for the process to end; its exit code, or -1.
    int WaitForExit() {
        for (int i = 0; i < 500 && !Reap(false); ++i) std::this_thread::sleep_for(milliseconds(10));
        return exited_ && WIFEXITED(status_) ? WEXITSTATUS(status_) : -1;
    }

    // Waits for the process to end, however long it takes; its exit code, or -1.
    int Join() {
        if (!spawned_) return -1;
        Reap(true);
        return WIFEXITED(status_) ? WEXITSTATUS(status_) : -1;
    }

    void Send(int signal_number) { kill(pid_, signal_number); }

    // The processor time the process has used so far, user and system, or
    // a negative number when it cannot be read.
    double CpuSeconds() const {
        std::istringstream stat(ReadFile("/proc/" + std::to_string(pid_) + "/stat"));
        std::string field;
        // After the name in parentheses (which may hold spaces), utime and
        // stime are the 12th and 13th fields.
        std::getline(stat, field, ')');
        unsigned long long ticks[2] = {0, 0};
        for (int i = 1; i <= 13 && stat >> field; ++i) {
            if (i >= 12) ticks[i - 12] = std::stoull(field);
        }
        if (!stat) return -1.0;
        return static_cast<double>(ticks[0] + ticks[1]) / static_cast<double>(sysconf(_SC_CLK_TCK));
    }

    int Signal(int signal_number) {
        Send(signal_number);
        return WaitForExit();
    }

    void Kill() {
        kill(pid_, SIGKILL);
        Reap(true);
    }

    std::string out() const { return ReadFile(out_); }
    std::string err() const { return ReadFile(err_); }

  private:
    bool Reap(bool block) {
        if (exited_) return true;
        if (waitpid(pid_, &status_, block ? 0 : WNOHANG) == pid_) exited_ = true;
        return exited_;
    }

    std::string out_;
    std::string err_;
    pid_t pid_ = -1;
    bool spawned_ = false;
    bool exited_ = false;
    int status_ = 0;
};

}  // namespace velmar::proctest
