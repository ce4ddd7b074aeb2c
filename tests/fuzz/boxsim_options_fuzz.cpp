// boxsim's command line and the box model's small parsers (version text, the
// dated boot loader's time stamp) over arbitrary text: no fault, and what
// they accept is something boxsim can run with.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "boxsim_options.h"
#include "fuzz_support.h"
#include "outcome.h"
#include "scenario.h"
#include "time_stamp.h"

namespace {

// Arguments are separated by NUL bytes, as they arrive in argv.
std::vector<std::string> splitArguments(const std::uint8_t* data, std::size_t size) {
    std::vector<std::string> args(1);
    for (std::size_t i = 0; i < size; ++i) {
        if (data[i] == '\0') args.emplace_back();
        else args.back().push_back(static_cast<char>(data[i]));
    }
    return args;
}

void checkTimeStamp(const std::uint8_t* data, std::size_t size) {
    if (size < 5) return;
    const auto stamp = boxmodel::decodeTimeStamp(data);
    if (!stamp) return;
    FUZZ_REQUIRE(stamp->hour >= 0 && stamp->hour <= 23);
    FUZZ_REQUIRE(stamp->minute >= 0 && stamp->minute <= 59);
    FUZZ_REQUIRE(stamp->second >= 0 && stamp->second <= 59);
    constexpr boxmodel::CivilDate kReferences[] = {{1858, 11, 17}, {2026, 12, 7}, {2037, 2, 28}, {2100, 3, 1}};
    for (const auto& reference : kReferences) {
        FUZZ_REQUIRE(boxmodel::describe(*stamp, reference).size() == 19);
        const std::int64_t off = boxmodel::secondsAfter(*stamp, reference, 10, 0, 0);
        FUZZ_REQUIRE(off >= -65536LL * 86400 / 2 && off <= 65536LL * 86400 / 2);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::vector<std::string> args = splitArguments(data, size);
    const boxsim::ParseResult result = boxsim::parseOptions(args);
    if (!result.error) {
        const boxsim::Options& o = result.options;
        // Only a replay that starts the program itself may leave the line unnamed.
        FUZZ_REQUIRE(o.help || !o.linkPath.empty() || (!o.program.empty() && !o.replayPath.empty()));
        FUZZ_REQUIRE(o.boxes >= 1);
        // boxsim turns the time-out into whole microseconds.
        FUZZ_REQUIRE(std::isfinite(o.timeoutS) && o.timeoutS > 0 && o.timeoutS * 1e6 < 18e18);
        FUZZ_REQUIRE(o.scenario.echoPattern.find_first_not_of(".xw*") == std::string::npos);
        for (const auto& expected : o.expect) FUZZ_REQUIRE(boxmodel::isOutcomeName(expected));
    }
    for (const auto& arg : args) {
        const boxmodel::BootloaderTraits traits = boxmodel::traitsOf(arg);
        FUZZ_REQUIRE(traits.parsed || traits.family == boxmodel::Family::Unknown);
        FUZZ_REQUIRE(boxmodel::familyName(traits.family) != nullptr);
        if (const auto step = boxmodel::parseStep(arg)) FUZZ_REQUIRE(arg == boxmodel::stepName(*step));
        if (const auto fault = boxmodel::parseTransferFault(arg))
            FUZZ_REQUIRE(arg == boxmodel::transferFaultName(*fault));
    }
    checkTimeStamp(data, size);
    return 0;
}
