#include "common/CrossRegistry.h"

#include <cstring>
#include <limits>

namespace vt {

namespace {

TRegDataType DataType(std::uint32_t type) {
  switch (type) {
    case os::kRegSz: return TRegDataType::rdString;
    case os::kRegExpandSz: return TRegDataType::rdExpandString;
    case os::kRegDword: return TRegDataType::rdInteger;
    case os::kRegBinary: return TRegDataType::rdBinary;
    default: return TRegDataType::rdUnknown;
  }
}

bool ParseDecimal(const std::string& s, int& value) {
  if (s.empty()) return false;
  size_t i = s[0] == '-' || s[0] == '+' ? 1 : 0;
  if (i == s.size()) return false;
  long long v = 0;
  for (; i < s.size(); ++i) {
    if (s[i] < '0' || s[i] > '9') return false;
    v = v * 10 + (s[i] - '0');
    if (v > 2147483648LL) return false;
  }
  if (s[0] == '-') v = -v;
  if (v > std::numeric_limits<int>::max() || v < std::numeric_limits<int>::min()) return false;
  value = static_cast<int>(v);
  return true;
}

}  // namespace

TCrossRegistry::TCrossRegistry() = default;

TCrossRegistry::~TCrossRegistry() { CloseKey(); }

void TCrossRegistry::CloseKey() {
  if (CurrentKey != 0) {
    if (!LazyWrite) os::RegFlushKey(CurrentKey);
    os::RegCloseKey(CurrentKey);
    CurrentKey = 0;
    CurrentPath.clear();
  }
}

void TCrossRegistry::SetRootKey(os::HKEY Root) {
  if (RootKey == Root) return;
  if (CloseRootKey) {
    os::RegCloseKey(RootKey);
    CloseRootKey = false;
  }
  RootKey = Root;
  CloseKey();
}

std::uint32_t TCrossRegistry::EffectiveAccess() const {
  std::uint32_t access = Access;
  if (Is64BitWindows()) {
    if (Use32BitView) access |= os::kKeyWow64_32Key;
    if (Use64BitView) access |= os::kKeyWow64_64Key;
  }
  return access;
}

bool TCrossRegistry::OpenKey(const std::string& Key, bool CanCreate) {
  std::string key = Key;
  const bool absolute = !key.empty() && key[0] == '\\';
  if (absolute) key.erase(0, 1);
  const bool relative = !absolute && CurrentKey != 0;
  const os::HKEY parent = relative ? CurrentKey : RootKey;
  os::HKEY result = 0;
  std::uint32_t error = CanCreate ? os::RegCreateKeyEx(parent, key, EffectiveAccess(), &result)
                                  : os::RegOpenKeyEx(parent, key, EffectiveAccess(), &result);
  if (error != os::kErrorSuccess) return false;
  std::string path = relative ? CurrentPath + "\\" + key : key;
  CloseKey();
  CurrentKey = result;
  CurrentPath = path;
  return true;
}

bool TCrossRegistry::Query(const std::string& Name, std::uint32_t& Type, std::vector<std::uint8_t>& Data) {
  std::uint32_t error = os::RegQueryValueEx(CurrentKey, Name, &Type, &Data);
  if (error == os::kErrorFileNotFound) return false;
  if (error != os::kErrorSuccess) throw ERegistryException(Format("Failed to get data for '%s'", Name));
  return true;
}

bool TCrossRegistry::GetDataInfo(const std::string& Name, TRegDataType& Type, int& Size) {
  std::uint32_t type = 0;
  std::vector<std::uint8_t> data;
  if (os::RegQueryValueEx(CurrentKey, Name, &type, &data) != os::kErrorSuccess) {
    Type = TRegDataType::rdUnknown;
    Size = -1;
    return false;
  }
  Type = DataType(type);
  Size = static_cast<int>(data.size());
  return true;
}

int TCrossRegistry::GetDataSize(const std::string& Name) {
  TRegDataType type;
  int size;
  return GetDataInfo(Name, type, size) ? size : -1;
}

std::string TCrossRegistry::ReadString(const std::string& Name) {
  std::uint32_t type = 0;
  std::vector<std::uint8_t> data;
  if (!Query(Name, type, data) || data.empty()) return {};
  if (type != os::kRegSz && type != os::kRegExpandSz)
    throw ERegistryException(Format("Invalid data type for '%s'", Name));
  const char* p = reinterpret_cast<const char*>(data.data());
  return std::string(p, ::strnlen(p, data.size()));
}

int TCrossRegistry::ReadInteger(const std::string& Name) {
  std::uint32_t type = 0;
  std::vector<std::uint8_t> data;
  if (!Query(Name, type, data)) throw ERegistryException(Format("Failed to get data for '%s'", Name));
  if (type != os::kRegDword || data.size() != 4) throw ERegistryException(Format("Invalid data type for '%s'", Name));
  std::int32_t v;
  std::memcpy(&v, data.data(), 4);
  return v;
}

int TCrossRegistry::ReadIntegerDef(const std::string& Name, int Default) {
  std::uint32_t type = 0;
  std::vector<std::uint8_t> data;
  if (!Query(Name, type, data)) return Default;
  switch (DataType(type)) {
    case TRegDataType::rdString:
    case TRegDataType::rdExpandString: {
      int value = 0;
      if (!ParseDecimal(ReadString(Name), value))
        throw Exception(Format("Invalid registry integer value at: %s\\%s", CurrentPath, Name));
      return value;
    }
    case TRegDataType::rdInteger: return ReadInteger(Name);
    default: throw Exception(Format("Unexpected registry value type at: %s\\%s", CurrentPath, Name));
  }
}

bool TCrossRegistry::ReadBoolDef(const std::string& Name, bool Default) {
  return ReadIntegerDef(Name, Default ? 1 : 0) != 0;
}

}  // namespace vt
