// Boot loaders 4.11 to 4.13 with the PC's side played by the test: time
// stamp, announcement, image (padded, or irdeto with its leading record),
// byte sum; and the faults a transfer can meet.
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>

#include "bench.h"
#include "support/image_bytes.h"

using boxmodel::Outcome;
using boxmodel::Scenario;
using boxmodel::TransferFault;
using boxtest::Bench;
using test_support::appendBig32;
using test_support::Bytes;

namespace {

const platform::LocalTime kPcTime{2002, 6, 15, 14, 35, 9};

std::uint32_t sumOf(const Bytes& bytes, std::size_t count) {
    std::uint32_t sum = 0;
    for (std::size_t i = 0; i < count; ++i) sum += bytes[i];
    return sum;
}

// The time stamp as the program builds it from the local clock.
Bytes timeStamp(const platform::LocalTime& t) {
    const int y = t.year - 1900;
    const int l = t.month <= 2 ? 1 : 0;
    const int mjd = 14956 + t.day + static_cast<int>((y - l) * 365.25) + static_cast<int>((t.month + 1 + l * 12) * 30.6001);
    auto bcd = [](int v) { return static_cast<std::uint8_t>((v / 10) << 4 | v % 10); };
    return {static_cast<std::uint8_t>(mjd >> 8 & 0xFF), static_cast<std::uint8_t>(mjd & 0xFF), bcd(t.hour),
            bcd(t.minute), bcd(t.second)};
}

Bytes announcement(std::uint32_t length, std::uint32_t id, std::uint8_t type = 7) {
    Bytes out;
    appendBig32(out, length);
    out.push_back(type);
    appendBig32(out, id);
    return out;
}

Bytes paddedImage(std::size_t payloadBytes, std::uint8_t type, std::uint32_t id) {
    Bytes payload(payloadBytes);
    for (std::size_t i = 0; i < payloadBytes; ++i) payload[i] = static_cast<std::uint8_t>(i * 7 + i / 251);
    return test_support::paddedImage(payload, test_support::typeAndId(type, id));
}

// Plays the program's side up to "file:" and the 500 ms pause after it.
void reachFilePrompt(Bench& bench) {
    bench.send(" quorcom");
    for (const char digit : std::string("0123")) {
        bench.send(std::string(1, digit));
        bench.waitMs(100);
    }
    bench.send("\x5B\xE7");
    bench.waitMs(500);
    ASSERT_NE(bench.takeHeard().find("choice!:"), std::string::npos);
    bench.waitMs(800);
    bench.send("2");
    bench.waitMs(200);
    ASSERT_NE(bench.takeHeard().find("file:"), std::string::npos);
    bench.waitMs(500);
}

struct Sent {
    Sent(Bytes file, std::uint32_t imageLength, std::uint32_t id = 0x4000C, std::uint32_t pauseAfterRecordMs = 1000,
         std::optional<std::uint32_t> sum = std::nullopt)
        : file(std::move(file)), imageLength(imageLength), id(id), pauseAfterRecordMs(pauseAfterRecordMs), sum(sum) {}
    Bytes file;
    std::uint32_t imageLength;
    std::uint32_t id;
    std::uint32_t pauseAfterRecordMs;
    std::optional<std::uint32_t> sum;  // unset: the right one
    platform::LocalTime stamp = kPcTime;
};

// The program's side from the time stamp to the byte sum.
void sendDownload(Bench& bench, const Sent& sent) {
    bench.send(timeStamp(sent.stamp));
    bench.send(announcement(sent.imageLength, sent.id));
    const Bytes& file = sent.file;
    std::size_t at = 0;
    if (file.size() >= 2 && file[0] == 0x11) {
        const std::size_t record = 2 + file[1];
        bench.send(Bytes(file.begin(), file.begin() + static_cast<long>(record)));
        bench.waitMs(sent.pauseAfterRecordMs);
        at = record;
    }
    bench.send(Bytes(file.begin() + static_cast<long>(at), file.end()));
    Bytes sum;
    appendBig32(sum, sent.sum.value_or(sumOf(file, sent.imageLength)));
    bench.send(sum);
}

Scenario dated(const char* version = "4.12") {
    Scenario s;
    s.version = version;
    s.programmingMs = 1500;
    return s;
}

boxmodel::PcClock pcClock() {
    return [] { return kPcTime; };
}

}  // namespace

