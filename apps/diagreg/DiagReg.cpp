// diagreg: reads and writes the registry store from the command line, in the manner of `reg`.
#include "apps/diagreg/DiagReg.h"

#include <cstdint>
#include <iostream>
#include <string>
#include <vector>

#include "foundation/TStringEx.h"
#include "platform/Registry.h"
#include "platform/TextConvert.h"

using namespace platform;

namespace {

const char kUsage[] =
    "Usage:\n"
    "  diagreg query KEY [/v NAME | /ve] [/s]\n"
    "  diagreg add KEY [/v NAME | /ve] [/t TYPE] [/s SEP] [/d DATA] [/f]\n"
    "  diagreg delete KEY [/v NAME | /ve | /va] [/f]\n"
    "\n"
    "  KEY   ROOT\\Path\\Of\\Key, ROOT one of HKLM, HKCU, HKCR, HKU, HKCC\n"
    "        (or HKEY_LOCAL_MACHINE and the other full names)\n"
    "  /v    the value NAME; /ve the key's default (unnamed) value; /va all values\n"
    "  /t    REG_SZ (the default), REG_EXPAND_SZ, REG_MULTI_SZ, REG_DWORD, REG_QWORD,\n"
    "        REG_BINARY or REG_NONE\n"
    "  /d    the data: a DWORD or QWORD in decimal or as 0x and hex digits, binary data\n"
    "        as hex digits, REG_MULTI_SZ items separated by \\0 (or by SEP given with /s)\n"
    "  /s    with query: the key's subkeys too, recursively\n"
    "  /f    overwrite or delete without asking\n"
    "\n"
    "The store is the file named by TOLVANE_REGISTRY, else $XDG_STATE_HOME/tolvane/registry.db,\n"
    "else ~/.local/state/tolvane/registry.db.\n";

constexpr const char* kSuccess = "The operation completed successfully.";

struct Root {
  const char* shortName;
  const char* longName;
  HKEY key;
};

const Root kRoots[] = {
    {"HKLM", "HKEY_LOCAL_MACHINE", HKEY_LOCAL_MACHINE}, {"HKCU", "HKEY_CURRENT_USER", HKEY_CURRENT_USER},
    {"HKCR", "HKEY_CLASSES_ROOT", HKEY_CLASSES_ROOT},   {"HKU", "HKEY_USERS", HKEY_USERS},
    {"HKCC", "HKEY_CURRENT_CONFIG", HKEY_CURRENT_CONFIG},
};

struct TypeName {
  const char* name;
  DWORD type;
};

const TypeName kTypes[] = {{"REG_SZ", REG_SZ},         {"REG_EXPAND_SZ", REG_EXPAND_SZ}, {"REG_MULTI_SZ", REG_MULTI_SZ},
                           {"REG_DWORD", REG_DWORD},   {"REG_QWORD", REG_QWORD},         {"REG_BINARY", REG_BINARY},
                           {"REG_NONE", REG_NONE}};

std::string Upper(std::string s) {
  for (char& c : s)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
  return s;
}

std::u16string Wide(const std::string& narrow) {
  std::u16string wide;
  AppendNarrowToUtf16(narrow.data(), narrow.size(), wide);
  return wide;
}

std::string Narrow(const std::u16string& wide) {
  std::string narrow;
  AppendUtf16ToNarrow(wide.data(), wide.size(), narrow);
  return narrow;
}

std::string TypeText(DWORD type) {
  for (const TypeName& t : kTypes)
    if (t.type == type) return t.name;
  static const char digits[] = "0123456789abcdef";
  std::string hex;
  do {
    hex.insert(hex.begin(), digits[type & 15]);
    type >>= 4;
  } while (type != 0);
  return "REG_0x" + hex;
}

// Parses a whole unsigned number, decimal or 0x hexadecimal, no larger than max.
bool ParseNumber(const std::string& text, std::uint64_t max, std::uint64_t* value) {
  std::size_t i = 0;
  unsigned base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    i = 2;
  }
  if (i >= text.size()) return false;
  std::uint64_t v = 0;
  for (; i < text.size(); ++i) {
    char c = text[i];
    unsigned digit = (c >= '0' && c <= '9') ? c - '0' : (c >= 'a' && c <= 'f') ? c - 'a' + 10 : (c >= 'A' && c <= 'F') ? c - 'A' + 10 : 99;
    if (digit >= base) return false;
    if (v > (max - digit) / base) return false;
    v = v * base + digit;
  }
  *value = v;
  return true;
}

