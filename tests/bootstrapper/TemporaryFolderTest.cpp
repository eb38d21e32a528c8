// The temporary folder as the machine gives it: read-only, or with little
// room.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "bootstrapper/SetupCore.h"
#include "support/SetupRun.h"
#include "support/TestFiles.h"

namespace vt {
namespace {

namespace fs = std::filesystem;

// TMPDIR on a file system mounted read-only (a private mount, root only),
// or a folder to be made under one: the message names the cause, not a
// denied access; a writable mount of the same kind runs.
TEST(SetupTemporaryFolder, ReadOnlyFileSystemIsNamedAsSuch) {
  test::TempFolder folder{"vt_rotmp"};
  const fs::path dir = folder.path(), tmp = dir / "tmp";
  fs::create_directories(tmp);
  test::WriteFileText(dir / "mount.sh", "mount -t tmpfs -o \"$1\" none \"$3\" || exit 99\nexec \"$2\"\n");
  test::SetupRuns runs(dir);
  const std::string program = test::ProgramBeside("vt_setup_console");
  for (const std::string options : {"ro", "rw", "ro missing", "rw missing"}) {
    SCOPED_TRACE(options);
    const bool missing = options.ends_with(" missing");
    const fs::path temp = missing ? tmp / "missing" / "sub" : tmp;
    const test::SetupRunResult run = runs.Run({"/usr/bin/unshare", "-m", "/bin/sh", (dir / "mount.sh").string(),
                                               options.substr(0, 2), program, tmp.string()},
                                              {{"TMPDIR", temp.string()}});
    if (run.ExitCode() == 99 || run.ExitCode() == 127 || (run.ExitCode() == 1 && run.out.empty()))
      GTEST_SKIP() << "cannot mount a file system here (needs root): " << run.err;
    if (options.starts_with("rw")) {
      EXPECT_EQ(run.ExitCode(), 0) << run.out;
      continue;
    }
    EXPECT_EQ(run.ExitCode(), 6);
    EXPECT_NE(run.out.find("Fatal Error: Cannot create directory '" + temp.string() +
                           (missing ? "'" : "/Vontaro_Setup_")),
              std::string::npos)
        << run.out;
    EXPECT_NE(run.out.find("': the file system is read-only.\r\nSet TMPDIR to a folder on a writable file "
                           "system and run setup again.\n"),
              std::string::npos)
        << run.out;
    EXPECT_EQ(run.out.find("Access is denied"), std::string::npos) << run.out;
  }
}

// TMPDIR on a file system of exactly the room the run needs at its peak
// (the tool, the payload, the package and Setup.exe's mapping together) runs;
// with one block less the check refuses it before writing, naming the
// sizes, and no later step runs out of space with a message of its own. A
// payload whose header gives no size decodes past the room: the message
// names the temporary folder and the sizes, not the tool's code.
TEST(SetupTemporaryFolder, FreeSpaceCheckCountsTheRunsPeak) {
  test::TempFolder folder{"vt_room"};
  const fs::path dir = folder.path(), tmp = dir / "tmp";
  fs::create_directories(tmp);
  test::WriteFileText(dir / "mount.sh", "mount -t tmpfs -o size=\"$1\" none \"$TMPDIR\" || exit 99\n\"$2\"\n"
                                        "code=$?\nls -A \"$TMPDIR\" >\"$3\"\nexit $code\n");
  test::SetupRuns runs(dir);
  const fs::path program = runs.Package("room");
  const auto size = [](const fs::path& p) { return static_cast<std::uint64_t>(fs::file_size(p)); };
  const TSetupMetadata meta{static_cast<std::int32_t>(size(test::ProgramFolder() / "vt_sample_setup.exe")), true};
  const std::uint64_t needed = SetupSpaceNeeded(size(test::ProgramFolder() / "vt_lzma"),
                                                size(dir / "room.pak.lzma"), size(dir / "room.pak"), meta);
  ASSERT_EQ(needed % 4096, 0u);
  const auto run_in = [&](std::uint64_t room, const fs::path& what) {
    return runs.Run({"/usr/bin/unshare", "-m", "/bin/sh", (dir / "mount.sh").string(), std::to_string(room),
                     what.string(), (dir / "left").string()},
                    {{"TMPDIR", tmp.string()}});
  };
  test::SetupRunResult run = run_in(needed, program);
  if (run.ExitCode() == 99 || run.ExitCode() == 127 || (run.ExitCode() == 1 && run.out.empty()))
    GTEST_SKIP() << "cannot mount a file system here (needs root): " << run.err;
  EXPECT_EQ(run.ExitCode(), 0) << run.out;
  EXPECT_NE(run.out.find("\nexit_code=0\n"), std::string::npos) << run.out;

  run = run_in(needed - 4096, program);
  EXPECT_EQ(run.ExitCode(), 6);
  EXPECT_TRUE(run.out.ends_with("Please wait...\nFatal Error: Not enough free space to extract setup: " +
                                std::to_string(needed) + " bytes needed, " + std::to_string(needed - 4096) +
                                " free.\n"))
      << run.out;
  EXPECT_EQ(test::ReadFileText(dir / "left"), "");

  // 3 MiB of zeros in a payload without its size: the check counts what it
  // knows, the decoding fills the file system.
  if (test::Shell("xz --version >/dev/null") != 0) GTEST_SKIP() << "the system's xz is not installed";
  test::WriteFileText(dir / "zeros.bin", std::string(3 << 20, '\0'));
  const fs::path pak = dir / "zeros.pak", exe = test::ProgramFolder() / "vt_sample_setup.exe";
  ASSERT_EQ(test::Shell(test::Q(test::ProgramFolder() / "vt_make_setup_pak") + " " + test::Q(exe) + " " +
                        test::Q(pak) + " --file zeros.bin " + test::Q(dir / "zeros.bin")),
            0);
  ASSERT_EQ(std::system(("xz --format=lzma -c " + test::Q(pak) + " >" + test::Q(dir / "zeros.lzma")).c_str()), 0);
  const fs::path zeros = dir / "zeros";
  std::string meta_bytes;
  for (int b = 0; b < 4; ++b) meta_bytes += static_cast<char>((meta.SetupExeSize >> (8 * b)) & 0xFF);
  test::WriteFileText(dir / "zeros.meta", meta_bytes + '\1');
  ASSERT_EQ(test::Shell(test::Q(test::ProgramFolder() / "vtpack") + " " + test::Q(test::ProgramFolder() / "vt_install") +
                        " -o " + test::Q(zeros) + " --subsystem console --add RCDATA 1000 " +
                        test::Q(dir / "zeros.lzma") + " --add RCDATA 1002 " +
                        test::Q(test::ProgramFolder() / "vt_lzma") + " --add RCDATA 1001 " +
                        test::Q(dir / "zeros.meta")),
            0);
  const std::uint64_t known =
      SetupSpaceNeeded(size(test::ProgramFolder() / "vt_lzma"), size(dir / "zeros.lzma"), ~std::uint64_t{0}, meta);
  const std::uint64_t room = known + (1 << 20);
  run = run_in(room, zeros);
  EXPECT_EQ(run.ExitCode(), 6);
  EXPECT_NE(run.out.find("Please wait......\nFatal Error: The temporary folder '" + tmp.string() +
                         "/Vontaro_Setup_"),
            std::string::npos)
      << run.out;
  EXPECT_TRUE(run.out.ends_with("' has not enough free space for setup: " + std::to_string(known) +
                                " bytes needed, " + std::to_string(room) +
                                " free when setup began.\r\nFree space there, or set TMPDIR to a folder with "
                                "more, and run setup again.\n"))
      << run.out;
  EXPECT_EQ(test::ReadFileText(dir / "left"), "");
}

}  // namespace
}  // namespace vt
