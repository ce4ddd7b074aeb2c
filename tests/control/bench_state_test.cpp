// The bench's reading of what a port's process prints, its table, its
// summary, the box records and the port lists.
#include <gtest/gtest.h>

#include <map>

#include "common/sha256.h"
#include "control/bench_state.h"
#include "control/box_record.h"
#include "control/port_list.h"

namespace {

std::vector<OutputEvent> eventsOf(OutputReader& reader, const std::string& text) {
    std::vector<OutputEvent> events;
    for (const OutputNote& note : reader.addOutput(text.data(), text.size())) events.push_back(note.event);
    return events;
}

TEST(BenchOutput, ReadsTheProgramsOwnMessagesAcrossPieces) {
    OutputReader reader;
    // The version line arrives in two pieces; the counter erases itself with backspaces.
    EXPECT_TRUE(eventsOf(reader, "\n\nBootloader vers").empty());
    const std::string rest = "ion 4.20 accessed!\n";
    const std::vector<OutputNote> notes = reader.addOutput(rest.data(), rest.size());
    ASSERT_EQ(notes.size(), 1u);
    EXPECT_EQ(notes[0].event, OutputEvent::Version);
    EXPECT_EQ(notes[0].version, "4.20");

    const std::string progress = "  37 % transfered       \b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b";
    const std::vector<OutputNote> percent = reader.addOutput(progress.data(), progress.size());
    ASSERT_EQ(percent.size(), 1u);
    EXPECT_EQ(percent[0].percent, 37);
    EXPECT_EQ(eventsOf(reader, " stopped for programming\b\b\b"), std::vector<OutputEvent>{OutputEvent::Programming});
    EXPECT_EQ(eventsOf(reader, "Download on com port /dev/ttyUSB0 successfully finished.\n\n"),
              std::vector<OutputEvent>{OutputEvent::Flashed});
    EXPECT_EQ(eventsOf(reader, "Update another box (y/n)? [y]\n"), std::vector<OutputEvent>{OutputEvent::NextBox});
    EXPECT_EQ(eventsOf(reader, " Done!\nPlease be patient and wait for update to be finished..\n"),
              std::vector<OutputEvent>{OutputEvent::Satellite});
    // Text that only looks alike is no event.
    EXPECT_TRUE(eventsOf(reader, "Bootloader version 4.20\nDownload on com port 1 failed.\n").empty());
}

TEST(BenchOutput, TheReasonIsTheLastLineOfStandardErrorThatSaysSomething) {
    OutputReader reader;
    const std::string err = "WriteFile error: 5\nFatal error, settop box does not respond. Abort!\n\n  \n";
    reader.addError(err.data(), err.size());
    EXPECT_EQ(reader.lastErrorLine(), "Fatal error, settop box does not respond. Abort!");
    reader.forgetErrors();
    EXPECT_EQ(reader.lastErrorLine(), "");
}

TEST(BenchState, PhasesFollowTheNotesAndTheTableShowsThem) {
    PortState state;
    state.shortName = "ttyUSB0";
    EXPECT_TRUE(applyNote(state, {OutputEvent::Version, "2.2", 0}));
    EXPECT_EQ(state.phase, PortPhase::Access);
    EXPECT_TRUE(applyNote(state, {OutputEvent::Percent, {}, 40}));
    EXPECT_EQ(state.phase, PortPhase::Transfer);
    EXPECT_FALSE(applyNote(state, {OutputEvent::Percent, {}, 40}));  // nothing new: no redraw
    EXPECT_TRUE(applyNote(state, {OutputEvent::Percent, {}, 100}));
    EXPECT_EQ(state.phase, PortPhase::Programming);

    PortState failed;
    failed.shortName = "a-much-longer-port-name";
    failed.phase = PortPhase::Failed;
    failed.result = "failed";
    failed.message = "Time out. Access to bootloader failed!";
    failed.failed = 1;
    failed.endMs = 75000;
    const std::vector<std::string> lines = tableLines({state, failed}, 5000, false);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[1].find("ttyUSB0"), 0u);
    EXPECT_NE(lines[1].find("2.2"), std::string::npos);
    EXPECT_NE(lines[1].find("programming"), std::string::npos);
    EXPECT_NE(lines[1].find(" 100 "), std::string::npos);
    EXPECT_NE(lines[1].find("0:05"), std::string::npos);  // still running: the clock goes on
    EXPECT_NE(lines[2].find("1:15  failed: Time out. Access to bootloader failed!"), std::string::npos);
    // The columns line up whatever the names' lengths.
    EXPECT_EQ(lines[0].find("LOADER"), lines[1].find("2.2"));
    EXPECT_EQ(lines[1].find("2.2"), lines[2].find("-  "));

