// TWndActiveObjectDeluxe: the deluxe active object (name, start and stop hooks on the worker, a
// run-and-wait call, a built-in timer) served through a hidden window's message queue.
// Start runs OnStart on the worker before it returns and is false when the object was running
// already; Stop runs OnStop on the worker first and is false when the object was not running;
// ExecuteSynchronized is the run-and-wait call: the functor is sent to the worker, which runs it
// ahead of posted functors while the caller waits (on the worker itself it runs at once). A
// running object is stopped when it is destroyed.
#pragma once

#include "runtime/CWndActiveObjImpWithThread.h"
#include "runtime/TActiveObjectDeluxeImpl.h"

class TWndActiveObjectDeluxe : public CWndActiveObjImpWithThread<TWndActiveObjectDeluxe>, public TActiveObjectDeluxeImpl {
  using Base = CWndActiveObjImpWithThread<TWndActiveObjectDeluxe>;

 public:
  explicit TWndActiveObjectDeluxe(const char16_t* name);
  ~TWndActiveObjectDeluxe() override;

  bool Start(const char16_t* name) override;
  bool Stop(bool flushFirst, platform::DWORD timeoutMs) override;
};
