// Test child. Usage: vt_proc_child <mode> [arguments]
//   args            write every argument (argv[0] included), each ended by NUL
//   exit <n>        end with exit code n
//   kill            end by SIGKILL
//   sleep <ms>      sleep, then end with 0
//   cwd             write the current directory
//   env <name>      write the variable's value, or "<unset>"
//   stdin           copy standard input to standard output
//   stdio           read standard input, write "out:" and it to standard
//                   output, "err:" and it to standard error
//   cmdline         write the process's command line, a NUL and the value
//                   of the command-line variable (or "<unset>")
//   log <n> <text>  with the log unit: n messages "<text> <i>", one debug
//                   record "debug record" and one warning "warned"; each
//                   event-log record is written as "event: <text>"
//   holdlog         with the log unit: takes the log mutex and ends holding it
//   closelog        with the log unit: closes the log while threads write to it
//   regwrite <n> <prefix>  sets n integer values "<prefix><i>" in the key
//                   HKEY_CURRENT_USER\Concurrent
//   regmachine      reads "Level" of the log's key of HKEY_LOCAL_MACHINE as
//                   the log does, then tries to write there; writes
//                   "level=<n> open=<error> create=<error> set=<error>"
//   smallstack      writes and reads a registry value, reads the firewall
//                   store and compresses a block (run under a small stack)
//   session <byte>  the library's units started as the setup program starts
//                   them; writes "seen=<first byte of the session data>",
//                   stores byte there, writes "started", and ends when
//                   standard input closes
//   hook <item>...  units initialized; each number is stored with
//                   SetProcessExitCode; "fin=<n>" stores n from a unit's
//                   finalization; "exit=<n>" ends through os::ExitProcess(n)
//                   after the finalizations, else main returns 0
//   holdfile <path> <access> <share> [<mutex>]  opens the file (os::CreateFile,
//                   existing file, access and share as decimal numbers) and,
//                   when named, creates and owns the mutex ("event:<name>":
//                   creates a signalled manual-reset event; "forge:<native
//                   name>": creates an event and publishes that name for it;
//                   "userns:<name>": creates the event as user 4242 of a
//                   user namespace of its own);
//                   writes
//                   "held <file handle> <mutex handle>\n" or "error <code>\n",
//                   then waits for the end of standard input
//   touch <path>    creates the file
#include <sched.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "common/AppRemoteControl.h"
#include "common/CodePatch.h"
#include "common/CrossRegistry.h"
#include "common/EventLog.h"
#include "common/ExceptionHooks.h"
#include "common/FileStreams.h"
#include "common/Locks.h"
#include "common/Logs.h"
#include "common/NotifyQueueUnit.h"
#include "common/ObjectsUnit.h"
#include "common/Packets.h"
#include "common/ProductInformation.h"
#include "common/Session.h"
#include "common/ThreadPool.h"
#include "common/Units.h"
#include "platform/CommandLine.h"
#include "platform/Process.h"
#include "platform/Files.h"
#include "platform/Handles.h"
#include "platform/Firewall.h"
#include "platform/Registry.h"
#include "platform/Sync.h"
#include "platform/SystemLog.h"
#include "platform/quicklz/QuickLZCodec.h"

