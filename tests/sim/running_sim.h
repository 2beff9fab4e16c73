// A simulated instrument served on a thread of the test, in a temporary
// device directory that the library is pointed at. The directory and its
// sockets are gone when the object is.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "sim_server.h"

namespace velmar::simtest {

class RunningSim {
  public:
    explicit RunningSim(sim::ServerOptions options = {}) {
        char pattern[] = "/tmp/velmar-sim-test-XXXXXX";
        const char* made = mkdtemp(pattern);
        EXPECT_NE(made, nullptr);
        root_ = made ? made : "";
        options.dir = root_ + "/devices";
        dir_ = options.dir;
        auto user_trace = options.trace;
        options.trace = [this, user_trace](const std::string& line) {
            if (user_trace) user_trace(line);
            std::lock_guard<std::mutex> lock(trace_mutex_);
            trace_.push_back(line);
        };
        server_ = std::make_unique<sim::SimServer>(std::move(options));
        std::string error;
        started_ = server_->Start(&error);
        EXPECT_TRUE(started_) << error;
        if (started_) thread_ = std::thread([this] { server_->Run(); });
        setenv("VELMAR_DDS_DEVICE_DIR", dir_.c_str(), 1);
    }

    ~RunningSim() {
        server_->Stop();
        if (thread_.joinable()) thread_.join();
        server_.reset();
        rmdir(root_.c_str());
        unsetenv("VELMAR_DDS_DEVICE_DIR");
    }

    RunningSim(const RunningSim&) = delete;
    RunningSim& operator=(const RunningSim&) = delete;

    const std::string& dir() const { return dir_; }
    sim::SimServer& server() { return *server_; }

    // The messages received so far, and forgets them.
    std::vector<std::string> TakeTrace() {
        std::lock_guard<std::mutex> lock(trace_mutex_);
        return std::exchange(trace_, {});
    }

  private:
    std::string root_;
    std::string dir_;
    std::unique_ptr<sim::SimServer> server_;
    bool started_ = false;
    std::thread thread_;
    std::mutex trace_mutex_;
    std::vector<std::string> trace_;
};

}  // namespace velmar::simtest
