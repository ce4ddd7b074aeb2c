// The box model taking arbitrary bytes from the PC, at speeds and pauses the
// input chooses, for boot loaders of every family and with the scenario's
// faults: it never faults itself, never acts for ever at one instant, and
// falls quiet once the PC does.
#include <cstddef>
#include <cstdint>
#include <string>

#include "box.h"
#include "fuzz_support.h"

namespace {

constexpr const char* kVersions[] = {"4.12", "4.11", "4.13", "1.4", "1.8", "2.1", "4.1", "4.5",
                                     "4.99", "5.0",  "x.y",  " 4.12", "4.12abc", "-1.-7", "99999999999.1", ""};
constexpr std::uint32_t kSpeeds[] = {9600, 38400, 115200};

// Input bytes that are no data but a pause or a change of speed; kLiteral
// sends the byte after it as it is.
constexpr std::uint8_t kLiteral = 0xFC;
constexpr std::uint8_t kSpeed = 0xFD;
constexpr std::uint8_t kPause = 0xFE;
constexpr std::uint64_t kPauseUnitUs = 20'000;

// More timer events than this at one instant: the model spins.
constexpr int kMostEventsPerInstant = 100'000;
// Once the PC is done, how long the box may still act on its own.
constexpr std::uint64_t kQuietAfterUs = 600'000'000;

boxmodel::Scenario scenarioOf(fuzz::InputReader& input) {
    boxmodel::Scenario s;
    s.version = kVersions[input.byte() % 16];
    const std::uint8_t flags = input.byte();
    s.splitPrompts = (flags & 0x01) != 0;
    s.noise = (flags & 0x02) != 0;
    s.nulNoise = (flags & 0x04) != 0;
    s.inBootloader = (flags & 0x08) != 0;
    if ((flags & 0x30) == 0x10) s.irdeto = true;
    if ((flags & 0x30) == 0x20) s.irdeto = false;
    if ((flags & 0x40) != 0) {
        s.blockBytes = 16;
        s.sectorBytes = 64;
    }
    if ((flags & 0x80) != 0) s.clockToleranceS = -1;
    const std::uint8_t faults = input.byte();
    s.transferFault = static_cast<boxmodel::TransferFault>(faults % 10);
    s.hangUpAt = static_cast<boxmodel::Step>((faults >> 4) % 11);
    const std::uint8_t more = input.byte();
    s.errorAt = static_cast<boxmodel::Prompt>(more % 4);
    s.faultAtByte = (more >> 2) * 8u;
    s.echoPattern = std::string("..x.w*").substr(0, more % 7);
    s.answerOnKeyword = (more & 0x80) != 0 ? 2 : 1;
    if ((more & 0x40) != 0) s.keywordBaud = 9600;
    return s;
}

class Driver {
public:
    explicit Driver(boxmodel::Box& box) : box_(box) {}

    // Runs the box's own actions up to targetUs, then sets the clock there.
    void runUntil(std::uint64_t targetUs) {
        int atThisInstant = 0;
        std::uint64_t instant = nowUs_;
        for (std::uint64_t next = box_.nextEventUs(); next != simline::kNoEvent && next <= targetUs;
             next = box_.nextEventUs()) {
            nowUs_ = std::max(nowUs_, next);
            if (nowUs_ != instant) {
                instant = nowUs_;
                atThisInstant = 0;
            }
            FUZZ_REQUIRE(++atThisInstant <= kMostEventsPerInstant);
            box_.onTimer(nowUs_);
            collect();
        }
        nowUs_ = std::max(nowUs_, targetUs);
    }

    // false once the box takes nothing any more.
    bool send(std::uint8_t byte, std::uint32_t baud) {
        while (!box_.acceptsInput(nowUs_)) {
            const std::uint64_t next = box_.nextEventUs();
            if (next == simline::kNoEvent) return false;  // stopped reading for good
            runUntil(std::max(next, nowUs_));
        }
        if (box_.hungUp(nowUs_)) return false;
        runUntil(nowUs_ + simline::byteTimeUs(baud));
        box_.receive(byte, baud, nowUs_);
        collect();
        return true;
    }

    std::uint64_t nowUs() const { return nowUs_; }

private:
    void collect() {
        for (const auto& transmission : box_.takeOutbox()) {
            FUZZ_REQUIRE(transmission.baud != 0);
            sentBytes_ += transmission.bytes.size();
        }
        box_.takeNotes();
    }
    boxmodel::Box& box_;
    std::uint64_t nowUs_ = 0;
    std::uint64_t sentBytes_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::InputReader input(data, size);
    const boxmodel::Scenario scenario = scenarioOf(input);
    const bool pcClock = (input.byte() & 1) != 0;
    boxmodel::Box box(scenario, pcClock ? boxmodel::PcClock([] { return platform::LocalTime{2026, 12, 7, 10, 0, 0}; })
                                        : boxmodel::PcClock());
    Driver driver(box);
    std::uint32_t baud = box.traits().openingBaud;

    while (!input.empty()) {
        std::uint8_t byte = input.byte();
        if (byte == kPause) {
            driver.runUntil(driver.nowUs() + input.byte() * kPauseUnitUs);
            continue;
        }
        if (byte == kSpeed) {
            baud = kSpeeds[input.byte() % 3];
            continue;
        }
        if (byte == kLiteral) byte = input.byte();
        if (!driver.send(byte, baud)) break;
    }

    driver.runUntil(driver.nowUs() + kQuietAfterUs);
    FUZZ_REQUIRE(box.nextEventUs() == simline::kNoEvent || box.hungUp(driver.nowUs()));
    if (!box.flashedImage().empty()) FUZZ_REQUIRE(box.outcome().kind == boxmodel::Outcome::Kind::Flashed);
    FUZZ_REQUIRE(box.stateName() != nullptr);
    FUZZ_REQUIRE(!box.outcome().code().empty());
    return 0;
}
