#include "console/TLineAssembler.h"

#include <algorithm>
#include <cstdint>

#include "runtime/TGuard.h"

void TLineAssembler::Add(platform::DWORD thread, const char16_t* text, platform::DWORD now,
                         std::vector<std::u16string>& ready) {
  std::u16string_view piece(text);
  TGuardEx hold(&m_lock);
  for (auto it = m_held.begin(); it != m_held.end();) {
    // Signed: another thread may have read the clock after this one and held text since then.
    if (it->thread != thread && static_cast<std::int32_t>(now - it->since) >= static_cast<std::int32_t>(kHeldMs)) {
      ready.push_back(std::move(it->text));
      it = m_held.erase(it);
    } else {
      ++it;
    }
  }
  auto mine = FindLocked(thread);
  const std::size_t lineEnd = piece.rfind(u'\n');
  if (mine == m_held.end()) {
    // Nothing held: the complete part goes out without a copy into the store.
    const std::size_t complete = lineEnd == std::u16string_view::npos ? 0 : lineEnd + 1;
    if (complete > 0) ready.emplace_back(piece.substr(0, complete));
    piece.remove_prefix(complete);
    if (piece.empty()) return;
    if (piece.size() >= kHeldLimit) {
      ready.emplace_back(piece);
      return;
    }
    m_held.push_back(Held{thread, now, std::u16string(piece)});
    return;
  }
  mine->text.append(piece);
  if (lineEnd != std::u16string_view::npos) {
    const std::size_t complete = mine->text.size() - (piece.size() - lineEnd - 1);
    ready.push_back(mine->text.substr(0, complete));
    mine->text.erase(0, complete);
    mine->since = now;
  }
  if (mine->text.size() >= kHeldLimit) {
    ready.push_back(std::move(mine->text));
    mine->text.clear();
  }
  if (mine->text.empty()) m_held.erase(mine);
}

std::vector<TLineAssembler::Held>::iterator TLineAssembler::FindLocked(platform::DWORD thread) {
  return std::find_if(m_held.begin(), m_held.end(), [&](const Held& h) { return h.thread == thread; });
}

std::u16string TLineAssembler::TakeHeld(platform::DWORD thread) {
  TGuardEx hold(&m_lock);
  auto mine = FindLocked(thread);
  if (mine == m_held.end()) return {};
  std::u16string text = std::move(mine->text);
  m_held.erase(mine);
  return text;
}
