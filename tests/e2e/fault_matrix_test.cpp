// Every fault the box emulator can play, at every step where it can strike,
// for each family of boot loaders: the run ends with the failure's own
// message and exit code 1, lets the line go, leaves hyper.pad behind only
// when its transfer failed, and never shows the success banner. Faults that
// need minutes of real time (a silent box, a box that stops reading) are run
// over the simulated line elsewhere; their cells say where.
//
// At the end the test prints the whole matrix as a table.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <iostream>
#include <mutex>
#include <sstream>
#include <thread>

#include "e2e/box_session.h"
#include "support/payload.h"

namespace {

namespace fs = std::filesystem;

enum class Pad { Ignore, Left, Gone };

struct Family {
    const char* name;
    const char* version;
    std::vector<std::string> boxArgs;
    std::vector<std::string> updateArgs;  // the image file name is added unless satellite
    int imageType;                        // -1: no image (satellite request)
    long long imageId;
};

struct Cell {
    const Family* family;
    std::string fault;                 // as the table shows it
    std::vector<std::string> boxArgs;  // the fault's boxsim options
    std::string outcome;               // boxsim's --expect
    std::string errTail;               // the end of standard error; empty: standard error empty;
                                       // "~TEXT": standard error holds TEXT (the box's own error
                                       // text, with progress characters of the same read around it)
    std::string outTail;               // the end of standard output; empty: not checked
    int exitCode = 1;
    bool realPace = false;  // the program must still be writing when the box's reply comes
    Pad pad = Pad::Ignore;
    std::string coveredBy;  // not run here: where it is run instead
};

struct CellRun {
    e2e::BoxSession session;
    bool padLeft = false;
};

// Bytes that neither pack nor compress, so whatever the family sends is about
// as long as the image. A transfer fault strikes a few thousand bytes in, and
// a hang-up before the image is met by the transfer: the image is then longer
// than the pseudo-terminal can hold, so however busy the machine the program
// is still writing when the box's reply or hang-up comes, even with the
// emulator at full speed.
std::string incompressible(std::size_t size, std::uint32_t seed) {
    const auto bytes = test_support::randomBytes(size, seed);
    return std::string(bytes.begin(), bytes.end());
}

CellRun runCell(const Cell& cell, std::size_t index) {
    const Family& family = *cell.family;
    test_support::TempDirectory dir;
    e2e::SessionOptions options;
    options.fullSpeed = !cell.realPace;
    options.boxsimArgs = {"--bootloader", family.version, "--switch-on-ms", "200", "--programming-ms", "20",
                          "--timeout",    "40",           "--expect",       cell.outcome};
    options.boxsimArgs.insert(options.boxsimArgs.end(), family.boxArgs.begin(), family.boxArgs.end());
    options.boxsimArgs.insert(options.boxsimArgs.end(), cell.boxArgs.begin(), cell.boxArgs.end());
    options.updateArgs = family.updateArgs;
    if (family.imageType >= 0) {
        const auto has = [&](const char* option) {
            return std::find(cell.boxArgs.begin(), cell.boxArgs.end(), option) != cell.boxArgs.end();
        };
        const std::size_t size = cell.realPace || has("--fault") || has("--hangup-at") ? 200000 : 20000;
        const std::string payload = incompressible(size, 7 + static_cast<std::uint32_t>(index));
        options.files["image.pad"] = e2e::paddedImage(payload, family.imageType, family.imageId);
        options.updateArgs.push_back("image.pad");
    }
    options.update.timeLimit = std::chrono::milliseconds{45000};
    CellRun run;
    run.session = e2e::runSession(dir, options);
    run.padLeft = fs::exists(fs::symlink_status(dir.file("hyper.pad")));
    return run;
}

std::string lastLine(const std::string& text) {
    std::string trimmed = text;
    while (!trimmed.empty() && (trimmed.back() == '\n' || trimmed.back() == '\r')) trimmed.pop_back();
    const auto at = trimmed.find_last_of('\n');
    std::string line = at == std::string::npos ? trimmed : trimmed.substr(at + 1);
    std::string shown;
    for (char c : line) {
        if (c == '\r') shown += "\\r";
        else if (c == '\b') continue;
        else shown += c;
    }
    return shown;
}

const std::string kBanner = "successfully finished";
const std::string kWaitForBoxError = "waitFor error: " + std::to_string(0x20000007u) + "\n";
const std::string kLineGone = "waitFor error: 5\n";
const std::string kFatalStop = "Fatal error " + std::to_string(0x20000008u) + ". Abort!\n\n";
const std::string kFatalHangUp = "Fatal error 5. Abort!\n\n";
const std::string kFlashFailed = "Error(s) during erasing, programming or transfering. Abort!\n\n";
const std::string kFlashIds = "Flash's manufacturer and/or device ids dont match!\n\n";
const std::string kSilenceCovered = "tests/control/access_test.cpp over the simulated line (16 x 15 s)";
const std::string kStallCovered = "tests/transfer/{send_file,compressed}_test.cpp, simulated line (120 s limit)";

}  // namespace

