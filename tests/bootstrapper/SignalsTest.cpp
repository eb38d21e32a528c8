// Signals that reach a bootstrapper run from outside: termination requests
// at any point around the inner setup's start, and fault signals that a
// process sends.
#include <signal.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "platform/Process.h"
#include "support/Patience.h"
#include "support/Sanitized.h"
#include "support/SetupRun.h"
#include "support/TestFiles.h"

namespace vt {
namespace {

namespace fs = std::filesystem;

class SetupSignals : public test::TempFolderTest {
 protected:
  void SetUp() override { fs::create_directories(tmp_); }
  bool TmpIsEmpty() const { return fs::is_empty(tmp_); }

  const fs::path tmp_ = fs::path(dir_) / "tmp";
  test::SetupRuns runs_{dir_};
};

// The run's code for an inner setup that a signal ended.
int PassedOnCode(int signal) { return static_cast<int>((os::kExitCodeSignalBase + signal) % 256); }

// The program sends itself SIGHUP, SIGINT or SIGTERM as the LZMA tool is
// about to start, or as the inner setup is, at once and after short delays:
// each run is either stopped (6, the message, the inner setup never ran) or
// the signal reaches the inner setup (which ends by it); none is lost (the
// inner setup would sleep a minute and end with 0).
TEST_F(SetupSignals, TerminationRequestsAroundTheInnerSetupsStartStopTheRunOrPassOn) {
  const fs::path program = runs_.Package("seam", "vt_install_fault_seam");
  const struct {
    const char* kind;
    int signal;
  } kinds[] = {{"hup", SIGHUP}, {"int", SIGINT}, {"term", SIGTERM}};
  for (const char* phase : {"decoding", "running"}) {
    for (const auto& kind : kinds) {
      for (const char* delay_us : {"0", "30", "100", "300", "1000", "3000", "10000"}) {
        const std::string where = std::string(kind.kind) + ":" + phase + " after " + delay_us + " us";
        const fs::path report = dir_ + "/report";
        fs::remove(report);
        const test::SetupRunResult run =
            runs_.Run({program.string()}, {{"TMPDIR", tmp_.string()},
                                           {"VT_TEST_FAULT", std::string(kind.kind) + ":" + phase},
                                           {"VT_TEST_FAULT_DELAY_US", delay_us},
                                           {"VT_SAMPLE_SETUP_REPORT", report.string()},
                                           {"VT_SAMPLE_SETUP_SLEEP_MS", "60000"}});
        const std::string message = "Fatal Error: Setup was interrupted by signal " + std::to_string(kind.signal) + ".\n";
        if (run.ExitCode() == 6) {
          EXPECT_TRUE(run.out.ends_with(message)) << where << "\n" << run.out;
          EXPECT_EQ(test::ReadFileText(report), "") << where;  // the inner setup never ran
        } else {
          EXPECT_EQ(run.ExitCode(), PassedOnCode(kind.signal)) << where << "\n" << run.out;
        }
        EXPECT_TRUE(TmpIsEmpty()) << where;
      }
    }
  }
}

// SIGSEGV, SIGBUS, SIGFPE and SIGILL sent by another process (kill -SEGV)
// are termination requests, not faults: while the LZMA tool runs they stop
// the run with the message, exit code 6 and the folder removed; while the
// inner setup runs they are passed on to it. The log records no fault
// (a real fault keeps its course: the processor-fault tests).
TEST_F(SetupSignals, FaultSignalsSentByAProcessAreTerminationRequests) {
  const fs::path slow_tool = runs_.Package("slowtool", "vt_install", test::ProgramFolder() / "vt_sample_setup.exe");
  const fs::path normal = runs_.Package("normal");
  for (const int signal : {SIGSEGV, SIGBUS, SIGFPE, SIGILL}) {
    for (const bool during_tool : {true, false}) {
      const std::string where = std::to_string(signal) + (during_tool ? " during the tool" : " during the setup");
      const fs::path report = dir_ + "/report";
      fs::remove(report);
      int child = 0;
      const test::SetupRunResult run =
          runs_.Run({(during_tool ? slow_tool : normal).string()},
                    {{"TMPDIR", tmp_.string()},
                     {"VT_SAMPLE_SETUP_REPORT", report.string()},
                     {"VT_SAMPLE_SETUP_SLEEP_MS", "60000"}},
                    [&](pid_t pid) {
                      child = test::ReportedPid(report);
                      EXPECT_EQ(test::ParentOf(child), pid) << where;
                      test::Signal(pid, signal);
                    });
      if (during_tool) {
        EXPECT_EQ(run.ExitCode(), 6) << where << "\n" << run.out;
        EXPECT_TRUE(run.out.ends_with("Fatal Error: Setup was interrupted by signal " + std::to_string(signal) +
                                      ".\n"))
            << where << "\n" << run.out;
      } else {
#ifdef VT_TEST_SANITIZED
        // The sanitizer in the inner setup takes the signal first and ends it with 1.
        EXPECT_TRUE(run.ExitCode() == PassedOnCode(signal) || run.ExitCode() == 1) << where << "\n" << run.out;
#else
        EXPECT_EQ(run.ExitCode(), PassedOnCode(signal)) << where << "\n" << run.out;
#endif
      }
      EXPECT_EQ(run.out.find("Access violation"), std::string::npos) << where;
      EXPECT_TRUE(child > 0 && test::WaitPatiently([&] { return test::ParentOf(child) == 0; })) << where;
      EXPECT_TRUE(TmpIsEmpty()) << where;
    }
  }
  const std::string log = test::ReadFileText(dir_ + "/Logs/slowtool.log");
  EXPECT_EQ(log.find("Code=0xC0"), std::string::npos) << log;  // a fault's status code
}

}  // namespace
}  // namespace vt
