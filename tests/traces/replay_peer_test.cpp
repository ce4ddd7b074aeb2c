// The recorded box as a peer on the simulated line, with the test playing the
// program through the platform calls: each reply lands at the read the
// recording has it read at, a hang-up where the recorded program met it.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/platform.h"
#include "replay_peer.h"
#include "simplatform/sim_platform.h"
#include "trace/trace_format.h"
#include "trace/trace_reader.h"

namespace {

using trace::Direction;

constexpr std::uint32_t kBaud = 115200;

std::string block(std::size_t size, char fill) { return std::string(size, fill); }

// A recording built line by line, as the program's trace writes them.
struct Recording {
    std::string text = std::string(trace::kFormatLine) + "\n# program: update test\n";
    void open(std::uint64_t us) { trace::appendEventLine(text, us, "open", "\"COM1\""); }
    void pc(std::uint64_t us, const std::string& bytes) {
        trace::appendBytesLine(text, us, Direction::PcToBox, kBaud, bytes, bytes.size(), false);
    }
    void bulk(std::uint64_t us, const std::string& bytes) {
        trace::appendBulkLine(text, us, Direction::PcToBox, kBaud, bytes.size(), trace::digestOf(bytes.data(), bytes.size()));
    }
    void box(std::uint64_t us, const std::string& bytes) {
        trace::appendBytesLine(text, us, Direction::BoxToPc, kBaud, bytes, bytes.size(), false);
    }
    // Every trace has the box answer at least once.
    void greeting() {
        pc(1000, "go");
        box(5000, "ready");
    }
    void event(std::uint64_t us, const char* name, const char* detail = "") {
        trace::appendEventLine(text, us, name, detail);
    }
    std::vector<trace::Record> records() {
        event(9000000, "end", "exit 0");
        trace::ParsedTrace parsed = trace::readTrace(text, "update test");
        if (parsed.problem) ADD_FAILURE() << parsed.problem->lineNumber << ": " << parsed.problem->what << "\n" << text;
        return parsed.records;
    }
};

struct ReplayPeerTest : testing::Test {
    void TearDown() override {
        if (port != platform::kInvalidPort) platform::closePort(port);
        simline::uninstall();
    }
    void start(boxsim::ReplayPeer& peer) {
        simline::install(peer);
        port = platform::openPort("COM1");
        ASSERT_NE(port, platform::kInvalidPort);
        ASSERT_TRUE(platform::configureLine(port, kBaud, false));
    }
    bool write(const std::string& bytes) {
        std::uint32_t sent = 0;
        const bool ok = platform::writePort(port, bytes.data(), static_cast<std::uint32_t>(bytes.size()), sent);
        lastSent = sent;
        return ok;
    }
    // Waits for `size` bytes as the program's reply matcher does, read by read.
    std::string readReply(std::size_t size) {
        std::string got;
        readOk = true;
        while (got.size() < size && readOk) {
            platform::waitForInput(port, 1000);
            const std::string more = read();
            if (more.empty()) break;
            got += more;
        }
        return got;
    }
    std::string read() {
        char buffer[256];
        std::uint32_t received = 0;
        readOk = platform::readPort(port, buffer, sizeof buffer, received);
        return std::string(buffer, received);
    }
    void greet() {
        ASSERT_TRUE(write("go"));
        ASSERT_EQ(readReply(5), "ready");
    }
    platform::PortHandle port = platform::kInvalidPort;
    std::uint32_t lastSent = 0;
    bool readOk = true;
};

// The program's transfer loop: write a block, read once without waiting.
// Blocks larger and smaller than the line's transmit buffer: a reply during a
// small one cannot cross the line before that write returns unless the write
// is held.
TEST_F(ReplayPeerTest, AReplyDuringAWriteIsThereAtTheReadAfterItAndNotBefore) {
    for (const std::size_t size : {std::size_t{10240}, std::size_t{1000}}) {
        SCOPED_TRACE(size);
        Recording recording;
        recording.open(0);
        recording.pc(1000, "go");
        recording.box(60000, "ready");
        recording.bulk(70000, block(size, 'a'));
        recording.bulk(80000, block(size, 'b'));
        recording.box(80020, "..");
        recording.bulk(90000, block(size, 'c'));
        recording.box(90020, "ERROR\r\n");
        boxsim::ReplayPeer peer(recording.records());
        start(peer);
        ASSERT_TRUE(write("go"));
        EXPECT_EQ(readReply(5), "ready");
        ASSERT_TRUE(write(block(size, 'a')));
        EXPECT_EQ(read(), "");
        ASSERT_TRUE(write(block(size, 'b')));
        EXPECT_EQ(read(), "..");
        ASSERT_TRUE(write(block(size, 'c')));
        EXPECT_EQ(read(), "ERROR\r\n");
        EXPECT_TRUE(peer.finished());
        EXPECT_FALSE(peer.departure());
        EXPECT_EQ(peer.imagePieces(), 3u);
        EXPECT_FALSE(peer.imageDiffersAt());
        platform::closePort(port);
        port = platform::kInvalidPort;
        simline::uninstall();
    }
}

TEST_F(ReplayPeerTest, AReplyWaitedForArrivesAfterTheRecordedPause) {
    Recording recording;
    recording.open(0);
    recording.pc(100000, "key");
    recording.box(400000, "menu");  // 300 ms after the key
    boxsim::ReplayPeer peer(recording.records());
    start(peer);
    platform::sleepMs(100);
    const std::uint64_t wroteUs = simline::nowUs();
    ASSERT_TRUE(write("key"));
    platform::sleepMs(250);
    EXPECT_EQ(read(), "");
    EXPECT_EQ(readReply(4), "menu");
    const std::uint64_t pauseUs = simline::nowUs() - wroteUs;
    EXPECT_GE(pauseUs, 300000u);
    EXPECT_LT(pauseUs, 301000u);
}

// The recording shows what the program read in one go, not how the bytes
// trickled in: the program stops reading once it has what it waits for, and
// must find the rest there as the recorded program did.
TEST_F(ReplayPeerTest, AReplyReachesTheProgramWholeAsTheRecordedProgramReadIt) {
    Recording recording;
    recording.open(0);
    recording.pc(1000, "key");
    recording.box(50000, "finished!\r\n");
    boxsim::ReplayPeer peer(recording.records());
    start(peer);
    ASSERT_TRUE(write("key"));
    platform::waitForInput(port, 1000);
    EXPECT_EQ(read(), "finished!\r\n");
}

// A write the line dropped in shows in the trace as the bytes it handed over.
TEST_F(ReplayPeerTest, AHangUpCutsTheWriteWhereTheRecordedOneEnded) {
    Recording recording;
    recording.open(0);
    recording.greeting();
    recording.bulk(10000, block(10240, 'a'));
    recording.bulk(20000, block(512, 'b'));
    recording.event(20010, "hangup");
    boxsim::ReplayPeer peer(recording.records());
    start(peer);
    greet();
    ASSERT_TRUE(write(block(10240, 'a')));
    EXPECT_EQ(read(), "");
    EXPECT_TRUE(readOk);
    EXPECT_FALSE(write(block(10240, 'b')));
    EXPECT_EQ(lastSent, 512u);
    EXPECT_EQ(platform::lastError(), platform::kErrorOperationAborted);
    EXPECT_TRUE(peer.finished());
    EXPECT_FALSE(peer.departure());
}

TEST_F(ReplayPeerTest, AHangUpAfterAWholeWriteFailsTheReadAfterItAndTheLineComesBackAtTheNextOpen) {
    Recording recording;
    recording.open(0);
    recording.greeting();
    recording.bulk(10000, block(10240, 'a'));
    recording.event(10010, "hangup");
    recording.event(10020, "close");
    recording.open(500000);
    recording.pc(600000, "again");
    recording.box(700000, "ok");
    boxsim::ReplayPeer peer(recording.records());
    start(peer);
    greet();
    EXPECT_TRUE(write(block(10240, 'a')));
    EXPECT_EQ(lastSent, 10240u);
    read();
    EXPECT_FALSE(readOk);
    platform::closePort(port);
    port = platform::openPort("COM1");
    ASSERT_NE(port, platform::kInvalidPort);
    ASSERT_TRUE(write("again"));
    EXPECT_EQ(readReply(2), "ok");
    EXPECT_TRUE(peer.finished());
}

TEST_F(ReplayPeerTest, ThePcDepartingIsNamedWithTheLineAndTheLineDrops) {
    Recording recording;
    recording.open(0);
    recording.pc(1000, "7");
    recording.box(50000, "\r\nReady");
    boxsim::ReplayPeer peer(recording.records());
    start(peer);
    EXPECT_TRUE(write("6"));
    ASSERT_TRUE(peer.departure());
    EXPECT_EQ(peer.departure()->lineNumber, 4u);
    EXPECT_EQ(peer.departure()->what, "the PC sent \"6\" where the recording has \"7\"");
    platform::waitForInput(port, 1000);
    EXPECT_EQ(read(), "");
    EXPECT_FALSE(readOk);
}

TEST_F(ReplayPeerTest, ImageDataAreComparedByLengthDigestAndSpeed) {
    Recording recording;
    recording.open(0);
    recording.greeting();
    recording.bulk(10000, block(300, 'a'));
    recording.bulk(20000, block(300, 'b'));
    const auto records = recording.records();
    boxsim::ReplayPeer peer(records);
    start(peer);
    greet();
    // In other pieces than recorded: the stream counts, not the writes.
    ASSERT_TRUE(write(block(300, 'a') + block(100, 'b')));
    ASSERT_TRUE(write(block(199, 'b') + "c"));
    EXPECT_TRUE(peer.finished());
    EXPECT_EQ(peer.imageDiffersAt(), 7u);

    boxsim::ReplayPeer slower(records);
    platform::closePort(port);
    simline::uninstall();
    start(slower);
    greet();
    ASSERT_TRUE(platform::setBaudRate(port, 57600));
    write(block(300, 'a'));
    ASSERT_TRUE(slower.departure());
    EXPECT_EQ(slower.departure()->what, "the PC sent image data at 57600 baud where the recording has 115200");
}

}  // namespace