TEST(DatedBootloader, TakesAPaddedImageAndSaysFinishedAfterProgramming) {
    Bench bench(dated(), pcClock());
    reachFilePrompt(bench);
    const Bytes file = paddedImage(150000, 7, 0x4000C);
    sendDownload(bench, {file, static_cast<std::uint32_t>(150000 + 8)});
    EXPECT_FALSE(bench.box.decided());
    bench.waitMs(1000);
    EXPECT_EQ(bench.takeHeard().find("finished!"), std::string::npos) << "not before the programming time";
    bench.waitMs(1000);
    const std::string heard = bench.takeHeard();
    EXPECT_NE(heard.find("finished!"), std::string::npos);
    ASSERT_EQ(bench.box.outcome().code(), "flashed") << bench.box.outcome().detail;
    EXPECT_EQ(bench.box.flashedImage(), file);
    EXPECT_NE(bench.box.outcome().detail.find("time stamp 2002-06-15 14:35:09"), std::string::npos);
}

TEST(DatedBootloader, ReportsProgressAndRefusesInputWhileProgrammingASector) {
    Scenario s = dated();
    s.sectorBytes = 8192;
    s.eraseMs = 30;
    s.writeMs = 50;
    Bench bench(s, pcClock());
    reachFilePrompt(bench);
    const Bytes file = paddedImage(20000, 8, 0x4000B);
    bench.send(timeStamp(kPcTime));
    bench.send(announcement(20008, 0x4000B));
    const std::size_t before = 8192 - 14;  // the records count as received bytes
    bench.send(Bytes(file.begin(), file.begin() + static_cast<long>(before)));
    EXPECT_FALSE(bench.box.acceptsInput(bench.nowUs)) << "erasing after the first sector";
    bench.waitMs(30);
    EXPECT_FALSE(bench.box.acceptsInput(bench.nowUs));
    bench.waitMs(50);
    EXPECT_TRUE(bench.box.acceptsInput(bench.nowUs));
    bench.send(Bytes(file.begin() + static_cast<long>(before), file.end()));
    bench.send([&] {
        Bytes sum;
        appendBig32(sum, sumOf(file, 20008));
        return sum;
    }());
    bench.waitMs(2000);
    const std::string heard = bench.takeHeard();
    EXPECT_EQ(heard.substr(0, 10), "........ep");
    EXPECT_EQ(std::count(heard.begin(), heard.end(), '.'), static_cast<long>((14 + file.size() + 4) / 1024));
    EXPECT_EQ(bench.box.outcome().code(), "flashed") << bench.box.outcome().detail;
}

TEST(DatedBootloader, IrdetoImageWithLeadingRecordNeedsThePauseAfterIt) {
    Bytes file{0x11, 0x20};
    for (int i = 0; i < 0x20 + 3000; ++i) file.push_back(static_cast<std::uint8_t>(i * 13));
    const auto length = static_cast<std::uint32_t>(file.size());

    Bench paused(dated("4.13"), pcClock());
    reachFilePrompt(paused);
    sendDownload(paused, {file, length, 0x4000C, 1000});
    paused.waitMs(2000);
    ASSERT_EQ(paused.box.outcome().code(), "flashed") << paused.box.outcome().detail;
    EXPECT_EQ(paused.box.flashedImage(), file);
    EXPECT_NE(paused.box.outcome().detail.find("34-byte leading record"), std::string::npos);

    Bench hurried(dated("4.13"), pcClock());
    reachFilePrompt(hurried);
    sendDownload(hurried, {file, length, 0x4000C, 100});
    EXPECT_EQ(hurried.box.outcome().code(), "rejected");
    EXPECT_NE(hurried.takeHeard().find("ERROR: no pause after the 34-byte leading record"), std::string::npos);
}

