// waitFor and the version query over the simulated line, the box's replies
// chosen by the input: each call ends (within its limit, when it has one),
// stays inside its buffer, and claims only what the box really sent.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "control/access.h"
#include "platform/serial_ports.h"
#include "fuzz_support.h"
#include "common/status.h"
#include "serial/wait_for.h"

namespace {

// The texts the procedures wait for.
constexpr const char* kAwaited[] = {"choice!:", "file:", "finished!", "\n", "e"};
constexpr std::uint32_t kLimitsMs[] = {0, 1, 100, 1000, 15000};
constexpr std::uint32_t kSlackMs = 5;  // a millisecond past the limit, plus the calls' own cost

// Replies: pieces of [delay in 10 ms][length][bytes], sent one after the
// other; then the box may hang up.
void script(fuzz::InputReader& input, fuzz::AnsweringPeer& peer, bool mustEnd) {
    std::uint64_t at = 0;
    while (!input.empty()) {
        at += input.byte() * 10'000ull;
        const std::size_t length = input.byte();
        peer.pieces.push_back({false, at, input.text(length)});
    }
    // Without a limit only a hang-up ends a wait on a box that has gone quiet.
    if (mustEnd) peer.hangUpAtUs = at + 3'000'000;
}

bool contains(const std::string& haystack, const std::string& needle) {
    return haystack.find(needle) != std::string::npos;
}

// Whether some "Bootloader Version" line the box sent reads as this version.
bool sentVersion(const std::string& sent, const BootloaderVersion& version) {
    const std::string marker = "Bootloader Version";
    for (std::size_t at = sent.find(marker); at != std::string::npos; at = sent.find(marker, at + 1)) {
        const std::size_t start = at + marker.size();
        const std::size_t end = sent.find_first_of("\r\n", start);
        const std::string line = sent.substr(start, end == std::string::npos ? std::string::npos : end - start);
        int major = 0;
        int minor = 0;
        if (std::sscanf(line.c_str(), "%d.%d", &major, &minor) == 2 && major == version.major &&
            minor == version.minor)
            return true;
    }
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::silenceStandardOutput();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::InputReader input(data, size);
    const std::uint8_t choice = input.byte();
    const bool versionQuery = (choice & 0x80) != 0;
    const std::string awaited = kAwaited[choice % 5];
    const std::uint32_t limitMs = kLimitsMs[(choice >> 3) % 5];

    fuzz::AnsweringPeer peer;
    script(input, peer, limitMs == 0);
    simline::install(peer);
    platform::PortHandle port = platform::openPort(platform::defaultDeviceForComPort(1).c_str());
    FUZZ_REQUIRE(port != platform::kInvalidPort);
    FUZZ_REQUIRE(platform::configureLine(port, 115200, true));
    const std::uint32_t start = platform::millis();

    if (versionQuery) {
        BootloaderVersion version{-1, -1};
        const int result = queryBootloaderVersion(port, version, limitMs);
        if (result == 1) FUZZ_REQUIRE(sentVersion(peer.sent, version));
        else FUZZ_REQUIRE(version.major == -1 && version.minor == -1);
        if (result == 0 && platform::lastError() == UPD_ERR_BOX_ERROR)
            FUZZ_REQUIRE(contains(peer.sent, "Bootloader Version"));
    } else {
        const int result = waitFor(port, awaited.c_str(), limitMs);
        if (result == 1) FUZZ_REQUIRE(contains(peer.sent, awaited));
        // Without a limit nothing but the box's error line or a full reply
        // space keeps a text the box sent, zero bytes and all, from counting.
        const std::size_t text = peer.sent.find(awaited);
        const std::size_t marker = peer.sent.find("ERRORgaga:");
        if (limitMs == 0 && text != std::string::npos && peer.sent.size() < 10239 &&
            (marker == std::string::npos || text + awaited.size() <= marker + 10))
            FUZZ_REQUIRE(result == 1);
        if (result == 0 && platform::lastError() == UPD_ERR_BOX_ERROR) {
            // The error line counts once it is complete.
            const std::size_t marker = peer.sent.find("ERRORgaga:");
            FUZZ_REQUIRE(marker != std::string::npos);
            FUZZ_REQUIRE(peer.sent.find('\n', marker) != std::string::npos);
        }
    }
    if (limitMs != 0) FUZZ_REQUIRE(platform::millis() - start <= limitMs + kSlackMs);

    platform::closePort(port);
    simline::uninstall();
    return 0;
}
