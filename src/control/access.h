// Waking the box's boot loader and learning its version.
#pragma once

#include <cstdint>

#include "control/command_line.h"
#include "control/version.h"
#include "platform/platform.h"

using platform::PortHandle;

struct AccessResult {
    bool accessed;             // false: the message was printed and the port closed
    PortHandle port;           // the port in use (reopened after an aborted read)
    BootloaderVersion version;
};

// Up to 1 + retries attempts of keyword, irdeto handshake and version query.
// portName is the port the user chose; a reopening opens it again and the
// messages name it.
AccessResult accessBootloader(PortHandle port, const CommandOptions& options, const platform::PortName& portName,
                              std::uint8_t imageType, std::int32_t retries = 15);

// One keyword transmission. false: the message was printed and the port closed.
bool sendAccessKeyword(PortHandle port, const CommandOptions& options, const platform::PortName& portName,
                       std::uint8_t imageType);

// Runs until the box has echoed four characters in a row: true, also when the
// line has gone (the version query meets that). false with UPD_ERR_TIMEOUT when
// limitMs passed first; limitMs 0 means no limit.
bool irdetoHandshake(PortHandle port, std::uint32_t limitMs = 0);

// 1 with the version; 0 with UPD_ERR_TIMEOUT, the code of a failed read, or
// (line without a version) the code chosen for that case.
int queryBootloaderVersion(PortHandle port, BootloaderVersion& version, std::uint32_t limitMs);
