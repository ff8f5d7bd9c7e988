#include "platform/Window.h"

#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/Semaphore.h"
#include "platform/Thread.h"

namespace platform {
namespace {

struct WindowRecord {
  DWORD owner = 0;
  WNDPROC procedure = nullptr;
  void* data = nullptr;
  std::shared_ptr<ThreadQueue> queue;  // the owner's
};

// Every class and window of the process. Posting and setting timers happen under its lock, so
// that nothing reaches a window once DestroyWindow has returned.
class WindowTable {
 public:
  static WindowTable& Instance() {
    static WindowTable* table = new WindowTable;  // outlives every thread
    return *table;
  }
  bool RegisterClass(const char* name, WNDPROC procedure) {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_classes.emplace(name, procedure).second;
  }
  HWND Create(const char* className, DWORD owner, void* data, std::shared_ptr<ThreadQueue> queue) {
    std::lock_guard<std::mutex> guard(m_lock);
    auto it = m_classes.find(className);
    if (it == m_classes.end()) return nullptr;
    HWND window = reinterpret_cast<HWND>(m_nextHandle);
    m_nextHandle += 4;
    m_windows.emplace(Key(window), WindowRecord{owner, it->second, data, std::move(queue)});
    return window;
  }
  bool Find(HWND window, WindowRecord* record) {
    std::lock_guard<std::mutex> guard(m_lock);
    auto it = m_windows.find(Key(window));
    if (it == m_windows.end()) return false;
    *record = it->second;
    return true;
  }
  void Erase(HWND window) {
    std::lock_guard<std::mutex> guard(m_lock);
    m_windows.erase(Key(window));
    m_erasures.fetch_add(1, std::memory_order_release);
  }
  // Runs action(record) under the lock when the window exists; false otherwise.
  template <class Action>
  bool WithRecord(HWND window, Action action) {
    std::lock_guard<std::mutex> guard(m_lock);
    auto it = m_windows.find(Key(window));
    return it != m_windows.end() && action(it->second);
  }
  // Changes whenever a window goes, so that a record looked up earlier can be trusted while it
  // stays the same.
  std::uint64_t Erasures() const { return m_erasures.load(std::memory_order_acquire); }

 private:
  static std::uintptr_t Key(HWND window) { return reinterpret_cast<std::uintptr_t>(window); }

  std::mutex m_lock;
  std::unordered_map<std::string, WNDPROC> m_classes;          // guarded by m_lock
  std::unordered_map<std::uintptr_t, WindowRecord> m_windows;  // guarded by m_lock
  std::uintptr_t m_nextHandle = 0x10000;                       // guarded by m_lock; never reused
  std::atomic<std::uint64_t> m_erasures{0};
};

// The windows of the calling thread, which go when it ends.
class OwnedWindows {
 public:
  static OwnedWindows& ForThisThread() {
    thread_local OwnedWindows windows;
    return windows;
  }
  ~OwnedWindows() {
    for (HWND window : m_windows) WindowTable::Instance().Erase(window);
  }
  void Add(HWND window) { m_windows.push_back(window); }
  void Remove(HWND window) { std::erase(m_windows, window); }

