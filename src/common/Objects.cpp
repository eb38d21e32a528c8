#include "common/Objects.h"

#include <cxxabi.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <typeinfo>

#include "common/Classes.h"
#include "common/Locks.h"
#include "platform/Files.h"
#include "platform/LastError.h"
#include "platform/ModuleNames.h"
#include "platform/Section.h"

namespace vt {

// ---- Error routines -------------------------------------------------------

std::string OSErrorText(std::string_view message, const FormatArgs& args, std::uint32_t code) {
  for (const FormatArg& arg : args)
    if (arg.kind() == FormatArg::Kind::kString) return OSErrorText(message, args, code, arg.AsString());
  return OSErrorText(message, args, code, "%1");
}

std::string OSErrorText(std::string_view message, const FormatArgs& args, std::uint32_t code,
                        std::string_view insert) {
  std::string text = args.empty() ? std::string(message) : FormatV(message, args);
  text += ": ";
  text += os::SystemErrorText(code, insert);
  text += " (";
  text += std::to_string(code);
  text += ")";
  return text;
}

void RaiseOSError(std::string_view message, const FormatArgs& args, std::uint32_t code) {
  throw EOSError(OSErrorText(message, args, code), code);
}

void RaiseOSErrorCode(std::string_view message, std::uint32_t code) { RaiseOSError(message, {}, code); }

void RaiseLastOSError(std::string_view message, const FormatArgs& args) {
  RaiseOSError(message, args, os::GetLastError());
}

void CheckOS(bool success, std::string_view message, const FormatArgs& args) {
  if (!success) RaiseLastOSError(message, args);
}

void OleError(os::HRESULT code) {
  std::string text = os::HResultText(code);
  if (text.empty()) text = "OLE error " + IntToHexFixed(static_cast<std::uint32_t>(code), 8);
  throw EOleSysError(text, code);
}

void OleCheck(os::HRESULT code) {
  if (code < 0) OleError(code);
}

void ReraiseWithContext(std::string_view message, const FormatArgs& args) {
  std::string text = args.empty() ? std::string(message) : FormatV(message, args);
  std::exception_ptr current = std::current_exception();
  if (!current) throw Exception(text);
  // Rethrowing is only how the exception is reached here: it was logged when
  // it was raised and taken, so the inner handler is not logged again.
  DisableExceptionLogging();
  try {
    std::rethrow_exception(current);
  } catch (Exception& e) {
    EnableExceptionLogging();
    e.SetMessage(text + "\r\n" + e.Message());
    e.RaiseCopy();
  } catch (const std::exception& e) {
    EnableExceptionLogging();
    text += "\r\n";
    text += e.what();
  } catch (...) {
    EnableExceptionLogging();
  }
  throw Exception(text);
}

std::string ClassNameOf(const std::type_info& info) {
  int status = 0;
  std::unique_ptr<char, void (*)(void*)> demangled(abi::__cxa_demangle(info.name(), nullptr, nullptr, &status),
                                                   std::free);
  std::string name = (status == 0 && demangled) ? demangled.get() : info.name();
  // Drop namespaces, keep the class's own name.
  size_t angle = name.find('<');
  size_t colon = name.rfind("::", angle);
  if (colon != std::string::npos) name.erase(0, colon + 2);
  return name;
}

std::string ExceptionClassText(const std::exception* object) {
  if (!object) return "(unavailable)";
  return ClassNameOf(typeid(*object));
}

std::string ExceptionClassText(const TObject* object) {
  if (!object) return "(unavailable)";
  return ClassNameOf(typeid(*object));
}

// ---- Checked system wrappers ----------------------------------------------

namespace {
const void* AsPointer(const void* p) { return p; }
}  // namespace

os::HMODULE LoadLibraryChecked(const std::string& name) {
  os::HMODULE m = os::LoadLibrary(name);
  if (!m) RaiseLastOSError("Cannot load library '%s'", {name});
  return m;
}

void* GetProcAddressChecked(os::HMODULE module, const std::string& name) {
  void* p = os::GetProcAddress(module, name);
  if (!p) RaiseLastOSError("Cannot get address of procedure '%s'", {name});
  return p;
}

os::HMODULE GetModuleHandleChecked(const std::string& name) {
  os::HMODULE m = os::GetModuleHandle(name);
  if (!m) RaiseLastOSError("Cannot get handle of module '%s'", {name});
  return m;
}

std::string GetModuleFileNameChecked(os::HMODULE module) {
  std::string name = os::GetModuleFileName(module);
  if (name.empty()) RaiseLastOSError("Cannot get filename of module 0x0%x", {AsPointer(module)});
  return name;
}

std::string GetModuleFileNameStr(os::HMODULE module) { return os::GetModuleFileName(module); }

void CloseHandleChecked(os::HANDLE handle) {
  if (!os::CloseHandle(handle)) RaiseLastOSError("Failed to close handle 0x0%x", {handle});
}

void CloseHandleAndNil(os::HANDLE& handle) {
  os::HANDLE h = handle;
  handle = 0;
  if (h != 0) os::CloseHandle(h);
}

void CloseHandleCheckedAndNil(os::HANDLE& handle) {
  os::HANDLE h = handle;
  handle = 0;
  if (h != 0) CloseHandleChecked(h);
}

void UnmapViewAndNil(void*& address) {
  void* view = address;
  address = nullptr;
  if (view && !os::UnmapSectionView(view)) os::UnmapViewOfFile(view);
}

os::HANDLE DuplicateHandleSameAccess(os::HANDLE source_process, os::HANDLE handle, os::HANDLE target_process,
                                     bool inherit) {
  os::HANDLE result = 0;
  if (!os::DuplicateHandle(source_process, handle, target_process, &result, inherit))
    RaiseLastOSError("Failed to duplicate handle 0x0%x (with same access rights, from process 0x0%x to 0x0%x)",
                     {handle, source_process, target_process});
  return result;
}

void* VirtualAllocChecked(void* address, std::size_t size, std::uint32_t allocation_type, std::uint32_t protect) {
  void* p = os::VirtualAlloc(address, size, allocation_type, protect);
  if (!p) RaiseLastOSError("Failed to allocate %d bytes of virtual memory at 0x0%p", {size, AsPointer(address)});
  return p;
}

void VirtualFreeChecked(void* address, std::size_t size, std::uint32_t free_type) {
  if (!os::VirtualFree(address, size, free_type))
    RaiseLastOSError("Failed to free %d bytes of virtual memory at 0x0%p", {size, AsPointer(address)});
}

bool VirtualQueryChecked(const void* address, os::MemoryBasicInformation& info, bool raise_on_failure) {
  bool ok = os::VirtualQuery(address, &info, sizeof info) == sizeof info;
  if (!ok && raise_on_failure) RaiseLastOSError("Failed to query virtual memory at 0x0%p", {address});
  return ok;
}

std::uint32_t VirtualProtectChecked(void* address, std::size_t size, std::uint32_t protect) {
  os::DWORD old = 0;
  if (!os::VirtualProtect(address, size, protect, &old))
    RaiseLastOSError("Failed to change protection of %d bytes at 0x0%p", {size, AsPointer(address)});
  return old;
}

void* AllocPages(std::size_t size) {
  if (size == 0) return nullptr;
  return VirtualAllocChecked(nullptr, size, os::kMemCommit, os::kPageReadWrite);
}

void FreePages(void* address) {
  if (address) VirtualFreeChecked(address, 0, os::kMemRelease);
}

void DecommitPages(void* address, std::size_t size) { VirtualFreeChecked(address, size, os::kMemDecommit); }

os::ComPtr<os::IUnknown> CreateComObjectNoRaise(const TGUID& class_id) {
  os::GUID clsid;
  static_assert(sizeof clsid == sizeof class_id);
  std::memcpy(&clsid, &class_id, sizeof clsid);
  os::ComPtr<os::IUnknown> object;
  if (os::CoCreateInstance(clsid, nullptr, os::CLSCTX_INPROC_SERVER | os::CLSCTX_LOCAL_SERVER, os::IID_IUnknown,
                           object.PutVoid()) < 0)
    object.Reset();
  return object;
}

// ---- Comparison routines --------------------------------------------------

int CompareCardinal(std::uint32_t a, std::uint32_t b) { return a < b ? -1 : (a > b ? 1 : 0); }
int CompareInteger(std::int32_t a, std::int32_t b) { return a < b ? -1 : (a > b ? 1 : 0); }
int CompareInt64(std::int64_t a, std::int64_t b) { return a < b ? -1 : (a > b ? 1 : 0); }

int ComparePair(std::uint32_t a1, std::uint32_t a2, std::uint32_t b1, std::uint32_t b2) {
  int r = CompareCardinal(a1, b1);
  return r != 0 ? r : CompareCardinal(a2, b2);
}

bool SameMethod(const TMethod& a, const TMethod& b) { return a.Code == b.Code && a.Data == b.Data; }

bool GuidsEqual(const TGUID& a, const TGUID& b) { return std::memcmp(&a, &b, sizeof(TGUID)) == 0; }

int CompareGuid(const TGUID& a, const TGUID& b) {
  std::int32_t wa[4], wb[4];
  std::memcpy(wa, &a, sizeof wa);
  std::memcpy(wb, &b, sizeof wb);
  for (int i = 0; i < 4; ++i) {
    int r = CompareInteger(wa[i], wb[i]);
    if (r != 0) return r;
  }
  return 0;
}

// ---- Text routines --------------------------------------------------------

namespace {

struct LowerTable {
  unsigned char map[256];
  constexpr LowerTable() : map() {
    for (int i = 0; i < 256; ++i) map[i] = static_cast<unsigned char>(i >= 'A' && i <= 'Z' ? i + 32 : i);
  }
};
constexpr LowerTable kLower;

inline unsigned char Lower(char c) { return kLower.map[static_cast<unsigned char>(c)]; }

bool EqualAt(std::string_view s, size_t at, std::string_view sub, bool case_sensitive) {
  if (at > s.size() || s.size() - at < sub.size()) return false;
  if (case_sensitive) return s.compare(at, sub.size(), sub) == 0;
  return SameTextBuf(s.data() + at, sub.data(), sub.size());
}

}  // namespace

bool SameTextBuf(const void* p1, const void* p2, std::size_t length) {
  const auto* a = static_cast<const unsigned char*>(p1);
  const auto* b = static_cast<const unsigned char*>(p2);
  if (a == b) return true;
  for (std::size_t i = 0; i < length; ++i)
    if (a[i] != b[i] && kLower.map[a[i]] != kLower.map[b[i]]) return false;
  return true;
}

bool SameTextAscii(std::string_view a, std::string_view b) {
  return a.size() == b.size() && SameTextBuf(a.data(), b.data(), a.size());
}

int PosEx(std::string_view sub, std::string_view s, int from, bool case_sensitive) {
  if (sub.empty() || from < 1) return 0;
  for (size_t i = static_cast<size_t>(from) - 1; i < s.size() && s.size() - i >= sub.size(); ++i)
    if (EqualAt(s, i, sub, case_sensitive)) return static_cast<int>(i) + 1;
  return 0;
}

bool MatchAt(std::string_view s, int pos, std::string_view sub, bool case_sensitive) {
  if (pos < 1) return false;
  return EqualAt(s, static_cast<size_t>(pos) - 1, sub, case_sensitive);
}

bool ReplaceSuffix(std::string& s, std::string_view suffix, std::string_view replacement, bool case_sensitive) {
  if (suffix.size() > s.size()) return false;
  size_t at = s.size() - suffix.size();
  if (!EqualAt(s, at, suffix, case_sensitive)) return false;
  s.replace(at, suffix.size(), replacement);
  return true;
}

void ReplaceRange(std::string& s, int pos, std::string_view replacement, int count) {
  if (pos < 1 || static_cast<size_t>(pos) > s.size() + 1) return;
  size_t at = static_cast<size_t>(pos) - 1;
  size_t n = count < 0 ? 0 : static_cast<size_t>(count);
  s.replace(at, std::min(n, s.size() - at), replacement);
}

std::string StringReplaceAll(std::string_view s, std::string_view old_text, std::string_view new_text,
                             bool case_sensitive) {
  if (old_text.empty()) return std::string(s);
  std::string out;
  size_t i = 0;
  while (i < s.size()) {
    if (EqualAt(s, i, old_text, case_sensitive)) {
      out += new_text;
      i += old_text.size();
    } else {
      out.push_back(s[i++]);
    }
  }
  return out;
}

std::string ReplaceCharsInSet(std::string_view s, std::string_view chars, char new_char) {
  bool in_set[256] = {};
  for (char c : chars) in_set[static_cast<unsigned char>(c)] = true;
  std::string out(s);
  for (char& c : out)
    if (in_set[static_cast<unsigned char>(c)]) c = new_char;
  return out;
}

void LowerCaseAsciiInPlace(std::string& s) {
  for (char& c : s) c = static_cast<char>(Lower(c));
}

int CommonPrefixLength(std::string_view a, std::string_view b, bool case_sensitive) {
  size_t n = std::min(a.size(), b.size());
  size_t i = 0;
  for (; i < n; ++i) {
    if (a[i] == b[i]) continue;
    if (case_sensitive || Lower(a[i]) != Lower(b[i])) break;
  }
  return static_cast<int>(i);
}

std::string FirstToken(std::string_view s, int& consumed) {
  if (!s.empty() && s[0] == '"') {
    size_t close = s.find('"', 1);
    if (close == std::string_view::npos) throw Exception("Closing quotation mark not found.");
    consumed = static_cast<int>(close) + 1;
    return std::string(s.substr(1, close - 1));
  }
  size_t blank = s.find(' ');
  if (blank == std::string_view::npos) blank = s.size();
  consumed = static_cast<int>(blank);
  return std::string(s.substr(0, blank));
}

void StripFirstToken(std::string& s, bool trim, std::string& token) {
  int consumed = 0;
  token = FirstToken(s, consumed);
  s.erase(0, static_cast<size_t>(consumed));
  if (trim) {
    size_t b = 0, e = s.size();
    while (b < e && static_cast<unsigned char>(s[b]) <= ' ') ++b;
    while (e > b && static_cast<unsigned char>(s[e - 1]) <= ' ') --e;
    s = s.substr(b, e - b);
  }
}

namespace {
constexpr char kHexDigits[] = "0123456789ABCDEF";
}

std::string IntToHexFixed(std::uint64_t value, int digits) {
  if (digits <= 0) return {};
  std::string out(static_cast<size_t>(digits), '0');
  for (int i = digits - 1; i >= 0 && (digits - 1 - i) < 16; --i) {
    out[static_cast<size_t>(i)] = kHexDigits[value & 15];
    value >>= 4;
  }
  return out;
}

std::string HexAddress(std::uint64_t value) { return "0x" + IntToHexFixed(value, value > 0xFFFFFFFFu ? 16 : 8); }

bool TryStrToInt(std::string_view s, std::int32_t& value) {
  size_t i = 0;
  while (i < s.size() && s[i] == ' ') ++i;
  bool neg = false;
  if (i < s.size() && (s[i] == '-' || s[i] == '+')) neg = s[i++] == '-';
  bool hex = false;
  if (i < s.size() && s[i] == '$') {
    hex = true;
    ++i;
  } else if (i + 1 < s.size() && s[i] == '0' && (s[i + 1] == 'x' || s[i + 1] == 'X')) {
    hex = true;
    i += 2;
  } else if (i < s.size() && (s[i] == 'x' || s[i] == 'X')) {
    hex = true;
    ++i;
  }
  if (i >= s.size()) return false;
  std::uint64_t v = 0;
  for (; i < s.size(); ++i) {
    char c = s[i];
    int d;
    if (c >= '0' && c <= '9') d = c - '0';
    else if (hex && c >= 'a' && c <= 'f') d = c - 'a' + 10;
    else if (hex && c >= 'A' && c <= 'F') d = c - 'A' + 10;
    else return false;
    v = v * (hex ? 16 : 10) + static_cast<std::uint64_t>(d);
    if (v > 0xFFFFFFFFull) return false;
  }
  if (hex) {
    // Hexadecimal forms give the 32-bit pattern.
    auto bits = static_cast<std::uint32_t>(v);
    value = static_cast<std::int32_t>(neg ? 0u - bits : bits);
    return true;
  }
  if (neg ? v > 0x80000000ull : v > 0x7FFFFFFFull) return false;
  value = neg ? static_cast<std::int32_t>(-static_cast<std::int64_t>(v)) : static_cast<std::int32_t>(v);
  return true;
}

std::string GuidToText(const TGUID& g) {
  std::string s = "{";
  s += IntToHexFixed(g.D1, 8) + "-" + IntToHexFixed(g.D2, 4) + "-" + IntToHexFixed(g.D3, 4) + "-";
  s += IntToHexFixed(g.D4[0], 2) + IntToHexFixed(g.D4[1], 2) + "-";
  for (int i = 2; i < 8; ++i) s += IntToHexFixed(g.D4[i], 2);
  s += "}";
  return s;
}

}  // namespace vt
