#include <gtest/gtest.h>

#if !defined(_WIN32)
#include <stdlib.h>
#endif

#include <string>
#include <vector>

#include "control/command_line.h"
#include "support/bootloader_rows.h"
#include "support/temp_directory.h"

namespace {

// parseCommandLine takes argv as the system hands it: mutable, with the
// program's name in front.
struct Arguments {
    explicit Arguments(std::vector<std::string> list) : texts(std::move(list)) {
        texts.insert(texts.begin(), "update");
        for (std::string& text : texts) pointers.push_back(text.data());
        pointers.push_back(nullptr);
    }
    int count() const { return static_cast<int>(texts.size()); }
    char** values() { return pointers.data(); }
    std::vector<std::string> texts;
    std::vector<char*> pointers;
};

struct ParseOutcome {
    CommandLineResult result;
    CommandOptions options;
    std::string out;
    std::string err;
};

// The outcome points into the arguments, which must outlive it.
ParseOutcome parseKept(Arguments& arguments) {
    ParseOutcome outcome{};
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    outcome.result = parseCommandLine(arguments.count(), arguments.values(), outcome.options);
    outcome.out = testing::internal::GetCapturedStdout();
    outcome.err = testing::internal::GetCapturedStderr();
    return outcome;
}

ParseOutcome parse(std::vector<std::string> list) {
    Arguments arguments(std::move(list));
    ParseOutcome outcome = parseKept(arguments);
    // imagePath and portDevice point into the arguments, which die here.
    outcome.options.portDevice = nullptr;
    if (outcome.options.imagePath != nullptr) outcome.options.imagePath = "(set)";
    return outcome;
}

const char* const kUsageText =
    "Usage: update [-p <int>] [-b] [-l] [-w] <image>\n"
    " -p <int>: specifies the serial port (1 for COM1, 2 for COM2...),\n"
    "           valid values are 1,2,3,4, default is 1\n"
    " -b      : access quorcom bootloader via jumper,\n"
    "           by default \"quorcom\" is sent to access bootloader\n"
    " -n      : use factory settings of new image (must be supported by old image)\n"
    " -l      : loop mode - update several boxes with the same image\n"
    " -w      : wakes you up ;-) if the download is finished\n"
    " -V      : prints Version number and supported bootloader versions\n"
    "           and exit\n"
    " -2      : update version that is compressed with bzip2\n"
    " -s      : update via satellite, transponder has to be set in service menue !\n"
    "                    image can be: eol  Europe Online\n"
    "                                  orb  ORB\n"
    "                                  mix  looking for one available method\n"
    " -c      : use uncompressed file as input, compress and update\n"
    " -9\t     : send keywords with 9600Baud\n"
    " -i      : irdeto image\n"
    " -7      : ZK7 box\n"
    " <image> : is the padded application image\n";

}  // namespace

TEST(CommandLine, NoArgumentPrintsTheUsageTextOnStandardError) {
    Arguments arguments({});
    CommandOptions options;
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    EXPECT_EQ(parseCommandLine(arguments.count(), arguments.values(), options), CommandLineResult::ShowUsage);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), kUsageText);
}

TEST(CommandLine, VersionListingShowsRevisionHeadingsAndEveryTableRow) {
    const ParseOutcome outcome = parse({"-V"});
    EXPECT_EQ(outcome.result, CommandLineResult::ShowVersion);
    EXPECT_EQ(outcome.err, "");

    const std::string& out = outcome.out;
    const std::string firstLine = "update 1.39\n";
    ASSERT_EQ(out.compare(0, firstLine.size(), firstLine), 0) << out;
    const std::size_t copyrightEnd = out.find('\n', firstLine.size());
    ASSERT_NE(copyrightEnd, std::string::npos);
    const std::string copyright = out.substr(firstLine.size(), copyrightEnd - firstLine.size());
    EXPECT_NE(copyright.find("Copyright"), std::string::npos) << copyright;

    std::string expectedRest = "This program supports the following\nbootloader versions:\n";
    // One line a row of the table, in its order: a version with several image types stands several times.
    for (const auto& row : test_support::kExpectedRows) expectedRest += std::string("\t\t\t") + row.version + "\n";
    expectedRest += "\n";
    EXPECT_EQ(out.substr(copyrightEnd + 1), expectedRest);
}

