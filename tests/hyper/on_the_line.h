// A test in its own working directory with a generation 1 box on the
// simulated line and the port already open at the boot loader's speed, as the
// main loop hands it over.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "box.h"
#include "platform/serial_ports.h"
#include "simplatform/sim_platform.h"
#include "support/temp_directory.h"

class OnTheLine : public ::testing::Test {
protected:
    void TearDown() override { simline::uninstall(); }

    void connect(boxmodel::Scenario scenario) {
        box = std::make_unique<boxmodel::Box>(std::move(scenario));
        simline::install(*box);
        port = platform::openPort(platform::defaultDeviceForComPort(1).c_str());
        ASSERT_NE(port, platform::kInvalidPort);
        ASSERT_TRUE(platform::configureLine(port, 38400, true));
        ASSERT_TRUE(platform::setWriteTimeouts(port, 1, 10));
    }

    // Runs the dialogue, keeping what it printed in out and err.
    int run(const std::function<int()>& dialogue) {
        ::testing::internal::CaptureStdout();
        ::testing::internal::CaptureStderr();
        const int result = dialogue();
        out = ::testing::internal::GetCapturedStdout();
        err = ::testing::internal::GetCapturedStderr();
        return result;
    }

    // Lets the line carry what the PC left in its transmit buffer when it
    // closed the port.
    static void drainLine() { platform::sleepMs(50); }

    // The bytes the PC wrote before the first speed change (all of them if none).
    static std::size_t bytesWrittenBeforeSpeedChange() {
        std::size_t count = 0;
        for (const auto& event : simline::events()) {
            if (event.kind == simline::LineEvent::Kind::SpeedChange) break;
            if (event.kind == simline::LineEvent::Kind::Write) count += event.bytes.size();
        }
        return count;
    }

    // Each byte the PC wrote, with the speed and time it went out at.
    struct Sent {
        std::uint8_t byte;
        std::uint32_t baud;
        std::uint64_t timeUs;
    };
    static std::vector<Sent> bytesSent() {
        std::vector<Sent> sent;
        for (const auto& event : simline::events()) {
            if (event.kind != simline::LineEvent::Kind::Write) continue;
            for (const std::uint8_t byte : event.bytes) sent.push_back({byte, event.baud, event.timeUs});
        }
        return sent;
    }

    std::string outcome() const { return box->outcome().code(); }

    std::unique_ptr<boxmodel::Box> box;
    platform::PortHandle port = platform::kInvalidPort;
    std::string out;
    std::string err;

private:
    // hyper.pad, which the program writes into the current directory, never
    // lands in the source tree.
    test_support::TempDirectory directory_{"hyper-test-"};
    test_support::CurrentDirectory inDirectory_{directory_.path()};
};

inline bool startsWith(const std::string& text, const std::string& head) { return text.rfind(head, 0) == 0; }
inline bool endsWith(const std::string& text, const std::string& tail) {
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}
