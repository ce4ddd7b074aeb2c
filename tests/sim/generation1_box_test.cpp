// Boot loaders 1.4 to 1.9 and the hyper bootloader they start, with the PC's
// side played by the test: the menu dialogue of each version, hyper.pad
// checked against the embedded hyper bootloader and the version's mode byte,
// the hyper bootloader's prompt loop, mode byte and packed image, and faults.
#include <gtest/gtest.h>

#include <string>

#include "bench.h"
#include "generation1_bootloader.h"
#include "image/hyper_pad.h"
#include "packed_decoder.h"
#include "support/image_bytes.h"
#include "support/payload.h"

using boxmodel::Outcome;
using boxmodel::Prompt;
using boxmodel::Scenario;
using boxmodel::Step;
using boxmodel::TransferFault;
using boxtest::Bench;
using Bytes = std::vector<std::uint8_t>;

namespace {

// A padded image, with the one-byte extension (the mode byte) or without.
Bytes padded(const Bytes& payload, bool withMode, std::uint8_t mode = 0) {
    return test_support::paddedImage(payload, withMode ? Bytes{mode} : Bytes{});
}

Bytes samplePayload(std::size_t size) { return test_support::patternBytes(size, 37); }

Bytes hyperPad(std::uint8_t mode) {
    const Bytes payload(hyperBootloaderPayload, hyperBootloaderPayload + kHyperBootloaderSize);
    return padded(payload, mode != 0, mode);
}

// Packs through the code as the box knows it, last byte filled with ones.
Bytes pack(const Bytes& bytes, char fill = '1') {
    std::string bits;
    for (const auto b : bytes) bits += sim::kPackedCodeBits[b];
    while (bits.size() % 8 != 0) bits += fill;
    Bytes out;
    for (std::size_t i = 0; i < bits.size(); i += 8) out.push_back(static_cast<std::uint8_t>(std::stoul(bits.substr(i, 8), nullptr, 2)));
    return out;
}

Scenario box(const char* version) {
    Scenario s;
    s.version = version;
    s.programmingMs = 300;
    return s;
}

bool minorIs(const Scenario& s, char minor) { return s.version.size() == 3 && s.version[2] == minor; }

// The PC's side up to "file:", as each version's procedure plays it.
void reachFilePrompt(Bench& bench) {
    const auto dialogue = boxmodel::generation1DialogueOf(bench.box.traits().minor);
    bench.pcBaud = 38400;
    bench.send(" quorcom");
    bench.waitMs(1000);
    ASSERT_NE(bench.takeHeard().find("choice!:"), std::string::npos);
    bench.waitMs(300);
    if (!dialogue.asksNow) bench.pcBaud = 115200;  // 1.4 stays at 38400
    bench.send(std::string(1, dialogue.downloadKey));
    bench.waitMs(200);
    if (dialogue.asksNow) {
        ASSERT_NE(bench.takeHeard().find("now?"), std::string::npos);
        bench.send("y");
        bench.waitMs(200);
    }
    ASSERT_NE(bench.takeHeard().find("file:"), std::string::npos);
}

// hyper.pad as the version wants it, then the wait for "finished!".
std::string sendHyperPad(Bench& bench, const Bytes& file, bool packed) {
    bench.send(packed ? pack(file) : file);
    bench.waitMs(2000);
    return bench.takeHeard();
}

// The program's prompt loop: a blank, half a second for the prompt, again.
// Returns how many blanks it took (0: no prompt within `most`).
int callUpPrompt(Bench& bench, int most = 8) {
    bench.waitMs(300);
    bench.pcBaud = 115200;
    for (int blank = 1; blank <= most; ++blank) {
        bench.send(" ");
        bench.waitMs(500);
        if (bench.takeHeard().find("hyperboot\n") != std::string::npos) return blank;
    }
    return 0;
}

// A whole update of a box through to "finished.\n".
void updateThrough(Bench& bench, const Bytes& image) {
    const auto dialogue = boxmodel::generation1DialogueOf(bench.box.traits().minor);
    reachFilePrompt(bench);
    const std::string afterPad = sendHyperPad(bench, hyperPad(dialogue.modeByte), dialogue.packedHyperPad);
    ASSERT_NE(afterPad.find("finished!"), std::string::npos) << afterPad;
    ASSERT_EQ(callUpPrompt(bench), 1);
    bench.send(std::string(1, static_cast<char>(dialogue.modeByte)));
    bench.send(pack(image));
    bench.waitMs(1000);
}

// The PC's whole side without looking at the box's answers, for boxes that
// give up somewhere on the way; steps after that go unheard.
void playWholeUpdate(Bench& bench, const Bytes& image) {
    const auto dialogue = boxmodel::generation1DialogueOf(bench.box.traits().minor);
    bench.pcBaud = 38400;
    bench.send(" quorcom");
    bench.waitMs(1600);
    if (!dialogue.asksNow) bench.pcBaud = 115200;
    bench.send(std::string(1, dialogue.downloadKey));
    bench.waitMs(200);
    if (dialogue.asksNow) {
        bench.send("y");
        bench.waitMs(200);
    }
    sendHyperPad(bench, hyperPad(dialogue.modeByte), dialogue.packedHyperPad);
    callUpPrompt(bench, 1);
    bench.send(std::string(1, static_cast<char>(dialogue.modeByte)));
    bench.send(pack(image));
    bench.waitMs(1000);
}

std::string everythingSaid(const Bench& bench) {
    std::string all;
    for (const auto& t : bench.transmissions) all.append(t.bytes.begin(), t.bytes.end());
    return all;
}

}  // namespace

