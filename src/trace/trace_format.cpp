#include "trace/trace_format.h"

#include <cstdio>

namespace trace {

namespace {

constexpr int kEventWidth = 9;      // "open     ", "--       "
constexpr int kDirectionWidth = 8;  // "PC>box  ", as the emulator's log has always had it
constexpr int kBaudWidth = 8;       // "38400   "

void appendPadded(std::string& out, std::string_view text, int width) {
    out += text;
    for (int pad = width - static_cast<int>(text.size()); pad > 0; --pad) out += ' ';
}

void appendLead(std::string& out, std::uint64_t us, std::string_view event, int width = kEventWidth) {
    appendTime(out, us);
    out += "  ";
    appendPadded(out, event, width);
}

void appendBaud(std::string& out, std::uint32_t baud) { appendPadded(out, std::to_string(baud), kBaudWidth); }

const char* directionText(Direction direction) { return direction == Direction::PcToBox ? "PC>box" : "box>PC"; }

}  // namespace

void appendEscaped(std::string& out, std::uint8_t value) {
    switch (value) {
        case '\r': out += "\\r"; return;
        case '\n': out += "\\n"; return;
        case '\t': out += "\\t"; return;
        case '\\': out += "\\\\"; return;
        case '"': out += "\\\""; return;
        default: break;
    }
    if (value >= 0x20 && value < 0x7F) {
        out += static_cast<char>(value);
        return;
    }
    static constexpr char kHex[] = "0123456789ABCDEF";
    out += "\\x";
    out += kHex[value >> 4];
    out += kHex[value & 0x0F];
}

void appendQuoted(std::string& out, std::string_view bytes) {
    out += '"';
    for (const char byte : bytes) appendEscaped(out, static_cast<std::uint8_t>(byte));
    out += '"';
}

std::uint64_t digestOf(const void* data, std::size_t size, std::uint64_t digest) {
    const auto* bytes = static_cast<const unsigned char*>(data);
    for (std::size_t i = 0; i < size; ++i) {
        digest ^= bytes[i];
        digest *= 1099511628211ull;
    }
    return digest;
}

void appendTime(std::string& out, std::uint64_t us) {
    char text[32];
    std::snprintf(text, sizeof text, "%3llu.%06llu", static_cast<unsigned long long>(us / 1000000u),
                  static_cast<unsigned long long>(us % 1000000u));
    const std::string_view shown = text;
    for (int pad = 10 - static_cast<int>(shown.size()); pad > 0; --pad) out += ' ';
    out += shown;
}

void appendBytesLine(std::string& out, std::uint64_t us, Direction direction, std::uint32_t baud,
                     std::string_view shown, std::uint64_t total, bool garbled) {
    appendLead(out, us, directionText(direction), kDirectionWidth);
    appendBaud(out, baud);
    appendQuoted(out, shown);
    if (total > shown.size()) out += " ... (" + std::to_string(total) + " bytes)";
    if (garbled) out += "  (garbled: sent at another speed)";
    out += '\n';
}

void appendBulkLine(std::string& out, std::uint64_t us, Direction direction, std::uint32_t baud,
                    std::uint64_t size, std::uint64_t digest) {
    appendLead(out, us, directionText(direction), kDirectionWidth);
    appendBaud(out, baud);
    char text[80];
    std::snprintf(text, sizeof text, "[%llu bytes, digest %016llx]\n", static_cast<unsigned long long>(size),
                  static_cast<unsigned long long>(digest));
    out += text;
}

void appendEventLine(std::string& out, std::uint64_t us, std::string_view event, std::string_view detail) {
    appendLead(out, us, event);
    out += detail;
    while (!out.empty() && out.back() == ' ') out.pop_back();
    out += '\n';
}

void appendNoteLine(std::string& out, std::uint64_t us, std::string_view text) {
    appendLead(out, us, "--");
    out += text;
    out += '\n';
}

}  // namespace trace
