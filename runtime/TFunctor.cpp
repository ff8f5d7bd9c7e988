#include "runtime/TFunctor.h"

#include <atomic>
#include <cstdint>
#include <cstdlib>

#include "foundation/TStringEx.h"
#include "platform/Memory.h"
#include "platform/Process.h"
#include "platform/Thread.h"

namespace {

// The tracer pointer: "not looked up" until the first functor is made.
ITFunctorStackTracer* const kNotLookedUp = reinterpret_cast<ITFunctorStackTracer*>(~std::uintptr_t{0});
std::atomic<ITFunctorStackTracer*> g_tracer{kNotLookedUp};

constexpr std::size_t kVariableChars = 100;
constexpr int kTracerSlots = 5;

// Reads the leading decimal number of the text as _wtoi64 would (spaces, a sign, digits).
std::uint64_t LeadingNumber(const TStringEx& text) {
  const char16_t* p = text.c_str();
  while (*p == u' ' || *p == u'\t') ++p;
  bool negative = *p == u'-';
  if (*p == u'+' || *p == u'-') ++p;
  std::uint64_t value = 0;
  for (; *p >= u'0' && *p <= u'9'; ++p) value = value * 10 + static_cast<std::uint64_t>(*p - u'0');
  return negative ? 0 - value : value;
}

// True when the address holds an object whose first virtual functions are code of this process:
// a number that is not a tracer of this process is never called.
bool LooksLikeTracer(std::uintptr_t address) {
  if (address == 0 || address % alignof(void*) != 0) return false;
  std::uintptr_t vtable = 0;
  if (!platform::ReadOwnMemory(address, &vtable, sizeof vtable) || vtable % alignof(void*) != 0) return false;
  std::uintptr_t slots[kTracerSlots] = {};
  if (!platform::ReadOwnMemory(vtable, slots, sizeof slots)) return false;
  for (std::uintptr_t slot : slots)
    if (!platform::IsLoadedCode(slot)) return false;
  return true;
}

ITFunctorStackTracer* LookUpTracer() {
  TStringEx name;
  name.Format(u"%uFuncTrcData02", platform::CurrentProcessId());
  const char* value = std::getenv(name.ToNarrow().c_str());
  if (value == nullptr) return nullptr;
  TStringEx text(value);
  if (text.Length() >= kVariableChars) text = text.Left(kVariableChars - 1);
  std::uint64_t address = LeadingNumber(text);
  if (!LooksLikeTracer(static_cast<std::uintptr_t>(address))) return nullptr;
  return reinterpret_cast<ITFunctorStackTracer*>(static_cast<std::uintptr_t>(address));
}

}  // namespace

ITFunctorStackTracer* TFunctor::GetTracer() {
  ITFunctorStackTracer* tracer = g_tracer.load(std::memory_order_acquire);
  if (tracer != kNotLookedUp) return tracer;
  // Two threads may look it up at once; both reach the same answer.
  tracer = LookUpTracer();
  g_tracer.store(tracer, std::memory_order_release);
  return tracer;
}

void TFunctor::ResetTracerForTesting() { g_tracer.store(kNotLookedUp, std::memory_order_release); }

platform::DWORD TFunctor::CurrentThreadIdForTracer() { return platform::CurrentThreadId(); }

void TFunctor::NotifyCreated() {
  if (ITFunctorStackTracer* tracer = GetTracer()) tracer->OnCreated(this);
}

TFunctor::~TFunctor() {
  ITFunctorStackTracer* tracer = g_tracer.load(std::memory_order_acquire);
  if (tracer == nullptr || tracer == kNotLookedUp) return;
  platform::DWORD id = platform::CurrentThreadId();
  if (id != 0) tracer->OnLeave(this, id);
  tracer->OnDestroyed(this);
}
