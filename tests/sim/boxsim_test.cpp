// boxsim over a real pseudo-terminal, with a scripted PC on the other end.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "boxsim_options.h"
#include "pc_port.h"
#include "support/image_bytes.h"
#include "support/process.h"
#include "support/temp_directory.h"

using boxtest::PcPort;

namespace {

// boxsim in the background, with the arguments after its own path.
std::vector<std::string> boxsimCommand(std::vector<std::string> args) {
    args.insert(args.begin(), BOXSIM_PATH);
    return args;
}

int exitCodeWithin(test_support::Background& boxsim, int limitMs = 10000) {
    return boxsim.wait(std::chrono::milliseconds{limitMs}).exitCode;
}

void putBig32(std::string& out, std::uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<char>(value >> shift & 0xFF));
}

std::uint32_t sumOf(std::string_view bytes) {
    std::uint32_t sum = 0;
    for (const char c : bytes) sum += static_cast<std::uint8_t>(c);
    return sum;
}

}  // namespace

TEST(Boxsim, SatelliteRequestAtThePacedSpeedOfA38400Box) {
    const test_support::TempDirectory scratch{"boxsim-test-"};
    const std::string& dir = scratch.path();
    test_support::Background boxsim(boxsimCommand({"--bootloader", "1.7", "--link", dir + "/com1", "--log", dir + "/log", "--expect",
                          "satellite:6", "--timeout", "20"}));
    PcPort pc;
    ASSERT_TRUE(pc.open(dir + "/com1", B38400));
    const auto start = std::chrono::steady_clock::now();
    pc.write(" quorcom");
    const std::string menu = pc.readUntil("choice!:", 5000);
    const auto took = boxtest::msSince(start);
    ASSERT_NE(menu.find("Bootloader Version 1.7\r\n"), std::string::npos) << menu;
    // 8 keyword bytes, 100 ms reply delay, 20 ms menu delay and the text itself
    // at 3840 bytes a second.
    const auto lineMs = (8 + menu.size()) * 1000 / 3840;
    EXPECT_GE(took, 100 + 20 + lineMs - 5);
    EXPECT_LT(took, 100 + 20 + lineMs + 300);

    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    pc.setSpeed(B115200);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    pc.write("6");
    // As the program does: the key is its last word, and the line is let go
    // once it has left.
    const auto sent = std::chrono::steady_clock::now();
    while (test_support::readWholeFile(dir + "/log").find("\"6\"") == std::string::npos && boxtest::msSince(sent) < 5000)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    pc.close();
    EXPECT_EQ(exitCodeWithin(boxsim, 3000), 0) << boxsim.outputSoFar();
    EXPECT_EQ(boxsim.outputSoFar(), "box 1 (boot loader 1.7): satellite:6: satellite update requested with key 6 at "
                               "115200 baud\n");
    const std::string log = test_support::readWholeFile(dir + "/log");
    EXPECT_NE(log.find("keyword \" quorcom\" recognised at 38400 baud"), std::string::npos) << log;
    EXPECT_NE(log.find("PC>box  115200  \"6\""), std::string::npos) << log;
}

// As on a UART: a byte leaves at the speed the line has when it goes, and
// one still waiting when the PC puts the old speed back is garbled.
TEST(Boxsim, KeyStillWaitingWhenThePcRestoresTheLinesSpeedLeavesAtTheRestoredSpeed) {
    const test_support::TempDirectory scratch{"boxsim-test-"};
    const std::string& dir = scratch.path();
    test_support::Background boxsim(boxsimCommand({"--bootloader", "1.7", "--link", dir + "/com1", "--log", dir + "/log", "--expect",
                          "satellite:6", "--timeout", "3", "--full-speed"}));
    PcPort pc;
    ASSERT_TRUE(pc.open(dir + "/com1", B38400));
    pc.write(" quorcom");
    ASSERT_NE(pc.readUntil("choice!:", 5000).find("choice!:"), std::string::npos);
    pc.setSpeed(B115200);
    std::this_thread::sleep_for(std::chrono::milliseconds(400));  // boxsim sees the switch
    // The key and the restored speed reach boxsim together.
    boxsim.pause();
    pc.write("6");
    pc.restoreSpeedOnly();
    boxsim.resume();
    // The PC lets go only once the box has taken the key, one way or the other.
    const auto start = std::chrono::steady_clock::now();
    while (test_support::readWholeFile(dir + "/log").find("\"6\"") == std::string::npos && boxtest::msSince(start) < 5000)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    pc.close();
    EXPECT_NE(exitCodeWithin(boxsim, 5000), 0) << boxsim.outputSoFar() << test_support::readWholeFile(dir + "/log");
    const std::string log = test_support::readWholeFile(dir + "/log");
    EXPECT_NE(log.find("PC>box  38400   \"6\"  (garbled: sent at another speed)"), std::string::npos) << log;
}

