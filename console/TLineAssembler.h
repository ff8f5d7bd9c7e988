// TLineAssembler: turns what threads print into whole lines before it goes to the clients.
//
// A module prints a line as several pieces (its prefixes, the text, the line end), and each module
// serialises only its own printing, so the pieces of two threads would otherwise interleave on the
// way out and cut each other's lines. The assembler keeps, per thread, what it printed since its
// last line end, and lets text out only up to a line end ("\n"). A thread's unfinished line goes
// out as it stands when it reaches kHeldLimit units, when that thread sends output by another way
// (TakeHeld), or once it was held kHeldMs and any thread prints again.
//
// Threads: every function may be called from any thread. The lock is never held while the caller
// sends, so sending may print again.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "platform/Win32Types.h"
#include "runtime/TMutex.h"

class TLineAssembler {
 public:
  static constexpr std::size_t kHeldLimit = 8192;
  static constexpr platform::DWORD kHeldMs = 1000;

  TLineAssembler() = default;
  TLineAssembler(const TLineAssembler&) = delete;
  TLineAssembler& operator=(const TLineAssembler&) = delete;

  // Adds `text`, printed on `thread` at tick `now`, and appends to `ready`, in the order they are
  // to be sent: other threads' unfinished lines held for kHeldMs or longer, then what of this
  // thread's text is complete.
  void Add(platform::DWORD thread, const char16_t* text, platform::DWORD now, std::vector<std::u16string>& ready);
  // The unfinished line of `thread`, taken; empty when it holds none.
  std::u16string TakeHeld(platform::DWORD thread);

 private:
  struct Held {
    platform::DWORD thread;
    platform::DWORD since;  // tick of the first piece held
    std::u16string text;
  };

  // The held line of `thread`, or end; the caller holds m_lock.
  std::vector<Held>::iterator FindLocked(platform::DWORD thread);

  TMutexEx m_lock;
  std::vector<Held> m_held;  // threads with an unfinished line, oldest first; guarded by m_lock
};
