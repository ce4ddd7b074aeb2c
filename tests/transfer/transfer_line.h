// The line the transfer tests write to.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "box.h"
#include "platform/serial_ports.h"
#include "simplatform/sim_platform.h"

// Opens COM1 on the simulated line as the program does: 115200 baud, no
// handshake, write time-out of 10 ms plus 1 ms per byte. What is at the far
// end: for how a transfer writes, a line that takes every byte and says
// nothing (sink); for what a box answers during a transfer, the box model led
// to its "file:" prompt.
class TransferLineTest : public ::testing::Test {
protected:
    void openLine(std::uint32_t baud = 115200, simline::LineOptions options = {}) {
        simline::install(sink, options);
        openPort(baud);
    }
    // A box of this scenario's version, already in its boot loader, that has
    // taken the download key and said "file:".
    void openAtFilePrompt(boxmodel::Scenario scenario, char key) {
        scenario.inBootloader = true;
        scenario.switchOnMs = 10;
        box = std::make_unique<boxmodel::Box>(std::move(scenario));
        simline::install(*box);
        openPort(115200);
        ASSERT_TRUE(readUntil("choice!:"));
        platform::sleepMs(box->scenario().menuSwitchMs);
        std::uint32_t sent = 0;
        ASSERT_TRUE(platform::writePort(port, &key, 1, sent));
        ASSERT_TRUE(readUntil("file:"));
    }
    void TearDown() override {
        if (port != platform::kInvalidPort && simline::portOpen()) platform::closePort(port);
        simline::uninstall();
    }

    // Sizes of the PC's writes, in order.
    static std::vector<std::size_t> writeSizes() {
        std::vector<std::size_t> sizes;
        for (const auto& event : simline::events())
            if (event.kind == simline::LineEvent::Kind::Write) sizes.push_back(event.bytes.size());
        return sizes;
    }

    simline::ScriptedPeer sink{std::vector<simline::ScriptedPeer::Step>{}};
    std::unique_ptr<boxmodel::Box> box;
    platform::PortHandle port = platform::kInvalidPort;

private:
    void openPort(std::uint32_t baud) {
        port = platform::openPort(platform::defaultDeviceForComPort(1).c_str());
        ASSERT_NE(port, platform::kInvalidPort);
        ASSERT_TRUE(platform::configureLine(port, baud, true));
        ASSERT_TRUE(platform::setWriteTimeouts(port, 1, 10));
    }
    // Reads until the box has said text; false after five quiet seconds.
    bool readUntil(const std::string& text) const {
        std::string heard;
        const std::uint32_t start = platform::millis();
        while (heard.find(text) == std::string::npos) {
            if (platform::millis() - start > 5000) return false;
            platform::waitForInput(port, 100);
            char buffer[256];
            std::uint32_t received = 0;
            if (!platform::readPort(port, buffer, sizeof buffer, received)) return false;
            heard.append(buffer, received);
        }
        return true;
    }
};

// The progress line as the transfers print it.
inline std::string progressLine(unsigned pct) {
    char field[8];
    std::snprintf(field, sizeof field, "%4u", pct);
    return std::string(field) + " % transfered       " + std::string(24, '\b');
}
