#include "bootstrapper/SetupBootstrap.h"

#include <cstdio>
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
// (links are never followed) and the folder made anew, owner-only.
void CreateSetupFolder(const std::string& folder) {
  const std::string path = ExcludeTrailingBackslash(folder);
  if (!os::CreatePrivateFolder(path)) RaiseLastOSError("Cannot create directory '%s'", {path});
}

void DeleteSetupFolder(const std::string& folder) {
  if (folder.empty()) return;
  try {
    DeleteDirectory(folder, "*.*");
  } catch (...) {
    // What cannot be deleted stays behind.
  }
}

}  // namespace

void TickProgress() {
  if (g_progress) g_progress->Step(1);
  if (IsConsoleProgram()) WriteConsoleText(stdout, ".");
}

void ReportFatalError(const std::string& message) {
  if (IsConsoleProgram())
    WriteConsoleText(stdout, "Fatal Error: " + message + "\n");
  else
    os::MessageBoxA(0, message, g_product_caption + " Setup", os::MB_ICONERROR | os::MB_OK);
}

int RunSetupBootstrap() {
  int exit_code = 0;
  std::string folder;
  try {
    const bool console = TModuleExplorer::IsConsoleSubsystem();
    SetConsoleProgram(console);
    const std::string& command_line = os::GetCommandLine();
    const bool silent = HasSilentInstallerSwitch(command_line);
    if (!console && !silent) g_progress = std::make_unique<TWaitDialog>("Extracting setup files...", 4, 0);

    try {
      if (console) WriteConsoleText(stdout, "Please wait...");

      const TSetupMetadata metadata =
          ReadSetupMetadata(LoadResourceString(nullptr, kMetadataResource, os::kRtRcData));

      const std::string dir =
          IncludeTrailingBackslash(ExpandPath(GetTempDir(), SetupFolderName(os::GetCurrentProcessId())));
      CreateSetupFolder(dir);
      folder = dir;
      const std::string lzma_exe = dir + "lzma.exe";
      const std::string setup_exe = dir + "Setup.exe";
      const std::string setup_lzma = dir + "Setup.lzma";
      const std::string setup_pak = dir + "Setup.pak";
      const std::string info_dat = dir + "info.dat";

      if (metadata.Compressed) {
        ExtractResource(kLzmaToolResource, lzma_exe);
        TickProgress();
        ExtractResource(kPackageResource, setup_lzma);
        TickProgress();
        CheckSpaceForPayload(setup_lzma, dir, metadata);
        const int tool_code = RunProcess(LzmaCommandLine(lzma_exe, setup_lzma, setup_pak), true,
                                         roHideWindow | roNewConsole | roNoErrorDialogs);
        TickProgress();
        CheckLzmaExitCode(static_cast<std::uint32_t>(tool_code));
      } else {
        ExtractResource(kPackageResource, setup_pak);
        TickProgress();
      }

      {
        TFileStreamEx package(setup_pak, 0x20, 0, 0);
        TMappedFileStream exe(setup_exe, 0xFFFF, 0, 0x20);
        SplitSetupExe(package, exe, metadata);
        exe.Close();
      }

      if (console || silent) {
        TModuleExplorer explorer(setup_exe, 2);
        explorer.SetConsoleSubsystem();
        explorer.SaveToFile(setup_exe);
      }
      TickProgress();

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
      if (console) {
        WriteConsoleText(stdout, ConsoleEraseLine());
        std::fflush(stdout);
      }
      CloseLog(true);

      exit_code = RunProcess(inner, true);
      SetProcessExitCode(exit_code);
    } catch (...) {
      DeleteSetupFolder(folder);
      g_progress.reset();
      throw;
    }
    DeleteSetupFolder(folder);
    g_progress.reset();
  } catch (const std::exception& e) {
    g_progress.reset();
    exit_code = kFailureExitCode;
    SetProcessExitCode(exit_code);
    try {
      ReportFatalError(e.what());
    } catch (...) {
      // The console itself failed: the exit code already tells.
    }
  }
  return exit_code;
}

}  // namespace vt
