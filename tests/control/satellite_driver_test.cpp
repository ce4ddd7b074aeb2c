// The satellite request and the driver's run, over the simulated line.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "box.h"
#include "control/driver.h"
#include "control/satellite.h"
#include "image/padded_image.h"
#include "serial/line_peers.h"
#include "serial/port_setup.h"
#include "common/status.h"
#include "support/temp_directory.h"

using platform::PortHandle;

namespace {

using simline::LineEvent;
using testpeers::written;

TEST(SatelliteMenuKey, FirstThreeLettersInAnyCaseChooseTheMethod) {
    struct Case {
        const char* argument;
        const char* key;
        const char* upper;
    };
    const Case cases[] = {
        {"eol", "5", "EOL"},   {"Eol", "5", "EOL"},     {"EOLIAN", "5", "EOLIAN"}, {"orb", "6", "ORB"},
        {"Mix", "8", "MIX"},   {"mi", nullptr, "MI"},   {"", nullptr, ""},         {"xeol", nullptr, "XEOL"},
        {"or", nullptr, "OR"}, {"m1x", nullptr, "M1X"},
    };
    for (const Case& c : cases) {
        std::string argument = c.argument;
        const char* key = satelliteMenuKey(argument.data());
        if (c.key == nullptr) {
            EXPECT_EQ(key, nullptr) << c.argument;
        } else {
            ASSERT_NE(key, nullptr) << c.argument;
            EXPECT_STREQ(key, c.key) << c.argument;
        }
        EXPECT_EQ(argument, c.upper);
    }
}

struct Satellite : testing::Test {
    void TearDown() override { simline::uninstall(); }
    int request(const char* key) {
        port = openComPort(1, 38400, 0, 1);
        EXPECT_NE(port, platform::kInvalidPort);
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        const int result = requestSatelliteUpdate(port, key);
        std::fflush(stdout);
        out = testing::internal::GetCapturedStdout();
        err = testing::internal::GetCapturedStderr();
        return result;
    }
    PortHandle port = platform::kInvalidPort;
    std::string out;
    std::string err;
};

// A box of 1.8, already in its boot loader: it shows its menu at 38400 once
// switched on, then listens at 115200.
boxmodel::Scenario menuAt38400(std::uint32_t switchOnMs) {
    boxmodel::Scenario scenario;
    scenario.version = "1.8";
    scenario.inBootloader = true;
    scenario.switchOnMs = switchOnMs;
    return scenario;
}

TEST_F(Satellite, AnswersTheMenuWithTheKeyAt115200) {
    boxmodel::Box box(menuAt38400(2000));
    simline::install(box);
    EXPECT_EQ(request("6"), 0);
    EXPECT_EQ(out, " Done!\nPlease be patient and wait for update to be finished..\nIt will last for about 10min\n");
    EXPECT_EQ(err, "");
    EXPECT_TRUE(simline::portOpen());
    const LineEvent* write = nullptr;
    for (const LineEvent& event : simline::events()) {
        if (event.kind == LineEvent::Kind::Write) write = &event;
    }
    ASSERT_NE(write, nullptr);
    // The key goes out only after the prompt, the pause and the speed change.
    EXPECT_GE(write->timeUs, (2000u + 300u + 500u) * 1000u);
    EXPECT_EQ(write->bytes, std::vector<std::uint8_t>{'6'});
    EXPECT_EQ(write->baud, 115200u);
    platform::sleepMs(10);  // the key crosses the line
    EXPECT_EQ(box.outcome().code(), "satellite:6");
    platform::closePort(port);
}

TEST_F(Satellite, FailuresCloseThePort) {
    {
        boxmodel::Scenario scenario = menuAt38400(0);
        scenario.errorAt = boxmodel::Prompt::Choice;
        scenario.errorText = "no transponder";
        boxmodel::Box box(scenario);
        simline::install(box);
        EXPECT_EQ(request("5"), 1);
        const std::string shown = "\n\nERRORgaga: no transponder\n\n\n";
        EXPECT_EQ(out, shown);
        EXPECT_EQ(err, "waitFor error: 536870919\n");
        EXPECT_FALSE(simline::portOpen());
        simline::uninstall();
    }
    {
        boxmodel::Box box(menuAt38400(0));
        simline::install(box);
        simline::faults().failSetBaudAfter = 0;
        EXPECT_EQ(request("5"), 1);
        EXPECT_EQ(out + err, "");
        EXPECT_EQ(written(), "");
        EXPECT_FALSE(simline::portOpen());
        simline::uninstall();
    }
    {
        simline::ScriptedPeer box({{"", "choice!:", 0, 38400}});
        box.accepting = false;
        simline::install(box, {.transmitBufferBytes = 0});
        EXPECT_EQ(request("8"), 1);
        EXPECT_EQ(err, "WriteFile error: 536870914\n");
        EXPECT_EQ(out, "");
        EXPECT_FALSE(simline::portOpen());
    }
}

// ---------------------------------------------------------------------------
// The driver

struct Run : testing::Test {
    void SetUp() override {
        directory = test_support::makeTempDirectory("driver_test_").string();
    }
    void TearDown() override {
        simline::uninstall();
        std::error_code ignored;
        for (const std::string& path : files) std::filesystem::remove(path, ignored);
        std::filesystem::remove(directory, ignored);
    }
    // A valid image with a 5-byte header extension and a small payload.
    std::string image(std::uint8_t type, std::uint32_t id) {
        std::vector<std::uint8_t> bytes(4 + 5 + 3 + 4);
        const std::uint8_t payload[3] = {1, 2, 3};
        writeBigEndian32(bytes.data(), 3);
        bytes[4] = type;
        writeBigEndian32(bytes.data() + 5, id);
        std::copy(payload, payload + 3, bytes.begin() + 9);
        writeBigEndian32(bytes.data() + 12, addByteSum(0, payload, 3));
        const std::string path = directory + "/image" + std::to_string(files.size()) + ".pad";
        std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                    static_cast<std::streamsize>(bytes.size()));
        files.push_back(path);
        return path;
    }
    int run(std::vector<std::string> arguments) {
        arguments.insert(arguments.begin(), "update");
        std::vector<char*> argv;
        for (std::string& argument : arguments) argv.push_back(argument.data());
        argv.push_back(nullptr);
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        const int code = runUpdate(static_cast<int>(arguments.size()), argv.data());
        out = testing::internal::GetCapturedStdout();
        err = testing::internal::GetCapturedStderr();
        return code;
    }
    std::vector<const LineEvent*> eventsOf(LineEvent::Kind kind) const {
        std::vector<const LineEvent*> found;
        for (const LineEvent& event : simline::events()) {
            if (event.kind == kind) found.push_back(&event);
        }
        return found;
    }
    std::string directory;
    std::vector<std::string> files;
    std::string out;
    std::string err;
};

