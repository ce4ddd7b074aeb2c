#include "e2e/box_session.h"

#include <sched.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <mutex>
#include <optional>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "support/image_bytes.h"
#include "support/payload.h"

namespace e2e {
namespace {

struct WineTarget {
    std::string wine;     // the wine command
    std::string program;  // update.exe
    std::string wineDir;  // where Wine's COM ports lead: vcom1 .. vcom4, vcom10

    std::string comLink(unsigned port) const { return wineDir + "/vcom" + std::to_string(port); }
};

std::string environmentValue(const char* name) {
    const char* value = std::getenv(name);
    return value == nullptr ? std::string() : value;
}

// True when every real serial device of this machine is /dev/null here, as
// inside wine-env.sh's mount namespace: Wine gives those devices to COM ports
// by itself, and /dev/ttyS0 is the machine's console.
bool serialDevicesHidden() {
    struct stat null {};
    if (stat("/dev/null", &null) != 0) return false;
    for (const auto& entry : std::filesystem::directory_iterator("/dev")) {
        const std::string name = entry.path().filename().string();
        if (!name.starts_with("ttyS") && !name.starts_with("ttyUSB") && !name.starts_with("ttyACM")) continue;
        struct stat device {};
        if (stat(entry.path().c_str(), &device) != 0 || device.st_rdev != null.st_rdev) return false;
    }
    return true;
}

std::string findInPath(const std::string& name) {
    std::string path = environmentValue("PATH");
    std::size_t start = 0;
    while (start <= path.size()) {
        std::size_t end = path.find(':', start);
        if (end == std::string::npos) end = path.size();
        const std::filesystem::path candidate = std::filesystem::path(path.substr(start, end - start)) / name;
        if (end > start && std::filesystem::exists(candidate)) return candidate.string();
        start = end + 1;
    }
    return {};
}

// Read once: every session of a test run goes the same way. Fails loudly when
// Wine was asked for but cannot be used safely.
const std::optional<WineTarget>& wineTarget() {
    static const std::optional<WineTarget> target = []() -> std::optional<WineTarget> {
        const std::string build = environmentValue("UPDATE_E2E_WINE");
        if (build.empty()) return std::nullopt;
        const std::string wineDir = environmentValue("UPDATE_WINE_DIR");
        if (environmentValue("UPDATE_WINE_GUARDED") != "1" || wineDir.empty() || !serialDevicesHidden()) {
            throw std::runtime_error("UPDATE_E2E_WINE is set outside scripts/windows/wine-env.sh; "
                                     "refusing to start Wine where it can reach the machine's serial ports");
        }
        WineTarget wine{findInPath("wine"), build + "/update/src/update.exe", wineDir};
        if (wine.wine.empty()) throw std::runtime_error("UPDATE_E2E_WINE is set but there is no wine command");
        if (!std::filesystem::exists(wine.program)) throw std::runtime_error("no " + wine.program);
        return wine;
    }();
    return target;
}

// The C runtime writes a Windows program's "\n" as "\r\n" (text mode); the
// inverse, so the texts compare with those of the POSIX build.
std::string withoutCarriageReturns(const std::string& text) {
    std::string result;
    result.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
        result.push_back(text[i]);
    }
    return result;
}

}  // namespace

bool underWine() { return wineTarget().has_value(); }

std::vector<std::string> updateCommand() {
    const auto& wine = wineTarget();
    if (wine) return {wine->wine, wine->program};
    return {UPDATE_PROGRAM};
}

BoxSession runSession(const test_support::TempDirectory& dir, const SessionOptions& options) {
    const auto& wine = wineTarget();
    // Wine's COM ports lead to fixed paths: sessions that a test runs side by
    // side take their turns there.
    static std::mutex wineComPorts;
    std::unique_lock<std::mutex> turn(wineComPorts, std::defer_lock);
    if (wine) turn.lock();
    // Under Wine the port is where the COM port leads; an old link there would
    // be taken for the new box's.
    const std::string link = wine ? wine->comLink(options.wineComPort) : dir.file("com1");
    if (wine) std::filesystem::remove(link);
    const std::string imageOut = dir.file("flashed.bin");
    const std::string log = dir.file("dialogue.log");

    std::vector<std::string> boxsimArgs = {BOXSIM_PROGRAM, "--link", link, "--log", log, "--image-out", imageOut};
    if (options.fullSpeed) boxsimArgs.push_back("--full-speed");
    boxsimArgs.insert(boxsimArgs.end(), options.boxsimArgs.begin(), options.boxsimArgs.end());
    for (const auto& [name, content] : options.files) test_support::writeWholeFile(dir.file(name), content);
    test_support::Background boxsim(boxsimArgs);

    BoxSession session;
    if (!test_support::waitForPath(link)) {
        session.boxsim = boxsim.wait(std::chrono::milliseconds{2000});
        return session;
    }

    test_support::ProcessOptions updateOptions = options.update;
    // Under Wine COM1 to COM4 already lead to the session's paths (or to none),
    // and a POSIX path means nothing to update.exe.
    if (!wine) {
        for (int n = 2; n <= 4; ++n) {
            updateOptions.environment.try_emplace("UPDATE_COM" + std::to_string(n),
                                                  dir.file("missing-com" + std::to_string(n)));
        }
        updateOptions.environment.try_emplace("UPDATE_COM1", link);
    }
    if (updateOptions.workingDirectory.empty()) updateOptions.workingDirectory = dir.path();

    std::vector<std::string> updateArgs = options.launcher;
    const std::vector<std::string> program = updateCommand();
    updateArgs.insert(updateArgs.end(), program.begin(), program.end());
    updateArgs.insert(updateArgs.end(), options.updateArgs.begin(), options.updateArgs.end());
    session.update = test_support::run(updateArgs, updateOptions);
    if (wine) {
        session.update.out = withoutCarriageReturns(session.update.out);
        session.update.err = withoutCarriageReturns(session.update.err);
    }
    session.boxsim = boxsim.wait(std::chrono::milliseconds{10000});
    session.flashedImage = test_support::readWholeFile(imageOut);
    for (int box = 1;; ++box) {
        const std::string path = box == 1 ? imageOut : imageOut + "." + std::to_string(box);
        if (!std::filesystem::exists(path)) break;
        session.flashedImages.push_back(test_support::readWholeFile(path));
    }
    session.dialogueLog = test_support::readWholeFile(log);
    return session;
}

