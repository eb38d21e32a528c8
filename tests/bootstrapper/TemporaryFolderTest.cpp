// The temporary folder as the machine gives it: read-only.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "support/SetupRun.h"
#include "support/TestFiles.h"

namespace vt {
namespace {

namespace fs = std::filesystem;

// TMPDIR on a file system mounted read-only (a private mount, root only):
// the message names the cause, not a denied access; a writable mount of the
// same kind runs.
TEST(SetupTemporaryFolder, ReadOnlyFileSystemIsNamedAsSuch) {
  test::TempFolder folder{"vt_rotmp"};
  const fs::path dir = folder.path(), tmp = dir / "tmp";
  fs::create_directories(tmp);
  test::WriteFileText(dir / "mount.sh", "mount -t tmpfs -o \"$1\" none \"$TMPDIR\" || exit 99\nexec \"$2\"\n");
  test::SetupRuns runs(dir);
  const std::string program = test::ProgramBeside("vt_setup_console");
  for (const std::string options : {"ro", "rw"}) {
    const test::SetupRunResult run = runs.Run(
        {"/usr/bin/unshare", "-m", "/bin/sh", (dir / "mount.sh").string(), options, program},
        {{"TMPDIR", tmp.string()}});
    if (run.ExitCode() == 99 || run.ExitCode() == 127 || (run.ExitCode() == 1 && run.out.empty()))
      GTEST_SKIP() << "cannot mount a file system here (needs root): " << run.err;
    if (options == "rw") {
      EXPECT_EQ(run.ExitCode(), 0) << run.out;
      continue;
    }
    EXPECT_EQ(run.ExitCode(), 6);
    EXPECT_NE(run.out.find("Fatal Error: Cannot create directory '" + tmp.string() +
                           "/Vontaro_Setup_"),
              std::string::npos)
        << run.out;
    EXPECT_NE(run.out.find("': the file system is read-only.\r\nSet TMPDIR to a folder on a writable file "
                           "system and run setup again.\n"),
              std::string::npos)
        << run.out;
    EXPECT_EQ(run.out.find("Access is denied"), std::string::npos) << run.out;
  }
}

}  // namespace
}  // namespace vt
