// Checks on addresses of the process, for values that come from outside (an environment
// variable) and must not be trusted blindly.
#pragma once

#include <cstddef>
#include <cstdint>

namespace platform {

// Copies size bytes from an address of this process without faulting; false when any of them
// is not readable.
bool ReadOwnMemory(std::uintptr_t address, void* out, std::size_t size);

// True when the address lies in the code of a loaded module of this process.
bool IsLoadedCode(std::uintptr_t address);

}  // namespace platform
