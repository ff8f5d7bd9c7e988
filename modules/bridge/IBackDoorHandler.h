// A named command handler of the console's own module, registered with TBackDoorsManagerImp
// under a key and run by `specdbgcmd <module> <key> ...`.
#pragma once

#include <cstdint>

#include "console/ConsoleApi.h"

class TOLVANE_CONSOLE_API IBackDoorHandler {
 public:
  virtual ~IBackDoorHandler() = default;
  // The arguments that followed the key: `count` strings, never null, valid only during the
  // call; `args` is null when `count` is 0. Runs on the console thread under the registry's lock.
  virtual void OnBackDoor(std::int32_t count, const char16_t* const* args) = 0;
};