 private:
  std::vector<HWND> m_windows;
};

bool OwnedByCaller(HWND window) {
  WindowRecord record;
  return WindowTable::Instance().Find(window, &record) && record.owner == CurrentThreadId();
}

// A message sent from another thread, answered by the owner inside its message retrieval. The
// sender shares it, so an owner that answers after the sender gave up touches nothing freed.
class WindowSend : public SentCall {
 public:
  WindowSend(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
      : m_window(window), m_message(message), m_wParam(wParam), m_lParam(lParam) {}
  void Deliver() override {
    // Released however the procedure ends, so that an exception leaving it does not strand the sender.
    struct Release {
      Semaphore& done;
      ~Release() { done.Release(1); }
    } release{m_done};
    WindowRecord record;
    if (!WindowTable::Instance().Find(m_window, &record) || record.owner != CurrentThreadId()) return;
    m_result = record.procedure(m_window, m_message, m_wParam, m_lParam);
    m_answered = true;
  }
  void Abandon() override { m_done.Release(1); }

  Semaphore m_done{0, 1};
  LRESULT m_result = 0;
  bool m_answered = false;  // written before m_done is released

 private:
  HWND m_window;
  UINT m_message;
  WPARAM m_wParam;
  LPARAM m_lParam;
};

LRESULT Dispatch(const ThreadMessage& message) {
  HWND window = static_cast<HWND>(message.window);
  if (message.message == WM_TIMER && message.lParam != 0) {
    // Only a callback this thread set for a timer that still runs: a message is no way to have
    // an arbitrary address called.
    if (!HasOwnQueueTimer(window, message.wParam, message.lParam)) return 0;
    if (window != nullptr && !OwnedByCaller(window)) return 0;
    reinterpret_cast<TIMERPROC>(message.lParam)(window, WM_TIMER, message.wParam, GetTickCount());
    return 0;
  }
  // The procedure of the window dispatched to last, kept until some window goes: a loop serving
  // one window looks nothing up.
  struct Cache {
    HWND window = nullptr;
    WNDPROC procedure = nullptr;
    std::uint64_t erasures = 0;
  };
  thread_local Cache cache;
  WindowTable& table = WindowTable::Instance();
  std::uint64_t erasures = table.Erasures();
  if (window == nullptr || window != cache.window || erasures != cache.erasures) {
    WindowRecord record;
    if (!table.Find(window, &record) || record.owner != CurrentThreadId()) return 0;
    cache = Cache{window, record.procedure, erasures};
  }
  return cache.procedure(window, message.message, message.wParam, message.lParam);
}

}  // namespace

bool RegisterWindowClass(const char* className, WNDPROC procedure) {
  if (className == nullptr || procedure == nullptr) return false;
  SetWindowDispatcher(&Dispatch);
  return WindowTable::Instance().RegisterClass(className, procedure);
}

HWND CreateHiddenWindow(const char* className, void* data) {
  if (className == nullptr) return nullptr;
  std::shared_ptr<ThreadQueue> queue = OwnThreadQueue();
  OwnedWindows& owned = OwnedWindows::ForThisThread();
  HWND window = WindowTable::Instance().Create(className, CurrentThreadId(), data, std::move(queue));
  if (window == nullptr) return nullptr;
  owned.Add(window);
  SetWindowDispatcher(&Dispatch);
  return window;
}

bool DestroyWindow(HWND window) {
  WindowRecord record;
  if (!WindowTable::Instance().Find(window, &record) || record.owner != CurrentThreadId()) return false;
  record.procedure(window, WM_DESTROY, 0, 0);
  WindowTable::Instance().Erase(window);
  OwnedWindows::ForThisThread().Remove(window);
  KillQueueTimers(record.owner, window);
  return true;
}

bool IsWindow(HWND window) {
  WindowRecord record;
  return WindowTable::Instance().Find(window, &record);
}

DWORD GetWindowThreadId(HWND window) {
  WindowRecord record;
  return WindowTable::Instance().Find(window, &record) ? record.owner : 0;
}

void* GetWindowData(HWND window) {
  WindowRecord record;
  return WindowTable::Instance().Find(window, &record) ? record.data : nullptr;
}

bool PostMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  return WindowTable::Instance().WithRecord(
      window, [&](const WindowRecord& record) { return PostToQueue(*record.queue, ThreadMessage{window, message, wParam, lParam}); });
}

bool SendMessageTimeout(HWND window, UINT message, WPARAM wParam, LPARAM lParam, DWORD timeoutMs, LRESULT* result) {
  WindowRecord record;
  if (!WindowTable::Instance().Find(window, &record)) return false;
  if (record.owner == CurrentThreadId()) {
    LRESULT answer = record.procedure(window, message, wParam, lParam);
    if (result != nullptr) *result = answer;
    return true;
  }
  auto call = std::make_shared<WindowSend>(window, message, wParam, lParam);
  if (!QueueSentCall(record.owner, call)) return false;
  if (!WaitDeliveringSentCalls(&call->m_done, timeoutMs) || !call->m_answered) return false;
  if (result != nullptr) *result = call->m_result;
  return true;
}

LRESULT DefWindowProc(HWND, UINT, WPARAM, LPARAM) { return 0; }

bool SetTimer(HWND window, std::uintptr_t timerId, DWORD intervalMs, TIMERPROC callback) {
  auto set = [&](DWORD owner) {
    return SetQueueTimer(owner, window, timerId, intervalMs, reinterpret_cast<std::intptr_t>(callback));
  };
  if (window != nullptr)
    return WindowTable::Instance().WithRecord(window, [&](const WindowRecord& record) { return set(record.owner); });
  EnsureMessageQueue();
  return set(CurrentThreadId());
}

bool KillTimer(HWND window, std::uintptr_t timerId) {
  DWORD owner = window != nullptr ? GetWindowThreadId(window) : CurrentThreadId();
  return owner != 0 && KillQueueTimer(owner, window, timerId);
}

}  // namespace platform