    EXPECT_EQ(eventLine(failed, "failed", failed.message),
              "a-much-longer-port-name\tfailed\tTime out. Access to bootloader failed!");
    state.flashed = 1;
    EXPECT_EQ(summaryLines({state, failed}, false, false),
              (std::vector<std::string>{"1 of 2 boxes flashed.",
                                        "a-much-longer-port-name: failed: Time out. Access to bootloader failed!"}));
}

TEST(BoxRecord, OneLineOfJsonWithTheFieldsInOrderAndTextsEscaped) {
    BoxRecord record;
    record.endTime = 1796745600;
    record.port = "/dev/ttyUSB0";
    record.portId = "/dev/serial/by-id/usb-x";
    record.image = "C:\\images\\new \"v2\".pad";
    record.imageBytes = 42;
    record.imageSha256 = "ab";
    record.result = "failed";
    record.seconds = 12.345;
    record.message = "Fehler: \x01line\tend";
    record.program = "update 1.39";
    EXPECT_EQ(boxRecordLine(record),
              "{\"time\":\"2026-12-08T16:00:00Z\",\"port\":\"/dev/ttyUSB0\",\"port_id\":\"/dev/serial/by-id/usb-x\","
              "\"bootloader\":null,\"image\":\"C:\\\\images\\\\new \\\"v2\\\".pad\",\"image_bytes\":42,"
              "\"image_sha256\":\"ab\",\"result\":\"failed\",\"seconds\":12.3,"
              "\"message\":\"Fehler: \\u0001line\\tend\",\"program\":\"update 1.39\"}\n");
}

TEST(Sha256, KnownDigestsAcrossBlockBoundaries) {
    const std::map<std::string, std::string> known = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        // 56 bytes: the length no longer fits in the first block.
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
    };
    for (const auto& [text, digest] : known) {
        Sha256 whole;
        whole.add(text.data(), text.size());
        EXPECT_EQ(whole.hexDigest(), digest) << text;
        Sha256 piecewise;  // byte by byte: the buffering between calls
        for (const char c : text) piecewise.add(&c, 1);
        EXPECT_EQ(piecewise.hexDigest(), digest) << text;
    }
    Sha256 million;
    const std::string a(1000, 'a');
    for (int i = 0; i < 1000; ++i) million.add(a.data(), a.size());
    EXPECT_EQ(million.hexDigest(), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

PortSource fakeMachine() {
    PortSource source;
    source.usbAdapters = [] { return std::vector<std::string>{"/dev/ttyUSB0", "/dev/ttyUSB1"}; };
    source.matchPattern = [](const std::string& pattern) {
        if (pattern == "/dev/serial/by-id/usb-FTDI_*") return std::vector<std::string>{"/dev/serial/by-id/usb-FTDI_A"};
        return std::vector<std::string>{};
    };
    source.canonical = [](const std::string& name) {
        return name == "/dev/serial/by-id/usb-FTDI_A" ? std::string("/dev/ttyUSB1") : name;
    };
    return source;
}

TEST(PortList, EveryAdapterOnceWhateverItsName) {
    const PortListResult result =
        resolvePortLists({"usb", "/dev/serial/by-id/usb-FTDI_*,/dev/ttyUSB0", "/dev/gone"}, fakeMachine());
    ASSERT_EQ(result.error, "");
    std::vector<std::string> names;
    for (const BenchPort& port : result.ports) names.push_back(port.name);
    EXPECT_EQ(names, (std::vector<std::string>{"/dev/ttyUSB0", "/dev/ttyUSB1", "/dev/gone"}));
}

TEST(PortList, AListThatNamesNoPortIsRefused) {
    EXPECT_EQ(resolvePortLists({""}, fakeMachine()).error,
              "--ports needs a list of ports, e.g. --ports /dev/ttyUSB0,/dev/ttyUSB1.");
    EXPECT_EQ(resolvePortLists({"/dev/ttyUSB0", ",,"}, fakeMachine()).error,
              "--ports needs a list of ports, e.g. --ports /dev/ttyUSB0,/dev/ttyUSB1.");
    EXPECT_EQ(resolvePortLists({"/dev/ttyUSB0,/dev/ttyACM*"}, fakeMachine()).error,
              "--ports: no serial port matches /dev/ttyACM*.");
    PortSource none = fakeMachine();
    none.usbAdapters = [] { return std::vector<std::string>{}; };
    EXPECT_EQ(resolvePortLists({"usb"}, none).error, "--ports usb: this machine shows no USB serial adapter.");
}

TEST(PortList, ShortNamesAreTheLastPartUnlessTwoPortsShareIt) {
    EXPECT_EQ(shortPortNames({{"/dev/ttyUSB0", ""}, {"/tmp/a/box", ""}, {"/tmp/b/box", ""}, {"COM7", ""}}),
              (std::vector<std::string>{"ttyUSB0", "/tmp/a/box", "/tmp/b/box", "COM7"}));
}

}  // namespace
