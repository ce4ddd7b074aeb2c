// The DCB a port gets back when the program lets it go: the one it had
// before, except that a modem line the dialogue holds low stays low. The
// driver drops DTR and RTS when the handle is closed; raising them for the
// moment between would be a pulse that a box without handshake lines (ZK7)
// takes for a reset.
#pragma once

#include <windows.h>

namespace platform {

inline DCB stateToRestore(DCB saved, const DCB& current) {
    if (current.fDtrControl == DTR_CONTROL_DISABLE) saved.fDtrControl = DTR_CONTROL_DISABLE;
    if (current.fRtsControl == RTS_CONTROL_DISABLE) saved.fRtsControl = RTS_CONTROL_DISABLE;
    return saved;
}

}  // namespace platform