TEST(CommandLine, OptionsBeforeTheImageSetTheirFieldsAndOnlyTheFirstLetterCounts) {
    ParseOutcome outcome = parse({"-lw", "-b", "-n", "-9", "-i", "-7", "-x", "-s", "-p", "3", "image.pad"});
    ASSERT_EQ(outcome.result, CommandLineResult::Run);
    const CommandOptions& o = outcome.options;
    EXPECT_TRUE(o.loopMode);
    EXPECT_FALSE(o.beepAtEnd);
    EXPECT_FALSE(o.sendKeyword);
    EXPECT_STREQ(o.keyword, " quornew");
    EXPECT_TRUE(o.slowKeyword);
    EXPECT_TRUE(o.irdetoMode);
    EXPECT_TRUE(o.zk7Box);
    EXPECT_TRUE(o.overrideImageHeader);
    EXPECT_TRUE(o.satelliteMode);
    EXPECT_EQ(o.port, 3);
    EXPECT_NE(o.imagePath, nullptr);
    EXPECT_EQ(outcome.out + outcome.err, "");

    outcome = parse({"-wl", "image.pad"});
    EXPECT_TRUE(outcome.options.beepAtEnd);
    EXPECT_FALSE(outcome.options.loopMode);

    outcome = parse({"image.pad"});
    EXPECT_EQ(outcome.options.port, 1);
    EXPECT_TRUE(outcome.options.sendKeyword);
    EXPECT_STREQ(outcome.options.keyword, " quorcom");
    EXPECT_FALSE(outcome.options.compressedImage);
}

TEST(CommandLine, CompressionOptions) {
    ParseOutcome outcome = parse({"-2", "image.pad"});
    EXPECT_TRUE(outcome.options.compressedImage);
    EXPECT_FALSE(outcome.options.compressImage);
    outcome = parse({"-c", "image.pad"});
    EXPECT_TRUE(outcome.options.compressedImage);
    EXPECT_TRUE(outcome.options.compressImage);
}

TEST(CommandLine, NothingMayFollowTheImageName) {
    Arguments arguments({"-p", "2", "image.pad"});
    CommandOptions options;
    testing::internal::CaptureStderr();
    EXPECT_EQ(parseCommandLine(arguments.count(), arguments.values(), options), CommandLineResult::Run);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(options.port, 2);
    EXPECT_EQ(options.imagePath, arguments.pointers[3]);

    // Options, a second file, an empty argument: each would be lost.
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{"-p", "2", "image.pad", "-p", "3"}, "\"-p\" comes after the image name image.pad: options come before the image.\n"},
        {{"image.pad", "-V"}, "\"-V\" comes after the image name image.pad: options come before the image.\n"},
        {{"image.pad", "--trace", "t.txt"}, "\"--trace\" comes after the image name image.pad: options come before the image.\n"},
        {{"image.pad", "other.pad"}, "\"other.pad\" comes after the image name image.pad: options come before the image.\n"},
        {{"image.pad", ""}, "\"\" comes after the image name image.pad: options come before the image.\n"},
        {{"-s", "orb", "-l"}, "\"-l\" comes after the satellite method orb: options come before the method.\n"},
    };
    for (const auto& [list, message] : cases) {
        const ParseOutcome outcome = parse(list);
        EXPECT_EQ(outcome.result, CommandLineResult::Invalid) << list.back();
        EXPECT_EQ(outcome.err, message);
        EXPECT_EQ(outcome.out, "");
    }
}

TEST(CommandLine, InvalidOptionsAreReportedWithTheWholeArgument) {
    ParseOutcome outcome = parse({"-q", "-V"});
    EXPECT_EQ(outcome.result, CommandLineResult::Invalid);
    EXPECT_EQ(outcome.err, "-q is an invalid option.\n");
    EXPECT_EQ(outcome.out, "");

    outcome = parse({"-quiet", "image.pad"});
    EXPECT_EQ(outcome.err, "-quiet is an invalid option.\n");

    outcome = parse({"-", "image.pad"});
    EXPECT_EQ(outcome.result, CommandLineResult::Invalid);
    EXPECT_EQ(outcome.err, "- is an invalid option.\n");

    outcome = parse({"-v", "image.pad"});  // letters are case-sensitive
    EXPECT_EQ(outcome.err, "-v is an invalid option.\n");

    // -V acts when reached: options after it are never read.
    outcome = parse({"-b", "-V", "-q"});
    EXPECT_EQ(outcome.result, CommandLineResult::ShowVersion);
    EXPECT_EQ(outcome.err, "");
}

