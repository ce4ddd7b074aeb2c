#include "serial/explain.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <system_error>

#include "common/status.h"
#include "platform/serial_ports.h"
#include "platform/signal_flush.h"

namespace {

constexpr std::size_t kBoxWordsLimit = 999;
constexpr std::uint32_t kRedrawMs = 500;

std::string keptBoxWords;

void sayWhy(const std::string& words) {
    if (!errorsReachAPerson() || words.empty()) return;
    std::fprintf(stderr, "Why: %s\n", words.c_str());
    std::fflush(stderr);
}

std::string withBoxWords(const char* what) {
    std::string words = what;
    if (!keptBoxWords.empty()) words += ": \"" + keptBoxWords + "\"";
    return words;
}

std::string systemMessage(std::uint32_t code) {
    return std::system_category().message(static_cast<int>(code));
}

// What the line shows besides the program's own output.
enum class Shown { Nothing, Seconds, AccessLine };
Shown shown = Shown::Nothing;
std::size_t shownLength = 0;
int waitDepth = 0;
std::uint32_t waitStart = 0;
std::uint32_t lastDrawn = 0;
std::uint32_t shownSeconds = 0;

void writeRepeated(char c, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) std::fputc(c, stdout);
}

// Backspaces: the seconds stand after text already on the line.
void drawSeconds(const std::string& text) {
    std::fputs(text.c_str(), stdout);
    const std::size_t padding = shownLength > text.size() ? shownLength - text.size() : 0;
    writeRepeated(' ', padding);
    writeRepeated('\b', text.size() + padding);
    shownLength = text.size();
    shown = Shown::Seconds;
    std::fflush(stdout);
}

}  // namespace

bool errorsReachAPerson() { return platform::standardErrorIsTerminal(); }
bool outputReachesAPerson() { return platform::standardOutputIsTerminal(); }
bool inputComesFromAPerson() { return platform::standardInputIsTerminal(); }

std::string statusInWords(std::uint32_t code) {
    if (platform::lineHasGone(code)) return "the line hung up: check the cable, the serial adapter and the box's power";
    switch (code) {
        case 0: return {};
        case platform::kErrorCounterTimeout: return "the box stopped taking data";
        case UPD_ERR_BAD_PORT: return "the port number must be 1 to 4";
        case UPD_ERR_REPLY_OVERFLOW:
            return "the box talked on without the expected answer: is it the right box, at the right speed?";
        case UPD_ERR_TIMEOUT: return "the box stopped answering: check the cable and that the box is switched on";
        case UPD_ERR_COMPRESSION: return "the image could not be compressed for this box";
        case UPD_ERR_FLASH_FAILED: return "the box reported a failure while erasing, receiving or programming";
        case UPD_ERR_FLASH_ID_MISMATCH: return "the box's flash memory is not the one this image is for";
        case UPD_ERR_CODE_TABLE: return "the image could not be packed for this box";
        case UPD_ERR_BOX_ERROR: return withBoxWords("the box reported an error instead of its prompt");
        case UPD_ERR_BOX_STOP: return withBoxWords("the box stopped the transfer");
        default: return "the system reported: " + systemMessage(code);
    }
}

std::string imageProblemInWords(ImageProblem problem, const char* path) {
    const std::string name = path != nullptr ? path : "";
    switch (problem) {
        case ImageProblem::None: return {};
        case ImageProblem::NoName: return "no image named: the image comes last, after the options";
        case ImageProblem::CannotOpen: {
            std::error_code error;
            const std::filesystem::file_status status = std::filesystem::status(name, error);
            if (status.type() == std::filesystem::file_type::not_found) return name + " does not exist";
            if (status.type() == std::filesystem::file_type::directory) return name + " is a directory, not an image";
            if (status.type() != std::filesystem::file_type::regular && !error)
                return name + " is not a regular file";
            return name + " cannot be read (no permission?)";
        }
        case ImageProblem::Empty: return name + " is empty";
        case ImageProblem::TooShort: return name + " is too short to be an image";
        case ImageProblem::TooLarge: return name + " is too large to be an image";
        case ImageProblem::LengthTooLong:
            return name + " is shorter than its length field says: cut short in copying or downloading?";
        case ImageProblem::BadLayout: return name + " is no padded image: its length field does not fit its size";
        case ImageProblem::SumWrong: return name + " is damaged: its byte sum does not match its contents";
        case ImageProblem::ReadFailed: return name + " could not be read to its end";
    }
    return {};
}

