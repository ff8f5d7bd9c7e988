#include "platform/Memory.h"

#include <link.h>
#include <sys/uio.h>
#include <unistd.h>

namespace platform {

bool ReadOwnMemory(std::uintptr_t address, void* out, std::size_t size) {
  // The kernel copies for us and reports unreadable memory as an error instead of a fault.
  iovec local{out, size};
  iovec remote{reinterpret_cast<void*>(address), size};
  return process_vm_readv(getpid(), &local, 1, &remote, 1, 0) == static_cast<ssize_t>(size);
}

bool IsLoadedCode(std::uintptr_t address) {
  if (address == 0) return false;
  // Only the executable segments count: data and read-only data of a module lie inside its
  // mapping too, and calling into them would fault.
  struct Query {
    std::uintptr_t address;
    bool found;
  } query{address, false};
  dl_iterate_phdr(
      [](dl_phdr_info* info, std::size_t, void* data) -> int {
        auto* q = static_cast<Query*>(data);
        for (ElfW(Half) i = 0; i < info->dlpi_phnum; ++i) {
          const ElfW(Phdr)& segment = info->dlpi_phdr[i];
          if (segment.p_type != PT_LOAD || (segment.p_flags & PF_X) == 0) continue;
          std::uintptr_t start = info->dlpi_addr + segment.p_vaddr;
          if (q->address >= start && q->address - start < segment.p_memsz) {
            q->found = true;
            return 1;
          }
        }
        return 0;
      },
      &query);
  return query.found;
}

}  // namespace platform
