// CWndActiveObjImpWithThread<T>: a window-message active object (CWndActiveObj) with a worker
// thread of its own. Start starts the thread and waits without limit until its window exists;
// the thread runs a message loop until the quit message, then dispatches the functors still
// queued, destroys the window and ends. Stop clears the running flag, discards the queued
// functors when asked to, posts the quit message and waits for the thread up to the time-out
// (from the worker itself it does not wait: the thread ends after the current functor).
// Lifetime: construct, Start, Stop, (Start again ...), destroy. Start and the destructor wait for
// a worker that is still returning from a stop; the destructor stops a running object first.
#pragma once

#include "platform/Event.h"
#include "platform/Thread.h"
#include "runtime/CWndActiveObj.h"

template <class T, platform::UINT MSG = 32871>
class CWndActiveObjImpWithThread : public CWndActiveObj<T, MSG> {
  using Base = CWndActiveObj<T, MSG>;

 public:
  explicit CWndActiveObjImpWithThread(T* owner) : Base(owner) {}

  ~CWndActiveObjImpWithThread() override { this->EndWorkerThread(); }

  // True when the worker runs with its window; false when the window could not be created.
  bool Start(const char16_t* name) override {
    if (this->IsRunning()) return true;
    this->LaunchWorker(name, [this](std::uint64_t generation) { ThreadProc(generation); });
    m_windowReady.Wait(platform::INFINITE_TIMEOUT);
    if (this->GetWindow() != nullptr) return true;
    this->RunningFlag().store(false);
    this->AwaitWorkerEnd(platform::INFINITE_TIMEOUT);
    return false;
  }

  bool Stop(bool flushFirst, platform::DWORD timeoutMs) override {
    if (!this->RunningFlag().exchange(false)) return true;
    if (flushFirst) this->Flush(timeoutMs);
    if (platform::HWND window = this->GetWindow()) platform::PostMessage(window, platform::WM_QUIT, 0, 0);
    this->AwaitWorkerEnd(timeoutMs);
    return true;
  }

 private:
  void ThreadProc(std::uint64_t generation) {
    platform::HWND window = this->CreateObjectWindow();
    this->Publish(window);
    m_windowReady.Set();
    if (window == nullptr) {
      this->WorkerEnded();
      return;
    }
    platform::ThreadMessage message;
    while (platform::GetMessage(&message)) {
      // A thread timer nobody handles is ended rather than left to fire for ever.
      if (message.window == nullptr && message.message == platform::WM_TIMER && message.lParam == 0) {
        platform::KillTimer(nullptr, message.wParam);
        continue;
      }
      platform::TranslateMessage(message);
      platform::DispatchMessage(message);
    }
    this->DispatchPendingAndDestroy(window);
    if (!this->IsCurrentGeneration(generation)) return;  // started again from this thread: the new worker owns the state
    this->Withdraw();
    this->RunningFlag().store(false);
    this->WorkerEnded();
  }

  platform::Event m_windowReady{false, false};  // auto-reset: one signal per start
};
