// TActiveObjectBase: the interface of an object that owns one worker thread and runs the work
// posted to it there, one functor at a time.
//
// Ownership: a functor handed to any posting operation belongs to the object from that moment,
// whether the post succeeds or not (a refused one is deleted at once). Timers stay their
// creators'; an object holds them only while they are scheduled.
#pragma once

#include <cstdint>

#include "platform/Win32Types.h"

class TFunctor;
class TTimerIface;

class TActiveObjectBase {
 public:
  TActiveObjectBase() = default;
  TActiveObjectBase(const TActiveObjectBase&) = delete;
  TActiveObjectBase& operator=(const TActiveObjectBase&) = delete;

  virtual bool Start(const char16_t* name) = 0;
  virtual bool IsRunning() = 0;
  virtual bool Stop(bool flushFirst, platform::DWORD timeoutMs) = 0;
  virtual bool GetQueueCount(std::uint32_t* count) = 0;
  virtual void Flush(platform::DWORD timeoutMs) = 0;
  virtual bool Post(TFunctor* functor, platform::DWORD admissionTimeoutMs) = 0;
  virtual bool ExecuteSynchronized(TFunctor* functor) = 0;
  virtual bool SetTimer(TTimerIface* timer) = 0;
  virtual bool CancelTimer(TTimerIface* timer) = 0;
  virtual bool ResetTimer(TTimerIface* timer) = 0;
  virtual bool Lock(platform::DWORD timeoutMs) = 0;
  virtual bool Unlock() = 0;
  virtual bool PostOrExecute(TFunctor* functor, platform::DWORD admissionTimeoutMs) = 0;
  // Posts and waits until the functor has run. Not offered here: the functor is deleted.
  virtual bool PushAndBlock(TFunctor* functor, platform::DWORD admissionTimeoutMs);
  // Priority level 1 (highest) to 7 (lowest); any other level means normal (4).
  virtual void SetPriority(int level) { (void)level; }
  // Whether the worker ran anything since the last check.
  virtual bool CheckAlive() { return false; }
  virtual ~TActiveObjectBase() = default;
};
