// The system's own port calls, under the ones platform.h declares: those add
// the line observer around these (observed_port.cpp), once for every system.
#pragma once

#include "platform/platform.h"

namespace platform {

PortHandle openPortRaw(const char* device);
bool configureLineRaw(PortHandle port, std::uint32_t baud, bool hardwareHandshake);
bool getBaudRateRaw(PortHandle port, std::uint32_t& baud);
bool setBaudRateRaw(PortHandle port, std::uint32_t baud);
bool readPortRaw(PortHandle port, void* buffer, std::uint32_t size, std::uint32_t& received);
bool writePortRaw(PortHandle port, const void* data, std::uint32_t size, std::uint32_t& sent);
void closePortRaw(PortHandle port);

}  // namespace platform
