// TBackDoorsManagerImp: the console module's registry of named command handlers, each kept
// under one key. Execute runs every handler of a key in ascending order of handler address.
//
// Threads: every operation may be called from any thread and takes the registry's critical
// section; Execute holds it while the handlers run. A handler may register or unregister
// handlers (itself included) from inside its call: the walk goes on with the next address.
//
// Lifetime: Instance creates the registry on first use; it is destroyed at process exit, after
// which every operation does nothing (so handlers that unregister from their own static
// destructors are safe). Handlers are not owned.
#pragma once

#include <cstdint>
#include <map>

#include "console/ConsoleApi.h"
#include "foundation/TStringEx.h"
#include "modules/bridge/IBackDoorHandler.h"
#include "runtime/TCriticalSection.h"

class TOLVANE_CONSOLE_API TBackDoorsManagerImp {
 public:
  static TBackDoorsManagerImp& Instance();

  TBackDoorsManagerImp(const TBackDoorsManagerImp&) = delete;
  TBackDoorsManagerImp& operator=(const TBackDoorsManagerImp&) = delete;

  // Registering a handler again replaces its key.
  void Register(IBackDoorHandler* handler, const TStringEx& key);
  void Unregister(IBackDoorHandler* handler);
  // Calls OnBackDoor(count, args) of every handler whose key equals `key` exactly (letter case
  // counts). Nothing for an empty or null key.
  void Execute(const char16_t* key, std::int32_t count, const char16_t* const* args);

 private:
  TBackDoorsManagerImp() = default;
  virtual ~TBackDoorsManagerImp();

  TCriticalSection m_lock;
  std::map<IBackDoorHandler*, TStringEx> m_handlers;  // guarded by m_lock
};