class Tool {
 public:
  Tool(std::ostream& out, std::ostream& err, std::istream& in) : m_out(out), m_err(err), m_in(in) {}

  int Run(const std::vector<std::string>& args) {
    if (args.empty()) return Usage("no operation given");
    std::string op = Upper(args[0]);
    if (op == "/?" || op == "-?" || op == "HELP" || op == "--HELP" || op == "-H") {
      m_out << kUsage;
      return 0;
    }
    if (op != "QUERY" && op != "ADD" && op != "DELETE") return Usage("unknown operation '" + args[0] + "'");
    if (args.size() < 2) return Usage("no key given");
    if (!ParseKey(args[1])) return Usage("'" + args[1] + "' is not a key (it must begin with a root such as HKLM)");
    if (!ParseOptions(args, op)) return 2;  // it printed the usage
    if (op == "QUERY") return Query();
    if (op == "ADD") return Add();
    return Delete();
  }

 private:
  int Usage(const std::string& problem) {
    m_err << "diagreg: " << problem << "\n\n" << kUsage;
    return 2;
  }

  bool ParseKey(const std::string& text) {
    std::size_t slash = text.find('\\');
    std::string root = Upper(text.substr(0, slash));
    for (const Root& r : kRoots) {
      if (root == r.shortName || root == r.longName) {
        m_root = &r;
        m_path = slash == std::string::npos ? std::u16string() : Wide(text.substr(slash + 1));
        while (!m_path.empty() && m_path.back() == u'\\') m_path.pop_back();
        return true;
      }
    }
    return false;
  }

  bool ParseOptions(const std::vector<std::string>& args, const std::string& op) {
    for (std::size_t i = 2; i < args.size(); ++i) {
      std::string opt = Upper(args[i]);
      if (opt.size() > 1 && opt[0] == '-') opt[0] = '/';
      bool takesValue = opt == "/V" || opt == "/T" || opt == "/D" || (opt == "/S" && op == "ADD");
      if (takesValue && i + 1 >= args.size()) return Usage("option " + args[i] + " needs a value") == 0;
      if (opt == "/V") {
        m_valueName = Wide(args[++i]);
        m_hasValue = true;
      } else if (opt == "/VE") {
        m_valueName.clear();
        m_hasValue = true;
      } else if (opt == "/VA" && op == "DELETE") {
        m_allValues = true;
      } else if (opt == "/T" && op == "ADD") {
        std::string type = Upper(args[++i]);
        bool known = false;
        for (const TypeName& t : kTypes)
          if (type == t.name) {
            m_type = t.type;
            known = true;
          }
        if (!known) return Usage("'" + args[i] + "' is not a value type this tool writes") == 0;
      } else if (opt == "/D" && op == "ADD") {
        m_data = args[++i];
        m_hasData = true;
      } else if (opt == "/S" && op == "ADD") {
        m_separator = args[++i];
        if (m_separator.size() != 1) return Usage("the separator given with /s must be one character") == 0;
      } else if (opt == "/S" && op == "QUERY") {
        m_recursive = true;
      } else if (opt == "/F" && op != "QUERY") {
        m_force = true;
      } else {
        return Usage("option '" + args[i] + "' is not known here") == 0;
      }
    }
    if (m_allValues && m_hasValue) return Usage("/va cannot be combined with /v or /ve") == 0;
    if ((m_hasData || m_type != REG_SZ) && !m_hasValue) return Usage("/t and /d need /v or /ve") == 0;
    return true;
  }

  std::string KeyText(const std::u16string& path) const {
    return path.empty() ? std::string(m_root->longName) : std::string(m_root->longName) + "\\" + Narrow(path);
  }

  // Reports a failed call and returns the exit code for it.
  int Fail(LONG err) {
    switch (err) {
      case ERROR_BADDB:
        m_err << "ERROR: The registry store '" << RegistryStorePath()
              << "' is damaged or is not a registry store (error " << err << ").\n";
        break;
      case ERROR_REGISTRY_IO_FAILED:
        m_err << "ERROR: The registry store '" << RegistryStorePath() << "' cannot be opened or read (error " << err
              << ").\n";
        break;
      case ERROR_BUSY:
        m_err << "ERROR: The registry store '" << RegistryStorePath() << "' is locked by another process (error " << err
              << ").\n";
        break;
      case ERROR_DISK_FULL:
        m_err << "ERROR: The disk of the registry store '" << RegistryStorePath() << "' is full (error " << err << ").\n";
        break;
      case ERROR_FILE_NOT_FOUND:
        m_err << "ERROR: The system was unable to find the specified registry key or value.\n";
        break;
      case ERROR_ACCESS_DENIED:
        m_err << "ERROR: Access is denied (error " << err << ").\n";
        break;
      case ERROR_BAD_PATHNAME:
      case ERROR_INVALID_PARAMETER:
        m_err << "ERROR: The key path or value name is not valid (error " << err << ").\n";
        break;
      default:
        m_err << "ERROR: The registry call failed (error " << err << ").\n";
        break;
    }
    return 1;
  }

