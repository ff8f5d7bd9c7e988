// The current process.
#pragma once

#include <string>

#include "platform/Win32Types.h"

namespace platform {

DWORD CurrentProcessId();

// The full path of the process's executable file; empty when it cannot be read.
std::u16string ExecutablePath();

}  // namespace platform