TEST(DatedBootloader, SumCoversOnlyTheAnnouncedBytesOfAFileWithAHeaderExtension) {
    // The program sends the whole file but sums only imageLength bytes of it.
    const Bytes file = paddedImage(5000, 9, 0x4000D);
    Bench right(dated("4.13"), pcClock());
    reachFilePrompt(right);
    sendDownload(right, {file, 5008, 0x4000D});
    right.waitMs(2000);
    EXPECT_EQ(right.box.outcome().code(), "flashed") << right.box.outcome().detail;

    Bench whole(dated("4.13"), pcClock());
    reachFilePrompt(whole);
    sendDownload(whole, {file, 5008, 0x4000D, 1000, sumOf(file, file.size())});
    whole.waitMs(2000);
    EXPECT_EQ(whole.box.outcome().code(), "rejected");
    const std::string heard = whole.takeHeard();
    EXPECT_NE(heard.find("ERRORgaga: byte sum"), std::string::npos) << heard;
    EXPECT_EQ(heard.find("finished!"), std::string::npos);
}

TEST(DatedBootloader, RejectsAWrongTimeStampAnnouncementOrImage) {
    {
        Bench bench(dated(), pcClock());
        reachFilePrompt(bench);
        Sent sent{paddedImage(3000, 7, 0x4000C), 3008};
        sent.stamp.hour = 13;  // an hour off: a clock in UTC, not local time
        sendDownload(bench, sent);
        EXPECT_EQ(bench.box.outcome().code(), "rejected");
        EXPECT_NE(bench.takeHeard().find("ERROR: time stamp 2002-06-15 13:35:09 is -3600 s off"), std::string::npos);
    }
    {
        Scenario s = dated();
        s.imageId = 0x4000C;
        Bench bench(s, pcClock());
        reachFilePrompt(bench);
        sendDownload(bench, {paddedImage(3000, 7, 0x4000B), 3008, 0x4000B});
        EXPECT_NE(bench.box.outcome().detail.find("image id 0x4000B, not 0x4000C"), std::string::npos);
    }
    {
        Bench bench(dated(), pcClock());
        reachFilePrompt(bench);
        bench.send(timeStamp(kPcTime));
        bench.send(announcement(3008, 0x4000C, 8));
        EXPECT_NE(bench.box.outcome().detail.find("image type 8, not 7"), std::string::npos);
    }
    {
        Bench bench(dated(), pcClock());
        reachFilePrompt(bench);
        Bytes file = paddedImage(3000, 7, 0x4000C);
        file[100] ^= 0x40;  // payload no longer matches its own checksum
        sendDownload(bench, {file, 3008});
        EXPECT_NE(bench.box.outcome().detail.find("no padded image"), std::string::npos);
    }
}

TEST(DatedBootloader, RejectionDuringTheStreamIsRepeatedAsErrorLineOnceThePcIsQuiet) {
    Bench bench(dated(), pcClock());
    reachFilePrompt(bench);
    Sent sent{paddedImage(300, 7, 0x4000C), 308};
    sent.stamp.minute = 0;
    sendDownload(bench, sent);  // a small image: all of it is out before the PC reads a reply
    bench.takeHeard();
    bench.waitMs(600);
    EXPECT_NE(bench.takeHeard().find("ERRORgaga: time stamp"), std::string::npos);
}