TEST(Boxsim, KeyAtTheWrongSpeedIsGarbledAndTheExpectationFails) {
    const test_support::TempDirectory scratch{"boxsim-test-"};
    const std::string& dir = scratch.path();
    test_support::Background boxsim(boxsimCommand({"--bootloader", "1.7", "--link", dir + "/com1", "--log", dir + "/log", "--expect",
                          "satellite", "--timeout", "3"}));
    PcPort pc;
    ASSERT_TRUE(pc.open(dir + "/com1", B38400));
    pc.write(" quorcom");
    ASSERT_NE(pc.readUntil("choice!:", 5000).find("choice!:"), std::string::npos);
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    pc.write("6");  // still at 38400: the box listens at 115200 by now
    EXPECT_EQ(exitCodeWithin(boxsim), 1);
    EXPECT_NE(boxsim.outputSoFar().find("gave up after the time-out: box 1: at the menu"), std::string::npos)
        << boxsim.outputSoFar();
    EXPECT_NE(test_support::readWholeFile(dir + "/log").find("(garbled: sent at another speed)"), std::string::npos);
}

TEST(Boxsim, DatedDownloadWritesTheFlashedImage) {
    const test_support::TempDirectory scratch{"boxsim-test-"};
    const std::string& dir = scratch.path();
    test_support::Background boxsim(boxsimCommand({"--bootloader", "4.12", "--link", dir + "/com1", "--full-speed", "--programming-ms", "100",
                          "--image-out", dir + "/flashed", "--expect", "flashed", "--timeout", "20"}));
    PcPort pc;
    ASSERT_TRUE(pc.open(dir + "/com1", B115200));
    pc.write(" quorcom");
    for (const char digit : std::string("0123")) {
        pc.write(std::string(1, digit));
        ASSERT_EQ(pc.readUntil(std::string(1, digit), 1000), std::string(1, digit));
    }
    pc.write("\x5B\xE7");
    ASSERT_NE(pc.readUntil("choice!:", 3000).find("Bootloader Version 4.12"), std::string::npos);
    std::this_thread::sleep_for(std::chrono::milliseconds(350));
    pc.write("2");
    ASSERT_NE(pc.readUntil("file:", 3000).find("file:"), std::string::npos);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));

    std::time_t now = std::time(nullptr);
    std::tm lt{};
    localtime_r(&now, &lt);
    const int y = lt.tm_year, m = lt.tm_mon + 1, l = m <= 2 ? 1 : 0;
    const int mjd = 14956 + lt.tm_mday + static_cast<int>((y - l) * 365.25) + static_cast<int>((m + 1 + l * 12) * 30.6001);
    auto bcd = [](int v) { return static_cast<char>((v / 10) << 4 | v % 10); };
    std::string records{static_cast<char>(mjd >> 8 & 0xFF), static_cast<char>(mjd & 0xFF), bcd(lt.tm_hour),
                        bcd(lt.tm_min), bcd(lt.tm_sec)};
    test_support::Bytes payload(70000);
    for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<std::uint8_t>(i % 253);
    const auto image = test_support::paddedImage(payload, test_support::typeAndId(7, 0x4000C));
    const std::string file(image.begin(), image.end());
    const auto imageLength = static_cast<std::uint32_t>(payload.size() + 8);
    putBig32(records, imageLength);
    records += '\x07';
    putBig32(records, 0x4000C);
    pc.write(records);
    pc.write(file);
    std::string sum;
    putBig32(sum, sumOf(std::string_view(file).substr(0, imageLength)));
    pc.write(sum);
    const std::string progress = pc.readUntil("finished!", 10000);
    EXPECT_NE(progress.find("ep"), std::string::npos) << "a sector was programmed";
    EXPECT_NE(progress.find("finished!"), std::string::npos) << progress;
    pc.close();
    EXPECT_EQ(exitCodeWithin(boxsim), 0) << boxsim.outputSoFar();
    EXPECT_EQ(test_support::readWholeFile(dir + "/flashed"), file);
}

