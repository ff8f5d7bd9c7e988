// CWndActiveObj<T, MSG>: an active object served through a hidden window's message queue instead
// of a TMsgQueueEx. A functor travels as message MSG posted to the window, the functor as the
// first parameter and the object as the second; the window's procedure, on the worker thread that
// owns the window, runs it (with the catch-all when "EnableCatch" was on at construction) and
// deletes it. The thread and its message loop belong to the deriving class
// (CWndActiveObjImpWithThread); T is the deriving class.
//
// Threads: any thread may post, send, block and set timers; functors, the window's timer callbacks
// and the start and stop hooks of derived classes run on the worker. Post accepts while the window
// exists, from its creation by Start to its destruction after the quit message, when every functor
// still queued for it has run: a functor accepted is always run, or deleted unrun by Flush. A post
// that finds no window is refused and its functor deleted (there is no queue before Start).
// ExecuteSynchronized sends: the functor runs on the worker ahead of posted functors while the
// caller waits (on the worker itself it runs at once); it fails rather than waits when the worker
// ends first. A blocking post from another thread waits for its own functor; on the worker it
// dispatches the pending functors (no timers) until its own has run. Timers are window timers:
// they fire on the worker between functors when no functor is waiting, and need a started object.
// Setting and cancelling from other threads wait while a timer callback runs, so once CancelTimer
// has returned the timer is not fired again and may be destroyed.
// Lifetime: destroy only a stopped object (the deriving class stops it first).
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "platform/Thread.h"
#include "platform/ThreadCheck.h"
#include "platform/Window.h"
#include "runtime/TActiveObjectCommon.h"
#include "runtime/TBlockingCall.h"
#include "runtime/TCriticalSection.h"
#include "runtime/TFunctor.h"
#include "runtime/TGuard.h"
#include "runtime/TTimerIface.h"
#include "runtime/TTimerMgrEx.h"

// The one window class of every window-message active object, and what its procedure and timer
// callback call on the object the window belongs to.
class CWndActiveObjSink {
 public:
  static constexpr const char* kClassName = "CWndActiveObjImp::MainWindowClass48";

 protected:
  CWndActiveObjSink() = default;
  virtual ~CWndActiveObjSink() = default;

  // Registers the class once per process and creates the object's window on the calling thread.
  platform::HWND CreateSinkWindow() {
    static const bool m_fClassRegistred = platform::RegisterWindowClass(kClassName, &WindowProc);
    (void)m_fClassRegistred;
    return platform::CreateHiddenWindow(kClassName, this);
  }
  platform::LPARAM AsParameter() { return reinterpret_cast<platform::LPARAM>(this); }

  static void TimerProc(platform::HWND window, platform::UINT, std::uintptr_t timerId, platform::DWORD) {
    if (auto* sink = static_cast<CWndActiveObjSink*>(platform::GetWindowData(window))) sink->OnWindowTimer(window, timerId);
  }

  virtual platform::UINT FunctorMessage() const = 0;
  // Runs and deletes the functor; true when it returned normally.
  virtual bool OnFunctor(TFunctor* functor) = 0;
  virtual void OnWindowTimer(platform::HWND window, std::uintptr_t timerId) = 0;

 private:
  // Answers 1 for a functor that ran and returned normally.
  static platform::LRESULT WindowProc(platform::HWND window, platform::UINT message, platform::WPARAM wParam,
                                      platform::LPARAM lParam) {
    auto* sink = reinterpret_cast<CWndActiveObjSink*>(lParam);
    if (wParam != 0 && sink != nullptr && message == sink->FunctorMessage())
      return sink->OnFunctor(reinterpret_cast<TFunctor*>(wParam)) ? 1 : 0;
    return platform::DefWindowProc(window, message, wParam, lParam);
  }
};

template <class T, platform::UINT MSG>
class CWndActiveObj : public TActiveObjectCommon<T>, private CWndActiveObjSink {
  using Common = TActiveObjectCommon<T>;
  using Common::m_activeThreadId, Common::m_name, Common::m_running, Common::m_statistics, Common::kNoThread;

 public:
  explicit CWndActiveObj(T* owner)
      : Common(owner, 0, u"CWndActiveObj::Server_Dummy()", u"CWndActiveObj<%s>::Server_ExecuteFunc") {}

  bool IsRunning() override { return m_running.load(); }

  bool GetQueueCount(std::uint32_t* count) override {
    *count = PendingCount();
    return true;
  }

