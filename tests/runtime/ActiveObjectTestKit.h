// What the active-object tests share: a gate that holds a worker inside a functor, a check that
// a thread has ended, and a deluxe object that records its hooks and timer ticks.
#pragma once

#include <unistd.h>

#include <atomic>
#include <future>
#include <memory>
#include <string>
#include <utility>

#include "platform/Thread.h"
#include "runtime/TActiveObjectBase.h"
#include "tests/TestSupport.h"
#include "tests/runtime/LambdaFunctor.h"

namespace testing_support {

// Holds a worker inside a functor until opened, at the latest when the gate goes. The functor
// shares what it uses, so the gate may go while the worker is still leaving it.
struct Gate {
  ~Gate() { Open(); }
  bool Hold(TActiveObjectBase& object, platform::DWORD admissionTimeoutMs = platform::INFINITE_TIMEOUT) {
    object.Post(new LambdaFunctor([opened = opened, entered = entered] {
                  *entered = true;
                  opened.wait();
                }),
                admissionTimeoutMs);
    return WaitFor([this] { return entered->load(); });
  }
  void Open() {
    if (!std::exchange(open, true)) promise.set_value();
  }
  std::promise<void> promise;
  std::shared_future<void> opened = promise.get_future().share();
  std::shared_ptr<std::atomic<bool>> entered = std::make_shared<std::atomic<bool>>(false);
  bool open = false;
};

inline bool ThreadGone(platform::DWORD tid) {
  return access(("/proc/self/task/" + std::to_string(tid)).c_str(), F_OK) != 0;
}

// A deluxe active object (Deluxe: TActiveObjectDeluxe, TWndActiveObjectDeluxe, ...) that records
// its hooks and timer ticks; stops itself before its members go, as a deriving class must.
template <class Deluxe>
class HookProbe : public Deluxe {
 public:
  HookProbe() : Deluxe(u"Probe") {}
  ~HookProbe() override { this->Stop(false, platform::INFINITE_TIMEOUT); }
  void OnStart() override {
    startThread = platform::CurrentThreadId();
    ++starts;
  }
  void OnStop() override {
    stopThread = platform::CurrentThreadId();
    ticksAtStop = ticks.load();
    ++stops;
  }
  void Tick() {
    tickThread = platform::CurrentThreadId();
    ++ticks;
  }
  std::atomic<int> starts{0}, stops{0}, ticks{0}, ticksAtStop{-1};
  std::atomic<platform::DWORD> startThread{0}, stopThread{0}, tickThread{0};
};

}  // namespace testing_support
