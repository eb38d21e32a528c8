// The run's clean-up when a processor fault strikes while it removes the
// setup folder.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "support/SetupRun.h"
#include "support/TestFiles.h"

namespace vt {
namespace {

namespace fs = std::filesystem;

// The inner setup unpacks a tree far deeper than the folders the removal
// holds open and ends with 3; a fault strikes on another thread while the
// clean-up has a deep folder moved up (one stands there for most of the
// removal, so a busy machine cannot make the fault miss it). The fault's handler finishes
// the removal: nothing stays, nothing is said to stay, the fault's message is
// shown and the run keeps the inner setup's exit code. Twice.
TEST(SetupCleanUp, AFaultDuringTheCleanUpFinishesItAndKeepsTheInnerSetupsCode) {
  test::TempFolder folder{"vt_cleanup"};
  const fs::path dir = folder.path(), tmp = dir / "tmp";
  fs::create_directories(tmp);
  test::SetupRuns runs(dir);
  const fs::path program = runs.Package("seam", "vt_install_fault_seam");
  for (int run_number = 0; run_number < 2; ++run_number) {
    const test::SetupRunResult run =
        runs.Run({program.string()}, {{"TMPDIR", tmp.string()},
                                      {"VT_TEST_FAULT", "segv:running"},
                                      {"VT_TEST_FAULT_WHEN", tmp.string() + "/Vontaro_Setup_{pid}/.deep.*"},
                                      {"VT_SAMPLE_SETUP_TREE", "3000:1"},
                                      {"VT_SAMPLE_SETUP_EXIT_CODE", "3"}});
    EXPECT_EQ(run.ExitCode(), 3) << run.out << run.err;
    EXPECT_NE(run.out.find("Fatal Error: Access violation (0xC0000005) at address 0x"), std::string::npos)
        << run.out;
    EXPECT_EQ(run.err.find("could not remove"), std::string::npos) << run.err;
    EXPECT_TRUE(fs::is_empty(tmp)) << run_number;
  }
}

}  // namespace
}  // namespace vt
