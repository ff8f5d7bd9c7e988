// Fuzzes the registry store. The first byte chooses:
//  - even: a program of operations (open, create, set, query, delete, enumerate, close) on keys
//    and values below HKEY_LOCAL_MACHINE\Fuzz in the sandbox's store, emptied after each input.
//    A value that was set reads back with its type and bytes; one that was deleted is gone; a key
//    that was created opens.
//  - odd: a damaged store: the rest of the input is the store file, opened through
//    TOLVANE_REGISTRY, then read, enumerated and written. Every call must fail or succeed
//    cleanly; the sanitizers watch the rest.
//
// An operation is a byte (its low 3 bits the kind, the rest a handle slot), then its texts, each
// a length byte followed by that many bytes (bytes 0x80 and up stand for characters outside ASCII).
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "fuzz/FuzzSandbox.h"
#include "platform/Registry.h"

namespace {

using namespace platform;

constexpr int kSlots = 4;
constexpr std::size_t kMaxOperations = 64;
const char16_t* const kBase = u"Fuzz";

void Check(bool ok) {
  if (!ok) __builtin_trap();
}

class Reader {
 public:
  Reader(const std::uint8_t* data, std::size_t size) : m_data(data), m_size(size) {}
  bool Empty() const { return m_at >= m_size; }
  std::uint8_t Byte() { return m_at < m_size ? m_data[m_at++] : 0; }
  std::string Bytes() {
    std::size_t length = Byte();
    if (length > m_size - m_at) length = m_size - m_at;
    std::string bytes(reinterpret_cast<const char*>(m_data + m_at), length);
    m_at += length;
    return bytes;
  }
  // A key or value name; bytes 0x80 and up widen to characters outside ASCII.
  std::u16string Name() {
    std::string bytes = Bytes();
    std::u16string name;
    for (unsigned char c : bytes) name.push_back(c < 0x80 ? c : static_cast<char16_t>(0x100 + c));
    return name;
  }

