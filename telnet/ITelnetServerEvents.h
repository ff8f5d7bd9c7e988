// ITelnetServerEvents: what the telnet server reports to the console.
//
// OnClientReady and OnCommandLine are called with the server's channel lock held, OnCompletion
// and OnClientGone without it; a receiver should only queue the work for its own thread.
#pragma once

#include "foundation/TStringEx.h"

class ITelnetServerEvents {
 public:
  // The connection may now enter commands (after the greeting, or after the right password).
  virtual void OnClientReady(int id) = 0;
  virtual void OnCommandLine(int id, const TStringEx& line) = 0;
  // TAB typed after at least one other character: the text so far, TAB included.
  virtual void OnCompletion(int id, const TStringEx& text) = 0;
  // Reserved; never sent.
  virtual void OnReserved(int first, int second) { (void)first, (void)second; }
  // The connection ended. The channel stays in the server until RemoveChannel(id).
  virtual void OnClientGone(int id) { (void)id; }

 protected:
  virtual ~ITelnetServerEvents() = default;
};
