// TTimerEx: the timer of an active object. T names the owning class only; the timer holds no
// pointer to it.
//
// Ownership: the timer owns its functor and deletes it when it is replaced and when the timer
// is destroyed. A scheduled timer must be cancelled before it is destroyed, and must not be
// destroyed by its own callback (the manager still uses it after the call).
#pragma once

#include <cstdint>

#include "runtime/TFunctor.h"
#include "runtime/TTimerIface.h"

template <class T>
class TTimerEx : public TTimerIface {
 public:
  TTimerEx() = default;
  ~TTimerEx() override { delete m_functor; }

  void Setup(platform::DWORD period, std::int32_t repeatCount, std::int32_t phase) override {
    m_period = period;
    m_repeatCount = repeatCount;
    m_phase = phase;
  }
  TFunctor** GetFunctorRef() override { return &m_functor; }
  void SetFunctor(TFunctor* functor) override {
    if (functor == nullptr || functor == m_functor) return;
    delete m_functor;
    m_functor = functor;
  }
  void Fire() override {
    if (m_functor != nullptr) m_functor->Execute();
  }

  platform::DWORD GetId() const override { return m_id; }
  platform::DWORD GetNextFiring() const override { return m_nextFiring; }
  platform::DWORD GetPeriod() const override { return m_period; }
  std::int32_t GetRepeatCount() const override { return m_repeatCount; }
  std::int32_t GetPhase() const override { return m_phase; }

  void SetId(platform::DWORD id) override { m_id = id; }
  void SetNextFiring(platform::DWORD tick) override { m_nextFiring = tick; }
  void SetPeriod(platform::DWORD period) override { m_period = period; }
  void SetRepeatCount(std::int32_t repeatCount) override { m_repeatCount = repeatCount; }
  void SetPhase(std::int32_t phase) override { m_phase = phase; }

  // Marks the timer as not scheduled. Its manager drops a scheduled entry whose id is 0 unfired.
  virtual void ClearId() { m_id = 0; }

 private:
  platform::DWORD m_id = 0;  // 0 while not scheduled
  platform::DWORD m_nextFiring = 0;
  platform::DWORD m_period = 0;
  std::int32_t m_repeatCount = 0;
  std::int32_t m_phase = 0;
  TFunctor* m_functor = nullptr;  // owned; a plain pointer because GetFunctorRef hands out its address
};