TEST_F(Run, AnUnknownSatelliteMethodIsRefusedBeforeThePortIsOpened) {
    simline::ScriptedPeer box({});
    simline::install(box);
    EXPECT_EQ(run({"-s", "astra"}), 1);
    EXPECT_EQ(err, "astra is not a satellite method (eol, orb or mix).\n");
    EXPECT_EQ(out, "");
    EXPECT_TRUE(simline::events().empty());
}

TEST_F(Run, WithoutAnImageNameTheCheckFails) {
    simline::ScriptedPeer box({});
    simline::install(box);
    EXPECT_EQ(run({"-b", "-l"}), 1);
    EXPECT_EQ(out, "Checking file... failed! Abort\n");
    EXPECT_TRUE(simline::events().empty());

    EXPECT_EQ(run({directory + "/missing.pad"}), 1);
    EXPECT_EQ(out, "Checking file... failed! Abort\n");
}

TEST_F(Run, SatelliteRequestOpensAt115200AndEndsAfterTheKey) {
    simline::ScriptedPeer box({{" quorcom", "\r\nBootloader Version 5.0\r\n", 20}, {"", "choice!:", 100}});
    simline::install(box);
    EXPECT_EQ(run({"-p", "2", "-s", "Orbit"}), 0);
    EXPECT_EQ(out,
              "\n\nBootloader version 5.0 accessed!\n Done!\n"
              "Please be patient and wait for update to be finished..\nIt will last for about 10min\n");
    EXPECT_EQ(err, "");
    platform::sleepMs(10);  // the key is still on its way
    EXPECT_EQ(box.received, " quorcom6");
    const auto configured = eventsOf(LineEvent::Kind::Configure);
    ASSERT_EQ(configured.size(), 1u);
    EXPECT_EQ(configured[0]->baud, 115200u);
    EXPECT_EQ(configured[0]->value, 1u);
    EXPECT_EQ(eventsOf(LineEvent::Kind::Open)[0]->value, 2u);
}

