// Test child: a console program that starts the common library's units in
// the program's order, writes the library's own log records through them
// and ends. Usage: vt_startup_child records
//   records  a thread whose body raises; a thread that cannot be created;
//            from another thread, a notification that raises and a named
//            one served late by the notify loop; one notification left
//            undelivered
//   closelog keep|direct  writes a record, closes the log with
//            CloseLog(false|true); exit code 0 when the log file is still
//            open in the process afterwards, 1 when it is not
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>

#include "common/AppRemoteControl.h"
#include "common/EventLog.h"
#include "common/ExceptionHooks.h"
#include "common/ExceptionPacket.h"
#include "common/FileStreams.h"
#include "common/Logs.h"
#include "common/NotifyQueue.h"
#include "common/ObjectsUnit.h"
#include "common/Packets.h"
#include "common/ProductInformation.h"
#include "common/Session.h"
#include "common/ThreadPool.h"
#include "common/Threads.h"
#include "common/Units.h"
#include "platform/Process.h"

namespace {

// The common library's units in the program's order.
const vt::UnitEntry kUnits[] = {
    vt::kSessionUnit,     vt::kFileStreamsUnit,   vt::kNotifyQueueUnit,       vt::kPacketsUnit,
    vt::kLogsUnit,        vt::kEventLogUnit,      vt::kObjectsUnit,           vt::kThreadPoolUnit,
    vt::kExceptionHooksUnit, vt::kAppRemoteControlUnit, vt::kProductInformationUnit, vt::kExceptionPacketUnit,
};

class TChildSource : public vt::TObject {};
class TChildPayload : public vt::TObject {};

class TRaisingThread : public vt::TSafeThread {
 public:
  explicit TRaisingThread(std::size_t stack_size = 0) : TSafeThread(false, false, stack_size) {}
  ~TRaisingThread() override { StopAndWait(); }

 protected:
  void Execute() override { throw vt::Exception("thread body failed"); }
};

int Records() {
  if (vt::MakeThread<TRaisingThread>()->WaitFor() != vt::kThreadErrorExitCode) return 10;
  // No stack of this size can be had.
  auto failed = vt::MakeThread<TRaisingThread>(std::size_t{1} << 60);
  if (failed->Handle() != nullptr) return 11;

  vt::TNotifyQueue* queue = vt::CurrentNotifyQueue();
  if (!queue || queue->Mode() != 0) return 12;
  static TChildSource source;
  std::thread poster([] {
    vt::PostNotification(vt::npNormal, &source,
                         [](vt::TNotifyQueueItem&) { throw vt::Exception("notification failed"); });
    vt::PostNotification(vt::npLow, &source, [](vt::TNotifyQueueItem&) {}, nullptr, "LateNotification");
  });
  poster.join();
  // Served more than a second after it was posted: a debug record.
  vt::os::Sleep(1100);
  // The notify loop serves both, then a clock ends it.
  auto clock = vt::CreateClock(20, true, [queue](vt::TClock&) { queue->StopNotifyLoop(); });
  queue->RunNotifyLoop();
  clock.reset();
  static TChildPayload payload;
  if (!vt::PostNotification(vt::npLow, &source, [](vt::TNotifyQueueItem&) {}, &payload)) return 13;
  return 0;
}

bool LogFileOpen() {
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd", ec))
    if (std::filesystem::read_symlink(entry.path(), ec) == vt::LogFileName()) return true;
  return false;
}

int CloseLogAndLook(const std::string& how) {
  vt::LogMessage("before close");
  if (!LogFileOpen()) return 10;
  vt::CloseLog(how == "direct");
  return LogFileOpen() ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return 100;
  vt::os::EnsureStandardHandles();
  vt::SetConsoleProgram(true);
  vt::InitializeUnits(kUnits);
  const std::string mode = argv[1];
  int code = 100;
  if (mode == "records") code = Records();
  if (mode == "closelog" && argc > 2) code = CloseLogAndLook(argv[2]);
  vt::FinalizeUnits();
  return code;
}