  bool Confirm(const std::string& question) {
    if (m_force) return true;
    m_out << question << " (Yes/No)? " << std::flush;
    std::string answer;
    if (!std::getline(m_in, answer)) answer.clear();
    answer = Upper(answer);
    if (answer == "Y" || answer == "YES") return true;
    m_out << "The operation was cancelled.\n";
    return false;
  }

  // --- query ---

  std::string DataText(DWORD type, const std::vector<BYTE>& data) {
    auto text = [&](std::size_t from, std::size_t bytes) {
      std::u16string s(reinterpret_cast<const char16_t*>(data.data()) + from / 2, bytes / 2);
      while (!s.empty() && s.back() == 0) s.pop_back();
      return s;
    };
    if ((type == REG_DWORD && data.size() == 4) || (type == REG_QWORD && data.size() == 8)) {
      std::uint64_t v = 0;
      for (std::size_t i = data.size(); i > 0; --i) v = (v << 8) | data[i - 1];
      char buf[24];
      std::snprintf(buf, sizeof buf, "0x%llx", static_cast<unsigned long long>(v));
      return buf;
    }
    if (type == REG_SZ || type == REG_EXPAND_SZ) return Narrow(text(0, data.size()));
    if (type == REG_MULTI_SZ) {
      std::u16string all = text(0, data.size());
      std::string out;
      std::size_t start = 0;
      while (start <= all.size()) {
        std::size_t end = all.find(u'\0', start);
        if (end == std::u16string::npos) end = all.size();
        if (!out.empty() || start > 0) out += "\\0";
        out += Narrow(all.substr(start, end - start));
        start = end + 1;
      }
      return out;
    }
    std::string hex;
    static const char digits[] = "0123456789ABCDEF";
    for (BYTE b : data) {
      hex += digits[b >> 4];
      hex += digits[b & 15];
    }
    return hex;
  }

  void PrintValue(const std::u16string& name, DWORD type, const std::vector<BYTE>& data) {
    m_out << "    " << (name.empty() ? std::string("(Default)") : Narrow(name)) << "    " << TypeText(type) << "    "
          << DataText(type, data) << "\n";
  }

  LONG ReadValue(HKEY key, const std::u16string& name, DWORD* type, std::vector<BYTE>* data) {
    for (;;) {
      DWORD size = 0;
      LONG err = RegQueryValueExW(key, name.c_str(), nullptr, type, nullptr, &size);
      if (err != ERROR_SUCCESS) return err;
      data->assign(size, 0);
      err = RegQueryValueExW(key, name.c_str(), nullptr, type, data->data(), &size);
      if (err == ERROR_MORE_DATA) continue;  // it grew in between
      data->resize(size);
      return err;
    }
  }

  LONG QueryKey(const std::u16string& path, bool recursive) {
    HKEY key = nullptr;
    LONG err = RegOpenKeyExW(m_root->key, path.c_str(), 0, KEY_READ, &key);
    if (err != ERROR_SUCCESS) return err;
    m_out << "\n" << KeyText(path) << "\n";
    std::vector<char16_t> name(kMaxValueNameLength + 1);
    std::vector<BYTE> data;
    std::vector<std::u16string> children;
    for (DWORD i = 0; err == ERROR_SUCCESS; ++i) {
      DWORD nameLength = static_cast<DWORD>(name.size());
      DWORD type = 0;
      err = RegEnumValueW(key, i, name.data(), &nameLength, nullptr, &type, nullptr, nullptr);
      if (err == ERROR_SUCCESS) err = ReadValue(key, std::u16string(name.data(), nameLength), &type, &data);
      if (err == ERROR_SUCCESS) PrintValue(std::u16string(name.data(), nameLength), type, data);
    }
    for (DWORD i = 0; err == ERROR_NO_MORE_ITEMS || err == ERROR_SUCCESS; ++i) {
      DWORD nameLength = kMaxKeyNameLength + 1;
      err = RegEnumKeyExW(key, i, name.data(), &nameLength, nullptr, nullptr, nullptr, nullptr);
      if (err != ERROR_SUCCESS) break;
      children.emplace_back(name.data(), nameLength);
    }
    RegCloseKey(key);
    if (err != ERROR_NO_MORE_ITEMS) return err;
    if (!children.empty()) m_out << "\n";
    for (const std::u16string& child : children) {
      std::u16string childPath = path.empty() ? child : path + u"\\" + child;
      if (recursive) {
        err = QueryKey(childPath, true);
        if (err != ERROR_SUCCESS) return err;
      } else {
        m_out << KeyText(childPath) << "\n";
      }
    }
    return ERROR_SUCCESS;
  }

