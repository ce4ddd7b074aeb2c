// The generation 1 procedures over the simulated line: each member's menu
// dialogue, the hyper.pad it hands over, and what it leaves behind.
#include <gtest/gtest.h>

#include <filesystem>
#include <stdexcept>

#include "hyper_pad_bytes.h"
#include "platform/serial_ports.h"
#include "on_the_line.h"
#include "procedures/procedures.h"
#include "common/status.h"

using platform::PortHandle;

namespace {

constexpr auto kReadOnly = std::filesystem::perms::owner_read | std::filesystem::perms::group_read |
                          std::filesystem::perms::others_read;

using Procedure = int (*)(PortHandle, const char*, std::uint32_t, std::uint32_t, int, bool, bool, int, bool);

struct Member {
    const char* name;
    const char* version;
    Procedure procedure;
    std::uint32_t menuBaud;
    std::vector<std::uint8_t> keys;
    std::uint8_t modeByte;
    bool pausesBeforeKey;
    const char* firstText;
};

const Member kMembers[] = {
    {"Bootloader14", "1.4", updateBootloader14, 38400, {'2', 'y'}, 0, false,
     "Erasing flash memory... Done!\nDownload hyper bootloader..."},
    {"Bootloader15", "1.5", updateBootloader15, 115200, {'2'}, 0, true, "Download hyper bootloader... "},
    {"Bootloader16", "1.6", updateBootloader16, 115200, {'3'}, 0, false, "Download hyper bootloader... "},
    {"Bootloader17", "1.7", updateBootloader17, 115200, {'3'}, 1, false, "Download hyper bootloader..."},
    {"Bootloader18", "1.8", updateBootloader18, 115200, {'3'}, 0, false, "Download hyper bootloader..."},
};

void PrintTo(const Member& member, std::ostream* os) { *os << member.name; }

class Generation1 : public OnTheLine {
protected:
    void SetUp() override {
        OnTheLine::SetUp();
        Bytes payload;
        for (int i = 0; i < 2000; ++i) payload.push_back(i % 3 == 0 ? 0 : static_cast<std::uint8_t>(i * 13));
        image = paddedImage(payload);
        test_support::writeWholeFile("image.bin", std::string(image.begin(), image.end()));
    }

    // The box of that member, already in its boot loader, shows its menu at
    // once.
    void connectTo(const Member& member, boxmodel::Scenario scenario = {}) {
        scenario.version = member.version;
        scenario.inBootloader = true;
        scenario.switchOnMs = 10;
        connect(std::move(scenario));
    }

    // The bytes the PC sent before hyper.pad: the menu keys.
    static std::vector<Sent> keysSent(std::size_t count) {
        std::vector<Sent> sent = bytesSent();
        if (sent.size() > count) sent.resize(count);
        return sent;
    }

    int update(const Member& member) {
        return run([&] { return member.procedure(port, "image.bin", 2008, 0, 0, false, false, 115200, false); });
    }

