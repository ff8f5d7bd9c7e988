// The module bridge: the console's calls into the Module_* exports of the process's modules.
#include <cerrno>
#include <cstdint>
#include <mutex>

#include "console/TDiagnosticServer.h"
#include "modules/TConsole.h"
#include "modules/bridge/TBackDoorsManagerImp.h"

namespace {

using ModuleList = std::vector<std::unique_ptr<platform::LoadedModule>>;

// The exports, as the modules define them.
using ParseDebugArgEx = std::int32_t (*)(const char16_t* moduleName, const char16_t* argument);
using ParseDebugArg = std::int32_t (*)(const char16_t* argument);
using SetConsoleListener = void (*)(IConsoleListener* listener);
using SetFlag = void (*)(std::int32_t on);
using SpecificCommand = void (*)(const char16_t* key, std::int32_t count, const char16_t* const* args);

// A constant of the console's own module: the address that finds the module.
constexpr char kOwnModuleMark = 0;

// Calls `call(export)` for every module that has the export.
template <class Export, class Call>
void ForEachExport(const char* name, Call&& call) {
  ModuleList modules;
  if (!TDiagnosticServer::GetLoadedDlls(modules)) return;
  for (const auto& module : modules)
    if (void* address = module->FindExport(name)) call(reinterpret_cast<Export>(address));
}

// A module's base name as the exports take it: at most 1023 characters.
std::u16string ExportName(const platform::LoadedModule& module) { return module.BaseName().substr(0, 1023); }

}  // namespace

bool TDiagnosticServer::GetLoadedDlls(ModuleList& modules) {
  if (platform::ListLoadedModules(modules)) return true;
  TConsole::PrintLine(u"Unable to get a snapshot of the current process (Error = 0x%08x).", errno);
  return false;
}

std::int32_t TDiagnosticServer::ParseDebugArgInModules(const TStringEx& argument) {
  if (argument.IsEmpty()) return 0;
  ModuleList modules;
  if (!GetLoadedDlls(modules)) return 0;
  std::int32_t answered = 0;
  for (const auto& module : modules) {
    if (void* ex = module->FindExport("Module_ParseDebugArgEx")) {
      answered |= reinterpret_cast<ParseDebugArgEx>(ex)(ExportName(*module).c_str(), argument.c_str());
    } else if (void* plain = module->FindExport("Module_ParseDebugArg")) {
      answered |= reinterpret_cast<ParseDebugArg>(plain)(argument.c_str());
    }
  }
  return answered;
}

void TDiagnosticServer::SetConsoleListenerInModules(TDiagnosticServer* console) {
  IConsoleListener* listener = console;
  // Called before every command line and for every new client. Giving the same modules the same
  // listener again changes nothing, and the walk opens and closes every module: it is made only
  // when the listener changed or the process loaded or unloaded a shared object since the last
  // one. The generation is read before the walk, so an object loaded during it makes the next
  // call walk again.
  static std::mutex lock;
  static IConsoleListener* given = nullptr;
  static std::uint64_t givenAt = 0;
  static bool any = false;
  std::lock_guard<std::mutex> hold(lock);
  const std::uint64_t generation = platform::LoadedModulesGeneration();
  if (any && given == listener && givenAt == generation) return;
  ForEachExport<SetConsoleListener>("Module_SetConsoleListener", [listener](SetConsoleListener set) { set(listener); });
  any = true;
  given = listener;
  givenAt = generation;
}

void TDiagnosticServer::SetTimeStampInModules(bool on) {
  ForEachExport<SetFlag>("Module_SetTimeStamp", [on](SetFlag set) { set(on ? 1 : 0); });
}

void TDiagnosticServer::SetPrintCurrentModInModules(bool on) {
  ForEachExport<SetFlag>("Module_SetPrintCurrentMod", [on](SetFlag set) { set(on ? 1 : 0); });
}

void TDiagnosticServer::SpecificDebugCommandInModules(const TStringExArray& args) {
  if (args.GetCount() < 2) {
    TConsole::PrintLine(u"  Bad usage, check proper syntax with 'help'");
    return;
  }
  const TStringEx& selector = args[0];
  const TStringEx& key = args[1];
  // Pointers into `args`, which outlives every call below; c_str() is never null.
  std::vector<const char16_t*> rest;
  for (std::int32_t i = 2; i < args.GetCount(); ++i) rest.push_back(args[i].c_str());
  const std::int32_t count = static_cast<std::int32_t>(rest.size());
  const char16_t* const* array = count == 0 ? nullptr : rest.data();

  ModuleList modules;
  GetLoadedDlls(modules);
  const platform::LoadedModule* own = nullptr;
  for (const auto& module : modules)
    if (module->Contains(&kOwnModuleMark)) own = module.get();
  if (own == nullptr) {
    if (auto module = platform::ModuleContaining(&kOwnModuleMark)) {
      own = module.get();
      modules.push_back(std::move(module));
    }
  }

  const bool all = EqualsNoCase(selector.c_str(), selector.Length(), u"ALL", 3);
  for (const auto& module : modules) {
    std::u16string name = ExportName(*module);
    const auto length = static_cast<std::uint32_t>(name.size());
    if (!all && !EqualsNoCase(name.c_str(), length, selector.c_str(), selector.Length())) continue;
    if (void* address = module->FindExport("Module_SpecificDebugCommand")) {
      TConsole::PrintLine(u"%s: ", name.c_str());
      reinterpret_cast<SpecificCommand>(address)(key.c_str(), count, array);
    } else if (module.get() == own) {
      TConsole::PrintLine(u"%s: ", name.c_str());
      TBackDoorsManagerImp::Instance().Execute(key.c_str(), count, array);
    }
  }
}
