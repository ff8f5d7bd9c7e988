// TKeyMonitoringInfo<T>: one registry key watched by a TRegMonitor<T>: where the key is, which
// changes count, and the member function of T to call when it changes.
//
// The caller fills the public fields and hands the record to TRegMonitor<T>::AddKey, which
// works on a copy of its own. The key handle and the event belong to the monitor's copy: a copy
// never takes them, and the destructor closes the key (which sets a notification still armed)
// before it frees the event.
#pragma once

#include <cstdint>
#include <memory>

#include "foundation/TStringEx.h"
#include "platform/Event.h"
#include "platform/Registry.h"

template <class T>
class TRegMonitor;

template <class T>
class TKeyMonitoringInfo {
 public:
  using CallbackMethod = void (T::*)();

  TKeyMonitoringInfo() = default;
  // Copies where and how to watch, and the callback; not the key handle, event or cookie.
  TKeyMonitoringInfo(const TKeyMonitoringInfo& other)
      : NotifyFilter(other.NotifyFilter),
        Root(other.Root),
        SubKey(other.SubKey),
        WatchSubtree(other.WatchSubtree),
        Callback(other.Callback) {}
  TKeyMonitoringInfo& operator=(const TKeyMonitoringInfo&) = delete;
  virtual ~TKeyMonitoringInfo() {
    if (m_key != nullptr) platform::RegCloseKey(m_key);
  }

  // The changes that count: REG_NOTIFY_CHANGE_LAST_SET (values added, changed, deleted) and/or
  // REG_NOTIFY_CHANGE_NAME (sub-keys added, deleted).
  platform::DWORD NotifyFilter = platform::REG_NOTIFY_CHANGE_LAST_SET;
  // The root key handle (not an index) under which SubKey is opened.
  platform::HKEY Root = platform::HKEY_LOCAL_MACHINE;
  // Path of the key under the root; the key must exist when it is added.
  TStringEx SubKey;
  // Set by the monitor when it takes the key: 1, 2, ... in the order keys were added; 0 before.
  std::uint32_t Cookie = 0;
  // Changes in sub-keys count as well.
  bool WatchSubtree = true;
  // Called on the owner when the key changed; null means the monitor's default callback.
  CallbackMethod Callback = nullptr;

 private:
  friend class TRegMonitor<T>;

  platform::HKEY m_key = nullptr;            // open with KEY_NOTIFY while watched
  std::unique_ptr<platform::Event> m_event;  // manual reset, set by the change notification
};
