// The registry's change notifications: the watches armed in this process, and the thread that
// reads the changes other processes commit while any watch is armed. Private to platform/.
//
// Every member is called with the store's lock held; the watcher's thread takes that lock too.
// A watch's event is set once, by the first change that matches it (or when its handle closes,
// the store closes, or the changes it might have missed were pruned), and the watch is dropped.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/Event.h"
#include "platform/Registry.h"

namespace platform {

class RegistryStore;

// Kinds of recorded change. A deleted key is recorded at its own path so that watchers of the key
// itself learn that it went away.
constexpr DWORD kChangeName = REG_NOTIFY_CHANGE_NAME;
constexpr DWORD kChangeValue = REG_NOTIFY_CHANGE_LAST_SET;
constexpr DWORD kChangeKeyDeleted = 0x100;

// One committed change: its number in the store, its kind and the folded path of its key.
struct RegistryChange {
  std::int64_t seq;
  DWORD kind;
  std::u16string path;
};

struct RegistryWatch {
  const RegKeyObject* key;  // null for a root key
  std::u16string path;      // folded, as RegKeyObject::path
  bool subtree;
  DWORD filter;
  Event* event;
  std::int64_t armedSeq;  // the last change committed when it was armed
};

class RegistryWatcher {
 public:
  explicit RegistryWatcher(RegistryStore& store) : m_store(store) {}
  RegistryWatcher(const RegistryWatcher&) = delete;
  RegistryWatcher& operator=(const RegistryWatcher&) = delete;

  // Adds the watch; starts the thread when none runs.
  void Arm(RegistryWatch watch);
  // Sets and drops every watch the change matches that was armed before it.
  void Deliver(const RegistryChange& change);
  // The handle closes: its watches are set and dropped.
  void DropKey(const RegKeyObject* key);
  // The store closes: every watch is set and dropped.
  void DropAll();
  // The store opened at this data version: changes are read from the next one on.
  void Opened(std::int64_t dataVersion) { m_dataVersion = dataVersion; }

 private:
  void Run();
  void PollOnce();

  RegistryStore& m_store;
  std::vector<RegistryWatch> m_watches;
  std::int64_t m_dataVersion = -1;
  bool m_running = false;
  std::condition_variable m_wake;
};

}  // namespace platform