  int Query() {
    if (!m_hasValue) {
      LONG err = QueryKey(m_path, m_recursive);
      return err == ERROR_SUCCESS ? 0 : Fail(err);
    }
    HKEY key = nullptr;
    LONG err = RegOpenKeyExW(m_root->key, m_path.c_str(), 0, KEY_READ, &key);
    if (err != ERROR_SUCCESS) return Fail(err);
    DWORD type = 0;
    std::vector<BYTE> data;
    err = ReadValue(key, m_valueName, &type, &data);
    RegCloseKey(key);
    if (err != ERROR_SUCCESS) return Fail(err);
    m_out << "\n" << KeyText(m_path) << "\n";
    PrintValue(m_valueName, type, data);
    m_out << "\n";
    return 0;
  }

  // --- add ---

  // Turns /d into the bytes of the value; false (with the reason printed) when it does not fit
  // the type.
  bool EncodeData(std::vector<BYTE>* bytes) {
    auto putText = [&](const std::u16string& s) {
      const BYTE* p = reinterpret_cast<const BYTE*>(s.data());
      bytes->insert(bytes->end(), p, p + s.size() * 2);
      bytes->push_back(0);
      bytes->push_back(0);
    };
    switch (m_type) {
      case REG_DWORD:
      case REG_QWORD: {
        std::uint64_t max = m_type == REG_DWORD ? 0xFFFFFFFFull : ~0ull;
        std::uint64_t v = 0;
        if (m_hasData && !ParseNumber(m_data, max, &v)) {
          m_err << "ERROR: '" << m_data << "' is not a valid " << TypeText(m_type)
                << ": give a decimal number or 0x and hex digits, from 0 to " << (m_type == REG_DWORD ? "4294967295" : "18446744073709551615")
                << ". Nothing was written.\n";
          return false;
        }
        std::size_t size = m_type == REG_DWORD ? 4 : 8;
        for (std::size_t i = 0; i < size; ++i) bytes->push_back(static_cast<BYTE>(v >> (8 * i)));
        return true;
      }
      case REG_BINARY:
      case REG_NONE: {
        if (m_data.size() % 2 != 0) {
          m_err << "ERROR: binary data must be an even number of hex digits. Nothing was written.\n";
          return false;
        }
        for (std::size_t i = 0; i < m_data.size(); i += 2) {
          std::uint64_t v = 0;
          if (!ParseNumber("0x" + m_data.substr(i, 2), 0xFF, &v)) {
            m_err << "ERROR: '" << m_data << "' is not hex digits. Nothing was written.\n";
            return false;
          }
          bytes->push_back(static_cast<BYTE>(v));
        }
        return true;
      }
      case REG_MULTI_SZ: {
        std::string separator = m_separator.empty() ? std::string("\\0") : m_separator;
        std::size_t start = 0;
        while (!m_data.empty() && start <= m_data.size()) {
          std::size_t end = m_data.find(separator, start);
          if (end == std::string::npos) end = m_data.size();
          if (end > start) putText(Wide(m_data.substr(start, end - start)));
          start = end + separator.size();
        }
        bytes->push_back(0);
        bytes->push_back(0);
        return true;
      }
      default:
        putText(Wide(m_data));
        return true;
    }
  }

