// A fresh pseudo-terminal per test, published as COM1. COM2 to COM4 point at a
// path that does not exist, so no test can ever reach a real serial device.
#pragma once

#include "platform/platform.h"

#include <gtest/gtest.h>
#include <termios.h>

#include <string>

class PtyTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Opens COM1 and sets the raw line; fails the test if either step fails.
    platform::PortHandle openConfigured(std::uint32_t baud, bool hardwareHandshake);
    termios farEndView() const;  // the slave's settings, read through the master
    void closeMaster();

    int master = -1;
    int slave = -1;
    std::string slavePath;
    termios original{};  // the slave's settings before the program touched it
};

bool sameSettings(const termios& a, const termios& b);
