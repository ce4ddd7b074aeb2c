// The box model from switch-on to the menu's common keys: waking, the echo
// game, the version line, the speeds it listens at, and the dialogue faults.
#include <gtest/gtest.h>

#include "bench.h"

using boxmodel::Outcome;
using boxmodel::Scenario;
using boxmodel::Step;
using boxtest::Bench;

namespace {

Scenario withVersion(const char* version) {
    Scenario s;
    s.version = version;
    return s;
}

// The PC's keys reach the box only after the pause and speed switch the
// program makes once it has seen the prompt.
void pcSwitchesForMenu(Bench& bench) {
    bench.waitMs(300);
    bench.pcBaud = 115200;
    bench.waitMs(500);
}

}  // namespace

TEST(BoxWakeUp, KeywordAtOpeningSpeedBringsVersionLineThenMenu) {
    for (const char* keyword : {" quorcom", " quornew"}) {
        Scenario s = withVersion("4.12");
        s.irdeto = false;
        Bench b(s);
        b.send(keyword);
        b.waitMs(50);
        EXPECT_EQ(b.takeHeard(), "") << "answers only after its reply delay";
        b.waitMs(1000);
        const std::string heard = b.takeHeard();
        EXPECT_NE(heard.find("Bootloader Version 4.12\r\n"), std::string::npos) << heard;
        EXPECT_LT(heard.find("Bootloader Version"), heard.find("choice!:"));
        EXPECT_EQ(heard.substr(heard.size() - 8), "choice!:");
        EXPECT_STREQ(b.box.stateName(), "at the menu");
    }
}

TEST(BoxWakeUp, HearsTheKeywordOnlyAtTheSpeedItListensAt) {
    // A 1.x box listens at 38400: the keyword at 115200 is garbled.
    Bench wrong(withVersion("1.7"), {}, 115200);
    wrong.send(" quorcom");
    wrong.waitMs(3000);
    EXPECT_EQ(wrong.takeHeard(), "");

    Bench right(withVersion("1.7"), {}, 38400);
    right.send(" quorcom");
    right.waitMs(3000);
    EXPECT_NE(right.takeHeard().find("Bootloader Version 1.7\r\n"), std::string::npos);
    for (const auto& t : right.transmissions) EXPECT_EQ(t.baud, 38400u);
}

TEST(BoxWakeUp, SlowKeywordScenarioListensAt9600AndAnswersAfterThePcSwitchedBack) {
    Scenario s = withVersion("4.20");
    s.keywordBaud = 9600;
    Bench bench(s, {}, 115200);
    bench.send(" quorcom");
    bench.waitMs(2000);
    EXPECT_EQ(bench.takeHeard(), "") << "a keyword at the opening speed is not heard by a 9600 detector";

    bench.pcBaud = 9600;
    bench.send(" quorcom");
    bench.waitMs(300 + 500);  // the program's pause and speed switch
    bench.pcBaud = 115200;
    EXPECT_EQ(bench.takeHeard(), "") << "nothing may come while the PC is still at 9600";
    bench.waitMs(1000);
    EXPECT_NE(bench.takeHeard().find("Bootloader Version 4.20\r\n"), std::string::npos);
}

TEST(BoxWakeUp, AnswersOnlyTheNthKeywordAndASilentBoxNever) {
    Scenario s = withVersion("4.20");
    s.answerOnKeyword = 3;
    Bench bench(s);
    for (int i = 0; i < 2; ++i) {
        bench.send(" quorcom");
        bench.waitMs(2000);
        EXPECT_EQ(bench.takeHeard(), "") << "keyword " << i + 1;
    }
    bench.send(" quorcom");
    bench.waitMs(2000);
    EXPECT_NE(bench.takeHeard().find("Bootloader Version"), std::string::npos);

    s.answerOnKeyword = 0;
    Bench silent(s);
    for (int i = 0; i < 20; ++i) silent.send(" quorcom");
    silent.waitMs(20000);
    EXPECT_EQ(silent.takeHeard(), "");
    EXPECT_FALSE(silent.box.decided());
}