TEST(Boxsim, AtFullSpeedTheBoxsRepliesReachThePcWhileItIsStillWriting) {
    const test_support::TempDirectory scratch{"boxsim-test-"};
    const std::string& dir = scratch.path();
    test_support::Background boxsim(boxsimCommand({"--bootloader", "4.12", "--no-irdeto", "--link", dir + "/com1", "--full-speed", "--fault",
                          "error", "--fault-text", "flash broken", "--fault-at", "30000", "--clock-tolerance", "-1",
                          "--expect", "aborted", "--timeout", "20"}));
    PcPort pc;
    ASSERT_TRUE(pc.open(dir + "/com1", B115200));
    pc.write(" quorcom");
    ASSERT_NE(pc.readUntil("choice!:", 3000).find("choice!:"), std::string::npos);
    std::this_thread::sleep_for(std::chrono::milliseconds(350));
    pc.write("2");
    ASSERT_NE(pc.readUntil("file:", 3000).find("file:"), std::string::npos);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    pc.write(std::string("\xC0\x79\x12\x45\x00", 5));
    std::string announcement;
    putBig32(announcement, 200008);
    announcement += '\x07';
    putBig32(announcement, 0x4000C);
    pc.write(announcement);
    // The program's way: a block, then whatever the box has said meanwhile.
    std::string replies;
    std::size_t sent = 0;
    while (sent < 200013 && replies.find("ERROR:") == std::string::npos) {
        pc.write(std::string(10240, '\x55'), 20);
        sent += 10240;
        replies += pc.readNow();
    }
    EXPECT_NE(replies.find("ERROR: flash broken\r\n"), std::string::npos);
    // Generous: a loaded machine may let a few more blocks go before the reply is read.
    EXPECT_LT(sent, 30000u + 10240 * 10) << "the reply came only after the program had written on";
    pc.close();
    EXPECT_EQ(exitCodeWithin(boxsim), 0) << boxsim.outputSoFar();
    EXPECT_EQ(boxsim.outputSoFar(),
              "box 1 (boot loader 4.12): aborted: ended the transfer with \"ERROR: flash broken\" after 29999 bytes\n");
}

