// TRendezVousEx: lets a foreign thread park an active object's worker between two functors and
// work on that object's state meanwhile.
//
// Enter (foreign thread) posts a meeting functor and waits until the worker arrives at it; the
// worker then waits in Meet until Leave. Requesters are served one at a time, in the order the
// rendezvous mutex grants them. On an owner that is not running Enter parks nothing and returns
// at once. A meeting functor that is refused, or discarded unrun (a flush), fails the Enter
// instead of leaving it waiting for an arrival that never comes. A requester must not be the
// owner's own thread (it would wait for itself).
#pragma once

#include "runtime/TMutex.h"
#include "runtime/TSemaphore.h"

class TActiveObjectBase;

class TRendezVousEx {
 public:
  // pumpMessages 1: Enter waits for the worker while dispatching its own thread's messages.
  TRendezVousEx(TActiveObjectBase* owner, std::uint32_t pumpMessages);
  virtual ~TRendezVousEx();
  TRendezVousEx(const TRendezVousEx&) = delete;
  TRendezVousEx& operator=(const TRendezVousEx&) = delete;

  // True when the caller has the owner's state to itself until Leave (call Leave only then). The
  // time-out applies to posting the meeting functor; the wait for the worker to arrive has no
  // limit, but ends with false when the meeting functor is discarded unrun.
  virtual bool Enter(platform::DWORD timeoutMs);
  // Runs on the owner's thread.
  virtual void Meet();
  virtual void Leave();

 private:
  TMutexHandle m_mutex;
  TSemaphoreHandle m_arrival;
  TSemaphoreHandle m_release;
  TActiveObjectBase* m_owner;
  std::uint32_t m_pumpMessages;
  bool m_parked = false;  // guarded by m_mutex: the holder's Enter parked the worker
  bool m_missed = false;  // the holder's meeting functor was deleted unrun (set before the arrival signal)

  class Meeting;
};