TEST(BoxWakeUp, BoxInItsBootLoaderShowsItsVersionWhenSwitchedOn) {
    Scenario s = withVersion("2.2");
    s.inBootloader = true;
    s.switchOnMs = 2500;
    Bench bench(s);
    bench.waitMs(2499);
    EXPECT_EQ(bench.takeHeard(), "");
    bench.waitMs(500);
    EXPECT_NE(bench.takeHeard().find("Bootloader Version 2.2\r\n"), std::string::npos);
}

TEST(BoxEchoGame, EchoesDigitsAndAnswersAfterTheClosingBytes) {
    Scenario s = withVersion("4.12");
    s.irdeto = true;
    Bench bench(s);
    bench.send(" quorcom");
    bench.waitMs(5000);
    EXPECT_EQ(bench.takeHeard(), "") << "waits for the echo game";
    for (const char digit : std::string("0123")) {
        bench.send(std::string(1, digit));
        bench.waitMs(100);
        EXPECT_EQ(bench.takeHeard(), std::string(1, digit));
    }
    bench.send("\x5B\xE7");
    bench.waitMs(500);
    EXPECT_NE(bench.takeHeard().find("Bootloader Version 4.12\r\n"), std::string::npos);
}

TEST(BoxEchoGame, DatedBoxPlaysOnlyWhenThePcStartsTheGameInTime) {
    // Straight after the keyword, as the program does in irdeto mode.
    Bench started(withVersion("4.11"));
    started.send(" quorcom0");
    started.waitMs(1000);
    EXPECT_EQ(started.takeHeard(), "0");
    started.send("\x5B\xE7");
    started.waitMs(500);
    EXPECT_NE(started.takeHeard().find("Bootloader Version 4.11"), std::string::npos);

    // No game (a satellite request knows no image id): the version comes anyway.
    Bench plain(withVersion("4.11"));
    plain.send(" quorcom");
    plain.waitMs(150);
    EXPECT_NE(plain.takeHeard().find("Bootloader Version 4.11"), std::string::npos);

    // A box that knows no game ignores the digits.
    Scenario never = withVersion("4.11");
    never.irdeto = false;
    Bench ignoring(never);
    ignoring.send(" quorcom0");
    ignoring.waitMs(150);
    const std::string heard = ignoring.takeHeard();
    EXPECT_TRUE(heard.starts_with("\r\n\r\nSet-top box")) << "no echo before the banner";
    EXPECT_NE(heard.find("Bootloader Version 4.11"), std::string::npos);

    // Already switched on: the program's digits before switch-on go unheard,
    // the next one after it starts the game.
    Scenario on = withVersion("4.13");
    on.inBootloader = true;
    on.switchOnMs = 1000;
    Bench jumper(on);
    for (int i = 0; i < 4; ++i) {
        jumper.send(std::string(1, static_cast<char>('0' + i)));
        jumper.waitMs(500);
    }
    EXPECT_EQ(jumper.takeHeard(), "23");
    EXPECT_STREQ(jumper.box.stateName(), "playing the echo game");
}

TEST(BoxEchoGame, PatternLeavesOutOrFalsifiesEchoes) {
    Scenario s = withVersion("4.12");
    s.irdeto = true;
    s.echoPattern = "..xw";
    Bench bench(s);
    bench.send(" quorcom");
    std::string echoes;
    for (const char digit : std::string("012345")) {
        bench.send(std::string(1, digit));
        bench.waitMs(100);
        echoes += bench.takeHeard() + "|";
    }
    EXPECT_EQ(echoes, "0|1||8|4|5|");

    s.echoPattern = "x*";
    Bench mute(s);
    mute.send(" quorcom");
    mute.send("0123456789");
    mute.waitMs(100);
    EXPECT_EQ(mute.takeHeard(), "");
}

