// What a person at the terminal is told beyond the program's fixed messages:
// why a run failed and what to do next, and that a long wait is still alive.
// Scripts read the fixed messages from pipes and files; nothing of this ever
// reaches one. Explanations go to standard error, signs of life to standard
// output, each only when that stream is a terminal.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "image/image_check.h"

// Whether the stream reaches a person rather than a pipe or a file.
bool errorsReachAPerson();
bool outputReachesAPerson();
bool inputComesFromAPerson();

// The plain words, without the stream or the terminal check: what the tests read.
std::string statusInWords(std::uint32_t code);
std::string imageProblemInWords(ImageProblem problem, const char* path);

// The box's own line (its error or STOP text), kept for the explanation that
// follows a number. Cut to 999 characters.
void rememberBoxWords(std::string_view line);

// One line "Why: ..." on standard error, on a terminal only.
void explainStatus(std::uint32_t code);
void explainImageProblem(ImageProblem problem, const char* path);
void explainCannotCreate(const char* fileName, std::uint32_t code);
// After the fixed size text, which names one boot loader version for every box.
void explainPayloadTooLarge(std::uint32_t payload, std::uint32_t limit);
void explainBoxLine();  // "the box said: ..." after a form that shows no text
void explainSilentFailure(const char* what, std::uint32_t code);
// The box is left in its failed transfer: it must be switched off and on.
void explainPowerCycle();
// After an invalid option that looks like a request for help.
void hintAtHelp();
// A loop prompt's answer that was neither yes nor no.
void askAgainForYesOrNo();

// While a transfer runs, a signal that ends the program says that the box
// must be switched off and on (on a terminal). Ended by a completed update.
void boxBusyFromNowOn();
void boxDone();

// Signs of life during a wait without a limit: the seconds waited so far,
// after whatever the line shows, erased before anything else is written. The
// first of nested waits counts; the others join it.
class ShownWait {
public:
    ShownWait();
    ~ShownWait();
    ShownWait(const ShownWait&) = delete;
    ShownWait& operator=(const ShownWait&) = delete;
};
// How long a waiting call may block before it redraws; kWaitForever when
// nothing is shown.
std::uint32_t shownWaitCapMs(std::uint32_t capMs);
// Redraws the seconds, at most a few times a second.
void tickShownWait();

// The access handshake's line, rewritten in place: which attempt runs.
void showAccessAttempt(int attempt, int attempts, bool lineHungUp);
// Erases whatever sign of life is on the line.
void eraseSignsOfLife();