void rememberBoxWords(std::string_view line) { keptBoxWords.assign(line.substr(0, kBoxWordsLimit)); }

void explainStatus(std::uint32_t code) { sayWhy(statusInWords(code)); }

void explainImageProblem(ImageProblem problem, const char* path) { sayWhy(imageProblemInWords(problem, path)); }

void explainCannotCreate(const char* fileName, std::uint32_t code) {
    std::error_code error;
    const std::filesystem::path where = std::filesystem::absolute(fileName, error);
    sayWhy((error ? std::string(fileName) : where.string()) + " could not be created (" + systemMessage(code) +
           "): run the program in a folder you may write to");
}

void explainPayloadTooLarge(std::uint32_t payload, std::uint32_t limit) {
    sayWhy("the image is too large for this box: its payload is " + std::to_string(payload) +
           " bytes, the box takes at most " + std::to_string(limit));
}

void explainBoxLine() {
    if (!keptBoxWords.empty()) sayWhy("the box said: \"" + keptBoxWords + "\"");
}

void explainSilentFailure(const char* what, std::uint32_t code) {
    const std::string cause = statusInWords(code);
    sayWhy(std::string(what) + (cause.empty() ? "" : ": " + cause));
}

void explainPowerCycle() {
    sayWhy("the box is left in a failed transfer: switch it off and on before the next try");
}

void hintAtHelp() {
    if (errorsReachAPerson()) std::fputs("Try update --help for the options.\n", stderr);
}

void askAgainForYesOrNo() {
    if (!outputReachesAPerson()) return;
    std::fputs("Please answer y (or just Enter) to update another box, n to end: ", stdout);
    std::fflush(stdout);
}

void boxBusyFromNowOn() {
    // Built once: the signal path only writes it.
    static const std::string farewell =
        "\nWhy: the update was interrupted in the middle: switch the box off and on before the next try\n";
    if (errorsReachAPerson()) platform::sayOnSignal(farewell.c_str());
}

void boxDone() { platform::sayOnSignal(nullptr); }

ShownWait::ShownWait() {
    if (waitDepth++ > 0) return;
    waitStart = platform::millis();
    lastDrawn = waitStart;
    shownSeconds = 0;
}

ShownWait::~ShownWait() {
    if (--waitDepth > 0) return;
    if (shown == Shown::Seconds) eraseSignsOfLife();
}

std::uint32_t shownWaitCapMs(std::uint32_t capMs) {
    if (waitDepth == 0 || !outputReachesAPerson()) return capMs;
    return std::min(capMs, kRedrawMs);
}

void tickShownWait() {
    if (waitDepth == 0 || shown == Shown::AccessLine || !outputReachesAPerson()) return;
    const std::uint32_t now = platform::millis();
    if (now - lastDrawn < kRedrawMs) return;
    const std::uint32_t seconds = (now - waitStart) / 1000;
    if (seconds == 0 || seconds == shownSeconds) return;
    lastDrawn = now;
    shownSeconds = seconds;
    drawSeconds(" (" + std::to_string(seconds) + " s)");
}

void showAccessAttempt(int attempt, int attempts, bool lineHungUp) {
    if (!outputReachesAPerson()) return;
    if (shown == Shown::Seconds) eraseSignsOfLife();
    // Kept within 80 columns: a wrapped line cannot be rewritten in place.
    const std::string text = std::string(lineHungUp ? "the line hung up" : "no answer from the box") + " (attempt " +
                             std::to_string(attempt) + " of " + std::to_string(attempts) + ")" +
                             (lineHungUp ? " \u2014 check cable, adapter, box power" :
                                           " \u2014 switched on, cable plugged in?");
    std::fputc('\r', stdout);
    std::fputs(text.c_str(), stdout);
    if (shownLength > text.size() && shown == Shown::AccessLine) writeRepeated(' ', shownLength - text.size());
    std::fputc('\r', stdout);
    std::fflush(stdout);
    shown = Shown::AccessLine;
    shownLength = std::max(shownLength, text.size());
}

void eraseSignsOfLife() {
    if (shown == Shown::Nothing) return;
    if (shown == Shown::AccessLine) {
        std::fputc('\r', stdout);
        writeRepeated(' ', shownLength);
        std::fputc('\r', stdout);
    } else {
        writeRepeated(' ', shownLength);
        writeRepeated('\b', shownLength);
    }
    std::fflush(stdout);
    shown = Shown::Nothing;
    shownLength = 0;
}
