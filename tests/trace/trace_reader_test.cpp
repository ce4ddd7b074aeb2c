// Reading traces back: what the writer wrote reads back byte for byte, and
// every kind of bad file is named with the line where it goes wrong.
#include <gtest/gtest.h>

#include <string>

#include "replay.h"
#include "trace/trace_format.h"
#include "trace/trace_reader.h"

namespace {

using trace::Direction;
using trace::RecordKind;

std::string header() { return std::string(trace::kFormatLine) + "\n# program: " + trace::kProgramLine + "\n"; }

// A short successful dialogue as the program writes it.
std::string goodTrace() {
    std::string text = header() + trace::kColumnsLine + "\n";
    trace::appendEventLine(text, 100, "open", "\"/dev/ttyUSB0\"");
    trace::appendEventLine(text, 120, "line", "115200 handshake on");
    trace::appendBytesLine(text, 300000, Direction::PcToBox, 115200, " quorcom", 8, false);
    trace::appendBytesLine(text, 390000, Direction::BoxToPc, 115200, "Version 4.20\r\n\x01\xFF\"\\", 18, false);
    const std::string data(4096, '\x5A');
    trace::appendBulkLine(text, 1200000, Direction::PcToBox, 115200, data.size(),
                          trace::digestOf(data.data(), data.size()));
    trace::appendNoteLine(text, 1300000, "stdout \"Download file...\"");
    trace::appendEventLine(text, 2000000, "end", "exit 0");
    return text;
}

struct BadTrace {
    const char* what;
    std::string text;
    std::size_t line;
    const char* message;  // part of the message
};

TEST(TraceReader, ReadsBackWhatTheWriterWrote) {
    const trace::ParsedTrace parsed = trace::readTrace(goodTrace(), trace::kProgramLine);
    ASSERT_FALSE(parsed.problem) << parsed.problem->lineNumber << ": " << parsed.problem->what;
    ASSERT_EQ(parsed.records.size(), 7u);
    EXPECT_EQ(parsed.records[0].kind, RecordKind::Open);
    EXPECT_EQ(parsed.records[1].baud, 115200u);
    EXPECT_EQ(parsed.records[2].kind, RecordKind::PcBytes);
    EXPECT_EQ(parsed.records[2].bytes, " quorcom");
    EXPECT_EQ(parsed.records[2].us, 300000u);
    EXPECT_EQ(parsed.records[3].kind, RecordKind::BoxBytes);
    EXPECT_EQ(parsed.records[3].bytes, std::string("Version 4.20\r\n\x01\xFF\"\\"));
    EXPECT_EQ(parsed.records[3].lineNumber, 7u);
    EXPECT_EQ(parsed.records[4].kind, RecordKind::PcBulk);
    EXPECT_EQ(parsed.records[4].size, 4096u);
    const std::string data(4096, '\x5A');
    EXPECT_EQ(parsed.records[4].digest, trace::digestOf(data.data(), data.size()));
    EXPECT_EQ(parsed.records[6].kind, RecordKind::End);
    EXPECT_EQ(parsed.records[6].detail, "exit 0");
}

TEST(TraceReader, NamesWhatIsWrongAndWhere) {
    const std::string good = goodTrace();
    std::string otherVersion = good;
    otherVersion.replace(otherVersion.find(trace::kProgramLine), std::string(trace::kProgramLine).size(), "update 0.9");
    std::string garbage = good;
    garbage.insert(garbage.find("  0.390000"), "  0.350000  PC>box   hello\n");
    std::string broken = good;
    broken.insert(broken.find("  0.390000"), "  0.350000  box>PC   115200  \"\\q\"\n");
    std::string backwards = good;
    backwards.insert(backwards.find("  0.390000"), "  0.000001  close\n");
    std::string noBox;
    for (std::size_t at = 0; at < good.size();) {
        const std::size_t end = good.find('\n', at) + 1;
        const std::string line = good.substr(at, end - at);
        if (line.find("box>PC") == std::string::npos) noBox += line;
        at = end;
    }
    std::string emulatorLog = good;
    emulatorLog.insert(emulatorLog.find("  0.390000"), "  0.350000  box>PC   115200  \"abc\" ... (4000 bytes)\n");

    const BadTrace cases[] = {
        {"empty", "", 1, "empty"},
        {"another program's file", "hello\n", 1, "not a trace of update"},
        {"another format", "# update trace, format 7\n", 1, "trace format 7; this boxsim reads format 1"},
        {"another version", otherVersion, 2, "a trace of update 0.9; this boxsim replays update "},
        {"binary", header() + std::string("  0.1\x00\x01\x02", 8), 3, "binary data"},
        {"garbage line", garbage, 7, "no speed in the line"},
        {"broken escape", broken, 7, "broken quoted bytes"},
        {"time going backwards", backwards, 7, "the time goes backwards"},
        {"cut off mid-line", good.substr(0, good.find("[4096") + 3), 8, "cut off in the middle of this line"},
        {"cut off between lines", good.substr(0, good.find("  1.300000")), 8, "without the end of the run"},
        {"no box", noBox, 9, "records no box"},
        {"an emulator's log", emulatorLog, 7, "shows only part of the bytes"},
        {"unknown event", header() + "  0.000001  dance\n", 3, "unknown event \"dance\""},
        {"a line after the end", good + "  9.000000  close\n", 11, "after the end of the run"},
    };
    for (const BadTrace& bad : cases) {
        SCOPED_TRACE(bad.what);
        const trace::ParsedTrace parsed = trace::readTrace(bad.text, trace::kProgramLine);
        ASSERT_TRUE(parsed.problem);
        EXPECT_EQ(parsed.problem->lineNumber, bad.line) << parsed.problem->what;
        EXPECT_NE(parsed.problem->what.find(bad.message), std::string::npos) << parsed.problem->what;
        EXPECT_TRUE(parsed.records.empty());
    }
}

TEST(TraceFormat, TimesAndEscapesAreAsTheLogAlwaysShowedThem) {
    std::string line;
    trace::appendBytesLine(line, 12345678, Direction::BoxToPc, 38400, std::string("A\tb\x7F\0", 5), 5, true);
    EXPECT_EQ(line, " 12.345678  box>PC  38400   \"A\\tb\\x7F\\x00\"  (garbled: sent at another speed)\n");
    line.clear();
    trace::appendBytesLine(line, 5, Direction::PcToBox, 9600, "abc", 3000, false);
    EXPECT_EQ(line, "  0.000005  PC>box  9600    \"abc\" ... (3000 bytes)\n");
}

TEST(ReplayTimeStamp, MatchesAnotherMomentOfTheSameFormOnly) {
    const std::string recorded("\xEA\x2F\x19\x07\x59", 5);      // day 59951, 19:07:59
    EXPECT_TRUE(boxsim::sameTimeStampForm(recorded, std::string("\xEA\x30\x00\x01\x02", 5)));   // next day
    EXPECT_FALSE(boxsim::sameTimeStampForm(recorded, std::string("\xEA\x35\x19\x07\x59", 5)));  // six days on
    EXPECT_FALSE(boxsim::sameTimeStampForm(recorded, std::string("\xEA\x2F\x24\x07\x59", 5)));  // hour 24
    EXPECT_FALSE(boxsim::sameTimeStampForm(recorded, std::string("\xEA\x2F\x19\x07\x5A", 5)));  // not BCD
    EXPECT_FALSE(boxsim::sameTimeStampForm(recorded, std::string("\xEA\x2F\x19\x07", 4)));
    EXPECT_FALSE(boxsim::sameTimeStampForm("7", "6"));
}

}  // namespace
