// Waking the box, the satellite request and the refusal of an unknown boot
// loader, end to end over a pseudo-terminal.
#include <gtest/gtest.h>

#include "e2e/box_session.h"

namespace {

TEST(SatelliteRequest, EachMethodSendsItsKeyAt115200) {
    for (auto [method, key] : {std::pair{"eol", "5"}, {"orb", "6"}, {"Mix", "8"}}) {
        test_support::TempDirectory dir;
        auto session = e2e::runSession(dir, {"--bootloader", "4.20", "--expect", std::string("satellite:") + key},
                                       {"-s", method});
        EXPECT_EQ(session.update.exitCode, 0) << method << session.update.err;
        EXPECT_EQ(session.update.out,
                  "\n\nBootloader version 4.20 accessed!\n Done!\nPlease be patient and wait for update to be "
                  "finished..\nIt will last for about 10min\n");
        EXPECT_EQ(session.boxsim.exitCode, 0) << session.boxsim.out << session.boxsim.err;
        EXPECT_NE(session.boxsim.out.find("115200"), std::string::npos) << session.boxsim.out;
    }
}

}  // namespace
