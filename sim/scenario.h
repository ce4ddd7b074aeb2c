// The box a run meets: which boot loader it has, how it times its answers and
// which faults it shows. One plain record, filled by boxsim's command line or
// by a test; the box model reads it and never changes it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace boxmodel {

// The boot loader generations, each with its own dialogue after the menu.
enum class Family {
    Generation1,  // 1.x: loads the hyper bootloader
    Generation2,  // 2.0 to 4.1: packed or compressed image
    Generation4,  // 4.2 to 4.99 except the dated ones: compressed image
    Dated,        // 4.11 to 4.13: time stamp, announcement, image, byte sum
    Unknown,      // any other version (5.0, text that is no version)
};

struct BootloaderTraits {
    bool parsed = false;  // the version text reads as major.minor
    int major = 0;
    int minor = 0;
    Family family = Family::Unknown;
    std::uint32_t openingBaud = 115200;  // talks at this speed from switch-on
    std::uint32_t menuBaud = 115200;     // listens at this speed once the menu is up
    bool irdetoByDefault = false;        // plays the echo game if the PC starts it
};

// The traits of the boot loader that answers with this version text.
BootloaderTraits traitsOf(std::string_view versionText);
const char* familyName(Family family);

// Points of the dialogue where a fault can strike.
enum class Step {
    None,
    Keyword,       // the keyword has been recognised
    Version,       // the version line has gone out
    Menu,          // "choice!:" has gone out
    Key,           // a menu key has been taken
    File,          // "file:" has gone out
    TimeStamp,     // the time stamp has been taken
    Announcement,  // the announcement has been taken
    Image,         // the image has come in (the byte sum follows)
    Sum,           // the byte sum has been taken and checked
    Finished,      // "finished!" has gone out
    Now,           // "now?" has gone out (boot loader 1.4)
    Hyperboot,     // the hyper bootloader's prompt has gone out
    Mode,          // the hyper bootloader has taken the mode byte
    Programmed,    // the hyper bootloader's "finished.\n" has gone out
};
std::optional<Step> parseStep(std::string_view name);
const char* stepName(Step step);

// A prompt the box may replace by its error line.
enum class Prompt { None, Choice, File, Finished, Now, Hyperboot, Programmed };
std::optional<Prompt> parsePrompt(std::string_view name);
const char* promptName(Prompt prompt);

// What the box does to a transfer under way.
enum class TransferFault {
    None,
    Error,        // "ERROR:" and a text
    Stop,         // "STOP"
    Question,     // "?"
    F,            // "F"
    U,            // "U"
    Warnings,     // six warnings in a row, ":" and ";"
    FlashId,      // "Flash's manufacturer and/or device ids dont match!"
    StopReading,  // takes no more data, ever
    HangUp,       // drops the line
};
std::optional<TransferFault> parseTransferFault(std::string_view name);
const char* transferFaultName(TransferFault fault);

struct Scenario {
    // --- who the box is
    std::string version = "4.12";  // the text after "Bootloader Version "
    std::string banner = "\r\n\r\nSet-top box boot loader\r\n(c) 2002\r\n";  // text before the version line

    // --- waking up
    std::uint32_t keywordBaud = 0;   // speed of the wake-up detector; 0: the opening speed
    bool inBootloader = false;       // already in its boot loader: no keyword, shows its version at switch-on
    std::uint32_t switchOnMs = 1000; // with inBootloader (or offAtStart): when it is switched on
    bool offAtStart = false;         // without inBootloader: switched off until switchOnMs, then
                                     // waits for the keyword
    std::optional<bool> irdeto;      // true: demands the echo game before its version; false: knows no
                                     // echo game; unset: 4.11 to 4.13 play it when the PC starts it
                                     // before the version line is due, the others know none
    std::string echoPattern;         // per digit received: '.' echo, 'x' none, 'w' a wrong digit;
                                     // past the end: echo; a final '*' repeats the last letter for ever
    unsigned answerOnKeyword = 1;    // answers the Nth keyword it hears; 0: never (a silent box)
    std::uint32_t replyDelayMs = 0;  // keyword to version line; 0: 100 ms, or 1200 ms when the keyword
                                     // comes slower than the opening speed (the PC switches back first)
    std::uint32_t echoDelayMs = 2;
    std::uint32_t menuDelayMs = 20;      // version line to menu
    std::uint32_t menuSwitchMs = 300;    // menu shown to listening at the menu speed
    std::uint32_t keyReplyMs = 50;       // download key to "file:"

    // --- faults of the dialogue
    std::size_t versionPadding = 0;      // blanks between the marker and the version
    Prompt errorAt = Prompt::None;       // sends "ERRORgaga: <errorText>\n" in place of this prompt
    std::string errorText = "simulated failure";
    bool splitPrompts = false;           // prompts and the version line go out in pieces
    std::uint32_t splitGapMs = 30;
    bool noise = false;                  // junk before every reply
    bool nulNoise = false;               // NUL bytes before the version line and among progress characters
    Step hangUpAt = Step::None;
    std::uint32_t hangUpAfterMs = 0;     // with hangUpAt: the line drops this long after the step

    // --- faults of a transfer, counted in bytes received after "file:"
    TransferFault transferFault = TransferFault::None;
    std::uint64_t faultAtByte = 4096;
    std::string faultText = "simulated transfer failure";

    // --- reception and flash programming
    std::uint32_t blockBytes = 1024;     // a "." after each block
    std::uint32_t sectorBytes = 65536;   // "e" and "p" after each sector, input refused meanwhile
    std::uint32_t eraseMs = 40;
    std::uint32_t writeMs = 40;
    std::uint32_t programmingMs = 2000;  // whole image in to "finished!"

    // --- dated boot loaders
    std::uint32_t recordPauseMs = 900;   // least pause the PC must make after the leading record
    std::int32_t clockToleranceS = 5;    // time stamp against the PC's clock; negative: not checked
    std::optional<std::uint32_t> imageId;  // the id the announcement must carry; unset: any

    // --- generation 1 boot loaders and the hyper bootloader they start
    std::uint32_t hyperStartMs = 100;   // "finished!" to the hyper bootloader listening at 115200
    unsigned hyperbootAnswerFrom = 1;   // answers the Nth blank and every later one; 0: never
    bool hyperbootSplit = false;        // the prompt's first letters answer one blank, the rest the
                                        // next; the blank after that gets it whole
    std::size_t hyperbootSplitAt = 5;   // with hyperbootSplit: how many letters the first piece has
    bool inHyperBootloader = false;     // switched on running the hyper bootloader: no menu, waits for a
                                        // blank at 115200 (generation 1 boxes only)
    bool faultInImage = false;          // the transfer fault strikes the image sent through the hyper
                                        // bootloader instead of hyper.pad
};

// Scenario's effective values where 0 or unset means "as the boot loader does".
std::uint32_t keywordBaudOf(const Scenario& scenario, const BootloaderTraits& traits);
enum class EchoGame { Never, IfStarted, Demanded };
EchoGame echoGameOf(const Scenario& scenario, const BootloaderTraits& traits);
// How long a box that plays the echo game if started waits for the first digit
// before it shows its version anyway.
std::uint32_t echoWindowOf(const Scenario& scenario, const BootloaderTraits& traits, bool afterSwitchOn);
std::uint32_t replyDelayOf(const Scenario& scenario, const BootloaderTraits& traits);

}  // namespace boxmodel
