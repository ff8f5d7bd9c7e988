// Thread message queues: the Linux stand-in for posting messages to a Win32 thread.
//
// Emulates: every thread may own one queue, created when it first asks for a message (get, peek
// or a wait that wakes for messages); posting to a thread that has no queue, or that has ended,
// fails and changes nothing; WM_QUIT ends a get loop. Leaves out: sent (synchronous) messages,
// message filtering by range, and input messages. Windows and window messages are built on top
// of these queues elsewhere.
#pragma once

#include <cstdint>

#include "platform/Waitable.h"

namespace platform {

using UINT = std::uint32_t;
constexpr UINT WM_QUIT = 0x0012;

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

enum class MessageWait { Signalled, Message, Timeout };

// Waits until the object can be acquired (and acquires it) or the calling thread's queue holds a
// message (left in the queue).
MessageWait WaitForObjectOrMessage(Waitable* object, DWORD timeoutMs);

// Dispatches a message to its window's procedure through the dispatcher the window layer sets;
// thread messages (no window) go nowhere, as on Windows.
using WindowDispatcher = std::intptr_t (*)(const ThreadMessage& message);
void SetWindowDispatcher(WindowDispatcher dispatcher);
std::intptr_t DispatchMessage(const ThreadMessage& message);
// Kept for the shape of a message loop: there are no keyboard messages to translate.
inline void TranslateMessage(const ThreadMessage&) {}

}  // namespace platform