TEST(Generation1, EveryVersionTakesHyperPadAndFlashesThePaddedImageThroughTheHyperBootloader) {
    for (const char* version : {"1.4", "1.5", "1.6", "1.7", "1.8", "1.9"}) {
        SCOPED_TRACE(version);
        Bench bench(box(version));
        const Bytes image = padded(samplePayload(3000), minorIs(bench.box.scenario(), '7'), 1);
        updateThrough(bench, image);
        EXPECT_EQ(bench.box.outcome().code(), "flashed") << bench.box.outcome().detail;
        EXPECT_EQ(bench.box.flashedImage(), image);
        EXPECT_NE(bench.takeHeard().find("finished.\n"), std::string::npos);
        // The hyper bootloader talks at 115200, whatever the boot loader did.
        EXPECT_EQ(bench.transmissions.back().baud, 115200u);
        EXPECT_NE(bench.box.outcome().detail.find("prompt at blank 1"), std::string::npos);
    }
}

TEST(Generation1, MenuKeysAndSpeedsDifferByVersion) {
    // 1.4 hears its key at 38400 only; the others at 115200 only, and only
    // their own key: "3" on 1.4 and 1.5, "2" from 1.6 on are refused.
    Bench slow(box("1.4"));
    slow.pcBaud = 38400;
    slow.send(" quorcom");
    slow.waitMs(1600);
    slow.send("2");
    slow.waitMs(200);
    EXPECT_NE(slow.takeHeard().find("now?"), std::string::npos);
    slow.send("n");
    EXPECT_EQ(slow.box.outcome().code(), "rejected");
    EXPECT_EQ(slow.takeHeard(), "\r\nERRORgaga: erasure not confirmed\n");

    for (auto [version, wrongKey] : {std::pair{"1.5", "3"}, {"1.6", "2"}, {"1.9", "2"}}) {
        Bench bench(box(version));
        bench.pcBaud = 38400;
        bench.send(" quorcom");
        bench.waitMs(1600);
        bench.pcBaud = 115200;
        bench.send(wrongKey);
        EXPECT_EQ(bench.box.outcome().code(), std::string("refused:") + wrongKey) << version;
    }
}