TEST(Boxsim, HangUpDropsTheLineAndTheNextBoxComesOnAFreshOne) {
    const test_support::TempDirectory scratch{"boxsim-test-"};
    const std::string& dir = scratch.path();
    test_support::Background boxsim(boxsimCommand({"--bootloader", "4.20", "--link", dir + "/com1", "--hangup-at", "version", "--boxes", "2",
                          "--expect", "hungup,released", "--timeout", "20"}));
    {
        PcPort pc;
        ASSERT_TRUE(pc.open(dir + "/com1", B115200));
        pc.write(" quorcom");
        const std::string got = pc.readUntil("", 3000);
        EXPECT_TRUE(pc.hungUp);
        EXPECT_NE(got.find("Bootloader Version 4.20"), std::string::npos);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    // The program opens the path again and finds the box plugged back in (the
    // second box hangs up nowhere: the scenario's fault struck the first).
    PcPort again;
    ASSERT_TRUE(again.open(dir + "/com1", B115200));
    again.write(" quorcom");
    const std::string second = again.readUntil("", 1500);
    EXPECT_TRUE(again.hungUp) << "every box of the run has the same scenario";
    EXPECT_NE(second.find("Bootloader Version 4.20"), std::string::npos);
    EXPECT_EQ(exitCodeWithin(boxsim), 1);
    EXPECT_NE(boxsim.outputSoFar().find("box 2 (boot loader 4.20): hungup: hung up at step version [expected released]"),
              std::string::npos)
        << boxsim.outputSoFar();
}

TEST(Boxsim, SeveralBoxesOnTheSamePathOneAfterTheProgramClosedTheLine) {
    const test_support::TempDirectory scratch{"boxsim-test-"};
    const std::string& dir = scratch.path();
    test_support::Background boxsim(boxsimCommand({"--bootloader", "4.20", "--link", dir + "/com1", "--log", dir + "/log", "--boxes", "2",
                          "--full-speed", "--expect", "satellite:5,released", "--timeout", "20"}));
    for (const char* key : {"5", "1"}) {
        PcPort pc;
        ASSERT_TRUE(pc.open(dir + "/com1", B115200));
        pc.write(" quorcom");
        // The menu is the event; the limit only ends a wait for a box that
        // never answers, and a busy machine under the sanitizers needs more
        // than a few seconds to start one.
        const std::string menu = pc.readUntil("choice!:", 15000);
        ASSERT_NE(menu.find("choice!:"), std::string::npos) << key << "\n" << test_support::readWholeFile(dir + "/log");
        EXPECT_EQ(menu.find("choice!:"), menu.rfind("choice!:")) << "nothing left over from the previous box";
        std::this_thread::sleep_for(std::chrono::milliseconds(350));
        pc.write(key);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_EQ(exitCodeWithin(boxsim), 0) << boxsim.outputSoFar();
    EXPECT_NE(boxsim.outputSoFar().find("box 2 (boot loader 4.20): released"), std::string::npos) << boxsim.outputSoFar();
}

TEST(BoxsimOptions, ReadsTheScenarioAndRefusesWhatItDoesNotKnow) {
    const auto ok = boxsim::parseOptions({"--link", "/tmp/x", "--bootloader=1.4", "--slow-keyword", "--echo", "..x*",
                                          "--fault", "warnings", "--fault-at", "5000", "--image-id", "0x4000B",
                                          "--expect", "flashed,satellite:8", "--boxes", "3", "--hangup-at", "sum"});
    ASSERT_FALSE(ok.error) << *ok.error;
    EXPECT_EQ(ok.options.scenario.version, "1.4");
    EXPECT_EQ(ok.options.scenario.keywordBaud, 9600u);
    EXPECT_EQ(ok.options.scenario.echoPattern, "..x*");
    EXPECT_EQ(ok.options.scenario.transferFault, boxmodel::TransferFault::Warnings);
    EXPECT_EQ(ok.options.scenario.faultAtByte, 5000u);
    EXPECT_EQ(ok.options.scenario.imageId, 0x4000Bu);
    EXPECT_EQ(ok.options.scenario.hangUpAt, boxmodel::Step::Sum);
    EXPECT_EQ(ok.options.expect, (std::vector<std::string>{"flashed", "satellite:8"}));
    EXPECT_EQ(ok.options.boxes, 3u);

    for (const std::vector<std::string>& bad : std::vector<std::vector<std::string>>{
             {"--bootloader", "4.12"},
             {"--link", "/tmp/x", "--fault", "smoke"},
             {"--link", "/tmp/x", "--expect", "flashed:2"},
             {"--link", "/tmp/x", "--boxes", "0"},
             {"--link", "/tmp/x", "--echo", "abc"},
             {"--link", "/tmp/x", "--switch-on-ms", "soon"},
             {"--link", "/tmp/x", "--hangup-at"},
             {"--link", "/tmp/x", "--full-speed=yes"},
             {"--link", "/tmp/x", "--", "update"},  // only a replay starts a program
             {"--replay", "t.txt", "--"},
         })
        EXPECT_TRUE(boxsim::parseOptions(bad).error) << bad.back();
}

TEST(BoxsimOptions, EverythingAfterTheDoubleDashIsTheProgramTheReplayStarts) {
    // The program's own options are its, not boxsim's; it needs no --link.
    const auto replay = boxsim::parseOptions({"--replay", "t.txt", "--", "update", "--timeout", "-s", "orb"});
    ASSERT_FALSE(replay.error) << *replay.error;
    EXPECT_EQ(replay.options.program, (std::vector<std::string>{"update", "--timeout", "-s", "orb"}));
    EXPECT_EQ(replay.options.timeoutS, 600);
    EXPECT_TRUE(boxsim::parseOptions({"--replay", "t.txt"}).error) << "without a program the line's path is needed";
}
