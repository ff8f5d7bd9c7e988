// Hidden windows: message targets owned by one thread, each with its own procedure, on top of the
// thread message queues (platform/ThreadMessages.h).
//
// Emulates: window classes registered once per process by name; a window created by a thread
// belongs to it (its queue is created then) and is destroyed by it, or when the thread ends;
// posting to a window; sending to a window (from the owner the procedure is called directly; from
// another thread the message waits in the owner's queue, ahead of posted messages, until the
// owner next asks for a message, and the sender waits for the answer while answering what is sent
// to itself); the owner's message loop dispatches posted messages to the procedure; window timers
// (a WM_TIMER message through the owner's queue, to the timer callback when one is given, else to
// the procedure). Leaves out: visible windows, styles, parents, input, and every message the
// system would generate besides WM_DESTROY and WM_TIMER.
// Differences: a send fails (false) instead of waiting for ever when the window is destroyed, or
// its thread ends, before the procedure answers. Any thread may set and kill a window's timers.
// Handles are never reused, so a stale handle is simply invalid.
#pragma once

#include <cstdint>

#include "platform/ThreadMessages.h"

namespace platform {

struct WindowHandle;
using HWND = WindowHandle*;
using WPARAM = std::uintptr_t;
using LPARAM = std::intptr_t;
using LRESULT = std::intptr_t;
using WNDPROC = LRESULT (*)(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
using TIMERPROC = void (*)(HWND window, UINT message, std::uintptr_t timerId, DWORD tickCount);

constexpr UINT WM_NULL = 0x0000;
constexpr UINT WM_DESTROY = 0x0002;
constexpr UINT WM_USER = 0x0400;
constexpr UINT WM_APP = 0x8000;

// Registers a class for this process. False when the name is taken (the first registration
// stays) or the procedure is null.
bool RegisterWindowClass(const char* className, WNDPROC procedure);

// Creates a hidden window of the class, owned by the calling thread, with a pointer of the
// caller's (see GetWindowData). Null when the class is not registered.
HWND CreateHiddenWindow(const char* className, void* data = nullptr);

// On the owner thread only: calls the procedure with WM_DESTROY, then the window is gone: its
// timers are killed, posts and sends to it fail, and its queued messages are dispatched nowhere.
bool DestroyWindow(HWND window);

bool IsWindow(HWND window);
// The owner's thread id, 0 for an invalid window.
DWORD GetWindowThreadId(HWND window);
// The pointer given at creation, null for an invalid window.
void* GetWindowData(HWND window);

// Queues a message for the window. False when the window does not exist.
bool PostMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// Has the window's procedure handle the message on the owner thread, and waits for its answer up
// to the time-out. True when the procedure answered (*result, when given, gets the answer); false
// when the window does not exist or is destroyed first, its thread ends first, or the time-out
// passes (the message may still be handled later).
bool SendMessageTimeout(HWND window, UINT message, WPARAM wParam, LPARAM lParam, DWORD timeoutMs, LRESULT* result);
inline bool SendMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result = nullptr) {
  return SendMessageTimeout(window, message, wParam, lParam, INFINITE_TIMEOUT, result);
}

// What a procedure returns for a message it does not handle.
LRESULT DefWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// Starts (or restarts, replacing interval and callback) the window's timer with this id; a null
// window means a thread timer of the calling thread. False when the window does not exist.
// Without a callback the WM_TIMER message goes to the window's procedure. A message whose timer
// was killed before it was dispatched reaches no callback. KillTimer is false when there was no
// such timer.
bool SetTimer(HWND window, std::uintptr_t timerId, DWORD intervalMs, TIMERPROC callback);
bool KillTimer(HWND window, std::uintptr_t timerId);

}  // namespace platform