 private:
  const std::uint8_t* m_data;
  std::size_t m_size;
  std::size_t m_at = 0;
};

// Deletes a key and everything below it.
void DeleteTree(HKEY parent, const std::u16string& name) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(parent, name.c_str(), 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS) return;
  for (;;) {
    char16_t child[kMaxKeyNameLength + 1];
    DWORD length = kMaxKeyNameLength + 1;
    if (RegEnumKeyExW(key, 0, child, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
    std::u16string childName(child, length);
    DeleteTree(key, childName);
    // A child that cannot go would be found again for ever.
    HKEY still = nullptr;
    if (RegOpenKeyExW(key, childName.c_str(), 0, KEY_READ, &still) == ERROR_SUCCESS) {
      RegCloseKey(still);
      break;
    }
  }
  RegCloseKey(key);
  RegDeleteKeyW(parent, name.c_str());
}

void RunProgram(Reader& in) {
  HKEY base = nullptr;
  Check(RegCreateKeyExW(HKEY_LOCAL_MACHINE, kBase, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &base, nullptr) ==
        ERROR_SUCCESS);
  HKEY slots[kSlots] = {};
  auto slot = [&](std::uint8_t op) -> HKEY& { return slots[(op >> 3) % kSlots]; };
  auto target = [&](std::uint8_t op) { return slot(op) != nullptr ? slot(op) : base; };
  for (std::size_t n = 0; n < kMaxOperations && !in.Empty(); ++n) {
    std::uint8_t op = in.Byte();
    switch (op & 7) {
      case 0:
      case 1: {  // open, create
        std::u16string path = in.Name();
        REGSAM access = (in.Byte() & 1) != 0 ? KEY_READ : KEY_ALL_ACCESS;
        HKEY key = nullptr;
        LONG rc = (op & 7) == 0 ? RegOpenKeyExW(base, path.c_str(), 0, access, &key)
                                : RegCreateKeyExW(base, path.c_str(), 0, nullptr, 0, access, nullptr, &key, nullptr);
        if (rc != ERROR_SUCCESS) break;
        if ((op & 7) == 1) {
          HKEY again = nullptr;
          Check(RegOpenKeyExW(base, path.c_str(), 0, KEY_READ, &again) == ERROR_SUCCESS);
          RegCloseKey(again);
        }
        if (slot(op) != nullptr) RegCloseKey(slot(op));
        slot(op) = key;
        break;
      }
      case 2: {  // set, then read back
        std::u16string name = in.Name();
        DWORD type = in.Byte() % 12;
        std::string bytes = in.Bytes();
        HKEY key = target(op);
        if (RegSetValueExW(key, name.c_str(), 0, type, reinterpret_cast<const BYTE*>(bytes.data()),
                           static_cast<DWORD>(bytes.size())) != ERROR_SUCCESS)
          break;
        std::string back(bytes.size() + 8, '\0');
        DWORD backType = 0;
        DWORD backSize = static_cast<DWORD>(back.size());
        LONG rc = RegQueryValueExW(key, name.c_str(), nullptr, &backType, reinterpret_cast<BYTE*>(back.data()), &backSize);
        // A handle opened for writing only may not read.
        if (rc == ERROR_ACCESS_DENIED) break;
        Check(rc == ERROR_SUCCESS);
        Check(backType == type && backSize == bytes.size() && back.compare(0, backSize, bytes) == 0);
        break;
      }
      case 3: {  // query, into a buffer of a fuzzed size
        std::u16string name = in.Name();
        DWORD size = in.Byte();
        std::string buffer(size, '\0');
        DWORD type = 0;
        DWORD got = size;
        LONG rc = RegQueryValueExW(target(op), name.c_str(), nullptr, &type,
                                   size == 0 ? nullptr : reinterpret_cast<BYTE*>(buffer.data()), &got);
        if (rc == ERROR_SUCCESS && size != 0) Check(got <= size);
        break;
      }
      case 4: {  // delete a value: gone afterwards
        std::u16string name = in.Name();
        HKEY key = target(op);
        if (RegDeleteValueW(key, name.c_str()) != ERROR_SUCCESS) break;
        DWORD size = 0;
        Check(RegQueryValueExW(key, name.c_str(), nullptr, nullptr, nullptr, &size) != ERROR_SUCCESS);
        break;
      }
      case 5: {  // delete a key
        std::u16string path = in.Name();
        RegDeleteKeyW(target(op), path.c_str());
        break;
      }
      case 6: {  // enumerate subkeys and values, and the counts
        HKEY key = target(op);
        DWORD subKeys = 0;
        DWORD values = 0;
        RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &subKeys, nullptr, nullptr, &values, nullptr, nullptr, nullptr,
                         nullptr);
        char16_t name[kMaxKeyNameLength + 1];
        for (DWORD i = 0; i < 32; ++i) {
          DWORD length = 1 + in.Byte() % (kMaxKeyNameLength + 1);
          if (RegEnumKeyExW(key, i, name, &length, nullptr, nullptr, nullptr, nullptr) == ERROR_NO_MORE_ITEMS) break;
        }
        std::u16string valueName(256, u'\0');
        std::string data(64, '\0');
        for (DWORD i = 0; i < 32; ++i) {
          DWORD nameLength = static_cast<DWORD>(valueName.size());
          DWORD dataLength = static_cast<DWORD>(data.size());
          DWORD type = 0;
          if (RegEnumValueW(key, i, valueName.data(), &nameLength, nullptr, &type, reinterpret_cast<BYTE*>(data.data()),
                            &dataLength) == ERROR_NO_MORE_ITEMS)
            break;
        }
        break;
      }
      case 7: {  // close a slot
        if (slot(op) != nullptr) RegCloseKey(slot(op));
        slot(op) = nullptr;
        break;
      }
    }
  }
  for (HKEY& key : slots)
    if (key != nullptr) RegCloseKey(key);
  RegCloseKey(base);
}

// A store whose file is `bytes`: every call on it must come back.
void RunDamaged(const std::uint8_t* bytes, std::size_t size) {
  const std::string good = fuzz_support::Sandbox::Get().RegistryFolder() + "/registry.db";
  const std::string damaged = fuzz_support::Sandbox::Get().RegistryFolder() + "/damaged.db";
  FILE* file = std::fopen(damaged.c_str(), "wb");
  Check(file != nullptr);
  Check(std::fwrite(bytes, 1, size, file) == size);
  std::fclose(file);
  setenv("TOLVANE_REGISTRY", damaged.c_str(), 1);
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Tolvane", 0, KEY_ALL_ACCESS, &key) == ERROR_SUCCESS) {
    DWORD size = 0;
    RegQueryValueExW(key, u"EnableCatch", nullptr, nullptr, nullptr, &size);
    char16_t name[kMaxKeyNameLength + 1];
    for (DWORD i = 0; i < 8; ++i) {
      DWORD length = kMaxKeyNameLength + 1;
      if (RegEnumKeyExW(key, i, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
    }
    RegCloseKey(key);
  }
  HKEY created = nullptr;
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"Fuzz\\Damaged", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &created, nullptr) ==
      ERROR_SUCCESS) {
    const DWORD one = 1;
    RegSetValueExW(created, u"Value", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&one), sizeof one);
    RegCloseKey(created);
  }
  setenv("TOLVANE_REGISTRY", good.c_str(), 1);
  // The next call opens the good store again; only then may the damaged file go.
  HKEY root = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, nullptr, 0, KEY_READ, &root) == ERROR_SUCCESS) RegCloseKey(root);
  std::remove(damaged.c_str());
  std::remove((damaged + "-journal").c_str());
  std::remove((damaged + "-wal").c_str());
  std::remove((damaged + "-shm").c_str());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz_support::Sandbox::Get();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  if ((data[0] & 1) != 0) {
    RunDamaged(data + 1, size - 1);
    return 0;
  }
  Reader in(data + 1, size - 1);
  RunProgram(in);
  DeleteTree(HKEY_LOCAL_MACHINE, kBase);
  return 0;
}