TEST(FaultMatrix, EveryFaultOfEveryFamilyEndsTheRunAsTheFamilyReportsIt) {
    const Family gen1{"gen 1 (1.7)", "1.7", {}, {}, 1, -1};
    const Family gen2{"gen 2 (2.1 packed)", "2.1", {}, {}, 2, -1};
    const Family gen4{"gen 4 (4.20)", "4.20", {}, {}, 4, 0x40014};
    const Family dated{"dated (4.12)", "4.12", {"--irdeto"}, {}, 7, 0x4000C};
    const Family satellite{"satellite (4.20 -s orb)", "4.20", {}, {"-s", "orb"}, -1, -1};

    std::vector<Cell> cells;
    auto add = [&](const Family& f, std::string fault, std::vector<std::string> box, std::string outcome,
                   std::string errTail, Pad pad = Pad::Ignore, bool realPace = false) {
        Cell cell;
        cell.family = &f;
        cell.fault = std::move(fault);
        cell.boxArgs = std::move(box);
        cell.outcome = std::move(outcome);
        cell.errTail = std::move(errTail);
        cell.pad = pad;
        cell.realPace = realPace;
        cells.push_back(std::move(cell));
    };
    auto covered = [&](const Family& f, std::string fault, std::string where) {
        Cell cell;
        cell.family = &f;
        cell.fault = std::move(fault);
        cell.coveredBy = std::move(where);
        cells.push_back(std::move(cell));
    };
    auto noisy = [&](const Family& f, Pad pad, const std::string& outcome, const std::string& outTail) {
        Cell cell;
        cell.family = &f;
        cell.fault = "noise, split prompts";
        cell.boxArgs = {"--noise", "--split-prompts"};
        cell.outcome = outcome;
        cell.outTail = outTail;
        cell.exitCode = 0;
        cell.pad = pad;
        cells.push_back(std::move(cell));
    };
    auto unsupported = [&](const Family& f) {
        Cell cell;
        cell.family = &f;
        cell.fault = "version 5.0";
        cell.boxArgs = {"--bootloader", "5.0"};
        cell.outcome = "released";
        cell.errTail = "Error: Bootloader Version 5.0 not supported!\n";
        cell.pad = f.imageType == 1 ? Pad::Gone : Pad::Ignore;
        cells.push_back(std::move(cell));
    };

    // Generation 1: hyper.pad is written first and deleted once the boot
    // loader has taken it; every failure before that leaves it behind.
    {
        const Family& f = gen1;
        covered(f, "silence", kSilenceCovered);
        for (const char* prompt : {"choice", "file", "finished"})
            add(f, std::string("error line at ") + prompt, {"--error-at", prompt}, "aborted", kWaitForBoxError, Pad::Left);
        for (const char* prompt : {"hyperboot", "programmed"})
            add(f, std::string("error line at ") + prompt, {"--error-at", prompt}, "aborted", kWaitForBoxError, Pad::Gone);
        add(f, "ERROR: (hyper.pad)", {"--fault", "error"}, "aborted", "ERROR:\n\n", Pad::Left, true);
        add(f, "STOP (hyper.pad)", {"--fault", "stop"}, "stopped", kFatalStop, Pad::Left, true);
        for (const char* kind : {"question", "F", "U", "warnings"})
            add(f, std::string(kind) + " (hyper.pad)", {"--fault", kind}, "aborted", kFlashFailed, Pad::Left, true);
        add(f, "flash-id (hyper.pad)", {"--fault", "flash-id"}, "aborted", kFlashIds, Pad::Left, true);
        add(f, "hang-up (hyper.pad)", {"--fault", "hangup"}, "hungup", kFatalHangUp, Pad::Left, true);
        add(f, "ERROR: (image)", {"--fault", "error", "--fault-during", "image"}, "aborted", "ERROR:\n\n", Pad::Gone,
            true);
        add(f, "STOP (image)", {"--fault", "stop", "--fault-during", "image"}, "stopped", kFatalStop, Pad::Gone, true);
        add(f, "F (image)", {"--fault", "F", "--fault-during", "image"}, "aborted", kFlashFailed, Pad::Gone, true);
        add(f, "hang-up (image)", {"--fault", "hangup", "--fault-during", "image"}, "hungup", kFatalHangUp, Pad::Gone,
            true);
        covered(f, "box stops reading", kStallCovered);
        // The box hangs up right after its menu: the speed switch that follows
        // "choice!:" fails, and that ends the run without a message. A hang-up
        // right after "file:" is met by the transfer.
        add(f, "hang-up at menu", {"--hangup-at", "menu"}, "hungup", "", Pad::Left);
        add(f, "hang-up at key", {"--hangup-at", "key"}, "hungup", kLineGone, Pad::Left);
        add(f, "hang-up at file", {"--hangup-at", "file"}, "hungup", kFatalHangUp, Pad::Left);
        // After "finished!": hyper.pad is deleted, then the hyper bootloader's
        // speed switch fails on the dead line, again without a message.
        add(f, "hang-up after finished", {"--hangup-at", "finished"}, "hungup", "", Pad::Gone);
        for (const char* step : {"hyperboot", "mode"})
            add(f, std::string("hang-up at ") + step, {"--hangup-at", step}, "hungup", kFatalHangUp, Pad::Gone);
        noisy(f, Pad::Gone, "flashed", "Download on com port 1 successfully finished.\n\n");
        covered(f, "version 5.0", "tests/e2e/access_e2e_test.cpp (a type 1 image opens at 38400; 5.0 talks at 115200)");
    }
    // Generations 2 and 4 and the dated boot loaders: one transfer.
    for (const Family* family : {&gen2, &gen4, &dated}) {
        const Family& f = *family;
        const bool fehler = &f == &gen4;
        const bool isDated = &f == &dated;
        covered(f, "silence", kSilenceCovered);
        for (const char* prompt : {"choice", "file", "finished"})
            add(f, std::string("error line at ") + prompt, {"--error-at", prompt}, "aborted", kWaitForBoxError);
        // Where the program shows the box's error line, it shows it as one read
        // brought it: the box hands the line over at once, so that a busy
        // machine does not cut it in two reads.
        const bool showsBoxText = fehler || isDated;
        add(f, "ERROR:", {"--fault", "error"}, "aborted",
            showsBoxText ? "~ERROR: simulated transfer failure" : "ERROR:\n\n",
            Pad::Ignore, !showsBoxText);
        if (!isDated) add(f, "STOP", {"--fault", "stop"}, "stopped", kFatalStop, Pad::Ignore, true);
        else {
            // The dated box's early "STOP" means it needs no more: a success.
            add(f, "STOP (early end)", {"--fault", "stop"}, "stopped", "", Pad::Ignore, true);
            cells.back().exitCode = 0;
            cells.back().outTail = "Download on com port 1 successfully finished.\n\n";
        }
        for (const char* kind : {"question", "F", "U", "warnings"})
            add(f, kind, {"--fault", kind}, "aborted", kFlashFailed, Pad::Ignore, true);
        add(f, "flash-id", {"--fault", "flash-id"}, "aborted", kFlashIds, Pad::Ignore, true);
        add(f, "hang-up (transfer)", {"--fault", "hangup"}, "hungup", kFatalHangUp, Pad::Ignore, true);
        covered(f, "box stops reading", kStallCovered);
        add(f, "hang-up at menu", {"--hangup-at", "menu"}, "hungup", "");
        add(f, "hang-up at key", {"--hangup-at", "key"}, "hungup", kLineGone);
        // The dated procedure writes its time stamp right after "file:".
        add(f, "hang-up at file", {"--hangup-at", "file"}, "hungup", isDated ? "WriteFile error: 5\n" : kFatalHangUp);
        if (isDated) {
            for (const char* step : {"timestamp", "announcement"})
                add(f, std::string("hang-up at ") + step, {"--hangup-at", step}, "hungup", kFatalHangUp);
            for (const char* step : {"image", "sum"})
                add(f, std::string("hang-up at ") + step, {"--hangup-at", step}, "hungup", kLineGone);
        }
        noisy(f, Pad::Ignore, "flashed", "Download on com port 1 successfully finished.\n\n");
        unsupported(f);
    }
    // The satellite request: no transfer, so only the faults of the dialogue.
    {
        const Family& f = satellite;
        covered(f, "silence", kSilenceCovered);
        add(f, "error line at choice", {"--error-at", "choice"}, "aborted", kWaitForBoxError);
        add(f, "hang-up at version", {"--hangup-at", "version"}, "hungup", kLineGone);
        add(f, "hang-up at menu", {"--hangup-at", "menu"}, "hungup", "");
        noisy(f, Pad::Ignore, "satellite:6", "It will last for about 10min\n");
        // A satellite request goes to any box: no row of the table is needed.
        noisy(f, Pad::Ignore, "satellite:6", "It will last for about 10min\n");
        cells.back().fault = "version 5.0 (no row needed)";
        cells.back().boxArgs = {"--bootloader", "5.0"};
    }

    std::vector<CellRun> runs(cells.size());
    std::vector<std::function<void()>> jobs;
    for (std::size_t i = 0; i < cells.size(); ++i)
        if (cells[i].coveredBy.empty()) jobs.push_back([&, i] { runs[i] = runCell(cells[i], i); });
    e2e::runConcurrently(jobs, 3);

    std::ostringstream table;
    table << "| family | fault | result | exit | message |\n|---|---|---|---|---|\n";
    for (std::size_t i = 0; i < cells.size(); ++i) {
        const Cell& cell = cells[i];
        if (!cell.coveredBy.empty()) {
            table << "| " << cell.family->name << " | " << cell.fault << " | covered | | by " << cell.coveredBy << " |\n";
            continue;
        }
        const CellRun& run = runs[i];
        const test_support::ProcessResult& update = run.session.update;
        SCOPED_TRACE(std::string(cell.family->name) + ": " + cell.fault);
        bool passed = true;
        auto check = [&](bool holds, const std::string& what) {
            if (holds) return;
            passed = false;
            ADD_FAILURE() << what << "\nexit " << update.exitCode << "\nstdout: " << update.out
                          << "\nstderr: " << update.err << "\nboxsim: " << run.session.boxsim.out
                          << run.session.boxsim.err;
        };
        check(update.exitCode == cell.exitCode, "exit code " + std::to_string(cell.exitCode) + " expected");
        // The program ended of itself, and boxsim only lets a box go once the
        // program has closed the line (or the box hung up on it).
        check(!update.timedOut, "the program did not end");
        check(run.session.boxsim.exitCode == 0, "boxsim: not the outcome " + cell.outcome);
        if (cell.exitCode != 0 && cell.errTail.starts_with("~"))
            check(update.err.find(cell.errTail.substr(1)) != std::string::npos, "standard error lacks " + cell.errTail);
        else if (cell.exitCode != 0)
            check(cell.errTail.empty() ? update.err.empty() : update.err.ends_with(cell.errTail),
                  "standard error does not end with: " + cell.errTail);
        check(cell.outTail.empty() || update.out.ends_with(cell.outTail),
              "standard output does not end with: " + cell.outTail);
        if (cell.exitCode != 0) {
            check(update.out.find(kBanner) == std::string::npos, "the success banner after a failure");
            check(run.session.flashedImage.empty(), "the box flashed an image");
        }
        if (cell.pad == Pad::Left) check(run.padLeft, "hyper.pad is gone");
        if (cell.pad == Pad::Gone) check(!run.padLeft, "hyper.pad was left behind");
        const std::string message = cell.exitCode == 0 ? lastLine(update.out) : lastLine(update.err);
        table << "| " << cell.family->name << " | " << cell.fault << " | " << (passed ? "pass" : "FAIL") << " | "
              << update.exitCode << " | " << message;
        if (cell.pad != Pad::Ignore) table << (run.padLeft ? "; hyper.pad left" : "; hyper.pad gone");
        table << " |\n";
    }
    std::cout << table.str();
}
