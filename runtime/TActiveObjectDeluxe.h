// The deluxe active objects: ready-made active objects for application classes to derive from.
// TActiveObjectDeluxe has a normal lane and timer capacity of 10000, TBigBadAssActiveObjectDeluxe
// of 80000. Start runs OnStart on the worker and is false when the object was running already;
// Stop runs OnStop on the worker first and is false when that could not be queued;
// ExecuteSynchronized runs the functor on the worker thread and waits for it (called on the
// worker, it runs the functor at once).
#pragma once

#include <memory>

#include "runtime/TActiveObjectDeluxeImpl.h"
#include "runtime/TActiveObjectEx.h"

template <class Self, std::uint32_t N>
class TActiveObjectDeluxeT : public TActiveObjectEx<Self, N>, public TActiveObjectDeluxeImpl {
  using Base = TActiveObjectEx<Self, N>;

 public:
  // The owner pointer is taken before Self is constructed: only the address is computed then, so
  // the sanitizer's dynamic-type check of the downcast (which would see no vptr yet) is left out.
  __attribute__((no_sanitize("vptr"))) explicit TActiveObjectDeluxeT(const char16_t* name)
      : Base(static_cast<Self*>(this)), TActiveObjectDeluxeImpl(name, static_cast<TActiveObjectBase*>(this)) {}

  // An object still running is stopped here, before its built-in timer goes away with it.
  ~TActiveObjectDeluxeT() override {
    if (Base::IsRunning() && platform::CurrentThreadId() != Base::GetActiveThreadId()) Stop(false, platform::INFINITE_TIMEOUT);
  }

  bool Start(const char16_t* name) override {
    if (Base::IsRunning()) return false;
    SetDeluxeName(name);
    Base::Start(name);
    return ExecuteSynchronized(new TFunctor0<TActiveObjectDeluxeImpl>(this, &TActiveObjectDeluxeImpl::OnStarted));
  }

  bool Stop(bool flushFirst, platform::DWORD timeoutMs) override {
    if (!Base::PushAndBlock(new TFunctor0<TActiveObjectDeluxeImpl>(this, &TActiveObjectDeluxeImpl::OnStopping), 0))
      return false;
    return Base::Stop(flushFirst, timeoutMs);
  }

  // From the worker itself the functor runs at once: queuing it and waiting would wait for ever.
  bool ExecuteSynchronized(TFunctor* functor) override {
    if (functor != nullptr && platform::CurrentThreadId() == Base::GetActiveThreadId()) {
      std::unique_ptr<TFunctor> owned(functor);
      owned->Execute();
      return true;
    }
    return RunAndWait(functor, Base::IsRunning());
  }
};

class TActiveObjectDeluxe : public TActiveObjectDeluxeT<TActiveObjectDeluxe, 10000> {
 public:
  using TActiveObjectDeluxeT::TActiveObjectDeluxeT;
};

class TBigBadAssActiveObjectDeluxe : public TActiveObjectDeluxeT<TBigBadAssActiveObjectDeluxe, 80000> {
 public:
  using TActiveObjectDeluxeT::TActiveObjectDeluxeT;
};
