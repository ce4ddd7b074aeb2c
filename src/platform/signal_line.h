// The last line of a trace that a signal or a console event ended, in the
// form of every other line: seconds with six decimals right-aligned in ten
// places, two blanks, the event and its name. Built without allocation, for
// the signal path.
#pragma once

#include <cstddef>
#include <cstdint>

namespace platform {

// Room enough for any line signalLine builds from the names the systems use.
inline constexpr std::size_t kSignalLineSize = 128;

namespace signal_line_detail {

// Digits of `value`, right-aligned in `width` places (at least the digits).
inline char* putNumber(char* at, std::uint64_t value, int width) {
    char digits[24];
    int count = 0;
    do {
        digits[count++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    for (int pad = width - count; pad > 0; --pad) *at++ = ' ';
    while (count > 0) *at++ = digits[--count];
    return at;
}

// Copies `text`, stopping short of `end`.
inline char* putText(char* at, const char* end, const char* text) {
    while (*text != '\0' && at < end) *at++ = *text++;
    return at;
}

}  // namespace signal_line_detail

// Writes "<seconds>  <event> <name>\n" into `line` (kSignalLineSize bytes);
// returns its length.
inline std::size_t signalLine(char* line, std::uint64_t elapsedUs, const char* event, const char* name) {
    using namespace signal_line_detail;
    char* at = putNumber(line, elapsedUs / 1000000u, 3);
    *at++ = '.';
    const std::uint64_t fraction = elapsedUs % 1000000u;
    for (std::uint64_t scale = 100000; scale > 0; scale /= 10) *at++ = static_cast<char>('0' + fraction / scale % 10);
    char* const end = line + kSignalLineSize - 1;
    at = putText(at, end, "  ");
    at = putText(at, end, event);
    at = putText(at, end, " ");
    at = putText(at, end, name);
    *at++ = '\n';
    return static_cast<std::size_t>(at - line);
}

}  // namespace platform
