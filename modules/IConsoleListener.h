// The receiver of a module's console text. OnConsoleOutput gets each piece of text as a
// NUL-terminated UTF-16 string that it must not keep.
#pragma once

class IConsoleListener {
 public:
  virtual void OnConsoleOutput(const char16_t* text) = 0;

 protected:
  ~IConsoleListener() = default;
};
