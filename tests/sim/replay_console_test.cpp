// What a trace says the program printed and how it ended, against what a
// replayed run showed: every way the two can part is named, and nothing that
// was not compared is called "as recorded".
#include <gtest/gtest.h>

#include <csignal>
#include <string>

#include "replay_console.h"
#include "trace/trace_format.h"
#include "trace/trace_reader.h"

namespace {

using boxsim::compareRun;
using boxsim::RecordedRun;
using boxsim::SeenRun;

// A hang-up during the image as the program traces it; `console` false: an
// older program's trace, without its console.
std::string hangUpTrace(bool console, const std::string& ending = "exit 1") {
    std::string text = std::string(trace::kFormatLine) + "\n# program: " + trace::kProgramLine + "\n";
    if (console) text += std::string(trace::kConsoleLine) + "\n";
    text += std::string(trace::kColumnsLine) + "\n";
    trace::appendEventLine(text, 100, "open", "\"/dev/ttyUSB0\"");
    trace::appendBytesLine(text, 300000, trace::Direction::BoxToPc, 115200, "4.12\r\n", 6, false);
    trace::appendNoteLine(text, 310000, "stdout \"Bootloader version 4.12 accessed!\\n\"");
    trace::appendNoteLine(text, 320000, "note \"a note of the program, not its console\"");
    trace::appendNoteLine(text, 330000, "stdout \"Download file...\"");
    trace::appendEventLine(text, 900000, "hangup", "");
    trace::appendNoteLine(text, 910000, "stderr \"Fatal error 5. Abort!\\n\\n\"");
    trace::appendEventLine(text, 920000, ending.starts_with("signal") ? "signal" : "end",
                           ending.starts_with("signal") ? ending.substr(7) : ending);
    return text;
}

RecordedRun recordedFrom(const std::string& text) {
    const trace::ParsedTrace parsed = trace::readTrace(text, trace::kProgramLine);
    EXPECT_FALSE(parsed.problem) << parsed.problem->what;
    return boxsim::recordedRun(parsed.records, parsed.consoleRecorded);
}

SeenRun asRecorded() {
    return {{"Bootloader version 4.12 accessed!\nDownload file...", "Fatal error 5. Abort!\n\n"}, "exit 1"};
}

TEST(ReplayConsole, TheTraceGivesEachStreamAndTheEnding) {
    const RecordedRun recorded = recordedFrom(hangUpTrace(true));
    ASSERT_TRUE(recorded.console);
    EXPECT_EQ(recorded.console->out, asRecorded().console.out);
    EXPECT_EQ(recorded.console->err, asRecorded().console.err);
    EXPECT_EQ(recorded.ending, "exit 1");
    EXPECT_EQ(recordedFrom(hangUpTrace(true, "signal SIGINT")).ending, "signal SIGINT");
    EXPECT_EQ(boxsim::endingText(0, SIGINT), "signal SIGINT");
    EXPECT_EQ(boxsim::endingText(3, 0), "exit 3");
    // An older program's trace holds no console: none, not an empty one.
    EXPECT_FALSE(recordedFrom(hangUpTrace(false)).console);
}

TEST(ReplayConsole, AnyDepartureIsNamedWithItsStreamAndText) {
    const RecordedRun recorded = recordedFrom(hangUpTrace(true));
    const auto same = compareRun(recorded, asRecorded());
    EXPECT_FALSE(same.differs);
    EXPECT_EQ(same.text, "output and exit code as recorded");

    struct Case {
        const char* what;
        SeenRun seen;
        std::vector<std::string> named;  // all in the text
    };
    SeenRun changedMessage = asRecorded();
    changedMessage.console.err = "waitFor error: 5\n";
    SeenRun missingLine = asRecorded();
    missingLine.console.out = "Bootloader version 4.12 accessed!\n";
    SeenRun otherExit = asRecorded();
    otherExit.ending = "exit 0";
    SeenRun killed = asRecorded();
    killed.ending = "signal 9";
    SeenRun wrongStream = asRecorded();  // the same words, on standard output
    wrongStream.console.out += wrongStream.console.err;
    wrongStream.console.err.clear();
    const Case cases[] = {
        {"a changed message", changedMessage,
         {"standard error", "after 0 bytes alike", "recorded \"Fatal error 5. Abort!\\n\\n\"",
          "seen \"waitFor error: 5\\n\""}},
        {"a missing line", missingLine,
         {"standard output", "after 34 bytes alike", "recorded \"Download file...\"", "seen nothing"}},
        {"another exit code", otherExit, {"ended with exit 0 where the recording has exit 1"}},
        {"a signal", killed, {"ended with signal 9 where the recording has exit 1"}},
        {"stderr written to stdout", wrongStream, {"standard output", "seen \"Download file...Fatal error"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const auto verdict = compareRun(recorded, c.seen);
        EXPECT_TRUE(verdict.differs);
        EXPECT_EQ(verdict.text.find("as recorded"), std::string::npos) << verdict.text;
        for (const std::string& part : c.named) EXPECT_NE(verdict.text.find(part), std::string::npos) << verdict.text;
    }
}

TEST(ReplayConsole, WhatWasNotComparedIsNeverCalledAsRecorded) {
    const auto noProgram = compareRun(recordedFrom(hangUpTrace(true)), std::nullopt);
    EXPECT_FALSE(noProgram.differs);
    EXPECT_EQ(noProgram.text.find("as recorded"), std::string::npos) << noProgram.text;
    EXPECT_NE(noProgram.text.find("not compared"), std::string::npos) << noProgram.text;

    // Without a console in the trace only the exit code is compared; any
    // output passes unseen and is said to.
    const RecordedRun older = recordedFrom(hangUpTrace(false));
    SeenRun otherOutput = asRecorded();
    otherOutput.console.err = "waitFor error: 5\n";
    const auto outputUnknown = compareRun(older, otherOutput);
    EXPECT_FALSE(outputUnknown.differs);
    EXPECT_EQ(outputUnknown.text, "exit code as recorded; output not compared (the trace holds no console: an older program)");
    otherOutput.ending = "exit 0";
    const auto exitDiffers = compareRun(older, otherOutput);
    EXPECT_TRUE(exitDiffers.differs);
    EXPECT_NE(exitDiffers.text.find("output not compared"), std::string::npos) << exitDiffers.text;
}

TEST(ReplayConsole, TheDifferenceShowsFromTheStartOfItsLineOrProgress) {
    const std::string recorded = "Bootloader version 4.12 accessed!\n  25 % transfered\b\b\b  51 % transfered";
    const auto line = boxsim::streamDifference("standard output", recorded,
                                               "Bootloader version 4.12 accessed!\n  25 % transfered\b\b\b  76 %");
    ASSERT_TRUE(line);
    EXPECT_NE(line->find("recorded \"  51 % transfered\", seen \"  76 %\""), std::string::npos) << *line;
    // Far into a long line only a little before the difference is shown.
    const std::string longLine(200, 'a');
    const auto far = boxsim::streamDifference("standard error", longLine + "b", longLine + "c");
    ASSERT_TRUE(far);
    EXPECT_NE(far->find("after 200 bytes alike"), std::string::npos) << *far;
    EXPECT_NE(far->find("recorded \"" + std::string(30, 'a') + "b\""), std::string::npos) << *far;
    EXPECT_FALSE(boxsim::streamDifference("standard error", recorded, recorded));
}

}  // namespace
