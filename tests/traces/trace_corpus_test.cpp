// Every trace in this folder, replayed against the program in-process on the
// simulated line: the program runs with the trace's command line (its image
// files taken from beside the trace) against the box the trace recorded, and
// must write the same steps and bytes, read each of the box's replies at the
// same place in what it wrote, and end with the same exit code. The first
// difference is named.
//
// One test walks the folder at run time: a trace copied in is replayed by
// the next run without configuring again, and the whole corpus takes
// milliseconds on the virtual clock, so entries of their own would gain nothing.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "control/driver.h"
#include "replay_peer.h"
#include "simplatform/sim_platform.h"
#include "support/temp_directory.h"
#include "trace/trace_format.h"
#include "trace/trace_reader.h"
#include "trace_run.h"

namespace {

namespace fs = std::filesystem;

std::vector<fs::path> tracesIn(const fs::path& folder) {
    std::vector<fs::path> traces;
    for (const auto& entry : fs::directory_iterator(folder))
        if (entry.is_regular_file() && entry.path().extension() == ".trace") traces.push_back(entry.path());
    std::sort(traces.begin(), traces.end());
    return traces;
}

TEST(TraceCorpus, EveryTraceReplaysAsRecorded) {
    const char* override = std::getenv("UPDATE_TRACES_DIR");  // a corpus elsewhere, for trying one out
    const fs::path folder = override != nullptr ? fs::path(override) : fs::path(TRACES_DIR);
    const auto traces = tracesIn(folder);
    for (const fs::path& path : traces) {
        SCOPED_TRACE(path.filename().string());
        const traceruns::Verdict verdict = traceruns::replayInProcess(path);
        EXPECT_TRUE(verdict.differences.empty()) << path.filename().string() << ":\n" << verdict.text();
    }
    std::printf("%zu traces replayed from %s\n", traces.size(), folder.string().c_str());
}

// What the program printed counts like the bytes it wrote: a trace edited to
// show another message departs, named with the stream and the texts.
TEST(TraceCorpus, AnotherMessageThanTheRecordedOneIsADifference) {
    test_support::TempDirectory dir;
    const fs::path recorded = fs::path(TRACES_DIR) / "hangup-at-menu.trace";
    std::ifstream in(recorded, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    std::string edited = text.str();
    const std::string from = "stdout \"Checking file...\"";
    ASSERT_NE(edited.find(from), std::string::npos);
    edited.replace(edited.find(from), from.size(), "stdout \"Checking files...\"");
    std::ofstream(dir.file("edited.trace"), std::ios::binary) << edited;
    fs::copy_file(fs::path(TRACES_DIR) / "hangup-at-menu.image", dir.file("edited.image"));

    const traceruns::Verdict verdict = traceruns::replayInProcess(dir.file("edited.trace"));
    ASSERT_EQ(verdict.differences.size(), 1u) << verdict.text();
    EXPECT_NE(verdict.differences[0].find("standard output departs from the recording after 13 bytes alike: "
                                          "recorded \"Checking files... OK!"),
              std::string::npos)
        << verdict.text();
}

}  // namespace
