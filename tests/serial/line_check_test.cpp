// What a person is told of the handshake and of CTS, over the simulated line.
#include <gtest/gtest.h>

#include "serial/line_check.h"
#include "simplatform/sim_platform.h"

namespace {

struct LineCheck : testing::Test {
    void TearDown() override {
        if (port != platform::kInvalidPort && simline::portOpen()) platform::closePort(port);
        simline::uninstall();
        forgetLineAdvice();
    }
    // Opens COM1 with the handshake, then asks twice, as a reopen would.
    std::string told(simline::LineOptions options, bool handshake = true) {
        simline::install(peer, options);
        testing::internal::CaptureStderr();
        port = platform::openPort("COM1");
        EXPECT_NE(port, platform::kInvalidPort);
        EXPECT_TRUE(platform::configureLine(port, 115200, handshake));
        for (int i = 0; i < 2; ++i) {
            if (handshake) checkHandshakeKept(port, true);
            adviseIfBoxNotReady(port, true);
        }
        return testing::internal::GetCapturedStderr();
    }
    simline::ScriptedPeer peer{{}};
    platform::PortHandle port = platform::kInvalidPort;
};

TEST_F(LineCheck, AReadyBoxOnAFullCableIsWorthNoWord) { EXPECT_EQ(told({}), ""); }

TEST_F(LineCheck, ADroppedHandshakeIsToldOnce) {
    EXPECT_EQ(told({.driverDropsHandshake = true}),
              "Note: the port's driver does not keep the hardware handshake (RTS/CTS); a box may lose data while "
              "it programs.\n");
}

TEST_F(LineCheck, CtsOffWithTheHandshakeOnIsAdvisedOnce) {
    EXPECT_EQ(told({.threeWireCable = true}), "CTS is off: the box is switched off, or the cable has no RTS/CTS.\n");
}

TEST_F(LineCheck, WithoutTheHandshakeCtsMeansNothing) {
    peer.accepting = false;
    EXPECT_EQ(told({}, false), "");
}

}  // namespace
