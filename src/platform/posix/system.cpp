// Clock, sleep, local time and beep.
#include "platform/platform.h"
