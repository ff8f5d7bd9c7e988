// TActiveObjectCommon<T>: what the two kinds of active object share, whichever queue feeds their
// worker (TActiveObjectEx its TMsgQueueEx, CWndActiveObj a hidden window's message queue): the
// worker's identity and priority, running a functor (with the catch-all when "EnableCatch" was
// on at construction), the blocking post's completion, the rendezvous, the liveness check and the
// post statistics. T is the owner the deriving class serves.
//
// Threads: any thread may call the public members; Server_ExecuteFunc runs on the calling
// thread. The deriving class starts its worker with LaunchWorker; the worker calls EnterWorker
// first thing, publishes itself in m_activeThreadId once it serves, calls LeaveWorker when it
// ends and, when its generation is still the current one, WorkerEnded. The deriving class's
// destructor calls EndWorkerThread.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <thread>

#include "foundation/TStringEx.h"
#include "modules/TConsole.h"
#include "platform/Event.h"
#include "platform/Thread.h"
#include "runtime/CatchAll.h"
#include "runtime/TActiveObjectBase.h"
#include "runtime/TApplicationSettings.h"
#include "runtime/TBlockingCall.h"
#include "runtime/TFunctor.h"
#include "runtime/TRendezVousEx.h"

template <class T>
class TActiveObjectCommon : public TActiveObjectBase {
 protected:
  static constexpr platform::DWORD kNoThread = 0xFFFFFFFF;

 public:
  bool ResetTimer(TTimerIface* timer) override {
    CancelTimer(timer);
    return SetTimer(timer);
  }

  // Not from the worker itself (it would wait for itself).
  bool Lock(platform::DWORD timeoutMs) override { return m_rendezvous.Enter(timeoutMs); }
  bool Unlock() override {
    m_rendezvous.Leave();
    return true;
  }

  // On the worker the functor runs at once; from any other thread it is posted.
  bool PostOrExecute(TFunctor* functor, platform::DWORD admissionTimeoutMs) override {
    if (m_stopping.load()) {
      delete functor;
      return false;
    }
    if (functor != nullptr && OnActiveThread()) {
      Server_ExecuteFunc(functor);
      return true;
    }
    return Post(functor, admissionTimeoutMs);
  }

  bool PushAndBlock(TFunctor* functor, platform::DWORD admissionTimeoutMs) override {
    return PushAndBlockThreadSafeInternal(functor, admissionTimeoutMs, false);
  }

  // The blocking post; `force` lets a stop request pass while the object is stopping.
  virtual bool PushAndBlockThreadSafeInternal(TFunctor* functor, platform::DWORD admissionTimeoutMs, bool force) = 0;

  // Applied to the worker, and kept for a worker started later: without a worker there is no
  // thread to change (the calling thread least of all).
  void SetPriority(int level) override {
    int applied = level >= 1 && level <= 7 ? level : 4;
    m_priority.store(applied);
    platform::DWORD thread = m_threadId.load();
    if (thread != 0) platform::SetThreadPriorityLevel(thread, applied);
  }

  // Whether a functor ran since the last check; an idle running object is sent an empty functor,
  // so that a live worker answers true at the next check.
  bool CheckAlive() override {
    bool alive = m_activity.exchange(false, std::memory_order_relaxed);
    if (m_running.load() && QueueCount() == 0) Post(NewWakeFunctor(), 0);
    return alive;
  }

  virtual void PrintInfo() { TConsole::PrintLine(u"| %04X | %-50s | %d", m_activeThreadId.load(), m_name, QueueCount()); }
  virtual void Reserved(std::uint32_t) {}
  virtual void EnableStatistics(bool on) { m_statistics.Enable(on); }
  virtual bool IsStatisticsEnabled() { return m_statistics.IsEnabled(); }
  virtual void ResetStatistics() { m_statistics.Reset(); }
  virtual std::uint32_t GetMaxQueueCount() { return m_statistics.MaxQueueCount(); }
  virtual std::uint32_t GetPostCount() { return m_statistics.PostCount(); }

  // Runs one functor on the calling thread, with the catch-all when enabled, then deletes it.
  // True when it returned normally.
  bool Server_ExecuteFunc(TFunctor* functor) {
    if (functor == nullptr) return false;
    MarkActive();
    return Run(functor, m_executeLabel);
  }

  // Does nothing: a functor calling it wakes the worker.
  void Server_Dummy() {}

  const TStringEx& GetName() const { return m_name; }
  platform::DWORD GetActiveThreadId() const { return m_activeThreadId.load(); }
  bool IsCatchEnabled() const { return m_catchEnabled; }

 protected:
  // wakeName names the empty functors; executeLabel is the catch-all's format for a functor run
  // by Server_ExecuteFunc, "%s" standing for the object's name.
  TActiveObjectCommon(T* owner, std::uint32_t waitMode, const char16_t* wakeName, const char16_t* executeLabel)
      : m_owner(owner),
        m_rendezvous(this, waitMode),
        m_catchEnabled(TApplicationSettings::ReadEnableCatch()),
        m_wakeName(wakeName),
        m_executeLabel(executeLabel) {}

