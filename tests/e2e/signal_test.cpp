// Ctrl-C and kill in every phase of a run against the box emulator: the
// program must die of the signal (so that a calling shell or script stops
// too), put the port's line settings back, leave the port free, and never
// claim success.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <termios.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <sstream>

#include "e2e/box_session.h"

namespace {

using namespace std::chrono_literals;

// Generous: the machine may be shared with other builds and tests.
constexpr auto kPhaseLimit = 60s;

std::string targetOf(const std::string& link) {
    char buffer[PATH_MAX];
    const ssize_t n = readlink(link.c_str(), buffer, sizeof buffer - 1);
    return n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : std::string();
}

// A duplicate of boxsim's own descriptor of the pty's slave. Opening the
// slave by its name would count as the program opening the line, and
// boxsim's descriptor keeps the settings (and the exclusive flag) that the
// program leaves behind, as a real port keeps them for its next user.
class BorrowedSlave {
public:
    BorrowedSlave(pid_t owner, const std::string& slavePath) {
        const std::string fdDir = "/proc/" + std::to_string(owner) + "/fd";
        std::error_code error;
        for (const auto& entry : std::filesystem::directory_iterator(fdDir, error)) {
            if (targetOf(entry.path().string()) != slavePath) continue;
            const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, owner, 0));
            if (pidfd < 0) return;
            fd_ = static_cast<int>(syscall(SYS_pidfd_getfd, pidfd, std::stoi(entry.path().filename().string()), 0));
            close(pidfd);
            return;
        }
    }
    ~BorrowedSlave() {
        if (fd_ >= 0) close(fd_);
    }
    BorrowedSlave(const BorrowedSlave&) = delete;
    BorrowedSlave& operator=(const BorrowedSlave&) = delete;

    int fd() const { return fd_; }

private:
    int fd_ = -1;
};

std::string describe(const termios& t) {
    std::ostringstream text;
    text << std::hex << "iflag " << t.c_iflag << " oflag " << t.c_oflag << " cflag " << t.c_cflag << " lflag "
         << t.c_lflag << std::dec << " ispeed " << cfgetispeed(&t) << " ospeed " << cfgetospeed(&t) << " cc";
    for (const cc_t c : t.c_cc) text << ' ' << static_cast<int>(c);
    return text.str();
}

std::string settingsOf(int fd) {
    termios t{};
    if (tcgetattr(fd, &t) != 0) return std::string("tcgetattr failed: ") + std::strerror(errno);
    return describe(t);
}

bool exclusive(int fd) {
    int flag = 0;
    return ioctl(fd, TIOCGEXCL, &flag) == 0 && flag != 0;
}

// Counts the opens and closes of the slave by anyone but boxsim, which opened
// it before the watch began.
class OpenCloseWatch {
public:
    explicit OpenCloseWatch(const std::string& path) {
        fd_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        if (fd_ >= 0) inotify_add_watch(fd_, path.c_str(), IN_OPEN | IN_CLOSE);
    }
    ~OpenCloseWatch() {
        if (fd_ >= 0) close(fd_);
    }
    OpenCloseWatch(const OpenCloseWatch&) = delete;
    OpenCloseWatch& operator=(const OpenCloseWatch&) = delete;

    void take(int& opens, int& closes) const {
        alignas(inotify_event) char buffer[4096];
        ssize_t n;
        while ((n = read(fd_, buffer, sizeof buffer)) > 0) {
            for (ssize_t at = 0; at < n;) {
                inotify_event event{};
                std::memcpy(&event, buffer + at, sizeof event);
                if (event.mask & IN_OPEN) ++opens;
                if (event.mask & (IN_CLOSE_WRITE | IN_CLOSE_NOWRITE)) ++closes;
                at += static_cast<ssize_t>(sizeof(inotify_event) + event.len);
            }
        }
    }

private:
    int fd_ = -1;
};

// The settings notes of the dialogue log, in order.
std::vector<std::string> settingsNotes(const std::string& log) {
    std::vector<std::string> notes;
    std::istringstream lines(log);
    for (std::string line; std::getline(lines, line);) {
        const auto at = line.find("PC line settings: ");
        if (at != std::string::npos) notes.push_back(line.substr(at));
    }
    return notes;
}

int countOf(const std::string& text, const std::string& part) {
    int count = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
    return count;
}

struct Phase {
    const char* name;
    std::vector<std::string> boxsimArgs;
    std::vector<std::string> updateOptions;  // before the image name
    bool fullSpeed = true;
    std::size_t payloadBytes = 20000;
    std::string outputMark;  // the program's standard output shows it has reached the phase
    std::string logMark;     // and then boxsim's dialogue log, if not empty
    std::string boxState;    // where boxsim's box was when it was stopped
    bool loop = false;       // one box done, the program waits at the loop prompt
};

const char kBanner[] = "successfully finished";

std::vector<Phase> phases() {
    return {
        {"access wait, silent box", {"--silent"}, {}, true, 20000, "OK!\n\n\n", "", "waiting for the keyword"},
        {"speed change for the slow keyword", {"--silent", "--slow-keyword"}, {"-9"}, true, 20000, "OK!\n\n\n",
         "PC line settings: 9600 baud", "waiting for the keyword"},
        {"menu wait, the menu never comes", {"--menu-delay-ms", "600000"}, {}, true, 20000, " accessed!\n", "",
         "answering"},
        {"transfer at the line's real pace", {}, {}, false, 400000, "Download file...", "announcement:",
         "downloading"},
        // The box must have the whole image before the signal: what the pty
        // still holds when the program dies never reaches it.
        {"programming wait", {"--programming-ms", "600000"}, {}, true, 20000, "Programming the flash memory...",
         "byte sum 0x", "downloading"},
        {"loop prompt, input open and empty", {}, {"-l"}, true, 20000, "Update another box (y/n)? [y]\n", "",
         "the program has not opened the line", true},
    };
}