namespace {
int g_final_code = 0;
bool g_final_set = false;
void FinalizeMarker() {
  std::printf("finalized\n");
  std::fflush(stdout);
  if (g_final_set) vt::SetProcessExitCode(g_final_code);
}
const vt::UnitEntry kUnits[] = {{"ProcChildMarker", nullptr, FinalizeMarker}};

int Hook(int argc, char** argv) {
  vt::InitializeUnits(kUnits);
  bool exit_process = false;
  unsigned long requested = 0;
  for (int i = 2; i < argc; ++i) {
    std::string a = argv[i];
    if (a.rfind("fin=", 0) == 0)
      g_final_set = true, g_final_code = std::atoi(a.c_str() + 4);
    else if (a.rfind("exit=", 0) == 0)
      exit_process = true, requested = std::strtoul(a.c_str() + 5, nullptr, 0);
    else
      vt::SetProcessExitCode(std::atoi(a.c_str()));
  }
  vt::FinalizeUnits();
  if (exit_process) vt::os::ExitProcess(static_cast<vt::os::DWORD>(requested));
  return 0;
}

void StartLogUnit() {
  static const vt::UnitEntry units[] = {vt::kLogsUnit};
  vt::InitializeUnits(units);
}

int Log(int argc, char** argv) {
  if (argc < 4) return 100;
  vt::os::testing::SetSystemLogHook([](vt::os::DWORD, const std::string& text) {
    std::printf("event: %s\n", text.c_str());
    std::fflush(stdout);
  });
  StartLogUnit();
  int n = std::atoi(argv[2]);
  for (int i = 0; i < n; ++i) vt::LogMessage(std::string(argv[3]) + " " + std::to_string(i));
  vt::LogDebug("debug record");
  vt::LogWarning("warned");
  vt::FinalizeUnits();
  return 0;
}
// Takes the log's mutex and ends without releasing it.
int HoldLog() {
  StartLogUnit();
  static vt::TWinMutex mutex(vt::GetEveryoneSecurityAttributes(), vt::LogMutexName(vt::LogFileName()));
  if (!mutex.Acquire(vt::os::kInfinite, 0)) return 102;
  std::_Exit(0);
}
// Threads write records and name themselves while the log is closed.
int CloseLogWhileWriting() {
  StartLogUnit();
  std::atomic<int> started{0};
  std::atomic<bool> stop{false};
  std::vector<std::thread> writers;
  for (int t = 0; t < 4; ++t)
    writers.emplace_back([&, t] {
      for (int i = 0; !stop; ++i) {
        vt::RegisterThreadName(vt::os::GetCurrentThreadId(), "writer " + std::to_string(t));
        vt::LogMessage("record " + std::to_string(i) + " of " + vt::GetThreadText());
        if (i == 50) ++started;
      }
    });
  while (started < 4) std::this_thread::yield();
  vt::CloseLog(true);
  for (int i = 0; i < 1000; ++i) vt::LogMessage("after close");
  stop = true;
  for (auto& w : writers) w.join();
  vt::FinalizeUnits();
  return 0;
}
// The log's settings as the log reads them, then writes that need the
// machine store's owner.
int RegMachine() {
  int level = -1;
  try {
    vt::TCrossRegistry reg;
    reg.SetRootKey(vt::os::kHkeyLocalMachine);
    reg.Access = vt::os::kKeyRead;
    if (reg.OpenKey("SOFTWARE\\Palgrem\\Vontaro\\Log", false)) level = reg.ReadIntegerDef("Level", 0);
  } catch (const std::exception& e) {
    std::printf("error=%s ", e.what());
  }
  namespace os = vt::os;
  os::HKEY k = 0;
  const os::DWORD open = os::RegOpenKeyEx(os::kHkeyLocalMachine, "SOFTWARE\\Palgrem\\Vontaro\\Log",
                                          os::kKeyAllAccess, &k);
  os::RegCloseKey(k);
  const os::DWORD create = os::RegCreateKeyEx(os::kHkeyLocalMachine, "SOFTWARE\\Palgrem\\Vontaro\\Log\\Sub",
                                              os::kKeyAllAccess, &k);
  os::RegCloseKey(k);
  os::DWORD set = 0xFFFFFFFF;
  if (os::RegOpenKeyEx(os::kHkeyLocalMachine, "SOFTWARE\\Palgrem\\Vontaro\\Log", os::kKeyRead, &k) == 0) {
    const std::uint32_t v = 0;
    set = os::RegSetValueEx(k, "Level", os::kRegDword, &v, 4);
    os::RegCloseKey(k);
  }
  std::printf("level=%d open=%u create=%u set=%u", level, open, create, set);
  return 0;
}

int SmallStack() {
  namespace os = vt::os;
  os::HKEY k = 0;
  if (os::RegCreateKeyEx(os::kHkeyCurrentUser, "Small", os::kKeyAllAccess, &k) != 0) return 102;
  const std::uint32_t v = 42;
  if (os::RegSetValueEx(k, "V", os::kRegDword, &v, 4) != 0) return 103;
  os::DWORD type = 0;
  std::vector<std::uint8_t> data;
  if (os::RegQueryValueEx(k, "V", &type, &data) != 0 || data.size() != 4 || data[0] != 42) return 104;
  std::vector<os::FwAuthorizedApplication> apps;
  if (os::FwGetAuthorizedApplications(&apps) != os::kSOk || apps.size() != 1) return 105;
  std::vector<std::uint8_t> in(100000), out(in.size() + vt::qlz::kCompressSlack);
  for (std::size_t i = 0; i < in.size(); ++i) in[i] = static_cast<std::uint8_t>(i * 7 % 251);
  if (vt::qlz::Compress(in.data(), in.size(), out.data(), out.size(), vt::qlz::Version::k131) == 0) return 106;
  std::printf("ok");
  return 0;
}

// Rewrites the name this process publishes for handle (in the handle
// directory among its descriptors) with native_name.
bool ForgePublishedName(vt::os::HANDLE handle, const std::string& native_name) {
  const std::string wanted = std::string("/memfd:") + vt::os::detail::kHandleDirectoryName + " ";
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    std::error_code error;
    if (std::filesystem::read_symlink(entry.path(), error).string().rfind(wanted, 0) != 0) continue;
    char record[vt::os::detail::kHandleEntrySize] = {};
    const auto length = static_cast<std::uint32_t>(native_name.size());
    std::memcpy(record, &length, 4);
    std::memcpy(record + 4, native_name.data(), native_name.size());
    const auto at = static_cast<off_t>((handle - vt::os::kHandleTableBase) / 4 * sizeof record);
    return ::pwrite(std::stoi(entry.path().filename().string()), record, sizeof record, at) == sizeof record;
  }
  return false;
}

