#include "platform/Registry.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>

#include "platform/AsciiCase.h"
#include "platform/Environment.h"
#include "platform/FileStore.h"
#include "platform/ForkLocks.h"
#include "platform/SystemInfo.h"

namespace vt::os {

std::mutex& detail::RegistryKeysLock() {
  static std::mutex* m = detail::NewForkHeldLock();
  return *m;
}

namespace {

// The largest hive file, for the reader and the writers alike: a change
// that would make the file larger is refused, as a full hive refuses one
// (ERROR_NO_SYSTEM_RESOURCES), so every hive written reads back.
std::atomic<std::size_t> g_max_hive_file{64u << 20};
constexpr char kHeader[] = "VTREG 1";

struct Value {
  std::string name;
  DWORD type = kRegNone;
  std::vector<std::uint8_t> data;
  bool operator==(const Value&) const = default;
};
struct Key {
  std::string path;
  std::vector<Value> values;
  bool operator==(const Key&) const = default;
};
using Hive = std::map<std::string, Key>;  // by lower-case path; "" is the root

const char* RootName(HKEY root) {
  switch (root) {
    case kHkeyClassesRoot: return "HKEY_CLASSES_ROOT";
    case kHkeyCurrentUser: return "HKEY_CURRENT_USER";
    case kHkeyLocalMachine: return "HKEY_LOCAL_MACHINE";
    case kHkeyUsers: return "HKEY_USERS";
    default: return nullptr;
  }
}

// Where a root's hive lives and who keeps that folder.
struct HiveFolder {
  std::string dir;
  StoreOwner owner;
};
HiveFolder FolderOf(HKEY root) {
  if (root == kHkeyLocalMachine) {
    const std::string dir = MachineRegistryDirectory();
    // The private registry of $VT_REGISTRY_DIR holds this root too.
    std::string all;
    const bool private_registry = ReadEnvironmentVariable("VT_REGISTRY_DIR", &all) && !all.empty() && dir == all;
    return {dir, private_registry ? StoreOwner::kUser : StoreOwner::kMachine};
  }
  return {RegistryDirectory(), StoreOwner::kUser};
}

std::string HivePath(const std::string& dir, HKEY root) { return dir + "/" + RootName(root) + ".reg"; }

void AddKey(Hive& hive, const std::string& path) {
  // The key and every parent.
  size_t pos = 0;
  for (;;) {
    size_t next = path.find('\\', pos);
    std::string part = path.substr(0, next);
    auto& k = hive[LowerAscii(part)];
    if (k.path.empty()) k.path = part;
    if (next == std::string::npos) break;
    pos = next + 1;
  }
}

// ---- text form ----

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// A quoted text at s[pos]; pos moves past the closing quote.
bool ParseQuoted(const std::string& s, size_t& pos, std::string* out) {
  if (pos >= s.size() || s[pos] != '"') return false;
  ++pos;
  out->clear();
  while (pos < s.size()) {
    char c = s[pos++];
    if (c == '"') return true;
    if (c == '\\') {
      if (pos >= s.size()) return false;
      c = s[pos++];
      if (c == 'x') {
        if (pos + 2 > s.size() || HexDigit(s[pos]) < 0 || HexDigit(s[pos + 1]) < 0) return false;
        c = static_cast<char>(HexDigit(s[pos]) * 16 + HexDigit(s[pos + 1]));
        pos += 2;
      } else if (c != '\\' && c != '"') {
        return false;
      }
    }
    out->push_back(c);
  }
  return false;
}

// Control characters (line ends among them) as \xHH.
std::string Quote(std::string_view s) {
  std::string r = "\"";
  for (char c : s) {
    if (c == '\\' || c == '"') {
      r.push_back('\\');
      r.push_back(c);
    } else if (static_cast<unsigned char>(c) < 0x20) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\x%02x", static_cast<unsigned>(static_cast<unsigned char>(c)));
      r += buf;
    } else {
      r.push_back(c);
    }
  }
  r.push_back('"');
  return r;
}

bool ParseValue(const std::string& line, Value* v) {
  size_t pos = 0;
  if (!ParseQuoted(line, pos, &v->name) || pos >= line.size() || line[pos] != '=') return false;
  std::string rest = line.substr(pos + 1);
  if (rest.rfind("dword:", 0) == 0) {
    std::string digits = rest.substr(6);
    if (digits.empty() || digits.size() > 8) return false;
    std::uint32_t x = 0;
    for (char c : digits) {
      int d = HexDigit(c);
      if (d < 0) return false;
      x = x * 16 + static_cast<std::uint32_t>(d);
    }
    v->type = kRegDword;
    v->data.resize(4);
    std::memcpy(v->data.data(), &x, 4);  // stored little-endian on this host
    return true;
  }
  if (!rest.empty() && rest[0] == '"') {
    size_t p = 0;
    std::string text;
    if (!ParseQuoted(rest, p, &text) || p != rest.size()) return false;
    v->type = kRegSz;
    v->data.assign(text.begin(), text.end());
    v->data.push_back(0);
    return true;
  }
  if (rest.rfind("hex(", 0) == 0) {
    size_t close = rest.find("):");
    if (close == std::string::npos || close == 4 || close > 12) return false;
    std::uint64_t type = 0;
    for (size_t i = 4; i < close; ++i) {
      int d = HexDigit(rest[i]);
      if (d < 0) return false;
      type = type * 16 + static_cast<std::uint64_t>(d);
    }
    if (type > 0xFFFFFFFFu) return false;
    v->type = static_cast<DWORD>(type);
    v->data.clear();
    std::string bytes = rest.substr(close + 2);
    for (size_t i = 0; i < bytes.size();) {
      if (i + 2 > bytes.size()) return false;
      int h = HexDigit(bytes[i]), l = HexDigit(bytes[i + 1]);
      if (h < 0 || l < 0) return false;
      v->data.push_back(static_cast<std::uint8_t>(h * 16 + l));
      i += 2;
      if (i < bytes.size()) {
        if (bytes[i] != ',' || i + 1 == bytes.size()) return false;
        ++i;
      }
    }
    return true;
  }
  return false;
}

std::string FormatValue(const Value& v) {
  std::string line = Quote(v.name) + "=";
  if (v.type == kRegDword && v.data.size() == 4) {
    std::uint32_t x;
    std::memcpy(&x, v.data.data(), 4);
    char buf[16];
    std::snprintf(buf, sizeof buf, "dword:%08x", x);
    return line + buf;
  }
  if (v.type == kRegSz && !v.data.empty() && v.data.back() == 0 &&
      std::memchr(v.data.data(), 0, v.data.size() - 1) == nullptr &&
      std::memchr(v.data.data(), '\n', v.data.size()) == nullptr &&
      std::memchr(v.data.data(), '\r', v.data.size()) == nullptr)
    return line + Quote(std::string_view(reinterpret_cast<const char*>(v.data.data()), v.data.size() - 1));
  char buf[24];
  std::snprintf(buf, sizeof buf, "hex(%x):", v.type);
  line += buf;
  static constexpr char kDigits[] = "0123456789abcdef";
  line.reserve(line.size() + v.data.size() * 3);
  for (size_t i = 0; i < v.data.size(); ++i) {
    if (i) line.push_back(',');
    line.push_back(kDigits[v.data[i] >> 4]);
    line.push_back(kDigits[v.data[i] & 15]);
  }
  return line;
}

DWORD ParseHive(const std::string& text, Hive* hive) {
  hive->clear();
  (*hive)[""] = Key{};
  size_t pos = 0;
  bool first = true;
  Key* current = nullptr;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(pos, end - pos);
    pos = end + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (first) {
      if (line != kHeader) return kErrorBadDb;
      first = false;
      continue;
    }
    if (line.empty() || line[0] == ';') continue;
    if (line[0] == '[') {
      if (line.back() != ']') return kErrorBadDb;
      std::string path = line.substr(1, line.size() - 2);
      if (path.empty() || path.front() == '\\' || path.back() == '\\' || path.find("\\\\") != std::string::npos)
        return kErrorBadDb;
      AddKey(*hive, path);
      current = &(*hive)[LowerAscii(path)];
      continue;
    }
    Value v;
    if (!current || !ParseValue(line, &v)) return kErrorBadDb;
    current->values.push_back(std::move(v));
  }
  return first && !text.empty() ? kErrorBadDb : kErrorSuccess;
}