TEST(CommandLine, PortValuesAreConvertedLikeAtoiAndChecked) {
    struct Case {
        const char* value;
        const char* message;  // nullptr: accepted
        std::int32_t port;
    };
    const Case cases[] = {
        {"5", "5is an invalid port number.\n", 0},
        {"0", "0is an invalid port number.\n", 0},
        {"x", "0is an invalid port number.\n", 0},
        {"-3", "-3is an invalid port number.\n", 0},
        {"-b", "0is an invalid port number.\n", 0},  // the value is taken even when it looks like an option
        {"99999999999", "2147483647is an invalid port number.\n", 0},
        {" 4", nullptr, 4},
        {"+2", nullptr, 2},
        {"3abc", nullptr, 3},
    };
    for (const Case& c : cases) {
        const ParseOutcome outcome = parse({"-p", c.value, "image.pad"});
        if (c.message != nullptr) {
            EXPECT_EQ(outcome.result, CommandLineResult::Invalid) << c.value;
            EXPECT_EQ(outcome.err, c.message) << c.value;
        } else {
            EXPECT_EQ(outcome.result, CommandLineResult::Run) << c.value;
            EXPECT_EQ(outcome.options.port, c.port) << c.value;
            EXPECT_EQ(outcome.err, "") << c.value;
        }
    }

    // -p with nothing after it has no value: port 0.
    const ParseOutcome last = parse({"-b", "-p"});
    EXPECT_EQ(last.result, CommandLineResult::Invalid);
    EXPECT_EQ(last.err, "0is an invalid port number.\n");

    // A bad port before -V ends the program first.
    const ParseOutcome before = parse({"-p", "7", "-V"});
    EXPECT_EQ(before.result, CommandLineResult::Invalid);
    EXPECT_EQ(before.out, "");
}

// Device paths are POSIX names; the Windows names have their own cases.
#if !defined(_WIN32)
namespace {

std::string shownPort(std::vector<std::string> list) {
    Arguments arguments(std::move(list));
    const ParseOutcome outcome = parseKept(arguments);
    EXPECT_EQ(outcome.result, CommandLineResult::Run) << outcome.err;
    const platform::PortName port = chosenPort(outcome.options);
    return port.device + " as " + port.shown;
}

}  // namespace

TEST(LongOptions, PortNamesTheDeviceAndTheLaterOfPortAndPCounts) {
    // The missing paths stand for adapters not plugged in yet: accepted here, refused at the opening.
    EXPECT_EQ(shownPort({"--port", "/nonexistent/ttyUSB0", "image.pad"}), "/nonexistent/ttyUSB0 as /nonexistent/ttyUSB0");
    EXPECT_EQ(shownPort({"--port=/nonexistent/ttyACM1", "image.pad"}), "/nonexistent/ttyACM1 as /nonexistent/ttyACM1");
    EXPECT_EQ(shownPort({"--port", "/nonexistent/a", "--port", "/nonexistent/b", "image.pad"}),
              "/nonexistent/b as /nonexistent/b");
    EXPECT_EQ(shownPort({"-p", "2", "--port", "/nonexistent/b", "image.pad"}), "/nonexistent/b as /nonexistent/b");
    // Like -p, --port takes the next argument even when it looks like an option.
    EXPECT_EQ(shownPort({"--port", "-b", "image.pad"}), "-b as -b");

    ASSERT_EQ(setenv("UPDATE_COM3", "/nonexistent/ttyUSB3", 1), 0);
    EXPECT_EQ(shownPort({"--port", "/nonexistent/b", "-p", "3", "image.pad"}), "/nonexistent/ttyUSB3 as 3");
    unsetenv("UPDATE_COM3");
}

TEST(LongOptions, APortThatCannotBeADeviceEndsTheProgramWithItsName) {
    const std::string longName = "/dev/" + std::string(5000, 'a');
    struct Case {
        std::vector<std::string> arguments;
        std::string message;
    } cases[] = {
        {{"--port"}, "--port needs a device name.\n"},
        {{"-b", "--port", ""}, "--port needs a device name.\n"},
        {{"--port=", "image.pad"}, "--port needs a device name.\n"},
        {{"--port", "/", "image.pad"}, "/ is a directory, not a serial port.\n"},
        {{"--port", longName, "image.pad"}, longName + " is longer than this system allows for a device name.\n"},
        // Checked when the scan reaches it, so a later -V is never read.
        {{"--port", "/", "-V"}, "/ is a directory, not a serial port.\n"},
    };
    for (const Case& c : cases) {
        const ParseOutcome outcome = parse(c.arguments);
        EXPECT_EQ(outcome.result, CommandLineResult::Invalid) << c.message;
        EXPECT_EQ(outcome.err, c.message);
        EXPECT_EQ(outcome.out, "");
    }
    const test_support::TempDirectory dir{"update-port-"};
    const std::string plainFile = dir.file("port");
    test_support::writeWholeFile(plainFile, "");
    const ParseOutcome file = parse({"--port", plainFile, "image.pad"});
    EXPECT_EQ(file.err, plainFile + " is a regular file, not a serial port.\n");
}
#endif

