#include "bootstrapper/SetupBootstrap.h"

#include <algorithm>
#include <atomic>
#include <exception>
#include <memory>
#include <new>

#include "bootstrapper/BootstrapTestHooks.h"
#include "bootstrapper/SetupCore.h"
#include "bootstrapper/SetupPackets.h"
#include "bootstrapper/WaitDialog.h"
#include "common/CodePatch.h"
#include "common/FileStreams.h"
#include "common/Logs.h"
#include "common/ModuleExp.h"
#include "common/NotifyQueueUnit.h"
#include "common/Objects.h"
#include "common/ObjectsFiles.h"
#include "common/ProcessRunner.h"
#include "common/ProductInformation.h"
#include "common/Resources.h"
#include "common/SysUtils.h"
#include "platform/CommandLine.h"
#include "platform/ExceptionDispatch.h"
#include "platform/FaultExit.h"
#include "platform/Files.h"
#include "platform/LastError.h"
#include "platform/ModuleNames.h"
#include "platform/PrivateFolder.h"
#include "platform/Process.h"
#include "platform/Resources.h"
#include "platform/Sync.h"
#include "platform/WindowApi.h"

namespace vt {

namespace {

constexpr int kPackageResource = 1000;
constexpr int kMetadataResource = 1001;
constexpr int kLzmaToolResource = 1002;
constexpr std::uint32_t kResourceFileOptions = 0x20;  // created through a mapped-file stream

// Writes one of the program's resources to a file; a missing resource stops
// the run here rather than leaving an empty file for the next step.
void ExtractResource(int id, const std::string& file_name) {
  if (!SaveResourceToFile(nullptr, id, os::kRtRcData, kResourceFileOptions, file_name))
    throw Exception(Format("Failed to extract setup resource %d.", id));
}
constexpr int kFailureExitCode = 6;

// The size of one of the program's resources (0 when it is missing) and,
// in *head, up to head_size of its first bytes.
std::uint64_t ResourceSize(int id, std::string* head = nullptr, std::size_t head_size = 0) {
  const os::HRSRC found = os::FindResource(nullptr, id, os::kRtRcData);
  if (!found) return 0;
  const os::DWORD size = os::SizeofResource(nullptr, found);
  if (head && size > 0)
    if (const auto* data = static_cast<const char*>(os::LockResource(os::LoadResource(nullptr, found))))
      head->assign(data, std::min<std::size_t>(size, head_size));
  return size;
}

// What the run needs in its folder at its peak, from the resources it will
// write there; 0 when they are missing or damaged (their steps say so).
std::uint64_t RunSpaceNeeded(const TSetupMetadata& metadata) {
  std::string head;
  const std::uint64_t payload = ResourceSize(kPackageResource, &head, 13);
  if (payload == 0) return 0;
  if (!metadata.Compressed) return SetupSpaceNeeded(0, payload, 0, metadata);
  const std::uint64_t tool = ResourceSize(kLzmaToolResource);
  if (tool == 0 || head.size() < 13) return 0;
  return SetupSpaceNeeded(tool, payload, DecodedSizeOf(head), metadata);
}

// A shortage of space once the run has begun: the folder, what the run
// needs there and what was free when it began.
std::string NoSpaceText(const std::string& folder, std::uint64_t needed, std::uint64_t free_bytes) {
  return Format("The temporary folder '%s' has not enough free space for setup: %s bytes needed, %s free when "
                "setup began.\r\nFree space there, or set TMPDIR to a folder with more, and run setup again.",
                folder, std::to_string(needed), std::to_string(free_bytes));
}

bool IsDiskFull(const std::exception& e) {
  const auto* os_error = dynamic_cast<const EOSError*>(&e);
  return os_error && os_error->ErrorCode == os::kErrorDiskFull;
}

std::unique_ptr<TWaitDialog> g_progress;
std::string g_product_caption;

// The message box's title: the caption and " Setup", or "Setup" alone.
std::string SetupTitle(const std::string& caption) { return caption.empty() ? "Setup" : caption + " Setup"; }
std::atomic<SetupBootstrapTestHelper::PhaseHook> g_phase_hook{nullptr};

void Phase(TSetupPhase phase) {
  if (const auto hook = g_phase_hook.load()) hook(phase);
}

constexpr const char* kOwnFolderAdvice = "Set TMPDIR to a folder of your own and run setup again.";

// What a fault handler needs to end the run: set up before the setup folder
// exists, read there without locks.
struct TFaultExit {
  std::atomic<int> parent_fd{-1};
  std::atomic<int> folder_fd{-1};
  std::atomic<bool> console{true};
  std::atomic<int> exit_code{-1};  // the inner setup's, once it has ended
  char name[64] = {};
  char path[1024] = {};  // the folder as the user gave it, for the message
  char title[512] = "Setup";  // the message box's title (SetupTitle)
  os::FolderScratch scratch;
};
TFaultExit g_fault_exit;
// The clean-up's own: removing the folder needs no memory.
os::FolderScratch g_cleanup_scratch;

// The console's progress line and the fatal message: once a message is due
// no progress is written any more, so that the message stays last, and the
// message starts on a line of its own while the progress line is open.
constexpr unsigned kProgressStopped = 1u << 31;
std::atomic<unsigned> g_progress_writers{0};  // writes under way, and kProgressStopped
std::atomic<bool> g_progress_line_open{false};
std::atomic<bool> g_fault_ending{false};  // a fault handler ends the run
thread_local bool t_writing_progress = false;

// One fatal message per run: the first one due is written; a fault that
// comes later ends the run once that message is out, without its own.
std::atomic<bool> g_fatal_message_due{false};
std::atomic<bool> g_fatal_message_written{false};
std::atomic<bool> g_out_of_memory{false};  // the run ended as an allocation failed
thread_local bool t_writing_fatal_message = false;

// A thread of a run that a fault ends stays here: the handler ends the
// process, and nothing the thread would write or return may come first.
void HoldIfFaultEnds() {
  while (g_fault_ending.load()) os::Sleep(1000);
}

// A write this thread began and will never finish (a fault struck in it)
// no longer holds the progress back. Async-signal-safe.
void ReleaseOwnProgressWrite() noexcept {
  if (!t_writing_progress) return;
  t_writing_progress = false;
  g_progress_writers.fetch_sub(1);
}

// Writes progress text on the console unless progress has stopped;
// line_open tells whether the line stays open after it.
void WriteProgress(std::string_view text, bool line_open) {
  if (g_progress_writers.fetch_add(1) & kProgressStopped) {
    g_progress_writers.fetch_sub(1);
    HoldIfFaultEnds();
    return;
  }
  t_writing_progress = true;
  struct Leave {
    ~Leave() { ReleaseOwnProgressWrite(); }
  } leave;
  g_progress_line_open.store(true);  // a message cutting in starts on a new line
  WriteConsoleText(os::GetStdHandle(os::kStdOutputHandle), text);
  g_progress_line_open.store(line_open);
}

// Stops the progress output for good, waiting for a write under way on
// another thread; true when the progress line is open. Async-signal-safe.
bool StopProgressOutput() noexcept {
  ReleaseOwnProgressWrite();
  g_progress_writers.fetch_or(kProgressStopped);
  for (int i = 0; g_progress_writers.load() != kProgressStopped; ++i) {
    if (i < 64)
      os::SwitchToThread();
    else
      os::Sleep(1);  // the write waits for room in a pipe, say
  }
  return g_progress_line_open.load();
}

void CopyText(char* to, std::size_t size, const std::string& text) {
  const std::size_t n = text.size() < size - 1 ? text.size() : size - 1;
  for (std::size_t i = 0; i < n; ++i) to[i] = text[i];
  to[n] = '\0';
}

// Builds a message in a fixed buffer without allocating.
class TFixedText {
 public:
  void Add(const char* text) {
    while (*text && used_ < sizeof text_) text_[used_++] = *text++;
  }
  void Add(const char* text, std::size_t size) {
    for (std::size_t i = 0; i < size && used_ < sizeof text_; ++i) text_[used_++] = text[i];
  }
  void AddHex(std::uintptr_t value, int min_digits) { AddNumber(value, 16, min_digits); }
  void AddDecimal(std::uintptr_t value) { AddNumber(value, 10, 1); }
  const char* Text() const { return text_; }
  std::size_t Size() const { return used_; }