std::string FormatHive(const Hive& hive) {
  std::string text = std::string(kHeader) + "\n";
  for (const auto& [lower, key] : hive) {
    if (lower.empty()) continue;
    text += "\n[" + key.path + "]\n";
    for (const auto& v : key.values) text += FormatValue(v) + "\n";
  }
  return text;
}

// ---- files ----

DWORD LoadHive(const std::string& dir, HKEY root, Hive* hive) {
  hive->clear();
  (*hive)[""] = Key{};
  std::string text;
  const DWORD e = ReadStoreFile(HivePath(dir, root), g_max_hive_file.load(), &text);
  if (e == kErrorFileNotFound || e == kErrorPathNotFound) return kErrorSuccess;  // no hive yet: empty
  return e ? e : ParseHive(text, hive);
}

// A hive whose text would not read back as the same hive is not written.
DWORD SaveHive(HKEY root, const Hive& hive) {
  const std::string text = FormatHive(hive);
  if (text.size() > g_max_hive_file.load()) return kErrorNoSystemResources;
  Hive check;
  if (ParseHive(text, &check) != kErrorSuccess || check != hive) return kErrorBadDb;
  const HiveFolder folder = FolderOf(root);
  // The machine's hive is read by every user.
  return ReplaceStoreFile(HivePath(folder.dir, root), text, folder.owner == StoreOwner::kMachine ? 0644 : 0600);
}

