// Loaded modules (shared objects and the executable) of the process.
#pragma once

#include <string>

namespace platform {

// The full path of the module whose code or data holds the address; empty when unknown.
std::u16string ModulePathOf(const void* address);

}  // namespace platform