 private:
  void AddNumber(std::uintptr_t value, unsigned base, int min_digits) {
    char digits[2 * sizeof value];
    int n = 0;
    do {
      digits[n++] = "0123456789ABCDEF"[value % base];
      value /= base;
    } while ((value != 0 || n < min_digits) && n < static_cast<int>(sizeof digits));
    while (n > 0 && used_ < sizeof text_) text_[used_++] = digits[--n];
  }

  char text_[1024] = {};
  std::size_t used_ = 0;
};

const char* FaultName(std::uint32_t code) {
  switch (code) {
    case os::kStatusAccessViolation: return "Access violation";
    case 0xC0000006: return "In-page error";  // a mapped file's page could not be read
    case os::kStatusArrayBoundsExceeded: return "Range check error";
    case os::kStatusIllegalInstruction: return "Illegal instruction";
    case os::kStatusPrivilegedInstruction: return "Privileged instruction";
    case os::kStatusIntegerDivideByZero: return "Division by zero";
    case os::kStatusIntegerOverflow: return "Integer overflow";
    case os::kStatusStackOverflow: return "Stack overflow";
    case os::kStatusFloatDivideByZero: return "Floating point division by zero";
    case os::kStatusFloatOverflow: return "Floating point overflow";
    case os::kStatusFloatUnderflow: return "Floating point underflow";
    case os::kStatusFloatInexactResult:
    case os::kStatusFloatInvalidOperation:
    case os::kStatusFloatDenormalOperand:
    case os::kStatusFloatStackCheck: return "Invalid floating point operation";
    default: return "Processor fault";
  }
}

// Why the entry stayed, as the clean-up says it. Async-signal-safe.
void AddStayed(TFixedText& text, const char* stayed, int err) noexcept {
  const os::DWORD code = os::ErrnoToError(err);
  text.Add("'");
  text.Add(stayed);
  text.Add("' stays: ");
  std::size_t why_size = 0;
  if (const char* why = os::StoredSystemErrorText(code, &why_size)) {
    text.Add(why, why_size);
  } else {
    text.Add("Unknown error");
  }
  text.Add(" (");
  text.AddDecimal(code);
  text.Add(").");
}

// What stays of the folder, said on standard error as the clean-up says
// it, from a fault handler. Async-signal-safe.
void ReportLeftBehindRaw(const char* stayed, int err) noexcept {
  TFixedText text;
  text.Add("Setup could not remove its folder '");
  text.Add(g_fault_exit.path);
  text.Add("': ");
  AddStayed(text, stayed, err);
  text.Add("\n");
  os::WriteAllRaw(2, text.Text(), text.Size());
}

// The fatal message without the memory to show it as usual: the text in
// the console's form, or the box's where its text goes without a display.
// Written unless another message is out or due.
void WriteFatalMessageRaw(std::string_view message) noexcept {
  if (g_fatal_message_due.exchange(true) && !g_fatal_message_written.load()) return;
  const bool line_open = StopProgressOutput();
  const bool console = IsConsoleProgram();
  TFixedText text;
  if (console) {
    text.Add(line_open ? "\nFatal Error: " : "Fatal Error: ");
  } else {
    text.Add("\n[");
    text.Add(g_fault_exit.title);
    text.Add("]\n");
  }
  text.Add(message.data(), message.size());
  text.Add("\n");
  os::WriteAllRaw(console ? 1 : 2, text.Text(), text.Size());
}

void AddFault(TFixedText& text, const os::ExceptionRecord& record) noexcept {
  text.Add(FaultName(record.ExceptionCode));
  text.Add(" (0x");
  text.AddHex(record.ExceptionCode, 8);
  text.Add(") at address 0x");
  text.AddHex(reinterpret_cast<std::uintptr_t>(record.ExceptionAddress), 1);
}

// A fault during the run ends it as every failure does: the tool or the
// inner setup is killed, the folder removed, the message shown (a message
// box cannot be drawn from a fault handler: its text goes where the box's
// text goes without a display, standard error), exit code 6. Once the inner
// setup has ended the fault can only strike the clean-up: the run keeps
// the inner setup's exit code, and standard error says what the clean-up
// did, as the clean-up says what stays. The log's "Exception" record was
// written by the fault observer before.
void OnFatalFault(const os::ExceptionRecord& record) noexcept {
  if (g_fault_ending.exchange(true)) {
    ReleaseOwnProgressWrite();
    for (;;) os::SignalChildProcesses(os::ChildSignal::kStop);  // another thread ends the run
  }
  // Stopped, not killed yet: the main thread's wait for the child must not
  // end and let the run go on while the folder goes.
  os::SignalChildProcesses(os::ChildSignal::kStop);
  // An inner setup that has ended has given the run its exit code.
  const int code = g_fault_exit.exit_code.load();
  const bool cleaning_up = code >= 0;
  // The folder is taken from the clean-up, which may be removing it on
  // another thread: both walks go on, what one removes the other passes.
  // This one reads the folder through a descriptor of its own.
  const int folder = g_fault_exit.folder_fd.exchange(-1);
  const int parent = g_fault_exit.parent_fd.exchange(-1);
  const bool walked = parent >= 0 && folder >= 0;
  bool removed = false;
  int err = 0;
  char stayed[256] = {};
  if (walked) {
    const int own = os::OpenFolderAgain(folder);
    removed = os::RemoveHeldFolder(parent, g_fault_exit.name, own >= 0 ? own : folder, &g_fault_exit.scratch, &err,
                                   stayed, sizeof stayed);
    if (!removed && !cleaning_up) ReportLeftBehindRaw(stayed, err);
  }
  const int exit_code = cleaning_up ? code : kFailureExitCode;
  if (g_fatal_message_due.exchange(true)) {
    // Another message is being written: it stays the only one. Its writer
    // is this thread when the fault struck in the writing.
    StopProgressOutput();
    while (!t_writing_fatal_message && !g_fatal_message_written.load()) os::Sleep(1);
    os::SignalChildProcesses(os::ChildSignal::kKill);
    os::ExitNow(exit_code);
  }
  TFixedText text;
  const bool console = g_fault_exit.console.load();
  const bool line_open = StopProgressOutput();
  if (cleaning_up) {
    if (line_open) text.Add("\n");
    text.Add("Setup met a fault during its clean-up, after the inner setup had ended: ");
    AddFault(text, record);
    if (!walked) {
      text.Add(". The clean-up had finished.\n");
    } else {
      text.Add(removed ? ". The clean-up went on and removed the folder '" : ". The clean-up went on; of the folder '");
      text.Add(g_fault_exit.path);
      text.Add("'");
      if (removed) {
        text.Add(".\n");
      } else {
        text.Add(", ");
        AddStayed(text, stayed, err);
        text.Add("\n");
      }
    }
    os::WriteAllRaw(2, text.Text(), text.Size());
    os::SignalChildProcesses(os::ChildSignal::kKill);
    os::ExitNow(exit_code);
  }
  if (console) {
    if (line_open) text.Add("\n");
    text.Add("Fatal Error: ");
  } else {
    text.Add("\n[");
    text.Add(g_fault_exit.title);
    text.Add("]\n");
  }
  AddFault(text, record);
  text.Add(". Setup cannot continue.\n");
  os::WriteAllRaw(console ? 1 : 2, text.Text(), text.Size());
  os::SignalChildProcesses(os::ChildSignal::kKill);
  os::ExitNow(exit_code);
}

[[noreturn]] void RefuseReadOnlyFolder(const std::string& path, os::DWORD code) {
  throw EOSError(Format("Cannot create directory '%s': the file system is read-only.\r\nSet TMPDIR to a folder on "
                        "a writable file system and run setup again.",
                        path),
                 code);
}

[[noreturn]] void RefuseTemporaryFolder(const std::string& folder, const std::string& unsafe,
                                        const std::string& why) {
  throw Exception(Format("The temporary folder '%s' is not safe for setup: '%s' %s, so other users could "
                         "replace the setup files.\r\n%s",
                         folder, unsafe, why, kOwnFolderAdvice));
}

// The folder belongs to this run: created in the checked temporary folder,
// held with a lock for the run's life, leftovers of this user's killed
// runs removed on the way. A name held by another live run (one in another
// PID namespace has the same process id) is passed over for the name with
// the next suffix; one held by another user cannot be used: the message
// says how to get past it. The temporary folder is walked as given (a '..'
// after a link goes up from the link's target, as the system takes it).
// Returns the folder's path with the links on the way resolved; *name
// becomes the name taken.
std::string CreateSetupFolder(const std::string& parent, std::string* name) {
  const std::string base = *name;
  const auto path_of = [&](const std::string& n) { return (parent == "/" ? "" : parent) + "/" + n; };
  std::string unsafe, why, resolved;
  // A missing temporary folder is made on the walk, never through a name.
  const int parent_fd = os::OpenTrustedFolder(parent, &unsafe, &why, &resolved, os::MakeMissing::kAll);
  if (parent_fd < 0) {
    const os::DWORD code = os::GetLastError();
    if (!why.empty()) RefuseTemporaryFolder(parent, unsafe, why);
    // A missing temporary folder under a read-only mount cannot be made.
    if (code == os::kErrorAccessDenied && os::NearestFolderOnReadOnlyFileSystem(parent))
      RefuseReadOnlyFolder(parent, code);
    throw EOSError(OSErrorText("Cannot open the temporary folder '%s'", {parent}, code) + "\r\n" +
                       kOwnFolderAdvice,
                   code);
  }
  g_fault_exit.parent_fd.store(parent_fd);
  os::RemoveLeftoverFolders(parent_fd, kSetupFolderPrefix);
  constexpr int kNames = 100;  // the plain name and 99 with a suffix
  for (int n = 0; n < kNames; ++n) {
    *name = n == 0 ? base : base + "_" + std::to_string(n);
    CopyText(g_fault_exit.name, sizeof g_fault_exit.name, *name);
    int folder_fd = -1;
    switch (os::CreateHeldFolder(parent_fd, *name, &folder_fd)) {
      case os::HeldFolder::kHeld:
        g_fault_exit.folder_fd.store(folder_fd);
        return (resolved == "/" ? "" : resolved) + "/" + *name;
      case os::HeldFolder::kInUse:
        continue;
      case os::HeldFolder::kFailed:
        break;
    }
    const os::DWORD code = os::GetLastError();
    if (os::OnReadOnlyFileSystem(parent_fd)) RefuseReadOnlyFolder(path_of(*name), code);
    throw EOSError(OSErrorText("Cannot create directory '%s'", {path_of(*name)}, code) + "\r\n" +
                       kOwnFolderAdvice,
                   code);
  }
  throw Exception(Format("Another setup is running in the folder '%s'. Wait until it ends, or set TMPDIR "
                         "to a folder of your own and run setup again.",
                         path_of(base)));
}

// The run's clean-up, whichever way the run ends: the setup folder is
// deleted through its descriptor (what cannot be stays behind), then the
// progress window freed.
class TRunCleanup {
 public:
  TRunCleanup() = default;
  TRunCleanup(const TRunCleanup&) = delete;
  TRunCleanup& operator=(const TRunCleanup&) = delete;
  std::string FolderPath;  // for the message when something stays behind
  ~TRunCleanup() {
    HoldIfFaultEnds();  // the fault's handler removes the folder
    // The descriptors stay where a fault's handler finds them while the
    // folder goes: a fault meanwhile finishes the removal.
    const int folder = g_fault_exit.folder_fd.load();
    const int parent = g_fault_exit.parent_fd.load();
    if (folder >= 0) {
      int err = 0;
      char stayed[256] = {};
      if (!os::RemoveHeldFolder(parent, g_fault_exit.name, folder, &g_cleanup_scratch, &err, stayed, sizeof stayed)) {
        HoldIfFaultEnds();  // the handler's own walk says what stays
        ReportLeftBehind(stayed, err);
      }
    }
    // Closed only when no handler took them.
    const bool own = g_fault_exit.folder_fd.exchange(-1) >= 0;
    if (g_fault_exit.parent_fd.exchange(-1) >= 0 && own) {
      os::CloseFolder(folder);
      os::CloseFolder(parent);
    }
    HoldIfFaultEnds();
    g_progress.reset();
  }

