// TRegMonitor<T>: watches registry keys and calls a member function of its owner (a T) on its
// own thread, "RegistryMonitor", when one of them changed.
//
// Each key's change notification is armed with an event; a 1000 ms timer tests all the events
// without waiting, handles the signalled key with the lowest cookie (one key per tick), arms its
// notification again and calls the key's callback, or the default callback with the key's
// cookie. Any number of changes of one key between two ticks make one call; a change is seen
// within about a second. A key is watched until the monitor is destroyed.
//
// Usage:
//   TRegMonitor<TServer> monitor(&server, &TServer::OnAnyKeyChanged);  // thread runs from here
//   TKeyMonitoringInfo<TServer> info;
//   info.SubKey = u"SOFTWARE\\Vendor\\Telnet";  // under HKEY_LOCAL_MACHINE unless Root says
//   info.Callback = &TServer::OnTelnetKeyChanged;  // or leave null for the default callback
//   std::uint32_t cookie = monitor.AddKey(info);     // 0: not watched
//
// Threads: AddKey runs on the caller's thread; it must not be called by two threads at once,
// nor once destruction has begun. The key map, the events and every callback belong to the
// monitor's thread; callbacks run there directly, under the active object's catch-all when
// "EnableCatch" is on. The owner must outlive the monitor.
// Destruction cancels the timer, stops the thread (waiting for a callback in progress to
// return) and closes every key and event. Do not destroy the monitor from its own callback.
#pragma once

#include <cstdint>
#include <iterator>
#include <map>
#include <memory>
#include <vector>

#include "platform/Event.h"
#include "platform/Registry.h"
#include "platform/Thread.h"
#include "platform/ThreadCheck.h"
#include "platform/Waitable.h"
#include "runtime/TActiveObjectEx.h"
#include "runtime/TFunctor.h"
#include "runtime/TTimerEx.h"
#include "telnet/TKeyMonitoringInfo.h"

template <class T>
class TRegMonitor : public TActiveObjectEx<TRegMonitor<T>, 50> {
  using Base = TActiveObjectEx<TRegMonitor<T>, 50>;

 public:
  using DefaultCallback = void (T::*)(std::uint32_t cookie);

  static constexpr platform::DWORD kPollPeriodMs = 1000;

  // owner (not owned, may be null: changes are then noticed but nobody is called) receives the
  // callbacks; defaultCallback (may be null) serves keys without a callback of their own.
  TRegMonitor(T* owner, DefaultCallback defaultCallback)
      : Base(this), m_owner(owner), m_defaultCallback(defaultCallback) {
    if (!this->IsRunning()) this->Start(u"RegistryMonitor");
    m_timer.SetFunctor(new TFunctor1<TRegMonitor, TTimerIface*>(this, &TRegMonitor::OnTimer, &m_timer));
    m_timer.Setup(kPollPeriodMs, -1, 0);
    this->SetTimer(&m_timer);
  }

  TRegMonitor(const TRegMonitor&) = delete;
  TRegMonitor& operator=(const TRegMonitor&) = delete;

  ~TRegMonitor() override {
    this->CancelTimer(&m_timer);
    this->Post(new TFunctor0<TRegMonitor>(this, &TRegMonitor::RemoveAllKeys), 0);
    // Stop returns once the worker has taken its stop request (after a callback in progress and
    // after RemoveAllKeys, queued before it); from then on the worker touches nothing of this
    // class. That takes well under a second; it is waited for without limit all the same, since
    // a callback still running would use the members destroyed next. Keys left because the full
    // queue refused RemoveAllKeys go here.
    this->Stop(false, platform::INFINITE_TIMEOUT);
    m_events.clear();
    m_keys.clear();
  }

  // Starts watching the key that info names (Root, SubKey, NotifyFilter, WatchSubtree,
  // Callback). The key must exist. Returns the key's cookie (1, 2, ...), or 0 when there is
  // no callback to call, the key cannot be opened, or the notification cannot be armed.
  std::uint32_t AddKey(const TKeyMonitoringInfo<T>& info) {
    auto record = std::make_shared<TKeyMonitoringInfo<T>>(info);
    if (record->Callback == nullptr && m_defaultCallback == nullptr) return 0;
    platform::HKEY key = nullptr;
    if (platform::RegOpenKeyExW(record->Root, record->SubKey.c_str(), 0, platform::KEY_NOTIFY, &key) !=
        platform::ERROR_SUCCESS)
      return 0;
    record->m_key = key;
    record->m_event = std::make_unique<platform::Event>(true, false);
    if (!Arm(*record)) return 0;
    const std::uint32_t cookie = m_nextCookie++;
    record->Cookie = cookie;
    // The functor shares the record: refused, or discarded unrun by a flush, it frees it.
    auto* add = new TFunctor1<TRegMonitor, RecordPtr>(this, &TRegMonitor::AddKeyImpl, std::move(record));
    add->m_name = u"TRegMonitor::AddKeyImpl";
    if (!this->Post(add, 0)) return 0;
    return cookie;
  }

 private:
  using RecordPtr = std::shared_ptr<TKeyMonitoringInfo<T>>;
  using KeyMap = std::map<std::uint32_t, RecordPtr>;

  static bool Arm(TKeyMonitoringInfo<T>& record) {
    return platform::RegNotifyChangeKeyValue(record.m_key, record.WatchSubtree, record.NotifyFilter,
                                             record.m_event.get(), true) == platform::ERROR_SUCCESS;
  }

  void AddKeyImpl(RecordPtr record) {
    TOLVANE_DCHECK_ON_THREAD(this->GetActiveThreadId());
    const std::uint32_t cookie = record->Cookie;
    m_keys[cookie] = std::move(record);
    RebuildEvents();
  }

  void OnTimer(TTimerIface*) {
    TOLVANE_DCHECK_ON_THREAD(this->GetActiveThreadId());
    if (m_keys.empty()) return;
    const std::size_t index = platform::WaitForAny(m_events.data(), m_events.size(), 0);
    if (index >= m_events.size()) return;
    TKeyMonitoringInfo<T>& key = *std::next(m_keys.begin(), static_cast<std::ptrdiff_t>(index))->second;
    key.m_event->Reset();
    Arm(key);
    if (m_owner == nullptr) return;
    if (key.Callback != nullptr)
      this->Server_ExecuteFunc(new TFunctor0<T>(m_owner, key.Callback));
    else if (m_defaultCallback != nullptr)
      this->Server_ExecuteFunc(new TFunctor1<T, std::uint32_t>(m_owner, m_defaultCallback, key.Cookie));
  }

  void RemoveAllKeys() {
    TOLVANE_DCHECK_ON_THREAD(this->GetActiveThreadId());
    m_keys.clear();
    RebuildEvents();
  }

  // The events in cookie order, so that a position found among them names a key.
  void RebuildEvents() {
    m_events.clear();
    for (const auto& entry : m_keys) m_events.push_back(entry.second->m_event.get());
  }

  T* const m_owner;
  const DefaultCallback m_defaultCallback;
  KeyMap m_keys;                              // monitor thread only
  std::vector<platform::Waitable*> m_events;  // monitor thread only
  std::uint32_t m_nextCookie = 1;             // AddKey's caller only
  TTimerEx<TRegMonitor> m_timer;
};
