#include "console/TDiagnosticServer.h"

#include "console/BuiltinCommands.h"
#include "modules/TConsole.h"
#include "platform/Thread.h"
#include "platform/ThreadCheck.h"
#include "runtime/TGuard.h"
#include "runtime/TFunctor.h"

TDiagnosticServer* TDiagnosticServer::s_instance = nullptr;
std::uint32_t TDiagnosticServer::s_references = 0;

namespace {

constexpr platform::DWORD kStopTimeoutMs = 5000;
constexpr platform::DWORD kExtensionLockTimeoutMs = 2000;

}  // namespace

TDiagnosticServer* TDiagnosticServer::GetInstance() {
  if (s_instance == nullptr) {
    s_instance = new TDiagnosticServer();
    s_instance->m_startTime = platform::NowLocal();
  }
  ++s_references;
  return s_instance;
}

void TDiagnosticServer::ReleaseInstance() {
  if (s_references == 0 || --s_references != 0) return;
  delete s_instance;
  s_instance = nullptr;
}

TDiagnosticServer::TDiagnosticServer() : TActiveObjectDeluxe(u"Active Object Deluxe"), m_telnet(this) {
  AddBuiltinCommands(m_commands);
  for (const auto& command : m_commands)
    if (command->GetName() == u"saveoutput") m_savedCommands.Register(command->GetName());
  m_extensionLock = TMutex_Create();
  if (TConsole::GetConsoleListener() == nullptr) TConsole::SetConsoleListener(static_cast<IConsoleListener*>(this));
  TActiveObjectDeluxe::Start(u"Diagnostic");
}

TDiagnosticServer::~TDiagnosticServer() {
  // Queued events that have not run are dropped; then no connection and no listener is left to
  // queue more.
  TActiveObjectDeluxe::Stop(true, kStopTimeoutMs);
  m_telnet.CloseAllChannels();
  m_telnet.Stop();
  bool locked = TMutex_Wait(m_extensionLock, kExtensionLockTimeoutMs);
  m_extensions.clear();
  if (locked) TMutex_Release(m_extensionLock);
  TMutex_Close(m_extensionLock);
  if (TConsole::GetConsoleListener() == static_cast<IConsoleListener*>(this)) TConsole::SetConsoleListener(nullptr);
  TGuardEx hold(&m_captureLock);
  m_captureFile.Close();
}

void TDiagnosticServer::OnClientReady(int id) {
  Post(new TFunctor1<TDiagnosticServer, int>(this, &TDiagnosticServer::HandleClientReady, id), 0);
}

void TDiagnosticServer::OnCommandLine(int id, const TStringEx& line) {
  Post(new TFunctor2<TDiagnosticServer, int, TStringEx>(this, &TDiagnosticServer::ExecuteCommandLine, id, line), 0);
}

void TDiagnosticServer::OnCompletion(int id, const TStringEx& text) {
  Post(new TFunctor2<TDiagnosticServer, int, TStringEx>(this, &TDiagnosticServer::CompleteCommand, id, text), 0);
}

void TDiagnosticServer::OnReserved(int, int) {}

void TDiagnosticServer::OnClientGone(int id) {
  Post(new TFunctor1<TDiagnosticServer, int>(this, &TDiagnosticServer::HandleClientGone, id), 0);
}

void TDiagnosticServer::Start(const TTelnetServerConfig* config) {
  m_telnet.Configure(*config);
  for (const auto& entry : m_savedCommands.Entries()) OnCommandLine(kNoConnection, entry.second);
}

void TDiagnosticServer::SetRegistryLocation(const char16_t* basePath, int root) {
  m_telnet.MonitorRegistry(basePath, root);
  m_savedCommands.Load(basePath, static_cast<std::uint32_t>(root));
}

void TDiagnosticServer::SetGreeting(const char16_t* text) { m_telnet.SetGreeting(text); }

void TDiagnosticServer::AddExtension(IConsoleExtension* extension, std::int32_t* cookie) {
  TGuard hold(m_extensionLock);
  *cookie = ++m_lastCookie;
  m_extensions[*cookie] = extension;
}

void TDiagnosticServer::RemoveExtension(std::int32_t cookie) {
  TGuard hold(m_extensionLock);
  m_extensions.erase(cookie);
}

void TDiagnosticServer::AddSavedCommand(const TStringEx& name) { m_savedCommands.Register(name); }

void TDiagnosticServer::ShowHelp(int id) { OnCommandLine(id, u"?"); }

void TDiagnosticServer::SaveCommands() { m_savedCommands.Save(); }

void TDiagnosticServer::LockExtensionsForHandler() {
  TOLVANE_DCHECK_ON_THREAD(GetActiveThreadId());
  for (; m_extensionHolds > 0; --m_extensionHolds) TMutex_Release(m_extensionLock);
  LockExtensions();
}

void TDiagnosticServer::LockExtensions() {
  TMutex_Wait(m_extensionLock, platform::INFINITE_TIMEOUT);
  ++m_extensionHolds;
}

void TDiagnosticServer::UnlockExtensions() {
  --m_extensionHolds;
  TMutex_Release(m_extensionLock);
}

void TDiagnosticServer::HandleClientReady(int id) {
  LockExtensionsForHandler();
  SetConsoleListenerInModules(this);
  for (const auto& entry : m_extensions) entry.second->OnClientReady(id);
  {
    TGuardEx hold(&m_captureLock);
    if (m_captureFile.IsOpen()) ReplyLine(id, u"Saving console output to file '%s'", m_captureName);
  }
  UnlockExtensions();
}

void TDiagnosticServer::HandleClientGone(int id) {
  m_telnet.RemoveChannel(id);
  LockExtensionsForHandler();
  for (const auto& entry : m_extensions) entry.second->OnClientGone(id);
  UnlockExtensions();
}

void TDiagnosticServer::OnConsoleOutput(const char16_t* text) {
  std::vector<std::u16string> ready;
  m_lines.Add(platform::CurrentThreadId(), text, platform::GetTickCount(), ready);
  for (const std::u16string& piece : ready) SendToAll(piece.c_str());
}

void TDiagnosticServer::SendHeldLine() {
  const std::u16string held = m_lines.TakeHeld(platform::CurrentThreadId());
  if (!held.empty()) SendToAll(held.c_str());
}

void TDiagnosticServer::SendToAll(const char16_t* text) {
  const FormatArg arg = MakeFormatArg(text);
  m_telnet.PrintAllV(false, u"%s", &arg, 1);
  WriteOutputFileV(false, u"%s", &arg, 1);
}

void TDiagnosticServer::ReplyV(int id, bool lineEnd, const char16_t* format, const FormatArg* args,
                               std::size_t count) {
  SendHeldLine();
  m_telnet.PrintV(id, lineEnd, format, args, count);
  WriteOutputFileV(lineEnd, format, args, count);
}

void TDiagnosticServer::BroadcastV(bool lineEnd, const char16_t* format, const FormatArg* args, std::size_t count) {
  SendHeldLine();
  m_telnet.PrintAllV(lineEnd, format, args, count);
  WriteOutputFileV(lineEnd, format, args, count);
}
