// The trace reader over arbitrary files: no fault; a problem names a line
// that exists; a trace it accepts is one the replay can play (a box that
// speaks, a last line that ends the run), and every line of bytes it read
// reads back the same once written again.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_support.h"
#include "replay.h"
#include "trace/trace_format.h"
#include "trace/trace_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const trace::ParsedTrace parsed = trace::readTrace(text, trace::kProgramLine);
    std::size_t lines = 0;
    for (const char c : text) lines += c == '\n' ? 1 : 0;
    if (parsed.problem) {
        FUZZ_REQUIRE(parsed.records.empty());
        FUZZ_REQUIRE(parsed.problem->lineNumber >= 1 && parsed.problem->lineNumber <= lines + 1);
        FUZZ_REQUIRE(!parsed.problem->what.empty());
        return 0;
    }
    FUZZ_REQUIRE(!parsed.records.empty());
    const trace::RecordKind last = parsed.records.back().kind;
    FUZZ_REQUIRE(last == trace::RecordKind::End || last == trace::RecordKind::Signal);
    bool box = false;
    std::uint64_t previousUs = 0;
    for (const trace::Record& record : parsed.records) {
        FUZZ_REQUIRE(record.lineNumber >= 1 && record.lineNumber <= lines);
        FUZZ_REQUIRE(record.us >= previousUs);
        previousUs = record.us;
        box = box || record.kind == trace::RecordKind::BoxBytes;
        if (record.kind == trace::RecordKind::PcBulk) FUZZ_REQUIRE(record.size > 0);
        if (record.kind != trace::RecordKind::PcBytes && record.kind != trace::RecordKind::BoxBytes) continue;
        FUZZ_REQUIRE(!record.bytes.empty() && record.baud > 0);
        std::string again = std::string(trace::kFormatLine) + "\n# program: " + trace::kProgramLine + "\n";
        trace::appendBytesLine(again, record.us, trace::Direction::BoxToPc, record.baud, record.bytes,
                               record.bytes.size(), false);
        trace::appendEventLine(again, record.us, "end", "exit 0");
        const trace::ParsedTrace reread = trace::readTrace(again, trace::kProgramLine);
        FUZZ_REQUIRE(!reread.problem && reread.records.size() == 2);
        FUZZ_REQUIRE(reread.records.front().bytes == record.bytes && reread.records.front().us == record.us);
        // A recorded time stamp always matches itself loosely.
        if (record.bytes.size() == 5 && boxsim::sameTimeStampForm(record.bytes, record.bytes)) {
            FUZZ_REQUIRE(boxsim::sameTimeStampForm(record.bytes, record.bytes));
        }
    }
    FUZZ_REQUIRE(box);
    return 0;
}
