#include "common/Logs.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <numeric>
#include <regex>
#include <sstream>

#include "common/Locks.h"
#include "common/ProcessRunner.h"
#include "platform/Process.h"
#include "platform/Registry.h"
#include "support/Patience.h"
#include "support/TestFiles.h"

namespace vt {
namespace {

namespace fs = std::filesystem;

TEST(Logs, HeaderLinesAndNames) {
  const std::string time = "01/02/2024 10:11:12.123";
  // 79 characters; a title of 30 characters or more gets no fill before the
  // time (shorter ones: see the files' headers).
  const std::string t35(35, 'T'), l60(60, 'L');
  EXPECT_EQ(FormatHeaderLine(t35, '=', time), std::string(10, '=') + t35 + time + std::string(79 - 10 - 35 - 23, '='));
  EXPECT_EQ(FormatHeaderLine(l60, '-', time), std::string(10, '-') + l60 + time);

  // In the session's own namespace.
  EXPECT_EQ(LogMutexName("/opt/x/Logs/Tool_2.log"), "Palgrem_LogMutex_tool_2");

  std::string trace = GetCallTrace(reinterpret_cast<const void*>(0x00401000));
  EXPECT_TRUE(std::regex_match(trace, std::regex(R"(\(\$CALLTRACE:[0-9A-F]{8,16}:401000(,[0-9A-F]{1,16}(\*\d+)?)*\))")))
      << trace;
}

// Runs copies of the child program in a folder of their own, with a registry
// of their own.
class LogFiles : public test::TempFolderTest {
 protected:
  void SetUp() override {
    fs::copy_file(test::ProgramBeside("vt_proc_child"), P("LogChild"));
    ::setenv("VT_REGISTRY_DIR", P("registry").c_str(), 1);
    ::setenv("PalgremLogInstance", "7", 1);
  }
  void TearDown() override {
    ::unsetenv("VT_REGISTRY_DIR");
    ::unsetenv("PalgremLogInstance");
  }
  void SetValue(const std::string& name, std::uint32_t type, const void* data, std::uint32_t size) {
    os::HKEY k = 0;
    ASSERT_EQ(os::RegCreateKeyEx(os::kHkeyLocalMachine, LogRegistryKey(), os::kKeyAllAccess, &k), 0u);
    ASSERT_EQ(os::RegSetValueEx(k, name, type, data, size), 0u);
    os::RegCloseKey(k);
  }
  void Settings(std::uint32_t level, std::uint32_t debug) {
    SetValue("Level", os::kRegDword, &level, 4);
    SetValue("Debug", os::kRegDword, &debug, 4);
  }
  // Starts the child in a mode ("log <n> <text>", ...); Finish waits for its exit code.
  std::uint32_t Start(const std::string& args) {
    TProcessInformation pi{};
    RunProcess("\"" + P("LogChild") + "\" " + args, false, 0, {}, &pi);
    os::CloseHandle(pi.hThread);
    return static_cast<std::uint32_t>(pi.hProcess);
  }
  int Finish(std::uint32_t process) {
    std::uint32_t code = 99;
    EXPECT_EQ(os::WaitForProcess(process, os::kInfinite), os::kWaitObject0);
    EXPECT_TRUE(os::GetExitCodeProcess(process, &code) && os::CloseHandle(process));
    return static_cast<int>(code);
  }
  fs::path LogPath() const { return folder_.path() / "Logs" / "LogChild_7.log"; }
  std::string LogText() const { return test::ReadFileText(LogPath()); }
};

// Without a usable level only warnings are written; a level of the wrong type
// is reported before the run's first warning.
TEST_F(LogFiles, WithoutAUsableLevelOnlyWarningsAreWritten) {
  EXPECT_EQ(Finish(Start("log 3 message")), 0);
  const std::string first = LogText();
  // The whole file: no start or stop headers, no messages.
  EXPECT_TRUE(std::regex_match(first, std::regex("={10}Warning={23}[0-9/ :.]{23}={16}\r\nwarned\r\n\r\n")))
      << first;

  SetValue("Level", os::kRegBinary, "\x01", 1);
  EXPECT_EQ(Finish(Start("log 1 m")), 0);
  const std::string text = LogText().substr(first.size());
  EXPECT_TRUE(text.starts_with(
      "An error occurred while initializing log.\r\nFailed to access registry information.\r\n"
      "Unexpected registry value type at: SOFTWARE\\Palgrem\\Vontaro\\Log\\Level\r\n"))
      << text;
  EXPECT_NE(text.find("warned"), std::string::npos);
  EXPECT_EQ(text.find("m 0"), std::string::npos);
}

// A backslash in the program's folder is part of a name: the log goes beside
// the program all the same.
TEST_F(LogFiles, ProgramFolderWithABackslash) {
  const fs::path dir = folder_.path() / "a\\b";
  fs::create_directory(dir);
  fs::copy_file(P("LogChild"), dir / "LogChild");
  EXPECT_EQ(RunProcess("\"" + (dir / "LogChild").string() + "\" log 3 m", true), 0);
  EXPECT_NE(test::ReadFileText(dir / "Logs" / "LogChild_7.log").find("warned"), std::string::npos);
}

TEST_F(LogFiles, LevelOneWritesRecordsAndHeaders) {
  Settings(1, 0);
  EXPECT_EQ(Finish(Start("log 2 hello")), 0);
  std::string text = LogText();
  const std::string t = R"(\d\d/\d\d/\d{4} \d\d:\d\d:\d\d\.\d{3})";
  // The start record's header line is followed at once by its next line,
  // as the warning record's is.
  std::regex expected("-{10}Started-{23}" + t + "-{16}\r\n" +
                      R"(Build=4821   PID=(\d+)   TID=\d+   Computer=[^\r\n]+\r\n\r\n)" + t +
                      R"( \[\d+\|\d+\] hello 0\r\n)" + t + R"( \[\d+\|\d+\] hello 1\r\n)" +
                      "={10}Warning={23}" + t + "={16}\r\nwarned\r\n\r\n" +
                      R"(-{10}Stopped \(PID=\d+\)-+)" + t + "-+\r\n\r\n");
  EXPECT_TRUE(std::regex_match(text, expected)) << text;  // the whole file: no debug records

  // Closing waits for the threads inside the log; nothing is written after.
  EXPECT_EQ(Finish(Start("closelog")), 0);
  text = LogText();
  EXPECT_NE(text.find("] record "), std::string::npos);
  EXPECT_EQ(text.find("after close"), std::string::npos);
}

// The library's own records reach the log of a program that starts its
// units as programs do: a thread that raises, a thread that cannot be
// created, a notification that raises, one served late, one undelivered.
TEST_F(LogFiles, LibraryRecordsReachTheLogThroughStartUp) {
  Settings(1, 1);
  fs::copy_file(test::ProgramBeside("vt_startup_child"), P("StartupChild"));
  EXPECT_EQ(RunProcess("\"" + P("StartupChild") + "\" records", true), 0);
  const std::string text = test::ReadFileText(folder_.path() / "Logs" / "StartupChild_7.log");
  const std::string t = R"(\d\d/\d\d/\d{4} \d\d:\d\d:\d\d\.\d{3})", m = t + R"( \[\d+\|\d+\] )";
  const auto has = [&](const std::string& pattern) {
    EXPECT_TRUE(std::regex_search(text, std::regex(pattern))) << pattern << "\n" << text;
  };
  has("-{10}Thread Error-{18}" + t + "-{16}\r\n\r\n" + t + " thread body failed\r\n");
  has(m + "DBG: Thread creating failed:\r\n" + m + "  Error code: [1-9]\\d*\r\n" + m + "  Threads count: [1-9]\\d*\r\n");
  has("={10}Warning={23}" + t + "={16}\r\nFailed to notify object at 0x[0-9A-F]{8,16}, class is TChildSource\r\n"
      "notification failed\r\n\r\n");
  has(m + "TNotifyQueue\\.ProcessQueue: Packet LateNotification from source TChildSource processed after "
          "\\d+ ms\\. Finished after \\d+ ms\r\n");
  // Reported before the log closes.
  has("-{10}Notify Queue Warning-{10}" + t + "-+\r\n\r\n" + t +
      " Shutting down with 1 undelivered notifications in Primary Queue \\(Low\\)\\.\r\n" + t +
      "   TChildPayload\r\n-{10}Stopped");
}

// CloseLog(false) leaves the file's handle open; CloseLog(true) closes it.
TEST_F(LogFiles, CloseLogClosesTheFileOnlyWhenAsked) {
  Settings(1, 0);
  fs::copy_file(test::ProgramBeside("vt_startup_child"), P("StartupChild"));
  EXPECT_EQ(RunProcess("\"" + P("StartupChild") + "\" closelog keep", true), 0);
  EXPECT_EQ(RunProcess("\"" + P("StartupChild") + "\" closelog direct", true), 1);
  EXPECT_NE(test::ReadFileText(folder_.path() / "Logs" / "StartupChild_7.log").find("] before close\r\n"),
            std::string::npos);
}

TEST_F(LogFiles, DebugModeWritesDebugRecordsAndNeverCuts) {
  Settings(0, 1);
  fs::create_directory(folder_.path() / "Logs");
  test::WriteFileText(LogPath(), std::string(kLogMaxSize + 10, 'x') + "\r\n");
  EXPECT_EQ(Finish(Start("log 1 m")), 0);
  std::string text = LogText();
  EXPECT_GT(text.size(), static_cast<size_t>(kLogMaxSize));
  const size_t started = text.find("Started"), special = text.find("] Special Debugging Mode Enabled\r\n");
  ASSERT_NE(special, std::string::npos);
  EXPECT_LT(started, special);
  EXPECT_NE(text.find("] debug record\r\n"), std::string::npos);
}

TEST_F(LogFiles, CutKeepsTheTailAndNeverEmptiesTheFile) {
  Settings(1, 0);
  fs::create_directory(folder_.path() / "Logs");
  std::string old;
  for (int i = 0; old.size() <= static_cast<size_t>(kLogMaxSize); ++i) old += "old line " + std::to_string(i) + "\r\n";
  test::WriteFileText(LogPath(), old);
  EXPECT_EQ(Finish(Start("log 1 new")), 0);
  std::string text = LogText();
  // The start record is written before trimming is on; the next record cuts
  // the file to its last 3 MiB (ending with the start record).
  size_t started = text.find("----------Started");
  ASSERT_NE(started, std::string::npos);
  ASSERT_GT(started, static_cast<size_t>(kLogKeptSize) - 300);
  EXPECT_TRUE(text.compare(0, started, old, old.size() - started) == 0);
  EXPECT_LT(text.size(), static_cast<size_t>(kLogKeptSize) + 2000);
  EXPECT_NE(text.find("new 0", kLogKeptSize), std::string::npos);
}

// A log name that is a planted link or a FIFO: nothing is written through
// it, nothing is cut, the run goes on.
TEST_F(LogFiles, LinkOrFifoInPlaceOfTheLogIsLeftAlone) {
  Settings(1, 0);
  fs::create_directory(folder_.path() / "Logs");
  const std::string target(kLogMaxSize + (1 << 20), 't');
  test::WriteFileText(P("target"), target);
  fs::create_symlink(P("target"), LogPath());
  EXPECT_EQ(Finish(Start("log 1 m")), 0);
  EXPECT_TRUE(fs::is_symlink(LogPath()));
  EXPECT_TRUE(test::ReadFileText(P("target")) == target);

  fs::remove(LogPath());
  ASSERT_EQ(::mkfifo(LogPath().c_str(), 0600), 0);
  const int reader = ::open(LogPath().c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(reader, 0);
  EXPECT_EQ(Finish(Start("log 1 m")), 0);
  char c;
  EXPECT_LE(::read(reader, &c, 1), 0);
  ::close(reader);
}

// The program in a sticky shared folder: a Logs link or folder that another
// user put there is not written through; the event log says so once,
// nothing else shows, and the run goes on. Root's own link is followed, and
// a missing Logs folder is made (one level, 0755 whatever the umask).
TEST_F(LogFiles, LogsFolderOrLinkOfAnotherUserIsNotUsed) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to give a link to another user";
  Settings(1, 0);
  const fs::path shared = folder_.path() / "shared", logs = shared / "Logs", victim = folder_.path() / "victim";
  fs::create_directories(shared);
  fs::permissions(shared, fs::perms::all | fs::perms::sticky_bit);
  fs::copy_file(P("LogChild"), shared / "LogChild");
  fs::create_directories(victim);
  const std::string kept(100000, 'v');
  test::WriteFileText(victim / "LogChild_7.log", kept);
  const auto run = [&] {
    const std::string out = P("out");
    EXPECT_EQ(test::Shell("(" + test::Q(shared / "LogChild") + " log 1 m >" + test::Q(out) + " 2>&1)"), 0);
    return test::ReadFileText(out);
  };
  for (const uid_t owner : {65534u, 0u}) {
    fs::create_directory_symlink(victim, logs);
    ASSERT_EQ(::lchown(logs.c_str(), owner, owner), 0);
    const std::string out = run();
    if (owner) {
      EXPECT_EQ(out, "event: The log folder '" + logs.string() + "' is not used: '" + logs.string() +
                         "' is a symbolic link of another user (uid 65534), so other users could redirect the "
                         "log. Nothing is logged.\n");
      EXPECT_TRUE(test::ReadFileText(victim / "LogChild_7.log") == kept);
    } else {
      EXPECT_EQ(out, "");
      EXPECT_NE(test::ReadFileText(victim / "LogChild_7.log").find("] m 0\r\n", kept.size()), std::string::npos);
    }
    EXPECT_EQ(std::distance(fs::directory_iterator(victim), fs::directory_iterator()), 1);
    fs::remove(logs);
  }
  fs::create_directory(logs);
  ASSERT_EQ(::chown(logs.c_str(), 65534, 65534), 0);
  EXPECT_NE(run().find("is not used: '" + logs.string() + "' belongs to another user"), std::string::npos);
  EXPECT_TRUE(fs::is_empty(logs));
  fs::remove(logs);
  const mode_t mask = ::umask(0);
  EXPECT_EQ(run(), "");
  ::umask(mask);
  EXPECT_EQ(fs::status(logs).permissions(), static_cast<fs::perms>(0755));
  EXPECT_NE(test::ReadFileText(logs / "LogChild_7.log").find("] m 0\r\n"), std::string::npos);
}

// A Logs folder that every user may write in (root's, sticky): the user's
// own log there serves the user's runs, but root's run writes neither into
// it nor through a second link to another file, and the event log says why,
// once. Root's own log with one link serves root's runs and the user's.
TEST_F(LogFiles, LogFileOfAnotherUserOrWithASecondLinkIsNotUsed) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to run the program as another user";
  Settings(1, 0);
  const fs::path shared = folder_.path() / "shared", logs = shared / "Logs", log = logs / "LogChild_7.log";
  fs::permissions(folder_.path(), fs::perms::others_exec, fs::perm_options::add);
  fs::create_directories(logs);
  fs::permissions(logs, fs::perms::all | fs::perms::sticky_bit);
  fs::copy_file(P("LogChild"), shared / "LogChild");
  // Runs the program as uid (0: root); what it wrote to its standard
  // output (the event log's records; the user may not read root's settings,
  // which it says on its standard error).
  const auto run = [&](os::DWORD uid) -> std::string {
    const std::string out = P("out"), program = (shared / "LogChild").string();
    const int fd = ::open(out.c_str(), O_CREAT | O_TRUNC | O_WRONLY | O_CLOEXEC, 0600);
    const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    const os::HANDLE token = uid ? os::CreateUserToken(uid, uid, {}) : 0;
    os::StartupInfo si;
    si.flags = os::kStartfUseStdHandles;
    si.std_output = fd;
    si.std_error = null;
    os::ProcessInformation pi;
    const bool started = fd >= 0 && null >= 0 && (!uid || token) &&
                         os::CreateProcess(program, "\"" + program + "\" log 1 m", false, 0, nullptr, {}, si, &pi,
                                           static_cast<std::uintptr_t>(token));
    if (fd >= 0) ::close(fd);
    if (null >= 0) ::close(null);
    if (token) os::CloseHandle(token);
    if (!started) {
      ADD_FAILURE() << "cannot start the program as uid " << uid << ": " << os::GetLastError();
      return "";
    }
    const auto patience = static_cast<os::DWORD>(test::Patience().Left().count());
    if (os::WaitForProcess(pi.process, patience) != os::kWaitObject0) {
      test::Signal(static_cast<pid_t>(pi.process_id), SIGKILL);
      os::WaitForProcess(pi.process, os::kInfinite);
      ADD_FAILURE() << "the program did not end";
    }
    std::uint32_t code = 99;
    EXPECT_TRUE(os::GetExitCodeProcess(pi.process, &code) && code == 0) << code;
    os::CloseHandle(pi.process);
    os::CloseHandle(pi.thread);
    return test::ReadFileText(out);
  };
  const auto refusal = [&](const std::string& why) {
    return "event: The log file '" + log.string() + "' is not used: it " + why +
           ", so other users could read or redirect the log. Nothing is logged.\n";
  };

