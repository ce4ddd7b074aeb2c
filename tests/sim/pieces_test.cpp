// The small pure pieces of the model: garbling, time stamps, outcome names.
#include <gtest/gtest.h>

#include <set>

#include "line.h"
#include "outcome.h"
#include "scenario.h"
#include "time_stamp.h"

using namespace boxmodel;

TEST(Garble, NeverTheByteNeverAsciiAndTheSameEveryTime) {
    std::set<int> seen;
    for (int b = 0; b < 256; ++b) {
        const auto byte = static_cast<std::uint8_t>(b);
        const std::uint8_t g = simline::garble(byte, 38400, 115200);
        EXPECT_NE(g, byte);
        EXPECT_GE(g, 0x80);
        EXPECT_EQ(g, simline::garble(byte, 38400, 115200));
        seen.insert(g);
    }
    EXPECT_GT(seen.size(), 32u) << "garbled bytes should vary with the byte";
    EXPECT_NE(simline::garble('1', 115200, 38400), simline::garble('1', 9600, 38400));
}

TEST(TimeStamp, DecodesTheDatesTheProgramMustSend) {
    const std::uint8_t october1993[5] = {0xC0, 0x79, 0x12, 0x45, 0x00};
    const auto stamp = decodeTimeStamp(october1993);
    ASSERT_TRUE(stamp);
    EXPECT_EQ(stamp->mjd, 49273);
    EXPECT_EQ(describe(*stamp, {1993, 10, 1}), "1993-10-13 12:45:00");
    EXPECT_EQ(secondsAfter(*stamp, {1993, 10, 13}, 12, 44, 58), 2);

    const std::uint8_t june2002[5] = {0xCC, 0xD8, 0x14, 0x35, 0x09};
    EXPECT_EQ(describe(*decodeTimeStamp(june2002), {2002, 1, 1}), "2002-06-15 14:35:09");

    EXPECT_EQ(mjdOf({2002, 2, 28}) + 1, mjdOf({2002, 3, 1}));
    EXPECT_EQ(mjdOf({2000, 1, 1}), 51544);
}

TEST(TimeStamp, RejectsNonBcdAndOutOfRangeFields) {
    const std::uint8_t badNibble[5] = {0xC0, 0x79, 0x1A, 0x45, 0x00};
    const std::uint8_t hour24[5] = {0xC0, 0x79, 0x24, 0x00, 0x00};
    const std::uint8_t second60[5] = {0xC0, 0x79, 0x23, 0x59, 0x60};
    EXPECT_FALSE(decodeTimeStamp(badNibble));
    EXPECT_FALSE(decodeTimeStamp(hour24));
    EXPECT_FALSE(decodeTimeStamp(second60));
}

TEST(TimeStamp, ComparesAcrossMidnightAndTheDateWrap) {
    // 23:59:59 on 31 Dec against 00:00:01 the next day: 2 s apart.
    const std::int64_t newYear = mjdOf({2024, 1, 1}) % 65536;
    const BoxTimeStamp justAfter{static_cast<std::uint16_t>(newYear), 0, 0, 1};
    EXPECT_EQ(secondsAfter(justAfter, {2023, 12, 31}, 23, 59, 59), 2);
    // From 23 April 2038 on the 16-bit date has wrapped to small numbers.
    const std::int64_t wrapped = mjdOf({2038, 4, 24}) % 65536;
    EXPECT_LT(wrapped, 10);
    const BoxTimeStamp afterWrap{static_cast<std::uint16_t>(wrapped), 12, 0, 0};
    EXPECT_EQ(secondsAfter(afterWrap, {2038, 4, 24}, 11, 59, 0), 60);
    EXPECT_EQ(describe(afterWrap, {2038, 4, 1}), "2038-04-24 12:00:00");
}

TEST(OutcomeNames, CodesAndMatching) {
    Outcome o;
    o.kind = Outcome::Kind::Satellite;
    o.key = '6';
    EXPECT_EQ(o.code(), "satellite:6");
    EXPECT_TRUE(outcomeMatches(o, "satellite"));
    EXPECT_TRUE(outcomeMatches(o, "satellite:6"));
    EXPECT_FALSE(outcomeMatches(o, "satellite:5"));
    EXPECT_FALSE(outcomeMatches(o, "flashed"));
    EXPECT_TRUE(isGoodEnding(o));
    o.kind = Outcome::Kind::HungUp;
    EXPECT_EQ(o.code(), "hungup");
    EXPECT_FALSE(isGoodEnding(o));
    EXPECT_TRUE(isOutcomeName("refused:4"));
    EXPECT_FALSE(isOutcomeName("flashed:4"));
    EXPECT_FALSE(isOutcomeName("flash"));
}

TEST(ScenarioNames, StepsPromptsAndFaultsRoundTrip) {
    for (const char* name : {"keyword", "version", "menu", "key", "file", "timestamp", "announcement", "image", "sum",
                             "finished"})
        EXPECT_STREQ(stepName(*parseStep(name)), name);
    for (const char* name :
         {"error", "stop", "question", "F", "U", "warnings", "flash-id", "stop-reading", "hangup"})
        EXPECT_STREQ(transferFaultName(*parseTransferFault(name)), name);
    EXPECT_FALSE(parseStep("later"));
    EXPECT_FALSE(parsePrompt("now?"));
}
