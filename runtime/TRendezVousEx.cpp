#include "runtime/TRendezVousEx.h"

#include "runtime/TActiveObjectBase.h"
#include "runtime/TFunctor.h"

// The meeting functor. Deleted without having run (refused, or discarded by a flush), it signals
// the arrival all the same, marked as missed, so that Enter does not wait for ever.
class TRendezVousEx::Meeting : public TFunctor {
 public:
  explicit Meeting(TRendezVousEx* rendezvous) : m_rendezvous(rendezvous) { NotifyCreated(); }
  ~Meeting() override {
    if (m_ran) return;
    m_rendezvous->m_missed = true;
    TSemaphore_Release(m_rendezvous->m_arrival, 1);
  }
  void Execute() override {
    m_ran = true;
    Traced([this] { m_rendezvous->Meet(); });
  }

 private:
  TRendezVousEx* m_rendezvous;
  bool m_ran = false;
};

TRendezVousEx::TRendezVousEx(TActiveObjectBase* owner, std::uint32_t pumpMessages)
    : m_mutex(TMutex_Create()),
      m_arrival(TSemaphore_Create(0, 1)),
      m_release(TSemaphore_Create(0, 1)),
      m_owner(owner),
      m_pumpMessages(pumpMessages) {}

TRendezVousEx::~TRendezVousEx() {
  TMutex_Close(m_mutex);
  TSemaphore_Close(m_arrival);
  TSemaphore_Close(m_release);
}

bool TRendezVousEx::Enter(platform::DWORD timeoutMs) {
  bool locked = TMutex_Wait(m_mutex, platform::INFINITE_TIMEOUT);
  m_parked = false;
  if (!m_owner->IsRunning()) return locked;
  m_missed = false;
  if (!m_owner->Post(new Meeting(this), timeoutMs)) {
    TSemaphore_Wait(m_arrival, 0);  // the refused meeting was deleted at once and signalled
    TMutex_Release(m_mutex);
    return false;
  }
  if (m_pumpMessages == 1)
    TSemaphore_WaitPumpingMessages(m_arrival, platform::INFINITE_TIMEOUT);
  else
    TSemaphore_Wait(m_arrival, platform::INFINITE_TIMEOUT);
  if (m_missed) {
    TMutex_Release(m_mutex);
    return false;
  }
  m_parked = true;
  return true;
}

void TRendezVousEx::Meet() {
  TSemaphore_Release(m_arrival, 1);
  TSemaphore_Wait(m_release, platform::INFINITE_TIMEOUT);
}

void TRendezVousEx::Leave() {
  // Only a parked worker is released, so an Enter on a stopped owner leaves no stale release.
  if (m_parked) {
    m_parked = false;
    TSemaphore_Release(m_release, 1);
  }
  TMutex_Release(m_mutex);
}