  // The user's run makes the user's log.
  EXPECT_EQ(run(65534), "");
  struct stat st {};
  ASSERT_EQ(::lstat(log.c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, 65534u);
  const std::string users = test::ReadFileText(log);
  EXPECT_NE(users.find("warned"), std::string::npos) << users;
  EXPECT_EQ(run(0), refusal("belongs to another user (uid 65534)"));
  EXPECT_TRUE(test::ReadFileText(log) == users);

  // A second link to root's file.
  fs::remove(log);
  const std::string kept = "root's own\n";
  test::WriteFileText(P("kept"), kept);
  fs::create_hard_link(P("kept"), log);
  EXPECT_EQ(run(0), refusal("has 2 links"));
  EXPECT_EQ(test::ReadFileText(P("kept")), kept);

  // Root's own log: root's run and the user's write into it.
  fs::remove(log);
  EXPECT_EQ(run(0), "");
  EXPECT_NE(test::ReadFileText(log).find("] m 0\r\n"), std::string::npos);
  fs::permissions(log, static_cast<fs::perms>(0666));
  const std::size_t size = fs::file_size(log);
  EXPECT_EQ(run(65534), "");
  EXPECT_NE(test::ReadFileText(log).find("warned", size), std::string::npos);

  // Root's own link, and a FIFO: not opened through, said why.
  fs::remove(log);
  fs::create_symlink(P("kept"), log);
  EXPECT_EQ(run(0), refusal("is a symbolic link"));
  fs::remove(log);
  ASSERT_EQ(::mkfifo(log.c_str(), 0600), 0);
  EXPECT_EQ(run(0), refusal("is not a regular file"));
  EXPECT_EQ(test::ReadFileText(P("kept")), kept);
}

TEST_F(LogFiles, WarningRaisedWhileTakingTheLogMutexIsDropped) {
  Settings(1, 0);
  // The first child dies holding the log mutex. The next writer finds it
  // abandoned; the warning about that comes while its own write is in
  // progress and is dropped instead of being written from inside the write.
  // This process keeps the mutex alive meanwhile.
  TWinMutex keep(GetEveryoneSecurityAttributes(), LogMutexName(LogPath().string()));
  EXPECT_EQ(RunProcess("\"" + (folder_.path() / "LogChild").string() + "\" holdlog", true), 0);
  EXPECT_EQ(Finish(Start("log 2 after")), 0);
  std::string text = LogText();
  EXPECT_NE(text.find("] after 1\r\n"), std::string::npos) << text;
  EXPECT_NE(text.find("Stopped"), std::string::npos);
  EXPECT_EQ(text.find("abandoned"), std::string::npos) << text;
}

TEST_F(LogFiles, TwoProcessesAppendWholeRecords) {
  Settings(1, 0);
  const int kRecords = 2000;
  std::uint32_t a = Start("log " + std::to_string(kRecords) + " first-process-record");
  std::uint32_t b = Start("log " + std::to_string(kRecords) + " second-process-record");
  EXPECT_EQ(Finish(a), 0);
  EXPECT_EQ(Finish(b), 0);
  std::string text = LogText();
  std::regex record(R"(\d\d/\d\d/\d{4} \d\d:\d\d:\d\d\.\d{3} \[(\d+)\|\d+\] (first|second)-process-record (\d+))");
  std::map<std::string, std::vector<int>> seen;  // every record a whole line, each process's in order
  std::istringstream lines(text);
  std::smatch m;
  for (std::string line; std::getline(lines, line);) {
    ASSERT_TRUE(!line.empty() && line.back() == '\r') << line;
    line.pop_back();
    if (line.find("-process-record") == std::string::npos) continue;
    ASSERT_TRUE(std::regex_match(line, m, record)) << line;
    seen[m[2]].push_back(std::stoi(m[3]));
  }
  std::vector<int> in_order(kRecords);
  std::iota(in_order.begin(), in_order.end(), 0);
  EXPECT_EQ(seen["first"], in_order);
  EXPECT_EQ(seen["second"], in_order);
}

}  // namespace
}  // namespace vt
