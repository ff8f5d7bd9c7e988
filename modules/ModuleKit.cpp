#include "modules/ModuleKit.h"

#include <string>

#include "platform/Module.h"

namespace tolvane_kit {

const char16_t* ModuleFileName() {
  // The object this very function was linked into: the module, whoever calls.
  static const std::u16string name = [] {
    std::u16string path = platform::ModulePathOf(reinterpret_cast<const void*>(&ModuleFileName));
    std::size_t slash = path.rfind(u'/');
    return slash == std::u16string::npos ? path : path.substr(slash + 1);
  }();
  return name.c_str();
}

std::int32_t ParseDebugArg(const char16_t* argument) { return TTraceRegistry::ParseDebugArg(ModuleFileName(), argument); }

void SpecificDebugCommand(TModuleCommandHandler handler, const char16_t* key, std::int32_t count,
                          const char16_t* const* args) {
  if (handler != nullptr && key != nullptr) handler(key, count < 0 ? 0 : count, count > 0 ? args : nullptr);
}

}  // namespace tolvane_kit
