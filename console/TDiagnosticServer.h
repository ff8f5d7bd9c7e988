// TDiagnosticServer: the console. One per process: it owns the telnet server, the console
// commands, the store of saved commands and the capture file, and it is the one sink of console
// text: command replies, what modules print through the IConsoleListener they were given, and the
// console formatter of this library's own module all end in its four output operations, which
// send each text to the telnet connections and, while one is open, to the capture file.
//
// Threads: every command, completion and connection event runs on the console's own worker
// thread "Diagnostic", one at a time in queue order; the telnet server's threads only queue them
// (never waiting: an event that finds the queue of 10000 full is lost). Broadcast and
// BroadcastLine (and so OnConsoleOutput) may be called from any thread; Reply, ReplyLine and the
// handlers run on the console thread.
//
// Locks, in this order: the extension lock (held for every command, completion, help listing and
// connection event, and by AddExtension and RemoveExtension, which therefore wait for a running
// command), the capture lock, the telnet server's channel lock. An output operation takes the
// channel lock and the capture lock one after the other, never both, so a module that prints from
// its own thread is never held up by a running command.
//
// Lifetime: GetInstance creates the console on first use and counts references; ReleaseInstance
// destroys it with the last one. Neither is synchronised: the first GetInstance must happen before
// any concurrent use. The connection id -1 (0xFFFFFFFF) is no connection: text sent there reaches
// only the capture file.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <vector>

#include "console/ConsoleApi.h"
#include "console/IConsoleExtension.h"
#include "console/TCommandsPersistence.h"
#include "console/TDiagnosticServerCommand.h"
#include "console/TLineAssembler.h"
#include "foundation/Format.h"
#include "foundation/TIOFile.h"
#include "foundation/TStringEx.h"
#include "modules/IConsoleListener.h"
#include "platform/Clock.h"
#include "platform/LoadedModules.h"
#include "runtime/TActiveObjectDeluxe.h"
#include "runtime/TMutex.h"
#include "telnet/ITelnetServerEvents.h"
#include "telnet/TTelnetServer.h"
#include "telnet/TTelnetServerConfig.h"

// The console's commands, owned, in registration order (lookup and help order).
template <class T>
using TPtrList = std::vector<std::unique_ptr<T>>;

// Mode of a capture file: 0 replace, 1 append, 2 a new file named with the date and time; any
// other value replaces.
enum eOutputFileMode : std::int32_t { eOutputReplace = 0, eOutputAppend = 1, eOutputDated = 2 };