// ---- open keys ----

struct OpenKey {
  HKEY root;
  std::string path;
  DWORD access;
};
std::map<HKEY, OpenKey>& Keys() {
  static auto* keys = new std::map<HKEY, OpenKey>;
  return *keys;
}
HKEY g_next_key = 0x70000004;

bool IsRoot(HKEY key) { return RootName(key) != nullptr; }

// The root and full path of parent\sub_key in the view the access asks for.
DWORD Resolve(HKEY parent, std::string_view sub_key, DWORD access, HKEY* root, std::string* path) {
  std::vector<std::string> parts;
  auto split = [&parts](std::string_view s) {
    size_t pos = 0;
    while (pos <= s.size()) {
      size_t end = s.find('\\', pos);
      if (end == std::string_view::npos) end = s.size();
      if (end > pos) parts.emplace_back(s.substr(pos, end - pos));
      pos = end + 1;
    }
  };
  if (IsRoot(parent)) {
    *root = parent;
  } else {
    std::lock_guard lock(detail::RegistryKeysLock());
    auto it = Keys().find(parent);
    if (it == Keys().end()) return kErrorInvalidHandle;
    *root = it->second.root;
    split(it->second.path);
  }
  // Key names are lines of the hive file: no control characters.
  for (char c : sub_key)
    if (static_cast<unsigned char>(c) < 0x20) return kErrorBadPathname;
  split(sub_key);
  const bool view32 = Is64BitSystem() && !(access & kKeyWow64_64Key);
  if (view32 && *root == kHkeyLocalMachine && !parts.empty() && LowerAscii(parts[0]) == "software" &&
      (parts.size() < 2 || LowerAscii(parts[1]) != "wow6432node"))
    parts.insert(parts.begin() + 1, "Wow6432Node");
  path->clear();
  for (const auto& p : parts) {
    if (!path->empty()) path->push_back('\\');
    *path += p;
  }
  return kErrorSuccess;
}

HKEY AddOpenKey(HKEY root, const std::string& path, DWORD access) {
  std::lock_guard lock(detail::RegistryKeysLock());
  HKEY h = g_next_key;
  g_next_key += 4;
  Keys()[h] = OpenKey{root, path, access};
  return h;
}

DWORD FindOpenKey(HKEY key, DWORD needed, OpenKey* out) {
  if (IsRoot(key)) {
    *out = OpenKey{key, "", kKeyAllAccess};
    return kErrorSuccess;
  }
  std::lock_guard lock(detail::RegistryKeysLock());
  auto it = Keys().find(key);
  if (it == Keys().end()) return kErrorInvalidHandle;
  if ((it->second.access & needed) != needed) return kErrorAccessDenied;
  *out = it->second;
  return kErrorSuccess;
}

Value* FindValue(Key& key, std::string_view name) {
  std::string lower = LowerAscii(name);
  for (auto& v : key.values)
    if (LowerAscii(v.name) == lower) return &v;
  return nullptr;
}

}  // namespace