BoxSession runSession(const test_support::TempDirectory& dir, std::vector<std::string> boxsimArgs, std::vector<std::string> updateArgs) {
    SessionOptions options;
    options.boxsimArgs = std::move(boxsimArgs);
    options.updateArgs = std::move(updateArgs);
    return runSession(dir, options);
}

std::vector<BoxSession> runSessions(const std::vector<SessionOptions>& sessions) {
    std::vector<std::future<BoxSession>> running;
    for (const SessionOptions& options : sessions) {
        running.push_back(std::async(std::launch::async, [&options] {
            test_support::TempDirectory dir;
            return runSession(dir, options);
        }));
    }
    std::vector<BoxSession> results;
    for (auto& session : running) results.push_back(session.get());
    return results;
}

void runConcurrently(const std::vector<std::function<void()>>& jobs, unsigned workers) {
    std::atomic<std::size_t> next{0};
    auto worker = [&] {
        for (std::size_t mine = next++; mine < jobs.size(); mine = next++) jobs[mine]();
    };
    std::vector<std::thread> threads;
    for (unsigned i = 1; i < workers; ++i) threads.emplace_back(worker);
    worker();
    for (std::thread& thread : threads) thread.join();
}

unsigned cores() {
#ifdef __linux__
    cpu_set_t allowed;
    if (sched_getaffinity(0, sizeof allowed, &allowed) == 0)
        return static_cast<unsigned>(std::max(1, CPU_COUNT(&allowed)));
#endif
    return std::max(1u, std::thread::hardware_concurrency());
}

std::vector<LoggedBytes> loggedBytes(const std::string& dialogueLog) {
    static const std::regex kLine(R"re(^\s*([0-9.]+)\s+(PC>box|box>PC)\s+([0-9]+)\s+"(.*)"(.*)$)re");
    std::vector<LoggedBytes> lines;
    std::istringstream in(dialogueLog);
    std::string line;
    std::smatch match;
    while (std::getline(in, line)) {
        if (!std::regex_match(line, match, kLine)) continue;
        lines.push_back({std::stod(match[1]), match[2] == "PC>box", static_cast<unsigned>(std::stoul(match[3])),
                         match[4]});
    }
    return lines;
}

std::vector<LoggedBytes> pcBytes(const std::string& dialogueLog) {
    std::vector<LoggedBytes> lines = loggedBytes(dialogueLog);
    std::erase_if(lines, [](const LoggedBytes& line) { return !line.fromPc; });
    return lines;
}

::testing::AssertionResult sameBytes(const std::string& actual, const std::string& expected) {
    if (actual == expected) return ::testing::AssertionSuccess();
    std::size_t at = 0;
    while (at < actual.size() && at < expected.size() && actual[at] == expected[at]) ++at;
    return ::testing::AssertionFailure() << actual.size() << " bytes instead of " << expected.size()
                                         << ", first difference at offset " << at;
}

std::string paddedImage(const std::string& payload, int imageType, long long imageId) {
    test_support::Bytes extension;
    if (imageType >= 0 && imageId >= 0)
        extension = test_support::typeAndId(static_cast<std::uint8_t>(imageType), static_cast<std::uint32_t>(imageId));
    else if (imageType >= 0)
        extension = {static_cast<std::uint8_t>(imageType)};
    const auto image = test_support::paddedImage(test_support::Bytes(payload.begin(), payload.end()), extension);
    return std::string(image.begin(), image.end());
}

std::string samplePayload(std::size_t size, unsigned seed) {
    const auto payload = test_support::samplePayload(size, seed);
    return std::string(payload.begin(), payload.end());
}

std::string successBanner() {
    return "\n\t\t OOO   K   K  !!!\n"
           "\t\tO   O  K  K   !!!\n"
           "\t\tO   O  K K     !\n"
           "\t\tO   O  K  K     \n"
           "\t\t OOO   K   K   *\n\n"
           "Download on com port 1 successfully finished.\n\n";
}

}  // namespace e2e