  int Add() {
    std::vector<BYTE> bytes;
    if (m_hasValue && !EncodeData(&bytes)) return 1;
    if (m_hasValue && !m_force) {
      HKEY existing = nullptr;
      if (RegOpenKeyExW(m_root->key, m_path.c_str(), 0, KEY_READ, &existing) == ERROR_SUCCESS) {
        DWORD type = 0;
        bool exists = RegQueryValueExW(existing, m_valueName.c_str(), nullptr, &type, nullptr, nullptr) == ERROR_SUCCESS;
        RegCloseKey(existing);
        std::string shown = m_valueName.empty() ? std::string("(Default)") : Narrow(m_valueName);
        if (exists && !Confirm("Value " + shown + " exists, overwrite")) return 1;
      }
    }
    HKEY key = nullptr;
    LONG err = RegCreateKeyExW(m_root->key, m_path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_WRITE, nullptr,
                               &key, nullptr);
    if (err != ERROR_SUCCESS) return Fail(err);
    if (m_hasValue)
      err = RegSetValueExW(key, m_valueName.c_str(), 0, m_type, bytes.data(), static_cast<DWORD>(bytes.size()));
    RegCloseKey(key);
    if (err != ERROR_SUCCESS) return Fail(err);
    m_out << kSuccess << "\n";
    return 0;
  }

  // --- delete ---

  LONG DeleteTree(const std::u16string& path) {
    HKEY key = nullptr;
    LONG err = RegOpenKeyExW(m_root->key, path.c_str(), 0, KEY_READ, &key);
    if (err != ERROR_SUCCESS) return err;
    std::vector<char16_t> name(kMaxKeyNameLength + 1);
    for (;;) {
      DWORD nameLength = kMaxKeyNameLength + 1;
      err = RegEnumKeyExW(key, 0, name.data(), &nameLength, nullptr, nullptr, nullptr, nullptr);
      if (err != ERROR_SUCCESS) break;
      err = DeleteTree(path + u"\\" + std::u16string(name.data(), nameLength));
      if (err != ERROR_SUCCESS) break;
    }
    RegCloseKey(key);
    if (err != ERROR_NO_MORE_ITEMS) return err;
    return RegDeleteKeyW(m_root->key, path.c_str());
  }

  int Delete() {
    if (!m_hasValue && !m_allValues) {
      if (m_path.empty()) {
        m_err << "ERROR: A root key cannot be deleted.\n";
        return 1;
      }
      HKEY probe = nullptr;
      LONG err = RegOpenKeyExW(m_root->key, m_path.c_str(), 0, KEY_READ, &probe);
      if (err != ERROR_SUCCESS) return Fail(err);
      RegCloseKey(probe);
      if (!Confirm("Permanently delete the registry key " + KeyText(m_path))) return 1;
      err = DeleteTree(m_path);
      if (err != ERROR_SUCCESS) return Fail(err);
      m_out << kSuccess << "\n";
      return 0;
    }
    HKEY key = nullptr;
    LONG err = RegOpenKeyExW(m_root->key, m_path.c_str(), 0, KEY_READ | KEY_SET_VALUE, &key);
    if (err != ERROR_SUCCESS) return Fail(err);
    if (m_allValues) {
      if (Confirm("Delete all values under the registry key " + KeyText(m_path))) {
        std::vector<char16_t> name(kMaxValueNameLength + 1);
        for (;;) {
          DWORD nameLength = static_cast<DWORD>(name.size());
          err = RegEnumValueW(key, 0, name.data(), &nameLength, nullptr, nullptr, nullptr, nullptr);
          if (err != ERROR_SUCCESS) break;
          err = RegDeleteValueW(key, name.data());
          if (err != ERROR_SUCCESS) break;
        }
        if (err == ERROR_NO_MORE_ITEMS) err = ERROR_SUCCESS;
      } else {
        RegCloseKey(key);
        return 1;
      }
    } else {
      DWORD type = 0;
      err = RegQueryValueExW(key, m_valueName.c_str(), nullptr, &type, nullptr, nullptr);
      std::string shown = m_valueName.empty() ? std::string("(Default)") : Narrow(m_valueName);
      if (err == ERROR_SUCCESS) {
        if (!Confirm("Delete the registry value " + shown)) {
          RegCloseKey(key);
          return 1;
        }
        err = RegDeleteValueW(key, m_valueName.c_str());
      }
    }
    RegCloseKey(key);
    if (err != ERROR_SUCCESS) return Fail(err);
    m_out << kSuccess << "\n";
    return 0;
  }

  std::ostream& m_out;
  std::ostream& m_err;
  std::istream& m_in;
  const Root* m_root = nullptr;
  std::u16string m_path;
  std::u16string m_valueName;
  bool m_hasValue = false;
  bool m_allValues = false;
  bool m_recursive = false;
  bool m_force = false;
  DWORD m_type = REG_SZ;
  std::string m_data;
  bool m_hasData = false;
  std::string m_separator;
};

}  // namespace

int RunDiagReg(const std::vector<std::string>& args, std::ostream& out, std::ostream& err, std::istream& in) {
  return Tool(out, err, in).Run(args);
}
