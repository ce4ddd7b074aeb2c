#include "trace/trace_reader.h"

#include <cstdio>

#include "trace/trace_format.h"

namespace trace {

namespace {

constexpr std::string_view kFormatPrefix = "# update trace, format ";
constexpr std::string_view kProgramPrefix = "# program: ";

struct EventName {
    std::string_view name;
    RecordKind kind;
};

constexpr EventName kEvents[] = {
    {"open", RecordKind::Open},     {"line", RecordKind::Line},     {"speed", RecordKind::Speed},
    {"close", RecordKind::Close},   {"hangup", RecordKind::HangUp}, {"error", RecordKind::Error},
    {"image", RecordKind::Image},   {"--", RecordKind::Note},       {"signal", RecordKind::Signal},
    {"end", RecordKind::End},
};

std::string shownForMessage(std::string_view text) {
    std::string shown;
    for (std::size_t i = 0; i < text.size() && i < 40; ++i) appendEscaped(shown, static_cast<std::uint8_t>(text[i]));
    if (text.size() > 40) shown += "...";
    return shown;
}

bool isDigit(char c) { return c >= '0' && c <= '9'; }

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

void skipBlanks(std::string_view& rest) {
    while (!rest.empty() && rest.front() == ' ') rest.remove_prefix(1);
}

std::string_view takeWord(std::string_view& rest) {
    skipBlanks(rest);
    std::size_t end = 0;
    while (end < rest.size() && rest[end] != ' ') ++end;
    const std::string_view word = rest.substr(0, end);
    rest.remove_prefix(end);
    return word;
}

// Decimal without sign, at most 19 digits; false on anything else.
bool parseNumber(std::string_view text, std::uint64_t& value) {
    if (text.empty() || text.size() > 19) return false;
    value = 0;
    for (const char c : text) {
        if (!isDigit(c)) return false;
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
    }
    return true;
}

// "12.345678": the time of the line in microseconds.
bool parseTime(std::string_view text, std::uint64_t& us) {
    const std::size_t dot = text.find('.');
    if (dot == std::string_view::npos || text.size() - dot - 1 != 6) return false;
    std::uint64_t seconds = 0;
    std::uint64_t fraction = 0;
    if (!parseNumber(text.substr(0, dot), seconds) || !parseNumber(text.substr(dot + 1), fraction)) return false;
    if (seconds > 1000000000u) return false;
    us = seconds * 1000000u + fraction;
    return true;
}

// The quoted bytes at the start of `rest`; false when the quoting is broken.
bool parseQuoted(std::string_view& rest, std::string& bytes) {
    if (rest.empty() || rest.front() != '"') return false;
    std::size_t at = 1;
    while (at < rest.size()) {
        const char c = rest[at];
        if (c == '"') {
            rest.remove_prefix(at + 1);
            return true;
        }
        if (c != '\\') {
            bytes += c;
            ++at;
            continue;
        }
        if (at + 1 >= rest.size()) return false;
        const char escaped = rest[at + 1];
        switch (escaped) {
            case 'r': bytes += '\r'; break;
            case 'n': bytes += '\n'; break;
            case 't': bytes += '\t'; break;
            case '\\': bytes += '\\'; break;
            case '"': bytes += '"'; break;
            case 'x': {
                if (at + 3 >= rest.size()) return false;
                const int high = hexValue(rest[at + 2]);
                const int low = hexValue(rest[at + 3]);
                if (high < 0 || low < 0) return false;
                bytes += static_cast<char>(high * 16 + low);
                at += 2;
                break;
            }
            default: return false;
        }
        at += 2;
    }
    return false;
}

// "[4096 bytes, digest 0123456789abcdef]"
bool parseBulk(std::string_view rest, std::uint64_t& size, std::uint64_t& digest) {
    if (rest.empty() || rest.front() != '[' || rest.back() != ']') return false;
    rest = rest.substr(1, rest.size() - 2);
    const std::size_t space = rest.find(' ');
    if (space == std::string_view::npos || !parseNumber(rest.substr(0, space), size) || size == 0) return false;
    rest.remove_prefix(space);
    constexpr std::string_view kMiddle = " bytes, digest ";
    if (rest.substr(0, kMiddle.size()) != kMiddle) return false;
    rest.remove_prefix(kMiddle.size());
    if (rest.size() != 16) return false;
    digest = 0;
    for (const char c : rest) {
        const int value = hexValue(c);
        if (value < 0) return false;
        digest = digest * 16 + static_cast<std::uint64_t>(value);
    }
    return true;
}

// One line of the body; the problem's text when it is none.
std::optional<std::string> parseLine(std::string_view line, Record& record) {
    std::string_view rest = line;
    const std::string_view time = takeWord(rest);
    if (!parseTime(time, record.us)) return "no time at the start of the line";
    const std::string_view name = takeWord(rest);
    const bool fromPc = name == "PC>box";
    if (fromPc || name == "box>PC") {
        std::uint64_t baud = 0;
        if (!parseNumber(takeWord(rest), baud) || baud == 0 || baud > 10000000) return "no speed in the line";
        record.baud = static_cast<std::uint32_t>(baud);
        skipBlanks(rest);
        if (fromPc && !rest.empty() && rest.front() == '[') {
            if (!parseBulk(rest, record.size, record.digest)) return "broken image data entry";
            record.kind = RecordKind::PcBulk;
            return std::nullopt;
        }
        if (!parseQuoted(rest, record.bytes)) return "broken quoted bytes";
        if (!rest.empty()) return "shows only part of the bytes (an emulator's log, not a trace)";
        if (record.bytes.empty()) return "no bytes in the line";
        record.kind = fromPc ? RecordKind::PcBytes : RecordKind::BoxBytes;
        return std::nullopt;
    }
    for (const EventName& event : kEvents) {
        if (event.name != name) continue;
        record.kind = event.kind;
        skipBlanks(rest);
        record.detail = std::string(rest);
        if (event.kind == RecordKind::Speed || event.kind == RecordKind::Line) {
            std::uint64_t baud = 0;
            std::string_view detail = rest;
            if (!parseNumber(takeWord(detail), baud) || baud == 0 || baud > 10000000) return "no speed in the line";
            record.baud = static_cast<std::uint32_t>(baud);
        }
        return std::nullopt;
    }
    return "unknown event \"" + shownForMessage(name) + "\"";
}

ParsedTrace fail(ParsedTrace parsed, std::size_t lineNumber, std::string what) {
    parsed.records.clear();
    parsed.problem = TraceProblem{lineNumber, std::move(what)};
    return parsed;
}

}  // namespace

std::optional<std::string> takeQuoted(std::string_view& rest) {
    std::string bytes;
    if (!parseQuoted(rest, bytes)) return std::nullopt;
    return bytes;
}

ParsedTrace readTrace(std::string_view text, std::string_view expectedProgram) {
    ParsedTrace parsed;
    std::size_t lineNumber = 0;
    bool sawFormat = false;
    bool sawProgram = false;
    bool sawBox = false;
    bool sawEnd = false;
    std::uint64_t lastUs = 0;
    while (!text.empty()) {
        ++lineNumber;
        const std::size_t newline = text.find('\n');
        const std::string_view line = text.substr(0, newline);
        for (const char c : line) {
            const auto byte = static_cast<unsigned char>(c);
            if (byte < 0x20 || byte >= 0x7F)
                return fail(std::move(parsed), lineNumber, "binary data, not the text of a trace");
        }
        if (newline == std::string_view::npos)
            return fail(std::move(parsed), lineNumber, "the trace is cut off in the middle of this line");
        text.remove_prefix(newline + 1);
        if (!sawFormat) {
            if (line.substr(0, kFormatPrefix.size()) != kFormatPrefix)
                return fail(std::move(parsed), lineNumber,
                            "not a trace of update (it begins \"" + shownForMessage(line) + "\")");
            if (line != kFormatLine)
                return fail(std::move(parsed), lineNumber,
                            "trace format " + std::string(line.substr(kFormatPrefix.size())) +
                                "; this boxsim reads format " + std::to_string(kFormat));
            sawFormat = true;
            continue;
        }
        if (!line.empty() && line.front() == '#') {
            if (line == kConsoleLine) parsed.consoleRecorded = true;
            if (line.substr(0, kProgramPrefix.size()) == kProgramPrefix) {
                parsed.program = std::string(line.substr(kProgramPrefix.size()));
                if (parsed.program != expectedProgram)
                    return fail(std::move(parsed), lineNumber,
                                "a trace of " + shownForMessage(parsed.program) + "; this boxsim replays " +
                                    std::string(expectedProgram) + "'s traces");
                sawProgram = true;
            }
            continue;
        }
        if (!sawProgram) return fail(std::move(parsed), lineNumber, "no \"# program:\" line before the dialogue");
        if (sawEnd) return fail(std::move(parsed), lineNumber, "a line after the end of the run");
        Record record;
        record.lineNumber = lineNumber;
        if (const auto problem = parseLine(line, record)) return fail(std::move(parsed), lineNumber, *problem);
        if (record.us < lastUs) return fail(std::move(parsed), lineNumber, "the time goes backwards");
        lastUs = record.us;
        sawBox = sawBox || record.kind == RecordKind::BoxBytes;
        sawEnd = record.kind == RecordKind::End || record.kind == RecordKind::Signal;
        parsed.records.push_back(std::move(record));
    }
    if (!sawFormat) return fail(std::move(parsed), lineNumber + 1, "the file is empty");
    if (!sawEnd)
        return fail(std::move(parsed), lineNumber,
                    "the trace ends here without the end of the run: it was cut off");
    if (!sawBox) return fail(std::move(parsed), lineNumber, "the trace records no box: nothing came back on the line");
    return parsed;
}

}  // namespace trace
