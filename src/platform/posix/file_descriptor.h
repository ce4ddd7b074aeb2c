// The descriptor under a file handle, for the signal path's write(2).
#pragma once

#include "platform/platform.h"

namespace platform {

int descriptorOf(FileHandle file);

}  // namespace platform