void interruptIn(const Phase& phase, int signalNumber) {
    SCOPED_TRACE(std::string(phase.name) + ", signal " + strsignal(signalNumber));
    test_support::TempDirectory dir;
    const std::string link = dir.file("com1");
    const std::string log = dir.file("dialogue.log");
    const std::string imagePath = dir.file("image.pad");
    test_support::writeWholeFile(imagePath, e2e::paddedImage(e2e::samplePayload(phase.payloadBytes), 7, 0x4000C));

    std::vector<std::string> boxsimArgs = {BOXSIM_PROGRAM, "--link", link, "--log", log, "--image-out",
                                           dir.file("flashed.bin"), "--bootloader", "4.12", "--timeout", "300",
                                           "--boxes", phase.loop ? "2" : "1"};
    if (phase.fullSpeed) boxsimArgs.push_back("--full-speed");
    boxsimArgs.insert(boxsimArgs.end(), phase.boxsimArgs.begin(), phase.boxsimArgs.end());
    test_support::Background boxsim(boxsimArgs);
    ASSERT_TRUE(test_support::waitForPath(link, 10s));
    const std::string slave = targetOf(link);
    BorrowedSlave line(boxsim.pid(), slave);
    ASSERT_GE(line.fd(), 0) << "cannot borrow boxsim's descriptor of " << slave << ": " << std::strerror(errno);
    const std::string before = settingsOf(line.fd());
    OpenCloseWatch watch(slave);

    test_support::ProcessOptions options;
    options.closeInput = false;  // the loop prompt must wait for an answer that never comes
    options.workingDirectory = dir.path();
    options.environment = {{"UPDATE_COM1", link},
                           {"UPDATE_COM2", dir.file("missing-com2")},
                           {"UPDATE_COM3", dir.file("missing-com3")},
                           {"UPDATE_COM4", dir.file("missing-com4")}};
    std::vector<std::string> updateArgs = {UPDATE_PROGRAM};
    updateArgs.insert(updateArgs.end(), phase.updateOptions.begin(), phase.updateOptions.end());
    updateArgs.push_back(imagePath);
    test_support::Background update(updateArgs, options);

    const bool reached = update.waitForOutput(phase.outputMark, kPhaseLimit) &&
                         (phase.logMark.empty() || test_support::waitForFileText(log, phase.logMark, kPhaseLimit));
    const std::string settingsDuringPhase = settingsOf(line.fd());
    update.signal(signalNumber);
    const test_support::ProcessResult result = update.wait(kPhaseLimit);
    ASSERT_TRUE(reached) << "the phase never came; output so far:\n" << result.out << result.err;

    EXPECT_FALSE(result.timedOut);
    EXPECT_EQ(result.signal, signalNumber) << "exit code " << result.exitCode << "\n" << result.out << result.err;
    EXPECT_EQ(result.exitCode, -1);
    EXPECT_EQ(countOf(result.out, kBanner), phase.loop ? 1 : 0) << result.out;

    if (!phase.loop) {
        EXPECT_NE(settingsDuringPhase, before) << "the program had not set the line up yet";
    }
    EXPECT_EQ(settingsOf(line.fd()), before) << "line settings not restored";
    EXPECT_FALSE(exclusive(line.fd())) << "the port is left exclusive: only root could open it again";
    int opens = 0;
    int closes = 0;
    watch.take(opens, closes);
    EXPECT_GE(opens, 1);
    EXPECT_EQ(opens, closes) << "the port was left open";

    boxsim.signal(SIGTERM);
    const test_support::ProcessResult box = boxsim.wait(20s);
    EXPECT_NE(box.out.find("stopped by a signal: box " + std::string(phase.loop ? "2" : "1") + ": " + phase.boxState),
              std::string::npos)
        << box.out << box.err;
    const std::string dialogue = test_support::readWholeFile(log);
    if (phase.logMark.rfind("PC line settings", 0) == 0) {
        // The signal came while the speed of the mark was set: the next
        // change the line saw was the restore itself.
        const auto notes = settingsNotes(dialogue);
        auto mark = std::find_if(notes.rbegin(), notes.rend(),
                                 [&](const std::string& note) { return note.rfind(phase.logMark, 0) == 0; });
        ASSERT_NE(mark, notes.rend()) << dialogue;
        ASSERT_NE(mark, notes.rbegin()) << "no change after the mark:\n" << dialogue;
        EXPECT_NE(std::prev(mark)->find("not configured"), std::string::npos) << dialogue;
    }
}

class InterruptedRun : public ::testing::TestWithParam<int> {};

TEST_P(InterruptedRun, DiesOfTheSignalWithTheLineRestoredAndThePortFreeInEveryPhase) {
    for (const Phase& phase : phases()) interruptIn(phase, GetParam());
}

INSTANTIATE_TEST_SUITE_P(Signals, InterruptedRun, ::testing::Values(SIGINT, SIGTERM),
                         [](const ::testing::TestParamInfo<int>& info) {
                             return std::string(info.param == SIGINT ? "SIGINT" : "SIGTERM");
                         });

}  // namespace
