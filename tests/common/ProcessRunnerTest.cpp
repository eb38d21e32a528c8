#include "common/ProcessRunner.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>



#include "common/ObjectsFiles.h"
#include "common/SysUtils.h"
#include "platform/LastError.h"
#include "platform/Process.h"
#include "support/TestFiles.h"

namespace vt {
namespace {

namespace fs = std::filesystem;

using test::ReadFileText;
using test::TempFolder;

std::string Child() { return test::ProgramBeside("vt_proc_child"); }

// "<text> #<code>" of the OS error f raises.
template <typename F>
std::string OSError(F&& f) { return test::CodedMessageOf<EOSError>(f); }

TEST(RunProcess, WaitsAndReturnsTheExitCode) {
  EXPECT_EQ(RunProcess("\"" + Child() + "\" exit 42", true), 42);
  // The unpacking tool's options: hidden, new console, no error dialogs.
  EXPECT_EQ(RunProcess(Child() + " exit 3", true, 0x00040009), 3);
  // A crashing child is no success.
  EXPECT_EQ(static_cast<std::uint32_t>(RunProcess(Child() + " kill", true)), os::kExitCodeSignalBase + SIGKILL);

  // Without waiting: -1 at once, the caller may own the handles.
  TProcessInformation pi{};
  EXPECT_EQ(RunProcess(Child() + " exit 8", false, 0, {}, &pi), -1);
  EXPECT_NE(pi.dwProcessId, 0u);
  EXPECT_EQ(os::WaitForProcess(pi.hProcess, os::kInfinite), os::kWaitObject0);
  std::uint32_t code = 0;
  EXPECT_TRUE(os::GetExitCodeProcess(pi.hProcess, &code));
  EXPECT_EQ(code, 8u);
  EXPECT_TRUE(os::CloseHandle(pi.hProcess) && os::CloseHandle(pi.hThread));
}

TEST(RunProcess, StartFailuresNameTheAttempt) {
  TempFolder dir;
  const std::string missing = "\"" + (dir.path() / "missing.exe").string() + "\" /x";
  unsigned mode = os::SetErrorMode(0x1);
  const std::string not_found = ": The system cannot find the file specified (2) #2";
  EXPECT_EQ(OSError([&] { RunProcess(missing, true, roNoErrorDialogs); }),
            "Failed to create process: ; " + missing + not_found);
  EXPECT_EQ(os::GetErrorMode(), 0x1u);  // restored although the start raised
  // Percent signs in the command line are no format.
  EXPECT_EQ(OSError([&] { RunProcess("vt_no_such_%s_%d", true); }),
            "Failed to create process: ; vt_no_such_%s_%d" + not_found);
  EXPECT_EQ(OSError([&] { RunProcess("", true, 0, {}, nullptr, nullptr, nullptr, 0, ""); }),
            "Failed to create process: ;  " + not_found);

  // A PE image without a program for this system.
  fs::path pe = dir.path() / "Setup.exe";
  std::ofstream(pe, std::ios::binary) << "MZ" << std::string(100, '\0');
  fs::permissions(pe, fs::perms::owner_all);
  const std::string bad = OSError([&] { RunProcess("\"" + pe.string() + "\"", true); });
  EXPECT_NE(bad.find(": " + pe.string() + " is not a valid Win32 application (193) #193"), std::string::npos) << bad;
  // Both attempts fail: the report names the interpreter's.
  EXPECT_EQ(OSError([&] { RunProcess("exit 4", true, roCmdFallback, (dir.path() / "none").string()); }),
            "Failed to create process: " + CommandInterpreterPath() +
                "; cmd /c \"exit 4\": The directory name is invalid (267) #267");
  os::SetErrorMode(mode);
}

TEST(RunProcess, CommandInterpreterRedirectionDirectoryAndEnvironment) {
  // "cmd.exe" in the system folder; "exit" is no program: only the interpreter runs it.
  EXPECT_EQ(CommandInterpreterPath(), GetSystemDir() + "cmd.exe");
  EXPECT_EQ(RunProcess("exit 4", true, roCmdFallback), 4);
  EXPECT_EQ(RunProcess("exit 5", true, roUseCmd), 5);
  TempFolder dir;
  fs::path out = dir.path() / "out";
  int fd = ::open(out.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600);
  TStdHandles std_handles{fd, -1, 2};
  // With roUseCmd no direct attempt is made, even for a real program.
  EXPECT_EQ(RunProcess("echo $((6*7))", true, roUseCmd, {}, nullptr, nullptr, &std_handles), 0);
  const char env[] = "VT_SETTING=on\0";
  EXPECT_EQ(RunProcess(Child() + " env VT_SETTING", true, 0, {}, nullptr, env, &std_handles), 0);
  EXPECT_EQ(RunProcess(Child() + " cwd", true, roHideWindow | roMaximized, dir.path().string(), nullptr, nullptr,
                       &std_handles), 0);
  ::close(fd);
  EXPECT_EQ(ReadFileText(out), "42\non" + dir.path().string());
}

TEST(RunProcess, RuntimeHandleBlockHandsTheChildTheStandardHandles) {
  TempFolder dir;
  int pipe_fds[2];
  ASSERT_EQ(::pipe(pipe_fds), 0);
  const int file = ::open((dir.path() / "f").c_str(), O_CREAT | O_RDWR | O_CLOEXEC, 0600);
  const int null_device = ::open("/dev/null", O_RDWR | O_CLOEXEC);
  const std::vector<std::uint8_t> block = RuntimeHandleBlock(pipe_fds[0], file, null_device);
  std::vector<std::uint8_t> expected = {3, 0, 0, 0, 0x89, 0x81, 0xC1};
  for (int fd : {pipe_fds[0], file, null_device})
    for (int b = 0; b < 4; ++b) expected.push_back(static_cast<std::uint8_t>(fd >> (8 * b)));
  EXPECT_EQ(block, expected);
  EXPECT_EQ(RuntimeHandleBlock(-1, -1, -1)[4], 0xC1);
  for (int fd : {pipe_fds[0], pipe_fds[1], file, null_device}) ::close(fd);

  // A hidden child in a new console gets the null device as its standard
  // handles; with the block it gets ours instead.
  test::WriteFileText(dir.path() / "in", "abc");
  auto run = [&](TRunProcessOptions options) {
    const std::string names[3] = {"in", "out", "err"};
    int saved[3];
    std::fflush(nullptr);
    for (int i = 0; i < 3; ++i) {
      saved[i] = ::dup(i);
      int fd = ::open((dir.path() / names[i]).c_str(), i == 0 ? O_RDONLY : O_CREAT | O_TRUNC | O_WRONLY, 0600);
      ::dup2(fd, i);
      ::close(fd);
    }
    int code = RunProcess(Child() + " stdio", true, roHideWindow | roNewConsole | options);
    for (int i = 0; i < 3; ++i) ::dup2(saved[i], i), ::close(saved[i]);
    return code;
  };
  EXPECT_EQ(run(0), 0);
  EXPECT_EQ(ReadFileText(dir.path() / "out") + ReadFileText(dir.path() / "err"), "");
  EXPECT_EQ(run(roPassStdHandlesToCrt), 0);
  EXPECT_EQ(ReadFileText(dir.path() / "out") + ReadFileText(dir.path() / "err"), "out:abcerr:abc");
}

TEST(RunProcess, FailedWaitRaisesInsteadOfReturningACode) {
  // Children reaped by the system leave nothing to wait for.
  struct sigaction old {};
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  ::sigaction(SIGCHLD, &ignore, &old);
  const std::string e = OSError([&] { RunProcess(Child() + " exit 3", true); });
  ::sigaction(SIGCHLD, &old, nullptr);
  EXPECT_EQ(e, "Wait operation failed: There are no child processes to wait for (128) #128");
}

}  // namespace
}  // namespace vt

