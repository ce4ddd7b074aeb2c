// The far end's side of the line toward the PC, as the simulated line, boxsim
// and its replay all carry a peer's bytes.
#include <gtest/gtest.h>

#include "far_end_transmitter.h"

namespace {

using simline::FarEndTransmitter;
using simline::Peer;

TEST(FarEndTransmitter, BytesCrossOneAfterTheOtherAtTheirSpeedAndTogetherOnesArriveWithTheLast) {
    FarEndTransmitter line;
    const std::uint64_t byte9600 = simline::byteTimeUs(9600);  // 1042 us: ten bit times
    line.send({{{'a', 'b'}, 9600, false}}, 1000);
    // Sent while the line is still busy: it starts when "b" has arrived.
    line.send({{{'c', 'd'}, 115200, true}}, 1500);
    ASSERT_EQ(line.nextArrivalUs(), 1000 + byte9600);
    EXPECT_EQ(line.arrived(1000 + byte9600), 1u);
    EXPECT_EQ(line.at(1).doneUs, 1000 + 2 * byte9600);
    const std::uint64_t together = 1000 + 2 * byte9600 + 2 * simline::byteTimeUs(115200);
    EXPECT_EQ(line.at(2).doneUs, together);
    EXPECT_EQ(line.at(3).doneUs, together);
    EXPECT_EQ(line.arrived(together - 1), 2u);
    EXPECT_EQ(line.arrived(together, 3), 3u);
    for (int i = 0; i < 4; ++i) line.pop();
    EXPECT_EQ(line.nextArrivalUs(), simline::kNoEvent);

    // After a reset the line is free at once; an instant line takes no time.
    line.send({{{'e'}, 9600, false}}, together);
    line.reset(together);
    line.send({{{'f'}, 9600, false}}, together);
    EXPECT_EQ(line.nextArrivalUs(), together + byte9600);
    FarEndTransmitter instant(true);
    instant.send({{{'g', 'h'}, 9600, false}}, 50);
    EXPECT_EQ(instant.arrived(50), 2u);
}

TEST(FarEndTransmitter, APcListeningAtAnotherSpeedHearsEveryByteGarbled) {
    EXPECT_EQ(simline::heard('A', 115200, 115200), 'A');
    for (int byte = 0; byte < 256; ++byte) {
        const std::uint8_t heard = simline::heard(static_cast<std::uint8_t>(byte), 9600, 115200);
        EXPECT_NE(heard, byte);
        EXPECT_NE(heard & 0x80, 0);
    }
}

}  // namespace
