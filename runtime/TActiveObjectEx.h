// TActiveObjectEx<T, N>: an active object. One worker thread runs, one at a time and in queue
// order, the functors posted to the object and, between them, its due timers. N is the size of
// the queue's normal lane and the timer capacity; T is the deriving class.
//
// Threads: any thread may post; functors, timer callbacks and the discard hook run on the
// worker. PostOrExecute from the worker runs at once; a blocking post from the worker runs the
// queue on the spot until its own functor has run (nesting), one from another thread waits for
// its own completion signal, so any number of threads may block on one object at once; one whose
// functor is discarded unrun, or left behind the stop request when the worker ends, returns false.
// ExecuteSynchronized runs a functor on the caller's thread while the worker is parked (on the
// worker itself, at once).
// With "EnableCatch" on (read at construction), an exception or hardware fault in a posted
// functor is logged (see CatchAll.h) and the worker goes on; with it off, it ends the process.
// Lifetime: construct, Start, Stop, (Start again ...), destroy. Destroy only a stopped object;
// Start and the destructor wait for a worker that is still returning from a stop.
#pragma once

#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

#include "modules/TConsole.h"
#include "platform/Thread.h"
#include "platform/ThreadCheck.h"
#include "runtime/TActiveObjectCommon.h"
#include "runtime/TBlockingCall.h"
#include "runtime/TFunctor.h"
#include "runtime/TMsgQueueEx.h"
#include "runtime/TTimerIface.h"
#include "runtime/TTimerMgrEx.h"

template <class T, std::uint32_t N>
class TActiveObjectEx : public TActiveObjectCommon<T>, private TMsgQueueIface<TFunctor*> {
  using Common = TActiveObjectCommon<T>;
  using Common::m_activeThreadId, Common::m_name, Common::m_rendezvous, Common::m_running, Common::m_statistics,
      Common::m_stopping;

 public:
  using Common::Server_ExecuteFunc;

  // waitMode 1: the queue's flush and the rendezvous wait while dispatching window messages.
  explicit TActiveObjectEx(T* owner, std::uint32_t waitMode = 0)
      : Common(owner, waitMode, u"TActiveObjectEx::Server_Dummy()", u"TActiveObjectEx<%s>::Server_ExecuteFunc"),
        m_queue(nullptr, this, waitMode),
        m_timers(N) {}

  ~TActiveObjectEx() override {
    this->EndWorkerThread();
    m_queue.Flush(0, false, true);
  }

  bool Start(const char16_t* name) override {
    if (m_running.load()) return true;
    this->LaunchWorker(name, [this](std::uint64_t generation) { ThreadProc(generation); });
    return true;
  }

  bool IsRunning() override { return m_running.load(); }

  bool Stop(bool flushFirst, platform::DWORD timeoutMs) override {
    if (!m_running.load()) return true;
    m_stopping.store(true);
    if (flushFirst) Flush(timeoutMs);
    const bool onWorker = this->OnActiveThread();
    // The stop request passes the stopping flag and a full normal lane; from another thread it
    // waits for a place in the priority lane (blocking posts may hold them all). A flush that timed
    // out still discards, when the worker comes to it, what was queued then, the request included,
    // so a discarded request is made again. On the worker a request that cannot be queued (the
    // worker would wait for itself) ends the loop directly.
    while (m_running.load()) {
      auto* end = new TFunctor0<TActiveObjectEx>(this, &TActiveObjectEx::EndImpl);
      end->m_name = u"EndImpl functor";
      if (!PushAndBlockThreadSafeInternal(end, onWorker ? 0 : platform::INFINITE_TIMEOUT, true) && onWorker) EndImpl();
    }
    // Stopped from its own worker, the thread ends when the current functor returns; one that
    // outlasts the time-out is waited for by Start and the destructor.
    this->AwaitWorkerEnd(timeoutMs);
    m_stopping.store(false);
    return true;
  }

  bool GetQueueCount(std::uint32_t* count) override {
    *count = m_queue.GetCount();
    return true;
  }

  // From the worker itself the queue is flushed on the spot: waiting for the worker to pass the
  // flush would be waiting for itself.
  void Flush(platform::DWORD timeoutMs) override {
    bool onWorker = this->OnActiveThread();
    m_queue.Flush(timeoutMs, m_running.load() && !onWorker, true);
  }

  bool Post(TFunctor* functor, platform::DWORD admissionTimeoutMs) override {
    if (m_stopping.load()) {
      delete functor;
      return false;
    }
    bool queued = m_queue.Send(&functor, admissionTimeoutMs);
    if (!queued) delete functor;
    m_statistics.Record(m_queue.GetCount());
    return queued;
  }

  bool ExecuteSynchronized(TFunctor* functor) override {
    if (m_stopping.load()) {
      delete functor;
      return false;
    }
    if (functor == nullptr) return false;
    if (this->OnActiveThread()) {
      // The worker is here already: meeting itself would wait for ever.
      Server_ExecuteFunc(functor);
      return true;
    }
    if (!m_rendezvous.Enter(platform::INFINITE_TIMEOUT)) {
      delete functor;
      return false;
    }
    Server_ExecuteFunc(functor);
    m_rendezvous.Leave();
    return true;
  }

