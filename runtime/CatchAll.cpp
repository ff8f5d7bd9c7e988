#include "runtime/CatchAll.h"

#include <cerrno>

#include "foundation/TDebugFile.h"
#include "platform/FaultGuard.h"
#include "platform/Process.h"
#include "runtime/TFunctor.h"

TStringEx CatchLogPath() {
  TStringEx path;
  path.Format(u"%s.log", platform::ExecutablePath());
  return path;
}

bool RunCatchingAll(TFunctor* functor, const char16_t* where, const TStringEx& objectName) {
  auto run = [functor] { functor->Execute(); };
  if (platform::RunGuarded(run) == platform::GuardResult::Returned) return true;
  // Both codes are errno here: the platform has one error variable for system and socket calls.
  unsigned error = static_cast<unsigned>(errno);
  TStringEx place;
  place.Format(where, objectName);
  TStringEx line;
  const char16_t* name = functor->m_name;
  if (name != nullptr && name[0] != 0)
    line.Format(u"Catch %s - Func : %s, Error = %08x, WSA Error = %08x", place, name, error, error);
  else
    line.Format(u"Catch %s - No func name, Error = %08x, WSA Error = %08x", place, error, error);
  TDebugFile::AppendLine(CatchLogPath(), line);
  return false;
}
