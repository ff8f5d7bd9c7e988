// TConsole: the one place through which a module prints diagnostic text.
//
// Each module that links this kit has its own console state (lock, switches, listener), because
// the kit is a static library built with hidden symbols. Print writes the enabled prefixes
// (thread id "%05d - ", time of day "%02dh%02d:%02d.%03d - ", module file name "%s - ") and then
// the formatted text, each as a separate piece handed to the module's console listener; text
// longer than 8191 characters is cut. PrintLine adds "\r\n" as one more piece and keeps the whole
// line together against other threads. All printing of a module is serialised by its recursive
// lock, so a listener may print again from the same thread. Printing never fails: without a
// listener, or before the module's console exists, the text is dropped.
#pragma once

#include "foundation/Format.h"
#include "modules/IConsoleListener.h"

class TConsole {
 public:
  // The first object creates the module's lock and format buffer; the last one frees them.
  TConsole();
  virtual ~TConsole();
  TConsole(const TConsole&) = delete;
  TConsole& operator=(const TConsole&) = delete;

  template <class... Args>
  static void Print(const char16_t* format, const Args&... args) {
    WithFormatArgs([&](const FormatArg* argv, std::size_t count) { PrintV(format, argv, count); }, args...);
  }
  template <class... Args>
  static void PrintLine(const char16_t* format, const Args&... args) {
    WithFormatArgs([&](const FormatArg* argv, std::size_t count) { PrintLineV(format, argv, count); }, args...);
  }
  static void PrintV(const char16_t* format, const FormatArg* args, std::size_t count);
  static void PrintLineV(const char16_t* format, const FormatArg* args, std::size_t count);

  static void SetConsoleListener(IConsoleListener* listener);
  static IConsoleListener* GetConsoleListener();
  static void SetPrintThreadId(bool on);
  static bool GetPrintThreadId();
  static void SetPrintTimeStamp(bool on);
  static bool GetPrintTimeStamp();
  static void SetPrintCurrentMod(bool on);
  static bool GetPrintCurrentMod();
};