  bool SetTimer(TTimerIface* timer) override {
    // The id as the manager gave it: read from the timer afterwards, it races with the worker,
    // which may fire a short timer and clear its id meanwhile.
    platform::DWORD id = m_timers.Set(timer);
    this->PostOrExecute(this->NewWakeFunctor(), 0);
    return id != 0;
  }

  bool CancelTimer(TTimerIface* timer) override { return m_timers.Cancel(timer); }

  // Ends the worker loop after the current turn; queued as the stop request.
  virtual void EndImpl() { m_running.store(false); }

  // The blocking post. From the worker thread it runs the queue here until its functor has run;
  // from another thread it waits for the functor's own completion signal. A stop request passes
  // with `force` while the object is stopping. A functor discarded unrun (by a flush), or given up
  // when the worker ends before reaching it, ends the wait too, with false.
  bool PushAndBlockThreadSafeInternal(TFunctor* functor, platform::DWORD admissionTimeoutMs, bool force) override {
    if (this->OnActiveThread()) {
      if ((m_stopping.load() && !force) || !m_running.load()) {
        delete functor;
        return false;
      }
      return RunQueueUntil(functor, admissionTimeoutMs);
    }
    auto call = std::make_shared<TBlockingCall>(functor);
    {
      // Checked under the lock that the ending worker takes to give up the calls still waiting: a
      // call is refused here, or runs before the stop request, or is given up.
      std::lock_guard<std::mutex> hold(m_callsLock);
      if ((m_stopping.load() && !force) || !m_running.load()) {
        delete functor;
        return false;
      }
      m_waitingCalls.push_back(call.get());
    }
    TFunctor* wrapper = this->NewBlockingCallFunctor(call);
    if (!m_queue.SendPriority(&wrapper, admissionTimeoutMs)) {
      delete wrapper;  // deletes the functor with it
      ForgetCall(call.get());
      return false;
    }
    bool signalled = TSemaphore_Wait(&call->done, m_blockTimeout);
    ForgetCall(call.get());
    if (signalled) return call->state.load() == TBlockingCall::kTaken;
    TConsole::PrintLine(
        u"ERROR: TActiveObjectEx::PushAndBlockThreadSafeInternal ThreadId:0x%04x ActiveThreadID:0x%04x Timeout:%d "
        u"ActiveThreadName:%s",
        platform::CurrentThreadId(), m_activeThreadId.load(), admissionTimeoutMs, m_name);
    return false;
  }

 private:
  void ForgetCall(TBlockingCall* call) {
    std::lock_guard<std::mutex> hold(m_callsLock);
    m_waitingCalls.erase(std::find(m_waitingCalls.begin(), m_waitingCalls.end(), call));
  }

  // The worker ends: foreign blocking posts not run yet were queued behind the stop request and
  // will not run now. Their callers get false rather than wait for a restart that may never come.
  void GiveUpWaitingCalls() {
    std::lock_guard<std::mutex> hold(m_callsLock);
    for (TBlockingCall* call : m_waitingCalls)
      if (call->Take(TBlockingCall::kGivenUp)) call->done.Release(1);
  }

  // A blocking post made on the worker thread: serve the queue here until the functor has run.
  bool RunQueueUntil(TFunctor* functor, platform::DWORD admissionTimeoutMs) {
    TOLVANE_DCHECK_ON_THREAD(m_activeThreadId.load());
    if (!m_queue.SendPriority(&functor, admissionTimeoutMs)) {
      delete functor;
      return false;
    }
    ++m_nesting;
    m_nestedDone = false;
    bool done = false;
    while (m_running.load()) {
      TFunctor* next = nullptr;
      if (!m_queue.Receive(&next, 0, true)) break;
      if (next == nullptr) continue;
      bool mine = next == functor;
      Server_ExecuteFunc(next);
      if (mine || m_nestedDone) {
        m_nestedDone = true;
        done = true;
        break;
      }
    }
    if (--m_nesting == 0) m_nestedDone = false;
    return done;
  }

  void ThreadProc(std::uint64_t generation) {
    this->EnterWorker();
    m_queue.SetReceiverThread(platform::CurrentThreadId());
    m_activeThreadId.store(platform::CurrentThreadId());
    while (m_running.load() && this->IsCurrentGeneration(generation)) {
      platform::DWORD wait = m_timers.TimeToFirstDue();
      if (wait == 0) m_timers.Run();
      TFunctor* functor = nullptr;
      if (m_queue.Receive(&functor, wait, true)) {
        if (functor != nullptr) Server_ExecuteFunc(functor);
      } else if (wait != 0) {
        m_timers.Run();
      }
    }
    this->LeaveWorker();
    if (this->IsCurrentGeneration(generation)) {
      GiveUpWaitingCalls();
      this->WorkerEnded();
    }
  }

  // The discard hook of the queue: a flushed functor is deleted unrun.
  void OnDiscard(TFunctor** slot) override {
    delete *slot;
    *slot = nullptr;
  }

  TMsgQueueEx<TFunctor*, N> m_queue;
  TTimerMgrEx m_timers;
  std::mutex m_callsLock;
  std::vector<TBlockingCall*> m_waitingCalls;   // foreign blocking posts in progress, guarded by m_callsLock
  bool m_nestedDone = false;    // worker thread only
  std::uint32_t m_nesting = 0;  // worker thread only
  const platform::DWORD m_blockTimeout = platform::INFINITE_TIMEOUT;
};
