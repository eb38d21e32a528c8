#include "common/Logs.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <utility>
#include <vector>

#include "common/CrossRegistry.h"
#include "common/Locks.h"
#include "common/NotifyQueueUnit.h"
#include "common/Objects.h"
#include "common/ObjectsFiles.h"
#include "common/ProductInformation.h"
#include "common/Threads.h"
#include "platform/FaultSupport.h"
#include "platform/Files.h"
#include "platform/ModuleNames.h"
#include "platform/Modules.h"
#include "platform/PrivateFolder.h"
#include "platform/Process.h"
#include "platform/Sync.h"
#include "platform/SystemInfo.h"
#include "platform/SystemLog.h"

namespace vt {

namespace {

constexpr size_t kMaxThreadNames = 129;

struct LogState {
  std::string file_name;
  os::FileHandle file = os::kInvalidFile;
  TWinMutex* mutex = nullptr;
  std::atomic<bool> initialized{false};
  std::atomic<bool> closed{false};
  std::atomic<bool> opened{false};
  bool enabled = false;
  bool debug = false;
  bool nimbrel = false;
  bool trim = false;
  std::string init_error;
  // Why the log's folder is not used (said once in the event log), when
  // another user could redirect what is written there.
  std::string folder_refused;
  TFastMutex* names_lock = nullptr;
  std::vector<std::pair<std::string, std::uint32_t>>* names = nullptr;
  // Threads inside a routine that uses the objects above; CloseLog frees
  // them only once it is the last one.
  std::atomic<int> users{0};
  // The log mutex's native lock, for records written from fault handlers.
  void* fault_lock = nullptr;
};

// The state once made, for fault handlers (which may not make it).
std::atomic<LogState*> g_fault_state{nullptr};

thread_local int t_log_uses = 0;

LogState& State() {
  static auto* state = new LogState;  // lives to the end of the process
  return *state;
}

// Raises a per-thread counter for a scope.
class CounterScope {
 public:
  explicit CounterScope(int& counter) : counter_(counter) { ++counter_; }
  ~CounterScope() { --counter_; }
  CounterScope(const CounterScope&) = delete;
  CounterScope& operator=(const CounterScope&) = delete;

 private:
  int& counter_;
};

// Marks the calling thread as a user of the log's objects for a scope.
// Check closed after entering: CloseLog sets closed before it waits.
class LogUse {
 public:
  explicit LogUse(LogState& s) : s_(s) {
    ++s_.users;
    ++t_log_uses;
  }
  ~LogUse() {
    --t_log_uses;
    --s_.users;
  }
  LogUse(const LogUse&) = delete;
  LogUse& operator=(const LogUse&) = delete;