TEST(Generation1, HyperPadMustBeTheEmbeddedLoaderWithTheVersionsModeByteAndPacking) {
    struct Case {
        const char* version;
        Bytes file;
        bool packed;
        const char* problem;
    };
    // Two bytes changed, the sum kept: only the comparison finds it.
    Bytes tampered = hyperPad(0);
    tampered[4 + 2000] = static_cast<std::uint8_t>(tampered[4 + 2000] + 1);
    tampered[4 + 2001] = static_cast<std::uint8_t>(tampered[4 + 2001] - 1);
    const Bytes whole = hyperPad(0);
    const Bytes cutShort(whole.begin(), whole.end() - 100);
    const Case cases[] = {
        {"1.8", hyperPad(1), true, "mode byte 1, boot loader 1.8 needs 0"},
        {"1.5", cutShort, false, "stream stopped after 35540 bytes, short of the 35632"},
        {"1.7", hyperPad(0), true, "mode byte 0, boot loader 1.7 needs 1"},
        {"1.9", hyperPad(1), false, "length field"},  // stored where packed is wanted
        {"1.5", hyperPad(0), true, "length field"},   // packed where stored is wanted
        {"1.6", tampered, true, "payload differs from the hyper bootloader at byte 2000"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.version);
        Bench bench(box(c.version));
        reachFilePrompt(bench);
        const std::string heard = sendHyperPad(bench, c.file, c.packed);
        EXPECT_EQ(bench.box.outcome().code(), "rejected");
        EXPECT_NE(bench.box.outcome().detail.find(c.problem), std::string::npos) << bench.box.outcome().detail;
        EXPECT_EQ(heard.find("finished!"), std::string::npos);
        // The waiting PC gets the error line too.
        EXPECT_NE(heard.find("ERRORgaga: hyper.pad: "), std::string::npos) << heard;
    }
}

TEST(Generation1, PromptLoopAnswersFromTheNthBlankOrSplitsThePromptAcrossTwoBlanks) {
    struct Case {
        unsigned answerFrom;
        bool split;
        int blanks;  // until the PC sees the whole prompt in one attempt; 0: never
    };
    for (const Case c : {Case{1, false, 1}, Case{3, false, 3}, Case{1, true, 3}, Case{2, true, 4}, Case{0, false, 0}}) {
        Scenario s = box("1.6");
        s.hyperbootAnswerFrom = c.answerFrom;
        s.hyperbootSplit = c.split;
        Bench bench(s);
        reachFilePrompt(bench);
        ASSERT_NE(sendHyperPad(bench, hyperPad(0), true).find("finished!"), std::string::npos);
        EXPECT_EQ(callUpPrompt(bench), c.blanks) << c.answerFrom << " " << c.split;
        EXPECT_FALSE(bench.box.decided());
    }
}

