// The catch-all of the worker threads: runs a functor with every failure caught and logs each
// caught failure as one line in the file named after the executable with ".log" appended.
#pragma once

#include "foundation/TStringEx.h"

class TFunctor;

// Runs the functor (which stays the caller's) with C++ exceptions and hardware faults caught. On
// a failure appends
//   "Catch <where> - Func : <functor name>, Error = %08x, WSA Error = %08x"
// (or "Catch <where> - No func name, ..." for an unnamed functor), where `where` is a format such
// as u"TActiveObjectEx<%s>::Server_ExecuteFunc" completed with the object's name. True when the
// functor returned normally.
bool RunCatchingAll(TFunctor* functor, const char16_t* where, const TStringEx& objectName);

// The log file of caught failures: the executable's full path followed by ".log".
TStringEx CatchLogPath();
