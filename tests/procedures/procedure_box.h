// The procedure tests' box: the box model, already in its boot loader, on the
// simulated line; the port open at 115200 as the main loop hands it over.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "box.h"
#include "platform/serial_ports.h"
#include "simplatform/sim_platform.h"

class ProcedureTest : public ::testing::Test {
protected:
    void TearDown() override { disconnect(); }

    // A box of this version that shows its menu as soon as the line is up.
    static boxmodel::Scenario boxOf(const char* version) {
        boxmodel::Scenario scenario;
        scenario.version = version;
        scenario.inBootloader = true;
        scenario.switchOnMs = 10;
        return scenario;
    }

    // The same box with a fault that strikes the transfer at this byte.
    static boxmodel::Scenario withFault(boxmodel::Scenario scenario, boxmodel::TransferFault fault,
                                        std::uint64_t atByte, std::string text = {}) {
        scenario.transferFault = fault;
        scenario.faultAtByte = atByte;
        if (!text.empty()) scenario.faultText = std::move(text);
        return scenario;
    }

    // pcClock: lets the box check the time stamp the PC sends.
    void connect(boxmodel::Scenario scenario, boxmodel::PcClock pcClock = {}) {
        disconnect();
        box = std::make_unique<boxmodel::Box>(std::move(scenario), std::move(pcClock));
        simline::install(*box);
        port = platform::openPort(platform::defaultDeviceForComPort(1).c_str());
        ASSERT_NE(port, platform::kInvalidPort);
        ASSERT_TRUE(platform::configureLine(port, 115200, true));
        ASSERT_TRUE(platform::setWriteTimeouts(port, 1, 10));
    }
    void disconnect() {
        if (!box) return;
        if (simline::portOpen()) platform::closePort(port);
        simline::uninstall();
        box.reset();
    }

    // Runs the procedure with standard output and standard error captured.
    template <typename Run>
    int capture(Run run) {
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        const int result = run();
        out = testing::internal::GetCapturedStdout();
        err = testing::internal::GetCapturedStderr();
        return result;
    }

    std::vector<std::uint32_t> sleeps() const {
        std::vector<std::uint32_t> ms;
        for (const auto& event : simline::events())
            if (event.kind == simline::LineEvent::Kind::Sleep) ms.push_back(event.value);
        return ms;
    }

    // The menu key the PC chose: the first byte it sent.
    static int keySent() {
        const std::vector<std::uint8_t> sent = simline::bytesWritten();
        return sent.empty() ? -1 : sent[0];
    }

    boxmodel::Outcome::Kind outcome() const { return box->outcome().kind; }
    // What the PC sent after the download key, as the box took it.
    const std::vector<std::uint8_t>& download() const { return box->downloadBytes(); }

    static bool endsWith(const std::string& text, const std::string& tail) {
        return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
    }
    static bool startsWith(const std::string& text, const std::string& head) { return text.rfind(head, 0) == 0; }

    static constexpr char kSuccessTail[] = " Done!\nProgramming the flash memory... Done!                    \n";

    std::unique_ptr<boxmodel::Box> box;
    platform::PortHandle port = platform::kInvalidPort;
    std::string out;
    std::string err;
};
