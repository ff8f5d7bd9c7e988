// A console listener for tests: keeps every piece of text a module's console hands on.
#pragma once

#include <algorithm>
#include <mutex>
#include <string>
#include <vector>

#include "modules/IConsoleListener.h"

namespace testing_support {

class ConsoleCapture final : public IConsoleListener {
 public:
  void OnConsoleOutput(const char16_t* text) override {
    std::lock_guard<std::mutex> hold(m_lock);
    m_pieces.emplace_back(text);
  }
  // The pieces so far, kept.
  std::vector<std::u16string> Pieces() {
    std::lock_guard<std::mutex> hold(m_lock);
    return m_pieces;
  }
  // The pieces so far, taken.
  std::vector<std::u16string> Take() {
    std::lock_guard<std::mutex> hold(m_lock);
    return std::move(m_pieces);
  }
  // The pieces so far, taken and joined.
  std::u16string Text() {
    std::u16string all;
    for (const std::u16string& piece : Take()) all += piece;
    return all;
  }

 private:
  std::mutex m_lock;
  std::vector<std::u16string> m_pieces;
};

// Whether a piece is the time-of-day prefix, "HHhMM:SS.mmm - " with any digits.
inline bool IsTimePrefix(const std::u16string& piece) {
  const std::u16string pattern = u"99h99:99.999 - ";
  auto fits = [](char16_t c, char16_t p) { return p == u'9' ? c >= u'0' && c <= u'9' : c == p; };
  return std::equal(piece.begin(), piece.end(), pattern.begin(), pattern.end(), fits);
}

}  // namespace testing_support
