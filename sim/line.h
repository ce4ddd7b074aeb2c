// What the serial line does to a byte sent at one speed and heard at another.
// Shared by the box model, boxsim and the simulated platform of the tests.
#pragma once

#include <cstdint>

namespace simline {

// What a byte sent at one speed looks like to a receiver listening at another.
// Deterministic, and never the byte itself. The result always has its top bit
// set, so garbled bytes can never spell a keyword, a key, a prompt or a
// progress character: a wrong speed switch breaks the dialogue instead of
// passing by luck.
std::uint8_t garble(std::uint8_t byte, std::uint32_t sentBaud, std::uint32_t listeningBaud);

}  // namespace simline
