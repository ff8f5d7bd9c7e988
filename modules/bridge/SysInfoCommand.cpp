// sysinfo: the identity, age and memory of the process, and its shared objects.
#include "console/BuiltinCommands.h"
#include "modules/bridge/SysInfoFigures.h"
#include "platform/FileInfo.h"
#include "platform/LocalTime.h"
#include "platform/Process.h"
#include "platform/ProcessInfo.h"

namespace {

constexpr char kDateFormat[] = "%Y-%m-%d at %H:%M:%S";
// The longest file name or path shown.
constexpr std::size_t kNameLength = 522;

// The creation time of the file as the report shows it; empty when there is none.
std::u16string CreationText(const std::u16string& path) {
  platform::LocalDateTime created{};
  return platform::ReadFileCreationTime(path, created) ? platform::FormatLocalDateTime(created, kDateFormat)
                                                       : std::u16string();
}

// One line with the four parts of the file's version and its creation time.
void ReplyVersion(TDiagnosticServer& console, int id, const char16_t* format, const std::u16string& path) {
  platform::FileVersion version = platform::ReadFileVersion(path);
  console.ReplyLine(id, format, version.parts[0], version.parts[1], version.parts[2], version.parts[3],
                    CreationText(path));
}

void ReplyProcess(TDiagnosticServer& console, int id) {
  std::u16string executable = platform::ExecutablePath();
  UpTimeParts up = SplitUpTime(platform::SecondsBetween(console.GetStartTime(), platform::NowLocal()));
  platform::ProcessMemory memory = platform::ReadProcessMemory();
  console.ReplyLine(id, u"Process File Name   : %s", executable.substr(0, kNameLength));
  ReplyVersion(console, id, u"Product Version     : %d.%d.%d.%d, created on %s", executable);
  console.ReplyLine(id, u"Process Start Time  : %s",
                    platform::FormatLocalDateTime(console.GetStartTime(), kDateFormat));
  console.ReplyLine(id, u"Process Up Time     : %d days, %d hours, %d minutes, %d seconds", up.days, up.hours,
                    up.minutes, up.seconds);
  console.ReplyLine(id, u"Process ID          : %d", platform::CurrentProcessId());
  console.ReplyLine(id, u"Current Working Set : %s", KilobytesText(memory.workingSet));
  console.ReplyLine(id, u"Current VM Size     : %s", KilobytesText(memory.vmSize));
  console.ReplyLine(id, u"Peak Working Set    : %s", KilobytesText(memory.peakWorkingSet));
  console.ReplyLine(id, u"Peak VM Size        : %s", KilobytesText(memory.peakVmSize));
}

void ReplyDlls(TDiagnosticServer& console, int id) {
  std::vector<std::unique_ptr<platform::LoadedModule>> modules;
  if (!TDiagnosticServer::GetLoadedDlls(modules)) return;
  console.ReplyLine(id, u"\r\nDLL Information\r\n===================\r\n");
  for (const auto& module : modules) {
    console.ReplyLine(id, u"DLL Name  : %s", module->BaseName().substr(0, kNameLength));
    console.ReplyLine(id, u"File Name : %s", module->Path());
    ReplyVersion(console, id, u"Version   : %d.%d.%d.%d, created on %s", module->Path());
    console.ReplyLine(id, u"--------------------------------------------------------------");
  }
}

}  // namespace

EDiagnosticCommandStatus TDiagnosticServer::SysInfoCommand::Execute(TDiagnosticServer& console, int id,
                                                                    const TStringEx*, const TStringExArray* args) {
  ReplyProcess(console, id);
  if (args != nullptr && args->GetCount() == 1 && (*args)[0] == u"+") ReplyDlls(console, id);
  // The greeting is text, not a format: a "%" in it is sent as it stands.
  console.BroadcastLine(u"%s", console.GetTelnetServer().GetGreeting());
  return eCommandDone;
}
