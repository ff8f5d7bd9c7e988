// ITelnetChannelEvent: what a telnet channel reports to its server.
//
// Called on the channel's receive thread (the channel library's I/O thread), one call at a time
// per channel. Lines and keys are UTF-16, converted from the wire's 8-bit text.
#pragma once

#include "foundation/TStringEx.h"

class ITelnetChannelEvent {
 public:
  // A line ended (LF, CR NUL): its text without the line end.
  virtual void OnLine(int id, const TStringEx& line) = 0;
  // A key the channel did not handle itself: a TAB line (the text typed so far, with its TAB) or
  // a complete escape sequence (the characters after ESC).
  virtual void OnKey(int id, const TStringEx& text) = 0;
  // A telnet option command: three bytes (IAC, verb 251..254, option) and a zero byte.
  virtual void OnTelnetCommand(int id, const unsigned char* bytes) = 0;
  // The connection ended; sent once per channel.
  virtual void OnChannelClosed(int id) = 0;
  // History recall: `text` receives the entry, or stays empty when there is none.
  virtual void GetPreviousCommand(int id, TStringEx& text) = 0;
  // The same as GetPreviousCommand; the channel never calls it.
  virtual void GetPreviousCommandAgain(int id, TStringEx& text) { GetPreviousCommand(id, text); }
  virtual void GetNextCommand(int id, TStringEx& text) = 0;

 protected:
  virtual ~ITelnetChannelEvent() = default;
};
