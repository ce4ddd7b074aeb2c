#include "boxsim_options.h"

#include <charconv>
#include <cstdlib>
#include <functional>
#include <map>

#include "outcome.h"

namespace boxsim {

namespace {

template <typename T>
bool parseNumber(const std::string& text, T& out, int base = 10) {
    const char* begin = text.data();
    const char* end = begin + text.size();
    if (base == 16 && text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) begin += 2;
    const auto [ptr, ec] = std::from_chars(begin, end, out, base);
    return ec == std::errc() && ptr == end && begin != end;
}

// boxsim counts its time-out in whole microseconds; "inf", "nan" or 1e300
// would not fit.
constexpr double kLongestTimeoutS = 1e9;

bool parseSeconds(const std::string& text, double& out) {
    char* end = nullptr;
    out = std::strtod(text.c_str(), &end);
    return !text.empty() && end == text.c_str() + text.size() && out > 0 && out <= kLongestTimeoutS;
}

std::vector<std::string> splitList(const std::string& text) {
    std::vector<std::string> items;
    std::size_t start = 0;
    for (;;) {
        const std::size_t comma = text.find(',', start);
        items.push_back(text.substr(start, comma - start));
        if (comma == std::string::npos) return items;
        start = comma + 1;
    }
}

}  // namespace

ParseResult parseOptions(const std::vector<std::string>& args) {
    ParseResult result;
    Options& o = result.options;
    boxmodel::Scenario& s = o.scenario;
    std::optional<std::string> error;
    auto fail = [&](std::string text) {
        if (!error) error = std::move(text);
    };

    using Flag = std::function<void()>;
    using Valued = std::function<void(const std::string&)>;
    auto number = [&](auto& field) {
        return Valued([&field, &fail](const std::string& v) {
            if (!parseNumber(v, field)) fail("not a number: " + v);
        });
    };
    const std::map<std::string, Flag> flags{
        {"--help", [&] { o.help = true; }},
        {"-h", [&] { o.help = true; }},
        {"--full-speed", [&] { o.fullSpeed = true; }},
        {"--slow-keyword", [&] { s.keywordBaud = 9600; }},
        {"--in-bootloader", [&] { s.inBootloader = true; }},
        {"--irdeto", [&] { s.irdeto = true; }},
        {"--no-irdeto", [&] { s.irdeto = false; }},
        {"--silent", [&] { s.answerOnKeyword = 0; }},
        {"--split-prompts", [&] { s.splitPrompts = true; }},
        {"--noise", [&] { s.noise = true; }},
        {"--nul-noise", [&] { s.nulNoise = true; }},
        {"--hyperboot-split", [&] { s.hyperbootSplit = true; }},
    };
    const std::map<std::string, Valued> valued{
        {"--link", [&](const std::string& v) { o.linkPath = v; }},
        {"--log", [&](const std::string& v) { o.logPath = v; }},
        {"--replay", [&](const std::string& v) { o.replayPath = v; }},
        {"--image-out", [&](const std::string& v) { o.imageOutPath = v; }},
        {"--frame-out", [&](const std::string& v) { o.frameOutPath = v; }},
        {"--boxes", number(o.boxes)},
        {"--swap-ms", number(o.swapMs)},
        {"--expect",
         [&](const std::string& v) {
             o.expect = splitList(v);
             for (const auto& e : o.expect)
                 if (!boxmodel::isOutcomeName(e)) fail("unknown outcome: " + e);
         }},
        {"--timeout", [&](const std::string& v) {
             if (!parseSeconds(v, o.timeoutS)) fail("not a time in seconds: " + v);
         }},
        {"--bootloader", [&](const std::string& v) { s.version = v; }},
        {"--banner", [&](const std::string& v) { s.banner = v; }},
        {"--keyword-baud", number(s.keywordBaud)},
        {"--switch-on-ms", [&](const std::string& v) {
             number(s.switchOnMs)(v);
             s.offAtStart = true;
         }},
        {"--echo", [&](const std::string& v) {
             if (v.find_first_not_of(".xw*") != std::string::npos) fail("echo pattern takes only . x w *: " + v);
             s.echoPattern = v;
         }},
        {"--answer-after", number(s.answerOnKeyword)},
        {"--reply-delay-ms", number(s.replyDelayMs)},
        {"--echo-delay-ms", number(s.echoDelayMs)},
        {"--menu-delay-ms", number(s.menuDelayMs)},
        {"--menu-switch-ms", number(s.menuSwitchMs)},
        {"--key-reply-ms", number(s.keyReplyMs)},
        {"--version-padding", number(s.versionPadding)},
        {"--error-at", [&](const std::string& v) {
             const auto prompt = boxmodel::parsePrompt(v);
             if (!prompt) fail("--error-at takes a prompt's name (choice, file, finished, ...): " + v);
             else s.errorAt = *prompt;
         }},
        {"--error-text", [&](const std::string& v) { s.errorText = v; }},
        {"--split-gap-ms", number(s.splitGapMs)},
        {"--hangup-at", [&](const std::string& v) {
             const auto step = boxmodel::parseStep(v);
             if (!step) fail("unknown step: " + v);
             else s.hangUpAt = *step;
         }},
        {"--fault", [&](const std::string& v) {
             const auto fault = boxmodel::parseTransferFault(v);
             if (!fault) fail("unknown transfer fault: " + v);
             else s.transferFault = *fault;
         }},
        {"--fault-at", number(s.faultAtByte)},
        {"--fault-text", [&](const std::string& v) { s.faultText = v; }},
        {"--block-bytes", number(s.blockBytes)},
        {"--sector-bytes", number(s.sectorBytes)},
        {"--erase-ms", number(s.eraseMs)},
        {"--write-ms", number(s.writeMs)},
        {"--programming-ms", number(s.programmingMs)},
        {"--record-pause-ms", number(s.recordPauseMs)},
        {"--clock-tolerance", number(s.clockToleranceS)},
        {"--hyper-start-ms", number(s.hyperStartMs)},
        {"--hyperboot-answer-from", number(s.hyperbootAnswerFrom)},
        {"--fault-during", [&](const std::string& v) {
             if (v != "hyperpad" && v != "image") fail("--fault-during takes hyperpad or image: " + v);
             s.faultInImage = v == "image";
         }},
        {"--image-id", [&](const std::string& v) {
             std::uint32_t id = 0;
             if (!parseNumber(v, id, 16)) fail("not a hexadecimal image id: " + v);
             else s.imageId = id;
         }},
    };

    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string name = args[i];
        if (name == "--") {
            o.program.assign(args.begin() + static_cast<std::ptrdiff_t>(i) + 1, args.end());
            if (o.program.empty()) fail("-- needs the program to start");
            break;
        }
        std::optional<std::string> value;
        if (const auto eq = name.find('='); name.starts_with("--") && eq != std::string::npos) {
            value = name.substr(eq + 1);
            name.resize(eq);
        }
        if (const auto flag = flags.find(name); flag != flags.end()) {
            if (value) fail(name + " takes no value");
            flag->second();
            continue;
        }
        const auto option = valued.find(name);
        if (option == valued.end()) {
            fail("unknown option: " + name);
            continue;
        }
        if (!value) {
            if (i + 1 >= args.size()) {
                fail(name + " needs a value");
                continue;
            }
            value = args[++i];
        }
        option->second(*value);
    }
    if (!error && !o.program.empty() && o.replayPath.empty()) error = "a program after -- is started only by --replay";
    // A replay that starts the program itself can publish its line anywhere.
    if (!error && !o.help && o.linkPath.empty() && o.program.empty()) error = "--link PATH is required";
    if (!error && o.boxes == 0) error = "--boxes must be at least 1";
    result.error = error;
    return result;
}

