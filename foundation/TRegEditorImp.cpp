#include "foundation/TRegEditorImp.h"

namespace reg = platform;

TRegEditorImp::~TRegEditorImp() { TRegEditorImp::FreeMUIModule(); }

TRegEditorImp::LONG TRegEditorImp::RegCreateKeyExW(HKEY key, const char16_t* subKey, DWORD reserved,
                                                   char16_t* className, DWORD options, REGSAM access,
                                                   const void* security, HKEY* result, DWORD* disposition) {
  return reg::RegCreateKeyExW(key, subKey, reserved, className, options, access, security, result, disposition);
}

TRegEditorImp::LONG TRegEditorImp::RegOpenKeyExW(HKEY key, const char16_t* subKey, DWORD options, REGSAM access,
                                                 HKEY* result) {
  return reg::RegOpenKeyExW(key, subKey, options, access, result);
}

TRegEditorImp::LONG TRegEditorImp::RegCloseKey(HKEY key) { return reg::RegCloseKey(key); }

TRegEditorImp::LONG TRegEditorImp::RegConnectRegistryW(const char16_t* machine, HKEY key, HKEY* result) {
  return reg::RegConnectRegistryW(machine, key, result);
}

TRegEditorImp::LONG TRegEditorImp::RegEnumKeyExW(HKEY key, DWORD index, char16_t* name, DWORD* nameLength,
                                                 DWORD* reserved, char16_t* className, DWORD* classLength,
                                                 std::uint64_t* lastWriteTime) {
  return reg::RegEnumKeyExW(key, index, name, nameLength, reserved, className, classLength, lastWriteTime);
}

TRegEditorImp::LONG TRegEditorImp::RegQueryInfoKeyW(HKEY key, char16_t* className, DWORD* classLength,
                                                    DWORD* reserved, DWORD* subKeys, DWORD* maxSubKeyLength,
                                                    DWORD* maxClassLength, DWORD* values, DWORD* maxValueNameLength,
                                                    DWORD* maxValueLength, DWORD* securityDescriptorLength,
                                                    std::uint64_t* lastWriteTime) {
  return reg::RegQueryInfoKeyW(key, className, classLength, reserved, subKeys, maxSubKeyLength, maxClassLength, values,
                               maxValueNameLength, maxValueLength, securityDescriptorLength, lastWriteTime);
}

TRegEditorImp::LONG TRegEditorImp::RegEnumValueW(HKEY key, DWORD index, char16_t* name, DWORD* nameLength,
                                                 DWORD* reserved, DWORD* type, BYTE* data, DWORD* dataLength) {
  return reg::RegEnumValueW(key, index, name, nameLength, reserved, type, data, dataLength);
}

TRegEditorImp::LONG TRegEditorImp::RegQueryValueExW(HKEY key, const char16_t* name, DWORD* reserved, DWORD* type,
                                                    BYTE* data, DWORD* dataLength) {
  return reg::RegQueryValueExW(key, name, reserved, type, data, dataLength);
}

TRegEditorImp::LONG TRegEditorImp::RegDeleteValueW(HKEY key, const char16_t* name) {
  return reg::RegDeleteValueW(key, name);
}

TRegEditorImp::LONG TRegEditorImp::RegDeleteKeyW(HKEY key, const char16_t* subKey) {
  return reg::RegDeleteKeyW(key, subKey);
}

TRegEditorImp::LONG TRegEditorImp::RegSetValueExW(HKEY key, const char16_t* name, DWORD reserved, DWORD type,
                                                  const BYTE* data, DWORD dataLength) {
  return reg::RegSetValueExW(key, name, reserved, type, data, dataLength);
}

TRegEditorImp::LONG TRegEditorImp::RegLoadMUIStringW(HKEY key, const char16_t* value, char16_t* out, DWORD outBytes,
                                                     DWORD* dataBytes, DWORD flags, const char16_t* directory) {
  LoadMUIModule();
  if (m_loadMUIString == nullptr) return platform::ERROR_NOT_SUPPORTED;
  return m_loadMUIString(key, value, out, outBytes, dataBytes, flags, directory);
}

void TRegEditorImp::LoadMUIModule() {
  // The loader is part of the platform layer here, so the look-up cannot fail.
  if (m_moduleLoaded) return;
  m_moduleLoaded = true;
  m_loadMUIString = &reg::RegLoadMUIStringW;
}

void TRegEditorImp::FreeMUIModule() {
  m_moduleLoaded = false;
  m_loadMUIString = nullptr;
}
