#include "telnet/TTelnetServerConfig.h"

#include "foundation/TRegEditor.h"

void ReadTelnetConfig(int rootIndex, const TStringEx& basePath, TTelnetServerConfig& config) {
  const TTelnetServerConfig defaults;
  TStringEx key;
  key.Format(u"%s\\%s", basePath, u"Telnet");
  const char16_t* path = key.c_str();
  const auto root = static_cast<TRegEditor::DWORD>(rootIndex);
  TRegEditor editor(root);

  if (!editor.ReadBool(root, path, u"Enabled", config.Enabled)) {
    config.Enabled = defaults.Enabled;
    editor.WriteBool(root, path, u"Enabled", config.Enabled);
  }

  TRegEditor::DWORD port = 0;
  const bool portRead = editor.ReadDword(root, path, u"Port", port);
  config.Port = static_cast<std::uint16_t>(port & 0xFFFF);
  if (!portRead) {
    config.Port = defaults.Port;
    editor.WriteDword(root, path, u"Port", config.Port);
  }

  if (!editor.ReadString(root, path, u"Password", config.Password)) {
    config.Password = defaults.Password;
    editor.WriteString(root, path, u"Password", config.Password.c_str());
  }

  if (!editor.ReadBool(root, path, u"RemoteConnectionEnabled", config.RemoteConnectionEnabled)) {
    config.RemoteConnectionEnabled = defaults.RemoteConnectionEnabled;
    editor.WriteBool(root, path, u"RemoteConnectionEnabled", config.RemoteConnectionEnabled);
  }

  if (!editor.ReadDword(root, path, u"InactivityTimeout", config.InactivityTimeout)) {
    config.InactivityTimeout = defaults.InactivityTimeout;
    editor.WriteDword(root, path, u"InactivityTimeout", config.InactivityTimeout);
  }

  if (!editor.ReadDword(root, path, u"MaxConnectionCount", config.MaxConnectionCount)) {
    config.MaxConnectionCount = defaults.MaxConnectionCount;
    editor.WriteDword(root, path, u"MaxConnectionCount", config.MaxConnectionCount);
  }
}
