// A console for the fuzzers: one per process, telnet off, in the sandbox's work folder. Every line
// it runs, whether handed in by the fuzzer or read from a command file, passes its filter first:
//  - `stop` and `crash` (as the console looks names up, so any letter case) never run;
//  - the file name arguments of `saveoutput` and `loadcmdfile` are confined to the work folder;
//  - no more than kMaxLines lines are taken per input, so a command file that loads itself ends.
// Run hands lines in and returns once the console has run them and every line they queued.
#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>
#include <vector>

#include "console/TDiagnosticServer.h"
#include "fuzz/FuzzSandbox.h"

namespace fuzz_support {

class FuzzConsole : public TDiagnosticServer {
 public:
  static constexpr int kMaxLines = 64;

  static FuzzConsole& Get() {
    static FuzzConsole* console = [] {
      Sandbox::Get();
      auto* made = new FuzzConsole();
      TTelnetServerConfig config;
      config.Enabled = false;
      made->Run([&] { made->Start(&config); });
      // Before the sandbox goes: the capture file and the worker thread end with the console.
      std::atexit([] { delete &Get(); });
      return made;
    }();
    return *console;
  }

  // Queues the lines for connection `id` and waits for them and what they queue.
  void RunLines(int id, const std::vector<TStringEx>& lines) {
    Run([&] {
      for (const TStringEx& line : lines) OnCommandLine(id, line);
    });
  }

  // Between inputs: no capture file open, an empty work folder.
  void Reset() {
    CloseOutputFile();
    Sandbox::Get().Clear();
  }

  // Sees every line handed to the console, before the limit and the filter; on any thread.
  void SetObserver(std::function<void(const TStringEx&)> observer) { m_observer = std::move(observer); }

  void OnCommandLine(int id, const TStringEx& line) override {
    if (m_observer) m_observer(line);
    {
      std::lock_guard<std::mutex> hold(m_lock);
      if (m_taken >= kMaxLines) return;
      ++m_taken;
      ++m_pending;
    }
    TDiagnosticServer::OnCommandLine(id, line);
  }

  void ExecuteCommandLine(int id, TStringEx line) override {
    if (Filter(line)) TDiagnosticServer::ExecuteCommandLine(id, line);
    std::lock_guard<std::mutex> hold(m_lock);
    if (--m_pending == 0) m_idle.notify_all();
  }

 private:
  FuzzConsole() = default;
  ~FuzzConsole() override = default;

  template <class Queue>
  void Run(Queue&& queue) {
    {
      std::lock_guard<std::mutex> hold(m_lock);
      m_taken = 0;
    }
    queue();
    std::unique_lock<std::mutex> hold(m_lock);
    m_idle.wait(hold, [this] { return m_pending == 0; });
  }

  // The built-in command the dispatcher would pick for this line; null for none.
  const TDiagnosticServerCommand* Lookup(const TStringEx& name) const {
    if (name.IsEmpty()) return nullptr;
    for (const auto& command : GetCommands())
      if (command->IsCommand(name.c_str())) return command.get();
    return nullptr;
  }

  // False for a line that must not run; a file name argument is rewritten in place.
  bool Filter(TStringEx& line) const {
    TCommandLine parsed = SplitCommandLine(line);
    const TDiagnosticServerCommand* command = Lookup(parsed.name);
    if (command == nullptr) return true;
    const TStringEx& name = command->GetName();
    if (name == u"stop" || name == u"crash") return false;
    if (name != u"saveoutput" && name != u"loadcmdfile") return true;
    if (parsed.args.GetCount() == 0) return true;
    TStringEx confined;
    if (name == u"loadcmdfile") {
      // A list of names separated by ';', each confined.
      TStringExArray names;
      parsed.args[0].Split(u';', names);
      for (std::int32_t i = 0; i < names.GetCount(); ++i) {
        if (i > 0) confined.Append(u';');
        confined.Append(ConfinedPath(names[i]));
      }
    } else {
      confined = ConfinedPath(parsed.args[0]);
    }
    TStringEx rebuilt(parsed.name);
    rebuilt.Append(u' ');
    rebuilt.Append(confined);
    for (std::int32_t i = 1; i < parsed.args.GetCount(); ++i) {
      rebuilt.Append(u' ');
      rebuilt.Append(parsed.args[i]);
    }
    line = rebuilt;
    return true;
  }

  std::function<void(const TStringEx&)> m_observer;  // set between inputs only
  std::mutex m_lock;
  std::condition_variable m_idle;
  int m_taken = 0;    // lines accepted since the last Run began
  int m_pending = 0;  // accepted and not yet run
};

}  // namespace fuzz_support
