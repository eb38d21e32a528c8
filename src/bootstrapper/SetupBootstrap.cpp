#include "bootstrapper/SetupBootstrap.h"

#include <exception>
#include <memory>

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
#include "platform/Files.h"
#include "platform/ModuleNames.h"
#include "platform/PrivateFolder.h"
#include "platform/Process.h"
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

std::unique_ptr<TWaitDialog> g_progress;
std::string g_product_caption;

// The folder belongs to this run: whatever stands at its name is removed
// (links are never followed) and the folder made anew, owner-only. A name
// held by another user cannot be: the message says how to get past it.
void CreateSetupFolder(const std::string& folder) {
  const std::string path = ExcludeTrailingBackslash(folder);
  if (os::CreatePrivateFolder(path)) return;
  const os::DWORD code = os::GetLastError();
  throw EOSError(OSErrorText("Cannot create directory '%s'", {path}, code) +
                     "\r\nSet TMPDIR to a folder of your own and run setup again.",
                 code);
}

// The run's clean-up, whichever way the run ends: the setup folder is
// deleted (what cannot be stays behind), then the progress window freed.
class TRunCleanup {
 public:
  TRunCleanup() = default;
  TRunCleanup(const TRunCleanup&) = delete;
  TRunCleanup& operator=(const TRunCleanup&) = delete;
  ~TRunCleanup() {
    if (!Folder.empty()) {
      try {
        DeleteDirectory(Folder, "*.*");
      } catch (...) {
      }
    }
    g_progress.reset();
  }
  std::string Folder;
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

void TickProgress() {
  if (g_progress) g_progress->Step(1);
  if (IsConsoleProgram()) WriteConsoleText(os::GetStdHandle(os::kStdOutputHandle), ".");
}

void ReportFatalError(const std::string& message) {
  LogMessage("Fatal Error: " + message, lfAlways);
  if (IsConsoleProgram())
    WriteConsoleText(os::GetStdHandle(os::kStdOutputHandle), "Fatal Error: " + message + "\n");
  else
    os::MessageBoxA(0, message, g_product_caption + " Setup", os::MB_ICONERROR | os::MB_OK);
}

int EndWithFatalError(const std::string& message) {
  g_progress.reset();
  SetProcessExitCode(kFailureExitCode);
  try {
    ReportFatalError(message);
  } catch (...) {
    // The console itself failed: the exit code already tells.
  }
  return kFailureExitCode;
}

int RunSetupBootstrap() {
  int exit_code = 0;
  try {
    const bool console = TModuleExplorer::IsConsoleSubsystem();
    SetConsoleProgram(console);
    const std::string& command_line = os::GetCommandLine();
    const bool silent = HasSilentInstallerSwitch(command_line);
    if (!console && !silent) g_progress = std::make_unique<TWaitDialog>("Extracting setup files...", 4, 0);

    TRunCleanup cleanup;
    if (!os::CatchTerminationRequests(os::TerminationPolicy::kStopChild))
      RaiseLastOSError("Cannot catch termination signals");
    const os::FileHandle out = os::GetStdHandle(os::kStdOutputHandle);
    if (console) WriteConsoleText(out, "Please wait...");

    const TSetupMetadata metadata =
        ReadSetupMetadata(LoadResourceString(nullptr, kMetadataResource, os::kRtRcData));

    // The path routines read a path holding a backslash as a Windows path:
    // such a folder would be written somewhere else.
    if (os::GetTempPath().find('\\') != std::string::npos)
      throw Exception(Format("The temporary folder '%s' holds a backslash. Set TMPDIR to a folder without one "
                             "and run setup again.",
                             os::GetTempPath()));
    const std::string dir =
        IncludeTrailingBackslash(ExpandPath(GetTempDir(), SetupFolderName(os::GetCurrentProcessId())));
    CreateSetupFolder(dir);
    cleanup.Folder = dir;
    const std::string lzma_exe = dir + "lzma.exe";
    const std::string setup_exe = dir + "Setup.exe";
    const std::string setup_lzma = dir + "Setup.lzma";
    const std::string setup_pak = dir + "Setup.pak";
    const std::string info_dat = dir + "info.dat";

    if (metadata.Compressed) {
      ExtractResource(kLzmaToolResource, lzma_exe);
      Tick();
      ExtractResource(kPackageResource, setup_lzma);
      Tick();
      CheckSpaceForPayload(setup_lzma, dir, metadata);
      const int tool_code = RunProcess(LzmaCommandLine(lzma_exe, setup_lzma, setup_pak), true,
                                       roHideWindow | roNewConsole | roNoErrorDialogs);
      Tick();
      CheckLzmaExitCode(static_cast<std::uint32_t>(tool_code));
    } else {
      ExtractResource(kPackageResource, setup_pak);
      Tick();
    }

    {
      TFileStreamEx package(setup_pak, fmOpenRead | fmShareDenyWrite, 0, 0);
      TMappedFileStream exe(setup_exe, kFileModeCreate, 0, fsoTemporary);
      SplitSetupExe(package, exe, metadata);
      exe.Close();
    }

    if (console || silent) {
      TModuleExplorer explorer(setup_exe, 2);
      explorer.SetConsoleSubsystem();
      explorer.SaveToFile(setup_exe);
    }
    Tick();

    const std::unique_ptr<TSetupPacket> setup = LoadSetupPacketFromFile(setup_pak, 0);
    const std::int32_t info = IndexOfSetupFile(setup->Files, "info.dat", false);
    if (info >= 0) {
      SaveStreamToFile(setup->Files.GetItem(info).Content, info_dat, 0,
                       TSetupCore::DateTimeToFileTime(setup->SetupDateTime));
      g_product_caption = GetProductInfo(info_dat).ProductCaption;
    }

    const int arg_count = static_cast<int>(os::CommandLineToArgs(command_line).size()) - 1;
    const std::string inner = BuildSetupCommandLine(setup_exe, os::GetModuleFileName(nullptr), command_line,
                                                    arg_count < 0 ? 0 : arg_count, g_product_caption);

    g_progress.reset();
    if (console) WriteConsoleText(out, ConsoleEraseLine());
    CloseLog(true);

    // From here a termination request goes on to the inner setup, which
    // decides; the run ends with its exit code and the folder is deleted.
    CheckInterrupted();
    os::CatchTerminationRequests(os::TerminationPolicy::kForwardToChild);
    exit_code = RunProcess(inner, true);
    SetProcessExitCode(exit_code);
  } catch (const std::exception& e) {
    exit_code = EndWithFatalError(e.what());
  }
  return exit_code;
}

}  // namespace vt