  T* GetOwner() const { return m_owner; }
  bool OnActiveThread() const { return platform::CurrentThreadId() == m_activeThreadId.load(); }

  std::uint32_t QueueCount() {
    std::uint32_t count = 0;
    GetQueueCount(&count);
    return count;
  }

  TFunctor* NewWakeFunctor() {
    auto* wake = new TFunctor0<TActiveObjectCommon>(this, &TActiveObjectCommon::Server_Dummy);
    wake->m_name = m_wakeName;
    return wake;
  }

  // The queued wrapper of a blocking post: run, it runs the call's functor and signals the call.
  TFunctor* NewBlockingCallFunctor(std::shared_ptr<TBlockingCall> call) {
    return new TBlockingCallFunctor<TActiveObjectCommon>(this, std::move(call));
  }

  // Runs and deletes the functor, with the catch-all when enabled; true when it returned normally.
  bool Run(TFunctor* functor, const char16_t* where) {
    std::unique_ptr<TFunctor> owned(functor);
    if (m_catchEnabled) return RunCatchingAll(functor, where, m_name);
    functor->Execute();
    return true;
  }

  // Written only when it changes: posting threads read the neighbouring fields.
  void MarkActive() {
    if (!m_activity.load(std::memory_order_relaxed)) m_activity.store(true, std::memory_order_relaxed);
  }

  // First thing on a new worker: its id is known before the priority set so far is read, so a
  // SetPriority meanwhile is applied by one or the other.
  void EnterWorker() {
    const platform::DWORD self = platform::CurrentThreadId();
    m_threadId.store(self);
    if (int priority = m_priority.load()) platform::SetThreadPriorityLevel(self, priority);
  }

  // The worker ends: it is the worker no more, unless a newer one has taken over.
  void LeaveWorker() {
    const platform::DWORD self = platform::CurrentThreadId();
    platform::DWORD expected = self;
    m_activeThreadId.compare_exchange_strong(expected, kNoThread);
    expected = self;
    m_threadId.compare_exchange_strong(expected, 0);
  }

  // Starts a worker thread named after the object, running run(generation). A worker that
  // stopped itself, or outlasted the time-out of a stop, may still be returning: it is waited for
  // first, so that two workers never serve at once. Started again from that worker itself, it is
  // let go: it ends after its current functor, since the generation changed.
  template <class Run>
  void LaunchWorker(const char16_t* name, Run run) {
    if (m_thread.joinable()) {
      if (OnOwnWorker())
        m_thread.detach();
      else
        m_thread.join();
    }
    m_name = name;
    std::uint64_t generation = ++m_generation;
    m_threadEnded.Reset();
    m_running.store(true);
    m_thread = platform::StartThread(m_name.ToNarrow().c_str(), [run, generation] { run(generation); });
  }
  bool IsCurrentGeneration(std::uint64_t generation) const { return m_generation.load() == generation; }
  // On the worker of the current generation, as its last step.
  void WorkerEnded() { m_threadEnded.Set(); }
  // The end of a stop from another thread: waits up to the time-out for the worker to end.
  void AwaitWorkerEnd(platform::DWORD timeoutMs) {
    if (!OnActiveThread() && m_thread.joinable() && m_threadEnded.Wait(timeoutMs)) m_thread.join();
  }
  // For the deriving class's destructor: a destroyed object must not keep a thread running on it.
  // It stops a running object and waits for a worker that is still returning; destroyed from its
  // own worker, it lets the thread go.
  void EndWorkerThread() {
    if (!m_thread.joinable()) return;
    if (OnOwnWorker()) {
      m_thread.detach();
      return;
    }
    if (m_running.load()) Stop(false, platform::INFINITE_TIMEOUT);
    if (m_thread.joinable()) m_thread.join();
  }

  T* m_owner;
  TRendezVousEx m_rendezvous;
  std::atomic<bool> m_running{false};
  std::atomic<bool> m_stopping{false};  // set while a TActiveObjectEx stops: PostOrExecute refuses meanwhile
  std::atomic<platform::DWORD> m_activeThreadId{kNoThread};  // the serving worker
  std::atomic<platform::DWORD> m_threadId{0};                // the worker's from its start, 0 without one
  std::atomic<int> m_priority{0};                            // the level set last, 0 when never set
  TStringEx m_name;
  std::atomic<bool> m_activity{false};
  TPostStatistics m_statistics;
  const bool m_catchEnabled;

 private:
  friend class TBlockingCallFunctor<TActiveObjectCommon>;

  bool OnOwnWorker() const { return m_thread.get_id() == std::this_thread::get_id(); }

  void Server_ExecuteAndSignal(TBlockingCall& call) {
    if (!call.Take(TBlockingCall::kTaken)) return;  // given up: the wrapper deletes the functor
    TFunctor* functor = call.functor;
    call.functor = nullptr;
    Server_ExecuteFunc(functor);
    call.done.Release(1);
  }

  const char16_t* const m_wakeName;
  const char16_t* const m_executeLabel;
  std::thread m_thread;
  platform::Event m_threadEnded{true, false};
  std::atomic<std::uint64_t> m_generation{0};
};