    Bytes image;
};

class EachMember : public Generation1, public ::testing::WithParamInterface<Member> {};

TEST_P(EachMember, LoadsTheHyperBootloaderAndSendsTheImageThroughIt) {
    const Member& member = GetParam();
    connectTo(member);
    ASSERT_EQ(update(member), 0) << err;

    const std::vector<Sent> keys = keysSent(member.keys.size());
    ASSERT_EQ(keys.size(), member.keys.size());
    for (std::size_t i = 0; i < member.keys.size(); ++i) {
        EXPECT_EQ(keys[i].byte, member.keys[i]) << "key " << i;
        EXPECT_EQ(keys[i].baud, member.menuBaud) << "key " << i;
    }

    // The box took hyper.pad only when it held the hyper bootloader and the
    // member's mode byte, stored or packed as the member expects.
    EXPECT_EQ(box->outcome().kind, boxmodel::Outcome::Kind::Flashed) << box->outcome().detail;
    EXPECT_EQ(box->flashedImage(), image);
    if (member.menuBaud == 38400) {
        // 1.4 stays at the opening speed until the hyper bootloader runs.
        EXPECT_EQ(bytesWrittenBeforeSpeedChange(), member.keys.size() + expectedHyperPad(member.modeByte).size());
    } else {
        EXPECT_EQ(bytesWrittenBeforeSpeedChange(), 0u);
    }
    EXPECT_FALSE(std::filesystem::exists("hyper.pad"));
    EXPECT_TRUE(simline::portOpen());
    EXPECT_EQ(err, "");
    // The progress field, four characters wide, follows the announcement
    // directly, which pins a trailing blank.
    EXPECT_TRUE(startsWith(out, member.firstText)) << out;
    EXPECT_EQ(out.find(" % transfered"), std::string(member.firstText).size() + 4) << out;
    EXPECT_NE(out.find("Done!                       \nDownload file..."), std::string::npos) << out;
    EXPECT_TRUE(endsWith(out, "Programming the flash memory... Done!\n")) << out;

    // The event just before the download key: 1.5 pauses 100 ms there.
    const auto& events = simline::events();
    std::size_t firstWrite = 0;
    while (firstWrite < events.size() && events[firstWrite].kind != simline::LineEvent::Kind::Write) ++firstWrite;
    ASSERT_GT(firstWrite, 0u);
    const auto& before = events[firstWrite - 1];
    EXPECT_EQ(before.kind == simline::LineEvent::Kind::Sleep && before.value == 100, member.pausesBeforeKey);
}

INSTANTIATE_TEST_SUITE_P(Members, EachMember, ::testing::ValuesIn(kMembers),
                         [](const auto& info) { return std::string(info.param.name); });

const Member& member(const char* name) {
    for (const Member& candidate : kMembers) {
        if (std::string(candidate.name) == name) return candidate;
    }
    throw std::invalid_argument(name);
}

TEST_F(Generation1, UnwritableHyperPadReleasesTheBoxAtTheMenu) {
    test_support::writeWholeFile("hyper.pad", "older");
    std::filesystem::permissions("hyper.pad", kReadOnly);
    connectTo(member("Bootloader17"));
    EXPECT_EQ(update(member("Bootloader17")), 1);
    EXPECT_EQ(err, "Cannot create hyper bootloader file, try to restart!\n");
    EXPECT_FALSE(simline::portOpen());
    drainLine();
    const std::vector<Sent> keys = bytesSent();
    ASSERT_EQ(keys.size(), 1u);
    EXPECT_EQ(keys[0].byte, '1');
    EXPECT_EQ(keys[0].baud, 115200u);
    EXPECT_EQ(box->outcome().kind, boxmodel::Outcome::Kind::Released);
    EXPECT_EQ(out, "");
    EXPECT_EQ(test_support::readFileBytes("hyper.pad"), (Bytes{'o', 'l', 'd', 'e', 'r'}));
}

TEST_F(Generation1, FailedHyperPadTransferKeepsTheFile) {
    boxmodel::Scenario scenario;
    scenario.transferFault = boxmodel::TransferFault::Question;
    scenario.faultAtByte = 1;
    connectTo(member("Bootloader16"), scenario);
    EXPECT_EQ(update(member("Bootloader16")), 1);
    EXPECT_EQ(err, "Error(s) during erasing, programming or transfering. Abort!\n\n");
    EXPECT_EQ(test_support::readFileBytes("hyper.pad"), expectedHyperPad(0));
    EXPECT_FALSE(simline::portOpen());
}

TEST_F(Generation1, StalledHyperPadTransferGetsTheErrorFormOfTheTimeOutReport) {
    // A box that stops taking data: the PC's writes stall until the limit.
    boxmodel::Scenario scenario;
    scenario.transferFault = boxmodel::TransferFault::StopReading;
    scenario.faultAtByte = 100;
    connectTo(member("Bootloader18"), scenario);
    EXPECT_EQ(update(member("Bootloader18")), 1);
    EXPECT_EQ(box->outcome().kind, boxmodel::Outcome::Kind::Stalled);
    EXPECT_EQ(err, "Fatal error, settop box does not responding. Abort!\n\n");
    EXPECT_TRUE(std::filesystem::exists("hyper.pad"));
    EXPECT_FALSE(simline::portOpen());
}

TEST_F(Generation1, BoxErrorInsteadOfTheFilePromptFails) {
    boxmodel::Scenario scenario;
    scenario.errorAt = boxmodel::Prompt::File;
    scenario.errorText = "no flash";
    connectTo(member("Bootloader14"), scenario);
    EXPECT_EQ(update(member("Bootloader14")), 1);
    EXPECT_EQ(err, "waitFor error: " + std::to_string(UPD_ERR_BOX_ERROR) + "\n");
    EXPECT_NE(out.find("ERRORgaga: no flash"), std::string::npos) << out;
    EXPECT_TRUE(std::filesystem::exists("hyper.pad"));
    EXPECT_FALSE(simline::portOpen());
}

TEST_F(Generation1, FailedSpeedSwitchAtTheMenuEndsQuietly) {
    connectTo(member("Bootloader17"));
    simline::faults().setStateFails = true;
    EXPECT_EQ(update(member("Bootloader17")), 1);
    EXPECT_EQ(err, "");
    EXPECT_TRUE(simline::bytesWritten().empty());
    EXPECT_FALSE(simline::portOpen());
}

}  // namespace