namespace {

// $HOME when it is absolute, else the home folder of the user database.
std::string HomeDirectory() {
  if (std::string home; ReadEnvironmentVariable("HOME", &home) && home.starts_with('/')) return home;
  long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buf(size > 0 ? static_cast<std::size_t>(size) : 16384);
  for (;;) {
    struct passwd pw {};
    struct passwd* found = nullptr;
    const int e = ::getpwuid_r(::geteuid(), &pw, buf.data(), buf.size(), &found);
    if (e == ERANGE && buf.size() < (1u << 20)) {
      buf.resize(buf.size() * 2);
      continue;
    }
    return e == 0 && found && found->pw_dir && found->pw_dir[0] == '/' ? found->pw_dir : "";
  }
}

}  // namespace

std::string ConfigDirectory(const char* override_variable, const char* name) {
  if (std::string dir; ReadEnvironmentVariable(override_variable, &dir) && !dir.empty()) return dir;
  // A relative $XDG_CONFIG_HOME is ignored, as the convention asks.
  if (std::string xdg; ReadEnvironmentVariable("XDG_CONFIG_HOME", &xdg) && xdg.starts_with('/'))
    return xdg + "/vontaro/" + name;
  const std::string home = HomeDirectory();
  return home.empty() ? std::string() : home + "/.config/vontaro/" + name;
}

std::string RegistryDirectory() { return ConfigDirectory("VT_REGISTRY_DIR", "registry"); }

std::string MachineRegistryDirectory() {
  for (const char* variable : {"VT_MACHINE_REGISTRY_DIR", "VT_REGISTRY_DIR"})
    if (std::string dir; ReadEnvironmentVariable(variable, &dir) && !dir.empty()) return dir;
  return kMachineRegistryFolder;
}

bool Is64BitSystem() {
  SystemInfo info;
  GetNativeSystemInfo(&info);
  return info.wProcessorArchitecture == kProcessorArchitectureAmd64 ||
         info.wProcessorArchitecture == kProcessorArchitectureIa64 ||
         info.wProcessorArchitecture == kProcessorArchitectureIa32OnWin64 ||
         info.wProcessorArchitecture == kProcessorArchitectureArm64;
}

namespace {

// Runs f on the hive of root. Readers take no lock (writers replace the
// file by a rename); a writer, which may change the hive, holds the store's
// lock from the load to the save.
template <typename F>
DWORD WithHive(HKEY root, bool write, F&& f) {
  const HiveFolder folder = FolderOf(root);
  Hive hive;
  if (DWORD e = OpenStoreFolder(folder.dir, folder.owner, write)) {
    // Without the folder there is no registry yet: an empty hive.
    if (write || e != kErrorPathNotFound) return e;
    hive[""] = Key{};
    return f(hive);
  }
  if (!write) {
    if (DWORD e = LoadHive(folder.dir, root, &hive)) return e;
    return f(hive);
  }
  StoreLock lock(folder.dir + "/" + RootName(root) + ".lock");
  if (lock.error()) return lock.error();
  if (DWORD e = LoadHive(folder.dir, root, &hive)) return e;
  return f(hive);
}

// Opening a key of the machine's store for writing needs its owner's right.
DWORD CheckWriteRight(HKEY root, DWORD access) {
  constexpr DWORD kWriteRights = 0xD0026;  // set value, create subkey and link, delete, write DAC and owner
  if (!(access & kWriteRights)) return kErrorSuccess;
  const HiveFolder folder = FolderOf(root);
  if (folder.owner != StoreOwner::kMachine) return kErrorSuccess;
  struct stat st {};
  if (::stat(folder.dir.c_str(), &st) == 0 && st.st_uid != ::geteuid()) return kErrorAccessDenied;
  return kErrorSuccess;
}

// Runs f on the hive of an open key and the key in it; a key deleted
// meanwhile is not found.
template <typename F>
DWORD WithOpenKey(HKEY key, DWORD access, bool write, F&& f) {
  OpenKey k;
  if (DWORD e = FindOpenKey(key, access, &k)) return e;
  return WithHive(k.root, write, [&](Hive& hive) -> DWORD {
    auto it = hive.find(LowerAscii(k.path));
    if (it == hive.end()) return kErrorFileNotFound;
    return f(k.root, hive, it->second);
  });
}

}  // namespace

DWORD RegOpenKeyEx(HKEY parent, std::string_view sub_key, DWORD access, HKEY* result) {
  HKEY root;
  std::string path;
  if (DWORD e = Resolve(parent, sub_key, access, &root, &path)) return e;
  return WithHive(root, false, [&](Hive& hive) -> DWORD {
    auto it = hive.find(LowerAscii(path));
    if (it == hive.end()) return kErrorFileNotFound;
    if (DWORD e = CheckWriteRight(root, access)) return e;
    *result = AddOpenKey(root, it->second.path, access);
    return kErrorSuccess;
  });
}

