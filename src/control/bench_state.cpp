#include "control/bench_state.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace {

std::string trimmed(const std::string& text) {
    const std::size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos) return {};
    const std::size_t last = text.find_last_not_of(" \t");
    return text.substr(first, last - first + 1);
}

bool startsWith(const std::string& text, const char* prefix) { return text.rfind(prefix, 0) == 0; }

bool endsWith(const std::string& text, const std::string& suffix) {
    return text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// One piece of standard output, between line ends and the backspaces that
// the progress counter erases itself with.
OutputNote noteOfPiece(const std::string& raw) {
    const std::string piece = trimmed(raw);
    OutputNote note;
    static constexpr const char* kAccessed = "Bootloader version ";
    if (startsWith(piece, kAccessed) && endsWith(piece, " accessed!")) {
        note.event = OutputEvent::Version;
        note.version = piece.substr(std::char_traits<char>::length(kAccessed),
                                    piece.size() - std::char_traits<char>::length(kAccessed) - 10);
    } else if (const std::size_t at = piece.find(" % transfered"); at != std::string::npos && at > 0) {
        note.event = OutputEvent::Percent;
        note.percent = std::atoi(piece.c_str());
    } else if (piece == "stopped for programming") {
        note.event = OutputEvent::Programming;
    } else if (startsWith(piece, "Download on com port ") && endsWith(piece, " successfully finished.")) {
        note.event = OutputEvent::Flashed;
    } else if (piece == "Please be patient and wait for update to be finished..") {
        note.event = OutputEvent::Satellite;
    } else if (piece == "Update another box (y/n)? [y]") {
        note.event = OutputEvent::NextBox;
    }
    return note;
}

std::string padded(const std::string& text, std::size_t width) {
    return text.size() >= width ? text : text + std::string(width - text.size(), ' ');
}

}  // namespace

const char* phaseName(PortPhase phase) {
    switch (phase) {
        case PortPhase::Waiting: return "waiting for the box";
        case PortPhase::Access: return "access";
        case PortPhase::Transfer: return "transfer";
        case PortPhase::Programming: return "programming";
        case PortPhase::Done: return "done";
        case PortPhase::Failed: return "failed";
    }
    return "";
}

std::vector<OutputNote> OutputReader::addOutput(const char* data, std::size_t size) {
    std::vector<OutputNote> notes;
    for (std::size_t i = 0; i < size; ++i) {
        const char c = data[i];
        if (c == '\n' || c == '\r' || c == '\b') {
            if (!piece_.empty()) {
                const OutputNote note = noteOfPiece(piece_);
                if (note.event != OutputEvent::None) notes.push_back(note);
                piece_.clear();
            }
            continue;
        }
        // A piece longer than any message is no message: keep its end only.
        if (piece_.size() > 4096) piece_.erase(0, 2048);
        piece_ += c;
    }
    return notes;
}

void OutputReader::addError(const char* data, std::size_t size) {
    for (std::size_t i = 0; i < size; ++i) {
        const char c = data[i];
        if (c == '\n' || c == '\r') {
            const std::string line = trimmed(errorPiece_);
            if (!line.empty()) lastErrorLine_ = line;
            errorPiece_.clear();
            continue;
        }
        if (errorPiece_.size() > 4096) errorPiece_.erase(0, 2048);
        errorPiece_ += c;
    }
}

bool applyNote(PortState& state, const OutputNote& note) {
    switch (note.event) {
        case OutputEvent::Version:
            state.bootloader = note.version;
            state.phase = PortPhase::Access;
            return true;
        case OutputEvent::Percent: {
            const int percent = std::clamp(note.percent, 0, 100);
            const PortPhase phase = percent == 100 ? PortPhase::Programming : PortPhase::Transfer;
            if (percent == state.percent && phase == state.phase) return false;
            state.percent = percent;
            state.phase = phase;
            return true;
        }
        case OutputEvent::Programming:
            if (state.phase == PortPhase::Programming) return false;
            state.phase = PortPhase::Programming;
            return true;
        case OutputEvent::Flashed:
        case OutputEvent::Satellite:
        case OutputEvent::NextBox:
        case OutputEvent::None: return false;  // the supervisor ends the box
    }
    return false;
}

std::string elapsedText(std::uint32_t ms) {
    const unsigned seconds = ms / 1000;
    char text[32];
    if (seconds >= 3600) {
        std::snprintf(text, sizeof text, "%u:%02u:%02u", seconds / 3600, seconds / 60 % 60, seconds % 60);
    } else {
        std::snprintf(text, sizeof text, "%u:%02u", seconds / 60, seconds % 60);
    }
    return text;
}

std::vector<std::string> tableLines(const std::vector<PortState>& states, std::uint32_t nowMs, bool unattended) {
    std::size_t width = 4;
    for (const PortState& state : states) width = std::max(width, state.shortName.size());
    std::vector<std::string> lines;
    lines.push_back(padded("PORT", width) + "  LOADER  " + padded("PHASE", 19) + "     %     TIME  RESULT");
    for (const PortState& state : states) {
        std::string line = padded(state.shortName, width) + "  ";
        line += padded(state.bootloader.empty() ? "-" : state.bootloader, 6) + "  ";
        line += padded(phaseName(state.phase), 19) + "  ";
        char number[16];
        std::snprintf(number, sizeof number, "%4s", state.percent < 0 ? "" : std::to_string(state.percent).c_str());
        line += number;
        const std::uint32_t span = (state.result.empty() || unattended ? nowMs : state.endMs) - state.startMs;
        char time[24];
        std::snprintf(time, sizeof time, "  %7s  ", elapsedText(span).c_str());
        line += time;
        if (unattended) {
            line += std::to_string(state.flashed) + " flashed, " + std::to_string(state.failed) + " failed";
            if (!state.result.empty()) line += "; last: " + state.result;
        } else {
            line += state.result;
        }
        if (state.result == "failed" && !state.message.empty()) line += ": " + state.message;
        if (!state.endedBy.empty()) line += "; port ended: " + state.endedBy;
        lines.push_back(line);
    }
    return lines;
}

std::string eventLine(const PortState& state, const char* event, const std::string& detail) {
    std::string line = state.shortName + "\t" + event;
    if (!detail.empty()) line += "\t" + detail;
    return line;
}

std::vector<std::string> summaryLines(const std::vector<PortState>& states, bool satellite, bool everyPort) {
    unsigned updated = 0;
    unsigned boxes = 0;
    for (const PortState& state : states) {
        updated += state.flashed;
        boxes += state.flashed + state.failed;
    }
    std::vector<std::string> lines;
    lines.push_back(std::to_string(updated) + " of " + std::to_string(boxes) +
                    (satellite ? " boxes sent to the satellite." : " boxes flashed."));
    for (const PortState& state : states) {
        if (everyPort) {
            lines.push_back(state.shortName + ": " + std::to_string(state.flashed) + " updated, " +
                            std::to_string(state.failed) + " failed" +
                            (state.stoppedWhile.empty() ? std::string() : ", stopped while " + state.stoppedWhile));
        }
        if (!state.endedBy.empty()) lines.push_back(state.shortName + ": port ended: " + state.endedBy);
        if (state.failed == 0) continue;
        std::string line = state.shortName + ": failed";
        if (state.failed > 1) line += " (" + std::to_string(state.failed) + " boxes)";
        if (!state.message.empty()) line += ": " + state.message;
        lines.push_back(line);
    }
    return lines;
}
