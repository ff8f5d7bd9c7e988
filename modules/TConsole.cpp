#include "modules/TConsole.h"

#include <array>
#include <atomic>
#include <memory>
#include <new>
#include <string>

#include "platform/Clock.h"
#include "platform/Module.h"
#include "platform/RecursiveMutex.h"
#include "platform/Thread.h"

namespace {

constexpr std::size_t kBufferUnits = 8192;  // 8191 characters and the terminator

// The console state of the module this copy of the kit is linked into.
struct ConsoleState {
  int instances = 0;
  // Published with release once the rest is ready: another thread may print the moment the
  // module's static initialisation has made it, and reads it with acquire.
  std::atomic<platform::RecursiveMutex*> lock{nullptr};
  std::unique_ptr<platform::RecursiveMutex> lockOwner;
  std::unique_ptr<char16_t[]> buffer;  // guarded by lock
  IConsoleListener* listener = nullptr;  // guarded by lock
  int handingOn = 0;  // guarded by lock: listener calls in progress on the thread that holds it
  std::atomic<bool> threadId{false};
  std::atomic<bool> timeStamp{false};
  std::atomic<bool> moduleName{false};
  std::u16string moduleNamePiece;  // "<file name> - "; guarded by lock; found at the first print that needs it
  bool moduleNameKnown = false;
};

// Holds the module's console lock for a scope. A lock whose owner thread ended holding it
// (abandoned) is held all the same: it guards only the console state, which stays whole.
class ConsoleLockHold {
 public:
  explicit ConsoleLockHold(platform::RecursiveMutex* lock) : m_lock(lock) {
    if (m_lock != nullptr && m_lock->Lock(platform::INFINITE_TIMEOUT) == platform::RecursiveMutex::Result::Failed)
      m_lock = nullptr;
  }
  ~ConsoleLockHold() {
    if (m_lock != nullptr) m_lock->Unlock();
  }
  ConsoleLockHold(const ConsoleLockHold&) = delete;
  ConsoleLockHold& operator=(const ConsoleLockHold&) = delete;

 private:
  platform::RecursiveMutex* m_lock;
};

// Never destroyed, so printing late in the process's exit finds it (with no buffer) instead of
// a destroyed object. It lives in the module's own storage, not on the heap: a module that is
// unloaded takes it along instead of leaving it behind unreachable.
ConsoleState& State() {
  alignas(ConsoleState) static unsigned char storage[sizeof(ConsoleState)];
  static ConsoleState* state = new (storage) ConsoleState;
  return *state;
}

// Hands one piece of text to the listener. The caller holds the module's lock (taken once for
// the whole print: it is recursive, so pieces need not take it again).
void HandOn(const char16_t* piece) {
  ConsoleState& s = State();
  if (s.listener == nullptr) return;
  ++s.handingOn;
  s.listener->OnConsoleOutput(piece);
  --s.handingOn;
}

const std::u16string& ModuleNamePiece(ConsoleState& s) {
  if (!s.moduleNameKnown) {
    std::u16string path = platform::ModulePathOf(reinterpret_cast<const void*>(&State));
    std::size_t cut = path.find_last_of(u"/\\");
    s.moduleNamePiece = (cut == std::u16string::npos ? path : path.substr(cut + 1)) + u" - ";
    s.moduleNameKnown = true;
  }
  return s.moduleNamePiece;
}

// "HHhMM:SS.mmm - ", written digit by digit: it is printed before every line while time stamps
// are on, and the general formatter would cost more than the rest of the prefixes together.
std::array<char16_t, 16> TimeStampPiece(const platform::LocalDateTime& now) {
  std::array<char16_t, 16> piece{};
  auto digits = [&](std::size_t at, int value, int count) {
    for (std::size_t i = at + static_cast<std::size_t>(count); i-- > at; value /= 10)
      piece[i] = static_cast<char16_t>(u'0' + value % 10);
  };
  digits(0, now.hour, 2);
  piece[2] = u'h';
  digits(3, now.minute, 2);
  piece[5] = u':';
  digits(6, now.second, 2);
  piece[8] = u'.';
  digits(9, now.millisecond, 3);
  piece[12] = u' ';
  piece[13] = u'-';
  piece[14] = u' ';
  return piece;
}

// The thread id piece, formatted once per thread.
const char16_t* ThreadIdPiece() {
  thread_local char16_t piece[16] = {};
  if (piece[0] == 0) {
    const FormatArg id = MakeFormatArg(platform::CurrentThreadId());
    FormatTo(piece, sizeof piece / sizeof piece[0], u"%05d - ", &id, 1);
  }
  return piece;
}

// The module's one console object, made while the module loads, before anything prints.
__attribute__((init_priority(101))) TConsole g_moduleConsole;

}  // namespace