// Enters a new user namespace in which this process is user and group 4242.
bool EnterOwnUserNamespace() {
  const auto write = [](const char* path, const std::string& text) {
    FILE* f = std::fopen(path, "w");
    const bool done = f && std::fputs(text.c_str(), f) >= 0;
    return (f && std::fclose(f) == 0) && done;
  };
  const std::string uid = "4242 " + std::to_string(::geteuid()) + " 1\n";
  const std::string gid = "4242 " + std::to_string(::getegid()) + " 1\n";
  return ::unshare(CLONE_NEWUSER) == 0 && write("/proc/self/setgroups", "deny") &&
         write("/proc/self/uid_map", uid) && write("/proc/self/gid_map", gid);
}

// Start-up of the library's units in the setup program's order.
int Session(int argc, char** argv) {
  if (argc < 3) return 100;
  static const vt::UnitEntry units[] = {
      vt::kSessionUnit,     vt::kFileStreamsUnit,    vt::kNotifyQueueUnit,       vt::kPacketsUnit,
      vt::kLogsUnit,        vt::kEventLogUnit,       vt::kObjectsUnit,           vt::kThreadPoolUnit,
      vt::kExceptionHooksUnit, vt::kAppRemoteControlUnit, vt::kProductInformationUnit,
  };
  try {
    vt::InitializeUnits(units);
  } catch (const std::exception& e) {
    std::printf("failed: %s\n", e.what());
    return 1;
  }
  auto* data = static_cast<unsigned char*>(vt::GetSessionData());
  std::printf("seen=%d\n", data[0]);
  data[0] = static_cast<unsigned char>(std::atoi(argv[2]));
  std::printf("started\n");
  std::fflush(stdout);
  char c;
  while (std::fread(&c, 1, 1, stdin) == 1) {
  }
  vt::FinalizeUnits();
  return 0;
}
}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return 100;
  std::string mode = argv[1];
  if (mode == "hook") return Hook(argc, argv);
  if (mode == "log") return Log(argc, argv);
  if (mode == "holdlog") return HoldLog();
  if (mode == "closelog") return CloseLogWhileWriting();
  if (mode == "regmachine") return RegMachine();
  if (mode == "smallstack") return SmallStack();
  if (mode == "session") return Session(argc, argv);
  if (mode == "caption") {
    static const vt::UnitEntry units[] = {vt::kPacketsUnit, vt::kProductInformationUnit};
    vt::InitializeUnits(units);
    std::printf("%s", vt::GetProductInfo("").ProductCaption.c_str());
    return 0;
  }
  if (mode == "regwrite" && argc > 3) {
    vt::os::HKEY k = 0;
    if (vt::os::RegCreateKeyEx(vt::os::kHkeyCurrentUser, "Concurrent", vt::os::kKeyAllAccess, &k) != 0) return 102;
    for (int i = 0, n = std::atoi(argv[2]); i < n; ++i) {
      const std::uint32_t v = static_cast<std::uint32_t>(i);
      if (vt::os::RegSetValueEx(k, std::string(argv[3]) + std::to_string(i), vt::os::kRegDword, &v, 4) != 0)
        return 103;
    }
    return 0;
  }
  const auto value = [](const char* name) { const char* v = std::getenv(name); return v ? v : "<unset>"; };
  if (mode == "args") {
    for (int i = 0; i < argc; ++i) std::fwrite(argv[i], 1, std::strlen(argv[i]) + 1, stdout);
  } else if (mode == "exit" && argc > 2) {
    return std::atoi(argv[2]);
  } else if (mode == "holdfile" && argc > 4) {
    const auto file = vt::os::CreateFile(argv[2], static_cast<vt::os::DWORD>(std::strtoul(argv[3], nullptr, 10)),
                                         static_cast<vt::os::DWORD>(std::strtoul(argv[4], nullptr, 10)),
                                         vt::os::kOpenExisting, 0);
    vt::os::HANDLE mutex = 0;
    const std::string object = argc > 5 ? argv[5] : "";
    if (file != vt::os::kInvalidFile && object.rfind("event:", 0) == 0)
      mutex = vt::os::CreateEventA(nullptr, true, true, object.substr(6));
    else if (file != vt::os::kInvalidFile && object.rfind("userns:", 0) == 0) {
      if (EnterOwnUserNamespace()) mutex = vt::os::CreateEventA(nullptr, true, true, object.substr(7));
      else vt::os::SetLastError(vt::os::kErrorNotSupported);
    }
    else if (file != vt::os::kInvalidFile && object.rfind("forge:", 0) == 0) {
      mutex = vt::os::CreateEventA(nullptr, true, true, "vt_forge_" + std::to_string(::getpid()));
      if (mutex && !ForgePublishedName(mutex, object.substr(6))) mutex = 0;
    }
    else if (file != vt::os::kInvalidFile && argc > 5)
      mutex = vt::os::CreateMutexA(nullptr, true, object);
    if (file == vt::os::kInvalidFile || (argc > 5 && !mutex))
      std::printf("error %u\n", vt::os::GetLastError());
    else
      std::printf("held %lld %lld\n", static_cast<long long>(file), static_cast<long long>(mutex));
    std::fflush(stdout);
    for (char c; std::fread(&c, 1, 1, stdin) == 1;) {
    }
  } else if (mode == "touch" && argc > 2) {
    return std::fopen(argv[2], "w") ? 0 : 102;
  } else if (mode == "kill") {
    return ::kill(::getpid(), SIGKILL), 101;
  } else if (mode == "sleep" && argc > 2) {
    std::this_thread::sleep_for(std::chrono::milliseconds(std::atoi(argv[2])));
  } else if (mode == "cwd") {
    std::printf("%s", std::filesystem::current_path().c_str());
  } else if (mode == "env" && argc > 2) {
    std::printf("%s", value(argv[2]));
  } else if (mode == "cmdline") {
    const std::string& line = vt::os::GetCommandLine();
    std::fwrite(line.c_str(), 1, line.size() + 1, stdout);
    std::printf("%s", value(vt::os::kCommandLineVariable));
  } else if (mode == "stdio" || mode == "stdin") {
    std::string in;
    char buf[4096];
    for (size_t n; (n = std::fread(buf, 1, sizeof buf, stdin)) > 0;) in.append(buf, n);
    if (mode == "stdin") std::fwrite(in.data(), 1, in.size(), stdout);
    if (mode == "stdio") std::fprintf(stdout, "out:%s", in.c_str()), std::fprintf(stderr, "err:%s", in.c_str());
  } else {
    return 100;
  }
  return 0;
}
