// TRegEditorImp: the table through which TRegEditor makes every registry call. Each slot forwards
// to one platform registry function with its arguments unchanged and returns its Win32 error
// code. A test or a port can derive from it to observe or replace the calls.
#pragma once

#include "platform/Registry.h"

class TRegEditorImp {
 public:
  using HKEY = platform::HKEY;
  using DWORD = platform::DWORD;
  using LONG = platform::LONG;
  using BYTE = platform::BYTE;
  using REGSAM = platform::REGSAM;

  TRegEditorImp() = default;
  // Releases the MUI loader, as FreeMUIModule.
  virtual ~TRegEditorImp();
  TRegEditorImp(const TRegEditorImp&) = delete;
  TRegEditorImp& operator=(const TRegEditorImp&) = delete;

  virtual LONG RegCreateKeyExW(HKEY key, const char16_t* subKey, DWORD reserved, char16_t* className, DWORD options,
                               REGSAM access, const void* security, HKEY* result, DWORD* disposition);
  virtual LONG RegOpenKeyExW(HKEY key, const char16_t* subKey, DWORD options, REGSAM access, HKEY* result);
  virtual LONG RegCloseKey(HKEY key);
  virtual LONG RegConnectRegistryW(const char16_t* machine, HKEY key, HKEY* result);
  virtual LONG RegEnumKeyExW(HKEY key, DWORD index, char16_t* name, DWORD* nameLength, DWORD* reserved,
                             char16_t* className, DWORD* classLength, std::uint64_t* lastWriteTime);
  virtual LONG RegQueryInfoKeyW(HKEY key, char16_t* className, DWORD* classLength, DWORD* reserved, DWORD* subKeys,
                                DWORD* maxSubKeyLength, DWORD* maxClassLength, DWORD* values,
                                DWORD* maxValueNameLength, DWORD* maxValueLength, DWORD* securityDescriptorLength,
                                std::uint64_t* lastWriteTime);
  virtual LONG RegEnumValueW(HKEY key, DWORD index, char16_t* name, DWORD* nameLength, DWORD* reserved, DWORD* type,
                             BYTE* data, DWORD* dataLength);
  virtual LONG RegQueryValueExW(HKEY key, const char16_t* name, DWORD* reserved, DWORD* type, BYTE* data,
                                DWORD* dataLength);
  virtual LONG RegDeleteValueW(HKEY key, const char16_t* name);
  virtual LONG RegDeleteKeyW(HKEY key, const char16_t* subKey);
  virtual LONG RegSetValueExW(HKEY key, const char16_t* name, DWORD reserved, DWORD type, const BYTE* data,
                              DWORD dataLength);
  // Loads the MUI loader (LoadMUIModule), then calls it; ERROR_NOT_SUPPORTED when it is missing.
  virtual LONG RegLoadMUIStringW(HKEY key, const char16_t* value, char16_t* out, DWORD outBytes, DWORD* dataBytes,
                                 DWORD flags, const char16_t* directory);
  // Looks the MUI loader up once it is needed; a failed look-up is tried again on the next call.
  virtual void LoadMUIModule();
  virtual void FreeMUIModule();

 private:
  using MUILoader = LONG (*)(HKEY, const char16_t*, char16_t*, DWORD, DWORD*, DWORD, const char16_t*);
  bool m_moduleLoaded = false;
  MUILoader m_loadMUIString = nullptr;
};
