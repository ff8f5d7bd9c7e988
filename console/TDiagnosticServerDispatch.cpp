// Running typed lines: splitting, the built-in commands, then the extensions; the help listing;
// completion of extension command names.
#include "console/TDiagnosticServer.h"

namespace {

const char16_t* const kDashLine = u"--------------------------------------------------";

// Help prints empty fields as a single space.
const char16_t* OrSpace(const TStringEx& text) { return text.IsEmpty() ? u" " : text.c_str(); }

}  // namespace

void TDiagnosticServer::ListExtensionCommands(int id, TStringExArray& pairs, TStringEx* title) {
  const TStringEx noName;
  const TStringExArray noArgs;
  for (const auto& entry : m_extensions) {
    entry.second->HandleCommand(id, &noName, &noArgs, 0, 1, &pairs);
    if (title != nullptr && title->IsEmpty()) *title = entry.second->GetTitle();
  }
}

bool TDiagnosticServer::AskExtensions(int id, const TStringEx& name, const TStringExArray& args, bool help) {
  for (const auto& entry : m_extensions) {
    TStringExArray output;
    if (entry.second->HandleCommand(id, &name, &args, help ? 1 : 0, 0, &output) != 0) return true;
  }
  return false;
}

void TDiagnosticServer::ExecuteCommandLine(int id, TStringEx line) {
  SetConsoleListenerInModules(this);
  LockExtensionsForHandler();
  WriteOutputText(line, true);
  TCommandLine parsed = SplitCommandLine(line);
  if (!parsed.name.IsEmpty()) {
    bool handled = false;
    for (const auto& command : m_commands) {
      if (!command->IsCommand(parsed.name.c_str())) continue;
      command->Execute(*this, id, &parsed.name, &parsed.args);
      handled = true;
      break;
    }
    if (!handled) handled = AskExtensions(id, parsed.name, parsed.args, false);
    if (handled) {
      m_savedCommands.Remember(parsed.name, parsed.rest);
    } else {
      ReplyLine(id, u"'%s' is not recognized as a supported command.", parsed.name);
      ReplyLine(id, u" ");
    }
  }
  // A module's unfinished line goes out with the command that printed it.
  SendHeldLine();
  UnlockExtensions();
}

void TDiagnosticServer::PrintHelp(int id, const TStringExArray& args) {
  if (args.GetCount() > 0) {
    LockExtensions();
    bool explained = AskExtensions(id, args[0], TStringExArray(), true);
    UnlockExtensions();
    if (!explained) {
      ReplyLine(id, u"Could not find help on command '%s'.", args[0]);
      ReplyLine(id, u" ");
    }
    return;
  }
  ReplyLine(id, u"%s", kDashLine);
  ReplyLine(id, u"Console commands:");
  for (const auto& command : m_commands) {
    if (command->IsHidden()) continue;
    ReplyLine(id, u"  %-13s %s", OrSpace(command->GetName()), OrSpace(command->GetDescription()));
    ReplyLine(id, u"  %-13s Syntax: %s", u" ", OrSpace(command->GetSyntax()));
  }
  LockExtensions();
  TStringExArray pairs;
  TStringEx title;
  ListExtensionCommands(id, pairs, &title);
  std::int32_t count = pairs.GetCount() / 2;
  if (count > 0) {
    ReplyLine(id, u"%s", kDashLine);
    if (!title.IsEmpty()) {
      ReplyLine(id, u"%s", title);
      ReplyLine(id, u"%s", kDashLine);
    }
    ReplyLine(id, u"Commands in this application:");
    for (std::int32_t i = 0; i < count; ++i) ReplyLine(id, u"  %-13s %s", OrSpace(pairs[2 * i]), OrSpace(pairs[2 * i + 1]));
    ReplyLine(id, u"%s", kDashLine);
  }
  UnlockExtensions();
}

void TDiagnosticServer::CompleteCommand(int id, TStringEx text) {
  TStringEx prefix = text.Left(static_cast<int>(text.Length()) - 1);
  const std::uint32_t length = prefix.Length();
  LockExtensionsForHandler();
  TStringExArray pairs;
  ListExtensionCommands(id, pairs, nullptr);
  std::vector<TStringEx> matches;
  for (std::int32_t i = 0; i + 1 < pairs.GetCount(); i += 2) {
    const TStringEx& name = pairs[i];
    bool match = length == 0 ? name.IsEmpty()
                             : name.Length() >= length && EqualsNoCase(name.c_str(), length, prefix.c_str(), length);
    if (match) matches.push_back(name);
  }
  if (matches.size() == 1) {
    m_telnet.SetInputLine(id, matches.front());
  } else {
    if (!matches.empty()) {
      Reply(id, u"\r\n");
      for (const TStringEx& name : matches) ReplyLine(id, u"%s", name);
    }
    m_telnet.SetInputLine(id, prefix);
  }
  UnlockExtensions();
}
