// CWndActiveObjImpWithThread<T>: a window-message active object (CWndActiveObj) with a worker
// thread of its own. Start starts the thread and waits without limit until its window exists;
// the thread runs a message loop until the quit message, then dispatches the functors still
// queued, destroys the window and ends. Stop clears the running flag, discards the queued
// functors when asked to, posts the quit message and waits for the thread up to the time-out
// (from the worker itself it does not wait: the thread ends after the current functor).
// Lifetime: construct, Start, Stop, (Start again ...), destroy. Start and the destructor wait for
// a worker that is still returning from a stop; the destructor stops a running object first.
#pragma once

#include <thread>

#include "platform/Event.h"
#include "platform/Thread.h"
#include "runtime/CWndActiveObj.h"

template <class T, platform::UINT MSG = 32871>
class CWndActiveObjImpWithThread : public CWndActiveObj<T, MSG> {
  using Base = CWndActiveObj<T, MSG>;

 public:
  explicit CWndActiveObjImpWithThread(T* owner) : Base(owner) {}

  ~CWndActiveObjImpWithThread() override {
    if (!m_thread.joinable()) return;
    if (OnOwnWorker()) {
      m_thread.detach();
      return;
    }
    if (this->IsRunning()) CWndActiveObjImpWithThread::Stop(false, platform::INFINITE_TIMEOUT);
    m_thread.join();
  }

  // True when the worker runs with its window; false when the window could not be created.
  bool Start(const char16_t* name) override {
    if (this->IsRunning()) return true;
    // A worker still returning from a stop is waited for, so that two never run at once; started
    // again from that worker itself, the old one finishes its loop on its own.
    if (m_thread.joinable()) {
      if (OnOwnWorker())
        m_thread.detach();
      else
        m_thread.join();
    }
    this->SetName(name);
    std::uint64_t generation = ++m_generation;
    m_threadEnded.Reset();
    this->RunningFlag().store(true);
    m_thread = platform::StartThread(this->GetName().ToNarrow().c_str(), [this, generation] { ThreadProc(generation); });
    m_windowReady.Wait(platform::INFINITE_TIMEOUT);
    if (this->GetWindow() != nullptr) return true;
    this->RunningFlag().store(false);
    m_thread.join();
    return false;
  }

  bool Stop(bool flushFirst, platform::DWORD timeoutMs) override {
    if (!this->RunningFlag().exchange(false)) return true;
    if (flushFirst) this->Flush(timeoutMs);
    if (platform::HWND window = this->GetWindow()) platform::PostMessage(window, platform::WM_QUIT, 0, 0);
    if (platform::CurrentThreadId() != this->GetActiveThreadId() && m_thread.joinable() && m_threadEnded.Wait(timeoutMs))
      m_thread.join();
    return true;
  }

 private:
  bool OnOwnWorker() const { return m_thread.get_id() == std::this_thread::get_id(); }

  void ThreadProc(std::uint64_t generation) {
    platform::HWND window = this->CreateObjectWindow();
    this->Publish(window);
    m_windowReady.Set();
    if (window == nullptr) return;
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
    if (m_generation.load() != generation) return;  // started again from this thread: the new worker owns the state
    this->Withdraw();
    this->RunningFlag().store(false);
    m_threadEnded.Set();
  }

  std::thread m_thread;
  platform::Event m_windowReady{false, false};  // auto-reset: one signal per start
  platform::Event m_threadEnded{true, false};
  std::atomic<std::uint64_t> m_generation{0};
};