TEST(Generation1, HyperBootloaderRefusesAWrongModeByteAndABrokenImage) {
    const Bytes image = padded(samplePayload(2000), false);
    Bytes badSum = image;
    badSum.back() ^= 0x10;
    struct Case {
        const char* name;
        char mode;
        Bytes stream;
        const char* problem;
    };
    const Case cases[] = {
        {"mode", 1, pack(image), "mode byte 0x01, this box needs 0x00"},
        {"sum", 0, pack(badSum), "the stream stopped after 2008 bytes, and the payload sum fits after no"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Bench bench(box("1.8"));
        reachFilePrompt(bench);
        ASSERT_NE(sendHyperPad(bench, hyperPad(0), true).find("finished!"), std::string::npos);
        ASSERT_EQ(callUpPrompt(bench), 1);
        bench.send(std::string(1, c.mode));
        bench.send(c.stream);
        bench.waitMs(2000);
        EXPECT_EQ(bench.box.outcome().code(), "rejected");
        EXPECT_NE(bench.box.outcome().detail.find(c.problem), std::string::npos) << bench.box.outcome().detail;
        EXPECT_NE(bench.takeHeard().find("ERRORgaga: "), std::string::npos);
        EXPECT_TRUE(bench.box.flashedImage().empty());
    }
}

TEST(Generation1, PackedImageMustEndInAFillOfOnes) {
    // An image whose codes end off a byte boundary, filled with zeros: the
    // zeros decode as more bytes after the image, which a proper stream
    // never has.
    Bytes image = padded(samplePayload(5), false);
    std::string bits;
    for (const auto b : image) bits += sim::kPackedCodeBits[b];
    ASSERT_NE(bits.size() % 8, 0u) << "pick a payload whose codes end inside a byte";
    Bench bench(box("1.8"));
    reachFilePrompt(bench);
    ASSERT_NE(sendHyperPad(bench, hyperPad(0), true).find("finished!"), std::string::npos);
    ASSERT_EQ(callUpPrompt(bench), 1);
    bench.send(std::string(1, '\0'));
    bench.send(pack(image, '0'));
    bench.waitMs(1000);
    EXPECT_EQ(bench.box.outcome().code(), "rejected");
    EXPECT_NE(bench.box.outcome().detail.find("fill of 1-bits"), std::string::npos) << bench.box.outcome().detail;
}

TEST(Generation1, TransferFaultStrikesTheTransferTheScenarioNames) {
    const Bytes image = padded(samplePayload(6000), false);
    for (const bool inImage : {false, true}) {
        Scenario s = box("1.8");
        s.transferFault = TransferFault::Error;
        s.faultAtByte = 1500;
        s.faultInImage = inImage;
        Bench bench(s);
        reachFilePrompt(bench);
        const std::string afterPad = sendHyperPad(bench, hyperPad(0), true);
        if (!inImage) {
            EXPECT_NE(afterPad.find("ERROR: simulated transfer failure"), std::string::npos);
            EXPECT_EQ(afterPad.find("finished!"), std::string::npos);
            EXPECT_EQ(bench.box.outcome().code(), "aborted");
            continue;
        }
        ASSERT_NE(afterPad.find("finished!"), std::string::npos);
        ASSERT_EQ(callUpPrompt(bench), 1);
        bench.send(std::string(1, '\0'));
        bench.send(pack(image));
        bench.waitMs(500);
        EXPECT_EQ(bench.box.outcome().code(), "aborted");
        EXPECT_NE(bench.box.outcome().detail.find("after 1499 bytes"), std::string::npos) << bench.box.outcome().detail;
    }
}

TEST(Generation1, ErrorLineInPlaceOfEachPromptAndHangUpAtEachStep) {
    for (const auto& [prompt, version] : {std::pair{Prompt::Now, "1.4"}, {Prompt::File, "1.5"},
                                          {Prompt::Finished, "1.6"}, {Prompt::Hyperboot, "1.7"},
                                          {Prompt::Programmed, "1.8"}}) {
        SCOPED_TRACE(boxmodel::promptName(prompt));
        Scenario s = box(version);
        s.errorAt = prompt;
        Bench bench(s);
        playWholeUpdate(bench, padded(samplePayload(500), false));
        EXPECT_EQ(bench.box.outcome().code(), "aborted");
        EXPECT_NE(everythingSaid(bench).find("ERRORgaga: simulated failure\n"), std::string::npos);
        EXPECT_TRUE(bench.box.flashedImage().empty());
    }

    for (const auto step : {Step::Now, Step::File, Step::Finished, Step::Hyperboot, Step::Mode, Step::Image,
                            Step::Programmed}) {
        SCOPED_TRACE(boxmodel::stepName(step));
        Scenario s = box("1.4");
        s.hangUpAt = step;
        Bench bench(s);
        playWholeUpdate(bench, padded(samplePayload(500), false));
        bench.waitMs(5000);
        EXPECT_EQ(bench.box.flashedImage().empty(), step != Step::Programmed);
        if (step == Step::Programmed) {
            // The line drops only after "finished.\n": the image is flashed.
            EXPECT_EQ(bench.box.outcome().code(), "flashed");
            continue;
        }
        EXPECT_EQ(bench.box.outcome().code(), "hungup");
        EXPECT_NE(bench.box.outcome().detail.find(boxmodel::stepName(step)), std::string::npos);
    }
}