const char* helpText() {
    return R"(boxsim - a set-top box on a pseudo-terminal, for rehearsing and testing updates

Usage: boxsim --link PATH [options]
       boxsim --replay TRACE [--link PATH] [options] -- PROGRAM [ARGS...]

boxsim plays the box at the far end of the serial cable: its boot loader wakes
up on the keyword, shows its version and menu, and takes a satellite request or
an image like the real one, at the real speed of the line. It publishes the line
as a symbolic link at PATH; point the program at it, for example:

  boxsim --bootloader 4.12 --link /tmp/com1 &
  UPDATE_COM1=/tmp/com1 update -s orb

When the box is done, boxsim prints one line per box on standard output and
exits with status 0 if every box ended as expected (--expect), 1 if not or if
the time ran out, 2 on a wrong command line or a system error.

The line
  --link PATH            where to publish the line (a symlink to the pty's slave,
                         replaced in one step). Required.
  --full-speed           carry bytes at once instead of at 10 bits per byte
  --log FILE             write the dialogue, both ways, with time stamps
  --replay TRACE         play the box of a trace that update --trace recorded:
                         wait for what the PC sent at each step, answer with
                         what the box said, after the recorded pause; the box
                         options below are not used. Exits 1 with one line
                         saying where when the PC departs from the recording,
                         2 when the trace is bad (with its line number).
                         With "-- PROGRAM ARGS..." at the end boxsim starts
                         the program itself, its UPDATE_COM1 to UPDATE_COM4
                         all pointed at the line (--link is then optional: a
                         temporary path is used), and the summary compares
                         its standard output, standard error and exit code
                         with the recording too; the first difference is
                         named and boxsim exits 1. Without a program the
                         summary says that these were not compared
  --image-out FILE       write the image a box has flashed (box 2 on: FILE.2, ...)
  --frame-out FILE       write what a box received after its download key: the
                         compressed frame, the packed stream, the dated records
                         and image (box 2 on: FILE.2, ...)
  --boxes N              serve N boxes one after another on the same path: a
                         fresh box once the program has closed the line after
                         an update or a satellite request; after a hang-up a
                         fresh pty is published there (cable plugged back in)
  --swap-ms MS           between two boxes the bench stands empty for MS: the
                         box just served is taken away, nothing answers what
                         the program sends, then the next box is put on
                         (default 0: the next box, or the same one left on,
                         answers at once)
  --expect LIST          what each box must end with, comma-separated (the last
                         one stands for the remaining boxes); default: flashed,
                         stopped, satellite or released. Outcomes:
                           flashed      whole image taken, checks passed, "finished!"
                           stopped      transfer ended by the box's "STOP"
                           satellite[:K] satellite update requested (key 5, 6, 8)
                           released     left the boot loader with the key "1"
                           refused[:K]  a menu key the box does not offer
                           aborted      the box showed the error it was told to
                           rejected     the box found the PC's data wrong
                           stalled      the box stopped reading (--fault stop-reading)
                           hungup       the box hung up
                           none         nothing decisive happened
  --timeout SECONDS      give up after this long (default 600)

The box
  --bootloader X.Y       version it reports (default 4.12). Any text goes: 5.0
                         is a version no program supports; 1.x boxes talk at
                         38400 baud, all others at 115200. Downloads are
                         modelled for 1.4 to 1.9 (see below) and 2.0 to 4.99
                         (2.0 to 4.1: key "3", packed
                         image, or "7", compressed frame of type 2; 4.2 to 4.99:
                         key "7", frame of type 4, 5 or 6 with the image id;
                         4.11 to 4.13: key "2", dated download); other boxes
                         refuse download keys.
  --banner TEXT          text before the version line
  --in-bootloader        already in its boot loader (the program's -b): takes no
                         keyword, shows its version when switched on
  --switch-on-ms MS      when it is switched on, counted from the program
                         opening the line (default 1000); without
                         --in-bootloader it then waits for the keyword (by
                         default it is on from the start)
  --keyword-baud N       speed its wake-up detector listens at (default: the
                         opening speed)
  --slow-keyword         the same as --keyword-baud 9600 (the program's -9)
  --irdeto               demands the echo game before its version line: echoes
                         the digits, answers after the bytes 0x5B 0xE7. By
                         default 4.11 to 4.13 play it when the PC starts it right
                         after the keyword (or soon after switch-on) and answer
                         without it otherwise; other boxes know no echo game.
  --no-irdeto            knows no echo game (ignores the digits)
  --echo PATTERN         per digit of the echo game: '.' echo, 'x' no echo,
                         'w' a wrong digit; past the end it echoes; a final '*'
                         repeats the last letter for ever
  --answer-after N       answers only the Nth keyword it hears
  --silent               never answers
  --reply-delay-ms MS    keyword to version line (default 100; 1200 when the
                         keyword comes at 9600)
  --echo-delay-ms, --menu-delay-ms, --key-reply-ms MS   other answer times
  --menu-switch-ms MS    after showing "choice!:" it listens at 115200 (1.4: at
                         38400) this much later (default 300)

Faults of the dialogue
  --version-padding N    N blanks between "Bootloader Version" and the version
  --error-at PROMPT      "ERRORgaga: TEXT\n" in place of choice, file or finished
                         (generation 1: also now, hyperboot, programmed)
  --error-text TEXT      (default "simulated failure")
  --split-prompts        prompts and the version marker go out in three pieces
  --split-gap-ms MS      pause between the pieces (default 30)
  --noise                junk before every reply
  --nul-noise            NUL bytes before the version line and after progress
                         dots
  --hangup-at STEP       drop the line at keyword, version, menu, key, file,
                         timestamp, announcement, image, sum or finished

Faults of a transfer, at a byte counted from the first one after "file:"
  --fault KIND           error ("ERROR: TEXT"), stop ("STOP"), question ("?"),
                         F, U, warnings (":;:;:;"), flash-id (the flash id
                         text), stop-reading (takes no more data), hangup
  --fault-at BYTES       (default 4096)
  --fault-text TEXT      the text after "ERROR: "

Reception and programming
  --block-bytes N        a "." per N bytes received (default 1024)
  --sector-bytes N       "e" and "p" per N bytes, refusing data while erasing
                         and writing (default 65536)
  --erase-ms MS, --write-ms MS   (default 40 each)
  --programming-ms MS    last byte to "finished!" (default 2000)

Dated boot loaders (4.11 to 4.13): key "2", time stamp, announcement, image, sum
  --record-pause-ms MS   least pause after an image's 0x11 leading record (900)
  --clock-tolerance S    how far the time stamp may be off this machine's local
                         time (default 5; negative: not checked)
  --image-id HEX         the image id the announcement must carry (default: any)

Generation 4 boot loaders (4.2 to 4.99 but 4.11 to 4.13): key "7", a frame of
type 4 (5 for 4.6, 4.7, 4.14; 6 for 4.99) whose id must be the box's version
(major * 65536 + minor), or the --image-id given

Generation 1 boot loaders (1.4 to 1.9) and the hyper bootloader
  1.4 and 1.5 take hyper.pad stored after the key "2" (1.4 asks "now?" and wants
  "y"); 1.6 to 1.9 take it packed after "3". hyper.pad must hold the hyper
  bootloader the program embeds, with mode byte 1 on 1.7 and 1.9, 0 on the
  others. After "finished!" the hyper bootloader answers a blank with
  "hyperboot\n" at 115200 baud, takes the mode byte and the packed image and
  says "finished.\n" --programming-ms later. Extra steps for --hangup-at: now,
  hyperboot, mode, programmed; extra prompts for --error-at: now, hyperboot,
  programmed (its "finished.\n").
  --hyper-start-ms MS    "finished!" to the hyper bootloader listening (100)
  --hyperboot-answer-from N  answer blanks from the Nth on (default 1; 0: never,
                         the program then sends blanks until it is stopped)
  --hyperboot-split      the prompt's first five letters answer one blank, the
                         rest the next; only the blank after that gets it whole
  --fault-during WHAT    hyperpad (default) or image: which of the two
                         transfers --fault strikes
)";
}

}  // namespace boxsim