TConsole::TConsole() {
  ConsoleState& s = State();
  if (s.instances++ == 0) {
    s.lockOwner = std::make_unique<platform::RecursiveMutex>();
    s.buffer = std::make_unique<char16_t[]>(kBufferUnits);
    s.lock.store(s.lockOwner.get(), std::memory_order_release);
  }
}

TConsole::~TConsole() {
  ConsoleState& s = State();
  if (--s.instances == 0) {
    // Held once more before it goes: a thread that printed last has let go of it, and what it
    // wrote is seen before the state is torn down.
    if (platform::RecursiveMutex* lock = s.lock.load(std::memory_order_acquire)) {
      ConsoleLockHold hold(lock);
      s.lock.store(nullptr, std::memory_order_release);
    }
    s.buffer.reset();
    s.lockOwner.reset();
    std::u16string().swap(s.moduleNamePiece);
    s.moduleNameKnown = false;
  }
}

namespace {

// Writes the prefixes and the text, each as one piece. The caller holds the module's lock and
// has checked that the buffer exists.
void PrintLocked(ConsoleState& s, const char16_t* format, const FormatArg* args, std::size_t count) {
  if (s.threadId.load(std::memory_order_relaxed)) HandOn(ThreadIdPiece());
  if (s.timeStamp.load(std::memory_order_relaxed)) {
    const platform::LocalDateTime now = platform::NowLocal();
    HandOn(TimeStampPiece(now).data());
  }
  // Built whole: a file name may be longer than the small buffer of the other prefixes.
  if (s.moduleName.load(std::memory_order_relaxed)) HandOn(ModuleNamePiece(s).c_str());
  // A listener that prints from inside OnConsoleOutput may still be reading the shared buffer, so
  // text printed while a piece is being handed on gets a buffer of its own.
  std::unique_ptr<char16_t[]> nested;
  char16_t* out = s.buffer.get();
  if (s.handingOn > 0) {
    nested = std::make_unique_for_overwrite<char16_t[]>(kBufferUnits);
    out = nested.get();
  }
  FormatTo(out, kBufferUnits, format, args, count);
  out[kBufferUnits - 1] = 0;
  HandOn(out);
}

}  // namespace

void TConsole::PrintV(const char16_t* format, const FormatArg* args, std::size_t count) {
  ConsoleState& s = State();
  platform::RecursiveMutex* lock = s.lock.load(std::memory_order_acquire);
  if (lock == nullptr) return;
  ConsoleLockHold hold(lock);
  if (s.buffer != nullptr) PrintLocked(s, format, args, count);
}

// The whole line is written under one hold of the lock, so no other thread's text gets inside it.
void TConsole::PrintLineV(const char16_t* format, const FormatArg* args, std::size_t count) {
  ConsoleState& s = State();
  platform::RecursiveMutex* lock = s.lock.load(std::memory_order_acquire);
  if (lock == nullptr) return;
  ConsoleLockHold hold(lock);
  if (s.buffer == nullptr) return;
  PrintLocked(s, format, args, count);
  HandOn(u"\r\n");
}

void TConsole::SetConsoleListener(IConsoleListener* listener) {
  ConsoleState& s = State();
  ConsoleLockHold hold(s.lock.load(std::memory_order_acquire));
  s.listener = listener;
}

IConsoleListener* TConsole::GetConsoleListener() {
  ConsoleState& s = State();
  ConsoleLockHold hold(s.lock.load(std::memory_order_acquire));
  return s.listener;
}

void TConsole::SetPrintThreadId(bool on) { State().threadId.store(on, std::memory_order_relaxed); }
bool TConsole::GetPrintThreadId() { return State().threadId.load(std::memory_order_relaxed); }
void TConsole::SetPrintTimeStamp(bool on) { State().timeStamp.store(on, std::memory_order_relaxed); }
bool TConsole::GetPrintTimeStamp() { return State().timeStamp.load(std::memory_order_relaxed); }
void TConsole::SetPrintCurrentMod(bool on) { State().moduleName.store(on, std::memory_order_relaxed); }
bool TConsole::GetPrintCurrentMod() { return State().moduleName.load(std::memory_order_relaxed); }
