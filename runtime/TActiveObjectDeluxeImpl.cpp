#include "runtime/TActiveObjectDeluxeImpl.h"

#include "platform/Thread.h"
#include "runtime/TActiveObjectBase.h"
#include "runtime/TFunctor.h"

namespace {

// The queued half of a run-and-wait call. It is deleted however it ends: after running, after
// its functor threw or faulted under the worker's catch-all (which deletes what it ran), or unrun
// when a flush or a refused post discards it. Its destructor therefore deletes the caller's
// functor and releases the caller; *returned is set only when the functor returned normally.
class RunAndReplyCall : public TFunctor {
 public:
  RunAndReplyCall(TFunctor* functor, TSemaphoreHandle reply, bool* returned)
      : m_functor(functor), m_reply(reply), m_returned(returned) {
    NotifyCreated();
  }
  ~RunAndReplyCall() override {
    delete m_functor;
    TSemaphore_Release(m_reply, 1);
  }
  void Execute() override {
    Traced([this] {
      m_functor->Execute();
      *m_returned = true;
    });
  }

 private:
  TFunctor* m_functor;
  TSemaphoreHandle m_reply;
  bool* m_returned;
};

}  // namespace

TActiveObjectDeluxeImpl::TActiveObjectDeluxeImpl(const char16_t* name, TActiveObjectBase* owner)
    : m_lock(TMutex_Create()),
      m_reply(TSemaphore_Create(0, 1)),
      m_name(name),
      m_owner(owner),
      m_timer(std::make_unique<TTimerEx<TActiveObjectDeluxeImpl>>()) {}

TActiveObjectDeluxeImpl::~TActiveObjectDeluxeImpl() {
  TMutex_Close(m_lock);
  TSemaphore_Close(m_reply);
}

void TActiveObjectDeluxeImpl::OnStarted() {
  m_workerThreadId = platform::CurrentThreadId();
  if (*m_timer->GetFunctorRef() != nullptr) m_owner->SetTimer(m_timer.get());
  OnStart();
}

void TActiveObjectDeluxeImpl::OnStopping() {
  if (*m_timer->GetFunctorRef() != nullptr) m_owner->CancelTimer(m_timer.get());
  OnStop();
}

bool TActiveObjectDeluxeImpl::RunAndWait(TFunctor* functor, bool running) {
  if (functor == nullptr) return false;
  if (!running || !TMutex_Wait(m_lock, platform::INFINITE_TIMEOUT)) {
    delete functor;
    return false;
  }
  TSemaphore_Wait(m_reply, 0);
  m_callReturned = false;
  // The call owns the functor from here. A refused post deletes the call at once, which releases
  // the reply too, so the wait ends in every case.
  m_owner->Post(new RunAndReplyCall(functor, m_reply, &m_callReturned), 0);
  bool result = TSemaphore_Wait(m_reply, platform::INFINITE_TIMEOUT) && m_callReturned;
  TMutex_Release(m_lock);
  return result;
}
