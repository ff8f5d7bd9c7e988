// Thread message queues: the Linux stand-in for posting messages to a Win32 thread.
//
// Emulates: every thread may own one queue, created when it first asks for a message (get, peek
// or a wait that wakes for messages); posting to a thread that has no queue, or that has ended,
// fails and changes nothing; WM_QUIT ends a get loop. Retrieval (get and peek) first delivers the
// calls sent to the thread (how a message sent to a window reaches its procedure on the owning
// thread), then takes the oldest posted message that passes its filter, and only when there is
// none, a due timer as a WM_TIMER message. Leaves out: input messages, and WM_QUIT's exemption
// from filters (here it passes a filter like any message, so a filtered peek never takes it).
// Windows, sending and window timers are built on top of these queues in platform/Window.h.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "platform/Waitable.h"

namespace platform {

using UINT = std::uint32_t;
constexpr UINT WM_QUIT = 0x0012;
constexpr UINT WM_TIMER = 0x0113;

struct ThreadMessage {
  void* window = nullptr;  // the target window, or null for a thread message
  UINT message = 0;
  std::uintptr_t wParam = 0;
  std::intptr_t lParam = 0;
};

// Queues a message for the thread. False when the thread has no queue (or has ended).
bool PostThreadMessage(DWORD threadId, UINT message, std::uintptr_t wParam, std::intptr_t lParam);

// Queues a message addressed to a window owned by the thread.
bool PostWindowMessage(DWORD threadId, void* window, UINT message, std::uintptr_t wParam, std::intptr_t lParam);

// Takes the next message of the calling thread's queue, waiting for one. False when it is WM_QUIT.
bool GetMessage(ThreadMessage* message);

// Looks at the next message without waiting; with remove, takes it. False when there is none.
bool PeekMessage(ThreadMessage* message, bool remove);

// The same with a filter: a window (null: any message of the thread) and a range of message
// numbers (first and last 0: every number).
bool PeekMessage(ThreadMessage* message, void* window, UINT first, UINT last, bool remove);

// Creates the calling thread's queue now, as asking for a message would.
void EnsureMessageQueue();

// The calling thread's queue (created now if need be), for posting to it later without looking
// the thread up; posts fail once the thread has ended.
class ThreadQueue;
std::shared_ptr<ThreadQueue> OwnThreadQueue();
bool PostToQueue(ThreadQueue& queue, const ThreadMessage& message);

// Takes every queued message for the window within the range out of the thread's queue, from any
// thread, in queue order; the owner never sees them. Returns how many were added to *removed.
std::size_t RemoveWindowMessages(DWORD threadId, void* window, UINT first, UINT last, std::vector<ThreadMessage>* removed);

enum class MessageWait { Signalled, Message, Timeout };

// Waits until the object can be acquired (and acquires it) or the calling thread's queue holds a
// message, a sent call or a due timer (left in the queue). A timer falling due during the wait is
// seen at the next wake-up, not at its time.
MessageWait WaitForObjectOrMessage(Waitable* object, DWORD timeoutMs);

// A call made for another thread inside that thread's message retrieval. Exactly one of Deliver
// (on the receiving thread, inside its GetMessage, PeekMessage or WaitDeliveringSentCalls) and
// Abandon (on the thread that ends the receiver, which never delivers it) is called, once.
class SentCall {
 public:
  virtual ~SentCall() = default;
  virtual void Deliver() = 0;
  virtual void Abandon() = 0;
};

// Queues the call for the thread. False when the thread has no queue or has ended (the call is
// then neither delivered nor abandoned).
bool QueueSentCall(DWORD threadId, std::shared_ptr<SentCall> call);

// Waits for the object like Waitable::Wait, delivering meanwhile the calls sent to the calling
// thread: two threads sending to each other both get their answers.
bool WaitDeliveringSentCalls(Waitable* object, DWORD timeoutMs);

// Timers of a thread's queue, identified by window (null for a thread timer) and id. A due timer
// gives one WM_TIMER message {window, WM_TIMER, id, callback} to a retrieval that finds no posted
// message passing its filter, and is due again an interval after it was taken. Setting a timer
// that exists replaces its interval and callback and restarts it. An interval of 0 counts as 1 ms.
// Any thread may set and kill the timers; false when the thread has no queue (or, for a kill,
// the timer does not exist).
bool SetQueueTimer(DWORD threadId, void* window, std::uintptr_t id, DWORD intervalMs, std::intptr_t callback);
bool KillQueueTimer(DWORD threadId, void* window, std::uintptr_t id);
// Kills every timer of the window.
void KillQueueTimers(DWORD threadId, void* window);
// Whether the calling thread has this timer with this callback (so that a timer message carries
// a callback the thread really set).
bool HasOwnQueueTimer(void* window, std::uintptr_t id, std::intptr_t callback);

// Dispatches a message to its window's procedure, or a WM_TIMER message that carries a callback
// to that callback, through the dispatcher the window layer sets; other thread messages (no
// window) go nowhere, as on Windows.
using WindowDispatcher = std::intptr_t (*)(const ThreadMessage& message);
void SetWindowDispatcher(WindowDispatcher dispatcher);
std::intptr_t DispatchMessage(const ThreadMessage& message);
// Kept for the shape of a message loop: there are no keyboard messages to translate.
inline void TranslateMessage(const ThreadMessage&) {}

}  // namespace platform