DWORD RegCreateKeyEx(HKEY parent, std::string_view sub_key, DWORD access, HKEY* result, bool* created) {
  HKEY root;
  std::string path;
  if (DWORD e = Resolve(parent, sub_key, access, &root, &path)) return e;
  // An existing key is opened with the access asked for; only a missing one
  // needs the right to write the store.
  const DWORD opened = WithHive(root, false, [&](Hive& hive) -> DWORD {
    auto it = hive.find(LowerAscii(path));
    if (it == hive.end()) return kErrorFileNotFound;
    if (DWORD e = CheckWriteRight(root, access)) return e;
    if (created) *created = false;
    *result = AddOpenKey(root, it->second.path, access);
    return kErrorSuccess;
  });
  if (opened != kErrorFileNotFound) return opened;
  if (DWORD e = CheckWriteRight(root, kKeyCreateSubKey)) return e;
  return WithHive(root, true, [&](Hive& hive) -> DWORD {
    auto it = hive.find(LowerAscii(path));
    if (created) *created = it == hive.end();
    if (it == hive.end()) {
      AddKey(hive, path);
      if (DWORD e = SaveHive(root, hive)) return e;
      it = hive.find(LowerAscii(path));
    }
    *result = AddOpenKey(root, it->second.path, access);
    return kErrorSuccess;
  });
}

DWORD RegCloseKey(HKEY key) {
  if (IsRoot(key)) return kErrorSuccess;
  std::lock_guard lock(detail::RegistryKeysLock());
  return Keys().erase(key) ? kErrorSuccess : kErrorInvalidHandle;
}

DWORD RegFlushKey(HKEY key) {
  OpenKey k;
  return FindOpenKey(key, 0, &k);  // every change is already on disk
}

DWORD RegQueryValueEx(HKEY key, std::string_view name, DWORD* type, std::vector<std::uint8_t>* data) {
  return WithOpenKey(key, kKeyQueryValue, false, [&](HKEY, Hive&, Key& k) -> DWORD {
    Value* v = FindValue(k, name);
    if (!v) return kErrorFileNotFound;
    if (type) *type = v->type;
    if (data) *data = v->data;
    return kErrorSuccess;
  });
}

DWORD RegSetValueEx(HKEY key, std::string_view name, DWORD type, const void* data, std::size_t size) {
  return WithOpenKey(key, kKeySetValue, true, [&](HKEY root, Hive& hive, Key& k) -> DWORD {
    Value* v = FindValue(k, name);
    if (!v) {
      k.values.push_back(Value{std::string(name), kRegNone, {}});
      v = &k.values.back();
    }
    v->type = type;
    auto* p = static_cast<const std::uint8_t*>(data);
    v->data.assign(p, p + size);
    return SaveHive(root, hive);
  });
}

DWORD RegDeleteValue(HKEY key, std::string_view name) {
  return WithOpenKey(key, kKeySetValue, true, [&](HKEY root, Hive& hive, Key& k) -> DWORD {
    std::string lower = LowerAscii(name);
    for (auto v = k.values.begin(); v != k.values.end(); ++v)
      if (LowerAscii(v->name) == lower) {
        k.values.erase(v);
        return SaveHive(root, hive);
      }
    return kErrorFileNotFound;
  });
}

DWORD RegDeleteKey(HKEY parent, std::string_view sub_key) {
  HKEY root;
  std::string path;
  if (DWORD e = Resolve(parent, sub_key, 0, &root, &path)) return e;
  if (path.empty()) return kErrorAccessDenied;
  return WithHive(root, true, [&](Hive& hive) -> DWORD {
    std::string lower = LowerAscii(path);
    auto it = hive.find(lower);
    if (it == hive.end()) return kErrorFileNotFound;
    auto child = hive.lower_bound(lower + "\\");
    if (child != hive.end() && child->first.rfind(lower + "\\", 0) == 0) return kErrorAccessDenied;
    hive.erase(it);
    return SaveHive(root, hive);
  });
}

namespace testing {
void SetMaxHiveFile(std::size_t bytes) { g_max_hive_file = bytes; }
}  // namespace testing

}  // namespace vt::os