TEST_F(Run, SatelliteRequestWithoutHandshakeForAZk7Box) {
    simline::ScriptedPeer box({{" quorcom", "Bootloader Version 4.22\n", 20}, {"", "choice!:", 100}});
    simline::install(box);
    EXPECT_EQ(run({"-7", "-s", "mix"}), 0);
    platform::sleepMs(10);
    EXPECT_EQ(box.received, " quorcom8");
    EXPECT_EQ(eventsOf(LineEvent::Kind::Configure)[0]->value, 0u);
}

TEST_F(Run, AnUnsupportedBootLoaderIsReleasedAndRefused) {
    simline::ScriptedPeer box({{" quorcom", "Bootloader Version 4.21\r\n", 20}});
    simline::install(box);
    EXPECT_EQ(run({image(4, 0x40002)}), 1);
    EXPECT_EQ(out, "Checking file... OK!\n\n\nBootloader version 4.21 accessed!\n");
    EXPECT_EQ(err, "Error: Bootloader Version 4.21 not supported!\n");
    platform::sleepMs(10);
    EXPECT_EQ(box.received, " quorcom11");
    EXPECT_FALSE(simline::portOpen());
    const auto writes = eventsOf(LineEvent::Kind::Write);
    ASSERT_EQ(writes.size(), 3u);
    EXPECT_EQ(writes[1]->baud, 115200u);
    EXPECT_EQ(writes[2]->baud, 38400u);
}

TEST_F(Run, OverrideDoesNotHelpAnUnknownVersion) {
    simline::ScriptedPeer box({{" quorcom", "Bootloader Version 5.0\r\n", 20}});
    simline::install(box);
    EXPECT_EQ(run({"-x", image(0, 0)}), 1);
    EXPECT_EQ(err, "Error: Bootloader Version 5.0 not supported!\n");
    // Image type 0 opens at 38400.
    EXPECT_EQ(eventsOf(LineEvent::Kind::Configure)[0]->baud, 38400u);
}

TEST_F(Run, ImageFactsTurnOnIrdetoModeAndTheZk7Settings) {
    // An image for boot loader 4.12 is sent the irdeto way: the box has to
    // echo the digits before it names its version.
    boxmodel::Scenario scenario;
    scenario.version = "4.2";
    scenario.irdeto = true;
    boxmodel::Box box(scenario);
    simline::install(box);
    EXPECT_EQ(run({image(7, 0x4000C)}), 1);
    EXPECT_EQ(err, "Error: Bootloader Version 4.2 not supported!\n");
    const std::vector<std::uint8_t> sent = simline::bytesWritten();
    EXPECT_EQ(std::string(sent.begin(), sent.end()).substr(0, 14), " quorcom0123\x5B\xE7");
    simline::uninstall();

    simline::ScriptedPeer zk7({{" quorcom", "Bootloader Version 4.2\n", 20}});
    simline::install(zk7);
    EXPECT_EQ(run({image(18, 0x40015)}), 1);
    EXPECT_EQ(eventsOf(LineEvent::Kind::Configure)[0]->value, 0u);
    EXPECT_EQ(eventsOf(LineEvent::Kind::Configure)[0]->baud, 115200u);
}

TEST_F(Run, APortThatCannotBeOpenedEndsTheRun) {
    simline::ScriptedPeer box({});
    simline::install(box);
    simline::faults().openFails = true;
    simline::faults().openError = EACCES;
    EXPECT_EQ(run({"-p", "4", image(4, 0)}), 1);
    EXPECT_EQ(out, "Checking file... OK!\n");
    EXPECT_EQ(err, "Inititialization of COM-port failed (Error: " + std::to_string(EACCES) + ")\n");
}

}  // namespace
