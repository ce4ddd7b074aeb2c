// Boot loaders 4.11 to 4.13 end to end over a pseudo-terminal: every table row
// flashes the file byte for byte with the box's checks of time stamp,
// announcement and byte sum passing, and every way the box can end a transfer
// shows its own message.
#include <gtest/gtest.h>

#include <regex>

#include "e2e/box_session.h"

namespace {

using e2e::BoxSession;
using e2e::SessionOptions;

const std::string kBack(24, '\b');
const std::string kDoneAfterProgramming = " Done!" + std::string(20, ' ') + "\n";

std::string accessed(const std::string& version) {
    return "Checking file... OK!\n\n\nBootloader version " + version + " accessed!\n";
}

std::string describe(const BoxSession& s) {
    return "update exit " + std::to_string(s.update.exitCode) + "\nout: " + s.update.out + "\nerr: " + s.update.err +
           "\nboxsim: " + s.boxsim.out + s.boxsim.err + "\nlog:\n" + s.dialogueLog;
}

SessionOptions session(const std::string& image, std::vector<std::string> boxsimArgs,
                       std::vector<std::string> updateArgs) {
    SessionOptions options;
    options.boxsimArgs = {"--programming-ms", "200", "--timeout", "60"};
    options.boxsimArgs.insert(options.boxsimArgs.end(), boxsimArgs.begin(), boxsimArgs.end());
    options.updateArgs = std::move(updateArgs);
    options.files["image.pad"] = image;
    options.update.timeLimit = std::chrono::milliseconds{60000};
    return options;
}

// An irdeto image: no header of ours, the box's own format, optionally led by
// a 0x11 record of 32 bytes.
std::string irdetoImage(bool leadingRecord) {
    std::string image = e2e::samplePayload(20000, 7);
    image[0] = leadingRecord ? '\x11' : '\x01';
    image[1] = leadingRecord ? '\x20' : '\x02';
    return image;
}

struct Row {
    std::string version;
    int imageType;  // -1: an irdeto image, sent with -i
    bool leadingRecord;
    std::vector<std::string> extraOptions;
};

TEST(Dated, EveryRowFlashesTheFileWithTheBoxsChecksPassing) {
    const std::vector<Row> rows = {
        {"4.11", 7, false, {}},  {"4.11", 8, false, {}},    {"4.11", 9, false, {}},
        {"4.12", 7, false, {}},  {"4.12", 8, false, {"-2"}}, {"4.12", 9, false, {"-c"}},
        {"4.13", 7, false, {}},  {"4.13", 8, false, {}},    {"4.13", 9, false, {}},
        {"4.12", -1, false, {}}, {"4.12", -1, true, {}},    {"4.13", -1, true, {}},
    };
    std::vector<SessionOptions> sessions;
    std::vector<std::string> images;
    std::vector<std::string> ids;
    for (const Row& row : rows) {
        // The dated images carry their boot loader's id (4.11: 0x4000B), which
        // alone turns the echo game on; -i announces 0x4000C to every box.
        const std::string id = row.imageType < 0 ? "4000C" : row.version == "4.11" ? "4000B"
                                                          : row.version == "4.12" ? "4000C"
                                                                                  : "4000D";
        const std::string image = row.imageType < 0 ? irdetoImage(row.leadingRecord)
                                                    : e2e::paddedImage(e2e::samplePayload(30000, 3), row.imageType,
                                                                       std::stoll(id, nullptr, 16));
        std::vector<std::string> updateArgs = row.extraOptions;
        if (row.imageType < 0) updateArgs.push_back("-i");
        updateArgs.push_back("image.pad");
        sessions.push_back(session(
            image, {"--bootloader", row.version, "--irdeto", "--image-id", id, "--expect", "flashed"}, updateArgs));
        images.push_back(image);
        ids.push_back(id);
    }
    const auto runs = e2e::runSessions(sessions);

    // Padded images of 30013 bytes go out as 2, 10240, 10240 and 9531 bytes;
    // the irdeto images of 20000 bytes as 2, (32,) 10240 and the rest.
    const std::string paddedProgress = "  34 % transfered       " + kBack + "  68 % transfered       " + kBack +
                                       " 100 % transfered       " + kBack;
    const std::string irdetoProgress = "  51 % transfered       " + kBack + " 100 % transfered       " + kBack;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const Row& row = rows[i];
        const BoxSession& run = runs[i];
        SCOPED_TRACE(row.version + " type " + std::to_string(row.imageType) + (row.leadingRecord ? " record" : ""));
        EXPECT_EQ(run.update.exitCode, 0) << describe(run);
        EXPECT_EQ(run.update.out, accessed(row.version) + "Download file..." +
                                      (row.imageType < 0 ? irdetoProgress : paddedProgress) +
                                      " Done!\nProgramming the flash memory..." + kDoneAfterProgramming + e2e::successBanner());
        EXPECT_EQ(run.update.err, "");
        EXPECT_EQ(run.boxsim.exitCode, 0) << describe(run);
        ASSERT_EQ(run.flashedImages.size(), 1u) << describe(run);
        EXPECT_TRUE(e2e::sameBytes(run.flashedImages[0], images[i]));
        // What the box checked, as it noted it.
        EXPECT_NE(run.dialogueLog.find("echo game closed after 4 digits"), std::string::npos);
        EXPECT_TRUE(std::regex_search(run.dialogueLog, std::regex(R"(time stamp \S+ \S+ matches the PC's clock)")));
        const std::size_t announced = row.imageType < 0 ? images[i].size() : images[i].size() - 5;
        EXPECT_NE(run.dialogueLog.find("announcement: " + std::to_string(announced) + " bytes, image id 0x" + ids[i]),
                  std::string::npos);
        EXPECT_TRUE(std::regex_search(run.dialogueLog, std::regex(R"(byte sum 0x[0-9A-F]+ right)")));
        EXPECT_EQ(run.dialogueLog.find("leading record, then a pause") != std::string::npos, row.leadingRecord);
    }
}

