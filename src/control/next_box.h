// Unattended box after box on one port: telling the box just served, still on
// the bench, from the next one put there.
#pragma once

#include "control/access.h"

// Read from UPDATE_NEXT_BOX, which the bench sets for the process it starts on
// a port: "first" waits for a box however long it takes; "after" first waits
// for the box served before to leave.
enum class NextBox { No, First, After };
NextBox nextBoxWanted();

// The rule: a box that answers the keyword while the box served before may
// still be on the bench is that box; it is let go (menu key "1") and not
// updated again. Only after no box has answered for kGoneAfterMs does the
// next answer count as a new box. With -b no keyword can be sent: a box
// shows its version only when it is switched on, and every version line
// counts as a new box.
inline constexpr std::uint32_t kGoneAfterMs = 5000;

// Waits without limit, probing with the keyword; returns the new box accessed
// (its version printed as accessBootloader prints it), or a failure to reopen
// the port (message printed, port closed).
AccessResult awaitNextBox(platform::PortHandle port, const CommandOptions& options, const platform::PortName& portName,
                          std::uint8_t imageType, bool afterBox);
