// Many boxes at once: the built program with --ports against several box
// emulators, each on its own pseudo-terminal; the records of --report; the
// unattended bench of -l, both ways of its rule; a port's process that
// crashes or runs past --box-timeout.
#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>

#include "e2e/box_session.h"

namespace {

using namespace std::chrono_literals;

const std::string kImage = e2e::paddedImage(e2e::samplePayload(6000, 20), 2);

std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// The value of a field in a record line, as its JSON text.
std::string field(const std::string& record, const std::string& name) {
    const std::string key = "\"" + name + "\":";
    const std::size_t at = record.find(key);
    if (at == std::string::npos) return "(missing)";
    std::size_t end = at + key.size();
    if (record[end] == '"') {
        end = record.find('"', end + 1) + 1;
    } else {
        end = record.find_first_of(",}", end);
    }
    return record.substr(at + key.size(), end - at - key.size());
}

std::string quoted(const std::string& text) {
    std::string json = "\"";
    json += text;
    json += '"';
    return json;
}

class Bench : public testing::Test {
protected:
    void SetUp() override { test_support::writeWholeFile(dir_.file("image.pad"), kImage); }

    // A box on a line of its own at dir/<name>.
    std::string box(const std::string& name, std::vector<std::string> args) {
        std::vector<std::string> argv{BOXSIM_PROGRAM,  "--link",     dir_.file(name), "--image-out",
                                      dir_.file(name + ".flashed"), "--log", dir_.file(name + ".log"),
                                      "--full-speed", "--timeout", "300"};
        argv.insert(argv.end(), args.begin(), args.end());
        boxes_.push_back(std::make_unique<test_support::Background>(argv));
        names_.push_back(name);
        EXPECT_TRUE(test_support::waitForPath(dir_.file(name)));
        return dir_.file(name);
    }

    test_support::ProcessOptions updateOptions() const {
        test_support::ProcessOptions options;
        for (int n = 1; n <= 4; ++n) options.environment["UPDATE_COM" + std::to_string(n)] = dir_.file("no-com");
        options.workingDirectory = dir_.path();
        options.timeLimit = 120s;
        return options;
    }

    test_support::ProcessResult update(std::vector<std::string> args) {
        args.insert(args.begin(), UPDATE_PROGRAM);
        return test_support::run(args, updateOptions());
    }

    // What the box's first box was flashed with, once boxsim has said how it
    // ended: the program's exit comes before boxsim has seen it let the line go.
    std::string flashed(const std::string& name) {
        const auto at = std::find(names_.begin(), names_.end(), name) - names_.begin();
        if (static_cast<std::size_t>(at) < boxes_.size()) boxes_[static_cast<std::size_t>(at)]->waitForOutput("box 1 (", 30s);
        return test_support::readWholeFile(dir_.file(name + ".flashed"));
    }
    std::vector<std::string> records() const { return linesOf(test_support::readWholeFile(dir_.file("report.jsonl"))); }