TEST(BoxMenu, SatelliteKeyAt115200AfterTheSwitchIsTakenOnA38400Box) {
    Bench bench(withVersion("1.7"), {}, 38400);
    bench.send(" quorcom");
    bench.waitMs(1000);
    ASSERT_NE(bench.takeHeard().find("choice!:"), std::string::npos);
    pcSwitchesForMenu(bench);
    bench.send("6");
    ASSERT_TRUE(bench.box.decided());
    EXPECT_EQ(bench.box.outcome().code(), "satellite:6");
    EXPECT_EQ(bench.box.outcome().detail, "satellite update requested with key 6 at 115200 baud");
}

TEST(BoxMenu, KeyAtTheOpeningSpeedAfterTheMenuIsGarbledAndIgnored) {
    Bench bench(withVersion("1.7"), {}, 38400);
    bench.send(" quorcom");
    bench.waitMs(1000);
    bench.send("5");  // the program forgot to switch to 115200
    EXPECT_FALSE(bench.box.decided());
    pcSwitchesForMenu(bench);
    bench.send("8");
    EXPECT_EQ(bench.box.outcome().code(), "satellite:8");
}

TEST(BoxMenu, ReleaseSequenceReachesBothMenuSpeeds) {
    // The program sends "1" at 115200 and again at 38400: a 1.4 box stays at
    // 38400 and takes the second, every other box takes the first.
    for (const char* version : {"1.4", "4.20", "5.0"}) {
        const bool slow = std::string(version) == "1.4";
        Bench bench(withVersion(version), {}, slow ? 38400 : 115200);
        bench.send(" quorcom");
        bench.waitMs(1000);
        pcSwitchesForMenu(bench);
        bench.send("1");
        EXPECT_EQ(bench.box.decided(), !slow) << version;
        bench.waitMs(300);
        bench.pcBaud = 38400;
        bench.send("1");
        EXPECT_EQ(bench.box.outcome().code(), "released") << version;
        EXPECT_NE(bench.box.outcome().detail.find(slow ? "38400" : "115200"), std::string::npos) << version;
    }
}

TEST(BoxMenu, DownloadKeyTheBoxDoesNotOfferIsRefusedWithAnErrorLine) {
    Bench bench(withVersion("5.0"));
    bench.send(" quorcom");
    bench.waitMs(1000);
    bench.takeHeard();
    pcSwitchesForMenu(bench);
    bench.send("2");
    EXPECT_EQ(bench.box.outcome().code(), "refused:2");
    EXPECT_EQ(bench.takeHeard(), "\r\nERRORgaga: choice 2 not available\n");
}

TEST(BoxFaults, ErrorLineInPlaceOfThePrompt) {
    Scenario s = withVersion("4.20");
    s.errorAt = boxmodel::Prompt::Choice;
    s.errorText = "no flash";
    Bench bench(s);
    bench.send(" quorcom");
    bench.waitMs(1000);
    const std::string heard = bench.takeHeard();
    EXPECT_EQ(heard.find("choice!:"), std::string::npos);
    EXPECT_EQ(heard.substr(heard.size() - 20), "ERRORgaga: no flash\n");
    EXPECT_EQ(bench.box.outcome().kind, Outcome::Kind::Aborted);
}

TEST(BoxFaults, SplitPromptsTearTheMarkerAndThePromptOverSeveralTransmissions) {
    Scenario plain = withVersion("4.20");
    Scenario split = plain;
    split.splitPrompts = true;
    Bench a(plain);
    Bench b(split);
    for (Bench* bench : {&a, &b}) {
        bench->send(" quorcom");
        bench->waitMs(1000);
    }
    EXPECT_EQ(a.takeHeard(), b.takeHeard());
    EXPECT_EQ(a.transmissions.size(), 2u);  // version line, menu
    EXPECT_EQ(b.transmissions.size(), 6u);
    bool promptTorn = false;
    for (const auto& t : b.transmissions) {
        const std::string text(t.bytes.begin(), t.bytes.end());
        EXPECT_EQ(text.find("Bootloader Version"), std::string::npos);
        promptTorn = promptTorn || text == "e!:";
        EXPECT_EQ(text.find("choice!:"), std::string::npos);
    }
    EXPECT_TRUE(promptTorn);
}

