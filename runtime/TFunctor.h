// Functors: one packaged call (a target object, one of its member functions, up to two stored
// arguments) that can be handed to another thread and run there.
//
// Ownership: a functor handed to an active object's posting operation belongs to the active
// object from then on; one handed to a timer belongs to the timer. A functor never deletes its
// target or a pointer argument. A functor is used by one thread at a time.
//
// Tracing: another module of the process may offer a functor stack tracer by putting its address
// (decimal) in the environment variable "<pid>FuncTrcData02". It is looked up once, at the first
// functor made, and told of every functor created, entered, left and destroyed. An address is
// used only when it is non-zero and points at a readable object whose virtual functions lie in
// loaded code; anything else means no tracer.
#pragma once

#include <tuple>
#include <utility>

#include "platform/Win32Types.h"
#include "runtime/FunctorPool.h"

class TFunctor;

// The call through the member-function pointer is left out of the sanitizer's vptr check: GCC
// checks the adjusted object against the derived class (a false report for a member of a second
// base) and, at -O2, its check of a call inside a lambda reads an uninitialised temporary.
#define TFUNCTOR_CALL_UNCHECKED __attribute__((no_sanitize("vptr")))

class ITFunctorStackTracer {
 public:
  virtual void Reserved() = 0;
  virtual void OnEnter(TFunctor* functor, platform::DWORD threadId) = 0;
  virtual void OnLeave(TFunctor* functor, platform::DWORD threadId) = 0;
  virtual void OnCreated(TFunctor* functor) = 0;
  virtual void OnDestroyed(TFunctor* functor) = 0;

 protected:
  ~ITFunctorStackTracer() = default;
};

class TFunctor {
 public:
  TFunctor() = default;
  TFunctor(const TFunctor&) = delete;
  TFunctor& operator=(const TFunctor&) = delete;
  // Tells the tracer the functor is left (a call ended by an exception never reached its own
  // leave) and destroyed.
  virtual ~TFunctor();

  // Runs the stored call once.
  virtual void Execute() = 0;

  // Functors live in the functor pool: they are made on one thread and deleted on another.
  static void* operator new(std::size_t size) { return functor_pool::Allocate(size); }
  static void operator delete(void* block, std::size_t size) { functor_pool::Release(block, size); }

  // Names the call for diagnostics: a string literal, never owned. Null when unnamed.
  const char16_t* m_name = nullptr;

  // The tracer in use, or null. Looks it up on first use.
  static ITFunctorStackTracer* GetTracer();
  // Forgets the looked-up tracer so that the next functor looks again. For tests.
  static void ResetTracerForTesting();

 protected:
  // Called at the end of every derived constructor.
  void NotifyCreated();
  // Runs call between the tracer's enter and leave.
  template <class Call>
  void Traced(Call&& call) {
    ITFunctorStackTracer* tracer = GetTracer();
    platform::DWORD id = tracer != nullptr ? CurrentThreadIdForTracer() : 0;
    if (id != 0) tracer->OnEnter(this, id);
    std::forward<Call>(call)();
    if (id != 0) tracer->OnLeave(this, id);
  }

 private:
  static platform::DWORD CurrentThreadIdForTracer();
};

// A call of a member function of T with the stored arguments A... (none, one or two in the
// system). Class-type arguments are stored as copies and passed as further copies.
template <class T, class... A>
class TFunctorCall : public TFunctor {
 public:
  using Method = void (T::*)(A...);

  TFunctorCall(T* object, Method method, A... args)
      : m_object(object), m_method(method), m_args(std::move(args)...) {
    NotifyCreated();
  }

  void Execute() override {
    Traced([this]() TFUNCTOR_CALL_UNCHECKED {
      std::apply([this](const A&... args) TFUNCTOR_CALL_UNCHECKED { (m_object->*m_method)(args...); }, m_args);
    });
  }
  // Stores the arguments, replaces the object when the given one is not null, then runs.
  virtual void ExecuteWith(T* object, A... args) {
    m_args = std::tuple<A...>(std::move(args)...);
    if (object != nullptr) m_object = object;
    Execute();
  }

 private:
  T* m_object;
  Method m_method;
  std::tuple<A...> m_args;
};

template <class T>
using TFunctor0 = TFunctorCall<T>;
template <class T, class A1>
using TFunctor1 = TFunctorCall<T, A1>;
template <class T, class A1, class A2>
using TFunctor2 = TFunctorCall<T, A1, A2>;