// Failures at the box's side of a transfer play at the line's real pace, so
// that the program is still sending when the box speaks up. The box's error
// line is the exception: the program shows it as one read brought it, and at
// the real pace a busy machine may read it in two, so the box hands it over at
// once (the program is still sending all the same: the image is ten times the
// point of failure).
TEST(Dated, EachWayTheBoxEndsATransferShowsItsOwnMessage) {
    const std::string image = e2e::paddedImage(e2e::samplePayload(40000, 5), 7);
    auto faultRun = [&](const std::string& fault, const std::string& outcome) {
        auto options = session(image, {"--fault", fault, "--fault-at", "4096", "--expect", outcome}, {"image.pad"});
        options.fullSpeed = fault == "error";
        return options;
    };
    struct Case {
        std::string name;
        std::string outcome;
        std::string err;  // exact, unless empty
    };
    const std::string flashFailed = "Error(s) during erasing, programming or transfering. Abort!\n\n";
    const std::vector<Case> cases = {
        {"error", "aborted", ""},
        {"question", "aborted", flashFailed},
        {"F", "aborted", flashFailed},
        {"U", "aborted", flashFailed},
        {"warnings", "aborted", flashFailed},
        {"flash-id", "aborted", "Flash's manufacturer and/or device ids dont match!\n\n"},
        // EIO: the line has gone; under Wine the write fails with ERROR_NOT_READY.
        {"hangup", "hungup", e2e::underWine() ? "Fatal error 21. Abort!\n\n" : "Fatal error 5. Abort!\n\n"},
        {"stop", "stopped", ""},
    };
    std::vector<SessionOptions> sessions;
    for (const Case& c : cases) sessions.push_back(faultRun(c.name, c.outcome));
    const auto runs = e2e::runSessions(sessions);

    for (std::size_t i = 0; i < cases.size(); ++i) {
        const BoxSession& run = runs[i];
        SCOPED_TRACE(cases[i].name);
        EXPECT_EQ(run.boxsim.exitCode, 0) << describe(run);
        EXPECT_FALSE(run.update.timedOut);
        EXPECT_EQ(run.update.out.rfind(accessed("4.12") + "Download file...", 0), 0u) << run.update.out;
        if (cases[i].name == "stop") {
            // Only here: the box's "STOP" counts as a finished update.
            EXPECT_EQ(run.update.exitCode, 0) << describe(run);
            EXPECT_TRUE(run.update.out.ends_with(kDoneAfterProgramming + e2e::successBanner())) << run.update.out;
            EXPECT_EQ(run.update.out.find("Programming"), std::string::npos);
            EXPECT_EQ(run.update.err, "");
            continue;
        }
        EXPECT_EQ(run.update.exitCode, 1) << describe(run);
        EXPECT_EQ(run.update.out.find("Done!"), std::string::npos) << run.update.out;
        EXPECT_EQ(run.update.out.find("successfully"), std::string::npos);
        if (!cases[i].err.empty()) {
            EXPECT_EQ(run.update.err, cases[i].err);
        }
    }
    // Only the box's own line, then two line ends.
    EXPECT_EQ(runs[0].update.err, "ERROR: simulated transfer failure\n\n");
}

TEST(Dated, ErrorLinesInPlaceOfThePromptsAfterTheMenu) {
    const std::string image = e2e::paddedImage(e2e::samplePayload(3000, 9), 7);
    const auto runs = e2e::runSessions({
        session(image, {"--error-at", "file", "--expect", "aborted"}, {"image.pad"}),
        session(image, {"--error-at", "finished", "--expect", "aborted"}, {"image.pad"}),
    });
    const std::string errorLine = "\n\nERRORgaga: simulated failure\n\n\n";
    EXPECT_EQ(runs[0].update.out, accessed("4.12") + errorLine);
    EXPECT_EQ(runs[1].update.out, accessed("4.12") + "Download file... 100 % transfered       " + kBack +
                                      " Done!\nProgramming the flash memory..." + errorLine);
    for (const auto& run : runs) {
        EXPECT_EQ(run.update.exitCode, 1) << describe(run);
        EXPECT_EQ(run.update.err, "waitFor error: 536870919\n");
        EXPECT_EQ(run.boxsim.exitCode, 0) << describe(run);
    }
}

}  // namespace
