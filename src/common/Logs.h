// The process log: a text file "Logs/<program>[_<instance>].log" beside the
// program, shared by every running instance of it, switched on by registry
// values, written record by record under a machine-wide named mutex.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "common/Units.h"

namespace vt {

// Write flags.
enum : std::uint32_t {
  lfDebug = 1,   // written only in debug mode
  lfAlways = 2,  // written whatever the settings (warnings, errors)
  lfFlush = 4,   // flush the file after the write
};

constexpr int kLogBuild = 4821;
constexpr std::int64_t kLogMaxSize = 4194304;
constexpr std::int64_t kLogKeptSize = 3145728;

// Start-up: file name, registry settings, warning callback, and the
// library's log hook (SetLibraryLogHook), which CloseLog disconnects.
void InitLog();
void LogStart();
void LogStop();
// The single writer: appends Text and "\r\n" when the flags pass.
void WriteLog(const std::string& Text, std::uint32_t Flags);
// "[pid|tid] Text" after the time.
void LogMessage(const std::string& Text, std::uint32_t Flags = 0);
void LogDebug(const std::string& Text);
void LogTimed(const std::string& Text, std::uint32_t Flags = 0);
void LogHeader(const std::string& Title, char Fill, std::uint32_t Flags = 0);
void LogWarning(const std::string& Text);
void LogWarningWithCallTrace(const std::string& Text);
// CloseHandleDirectly false leaves the file's and the mutex's handles open.
void CloseLog(bool CloseHandleDirectly);

void RegisterThreadName(std::uint32_t ThreadId, const std::string& Name);
// Decimal thread id, and " [name]" when the thread has one.
std::string GetThreadText();
// "($CALLTRACE:<reference>:<entries>)" (CallTrace.h): the call instructions
// of the return addresses on the calling thread's stack from StartAddress
// (null: the caller's position) up to the stack's base. FirstAddress, when
// not null, is the first entry. Flags have no effect.
std::string GetCallTrace(const void* FirstAddress = nullptr, const void* StartAddress = nullptr,
                         std::uint32_t Flags = 0);

// The fault-record path, for fault handlers (async-signal-safe): the thread
// text of the calling thread (its name left out when the names cannot be
// read safely), and a record always written as it stands, in one write (the
// caller ends it with "\r\n"; no trimming; the log mutex waited for a
// bounded time). Answers the length written to out.
std::size_t GetThreadTextInHandler(char* out, std::size_t capacity) noexcept;
void WriteLogInHandler(const char* text, std::size_t length) noexcept;

// The header line: 10 x Fill, Title, (30 - length) x Fill, the time, Fill up
// to 79 characters.
std::string FormatHeaderLine(const std::string& Title, char Fill, const std::string& Time);
// "dd/mm/yyyy hh:nn:ss.zzz", local time.
std::string LogTimeText();

// State, for the program and tests. The log file's path, with the links on
// the way resolved; empty when the Logs folder is missing or refused (then
// nothing is logged).
const std::string& LogFileName();
bool LogEnabled();
bool DebugEnabled();
bool LogNimbrelEnabled();
// "Palgrem_LogMutex_" + the log file's base name in lower case, in the
// session's own namespace.
std::string LogMutexName(const std::string& FileName);
// "SOFTWARE\Palgrem\<caption>\Log" below HKEY_LOCAL_MACHINE.
std::string LogRegistryKey();

// The unit: InitLog, LogStart and trimming at start-up; at shutdown the
// main thread's queue reports what it leaves undelivered, then LogStop and
// CloseLog(true).
extern const UnitEntry kLogsUnit;

}  // namespace vt
