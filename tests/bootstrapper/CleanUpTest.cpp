// The run's clean-up when a processor fault strikes while it removes the
// setup folder.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "support/SetupRun.h"
#include "support/TestFiles.h"

namespace vt {
namespace {

namespace fs = std::filesystem;

const std::string kCleanUpFault =
    "Setup met a fault during its clean-up, after the inner setup had ended: Access violation (0xC0000005) at "
    "address 0x";

// The inner setup unpacks a tree far deeper than the folders the removal
// holds open and ends with 3 or 0; a fault strikes on another thread while
// the clean-up has a deep folder moved up (one stands there for most of the
// removal, so a busy machine cannot make the fault miss it). The fault's
// handler finishes the removal: nothing stays, and the run keeps the inner
// setup's exit code. Standard error says that the clean-up met the fault
// and removed the folder; nothing says that setup cannot continue.
TEST(SetupCleanUp, AFaultDuringTheCleanUpFinishesItAndKeepsTheInnerSetupsCode) {
  test::TempFolder folder{"vt_cleanup"};
  const fs::path dir = folder.path(), tmp = dir / "tmp";
  fs::create_directories(tmp);
  test::SetupRuns runs(dir);
  const fs::path program = runs.Package("seam", "vt_install_fault_seam");
  for (const int code : {3, 0}) {
    SCOPED_TRACE(code);
    pid_t pid = 0;
    const test::SetupRunResult run =
        runs.Run({program.string()},
                 {{"TMPDIR", tmp.string()},
                  {"VT_TEST_FAULT", "segv:running"},
                  {"VT_TEST_FAULT_WHEN", tmp.string() + "/Vontaro_Setup_{pid}/.deep.*"},
                  {"VT_SAMPLE_SETUP_TREE", "3000:1"},
                  {"VT_SAMPLE_SETUP_EXIT_CODE", std::to_string(code)}},
                 [&](pid_t started) { pid = started; });
    EXPECT_EQ(run.ExitCode(), code) << run.out << run.err;
    EXPECT_NE(run.err.find(kCleanUpFault), std::string::npos) << run.err;
    EXPECT_NE(run.err.find(". The clean-up went on and removed the folder '" + tmp.string() + "/Vontaro_Setup_" +
                           std::to_string(pid) + "'.\n"),
              std::string::npos)
        << run.err;
    EXPECT_EQ(run.err.find("could not remove"), std::string::npos) << run.err;
    EXPECT_EQ((run.out + run.err).find("Setup cannot continue"), std::string::npos) << run.out << run.err;
    EXPECT_EQ(run.out.find("Fatal Error"), std::string::npos) << run.out;
    EXPECT_TRUE(fs::is_empty(tmp));
  }
}

// The same fault while a mount inside the folder (as a process the inner
// setup left behind would keep it busy) cannot go: the run keeps the inner
// setup's 0, and the one message names the fault and what stays.
TEST(SetupCleanUp, AFaultDuringAFailingCleanUpSaysWhatStays) {
  if (::geteuid() != 0 || test::Shell("unshare -m true") != 0 || !fs::exists("/usr/bin/nsenter"))
    GTEST_SKIP() << "needs root, unshare -m and nsenter to keep a folder busy";
  test::TempFolder folder{"vt_cleanup_busy"};
  const fs::path dir = folder.path(), tmp = dir / "tmp", report = dir / "report", go = dir / "mounted";
  fs::create_directories(tmp);
  test::SetupRuns runs(dir);
  const fs::path program = runs.Package("seam", "vt_install_fault_seam");
  fs::path busy;
  const test::SetupRunResult run = runs.Run(
      {"/usr/bin/unshare", "-m", program.string()},
      {{"TMPDIR", tmp.string()},
       {"VT_TEST_FAULT", "segv:running"},
       {"VT_TEST_FAULT_WHEN", tmp.string() + "/Vontaro_Setup_{pid}/.deep.*"},
       {"VT_SAMPLE_SETUP_TREE", "3000:1"},
       {"VT_SAMPLE_SETUP_REPORT", report.string()},
       {"VT_SAMPLE_SETUP_WAIT_FOR", go.string()}},
      [&](pid_t pid) {
        const int child = test::ReportedPid(report);
        busy = tmp / ("Vontaro_Setup_" + std::to_string(pid)) / "busy";
        fs::create_directory(busy);
        EXPECT_EQ(test::Shell("nsenter -t " + std::to_string(child) + " -m mount -t tmpfs none " + test::Q(busy)), 0);
        test::WriteFileText(go, "");
      });
  EXPECT_EQ(run.ExitCode(), 0) << run.out << run.err;
  EXPECT_NE(run.err.find(kCleanUpFault), std::string::npos) << run.err;
  EXPECT_NE(run.err.find(". The clean-up went on; of the folder '" + busy.parent_path().string() +
                         "', 'busy' stays: The requested resource is in use (170).\n"),
            std::string::npos)
      << run.err;
  EXPECT_EQ(run.err.find("could not remove"), std::string::npos) << run.err;  // one message
  EXPECT_EQ((run.out + run.err).find("Setup cannot continue"), std::string::npos) << run.out << run.err;
  int left = 0;
  for (const auto& entry : fs::directory_iterator(busy.parent_path())) left += entry.path() == busy ? 1 : 100;
  EXPECT_EQ(left, 1);
}

}  // namespace
}  // namespace vt
