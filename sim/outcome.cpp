#include "outcome.h"

#include <array>

namespace boxmodel {

namespace {

const char* kindName(Outcome::Kind kind) {
    switch (kind) {
    case Outcome::Kind::None: return "none";
    case Outcome::Kind::Flashed: return "flashed";
    case Outcome::Kind::Stopped: return "stopped";
    case Outcome::Kind::Satellite: return "satellite";
    case Outcome::Kind::Released: return "released";
    case Outcome::Kind::Refused: return "refused";
    case Outcome::Kind::Aborted: return "aborted";
    case Outcome::Kind::Rejected: return "rejected";
    case Outcome::Kind::Stalled: return "stalled";
    case Outcome::Kind::HungUp: return "hungup";
    }
    return "?";
}

}  // namespace

std::string Outcome::code() const {
    std::string code = kindName(kind);
    if ((kind == Kind::Satellite || kind == Kind::Refused) && key != 0) {
        code += ':';
        code += key;
    }
    return code;
}

bool outcomeMatches(const Outcome& outcome, std::string_view expected) {
    return expected == outcome.code() || expected == kindName(outcome.kind);
}

bool isGoodEnding(const Outcome& outcome) {
    switch (outcome.kind) {
    case Outcome::Kind::Flashed:
    case Outcome::Kind::Stopped:
    case Outcome::Kind::Satellite:
    case Outcome::Kind::Released: return true;
    default: return false;
    }
}

bool isOutcomeName(std::string_view name) {
    static constexpr std::array<const char*, 10> kNames{"none",    "flashed", "stopped",  "satellite", "released",
                                                        "refused", "aborted", "rejected", "stalled",   "hungup"};
    const auto colon = name.find(':');
    const std::string_view kind = name.substr(0, colon);
    bool known = false;
    for (const char* n : kNames) known = known || kind == n;
    if (!known) return false;
    if (colon == std::string_view::npos) return true;
    return (kind == "satellite" || kind == "refused") && name.size() == colon + 2;
}

}  // namespace boxmodel
