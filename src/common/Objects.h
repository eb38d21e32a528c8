// OS error reporting, thin checked wrappers around system calls, and the
// small comparison, text, hexadecimal and GUID routines shared by the library.
#pragma once

#include <cstdint>
#include <exception>
#include <string>
#include <string_view>
#include <typeinfo>
#include <vector>

#include "common/Guid.h"
#include "common/SysUtils.h"
#include "platform/Com.h"
#include "platform/Handles.h"
#include "platform/Modules.h"
#include "platform/VirtualMemory.h"

namespace vt {

class TObject;

using FormatArgs = std::vector<FormatArg>;

// ---- Error routines -------------------------------------------------------

// The OS-error text: the formatted message, ": ", the system's text for the
// code and " (" + code + ")". Only the message is formatted; an insert of
// the system text ("%1": the file concerned) is filled with insert, else
// with the message's first text argument, and stays as it is without one.
std::string OSErrorText(std::string_view message, const FormatArgs& args, std::uint32_t code);
std::string OSErrorText(std::string_view message, const FormatArgs& args, std::uint32_t code,
                        std::string_view insert);

[[noreturn]] void RaiseOSError(std::string_view message, const FormatArgs& args, std::uint32_t code);
[[noreturn]] void RaiseOSErrorCode(std::string_view message, std::uint32_t code);
// RaiseOSError with the calling thread's last system error.
[[noreturn]] void RaiseLastOSError(std::string_view message, const FormatArgs& args = {});
// Nothing when success; else RaiseLastOSError.
void CheckOS(bool success, std::string_view message, const FormatArgs& args = {});

// A failing OLE call: the system's text for the code, else "OLE error XXXXXXXX".
class EOleSysError : public Exception {
 public:
  VT_EXCEPTION_KIND(EOleSysError)
  EOleSysError(std::string message, os::HRESULT code) : Exception(std::move(message)), ErrorCode(code) {}
  os::HRESULT ErrorCode;
};
[[noreturn]] void OleError(os::HRESULT code);
// Raises for a failure code (negative).
void OleCheck(os::HRESULT code);

// Inside a catch block: raises again with the formatted message, "\r\n" and
// the text of the exception being handled. The library's exceptions keep
// their class and data (EOSError its ErrorCode, ...); other objects become
// Exception.
[[noreturn]] void ReraiseWithContext(std::string_view message, const FormatArgs& args = {});

// The class name of the object, or "(unavailable)" for none.
std::string ExceptionClassText(const std::exception* object);
std::string ExceptionClassText(const TObject* object);
// The class name of a type, without its namespaces.
std::string ClassNameOf(const std::type_info& info);

inline bool IsInvalidHandle(os::HANDLE handle) { return handle == os::kInvalidHandleValue; }

// ---- Checked system wrappers (failures raise RaiseLastOSError) -----------

os::HMODULE LoadLibraryChecked(const std::string& name);
void* GetProcAddressChecked(os::HMODULE module, const std::string& name);
// An empty name gives the program itself.
os::HMODULE GetModuleHandleChecked(const std::string& name);
// The full path of the module's file (never cut to a fixed length).
std::string GetModuleFileNameChecked(os::HMODULE module);
// No failure: empty string.
std::string GetModuleFileNameStr(os::HMODULE module);

void CloseHandleChecked(os::HANDLE handle);
// Clears the variable, then closes a non-zero handle (result ignored).
void CloseHandleAndNil(os::HANDLE& handle);
void CloseHandleCheckedAndNil(os::HANDLE& handle);
// Clears the variable, then unmaps a non-nil view (file or section view).
void UnmapViewAndNil(void*& address);
// A new handle to the same object with the same access, in the calling
// process (target_process os::kCurrentProcess); source_process is that
// process too or a child process's handle (os::DuplicateHandle). Putting a
// handle into another process is refused with ERROR_NOT_SUPPORTED.
os::HANDLE DuplicateHandleSameAccess(os::HANDLE source_process, os::HANDLE handle, os::HANDLE target_process,
                                     bool inherit);

void* VirtualAllocChecked(void* address, std::size_t size, std::uint32_t allocation_type, std::uint32_t protect);
void VirtualFreeChecked(void* address, std::size_t size, std::uint32_t free_type);
// Success when the full record was returned; a failure raises only when asked.
bool VirtualQueryChecked(const void* address, os::MemoryBasicInformation& info, bool raise_on_failure);
// Answers the previous protection.
std::uint32_t VirtualProtectChecked(void* address, std::size_t size, std::uint32_t protect);
// nullptr for 0; else committed read-write pages.
void* AllocPages(std::size_t size);
void FreePages(void* address);
void DecommitPages(void* address, std::size_t size);
// An object of the class asked for as IUnknown (in-process or local server);
// null when it cannot be created. Nothing is raised.
os::ComPtr<os::IUnknown> CreateComObjectNoRaise(const TGUID& class_id);

// ---- Comparison routines (results -1, 0, 1) -------------------------------

int CompareCardinal(std::uint32_t a, std::uint32_t b);
int CompareInteger(std::int32_t a, std::int32_t b);
int CompareInt64(std::int64_t a, std::int64_t b);
// (a1, a2) against (b1, b2), first word first, unsigned.
int ComparePair(std::uint32_t a1, std::uint32_t a2, std::uint32_t b1, std::uint32_t b2);

// A bound method: code and object.
struct TMethod {
  const void* Code;
  const void* Data;
};
bool SameMethod(const TMethod& a, const TMethod& b);

bool GuidsEqual(const TGUID& a, const TGUID& b);
// The GUID as four signed 32-bit words, compared in order.
int CompareGuid(const TGUID& a, const TGUID& b);

// ---- Text routines (8-bit strings; only ASCII letters fold case) ----------

bool SameTextAscii(std::string_view a, std::string_view b);
bool SameTextBuf(const void* p1, const void* p2, std::size_t length);
// 1-based position of sub in s at or after from (1-based), 0 when absent.
int PosEx(std::string_view sub, std::string_view s, int from = 1, bool case_sensitive = true);
// s holds sub at the 1-based position pos.
bool MatchAt(std::string_view s, int pos, std::string_view sub, bool case_sensitive = true);
bool ReplaceSuffix(std::string& s, std::string_view suffix, std::string_view replacement, bool case_sensitive = true);
// Replaces count characters at the 1-based position pos.
void ReplaceRange(std::string& s, int pos, std::string_view replacement, int count);
std::string StringReplaceAll(std::string_view s, std::string_view old_text, std::string_view new_text,
                             bool case_sensitive = true);
// Every character that occurs in chars is replaced by new_char.
std::string ReplaceCharsInSet(std::string_view s, std::string_view chars, char new_char);
void LowerCaseAsciiInPlace(std::string& s);
int CommonPrefixLength(std::string_view a, std::string_view b, bool case_sensitive = true);
// A quoted first token is the text up to the next quote (consumed = its
// length + 2); else the text up to the first blank. A missing closing quote
// raises Exception("Closing quotation mark not found.").
std::string FirstToken(std::string_view s, int& consumed);
void StripFirstToken(std::string& s, bool trim, std::string& token);

// Exactly digits upper-case hexadecimal digits (higher digits dropped).
std::string IntToHexFixed(std::uint64_t value, int digits);
// "0x" + 8 digits (more when a 64-bit address needs them).
std::string HexAddress(std::uint64_t value);
// Decimal or the runtime's hexadecimal forms ($1F, 0x1F), no exception.
bool TryStrToInt(std::string_view s, std::int32_t& value);

// "{" + the GUID's text in upper case + "}".
std::string GuidToText(const TGUID& guid);

// Clear the references first, then free the objects.
template <typename T>
void FreeAndNilObject(T*& obj) {
  T* p = obj;
  obj = nullptr;
  delete p;
}
template <typename T, typename... R>
void FreeAndNilObject(T*& obj, R*&... rest) {
  FreeAndNilObject(obj);
  FreeAndNilObject(rest...);
}

inline std::int64_t Int64FromWords(std::uint32_t low, std::uint32_t high) {
  return static_cast<std::int64_t>((static_cast<std::uint64_t>(high) << 32) | low);
}
inline std::int64_t FileTimeToInt64(std::uint64_t file_time) { return static_cast<std::int64_t>(file_time); }

}  // namespace vt
