// Every end-to-end test starts from a freshly loaded library (load-time state)
// and a peer serving its own temporary device directory, which the library
// is pointed at through VELMAR_DDS_DEVICE_DIR.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "library.h"
#include "socket_peer.h"

namespace velmar::e2e {

// Control word bits of the instrument.
inline constexpr uint16_t kMeasureMode = 0x0001;
inline constexpr uint16_t kCounterReset = 0x0002;
inline constexpr uint16_t kSingleWave = 0x0004;
inline constexpr uint16_t kTriggerOption = 0x0008;
inline constexpr uint16_t kTriggerEnable = 0x0010;
inline constexpr uint16_t kTriggerPulse = 0x0020;
inline constexpr uint16_t kDioMode = 0x0100;

inline constexpr uint8_t kPowerOnCode = 0xA2;
inline constexpr int32_t kUntouched = 0x5EED;  // what out-arguments hold before a call

class E2eTest : public ::testing::Test {
  protected:
    void SetUp() override {
        unsetenv("XDG_RUNTIME_DIR");
        PointAt(peer_.root());
        lib_ = Library::LoadFresh();
    }
    void TearDown() override {
        lib_.reset();
        unsetenv("VELMAR_DDS_DEVICE_DIR");
    }

    static void PointAt(const std::string& dir) { setenv("VELMAR_DDS_DEVICE_DIR", dir.c_str(), 1); }

    // Serves instruments with these names in the device directory and
    // searches; index i is then the i-th name in byte order.
    void ServeAndSearch(const std::vector<std::string>& names) {
        for (const auto& name : names) peer_.AddInstrument(name);
        ASSERT_EQ(lib_->Search(), static_cast<int32_t>(names.size()));
    }

    // The one instrument most tests talk to, at index 0.
    void ServeOne() { ServeAndSearch({kDds}); }

    std::vector<Bytes> Sent() {
        peer_.Settle();
        return peer_.Messages(kDds);
    }

    // The last control packet the instrument received.
    Bytes LastControlPacket() {
        const auto sent = Sent();
        for (auto it = sent.rbegin(); it != sent.rend(); ++it) {
            if (it->size() == 7 && (*it)[0] == 0xA0) return *it;
        }
        ADD_FAILURE() << "no control packet was sent";
        return {};
    }

    // The control word that the shadow holds now, as the next control
    // packet restates it. Reading it costs one exchange.
    uint16_t ShadowControlWord() {
        uint16_t in = 0;
        EXPECT_EQ(lib_->GetDigitalIn(0, &in), 1);
        return ControlWordOf(LastControlPacket());
    }

    static double MsSince(Clock::time_point t) {
        return std::chrono::duration<double, std::milli>(Clock::now() - t).count();
    }

    static constexpr const char* kDds = "dds0";
    SocketPeer peer_;
    std::unique_ptr<Library> lib_;
};

}  // namespace velmar::e2e
