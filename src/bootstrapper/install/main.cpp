// The setup bootstrapper program. One source gives the console and the
// windowed build: which one runs is read from the program's own executable
// header, which the packaging tool writes.
#include <cstdint>
#include <exception>
#include <new>

#include "bootstrapper/SetupBootstrap.h"
#include "bootstrapper/SetupPackets.h"
#include "bootstrapper/NetFw.h"
#include "catalogues/CatalogueUnits.h"
#include "skins/SkinUnits.h"
#include "common/AppRemoteControl.h"
#include "common/EventLog.h"
#include "common/ExceptionHooks.h"
#include "common/ExceptionPacket.h"
#include "common/FileStreams.h"
#include "common/Logs.h"
#include "common/ModuleExp.h"
#include "common/SysUtils.h"
#include "common/NotifyQueueUnit.h"
#include "common/ObjectsUnit.h"
#include "common/Packets.h"
#include "common/ProductInformation.h"
#include "common/Session.h"
#include "common/ThreadPool.h"
#include "common/Units.h"
#include "platform/FaultExit.h"
#include "platform/Process.h"
#include "platform/SelfCheck.h"

namespace {

// Start-up in link order: the common library first, then the packet units
// of the catalogues, each registering its classes, with the skin units
// between the message catalogues and the profile documents.
const vt::UnitEntry kUnits[] = {
    vt::kSessionUnit,
    vt::kFileStreamsUnit,
    vt::kNotifyQueueUnit,
    vt::kPacketsUnit,
    vt::kLogsUnit,
    vt::kEventLogUnit,
    vt::kObjectsUnit,
    vt::kThreadPoolUnit,
    vt::kExceptionHooksUnit,
    vt::kAppRemoteControlUnit,
    vt::kProductInformationUnit,
    vt::kSetupPacketsUnit,
    vt::kNetFwUnit,
    vt::kExceptionPacketUnit,
};

// The runtime's console flag comes from the executable header before any
// unit starts; a program without one runs windowed.
bool ConsoleHeader() {
  try {
    return vt::TModuleExplorer::IsConsoleSubsystem();
  } catch (...) {
    return false;
  }
}

}  // namespace

int main() {
  // Before anything is opened: no file may take a closed standard descriptor.
  vt::os::EnsureStandardHandles();
  // A console write error is reported like any failure (exit code 6).
  vt::os::IgnoreBrokenPipeSignal();
  // The program's own file must be whole and readable: a cut download or
  // one without read permission is told as such, in the style of the build
  // as far as the file still shows it.
  const vt::os::ProgramFileCheck own = vt::os::CheckProgramFile();
  if (own.problem != vt::os::ProgramFileProblem::kNone) {
    vt::SetConsoleProgram(own.subsystem == 3);
    const int exit_code = vt::EndWithFatalError(vt::ProgramFileProblemText(own));
    vt::os::ExitProcess(static_cast<vt::os::DWORD>(exit_code));
  }
  vt::SetConsoleProgram(ConsoleHeader());
  int exit_code = 0;
  // Start-up holds many descriptors: a small limit is raised where the hard
  // limit allows, else the run ends before it writes anything.
  const std::uint64_t open_files = vt::os::RaiseOpenFileLimit(vt::kNeededOpenFiles);
  if (open_files < vt::kNeededOpenFiles) {
    exit_code = vt::EndWithFatalError(vt::Format(
        "Setup needs at least %d open files, but the limit (ulimit -n) is %d. Raise it and run setup again.",
        vt::kNeededOpenFiles, static_cast<int>(open_files)));
    vt::os::ExitProcess(static_cast<vt::os::DWORD>(exit_code));
  }
  try {
    vt::InitializeUnits(kUnits);
    vt::InitializeUnits(vt::MessageCatalogueUnits());
    vt::InitializeUnits(vt::SkinUnits());
    vt::InitializeUnits(vt::ProfileDocumentUnits());
  } catch (const std::exception& e) {
    // A unit that cannot start ends the program like any failure of the run.
    exit_code = vt::EndWithFatalError(e);
  }
  // An allocation may fail while the run's own failure is being told.
  if (exit_code == 0) {
    try {
      exit_code = vt::RunSetupBootstrap();
    } catch (const std::bad_alloc& e) {
      exit_code = vt::EndWithFatalError(e);
    }
  }
  // Finalizing the units, and the exit's own clean-up, need memory.
  if (vt::EndedOutOfMemory()) vt::os::ExitNow(exit_code);
  vt::FinalizeUnits();
  // The exit hook that RunSetupBootstrap installed ends the process with the
  // stored code.
  return exit_code;
}
