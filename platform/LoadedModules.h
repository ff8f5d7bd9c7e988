// The shared objects loaded in the process, and their exports.
//
// Emulates: a module snapshot of the process (the DLLs only) and export lookup by name. A module
// is a loaded shared object whose file name ends in ".so" or contains ".so." (letter case
// ignored); the executable and the vDSO never are. Modules come in the order the dynamic linker
// reports them (load order). Each LoadedModule holds its object loaded (a reference taken with
// RTLD_NOLOAD, released by its destructor), so an object that the process unloads meanwhile stays
// mapped while it is being called.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace platform {

class LoadedModule {
 public:
  LoadedModule(void* handle, std::u16string path);
  ~LoadedModule();
  LoadedModule(const LoadedModule&) = delete;
  LoadedModule& operator=(const LoadedModule&) = delete;

  // The full path, and the file name without its directory.
  const std::u16string& Path() const { return m_path; }
  std::u16string BaseName() const;
  // The address of the named export of this very object; null when it has none (an export that
  // the lookup finds in one of the object's dependencies does not count).
  void* FindExport(const char* name) const;
  // Whether the address lies inside this object.
  bool Contains(const void* address) const;

 private:
  void* m_handle;
  std::u16string m_path;
};

// Fills `modules` (emptied first) with the modules of the process. False, with errno set, when the
// list could not be taken.
bool ListLoadedModules(std::vector<std::unique_ptr<LoadedModule>>& modules);

// A count that changes whenever the process loads or unloads a shared object (and only then): a
// module list taken when it had a value is still the process's list while it keeps that value.
std::uint64_t LoadedModulesGeneration();

// The loaded object that contains the address (a module or the executable), held loaded; null
// when the address lies in none.
std::unique_ptr<LoadedModule> ModuleContaining(const void* address);

// Whether a file name names a shared object: it ends in ".so" or contains ".so.", any case.
bool IsSharedObjectName(const std::u16string& fileName);

}  // namespace platform
