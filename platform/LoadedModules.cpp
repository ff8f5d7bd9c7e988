#include "platform/LoadedModules.h"

#include <dlfcn.h>
#include <link.h>

#include <atomic>
#include <cerrno>
#include <cstddef>

#include "platform/CaseFold.h"
#include "platform/TextConvert.h"

namespace platform {
namespace {

std::u16string FileNameOf(const std::u16string& path) {
  std::size_t slash = path.rfind(u'/');
  return slash == std::u16string::npos ? path : path.substr(slash + 1);
}

// The length of a name the loader keeps, and whether it holds a slash. Read outside
// ThreadSanitizer's view: it cannot see the loader's lock, so for each entry dl_iterate_phdr
// hands on it forgets what it knew of the name's bytes, but not of the terminating NUL, and a
// name that another thread's dlopen made would read as a race.
__attribute__((no_sanitize("thread"))) std::size_t LoaderNameLength(const char* name, bool* slash) {
  const volatile char* at = name;  // volatile: never turned into a call of strlen
  std::size_t length = 0;
  for (char c; (c = at[length]) != '\0'; ++length) *slash = *slash || c == '/';
  return length;
}

int CollectPath(dl_phdr_info* info, std::size_t, void* context) {
  auto* paths = static_cast<std::vector<std::string>*>(context);
  if (info->dlpi_name == nullptr) return 0;
  // The executable comes with an empty name, the vDSO with a bare name that is no file; an object
  // has the path it was found under, absolute or (opened by a relative path) relative.
  bool slash = false;
  const std::size_t length = LoaderNameLength(info->dlpi_name, &slash);
  if (slash) paths->emplace_back(info->dlpi_name, length);
  return 0;
}

int ReadGeneration(dl_phdr_info* info, std::size_t size, void* context) {
  auto* generation = static_cast<std::uint64_t*>(context);
  // Every entry carries the same counts; a C library too old to have them makes every call a
  // change.
  if (size >= offsetof(dl_phdr_info, dlpi_subs) + sizeof info->dlpi_subs)
    *generation = info->dlpi_adds + info->dlpi_subs;
  return 1;
}

}  // namespace

std::uint64_t LoadedModulesGeneration() {
  static std::atomic<std::uint64_t> unknown{0};
  std::uint64_t generation = ~std::uint64_t{0} - unknown.fetch_add(1, std::memory_order_relaxed);
  dl_iterate_phdr(ReadGeneration, &generation);
  return generation;
}

LoadedModule::LoadedModule(void* handle, std::u16string path) : m_handle(handle), m_path(std::move(path)) {}

LoadedModule::~LoadedModule() {
  if (m_handle != nullptr) dlclose(m_handle);
}

std::u16string LoadedModule::BaseName() const { return FileNameOf(m_path); }

void* LoadedModule::FindExport(const char* name) const {
  void* address = dlsym(m_handle, name);
  return address != nullptr && Contains(address) ? address : nullptr;
}

bool LoadedModule::Contains(const void* address) const {
  Dl_info info{};
  if (dladdr(address, &info) == 0 || info.dli_fname == nullptr) return false;
  return Utf8ToUtf16(info.dli_fname, std::char_traits<char>::length(info.dli_fname)) == m_path;
}

std::unique_ptr<LoadedModule> ModuleContaining(const void* address) {
  Dl_info info{};
  if (dladdr(address, &info) == 0 || info.dli_fname == nullptr) return nullptr;
  // The executable may have no handle by its path: a null handle looks exports up in the global
  // scope, which FindExport narrows to the object again.
  void* handle = dlopen(info.dli_fname, RTLD_LAZY | RTLD_NOLOAD);
  std::size_t length = std::char_traits<char>::length(info.dli_fname);
  return std::make_unique<LoadedModule>(handle, Utf8ToUtf16(info.dli_fname, length));
}

bool IsSharedObjectName(const std::u16string& fileName) {
  std::u16string folded(fileName.size(), u'\0');
  FoldCase(fileName.data(), fileName.size(), folded.data());
  return (folded.size() >= 3 && folded.compare(folded.size() - 3, 3, u".SO") == 0) ||
         folded.find(u".SO.") != std::u16string::npos;
}

bool ListLoadedModules(std::vector<std::unique_ptr<LoadedModule>>& modules) {
  modules.clear();
  std::vector<std::string> paths;
  dl_iterate_phdr(CollectPath, &paths);
  for (const std::string& path : paths) {
    std::u16string wide = Utf8ToUtf16(path.data(), path.size());
    if (!IsSharedObjectName(FileNameOf(wide))) continue;
    // Unloaded since the walk: it is no longer a module of the process.
    void* handle = dlopen(path.c_str(), RTLD_LAZY | RTLD_NOLOAD);
    if (handle != nullptr) modules.push_back(std::make_unique<LoadedModule>(handle, std::move(wide)));
  }
  errno = 0;
  return true;
}

}  // namespace platform
