#include "platform/Module.h"

#include <cstring>
#include <string_view>
#include <dlfcn.h>
#include <unistd.h>

#include "platform/TextConvert.h"

namespace platform {

std::u16string ModulePathOf(const void* address) {
  Dl_info info{};
  if (dladdr(address, &info) == 0 || info.dli_fname == nullptr) return std::u16string();
  std::string path = info.dli_fname;
  // The executable may be reported by the name it was started with; /proc knows its full path.
  if (path.find('/') == std::string::npos) {
    char exe[4096];
    ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (n > 0) path.assign(exe, static_cast<std::size_t>(n));
    // A program replaced on disk while it runs reads as "<path> (deleted)".
    constexpr std::string_view kReplaced = " (deleted)";
    if (path.ends_with(kReplaced)) path.resize(path.size() - kReplaced.size());
  }
  std::u16string wide;
  AppendNarrowToUtf16(path.data(), path.size(), wide);
  return wide;
}

}  // namespace platform