  // Deletes the functors still queued, unrun, at once and from any thread; the time-out is not
  // needed (a functor running meanwhile finishes).
  void Flush(platform::DWORD) override {
    platform::HWND window = m_window.load();
    if (window == nullptr) return;
    std::vector<platform::ThreadMessage> removed;
    platform::RemoveWindowMessages(platform::GetWindowThreadId(window), window, MSG, MSG, &removed);
    for (const platform::ThreadMessage& message : removed) {
      if (message.wParam == 0) continue;
      m_served.fetch_add(1);
      delete reinterpret_cast<TFunctor*>(message.wParam);
    }
  }

  // The admission time-out is not needed: the window's queue has no limit.
  bool Post(TFunctor* functor, platform::DWORD) override {
    if (functor == nullptr) return false;
    platform::HWND window = m_window.load();
    if (window == nullptr || !platform::PostMessage(window, MSG, reinterpret_cast<platform::WPARAM>(functor), AsParameter())) {
      delete functor;
      return false;
    }
    // Counted once queued, so that a count seen includes every post that returned; the worker may
    // count it served first (the count reads 0 meanwhile).
    m_queued.fetch_add(1);
    m_statistics.Record(PendingCount());
    return true;
  }

  // True when the functor ran on the worker and returned normally.
  bool ExecuteSynchronized(TFunctor* functor) override {
    if (functor == nullptr) return false;
    m_queued.fetch_add(1);  // pending while the caller waits
    platform::HWND window = m_window.load();
    platform::LRESULT answer = 0;
    if (window == nullptr ||
        !platform::SendMessage(window, MSG, reinterpret_cast<platform::WPARAM>(functor), AsParameter(), &answer)) {
      m_served.fetch_add(1);  // the procedure never saw it
      delete functor;
      return false;
    }
    return answer == 1;
  }

  // Starts a window timer with the first delay of the timer managers and the next id (from 65536
  // up). A timer already set here is left as it is. False without a window.
  bool SetTimer(TTimerIface* timer) override {
    if (timer == nullptr) return false;
    TGuard guard(&m_timerLock);
    if (IsSetLocked(timer)) return timer->GetId() != 0;
    platform::HWND window = m_window.load();
    if (window == nullptr) return false;
    timer->SetId(0);
    platform::DWORD delay = NumberTimer(timer);
    if (!platform::SetTimer(window, Key(timer), delay, &TimerProc)) {
      timer->SetId(0);
      return false;
    }
    m_setTimers.push_back(timer);
    return true;
  }

  // Kills the window timer and clears the id; true when the timer was set here.
  bool CancelTimer(TTimerIface* timer) override {
    if (timer == nullptr) return false;
    TGuard guard(&m_timerLock);
    bool wasSet = IsSetLocked(timer);
    if (wasSet) EndTimerLocked(m_window.load(), timer);
    timer->SetId(0);
    return wasSet;
  }

  // The functor handler of the window procedure: runs the functor with the catch-all when enabled,
  // then deletes it. True when it returned normally.
  bool OnFunctor(TFunctor* functor) override {
    TOLVANE_DCHECK_ON_THREAD(m_activeThreadId.load());
    this->MarkActive();
    m_served.fetch_add(1, std::memory_order_relaxed);
    return this->Run(functor, u"CWndActiveObj<%s>::OnFunctor");
  }

  // The blocking post: posts a wrapper that runs the functor and signals this call alone. From
  // another thread it waits without limit; on the worker it dispatches the queued functors until
  // its own has run. False when refused (not running, unless forced), or when the functor was
  // deleted unrun by a flush.
  bool PushAndBlockThreadSafeInternal(TFunctor* functor, platform::DWORD admissionTimeoutMs, bool force) override {
    if (functor == nullptr) return false;
    if (!m_running.load() && !force) {
      delete functor;
      return false;
    }
    auto call = std::make_shared<TBlockingCall>(functor);
    if (!Post(this->NewBlockingCallFunctor(call), admissionTimeoutMs)) return false;  // the functor went with the wrapper
    if (this->OnActiveThread()) return DispatchPendingUntil(*call);
    call->done.Wait(platform::INFINITE_TIMEOUT);
    return call->state.load() == TBlockingCall::kTaken;
  }

  platform::HWND GetWindow() const { return m_window.load(); }

 protected:
  void SetName(const char16_t* name) { m_name = name; }
  std::atomic<bool>& RunningFlag() { return m_running; }
  // On the new worker: takes the thread as the worker's and creates the window. Null when it
  // could not be created.
  platform::HWND CreateObjectWindow() {
    this->EnterWorker();
    return CreateSinkWindow();
  }
  // Makes the window the target of posts, and the calling thread the worker.
  void Publish(platform::HWND window) {
    if (window == nullptr) this->LeaveWorker();
    m_activeThreadId.store(window != nullptr ? platform::CurrentThreadId() : kNoThread);
    m_window.store(window);
  }
  // The worker ended: no window, no worker, and no timer set any more (they went with the window).
  void Withdraw() {
    m_window.store(nullptr);
    this->LeaveWorker();
    TGuard guard(&m_timerLock);
    m_setTimers.clear();
  }