 private:
  LogState& s_;
};

// The product caption for the registry key; the default one when the
// product information cannot be read.
std::string LogCaption() {
  try {
    std::string caption = GetProductInfo().ProductCaption;
    if (!caption.empty()) return caption;
  } catch (...) {
  }
  return "Vontaro";
}

std::string LowerAscii(std::string s) {
  LowerCaseAsciiInPlace(s);
  return s;
}

// The tail of the file moves to its start first and the file is cut
// afterwards, so an interrupted cut never leaves it empty.
void CutLog(os::FileHandle file, std::int64_t size) {
  std::vector<char> tail(static_cast<size_t>(kLogKeptSize));
  std::int64_t pos = 0, done = 0;
  if (!os::SetFilePointer(file, size - kLogKeptSize, os::kFileBegin, &pos)) return;
  std::int64_t got = 0;
  while (got < kLogKeptSize) {
    if (!os::ReadFile(file, tail.data() + got, kLogKeptSize - got, &done) || done <= 0) return;
    got += done;
  }
  if (!os::SetFilePointer(file, 0, os::kFileBegin, &pos)) return;
  std::int64_t written = 0;
  while (written < kLogKeptSize) {
    if (!os::WriteFile(file, tail.data() + written, kLogKeptSize - written, &done) || done <= 0) return;
    written += done;
  }
  os::SetEndOfFile(file);
}

// The log file's path in the Logs folder, reached as the setup's folders
// are: every folder on the way belongs to root or this user and no other
// user can rename in it, every link on the way is root's or this user's.
// The folder is made (one level) when it is missing. Empty when there is no
// such folder: nothing is logged then, and *refused says why when the walk
// refused a folder or a link.
std::string OpenLogFolder(const std::string& folder, const std::string& file, std::string* refused) {
  std::string unsafe, why, resolved;
  const int fd = os::OpenTrustedFolder(folder, &unsafe, &why, &resolved, os::MakeMissing::kLast);
  if (fd < 0) {
    if (!why.empty())
      *refused = "The log folder '" + folder + "' is not used: '" + unsafe + "' " + why +
                 ", so other users could redirect the log. Nothing is logged.";
    return {};
  }
  os::CloseFolder(fd);
  return (resolved == "/" ? "" : resolved) + "/" + file;
}

// The log file, opened without following a link and without waiting for a
// FIFO's other end, and used only when it is a regular file of this user or
// root with one link: another user's file would let that user read the
// records, a second link would carry them into another file. Invalid when
// it is not used; *refused then says why when it was refused.
os::FileHandle OpenLogFile(const std::string& name, std::string* refused) {
  constexpr os::DWORD kAccess = os::kGenericRead | os::kGenericWrite;
  constexpr os::DWORD kShare = os::kFileShareRead | os::kFileShareWrite;
  constexpr os::DWORD kFlags = os::DWORD{os::kFileAttributeTemporary} | os::kFileFlagOpenReparsePoint;
  const auto refuse = [&](const std::string& why) {
    *refused = "The log file '" + name + "' is not used: it " + why +
               ", so other users could read or redirect the log. Nothing is logged.";
    return os::kInvalidFile;
  };
  // Opened as it is, or made new: never opened for creation over what
  // stands there, which a system that protects files in sticky folders
  // refuses without a word and another allows.
  os::FileHandle file = os::kInvalidFile;
  for (int tries = 0; file == os::kInvalidFile && tries < 3; ++tries) {
    file = os::CreateFile(name, kAccess, kShare, os::kOpenExisting, kFlags);
    if (file == os::kInvalidFile && os::GetLastError() == os::kErrorFileNotFound)
      file = os::CreateFile(name, kAccess, kShare, os::kCreateNew, kFlags);
    if (file != os::kInvalidFile) break;
    const os::DWORD error = os::GetLastError();
    if (error == os::kErrorCantResolveFilename) return refuse("is a symbolic link");
    if (error == os::kErrorCantAccessFile) return refuse("is not a regular file");
    if (error != os::kErrorFileExists) return os::kInvalidFile;
    // Made meanwhile: opened as it is on the next try.
  }
  if (file == os::kInvalidFile) return file;
  std::uint32_t owner = 0;
  os::FileInformation info;
  std::string why;
  if (!os::IsFileOfThisUserOrRoot(file, &owner))
    why = "belongs to another user (uid " + std::to_string(owner) + ")";
  else if (!os::GetFileInformationByHandle(file, &info) || info.number_of_links != 1)
    why = "has " + std::to_string(info.number_of_links) + " links";
  if (why.empty()) return file;
  os::CloseFile(file);
  return refuse(why);
}

void OpenLog() {
  LogState& s = State();
  static std::mutex open_lock;
  std::lock_guard guard(open_lock);
  if (s.opened || !s.initialized || s.closed) return;
  s.opened = true;
  if (s.file_name.empty()) {
    if (!s.folder_refused.empty()) os::WriteSystemLog(os::kEventWarning, s.folder_refused);
    return;
  }
  CounterScope nesting(ThreadCounters().LogNesting);
  try {
    s.mutex = new TWinMutex(GetEveryoneSecurityAttributes(), LogMutexName(s.file_name));
  } catch (const std::exception&) {
    return;
  }
  std::string refused;
  s.file = OpenLogFile(s.file_name, &refused);
  if (s.file == os::kInvalidFile) {
    if (!refused.empty()) os::WriteSystemLog(os::kEventWarning, refused);
    return;
  }
  s.fault_lock = os::MutexNativeLock(s.mutex->Handle);
  if (!s.init_error.empty())
    WriteLog("An error occurred while initializing log.\r\nFailed to access registry information.\r\n" + s.init_error,
             lfAlways);
}

}  // namespace

std::string LogTimeText() {
  os::SystemTime t{};
  os::GetLocalTime(&t);
  char b[64];
  std::snprintf(b, sizeof b, "%02u/%02u/%04u %02u:%02u:%02u.%03u", unsigned{t.wDay}, unsigned{t.wMonth},
                unsigned{t.wYear}, unsigned{t.wHour}, unsigned{t.wMinute}, unsigned{t.wSecond},
                unsigned{t.wMilliseconds});
  return b;
}

std::string FormatHeaderLine(const std::string& Title, char Fill, const std::string& Time) {
  std::string line(10, Fill);
  line += Title;
  if (Title.size() < 30) line.append(30 - Title.size(), Fill);
  line += Time;
  if (line.size() < 79) line.append(79 - line.size(), Fill);
  return line;
}

// The session's own namespace: no "Global\" prefix.
std::string LogMutexName(const std::string& FileName) {
  return "Palgrem_LogMutex_" + LowerAscii(ExtractFileBaseName(FileName));
}

std::string LogRegistryKey() { return "SOFTWARE\\Palgrem\\" + LogCaption() + "\\Log"; }

namespace {
// The library's own records (threads, notification queue), each through
// its writer.
void WriteLibraryRecord(TLogRecord kind, const std::string& text, int flags) {
  const auto f = static_cast<std::uint32_t>(flags);
  switch (kind) {
    case TLogRecord::Header:
      LogHeader(text, '-', f);
      break;
    case TLogRecord::Text:
      LogTimed(text, f);
      break;
    case TLogRecord::Message:
      LogMessage(text, f);
      break;
    case TLogRecord::Debug:
      LogDebug(text);
      break;
    case TLogRecord::ShortWarning:
      LogWarning(text);
      break;
  }
}
}  // namespace

void InitLog() {
  LogState& s = State();
  if (os::GetModuleHandle("__Palgrem_VE__") != nullptr) {
    s.closed = true;
    return;
  }
  s.names_lock = new TFastMutex;
  s.names = new std::vector<std::pair<std::string, std::uint32_t>>;
  s.names->emplace_back("Main Thread", os::GetCurrentThreadId());

  const std::string module = GetRealFileName(os::GetProgramFileName(), nullptr, false);
  // The program's own path is native: a backslash in it is part of a name,
  // which the path routines would read as a Windows separator.
  const bool native = !module.empty() && module[0] == '/';
  const std::size_t slash = module.rfind('/');
  std::string folder = native ? module.substr(0, slash + 1) + "Logs"
                              : IncludeTrailingBackslash(ExtractFilePathEx(module)) + "Logs";
  std::string name = native ? module.substr(slash + 1) : ExtractFileBaseName(module);
  if (native && name.rfind('.') != std::string::npos) name.resize(name.rfind('.'));
  std::string instance = GetEnvVar("PalgremLogInstance");
  if (!instance.empty()) name += "_" + instance;
  s.file_name = OpenLogFolder(folder, name + ".log", &s.folder_refused);

  s.init_error.clear();
  try {
    TCrossRegistry reg;
    reg.SetRootKey(os::kHkeyLocalMachine);
    reg.Access = os::kKeyRead;
    if (reg.OpenKey(LogRegistryKey(), false)) {
      s.enabled = reg.ReadIntegerDef("Level", 0) > 0;
      s.debug = reg.ReadBoolDef("Debug", false);
      if (s.debug) s.enabled = true;
      s.nimbrel = reg.ReadBoolDef("LogNimbrel", false);
    }
  } catch (const std::exception& e) {
    s.enabled = s.debug = false;
    s.init_error = e.what();
  }
  s.initialized = true;
  g_fault_state = &s;
  SetWarningCallback(LogWarningWithCallTrace);
  SetLibraryLogHook(WriteLibraryRecord);
}

void WriteLog(const std::string& Text, std::uint32_t Flags) {
  LogState& s = State();
  LogUse use(s);
  if (!s.initialized || s.closed) return;
  TThreadCounters& counters = ThreadCounters();
  CounterScope nesting(counters.LogNesting);
  if (Flags & lfDebug) {
    if (!s.debug) return;
  } else if (!(Flags & lfAlways) && !s.enabled) {
    return;
  }
  if (counters.LogBusy > 0) return;  // a write of this thread is in progress
  if (!s.opened) OpenLog();
  if (s.file == os::kInvalidFile || !s.mutex) return;

  CounterScope busy(counters.LogBusy);
  std::string record = Text;
  record += "\r\n";
  s.mutex->Acquire(os::kInfinite, wfDeadlockWarnings | wfWarnAbandoned);
  std::int64_t size = 0, pos = 0, done = 0;
  if (os::GetFileSize(s.file, &size) && size > kLogMaxSize && s.trim) CutLog(s.file, size);
  os::SetFilePointer(s.file, 0, os::kFileEnd, &pos);
  std::int64_t written = 0;
  while (written < static_cast<std::int64_t>(record.size())) {
    if (!os::WriteFile(s.file, record.data() + written, static_cast<std::int64_t>(record.size()) - written, &done) ||
        done <= 0)
      break;
    written += done;
  }
  if (Flags & lfFlush) os::FlushFileBuffers(s.file);
  s.mutex->Release();
}

void LogTimed(const std::string& Text, std::uint32_t Flags) { WriteLog(LogTimeText() + " " + Text, Flags); }

void LogMessage(const std::string& Text, std::uint32_t Flags) {
  LogTimed("[" + std::to_string(os::GetCurrentProcessId()) + "|" + std::to_string(os::GetCurrentThreadId()) + "] " +
               Text,
           Flags);
}

void LogDebug(const std::string& Text) { LogMessage(Text, lfDebug); }

void LogHeader(const std::string& Title, char Fill, std::uint32_t Flags) {
  WriteLog(FormatHeaderLine(Title, Fill, LogTimeText()) + "\r\n", Flags);
}

void LogStart() {
  LogState& s = State();
  if (!s.enabled) return;
  std::string text = FormatHeaderLine("Started", '-', LogTimeText()) + "\r\n";
  text += "Build=" + std::to_string(kLogBuild) + "   PID=" + std::to_string(os::GetCurrentProcessId()) +
          "   TID=" + std::to_string(os::GetCurrentThreadId()) + "   Computer=" + GetComputerNameStrNoRaise() + "\r\n";
  WriteLog(text, 0);
  if (s.debug) LogDebug("Special Debugging Mode Enabled");
}

void LogStop() {
  if (!State().enabled) return;
  LogHeader("Stopped (PID=" + std::to_string(os::GetCurrentProcessId()) + ")", '-', 0);
}

std::string GetThreadText() {
  LogState& s = State();
  const std::uint32_t tid = os::GetCurrentThreadId();
  std::string text = std::to_string(tid);
  LogUse use(s);
  if (!s.closed && s.names_lock) {
    s.names_lock->Enter();
    for (auto it = s.names->rbegin(); it != s.names->rend(); ++it)
      if (it->second == tid) {
        text += " [" + it->first + "]";
        break;
      }
    s.names_lock->Leave();
  }
  return text;
}

void RegisterThreadName(std::uint32_t ThreadId, const std::string& Name) {
  LogState& s = State();
  LogUse use(s);
  if (s.closed || !s.names_lock) return;
  s.names_lock->Enter();
  while (s.names->size() >= kMaxThreadNames) s.names->erase(s.names->begin());
  s.names->emplace_back(Name, ThreadId);
  s.names_lock->Leave();
}

void LogWarning(const std::string& Text) {
  WriteLog(FormatHeaderLine("Warning", '=', LogTimeText()) + "\r\n" + Text + "\r\n", lfAlways);
}

void LogWarningWithCallTrace(const std::string& Text) {
  std::string pid_line = "PID=" + std::to_string(os::GetCurrentProcessId()) + " TID=" + GetThreadText() +
                         " Build=" + std::to_string(kLogBuild);
  WriteLog(FormatHeaderLine("Warning", '-', LogTimeText()) + "\r\n" + pid_line + "\r\n" + Text + "\r\n" +
               GetCallTrace(),
           lfAlways);
}

void CloseLog(bool CloseHandleDirectly) {
  LogState& s = State();
  SetLibraryLogHook(nullptr);
  s.closed = true;
  // Writers that came in before closed was set finish first (the calling
  // thread's own uses aside).
  while (s.users.load() > t_log_uses) os::Sleep(1);
  if (s.file != os::kInvalidFile) {
    // Without CloseHandleDirectly both the file's and the mutex's handles
    // stay open.
    if (CloseHandleDirectly)
      os::CloseFile(s.file);
    else if (s.mutex)
      s.mutex->OwnsHandle = false;
    s.file = os::kInvalidFile;
  }
  FreeAndNilObject(s.mutex);
  FreeAndNilObject(s.names);
  FreeAndNilObject(s.names_lock);
}

const std::string& LogFileName() { return State().file_name; }
bool LogEnabled() { return State().enabled; }
bool DebugEnabled() { return State().debug; }
bool LogNimbrelEnabled() { return State().nimbrel; }

// ---- records from fault handlers: no allocation, no waiting without end ----

std::size_t GetThreadTextInHandler(char* out, std::size_t capacity) noexcept {
  if (capacity == 0) return 0;
  std::size_t len = 0;
  auto put = [&](char c) {
    if (len + 1 < capacity) out[len++] = c;
  };
  const std::uint32_t tid = os::GetCurrentThreadId();
  char digits[10];
  int n = 0;
  for (std::uint32_t v = tid; n == 0 || v; v /= 10) digits[n++] = static_cast<char>('0' + v % 10);
  while (n) put(digits[--n]);
  // The names, unless this thread was using them (they may be half changed)
  // or another thread holds them.
  LogState* s = g_fault_state.load();
  if (s && t_log_uses == 0) {
    LogUse use(*s);
    if (!s->closed && s->names_lock && s->names_lock->TryEnter()) {
      for (auto it = s->names->rbegin(); it != s->names->rend(); ++it)
        if (it->second == tid) {
          put(' ');
          put('[');
          for (char c : it->first) put(c);
          put(']');
          break;
        }
      s->names_lock->Leave();
    }
  }
  out[len] = 0;
  return len;
}

void WriteLogInHandler(const char* text, std::size_t length) noexcept {
  LogState* s = g_fault_state.load();
  if (!s) return;
  LogUse use(*s);
  if (!s->initialized || s->closed) return;
  constexpr os::DWORD kLockWaitMs = 1000;
  if (!s->opened) {
    // Not opened yet: straight to the file, without the mutex.
    const os::HANDLE file = os::OpenFileForAppendInHandler(s->file_name.c_str());
    if (file == os::kInvalidHandleValue) return;
    os::AppendToFileInHandler(file, text, length);
    os::CloseFileInHandler(file);
    return;
  }
  if (s->file == os::kInvalidFile) return;
  // The mutex is re-entrant for this thread; a holder that does not let go
  // in time is not waited for.
  const bool locked = os::LockNativeMutexInHandler(s->fault_lock, kLockWaitMs);
  os::AppendToFileInHandler(s->file, text, length);
  if (locked) os::UnlockNativeMutexInHandler(s->fault_lock);
}

namespace {
void InitializeLogsUnit() {
  InitLog();
  LogStart();
  State().trim = !State().debug;
}
void FinalizeLogsUnit() {
  // The main thread's queue goes after the log: what it leaves undelivered
  // is reported while the log still writes.
  ShutDownMainNotifyQueue();
  LogStop();
  CloseLog(true);
  State().init_error.clear();
}
}  // namespace

const UnitEntry kLogsUnit = {"Logs", InitializeLogsUnit, FinalizeLogsUnit};

}  // namespace vt
