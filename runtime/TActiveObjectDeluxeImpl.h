// TActiveObjectDeluxeImpl: what the deluxe active objects add to an active object: a name, start
// and stop hooks that run on the worker thread, a run-and-wait call, and a built-in timer.
// OnStart runs on the worker before Start returns; OnStop runs on the worker before the stop
// request is queued.
#pragma once

#include <memory>

#include "foundation/TStringEx.h"
#include "runtime/TMutex.h"
#include "runtime/TSemaphore.h"
#include "runtime/TTimerEx.h"

class TActiveObjectBase;
class TFunctor;

class TActiveObjectDeluxeImpl {
 public:
  TActiveObjectDeluxeImpl(const char16_t* name, TActiveObjectBase* owner);
  virtual ~TActiveObjectDeluxeImpl();
  TActiveObjectDeluxeImpl(const TActiveObjectDeluxeImpl&) = delete;
  TActiveObjectDeluxeImpl& operator=(const TActiveObjectDeluxeImpl&) = delete;

  virtual void OnStart() {}
  virtual void OnStop() {}
  virtual void OnReserved(std::uint32_t) {}

  const TStringEx& GetDeluxeName() const { return m_name; }
  platform::DWORD GetWorkerThreadId() const { return m_workerThreadId; }
  // The built-in timer: give it a functor (and a period) before Start to have it run on the
  // worker from the start to the stop.
  TTimerEx<TActiveObjectDeluxeImpl>& GetTimer() { return *m_timer; }

  // Functor targets, run on the worker thread.
  // On the worker: records its id, sets the built-in timer when it has a functor, runs OnStart.
  void OnStarted();
  // On the worker: cancels the built-in timer when it has a functor, runs OnStop.
  void OnStopping();

 protected:
  // Runs the functor on the worker thread of `owner` and waits for it; calls are served one at a
  // time. Not from the worker itself. True when the functor returned normally; false when it was
  // refused, threw or faulted (caught by the worker's catch-all), or was discarded unrun by a
  // flush. The functor is deleted in every case and the caller is never left waiting.
  bool RunAndWait(TFunctor* functor, bool running);

  void SetDeluxeName(const char16_t* name) { m_name = name; }

 private:
  TMutexHandle m_lock;
  TSemaphoreHandle m_reply;
  TStringEx m_name;
  platform::DWORD m_workerThreadId = 0;
  bool m_callReturned = false;  // outcome of the current run-and-wait call, guarded by m_lock
  TActiveObjectBase* m_owner;
  std::unique_ptr<TTimerEx<TActiveObjectDeluxeImpl>> m_timer;
};