TEST(DatedTransferFaults, EachFaultSendsItsReplyAtItsByteAndEndsTheBox) {
    const struct {
        TransferFault fault;
        const char* reply;
        const char* code;
    } rows[] = {
        {TransferFault::Error, "ERROR: disk on fire\r\n", "aborted"},
        {TransferFault::Stop, "STOP", "stopped"},
        {TransferFault::Question, "?", "aborted"},
        {TransferFault::F, "F", "aborted"},
        {TransferFault::U, "U", "aborted"},
        {TransferFault::Warnings, ":;:;:;", "aborted"},
        {TransferFault::FlashId, "Flash's manufacturer and/or device ids dont match!", "aborted"},
    };
    for (const auto& row : rows) {
        Scenario s = dated();
        s.transferFault = row.fault;
        s.faultAtByte = 3000;
        s.faultText = "disk on fire";
        Bench bench(s, pcClock());
        reachFilePrompt(bench);
        sendDownload(bench, {paddedImage(6000, 7, 0x4000C), 6008});
        bench.waitMs(3000);
        EXPECT_EQ(bench.box.outcome().code(), row.code) << row.reply;
        EXPECT_NE(bench.box.outcome().detail.find("after 2999 bytes"), std::string::npos) << row.reply;
        const std::string heard = bench.takeHeard();
        EXPECT_EQ(heard, std::string("..") + row.reply) << row.reply;  // two blocks, then the fault
    }
}

TEST(DatedTransferFaults, BoxThatStopsReadingOrHangsUp) {
    Scenario s = dated();
    s.transferFault = TransferFault::StopReading;
    s.faultAtByte = 2000;
    Bench stalled(s, pcClock());
    reachFilePrompt(stalled);
    stalled.send(timeStamp(kPcTime));
    stalled.send(announcement(6008, 0x4000C));
    const Bytes file = paddedImage(6000, 7, 0x4000C);
    EXPECT_EQ(stalled.send(file), 2000u - 14);
    EXPECT_FALSE(stalled.box.acceptsInput(stalled.nowUs + 3'600'000'000ull));
    EXPECT_EQ(stalled.box.outcome().code(), "stalled");

    s.transferFault = TransferFault::HangUp;
    Bench dropped(s, pcClock());
    reachFilePrompt(dropped);
    sendDownload(dropped, {file, 6008});
    EXPECT_TRUE(dropped.box.hungUp(dropped.nowUs));
    EXPECT_EQ(dropped.box.outcome().code(), "hungup");
}

TEST(DatedTransferFaults, HangUpAtARecordOrAtTheEnd) {
    for (const auto step : {boxmodel::Step::TimeStamp, boxmodel::Step::Sum, boxmodel::Step::Finished}) {
        Scenario s = dated();
        s.hangUpAt = step;
        Bench bench(s, pcClock());
        reachFilePrompt(bench);
        sendDownload(bench, {paddedImage(3000, 7, 0x4000C), 3008});
        bench.waitMs(3000);
        EXPECT_TRUE(bench.box.hungUp(bench.nowUs)) << boxmodel::stepName(step);
        // Hanging up after "finished!" does not undo the flashing; before it,
        // nothing is flashed, however long the box is left on.
        bench.waitMs(5000);
        EXPECT_EQ(bench.box.outcome().code(), step == boxmodel::Step::Finished ? "flashed" : "hungup");
        EXPECT_EQ(bench.box.flashedImage().empty(), step != boxmodel::Step::Finished);
    }
}

TEST(DatedBootloader, FilePromptCanBeReplacedByTheErrorLine) {
    Scenario s = dated();
    s.errorAt = boxmodel::Prompt::File;
    Bench bench(s, pcClock());
    bench.send(" quorcom");
    for (const char digit : std::string("0123")) bench.send(std::string(1, digit));
    bench.send("\x5B\xE7");
    bench.waitMs(1300);
    bench.send("2");
    bench.waitMs(200);
    const std::string heard = bench.takeHeard();
    EXPECT_EQ(heard.find("file:"), std::string::npos);
    EXPECT_NE(heard.find("ERRORgaga: simulated failure\n"), std::string::npos);
    EXPECT_EQ(bench.box.outcome().kind, Outcome::Kind::Aborted);
}
