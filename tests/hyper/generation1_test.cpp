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
    Procedure procedure;
    std::uint32_t menuBaud;
    bool asksNow;
    std::vector<std::uint8_t> keys;
    std::uint8_t modeByte;
    bool packed;
    bool pausesBeforeKey;
    const char* firstText;
};

const Member kMembers[] = {
    {"Bootloader14", updateBootloader14, 38400, true, {'2', 'y'}, 0, false, false,
     "Erasing flash memory... Done!\nDownload hyper bootloader..."},
    {"Bootloader15", updateBootloader15, 115200, false, {'2'}, 0, false, true, "Download hyper bootloader... "},
    {"Bootloader16", updateBootloader16, 115200, false, {'3'}, 0, true, false, "Download hyper bootloader... "},
    {"Bootloader17", updateBootloader17, 115200, false, {'3'}, 1, true, false, "Download hyper bootloader..."},
    {"Bootloader18", updateBootloader18, 115200, false, {'3'}, 0, true, false, "Download hyper bootloader..."},
};

void PrintTo(const Member& member, std::ostream* os) { *os << member.name; }

class Generation1 : public OnTheLine {
protected:
    void SetUp() override {
        OnTheLine::SetUp();
        for (int i = 0; i < 2000; ++i) imageBytes.push_back(i % 3 == 0 ? '\0' : static_cast<char>(i * 13));
        writeAll("image.bin", imageBytes);
    }

    void connectTo(const Member& member, Generation1BoxOptions options = {}) {
        options.menuBaud = member.menuBaud;
        options.asksNow = member.asksNow;
        connect(std::move(options));
    }

    int update(const Member& member) {
        return run([&] { return member.procedure(port, "image.bin", 2008, 0, 0, false, false, 115200, false); });
    }

    std::string imageBytes;
};

class EachMember : public Generation1, public ::testing::WithParamInterface<Member> {};

TEST_P(EachMember, LoadsTheHyperBootloaderAndSendsTheImageThroughIt) {
    const Member& member = GetParam();
    connectTo(member);
    ASSERT_EQ(update(member), 0) << err;

    ASSERT_EQ(box->keys.size(), member.keys.size());
    for (std::size_t i = 0; i < member.keys.size(); ++i) {
        EXPECT_EQ(box->keys[i].byte, member.keys[i]) << "key " << i;
        EXPECT_EQ(box->keys[i].baud, member.menuBaud) << "key " << i;
    }

    const Bytes expected = expectedHyperPad(member.modeByte);
    if (member.packed) {
        EXPECT_NE(box->hyperPad.size(), expected.size());
        EXPECT_EQ(unpack(box->hyperPad, expected.size()), expected);
    } else {
        EXPECT_EQ(box->hyperPad, expected);
    }
    EXPECT_EQ(box->modeByte, member.modeByte);
    const auto image = unpack(box->image, imageBytes.size());
    EXPECT_EQ(std::string(image.begin(), image.end()), imageBytes);
    EXPECT_EQ(box->phase(), Generation1Box::Phase::Programmed);

    EXPECT_FALSE(std::filesystem::exists("hyper.pad"));
    EXPECT_TRUE(simline::portOpen());
    EXPECT_EQ(err, "");
    // The progress field, four characters wide, follows the announcement
    // directly, which pins a trailing blank.
    EXPECT_TRUE(startsWith(out, member.firstText)) << out;
    EXPECT_EQ(out.find(" % transfered"), std::string(member.firstText).size() + 4) << out;
    EXPECT_NE(out.find("Done!                       \nDownload file..."), std::string::npos) << out;
    EXPECT_TRUE(endsWith(out, "Programming the flash memory... Done!\n")) << out;

    // 1.4 stays at the opening speed until the hyper bootloader runs.
    if (member.menuBaud == 38400) {
        EXPECT_EQ(bytesWrittenBeforeSpeedChange(), member.keys.size() + box->hyperPad.size());
    } else {
        EXPECT_EQ(bytesWrittenBeforeSpeedChange(), 0u);
    }

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
    writeAll("hyper.pad", "older");
    std::filesystem::permissions("hyper.pad", kReadOnly);
    connectTo(member("Bootloader17"));
    EXPECT_EQ(update(member("Bootloader17")), 1);
    EXPECT_EQ(err, "Cannot create hyper bootloader file, try to restart!\n");
    EXPECT_FALSE(simline::portOpen());
    drainLine();
    ASSERT_EQ(box->keys.size(), 1u);
    EXPECT_EQ(box->keys[0].byte, '1');
    EXPECT_EQ(box->keys[0].baud, 115200u);
    EXPECT_EQ(box->phase(), Generation1Box::Phase::Released);
    EXPECT_EQ(out, "");
    EXPECT_EQ(readAll("hyper.pad"), (Bytes{'o', 'l', 'd', 'e', 'r'}));
}

TEST_F(Generation1, FailedHyperPadTransferKeepsTheFile) {
    Generation1BoxOptions options;
    options.hyperPadReply = "?";
    connectTo(member("Bootloader16"), options);
    EXPECT_EQ(update(member("Bootloader16")), 1);
    EXPECT_EQ(err, "Error(s) during erasing, programming or transfering. Abort!\n\n");
    EXPECT_EQ(readAll("hyper.pad"), expectedHyperPad(0));
    EXPECT_FALSE(simline::portOpen());
}

TEST_F(Generation1, StalledHyperPadTransferGetsTheErrorFormOfTheTimeOutReport) {
    // A box that stops taking data: the PC's writes stall until the limit.
    class StallingBox : public Generation1Box {
    public:
        using Generation1Box::Generation1Box;
        bool acceptsInput(std::uint64_t) const override { return hyperPad.size() < 100; }
    };
    box = std::make_unique<StallingBox>(Generation1BoxOptions{});
    simline::install(*box);
    port = platform::openPort(platform::defaultDeviceForComPort(1).c_str());
    ASSERT_TRUE(platform::configureLine(port, 38400, true));
    ASSERT_TRUE(platform::setWriteTimeouts(port, 1, 10));
    EXPECT_EQ(update(member("Bootloader18")), 1);
    EXPECT_EQ(err, "Fatal error, settop box does not responding. Abort!\n\n");
    EXPECT_TRUE(std::filesystem::exists("hyper.pad"));
    EXPECT_FALSE(simline::portOpen());
}

TEST_F(Generation1, BoxErrorInsteadOfTheFilePromptFails) {
    Generation1BoxOptions options;
    options.fileReply = "ERRORgaga: no flash\n";
    connectTo(member("Bootloader14"), options);
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
    EXPECT_TRUE(box->keys.empty());
    EXPECT_FALSE(simline::portOpen());
}

}  // namespace
