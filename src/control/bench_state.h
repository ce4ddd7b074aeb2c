// What the bench knows of each port: read from the text the process serving
// the port prints (the program's own messages, which stay as they are), shown
// as a table on a terminal or as one line per event through a pipe.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

enum class PortPhase { Waiting, Access, Transfer, Programming, Done, Failed };

const char* phaseName(PortPhase phase);

struct PortState {
    std::string name;       // as given or matched
    std::string shortName;  // what the table and the event lines begin with
    std::string portId;     // the stable name, for the records
    PortPhase phase = PortPhase::Waiting;
    std::string bootloader;  // empty until the box told it
    int percent = -1;        // -1: nothing sent yet
    std::string result;      // "flashed", "satellite", "failed"; empty while running
    std::string message;     // the last line the port's process printed on standard error
    std::uint32_t startMs = 0;
    std::uint32_t endMs = 0;
    unsigned flashed = 0;  // boxes updated (or sent to the satellite) on this port
    unsigned failed = 0;
    bool ended = false;  // the port is done for this run
    std::string stoppedWhile;  // the phase the port was in when the run was stopped
    std::string endedBy;  // unattended: why the port could serve no more boxes
};

// Something the port's process said, from its output.
enum class OutputEvent { None, Version, Percent, Programming, Flashed, Satellite, NextBox };

struct OutputNote {
    OutputEvent event = OutputEvent::None;
    std::string version;
    int percent = 0;
};

// Reads one process's two streams piece by piece. Standard output carries the
// progress; standard error's last line is the reason of a failure.
class OutputReader {
public:
    // The events in the bytes, in order; a piece may end anywhere.
    std::vector<OutputNote> addOutput(const char* data, std::size_t size);
    void addError(const char* data, std::size_t size);
    // The last line of standard error that had more than blanks in it.
    const std::string& lastErrorLine() const { return lastErrorLine_; }
    void forgetErrors() { lastErrorLine_.clear(); }

private:
    std::string piece_;
    std::string errorPiece_;
    std::string lastErrorLine_;
};

// Applies one event; returns true when the port's row changed.
bool applyNote(PortState& state, const OutputNote& note);

// The table: a heading and one row per port, each without a line end.
std::vector<std::string> tableLines(const std::vector<PortState>& states, std::uint32_t nowMs, bool unattended);

// "<short name>\t<event>[\t<detail>]", the line through a pipe.
std::string eventLine(const PortState& state, const char* event, const std::string& detail);

// The closing lines: how many were updated, then each failed port with its reason.
// With everyPort (a run that was stopped) each port also tells what it had done.
std::vector<std::string> summaryLines(const std::vector<PortState>& states, bool satellite, bool everyPort);

// "m:ss" (or "h:mm:ss") of a span in milliseconds.
std::string elapsedText(std::uint32_t ms);
