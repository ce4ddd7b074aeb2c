// How a box's dialogue ended, as boxsim reports it and tests check it.
#pragma once

#include <string>
#include <string_view>

namespace boxmodel {

struct Outcome {
    enum class Kind {
        None,       // nothing decisive yet (or ever: a silent box, a PC that gave up)
        Flashed,    // whole image taken, every check passed, "finished!" sent
        Stopped,    // the box ended the transfer with "STOP"
        Satellite,  // a satellite update was requested with a menu key
        Released,   // left its boot loader with the key "1"
        Refused,    // a menu key the box does not offer
        Aborted,    // the box ended the dialogue with an error it was told to show
        Rejected,   // the box found what the PC sent wrong and said so
        Stalled,    // the box stopped reading for good
        HungUp,     // the box dropped the line
    };
    Kind kind = Kind::None;
    char key = 0;        // Satellite, Refused: the menu key
    std::string detail;  // one human sentence

    // "flashed", "satellite:6", "refused:4", "hungup", ...
    std::string code() const;
};

// True when the outcome is what `expected` names: a code as code() gives it,
// or "satellite" for any satellite key, or "refused" for any refused key.
bool outcomeMatches(const Outcome& outcome, std::string_view expected);

// The outcomes that a run can end with and that are no failure of the box.
bool isGoodEnding(const Outcome& outcome);

// All names outcomeMatches understands, for help texts and option checks.
bool isOutcomeName(std::string_view name);

}  // namespace boxmodel
