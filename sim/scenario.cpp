#include "scenario.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <string>
#include <utility>

namespace boxmodel {

namespace {

template <typename E, std::size_t N>
std::optional<E> lookUp(const std::array<std::pair<const char*, E>, N>& names, std::string_view name) {
    for (const auto& [text, value] : names)
        if (name == text) return value;
    return std::nullopt;
}

template <typename E, std::size_t N>
const char* nameOf(const std::array<std::pair<const char*, E>, N>& names, E value) {
    for (const auto& [text, v] : names)
        if (v == value) return text;
    return "?";
}

constexpr std::array<std::pair<const char*, Step>, 15> kSteps{{
    {"none", Step::None},
    {"keyword", Step::Keyword},
    {"version", Step::Version},
    {"menu", Step::Menu},
    {"key", Step::Key},
    {"file", Step::File},
    {"timestamp", Step::TimeStamp},
    {"announcement", Step::Announcement},
    {"image", Step::Image},
    {"sum", Step::Sum},
    {"finished", Step::Finished},
    {"now", Step::Now},
    {"hyperboot", Step::Hyperboot},
    {"mode", Step::Mode},
    {"programmed", Step::Programmed},
}};

constexpr std::array<std::pair<const char*, Prompt>, 7> kPrompts{{
    {"none", Prompt::None},
    {"choice", Prompt::Choice},
    {"file", Prompt::File},
    {"finished", Prompt::Finished},
    {"now", Prompt::Now},
    {"hyperboot", Prompt::Hyperboot},
    {"programmed", Prompt::Programmed},
}};

constexpr std::array<std::pair<const char*, TransferFault>, 10> kFaults{{
    {"none", TransferFault::None},
    {"error", TransferFault::Error},
    {"stop", TransferFault::Stop},
    {"question", TransferFault::Question},
    {"F", TransferFault::F},
    {"U", TransferFault::U},
    {"warnings", TransferFault::Warnings},
    {"flash-id", TransferFault::FlashId},
    {"stop-reading", TransferFault::StopReading},
    {"hangup", TransferFault::HangUp},
}};

}  // namespace

BootloaderTraits traitsOf(std::string_view versionText) {
    BootloaderTraits traits;
    // Read as the program reads it: optional blanks, then major.minor.
    const std::string text(versionText);
    int major = 0;
    int minor = 0;
    if (std::sscanf(text.c_str(), "%d.%d", &major, &minor) != 2) return traits;
    traits.parsed = true;
    traits.major = major;
    traits.minor = minor;
    if (major == 1 && minor >= 4 && minor <= 9) {
        traits.family = Family::Generation1;
        traits.openingBaud = 38400;
        // 1.4 stays at its opening speed until the hyper bootloader runs.
        traits.menuBaud = minor == 4 ? 38400 : 115200;
    } else if ((major == 2 && minor >= 0 && minor <= 2) || (major == 3 && minor >= 1 && minor <= 3) ||
               (major == 4 && minor == 1)) {
        traits.family = Family::Generation2;
    } else if (major == 4 && minor >= 11 && minor <= 13) {
        traits.family = Family::Dated;
        traits.irdetoByDefault = true;
    } else if (major == 4 && ((minor >= 2 && minor <= 29) || minor == 90 || minor == 91 || minor == 99)) {
        traits.family = Family::Generation4;
    }
    return traits;
}

const char* familyName(Family family) {
    switch (family) {
    case Family::Generation1: return "generation 1";
    case Family::Generation2: return "generation 2";
    case Family::Generation4: return "generation 4";
    case Family::Dated: return "dated";
    case Family::Unknown: return "unknown";
    }
    return "?";
}

std::optional<Step> parseStep(std::string_view name) { return lookUp(kSteps, name); }
const char* stepName(Step step) { return nameOf(kSteps, step); }
std::optional<Prompt> parsePrompt(std::string_view name) { return lookUp(kPrompts, name); }
const char* promptName(Prompt prompt) { return nameOf(kPrompts, prompt); }
std::optional<TransferFault> parseTransferFault(std::string_view name) { return lookUp(kFaults, name); }
const char* transferFaultName(TransferFault fault) { return nameOf(kFaults, fault); }

std::uint32_t keywordBaudOf(const Scenario& scenario, const BootloaderTraits& traits) {
    return scenario.keywordBaud != 0 ? scenario.keywordBaud : traits.openingBaud;
}

EchoGame echoGameOf(const Scenario& scenario, const BootloaderTraits& traits) {
    if (scenario.irdeto) return *scenario.irdeto ? EchoGame::Demanded : EchoGame::Never;
    return traits.irdetoByDefault ? EchoGame::IfStarted : EchoGame::Never;
}

std::uint32_t echoWindowOf(const Scenario& scenario, const BootloaderTraits& traits, bool afterSwitchOn) {
    // The program starts the game at once after the keyword; after the slow
    // keyword only once it has switched back (some 1.8 s); with a box that is
    // already on, it sends a digit about every half second.
    constexpr std::uint32_t kAfterSlowKeywordMs = 2500;
    constexpr std::uint32_t kAfterSwitchOnMs = 1200;
    const std::uint32_t reply = replyDelayOf(scenario, traits);
    if (afterSwitchOn) return std::max(reply, kAfterSwitchOnMs);
    if (keywordBaudOf(scenario, traits) < traits.openingBaud) return std::max(reply, kAfterSlowKeywordMs);
    return reply;
}

std::uint32_t replyDelayOf(const Scenario& scenario, const BootloaderTraits& traits) {
    if (scenario.replyDelayMs != 0) return scenario.replyDelayMs;
    return keywordBaudOf(scenario, traits) < traits.openingBaud ? 1200 : 100;
}

}  // namespace boxmodel
