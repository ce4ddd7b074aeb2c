// For the Win32 platform functions: takes the code a failed system call left
// into the program's last-error value.
#pragma once

namespace platform {

// Always false, so that a function can end with `return failWithSystemError();`.
bool failWithSystemError();

}  // namespace platform
