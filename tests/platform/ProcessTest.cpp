#include "platform/Process.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>


#include <sstream>

#include "platform/CommandLine.h"
#include "platform/PeExec.h"
#include "platform/Sync.h"
#include "support/TestFiles.h"
#include "support/Patience.h"

namespace vt::os {
namespace {

namespace fs = std::filesystem;

using test::ReadFileText;
using test::TempFolder;

std::string Child() { return test::ProgramBeside("vt_proc_child"); }

struct Result {
  bool created = false;
  DWORD error = 0;
  DWORD exit_code = 0;
  std::string out;
};

// Starts a child with its standard output in a file and waits for it.
Result Start(const std::string& application, const std::string& command_line, DWORD flags = 0,
           const void* env = nullptr, const std::string& cwd = {}, int input_fd = -1) {
  TempFolder dir;
  fs::path out = dir.path() / "out";
  int fd = ::open(out.c_str(), O_CREAT | O_RDWR | O_CLOEXEC, 0600);
  StartupInfo si;
  si.flags = kStartfUseStdHandles;
  si.std_output = fd;
  si.std_error = 2;
  si.std_input = input_fd;
  ProcessInformation pi;
  Result r;
  r.created = CreateProcess(application, command_line, false, flags, env, cwd, si, &pi);
  r.error = GetLastError();
  ::close(fd);
  if (!r.created) return r;
  EXPECT_EQ(WaitForProcess(pi.process, kInfinite), kWaitObject0);
  EXPECT_TRUE(GetExitCodeProcess(pi.process, &r.exit_code));
  EXPECT_TRUE(CloseHandle(pi.process) && CloseHandle(pi.thread));
  r.out = ReadFileText(out);
  return r;
}

// The error of a start that fails, or ~0 when the child started.
DWORD StartError(const std::string& application, const std::string& command_line, DWORD flags = 0,
                 const std::string& cwd = {}) {
  Result r = Start(application, command_line, flags, nullptr, cwd);
  return r.created ? ~0u : r.error;
}

// The pieces of s, each ended by a NUL.
std::vector<std::string> SplitNul(const std::string& s) {
  std::vector<std::string> v;
  for (size_t start = 0, end; (end = s.find('\0', start)) != std::string::npos; start = end + 1)
    v.push_back(s.substr(start, end - start));
  return v;
}

// A file made of a small PE stub, then body, then the trailer that points at body.
void WritePe(const fs::path& path, const std::string& body) {
  const std::string pe = "MZ" + std::string(126, '\x01');
  std::uint8_t trailer[peexec::kTrailerSize];
  peexec::WriteTrailer(trailer, pe.size());
  std::ofstream f(path, std::ios::binary);
  f << pe << body;
  f.write(reinterpret_cast<const char*>(trailer), sizeof trailer);
  f.close();
  fs::permissions(path, fs::perms::owner_all);
}

TEST(Process, ChildReceivesArgumentsOfAWindowsCommandLine) {
  const std::string line = "\"" + Child() + R"(" args "a b" c\"d "e\\" f\\g "" "x""y")";
  Result r = Start({}, line);
  ASSERT_TRUE(r.created) << r.error;
  EXPECT_EQ(r.exit_code, 0u);
  EXPECT_EQ(SplitNul(r.out),
            (std::vector<std::string>{Child(), "args", "a b", "c\"d", "e\\", "f\\\\g", "", "x\"y"}));

  // With an application name the command line only gives the arguments.
  r = Start(Child(), "first args second");
  ASSERT_TRUE(r.created);
  EXPECT_EQ(SplitNul(r.out), (std::vector<std::string>{"first", "args", "second"}));
}

TEST(Process, ExitCodesAndWaiting) {
  // Only 8 bits survive on this system; a child ended by a signal never reads as success.
  for (const auto& [args, code] : {std::pair<const char*, DWORD>{" exit 7", 7}, {" exit 255", 255}, {" exit 260", 4},
                                   {" kill", kExitCodeSignalBase + SIGKILL}})
    EXPECT_EQ(Start({}, Child() + args).exit_code, code) << args;

  StartupInfo si;
  ProcessInformation pi;
  ASSERT_TRUE(CreateProcess({}, Child() + " sleep 3000", false, 0, nullptr, {}, si, &pi));
  EXPECT_EQ(pi.process_id, pi.thread_id);
  EXPECT_EQ(GetProcessId(pi.process), pi.process_id);
  EXPECT_EQ(WaitForProcess(pi.process, 50), kWaitTimeout);
  DWORD code = 0;
  EXPECT_TRUE(GetExitCodeProcess(pi.process, &code));
  EXPECT_EQ(code, kStillActive);
  vt::test::Signal(static_cast<pid_t>(pi.process_id), SIGTERM);
  // Both handles see the same child.
  EXPECT_EQ(WaitForSingleObject(pi.thread, kInfinite), kWaitObject0);
  EXPECT_EQ(WaitForProcess(pi.process, 0), kWaitObject0);
  EXPECT_TRUE(GetExitCodeProcess(pi.process, &code));
  EXPECT_EQ(code, kExitCodeSignalBase + SIGTERM);
  EXPECT_TRUE(CloseHandle(pi.process) && CloseHandle(pi.thread));
  EXPECT_EQ(WaitForProcess(pi.process, 0), kWaitFailed);
}

TEST(Process, StartFailuresGiveWindowsErrors) {
  TempFolder dir;
  const fs::path plain_pe = dir.path() / "Plain.exe", not_exec = dir.path() / "data";
  std::ofstream(plain_pe, std::ios::binary) << "MZ" << std::string(200, '\0');
  fs::permissions(plain_pe, fs::perms::owner_all);
  std::ofstream(not_exec) << "text";
  EXPECT_EQ(StartError({}, "\"" + (dir.path() / "missing").string() + "\" x"), kErrorFileNotFound);
  for (const char* line : {"no_such_program_vt_1234", "", " "}) EXPECT_EQ(StartError({}, line), kErrorFileNotFound);
  EXPECT_EQ(StartError({}, "\"" + plain_pe.string() + "\""), kErrorBadExeFormat);
  EXPECT_EQ(StartError(not_exec.string(), "data"), kErrorAccessDenied);
  EXPECT_EQ(StartError(dir.path().string(), "dir"), kErrorAccessDenied);
  EXPECT_EQ(StartError({}, Child() + " exit 0", 0, (dir.path() / "nodir").string()), kErrorDirectory);
}

// A PE file runs the program behind it; a program written as plain data
// (no execute bit) still runs, other files without the bit are refused.
TEST(Process, WrappedAndNonExecutableProgramsRun) {
  TempFolder dir;
  const fs::path setup = dir.path() / "Setup.exe", bad = dir.path() / "Bad.exe",
                 tool = dir.path() / "lzma.exe", script = dir.path() / "run.sh";
  WritePe(setup, ReadFileText(Child()));
  WritePe(bad, "not an elf program");
  fs::copy_file(Child(), tool);
  std::ofstream(script) << "#!/bin/sh\nexit 0\n";
  for (const fs::path& p : {tool, script}) fs::permissions(p, fs::perms::owner_read | fs::perms::owner_write);
  for (const fs::path& program : {setup, tool}) {
    Result r = Start({}, "\"" + program.string() + "\" args \"x y\"");
    ASSERT_TRUE(r.created) << r.error;
    EXPECT_EQ(SplitNul(r.out), (std::vector<std::string>{program.string(), "args", "x y"}));
  }
  EXPECT_EQ(StartError({}, "\"" + bad.string() + "\""), kErrorBadExeFormat);
  EXPECT_EQ(StartError({}, "\"" + script.string() + "\""), kErrorAccessDenied);

  // A trailer that points past the file, or at something that is no ELF.
  std::uint8_t tail[peexec::kTrailerSize];
  std::uint64_t off = 0, size = 0;
  peexec::WriteTrailer(tail, 1000);
  EXPECT_FALSE(peexec::ParseTrailer(tail, 1000, &off, &size));
  EXPECT_FALSE(peexec::ParseTrailer(tail, 1016 + 3, &off, &size));
  EXPECT_TRUE(peexec::ParseTrailer(tail, 1016 + 4, &off, &size));
  EXPECT_EQ(off, 1000u);
  EXPECT_EQ(size, 4u);
  peexec::WriteTrailer(tail, 0);
  EXPECT_FALSE(peexec::ParseTrailer(tail, 100, &off, &size));
}

TEST(Process, InterpreterEnvironmentDirectoryAndInput) {
  Result r = Start("C:\\Windows\\system32\\CMD.EXE", "cmd /c \"echo hi there\"");
  ASSERT_TRUE(r.created) << r.error;
  EXPECT_EQ(r.out, "hi there\n");
  EXPECT_EQ(Start("cmd.exe", "cmd /c \"exit 3\"").exit_code, 3u);

  const char env[] = "VT_A=1\0VT_B=two words\0";
  EXPECT_EQ(Start({}, Child() + " env VT_B", 0, env).out, "two words");
  EXPECT_EQ(Start({}, Child() + " env HOME", 0, env).out, "<unset>");
  // A pair is one character; a lone surrogate becomes '?', as in packet texts.
  const char16_t wenv[] = u"VT_W=\u00e9t\u00e9\xD800x\U0001F600\0";
  EXPECT_EQ(Start({}, Child() + " env VT_W", kCreateUnicodeEnvironment, wenv).out,
            "\xc3\xa9t\xc3\xa9?x\xf0\x9f\x98\x80");

  TempFolder dir;
  EXPECT_EQ(Start({}, Child() + " cwd", 0, nullptr, dir.path().string()).out, dir.path().string());

  fs::path in = dir.path() / "in";
  std::ofstream(in) << "input text";
  int fd = ::open(in.c_str(), O_RDONLY | O_CLOEXEC);
  EXPECT_EQ(Start({}, Child() + " stdin", 0, nullptr, {}, fd).out, "input text");
  ::close(fd);
}

TEST(Process, ChildKnowsItsCommandLineAsGiven) {
  // Started here: the line exactly as given, blanks and quoting included;
  // the variable that carried it is not left in the child's environment.
  const std::string line = "\"" + Child() + "\"   cmdline  \"a b\"\tc\\\"d   ";
  Result r = Start({}, line);
  ASSERT_TRUE(r.created) << r.error;
  EXPECT_EQ(SplitNul(r.out + '\0'), (std::vector<std::string>{line, "<unset>"}));
  // Also with an own environment block, which already names the variable.
  const std::string env = std::string(kCommandLineVariable) + std::string("=stale\0VT_A=1\0\0", 15);
  r = Start({}, line, 0, env.c_str());
  EXPECT_EQ(SplitNul(r.out + '\0'), (std::vector<std::string>{line, "<unset>"}));

  // Started otherwise, with a variable that does not fit the arguments: the
  // line is joined from the arguments.
  r = Start("cmd.exe", "cmd /c \"" + std::string(kCommandLineVariable) + "='x y' '" + Child() +
                           "' cmdline 'a b' 'c\"d' ''\"");
  ASSERT_TRUE(r.created) << r.error;
  EXPECT_EQ(SplitNul(r.out + '\0'),
            (std::vector<std::string>{Child() + " cmdline \"a b\" \"c\\\"d\" \"\"", "<unset>"}));
}

}  // namespace
}  // namespace vt::os
