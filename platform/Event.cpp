#include "platform/Event.h"

#include <chrono>

namespace platform {

Event::Event(bool manualReset, bool initiallySet) : m_manualReset(manualReset), m_set(initiallySet) {}

void Event::Set() {
  // Notify while holding the lock: a waiter that sees the flag may return and destroy the event
  // as soon as the lock is released.
  std::lock_guard<std::mutex> guard(m_lock);
  m_set = true;
  if (m_manualReset)
    m_changed.notify_all();
  else
    m_changed.notify_one();
}

void Event::Reset() {
  std::lock_guard<std::mutex> guard(m_lock);
  m_set = false;
}

bool Event::IsSet() const {
  std::lock_guard<std::mutex> guard(m_lock);
  return m_set;
}

bool Event::Wait(DWORD timeoutMs) {
  std::unique_lock<std::mutex> guard(m_lock);
  auto isSet = [this] { return m_set; };
  if (timeoutMs == INFINITE_TIMEOUT)
    m_changed.wait(guard, isSet);
  else if (!m_changed.wait_for(guard, std::chrono::milliseconds(timeoutMs), isSet))
    return false;
  if (!m_manualReset) m_set = false;
  return true;
}

}  // namespace platform