TEST(BoxFaults, NoiseAndNulBytesComeBeforeTheVersionLineNotInsideIt) {
    Scenario s = withVersion("4.20");
    s.noise = true;
    s.nulNoise = true;
    Bench bench(s);
    bench.send(" quorcom");
    bench.waitMs(1000);
    const std::string heard = bench.takeHeard();
    const auto nul = heard.find('\0');
    ASSERT_NE(nul, std::string::npos);
    EXPECT_LT(nul, heard.find("Bootloader Version 4.20\r\n"));
    EXPECT_EQ(heard.find('\0', heard.find("Bootloader")), std::string::npos) << "no NUL after the version line";
    EXPECT_NE(heard.find('\x1b', heard.find("4.20\r\n")), std::string::npos) << "junk before the menu";
}

TEST(BoxFaults, VersionLinePaddingMakesTheLineLongerThanTheProgramsBuffer) {
    Scenario s = withVersion("4.20");
    s.versionPadding = 10240;
    Bench bench(s);
    bench.send(" quorcom");
    bench.waitMs(3000);
    const std::string heard = bench.takeHeard();
    const auto marker = heard.find("Bootloader Version");
    const auto end = heard.find("\r\n", marker);
    EXPECT_GT(end - marker, 10240u);
    EXPECT_EQ(heard.substr(end - 4, 6), "4.20\r\n");
}

TEST(BoxFaults, HangsUpAtTheNamedStepOnceItsOutputIsOut) {
    Scenario s = withVersion("4.20");
    s.hangUpAt = Step::Version;
    Bench bench(s);
    bench.send(" quorcom");
    bench.waitMs(1000);
    EXPECT_TRUE(bench.box.hungUp(bench.nowUs));
    EXPECT_EQ(bench.box.outcome().code(), "hungup");
    const std::string heard = bench.takeHeard();
    EXPECT_NE(heard.find("Bootloader Version 4.20"), std::string::npos);
    EXPECT_EQ(heard.find("choice"), std::string::npos);

    s.hangUpAt = Step::Keyword;
    Bench early(s);
    early.send(" quorcom");
    EXPECT_TRUE(early.box.hungUp(early.nowUs));
    early.waitMs(1000);
    EXPECT_EQ(early.takeHeard(), "");
}

TEST(BoxTraits, SpeedsAndFamiliesFollowTheVersion) {
    using boxmodel::Family;
    const struct {
        const char* version;
        Family family;
        std::uint32_t opening, menu;
    } rows[] = {
        {"1.4", Family::Generation1, 38400, 38400},   {"1.9", Family::Generation1, 38400, 115200},
        {"2.0", Family::Generation2, 115200, 115200}, {"4.1", Family::Generation2, 115200, 115200},
        {"4.10", Family::Generation4, 115200, 115200}, {"4.11", Family::Dated, 115200, 115200},
        {"4.13", Family::Dated, 115200, 115200},      {"4.99", Family::Generation4, 115200, 115200},
        {"5.0", Family::Unknown, 115200, 115200},     {"x.y", Family::Unknown, 115200, 115200},
    };
    for (const auto& row : rows) {
        const auto traits = boxmodel::traitsOf(row.version);
        EXPECT_EQ(traits.family, row.family) << row.version;
        EXPECT_EQ(traits.openingBaud, row.opening) << row.version;
        EXPECT_EQ(traits.menuBaud, row.menu) << row.version;
    }
}