    test_support::TempDirectory dir_;
    std::vector<std::unique_ptr<test_support::Background>> boxes_;
    std::vector<std::string> names_;  // of boxes_
};

TEST_F(Bench, EachBoxItsOwnProcedureAMissingPortFailsAloneAndEveryBoxHasItsRecord) {
    const std::string a = box("a", {"--bootloader", "2.0"});
    const std::string b = box("b", {"--bootloader", "3.1"});
    const std::string c = box("c", {"--bootloader", "4.1", "--fault", "error", "--fault-at", "3000"});
    const test_support::ProcessResult run =
        update({"--ports", a + "," + b, "--ports", c + "," + dir_.file("gone"), "--report", "report.jsonl", "image.pad"});
    EXPECT_EQ(run.exitCode, 1) << run.out << run.err;
    EXPECT_TRUE(e2e::sameBytes(flashed("a"), kImage));
    EXPECT_TRUE(e2e::sameBytes(flashed("b"), kImage));
    EXPECT_EQ(flashed("c"), "");

    // Through a pipe: one line per event, each beginning with the port and a tab.
    const std::vector<std::string> lines = linesOf(run.out);
    for (const char* line : {"a\tbootloader\t2.0", "b\tbootloader\t3.1", "c\tbootloader\t4.1", "a\ttransfer\t0",
                                    "c\tfailed\tERROR:", "2 of 4 boxes flashed.", "c: failed: ERROR:",
                                    "gone: failed: Inititialization of COM-port failed (Error: 2)"}) {
        EXPECT_NE(std::find(lines.begin(), lines.end(), line), lines.end()) << line << " in:\n" << run.out;
    }
    const std::vector<std::string> report = records();
    ASSERT_EQ(report.size(), 4u) << test_support::readWholeFile(dir_.file("report.jsonl"));
    std::map<std::string, std::string> resultOf;
    for (const std::string& record : report) {
        resultOf[field(record, "port")] = field(record, "result") + " " + field(record, "bootloader") + " " +
                                          field(record, "message");
        EXPECT_EQ(field(record, "image"), "\"image.pad\"");
        EXPECT_EQ(field(record, "image_bytes"), std::to_string(kImage.size()));
        EXPECT_EQ(field(record, "program"), "\"update 1.39\"");
    }
    EXPECT_EQ(resultOf[quoted(a)], "\"flashed\" \"2.0\" \"\"");
    EXPECT_EQ(resultOf[quoted(c)], "\"failed\" \"4.1\" \"ERROR:\"");
    EXPECT_EQ(resultOf[quoted(dir_.file("gone"))],
              "\"failed\" null \"Inititialization of COM-port failed (Error: 2)\"");
}

TEST_F(Bench, OneAdapterUnderTwoNamesIsOnePortAndOnePortRunsAsPortDoes) {
    const std::string a = box("a", {"--bootloader", "2.2"});
    std::filesystem::create_symlink(a, dir_.file("alias"));
    const test_support::ProcessResult run = update({"--ports", a + "," + dir_.file("alias") + "," + a, "--report",
                                           "report.jsonl", "image.pad"});
    EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
    EXPECT_NE(run.out.find("Download on com port " + a + " successfully finished."), std::string::npos) << run.out;
    EXPECT_EQ(run.out.find("\tbootloader"), std::string::npos) << "no event lines with one port";
    ASSERT_EQ(records().size(), 1u);
    EXPECT_EQ(field(records()[0], "result"), "\"flashed\"");
}

TEST_F(Bench, BadListsAndReportsEndTheRunBeforeAnyPortOpens) {
    const std::string a = box("a", {"--bootloader", "2.2"});
    std::filesystem::create_directory(dir_.file("folder"));
    struct Case {
        std::vector<std::string> args;
        std::string message;
    };
    const Case cases[] = {
        {{"--ports", a + "," + dir_.file("none*"), "image.pad"}, "--ports: no serial port matches " + dir_.file("none*") + ".\n"},
        {{"--ports", ",", "image.pad"}, "--ports needs a list of ports, e.g. --ports /dev/ttyUSB0,/dev/ttyUSB1.\n"},
        {{"--ports", a + ",b", "--report", "folder", "image.pad"},
         "Cannot open the report file folder for appending (Error: 21).\n"},
        {{"--port", a, "--report", "folder/no/such", "image.pad"},
         "Cannot open the report file folder/no/such for appending (Error: 2).\n"},
    };
    for (const Case& bad : cases) {
        const test_support::ProcessResult run = update(bad.args);
        EXPECT_EQ(run.exitCode, 1);
        EXPECT_EQ(run.err, bad.message);
    }
    EXPECT_EQ(test_support::readWholeFile(dir_.file("a.log")).find("opened the line"), std::string::npos);
}

TEST_F(Bench, ACrashAndAHangEndTheirOwnPortsOnly) {
    const std::string a = box("a", {"--bootloader", "2.2"});
    const std::string b = box("b", {"--bootloader", "2.2", "--silent"});   // never answers: the time-out ends it
    const std::string c = box("c", {"--bootloader", "2.2", "--silent"});   // its process is made to crash
    std::vector<std::string> args{UPDATE_PROGRAM, "--ports", a + "," + b + "," + c, "--box-timeout", "20",
                                  "--report", "report.jsonl", "image.pad"};
    test_support::Background bench(args, updateOptions());
    ASSERT_TRUE(test_support::waitForFileText(dir_.file("c.log"), "opened the line"));
    // The process serving c: the bench's child that holds c's name.
    pid_t serving = -1;
    std::ifstream children("/proc/" + std::to_string(bench.pid()) + "/task/" + std::to_string(bench.pid()) +
                           "/children");
    for (pid_t pid; children >> pid;) {
        std::string commandLine = test_support::readWholeFile("/proc/" + std::to_string(pid) + "/cmdline");
        std::replace(commandLine.begin(), commandLine.end(), '\0', ' ');
        if (commandLine.find(" " + c + " ") != std::string::npos) serving = pid;
    }
    ASSERT_GT(serving, 0);
    // SIGKILL, not SIGSEGV: the sanitizers catch a SEGV and end the process
    // by exit, and nothing at all can catch this one.
    ::kill(serving, SIGKILL);
    const test_support::ProcessResult run = bench.wait(120s);
    EXPECT_EQ(run.exitCode, 1) << run.out << run.err;
    EXPECT_TRUE(e2e::sameBytes(flashed("a"), kImage));
    EXPECT_NE(run.out.find("b\tfailed\tNo result within the box time-out of 20 s."), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("c\tfailed\tThe process serving this port ended by signal 9."), std::string::npos)
        << run.out;
    EXPECT_EQ(records().size(), 3u);
}

// Two ports, box after box: on one the boxes are taken away and new ones put
// on; on the other the box stays on the bench and keeps answering.
TEST_F(Bench, UnattendedTakesEachNewBoxAndNeverUpdatesABoxLeftOnTwice) {
    const std::string swapped = box("swapped", {"--bootloader", "2.0", "--boxes", "4", "--swap-ms", "6000"});
    const std::string left = box("left", {"--bootloader", "3.1", "--boxes", "50", "--expect", "flashed,released"});
    std::vector<std::string> args{UPDATE_PROGRAM, "-l", "--ports", swapped + "," + left, "--report", "report.jsonl",
                                  "image.pad"};
    test_support::Background bench(args, updateOptions());
    ASSERT_TRUE(boxes_[0]->waitForOutput("box 3 (boot loader 2.0): flashed", 120s));
    // The box left on has been asked again and again by now, and let go each time.
    ASSERT_TRUE(test_support::waitForFileText(dir_.file("left.log"), "box 4 (boot loader 3.1)", 60s));
    bench.signal(SIGINT);
    const test_support::ProcessResult run = bench.wait(60s);
    EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
    EXPECT_TRUE(e2e::sameBytes(test_support::readWholeFile(dir_.file("swapped.flashed.3")), kImage));
    EXPECT_TRUE(e2e::sameBytes(flashed("left"), kImage));
    EXPECT_FALSE(std::filesystem::exists(dir_.file("left.flashed.2")));
    EXPECT_TRUE(boxes_[1]->waitForOutput("box 3 (boot loader 3.1): released", 10s));
    const std::string leftOut = boxes_[1]->outputSoFar();
    EXPECT_EQ(leftOut.find("box 2 (boot loader 3.1): flashed"), std::string::npos) << leftOut;
    EXPECT_EQ(records().size(), 4u);
    for (const std::string& record : records()) EXPECT_EQ(field(record, "result"), "\"flashed\"");
    EXPECT_NE(run.out.find("4 of 4 boxes flashed."), std::string::npos) << run.out;
}

}  // namespace
