// Waking the box's boot loader and learning its version.
#pragma once

#include <cstdint>

#include "control/command_line.h"
#include "control/version.h"
#include "platform/platform.h"


struct AccessResult {
    bool accessed;             // false: the message was printed and the port closed
    platform::PortHandle port;           // the port in use (reopened after an aborted read)
    BootloaderVersion version;
};

// The speed the port opens at for a box with an image of this type.
std::uint32_t openingSpeed(std::uint8_t imageType);

// Opens the user's port at the speed, in the irdeto mode and with the handshake
// the options choose. platform::kInvalidPort after reporting why.
platform::PortHandle openBoxPort(const CommandOptions& options, const platform::PortName& portName, std::uint32_t speed);

// Up to 1 + retries attempts of keyword, irdeto handshake and version query.
// portName is the port the user chose; a reopening opens it again and the
// messages name it.
AccessResult accessBootloader(platform::PortHandle port, const CommandOptions& options, const platform::PortName& portName,
                              std::uint8_t imageType, std::int32_t retries = 15);

// One keyword transmission. false: the message was printed and the port closed.
bool sendAccessKeyword(platform::PortHandle port, const CommandOptions& options, const platform::PortName& portName,
                       std::uint8_t imageType);

// Runs until the box has echoed four characters in a row: true. false with
// UPD_ERR_TIMEOUT when limitMs passed first (limitMs 0 means no limit), or with
// the write's code when the line has gone (platform::lineHasGone).
bool irdetoHandshake(platform::PortHandle port, std::uint32_t limitMs = 0);

// 1 with the version; 0 with UPD_ERR_TIMEOUT, the code of a failed read, or
// (line without a version) the code chosen for that case.
int queryBootloaderVersion(platform::PortHandle port, BootloaderVersion& version, std::uint32_t limitMs);