namespace vt {
namespace {

TEST(RunProcess, SuspendedChildWaitsForItsThreadToResume) {
  TempFolder dir;
  const std::string marker = dir.File("ran");
  TProcessInformation pi{};
  EXPECT_EQ(RunProcess(test::ProgramBeside("vt_proc_child") + " touch " + marker, false, roSuspended, {}, &pi), -1);
  EXPECT_NE(pi.dwProcessId, 0u);
  EXPECT_EQ(os::WaitForProcess(pi.hProcess, 20), os::kWaitTimeout);
  EXPECT_FALSE(fs::exists(marker));
  EXPECT_EQ(os::ResumeChildThread(pi.hThread), 1u);
  EXPECT_EQ(os::WaitForProcess(pi.hProcess, os::kInfinite), os::kWaitObject0);
  EXPECT_TRUE(fs::exists(marker));
  os::CloseHandle(pi.hProcess);
  os::CloseHandle(pi.hThread);
}

TEST(RunProcess, UserTokenRunsTheChildAsItsUser) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to start a child as user 65534";
  TempFolder dir;
  const std::string out = dir.File("uid");
  const int fd = ::open(out.c_str(), O_CREAT | O_RDWR | O_CLOEXEC, 0600);
  ASSERT_GE(fd, 0);
  const os::HANDLE token = os::CreateUserToken(65534, 65534, {});
  ASSERT_NE(token, 0);
  const TStdHandles std_handles{fd, -1, 2};
  EXPECT_EQ(RunProcess("id -u", true, 0, {}, nullptr, nullptr, &std_handles, token), 0);
  ::close(fd);
  EXPECT_EQ(ReadFileText(out), "65534\n");
  os::CloseHandle(token);
  // Anything but a token is refused before a child exists.
  const std::string refused = OSError([] { RunProcess("id -u", true, 0, {}, nullptr, nullptr, nullptr, 0x7FFFFFF0); });
  EXPECT_EQ(refused.substr(0, 31), "Failed to create process: ; id ");
  EXPECT_EQ(refused.substr(refused.size() - 2), "#6");
}

}  // namespace
}  // namespace vt

namespace vt {
namespace {

TEST(RunProcess, TooLongCommandLineSaysSo) {
  const std::string line = test::ProgramBeside("vt_proc_child") + " exit 0 " + std::string(40000, 'a');
  const std::string message = OSError([&] { RunProcess(line, true); });
  EXPECT_NE(message.find("the command line is too long: " + std::to_string(line.size()) + " characters, at most 32766"),
            std::string::npos)
      << message;
  EXPECT_EQ(message.substr(message.size() - 4), "#206");
  EXPECT_LT(message.size(), 1000u);
}

}  // namespace
}  // namespace vt
