// Spawned by the registry tests: writes REG_DWORD "v<i>" = i under HKLM\SOFTWARE\Kill in the
// store named by TOLVANE_REGISTRY, one committed write per iteration, and prints i after each
// successful write, until it is killed. It stops by itself after a bounded number of writes, or
// when its reader goes away (the write to stdout then fails), so it can never be left running.
#include <cstdio>
#include <string>

#include "platform/Registry.h"

using namespace platform;

int main() {
  HKEY key = nullptr;
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Kill", 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                      nullptr, &key, nullptr) != ERROR_SUCCESS)
    return 2;
  for (DWORD i = 0; i < 1000000; ++i) {
    std::string narrow = "v" + std::to_string(i);
    std::u16string name(narrow.begin(), narrow.end());
    if (RegSetValueExW(key, name.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&i), sizeof i) != ERROR_SUCCESS)
      return 3;
    if (std::printf("%u\n", static_cast<unsigned>(i)) < 0 || std::fflush(stdout) != 0) return 4;
  }
  RegCloseKey(key);
  return 0;
}