TEST(LongOptions, HelpAndListPortsEndTheScanAndOtherDoubleDashesStayInvalid) {
    ParseOutcome outcome = parse({"-b", "--help", "--foo"});
    EXPECT_EQ(outcome.result, CommandLineResult::ShowHelp);
    EXPECT_EQ(outcome.err, "");
    ASSERT_EQ(outcome.out.rfind(kUsageText, 0), 0u) << outcome.out;
    const std::string longOptions = outcome.out.substr(std::string(kUsageText).size());
    for (const char* option : {" -x      : ", "--port <device>", "--list-ports", "--help", "--version", "UPDATE_COM1"}) {
        EXPECT_NE(longOptions.find(option), std::string::npos) << option;
    }

    outcome = parse({"-b", "--version", "-q"});
    EXPECT_EQ(outcome.result, CommandLineResult::ShowVersion);
    EXPECT_EQ(outcome.out, "update 1.39\n");
    EXPECT_EQ(outcome.err, "");

    outcome = parse({"--list-ports", "-q"});
    EXPECT_EQ(outcome.result, CommandLineResult::ListPorts);
    EXPECT_EQ(outcome.out + outcome.err, "");

    for (const char* invalid :
         {"--", "--foo", "--portx", "--help=yes", "--list-ports=all", "--list", "--Port", "--version=1", "-h", "-?"}) {
        outcome = parse({invalid, "image.pad"});
        EXPECT_EQ(outcome.result, CommandLineResult::Invalid) << invalid;
        EXPECT_EQ(outcome.err, std::string(invalid) + " is an invalid option.\n");
    }
}

TEST(LongOptions, TraceTakesAFileNameAndTraceFullStandsAlone) {
    Arguments arguments({"--trace", "-b", "--trace-full", "image.pad"});
    ParseOutcome outcome = parseKept(arguments);
    EXPECT_EQ(outcome.result, CommandLineResult::Run);
    // Like --port, the next argument is the value even when it looks like an option.
    ASSERT_NE(outcome.options.tracePath, nullptr);
    EXPECT_STREQ(outcome.options.tracePath, "-b");
    EXPECT_TRUE(outcome.options.sendKeyword);
    EXPECT_TRUE(outcome.options.traceFull);

    Arguments inlineValue({"--trace=t.txt", "image.pad"});
    outcome = parseKept(inlineValue);
    ASSERT_NE(outcome.options.tracePath, nullptr);
    EXPECT_STREQ(outcome.options.tracePath, "t.txt");
    EXPECT_FALSE(outcome.options.traceFull);

    for (const std::vector<std::string>& missing : {std::vector<std::string>{"--trace"}, {"--trace=", "image.pad"}}) {
        outcome = parse(missing);
        EXPECT_EQ(outcome.result, CommandLineResult::Invalid);
        EXPECT_EQ(outcome.err, "--trace needs a file name.\n");
    }
    outcome = parse({"--trace-full=yes", "image.pad"});
    EXPECT_EQ(outcome.err, "--trace-full=yes is an invalid option.\n");
}

TEST(LongOptions, PortsRepeatAndRefuseAPortNamedOtherwise) {
    Arguments arguments({"--ports", "/dev/a,/dev/b", "--ports=usb", "--report", "r.jsonl", "--box-timeout", "90.5",
                         "image.pad"});
    ParseOutcome outcome = parseKept(arguments);
    ASSERT_EQ(outcome.result, CommandLineResult::Run) << outcome.err;
    ASSERT_EQ(outcome.options.portLists.size(), 2u);
    EXPECT_STREQ(outcome.options.portLists[0], "/dev/a,/dev/b");
    EXPECT_STREQ(outcome.options.portLists[1], "usb");
    EXPECT_STREQ(outcome.options.reportPath, "r.jsonl");
    EXPECT_DOUBLE_EQ(outcome.options.boxTimeoutS, 90.5);

    const char* const kRefusal = "--ports names the ports itself: give every port in --ports, without -p or --port.\n";
    for (const std::vector<std::string>& both :
         {std::vector<std::string>{"-p", "2", "--ports", "/dev/a", "image.pad"},
          {"--ports", "/dev/a", "--port", "COM2", "image.pad"}}) {
        outcome = parse(both);
        EXPECT_EQ(outcome.result, CommandLineResult::Invalid);
        EXPECT_EQ(outcome.err, kRefusal);
    }
}

TEST(LongOptions, BoxTimeoutTakesSecondsAboveZeroOnly) {
    for (const char* bad : {"0", "-5", "abc", "10s", "", "inf", "nan"}) {
        const ParseOutcome outcome = parse({"--box-timeout", bad, "image.pad"});
        EXPECT_EQ(outcome.result, CommandLineResult::Invalid) << bad;
        EXPECT_EQ(outcome.err, std::string("--box-timeout needs a number of seconds above 0, not ") + bad + ".\n");
    }
    EXPECT_EQ(parse({"--report=", "image.pad"}).err, "--report needs a file name.\n");
}