 private:
  // The run's exit code stays; standard error and the log say what stayed.
  void ReportLeftBehind(const char* stayed, int err) const noexcept {
    std::string text;
    try {
      const os::DWORD code = os::ErrnoToError(err);
      text = Format("Setup could not remove its folder '%s': '%s' stays: %s (%d).",
                                      FolderPath, std::string(stayed), os::SystemErrorText(code), code);
      WriteConsoleText(os::GetStdHandle(os::kStdErrorHandle), text + "\n");
    } catch (...) {
    }
    try {
      // The log was closed before the inner setup started: the record is
      // appended to its file in the log's own form.
      if (!LogFileName().empty()) {
        const std::string record = LogTimeText() + " [" + std::to_string(os::GetCurrentProcessId()) + "|" +
                                   std::to_string(os::GetCurrentThreadId()) + "] " + text + "\r\n";
        const bool exists = FileExistsNotDir(LogFileName());
        TFileStreamEx log(LogFileName(), exists ? fmOpenWrite | fmShareDenyNone : kFileModeCreate, 0, 0);
        log.Seek(0, TSeekOrigin::soEnd);
        log.WriteBuffer(record.data(), static_cast<std::int64_t>(record.size()));
      }
    } catch (...) {
    }
  }
};

// A termination request (Ctrl-C, a hang-up, kill) ends the extraction like
// a failure; the tool it interrupted was stopped by the wait.
void CheckInterrupted() {
  if (const int signal = os::TerminationRequest())
    throw Exception(Format("Setup was interrupted by signal %d.", signal));
}

void Tick() {
  TickProgress();
  CheckInterrupted();
}

}  // namespace

std::string ProgramFileProblemText(const os::ProgramFileCheck& check) {
  switch (check.problem) {
    case os::ProgramFileProblem::kNone: return {};
    case os::ProgramFileProblem::kNoPath:
      return "Setup cannot find its own program file: /proc/self/exe cannot be read (is /proc mounted?). Run "
             "setup where /proc is available.";
    case os::ProgramFileProblem::kUnreadable:
      return OSErrorText("The setup file '%s' cannot be read", {check.path}, check.error) +
             ". Give yourself read permission on it and run setup again.";
    case os::ProgramFileProblem::kDamaged:
      return Format("The setup file '%s' is damaged or incomplete. Download it again and run setup again.",
                    check.path);
    case os::ProgramFileProblem::kNoMemory:
      return OSErrorText("Not enough memory to read the setup file '%s'", {check.path}, check.error) +
             ". Raise the address-space limit (ulimit -v) and run setup again.";
  }
  return {};
}

void TickProgress() {
  HoldIfFaultEnds();
  if (g_progress) g_progress->Step(1);
  if (IsConsoleProgram()) WriteProgress(".", true);
}

void ReportFatalError(const std::string& message) {
  HoldIfFaultEnds();
  if (g_fatal_message_due.exchange(true)) {
    HoldIfFaultEnds();  // a fault's message: its handler ends the run
    return;
  }
  struct Writing {
    Writing() { t_writing_fatal_message = true; }
    ~Writing() {
      t_writing_fatal_message = false;
      g_fatal_message_written.store(true);
    }
  } writing;
  const bool line_open = StopProgressOutput();
  LogMessage("Fatal Error: " + message, lfAlways);
  if (IsConsoleProgram())
    WriteConsoleText(os::GetStdHandle(os::kStdOutputHandle),
                     (line_open ? "\nFatal Error: " : "Fatal Error: ") + message + "\n");
  else
    os::MessageBoxA(0, message, SetupTitle(g_product_caption), os::MB_ICONERROR | os::MB_OK);
}

int EndWithFatalError(std::string_view message) {
  g_progress.reset();
  SetProcessExitCode(kFailureExitCode);
  try {
    ReportFatalError(std::string(message));
  } catch (const std::bad_alloc&) {
    WriteFatalMessageRaw(message);
  } catch (...) {
    // The console itself failed: the exit code already tells.
  }
  return kFailureExitCode;
}

int EndWithFatalError(const std::exception& failure) {
  if (!dynamic_cast<const std::bad_alloc*>(&failure)) return EndWithFatalError(failure.what());
  g_out_of_memory.store(true);
  return EndWithFatalError(os::kNotEnoughMemoryText);
}

bool EndedOutOfMemory() { return g_out_of_memory.load(); }

int RunSetupBootstrap() {
  int exit_code = 0;
  std::string through, folder_text;
  std::uint64_t space_needed = 0, space_free = 0;  // known once the folder exists
  try {
    const bool console = TModuleExplorer::IsConsoleSubsystem();
    SetConsoleProgram(console);
    const std::string& command_line = os::GetCommandLine();
    const bool silent = HasSilentInstallerSwitch(command_line);
    if (!console && !silent) g_progress = std::make_unique<TWaitDialog>("Extracting setup files...", 4, 0);

    g_fault_exit.console.store(console);
    TRunCleanup cleanup;
    os::SetFatalFaultHook(&OnFatalFault);
    if (!os::CatchTerminationRequests(os::TerminationPolicy::kStopChild))
      RaiseLastOSError("Cannot catch termination signals");
    if (console) WriteProgress("Please wait...", true);

    const TSetupMetadata metadata =
        ReadSetupMetadata(LoadResourceString(nullptr, kMetadataResource, os::kRtRcData));

    // The path routines read a path holding a backslash as a Windows path:
    // such a folder would be written somewhere else.
    if (os::GetTempPath().find('\\') != std::string::npos)
      throw Exception(Format("The temporary folder '%s' holds a backslash. Set TMPDIR to a folder without one "
                             "and run setup again.",
                             os::GetTempPath()));
    // The path stays as given: taken as text, a '..' after a link would
    // name another folder than the system's.
    std::string temp = os::GetTempPath();
    while (temp.size() > 1 && temp.back() == '/') temp.pop_back();
    std::string name = SetupFolderName(os::GetCurrentProcessId());
    const std::string resolved = CreateSetupFolder(temp, &name);
    cleanup.FolderPath = (temp == "/" ? "" : temp) + "/" + name;
    CopyText(g_fault_exit.path, sizeof g_fault_exit.path, cleanup.FolderPath);
    // Inside the folder every step goes through the folder's descriptor, so
    // that no rename of it or link on its way can redirect one; what the
    // run hands on names the folder by its resolved path, messages by the
    // path the user gave.
    through = os::PathThroughFolder(g_fault_exit.folder_fd.load(), "");
    const std::string inside = through.empty() ? resolved + "/" : through;
    const auto in_folder = [&](const std::string& name) { return inside + name; };
    folder_text = cleanup.FolderPath;
    // The space free in the new, empty folder is the run's: the peak must
    // fit before anything is written.
    if (!os::GetDiskFreeSpaceEx(inside, &space_free, nullptr, nullptr))
      RaiseLastOSError("Failed to get the free space of '%s'", {folder_text});
    space_needed = RunSpaceNeeded(metadata);
    CheckSpaceNeeded(space_needed, space_free);

    if (metadata.Compressed) {
      ExtractResource(kLzmaToolResource, in_folder("lzma.exe"));
      Phase(TSetupPhase::kExtracting);
      Tick();
      ExtractResource(kPackageResource, in_folder("Setup.lzma"));
      Tick();
      std::string head;
      ResourceSize(kPackageResource, &head, 13);
      DecodedSizeOf(head);  // a payload too short for its header is refused here
      Phase(TSetupPhase::kDecoding);
      // The tool works in the folder, entered through its descriptor, on
      // names relative to it.
      const int tool_code = RunProcess(LzmaCommandLine("lzma.exe", "Setup.lzma", "Setup.pak"), true,
                                       roHideWindow | roNewConsole | roNoErrorDialogs, inside, nullptr, nullptr,
                                       nullptr, 0, in_folder("lzma.exe"));
      Tick();
      if (tool_code == static_cast<int>(os::kErrorDiskFull) && space_needed > 0)
        throw Exception(NoSpaceText(folder_text, space_needed, space_free));
      CheckLzmaExitCode(static_cast<std::uint32_t>(tool_code));
    } else {
      ExtractResource(kPackageResource, in_folder("Setup.pak"));
      Phase(TSetupPhase::kExtracting);
      Tick();
    }

    {
      TFileStreamEx package(in_folder("Setup.pak"), fmOpenRead | fmShareDenyWrite, 0, 0);
      TMappedFileStream exe(in_folder("Setup.exe"), kFileModeCreate, 0, fsoTemporary);
      SplitSetupExe(package, exe, metadata);
      exe.Close();
    }

    if (console || silent) {
      TModuleExplorer explorer(in_folder("Setup.exe"), 2);
      explorer.SetConsoleSubsystem();
      explorer.SaveToFile(in_folder("Setup.exe"));
    }
    Tick();

    const std::unique_ptr<TSetupPacket> setup = LoadSetupPacketFromFile(in_folder("Setup.pak"), 0);
    const std::int32_t info = IndexOfSetupFile(setup->Files, "info.dat", false);
    if (info >= 0) {
      SaveStreamToFile(setup->Files.GetItem(info).Content, in_folder("info.dat"), 0,
                       TSetupCore::DateTimeToFileTime(setup->SetupDateTime));
      g_product_caption = GetProductInfo(in_folder("info.dat")).ProductCaption;
      CopyText(g_fault_exit.title, sizeof g_fault_exit.title, SetupTitle(g_product_caption));
    }

    const int arg_count = static_cast<int>(os::CommandLineToArgs(command_line).size()) - 1;
    const std::string inner =
        BuildSetupCommandLine(resolved + "/Setup.exe", os::GetModuleFileName(nullptr), command_line,
                              arg_count < 0 ? 0 : arg_count, g_product_caption);

    g_progress.reset();
    if (console) WriteProgress(ConsoleEraseLine(), false);
    CloseLog(true);

    // From here a termination request goes on to the inner setup, which
    // decides; the run ends with its exit code and the folder is deleted.
    CheckInterrupted();
    os::CatchTerminationRequests(os::TerminationPolicy::kForwardToChild);
    Phase(TSetupPhase::kRunning);
    exit_code = RunProcess(inner, true, 0, {}, nullptr, nullptr, nullptr, 0, in_folder("Setup.exe"));
    SetProcessExitCode(exit_code);
    g_fault_exit.exit_code.store(exit_code);
  } catch (const std::bad_alloc& e) {
    exit_code = EndWithFatalError(e);
  } catch (const std::exception& e) {
    // Paths through the folder's descriptor are shown as the folder's own.
    exit_code = EndWithFatalError(space_needed > 0 && IsDiskFull(e) ? NoSpaceText(folder_text, space_needed, space_free)
                                  : through.empty() ? std::string(e.what())
                                                    : StringReplaceAll(e.what(), through, folder_text + "/"));
  }
  return exit_code;
}

void SetupBootstrapTestHelper::SetPhaseHook(PhaseHook hook) { g_phase_hook.store(hook); }

}  // namespace vt