  // After the message loop: dispatches the functors still queued, destroys the window, then runs those that were posted after the last look but before the window went.
  void DispatchPendingAndDestroy(platform::HWND window) {
    TOLVANE_DCHECK_ON_THREAD(m_activeThreadId.load());
    platform::ThreadMessage message;
    while (platform::PeekMessage(&message, window, MSG, MSG, true)) {
      platform::TranslateMessage(message);
      platform::DispatchMessage(message);
    }
    platform::DestroyWindow(window);
    while (platform::PeekMessage(&message, window, MSG, MSG, true))
      if (message.wParam != 0) OnFunctor(reinterpret_cast<TFunctor*>(message.wParam));
  }

 private:
  // A blocking post made on the worker: dispatch the queued functors here until the call is done.
  // Queued functors are taken in order, so a call made inside one of them (nesting) completes
  // after this one, and this one is done when that inner call returns.
  bool DispatchPendingUntil(const TBlockingCall& call) {
    TOLVANE_DCHECK_ON_THREAD(m_activeThreadId.load());
    platform::HWND window = m_window.load();
    platform::ThreadMessage message;
    while (call.state.load() == TBlockingCall::kWaiting && platform::PeekMessage(&message, window, MSG, MSG, true)) {
      platform::TranslateMessage(message);
      platform::DispatchMessage(message);
    }
    return call.state.load() == TBlockingCall::kTaken;
  }

  std::uint32_t PendingCount() const {
    std::int32_t pending = static_cast<std::int32_t>(m_queued.load() - m_served.load());
    return static_cast<std::uint32_t>(std::max(0, pending));
  }

  platform::UINT FunctorMessage() const override { return MSG; }

  // Called on the worker with the window's timer message: fires the timer, then keeps it running
  // (-1), restarts it minute-aligned (-2), counts it down (n > 0) or ends it (0 and below), unless
  // its callback cancelled it or set it again.
  void OnWindowTimer(platform::HWND window, std::uintptr_t timerId) override {
    TOLVANE_DCHECK_ON_THREAD(m_activeThreadId.load());
    TGuard guard(&m_timerLock);
    auto* timer = reinterpret_cast<TTimerIface*>(timerId);
    if (!IsSetLocked(timer)) {
      platform::KillTimer(window, timerId);
      return;
    }
    platform::DWORD id = timer->GetId();
    try {
      timer->Fire();
    } catch (...) {
      if (IsSetLocked(timer)) EndTimerLocked(window, timer);
      throw;
    }
    if (!IsSetLocked(timer) || timer->GetId() != id) return;
    std::int32_t count = timer->GetRepeatCount();
    if (count == -1) return;
    if (count == -2) {
      timer->SetId(0);
      platform::DWORD delay = NumberTimer(timer);
      timer->SetId(id);
      platform::SetTimer(window, timerId, delay, &TimerProc);
    } else if (count > 0) {
      timer->SetRepeatCount(count - 1);
    } else {
      EndTimerLocked(window, timer);
    }
  }

  static std::uintptr_t Key(TTimerIface* timer) { return reinterpret_cast<std::uintptr_t>(timer); }

  bool IsSetLocked(TTimerIface* timer) const { return std::find(m_setTimers.begin(), m_setTimers.end(), timer) != m_setTimers.end(); }

  void EndTimerLocked(platform::HWND window, TTimerIface* timer) {
    if (window != nullptr) platform::KillTimer(window, Key(timer));
    std::erase(m_setTimers, timer);
    timer->SetId(0);
  }

  // Gives the timer the next id and returns its first delay. A manager without room schedules
  // nothing: its Set only numbers the timer and computes its first firing, the way every active
  // object's timers are computed (the period, or the minute-aligned delay for repeat count -2).
  platform::DWORD NumberTimer(TTimerIface* timer) {
    platform::DWORD before = platform::GetTickCount();
    m_timerNumbers.Set(timer);
    return timer->GetNextFiring() - before;
  }

  std::atomic<platform::HWND> m_window{nullptr};
  // Functors posted or sent, and those served (run, or deleted by a flush): each on a line of its
  // own, so that posting threads and the worker do not take turns at one.
  alignas(64) std::atomic<std::uint32_t> m_queued{0};
  alignas(64) std::atomic<std::uint32_t> m_served{0};
  alignas(64) TCriticalSection m_timerLock;
  std::vector<TTimerIface*> m_setTimers;  // the timers set here and not ended; guarded by m_timerLock
  TTimerMgrEx m_timerNumbers{0};          // numbers timers and computes first delays; guarded by its own lock
};
