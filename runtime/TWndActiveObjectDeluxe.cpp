#include "runtime/TWndActiveObjectDeluxe.h"

TWndActiveObjectDeluxe::TWndActiveObjectDeluxe(const char16_t* name)
    : Base(this), TActiveObjectDeluxeImpl(name, static_cast<TActiveObjectBase*>(this)) {}

// Stopped here, before the built-in timer goes away with the object.
TWndActiveObjectDeluxe::~TWndActiveObjectDeluxe() {
  if (IsRunning() && platform::CurrentThreadId() != GetActiveThreadId()) Stop(false, platform::INFINITE_TIMEOUT);
}

bool TWndActiveObjectDeluxe::Start(const char16_t* name) {
  if (IsRunning()) return false;
  SetDeluxeName(name);
  if (!Base::Start(name)) return false;
  return ExecuteSynchronized(new TFunctor0<TActiveObjectDeluxeImpl>(this, &TActiveObjectDeluxeImpl::OnStarted));
}

bool TWndActiveObjectDeluxe::Stop(bool flushFirst, platform::DWORD timeoutMs) {
  if (!Base::PushAndBlock(new TFunctor0<TActiveObjectDeluxeImpl>(this, &TActiveObjectDeluxeImpl::OnStopping), 0)) return false;
  return Base::Stop(flushFirst, timeoutMs);
}
