#include "modules/bridge/TBackDoorsManagerImp.h"

#include "runtime/TGuard.h"

namespace {
// Set when the instance is destroyed at process exit; static storage outlives it.
bool s_destroyed = false;
}  // namespace

TBackDoorsManagerImp& TBackDoorsManagerImp::Instance() {
  static TBackDoorsManagerImp instance;
  return instance;
}

TBackDoorsManagerImp::~TBackDoorsManagerImp() {
  TGuard guard(&m_lock);
  m_handlers.clear();
  s_destroyed = true;
}

void TBackDoorsManagerImp::Register(IBackDoorHandler* handler, const TStringEx& key) {
  if (s_destroyed || handler == nullptr) return;
  TGuard guard(&m_lock);
  m_handlers[handler] = key;
}

void TBackDoorsManagerImp::Unregister(IBackDoorHandler* handler) {
  if (s_destroyed) return;
  TGuard guard(&m_lock);
  m_handlers.erase(handler);
}

void TBackDoorsManagerImp::Execute(const char16_t* key, std::int32_t count, const char16_t* const* args) {
  if (s_destroyed || key == nullptr || key[0] == 0) return;
  TGuard guard(&m_lock);
  // Looked up again after every call: the handler may have changed the map.
  for (auto it = m_handlers.begin(); it != m_handlers.end();) {
    IBackDoorHandler* handler = it->first;
    if (it->second == key) handler->OnBackDoor(count, args);
    it = m_handlers.upper_bound(handler);
  }
}
