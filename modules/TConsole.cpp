#include "modules/TConsole.h"

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
  std::unique_ptr<platform::RecursiveMutex> lock;
  std::unique_ptr<char16_t[]> buffer;  // guarded by lock
  IConsoleListener* listener = nullptr;  // guarded by lock
  int handingOn = 0;  // guarded by lock: listener calls in progress on the thread that holds it
  std::atomic<bool> threadId{false};
  std::atomic<bool> timeStamp{false};
  std::atomic<bool> moduleName{false};
  std::u16string moduleFileName;  // guarded by lock; found at the first print that needs it
  bool moduleFileNameKnown = false;
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

void HandOnFormatted(const char16_t* format, const FormatArg* args, std::size_t count) {
  char16_t piece[64];
  FormatTo(piece, sizeof piece / sizeof piece[0], format, args, count);
  HandOn(piece);
}

template <class... Args>
void HandOnFormatted(const char16_t* format, const Args&... args) {
  WithFormatArgs([&](const FormatArg* argv, std::size_t n) { HandOnFormatted(format, argv, n); }, args...);
}

const std::u16string& ModuleFileName(ConsoleState& s) {
  if (!s.moduleFileNameKnown) {
    std::u16string path = platform::ModulePathOf(reinterpret_cast<const void*>(&State));
    std::size_t cut = path.find_last_of(u"/\\");
    s.moduleFileName = cut == std::u16string::npos ? path : path.substr(cut + 1);
    s.moduleFileNameKnown = true;
  }
  return s.moduleFileName;
}

// The module's one console object, made while the module loads, before anything prints.
__attribute__((init_priority(101))) TConsole g_moduleConsole;

}  // namespace

TConsole::TConsole() {
  ConsoleState& s = State();
  if (s.instances++ == 0) {
    s.lock = std::make_unique<platform::RecursiveMutex>();
    s.buffer = std::make_unique<char16_t[]>(kBufferUnits);
  }
}

TConsole::~TConsole() {
  ConsoleState& s = State();
  if (--s.instances == 0) {
    s.buffer.reset();
    s.lock.reset();
    std::u16string().swap(s.moduleFileName);
    s.moduleFileNameKnown = false;
  }
}

namespace {

// Writes the prefixes and the text, each as one piece. The caller holds the module's lock and
// has checked that the buffer exists.
void PrintLocked(ConsoleState& s, const char16_t* format, const FormatArg* args, std::size_t count) {
  if (s.threadId.load(std::memory_order_relaxed)) HandOnFormatted(u"%05d - ", platform::CurrentThreadId());
  if (s.timeStamp.load(std::memory_order_relaxed)) {
    platform::LocalDateTime now = platform::NowLocal();
    HandOnFormatted(u"%02dh%02d:%02d.%03d - ", now.hour, now.minute, now.second, now.millisecond);
  }
  if (s.moduleName.load(std::memory_order_relaxed)) {
    // Built whole: a file name may be longer than the small buffer of the other prefixes.
    std::u16string piece = ModuleFileName(s) + u" - ";
    HandOn(piece.c_str());
  }
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
  if (s.lock == nullptr) return;
  ConsoleLockHold hold(s.lock.get());
  if (s.buffer != nullptr) PrintLocked(s, format, args, count);
}

// The whole line is written under one hold of the lock, so no other thread's text gets inside it.
void TConsole::PrintLineV(const char16_t* format, const FormatArg* args, std::size_t count) {
  ConsoleState& s = State();
  if (s.lock == nullptr) return;
  ConsoleLockHold hold(s.lock.get());
  if (s.buffer == nullptr) return;
  PrintLocked(s, format, args, count);
  HandOn(u"\r\n");
}

void TConsole::SetConsoleListener(IConsoleListener* listener) {
  ConsoleState& s = State();
  ConsoleLockHold hold(s.lock.get());
  s.listener = listener;
}

IConsoleListener* TConsole::GetConsoleListener() {
  ConsoleState& s = State();
  ConsoleLockHold hold(s.lock.get());
  return s.listener;
}

void TConsole::SetPrintThreadId(bool on) { State().threadId.store(on, std::memory_order_relaxed); }
bool TConsole::GetPrintThreadId() { return State().threadId.load(std::memory_order_relaxed); }
void TConsole::SetPrintTimeStamp(bool on) { State().timeStamp.store(on, std::memory_order_relaxed); }
bool TConsole::GetPrintTimeStamp() { return State().timeStamp.load(std::memory_order_relaxed); }
void TConsole::SetPrintCurrentMod(bool on) { State().moduleName.store(on, std::memory_order_relaxed); }
bool TConsole::GetPrintCurrentMod() { return State().moduleName.load(std::memory_order_relaxed); }