class TOLVANE_CONSOLE_API TDiagnosticServer : public ITelnetServerEvents,
                                              public TActiveObjectDeluxe,
                                              public IConsoleListener {
 public:
  // No connection: text sent there reaches only the capture file.
  static constexpr int kNoConnection = -1;

  static TDiagnosticServer* GetInstance();
  static void ReleaseInstance();

  TDiagnosticServer(const TDiagnosticServer&) = delete;
  TDiagnosticServer& operator=(const TDiagnosticServer&) = delete;

  // ITelnetServerEvents: each only queues its handler on the console thread.
  void OnClientReady(int id) override;
  void OnCommandLine(int id, const TStringEx& line) override;
  void OnCompletion(int id, const TStringEx& text) override;
  void OnReserved(int first, int second) override;
  void OnClientGone(int id) override;

  // Takes the telnet settings (listening on their port when enabled), then queues every saved
  // command line, in name order, for no connection. Again at every call.
  virtual void Start(const TTelnetServerConfig* config);
  // The handlers, on the console thread.
  virtual void HandleClientGone(int id);
  virtual void HandleClientReady(int id);
  virtual void ExecuteCommandLine(int id, TStringEx line);
  virtual void CompleteCommand(int id, TStringEx text);

  // IConsoleListener: broadcasts the text ("%s", no line end) in whole lines: what a thread prints
  // goes out when it reaches a line end, so two threads' pieces never cut each other's lines
  // (TLineAssembler says when an unfinished line goes out all the same).
  void OnConsoleOutput(const char16_t* text) override;

  // Watches the telnet settings under "<basePath>\Telnet" and reads the saved commands from
  // "<basePath>\Console" under the registry root `root` (0 to 4). Call it before Start.
  void SetRegistryLocation(const char16_t* basePath, int root);
  // The greeting sent to connections accepted from now on.
  void SetGreeting(const char16_t* text);
  // The first extension gets cookie 1. Both wait for a running command.
  void AddExtension(IConsoleExtension* extension, std::int32_t* cookie);
  void RemoveExtension(std::int32_t cookie);
  // Remembers the last line of this command for the next start.
  void AddSavedCommand(const TStringEx& name);
  // Queues "?" for the connection.
  void ShowHelp(int id);

  // Output. Formats are printf-style over UTF-16 ("%s" takes UTF-16 text); text that is not
  // meant as a format must go in as the argument of "%s". The Line forms end the text with CR LF.
  template <class... Args>
  void Reply(int id, const char16_t* format, const Args&... args) {
    WithFormatArgs([&](const FormatArg* argv, std::size_t n) { ReplyV(id, false, format, argv, n); }, args...);
  }
  template <class... Args>
  void ReplyLine(int id, const char16_t* format, const Args&... args) {
    WithFormatArgs([&](const FormatArg* argv, std::size_t n) { ReplyV(id, true, format, argv, n); }, args...);
  }
  template <class... Args>
  void Broadcast(const char16_t* format, const Args&... args) {
    WithFormatArgs([&](const FormatArg* argv, std::size_t n) { BroadcastV(false, format, argv, n); }, args...);
  }
  template <class... Args>
  void BroadcastLine(const char16_t* format, const Args&... args) {
    WithFormatArgs([&](const FormatArg* argv, std::size_t n) { BroadcastV(true, format, argv, n); }, args...);
  }
  void ReplyV(int id, bool lineEnd, const char16_t* format, const FormatArg* args, std::size_t count);
  void BroadcastV(bool lineEnd, const char16_t* format, const FormatArg* args, std::size_t count);

  // Reads the files of a ";"-separated list and queues their lines for connection `id`.
  void LoadCommandFile(int id, const TStringEx& list);
  // The capture file: opening closes an open one first (without its footer); closing writes the
  // footer. WriteOutputFile formats nothing while no file is open.
  void OpenOutputFile(const char16_t* name, eOutputFileMode mode);
  void CloseOutputFile();
  void WriteOutputFileV(bool lineEnd, const char16_t* format, const FormatArg* args, std::size_t count);
  // The capture file's name, empty while none is open.
  TStringEx GetOutputFileName();

  // The module bridge: every operation lists the process's modules afresh, so a shared object
  // loaded after the console started takes part in the next one. Modules are called one after
  // another on the calling thread, each held loaded for the whole of the operation.
  // The modules (emptied first); false, after printing why, when they could not be listed.
  static bool GetLoadedDlls(std::vector<std::unique_ptr<platform::LoadedModule>>& modules);
  // Module_ParseDebugArgEx (else Module_ParseDebugArg) of every module; the results ORed, 0 for
  // an empty argument or when no module was called.
  std::int32_t ParseDebugArgInModules(const TStringEx& argument);
  // Module_SetConsoleListener of every module with the console's listener (null for none).
  static void SetConsoleListenerInModules(TDiagnosticServer* console);
  void SetTimeStampInModules(bool on);
  void SetPrintCurrentModInModules(bool on);
  // The work of `specdbgcmd`, given its arguments.
  void SpecificDebugCommandInModules(const TStringExArray& args);

  // The help listing, to one connection.
  void PrintHelp(int id, const TStringExArray& args);
  // Saves the remembered command lines to the registry (nothing without a location).
  void SaveCommands();

  TTelnetServer& GetTelnetServer() { return m_telnet; }
  const TCommandsPersistence& GetSavedCommands() const { return m_savedCommands; }
  const platform::LocalDateTime& GetStartTime() const { return m_startTime; }
  // The built-in commands, in lookup order.
  const TPtrList<TDiagnosticServerCommand>& GetCommands() const { return m_commands; }

  // The nested built-in commands.
  class HelpCommand;
  class ThreadIDCommand;
  class TimeCommand;
  class ClsCommand;
  class StopCommand;
  class CrashCommand;
  class LoadCommand;
  class SaveCommandsCommand;
  class SysInfoCommand;
  class DbgCommand;
  class CurrentModCommand;
  class SpecificDebugCommand;
  class SaveOutputCommand;
  class CloseOutputCommand;

 protected:
  TDiagnosticServer();
  ~TDiagnosticServer() override;

 private:
  // Take and release the extension lock on the console thread. A handler that faulted under the
  // catch-all left the thread holding it, unwound by no destructor: the next handler
  // (LockExtensionsForHandler) first gives those holds back.
  void LockExtensionsForHandler();
  void LockExtensions();
  void UnlockExtensions();
  // Asks every extension, in cookie order, for its commands: name and description pairs. The
  // first non-empty title, when asked for, goes to *title.
  void ListExtensionCommands(int id, TStringExArray& pairs, TStringEx* title);
  // The first extension that handles the request; false when none does.
  bool AskExtensions(int id, const TStringEx& name, const TStringExArray& args, bool help);
  // Writes text as it stands, under the capture lock, when a file is open.
  void WriteOutputText(const TStringEx& text, bool lineEnd);
  void WriteCaptureFrame(const char16_t* what);
  // Sends the calling thread's unfinished console line, so that its output keeps its order.
  void SendHeldLine();
  // Text as it stands to every connection and the capture file.
  void SendToAll(const char16_t* text);

  TPtrList<TDiagnosticServerCommand> m_commands;
  std::map<std::int32_t, IConsoleExtension*> m_extensions;  // not owned; guarded by m_extensionLock
  std::int32_t m_lastCookie = 0;
  TMutexHandle m_extensionLock = nullptr;
  // Holds of the extension lock by the console thread's commands; console thread only.
  int m_extensionHolds = 0;
  TTelnetServer m_telnet;
  TCommandsPersistence m_savedCommands;
  TLineAssembler m_lines;
  TMutexEx m_captureLock;
  TIOFile m_captureFile;    // guarded by m_captureLock
  TStringEx m_captureName;  // the name it was opened under; guarded by m_captureLock
  platform::LocalDateTime m_startTime{};

  static TDiagnosticServer* s_instance;
  static std::uint32_t s_references;
};
