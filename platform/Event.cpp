#include "platform/Event.h"

namespace platform {
namespace {
constexpr std::uint32_t kSet = 1;
constexpr std::uint32_t kRegistered = 2;
}  // namespace

Event::Event(bool manualReset, bool initiallySet) : m_state(initiallySet ? kSet : 0), m_manualReset(manualReset) {}

void Event::Set() {
  std::uint32_t state = m_state.load(std::memory_order_seq_cst);
  for (;;) {
    if (state >= kRegistered) {
      // Registered waiters cannot leave, and so free the event, while we hold their lock.
      PublishToRegistered([this] { m_state.fetch_or(kSet, std::memory_order_seq_cst); });
      return;
    }
    // Nobody is registered: the flag is published in this one operation and the event is not
    // touched again.
    if (m_state.compare_exchange_weak(state, state | kSet, std::memory_order_seq_cst)) return;
  }
}

void Event::Reset() { m_state.fetch_and(~kSet, std::memory_order_seq_cst); }

bool Event::IsSet() const { return (m_state.load(std::memory_order_seq_cst) & kSet) != 0; }

bool Event::TryAcquire() {
  if (m_manualReset) return IsSet();
  std::uint32_t state = m_state.load(std::memory_order_seq_cst);
  while ((state & kSet) != 0)
    if (m_state.compare_exchange_weak(state, state & ~kSet, std::memory_order_seq_cst)) return true;
  return false;
}

void Event::OnRegisteredChanged(int delta) {
  if (delta > 0)
    m_state.fetch_add(kRegistered, std::memory_order_seq_cst);
  else
    m_state.fetch_sub(kRegistered, std::memory_order_seq_cst);
}

}  // namespace platform
