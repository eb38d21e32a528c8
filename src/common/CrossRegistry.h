// Registry access: one open key at a time below a root, typed reads, tolerant
// integer and Boolean reads, and the choice of the 32-bit or 64-bit view.
#pragma once

#include <cstdint>
#include <string>

#include "common/Classes.h"
#include "common/SysUtils.h"
#include "common/SystemInfo.h"
#include "platform/Registry.h"

namespace vt {

class ERegistryException : public Exception {
 public:
  VT_EXCEPTION_KIND(ERegistryException)
  using Exception::Exception;
};

enum class TRegDataType { rdUnknown = 0, rdString = 1, rdExpandString = 2, rdInteger = 3, rdBinary = 4 };

class TCrossRegistry : public TObject {
 public:
  TCrossRegistry();
  ~TCrossRegistry() override;

  void CloseKey();
  void SetRootKey(os::HKEY Root);
  // A key starting with '\' is absolute; any other is relative to the open
  // key, else to the root. False when the key cannot be opened (the previous
  // key stays open).
  bool OpenKey(const std::string& Key, bool CanCreate);

  bool GetDataInfo(const std::string& Name, TRegDataType& Type, int& Size);
  // -1 when the value does not exist.
  int GetDataSize(const std::string& Name);
  std::string ReadString(const std::string& Name);
  int ReadInteger(const std::string& Name);
  int ReadIntegerDef(const std::string& Name, int Default);
  bool ReadBoolDef(const std::string& Name, bool Default);

  os::HKEY CurrentKey = 0;
  os::HKEY RootKey = os::kHkeyCurrentUser;
  bool LazyWrite = true;
  std::string CurrentPath;
  bool CloseRootKey = false;
  std::uint32_t Access = os::kKeyAllAccess;
  bool Use64BitView = false;
  bool Use32BitView = false;

 private:
  std::uint32_t EffectiveAccess() const;
  // Type and bytes of a value; false when it does not exist.
  bool Query(const std::string& Name, std::uint32_t& Type, std::vector<std::uint8_t>& Data);
};

}  // namespace vt
