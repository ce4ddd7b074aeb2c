#include "e2e/box_session.h"

#include <cstdint>
#include <filesystem>
#include <future>
#include <regex>
#include <sstream>

namespace e2e {

BoxSession runSession(const TempDir& dir, const SessionOptions& options) {
    const std::string link = dir.file("com1");
    const std::string imageOut = dir.file("flashed.bin");
    const std::string log = dir.file("dialogue.log");

    std::vector<std::string> boxsimArgs = {BOXSIM_PROGRAM, "--link", link, "--log", log, "--image-out", imageOut};
    if (options.fullSpeed) boxsimArgs.push_back("--full-speed");
    boxsimArgs.insert(boxsimArgs.end(), options.boxsimArgs.begin(), options.boxsimArgs.end());
    for (const auto& [name, content] : options.files) writeWholeFile(dir.file(name), content);
    Background boxsim(boxsimArgs);

    BoxSession session;
    if (!waitForPath(link)) {
        session.boxsim = boxsim.wait(std::chrono::milliseconds{2000});
        return session;
    }

    ProcessOptions updateOptions = options.update;
    for (int n = 2; n <= 4; ++n) {
        updateOptions.environment.try_emplace("UPDATE_COM" + std::to_string(n), dir.file("missing-com" + std::to_string(n)));
    }
    updateOptions.environment.try_emplace("UPDATE_COM1", link);
    if (updateOptions.workingDirectory.empty()) updateOptions.workingDirectory = dir.path();

    std::vector<std::string> updateArgs = {UPDATE_PROGRAM};
    updateArgs.insert(updateArgs.end(), options.updateArgs.begin(), options.updateArgs.end());
    session.update = run(updateArgs, updateOptions);
    session.boxsim = boxsim.wait(std::chrono::milliseconds{10000});
    session.flashedImage = readWholeFile(imageOut);
    for (int box = 1;; ++box) {
        const std::string path = box == 1 ? imageOut : imageOut + "." + std::to_string(box);
        if (!std::filesystem::exists(path)) break;
        session.flashedImages.push_back(readWholeFile(path));
    }
    session.dialogueLog = readWholeFile(log);
    return session;
}

BoxSession runSession(const TempDir& dir, std::vector<std::string> boxsimArgs, std::vector<std::string> updateArgs) {
    SessionOptions options;
    options.boxsimArgs = std::move(boxsimArgs);
    options.updateArgs = std::move(updateArgs);
    return runSession(dir, options);
}

std::vector<BoxSession> runSessions(const std::vector<SessionOptions>& sessions) {
    std::vector<std::future<BoxSession>> running;
    for (const SessionOptions& options : sessions) {
        running.push_back(std::async(std::launch::async, [&options] {
            TempDir dir;
            return runSession(dir, options);
        }));
    }
    std::vector<BoxSession> results;
    for (auto& session : running) results.push_back(session.get());
    return results;
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
    auto bigEndian = [](std::uint32_t value) {
        return std::string{static_cast<char>(value >> 24), static_cast<char>(value >> 16),
                           static_cast<char>(value >> 8), static_cast<char>(value)};
    };
    std::uint32_t sum = 0;
    for (unsigned char byte : payload) sum += byte;
    std::string image = bigEndian(static_cast<std::uint32_t>(payload.size()));
    if (imageType >= 0) image.push_back(static_cast<char>(imageType));
    if (imageType >= 0 && imageId >= 0) image += bigEndian(static_cast<std::uint32_t>(imageId));
    return image + payload + bigEndian(sum);
}

std::string samplePayload(std::size_t size, unsigned seed) {
    std::string payload(size, '\0');
    std::uint32_t state = seed * 2654435761u + 1;
    for (std::size_t i = 0; i < size; ++i) {
        state = state * 1103515245u + 12345u;
        // About half the bytes zero, the rest spread over all values.
        payload[i] = (state >> 16) % 2 == 0 ? '\0' : static_cast<char>(state >> 24);
    }
    return payload;
}

}  // namespace e2e
