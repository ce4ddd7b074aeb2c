// A box stand-in for the procedure tests: it shows its menu, takes one key,
// answers "file:" for a download key, takes the data and reports "finished!"
// (or what it is told to) once the data has stopped for two seconds.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "simplatform/sim_platform.h"
#include "platform/serial_ports.h"

class MenuBox : public simline::Peer {
public:
    std::string menu = "Main menu\r\nchoice!:";
    // Sent once this many data bytes have arrived (SIZE_MAX: never).
    std::size_t replyAfterData = SIZE_MAX;
    std::string reply;
    // What it says once the data has stopped for two seconds.
    std::string afterData = "finished!\r\n";

    std::uint64_t hangUpAtUs = simline::kNoEvent;

    std::vector<std::uint8_t> keys;  // bytes before "file:"
    std::vector<std::uint8_t> data;  // bytes after it
    std::vector<std::uint32_t> keyBauds;

    void receive(std::uint8_t byte, std::uint32_t pcBaud, std::uint64_t nowUs) override {
        baud_ = pcBaud;
        if (!downloading_) {
            keys.push_back(byte);
            keyBauds.push_back(pcBaud);
            if (byte == '2' || byte == '3' || byte == '7') {
                downloading_ = true;
                transmit("\r\nfile:", pcBaud);
            }
            return;
        }
        data.push_back(byte);
        lastDataUs_ = nowUs;
        if (data.size() == replyAfterData) transmit(reply, pcBaud);
    }
    std::uint64_t nextEventUs() const override {
        if (!menuShown_) return 0;
        if (data.empty() || finished_) return simline::kNoEvent;
        return lastDataUs_ + 2'000'000;
    }
    void onTimer(std::uint64_t nowUs) override {
        if (!menuShown_) {
            menuShown_ = true;
            transmit(menu, 115200);
            return;
        }
        if (!data.empty() && !finished_ && nowUs >= lastDataUs_ + 2'000'000) {
            finished_ = true;
            transmit(afterData, baud_);
        }
    }

    bool hungUp(std::uint64_t nowUs) const override { return nowUs >= hangUpAtUs; }

private:
    bool menuShown_ = false;
    bool downloading_ = false;
    bool finished_ = false;
    std::uint64_t lastDataUs_ = 0;
    std::uint32_t baud_ = 115200;
};

class ProcedureTest : public ::testing::Test {
protected:
    void SetUp() override {
        simline::install(box);
        port = platform::openPort(platform::defaultDeviceForComPort(1).c_str());
        ASSERT_NE(port, platform::kInvalidPort);
        ASSERT_TRUE(platform::configureLine(port, 115200, false));
        ASSERT_TRUE(platform::setWriteTimeouts(port, 1, 10));
    }
    void TearDown() override {
        if (simline::portOpen()) platform::closePort(port);
        simline::uninstall();
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

    static bool endsWith(const std::string& text, const std::string& tail) {
        return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
    }
    static bool startsWith(const std::string& text, const std::string& head) { return text.rfind(head, 0) == 0; }

    static constexpr char kSuccessTail[] = " Done!\nProgramming the flash memory... Done!                    \n";

    MenuBox box;
    platform::PortHandle port = platform::kInvalidPort;
    std::string out;
    std::string err;
};
