// Every row of the supported boot loader table, end to end: for each, boxsim
// plays a box with that boot loader, the built program updates it with an
// image of the row's type, and the image the box would flash must be the
// source file. As many sessions run at a time as the machine has cores; the
// whole run's wall time is printed. ALL_ROWS_ONLY="1-6,23-31" restricts a run to some rows.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "e2e/box_session.h"
#include "support/bootloader_rows.h"

namespace {

using Row = test_support::ExpectedRow;
using test_support::kExpectedRowCount;
using test_support::rowNumberOf;

// "1-6,23-31" -> those row numbers; unset or empty: all.
std::vector<bool> chosenRows() {
    std::vector<bool> chosen(kExpectedRowCount + 1, true);
    const char* only = std::getenv("ALL_ROWS_ONLY");
    if (only == nullptr || *only == '\0') return chosen;
    chosen.assign(kExpectedRowCount + 1, false);
    std::string list = only;
    std::size_t start = 0;
    while (start < list.size()) {
        const std::size_t comma = std::min(list.find(',', start), list.size());
        const std::string item = list.substr(start, comma - start);
        const std::size_t dash = item.find('-');
        const int from = std::atoi(item.c_str());
        const int to = dash == std::string::npos ? from : std::atoi(item.c_str() + dash + 1);
        for (int n = std::max(from, 1); n <= std::min(to, static_cast<int>(kExpectedRowCount)); ++n) chosen[static_cast<std::size_t>(n)] = true;
        start = comma + 1;
    }
    return chosen;
}

// The image id as the version it is made for: major * 65536 + minor. For
// 4.11 to 4.13 that is what turns the program's irdeto mode on.
long long imageIdOf(const char* version) {
    int major = 0;
    int minor = 0;
    std::sscanf(version, "%d.%d", &major, &minor);
    return static_cast<long long>(major) * 65536 + minor;
}

struct RowResult {
    bool done = false;
    bool updated = false;
    bool boxAsExpected = false;
    bool sameImage = false;
    std::size_t imageBytes = 0;
    double seconds = 0;
    std::string story;  // what went wrong, for the failure message
};

RowResult runRow(const Row& row) {
    test_support::TempDirectory dir;
    // Type 0 without a header extension, the others with type and id.
    const std::string image =
        row.imageType == 0
            ? e2e::paddedImage(e2e::samplePayload(4000, static_cast<unsigned>(rowNumberOf(row))))
            : e2e::paddedImage(e2e::samplePayload(4000, static_cast<unsigned>(rowNumberOf(row))), row.imageType,
                               imageIdOf(row.version));
    const std::string imagePath = dir.file("image.bin");
    test_support::writeWholeFile(imagePath, image);

    e2e::SessionOptions options;
    options.boxsimArgs = {"--bootloader", row.version, "--programming-ms", "100", "--expect", "flashed",
                          "--timeout", "60"};
    options.updateArgs = {imagePath};
    options.update.timeLimit = std::chrono::milliseconds{60000};

    const auto start = std::chrono::steady_clock::now();
    const e2e::BoxSession session = e2e::runSession(dir, options);
    RowResult result;
    result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    result.updated = session.update.exitCode == 0;
    result.boxAsExpected = session.boxsim.exitCode == 0;
    result.sameImage = session.flashedImage == image;
    result.imageBytes = image.size();
    result.story = "program exit " + std::to_string(session.update.exitCode) + ", stderr: " + session.update.err +
                   "\nboxsim exit " + std::to_string(session.boxsim.exitCode) + ": " + session.boxsim.out +
                   session.boxsim.err + "flashed " + std::to_string(session.flashedImage.size()) + " of " +
                   std::to_string(image.size()) + " bytes";
    result.done = true;
    return result;
}

}  // namespace

TEST(AllRows, EveryRowOfTheTableUpdatesABoxWithTheSourceImage) {
    const std::vector<bool> chosen = chosenRows();
    std::vector<const Row*> rows;
    for (const Row& row : test_support::kExpectedRows)
        if (chosen[static_cast<std::size_t>(rowNumberOf(row))]) rows.push_back(&row);
    std::vector<RowResult> results(rows.size());

    std::vector<std::function<void()>> jobs;
    for (std::size_t i = 0; i < rows.size(); ++i) jobs.push_back([&, i] { results[i] = runRow(*rows[i]); });
    const auto start = std::chrono::steady_clock::now();
    e2e::runConcurrently(jobs, e2e::cores());
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

    int passed = 0;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const Row& row = *rows[i];
        const RowResult& r = results[i];
        const bool ok = r.done && r.updated && r.boxAsExpected && r.sameImage;
        passed += ok ? 1 : 0;
        std::printf("row %2d  %-5s type %2d  %5zu bytes  %5.1f s  %s\n", rowNumberOf(row), row.version, row.imageType,
                    r.imageBytes, r.seconds, ok ? "flashed, same image" : "FAILED");
        EXPECT_TRUE(ok) << "row " << rowNumberOf(row) << " (" << row.version << ", type " << int{row.imageType}
                        << "): " << r.story;
    }
    std::printf("%d of %zu rows updated end to end in %.1f s wall time\n", passed, rows.size(), wall);
    std::fflush(stdout);
    RecordProperty("rows", static_cast<int>(rows.size()));
    RecordProperty("wall_ms", static_cast<int>(wall * 1000));
}
