// Records of processor faults as a user finds them: a child program with the
// log and the exception hooks started faults (stack overflow, inside the
// allocator, inside the log), and the log file and the way it ended are
// looked at. Call traces: their form, and where they start.
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <regex>
#include <string>
#include <vector>

#include "common/CallTrace.h"
#include "common/EventLog.h"
#include "common/ExceptionHooks.h"
#include "common/Logs.h"
#include "common/ProcessRunner.h"
#include "platform/Process.h"
#include "support/Sanitized.h"
#include "support/TestFiles.h"
#include "support/Patience.h"

namespace vt {
namespace {

namespace fs = std::filesystem;

#ifdef VT_TEST_SANITIZED
// The sanitizer's handler was there first: after the record the fault takes
// its course through it, which ends the process with 1. Its builds keep no
// optimisation, so frames hold stale return addresses the scan takes too.
constexpr std::uint32_t kFaultsCourse = 1;
constexpr std::size_t kCallerEntryReach = 4;
#else
constexpr std::uint32_t kFaultsCourse = 0xC0000000u + SIGSEGV;
constexpr std::size_t kCallerEntryReach = 1;
#endif

// True when the entries after the first hold the call within reach.
bool CallerWithinReach(const std::vector<std::uint64_t>& entries, std::uint64_t call) {
  for (std::size_t i = 1; i < entries.size() && i <= kCallerEntryReach; ++i)
    if (entries[i] == call) return true;
  return false;
}

// The entries of a trace, each with its leading digits restored; the width
// is the reference's.
std::vector<std::uint64_t> DecodeTrace(const std::string& text) {
  std::smatch m;
  if (!std::regex_search(text, m, std::regex(R"(\(\$CALLTRACE:([0-9A-F]+):([0-9A-F,*]*)\))"))) return {};
  const std::string reference = m[1];
  std::string previous(reference.size(), '0');
  std::vector<std::uint64_t> entries;
  std::string list = m[2];
  for (std::size_t at = 0; at < list.size();) {
    std::size_t end = list.find(',', at);
    if (end == std::string::npos) end = list.size();
    std::string entry = list.substr(at, end - at);
    entry = entry.substr(0, entry.find('*'));
    const std::string full = previous.substr(0, previous.size() - entry.size()) + entry;
    entries.push_back(std::stoull(full, nullptr, 16));
    previous = full;
    at = end + 1;
  }
  return entries;
}

std::string Hex(std::uint64_t v) {
  char b[20];
  std::snprintf(b, sizeof b, "%llX", static_cast<unsigned long long>(v));
  return b;
}

TEST(CallTraces, EntriesAreWrittenWithTheDigitsOfTheTrace) {
  auto format = [](std::uintptr_t reference, std::vector<TCallTraceEntry> entries) {
    char out[kCallTraceCapacity];
    FormatCallTrace(reference, entries.data(), static_cast<int>(entries.size()), out, sizeof out);
    return std::string(out);
  };
  // Addresses of 32 bits: 8 digits, leading digits shared with the previous
  // entry dropped (the first compared with zeros), counts after "*".
  EXPECT_EQ(format(0x00401000, {{0x00401234, 2}, {0x00401250, 1}, {0x00405000, 1}, {0x0040500A, 1},
                                {0x10000000, 1}, {0x00401234, 0x100000}}),
            "($CALLTRACE:00401000:401234*2,50,5000,A,10000000,00401234*1048576)");
  EXPECT_EQ(format(0x00401000, {}), "($CALLTRACE:00401000:)");
  // Wider addresses: every entry at the width of the widest, which the
  // reference (always whole) shows.
  EXPECT_EQ(format(0x55D0C0DE1000, {{0x55D0C0DE1234, 1}, {0x7F0011223344, 3}, {0x55D0C0DE9999, 1},
                                    {0x55D0C0DE99A0, 1}, {0x401000, 1}}),
            "($CALLTRACE:55D0C0DE1000:55D0C0DE1234,7F0011223344*3,55D0C0DE9999,A0,000000401000)");
  EXPECT_EQ(DecodeTrace(format(0x1000, {{0x7FFF00001234, 1}, {0x7FFF00001238, 1}, {0x1234, 1}})),
            (std::vector<std::uint64_t>{0x7FFF00001234, 0x7FFF00001238, 0x1234}));
  // Cut to the room given, never past it.
  char small[16];
  EXPECT_EQ(FormatCallTrace(0x00401000, nullptr, 0, small, sizeof small), 15u);
  EXPECT_STREQ(small, "($CALLTRACE:004");
}

// Collects the lines written to it as the default event log.
class TCaptureLog : public TEventLog {
 public:
  void WriteEntry(std::string_view format, const FormatArgs& args, int, std::uint32_t, std::uint32_t) override {
    text += FormatV(format, args) + "\n";
  }
  std::string text;
};

// Clears the stack below the caller of stale return addresses.
[[gnu::noinline]] void ScrubStack() {
  char area[32768];
  std::memset(area, 0, sizeof area);
  asm volatile("" : : "r"(area) : "memory");
}

const void* g_thrower_return = nullptr;
[[gnu::noinline]] void Thrower() {
  g_thrower_return = __builtin_return_address(0);
  throw EConvertError("from below");
}
[[gnu::noinline]] void Middle() {
  Thrower();
  asm volatile("");
}

TEST(CallTraces, ACaughtExceptionShowsTheThrowersCallers) {
  TCaptureLog log;
  SetDefaultEventLog(&log);
  InstallExceptionHooks();
  ScrubStack();
  try {
    Middle();
  } catch (const EConvertError&) {
  }
  UninstallExceptionHooks();
  SetDefaultEventLog(nullptr);
  const std::size_t handler = log.text.find("-Exception-");
  ASSERT_NE(handler, std::string::npos) << log.text;
  const std::string raised = log.text.substr(0, handler), caught = log.text.substr(handler);
  // Both records: the raise address, then the call of the thrower in its
  // caller, not the logger's own frames.
  const auto call = reinterpret_cast<std::uint64_t>(g_thrower_return) - 5;
  for (const std::string& record : {raised, caught}) {
    const std::vector<std::uint64_t> entries = DecodeTrace(record);
    ASSERT_GE(entries.size(), 2u) << record;
    EXPECT_TRUE(CallerWithinReach(entries, call)) << record << "\nexpected " << Hex(call);
  }
  EXPECT_EQ(DecodeTrace(raised), DecodeTrace(caught));
}

// Runs a copy of the fault child in a folder of its own.
class FaultRecords : public test::TempFolderTest {
 protected:
  void SetUp() override {
    fs::copy_file(test::ProgramBeside("vt_fault_child"), P("FaultChild"));
    ::setenv("VT_REGISTRY_DIR", P("registry").c_str(), 1);
    ::setenv("PalgremLogInstance", "f", 1);
  }
  void TearDown() override {
    ::unsetenv("VT_REGISTRY_DIR");
    ::unsetenv("PalgremLogInstance");
  }
  // Runs the child; its exit code. A child still running after the tests'
  // patience is killed and reported.
  std::uint32_t Run(const std::string& args) {
    TProcessInformation pi{};
    RunProcess("\"" + P("FaultChild") + "\" " + args, false, 0, {}, &pi);
    os::CloseHandle(pi.hThread);
    std::uint32_t code = 99;
    if (os::WaitForProcess(pi.hProcess, vt::test::kPatienceMs) != os::kWaitObject0) {
      vt::test::Signal(static_cast<pid_t>(pi.dwProcessId), SIGKILL);
      os::WaitForProcess(pi.hProcess, os::kInfinite);
      ADD_FAILURE() << "the child did not end: " << args;
    }
    EXPECT_TRUE(os::GetExitCodeProcess(pi.hProcess, &code));
    os::CloseHandle(pi.hProcess);
    return code;
  }
  std::string LogText() const { return test::ReadFileText(folder_.path() / "Logs" / "FaultChild_f.log"); }
  // The "Exception" records of the log.
  int Records(const std::string& text, const std::string& kind) const {
    const std::regex record("-{10}Exception-{21}[0-9/ :.]{23}-{16}\r\n" + kind +
                            "   Code=0x[0-9A-F]{8}   Flags=0x0   Addr=0x[0-9A-F]{8,16}   PID=\\d+   TID=\\d+"
                            "[^\r\n]*   Build=4821\r\n\r\n[^\r\n]+\r\n\r\n\\(\\$CALLTRACE:[0-9A-F]+:[0-9A-F,*]+\\)\r\n\r\n");
    return static_cast<int>(std::distance(std::sregex_iterator(text.begin(), text.end(), record),
                                          std::sregex_iterator()));
  }
};

TEST_F(FaultRecords, StackOverflowIsRecordedThenEndsTheProcess) {
  // A thread the library started: the record, then the fault's own end.
  EXPECT_EQ(Run("overflow-thread"), kFaultsCourse);
  std::string text = LogText();
  EXPECT_EQ(Records(text, "EStackOverflow"), 1) << text;
  EXPECT_NE(text.find("Code=0xC00000FD"), std::string::npos) << text;
  EXPECT_NE(text.find("\r\n\r\nStack overflow\r\n\r\n"), std::string::npos) << text;

  // The main thread, with the program's last clean-up hook.
  fs::remove(folder_.path() / "Logs" / "FaultChild_f.log");
  EXPECT_EQ(Run("overflow-main hook " + P("hooked")), 6u);
  text = LogText();
  EXPECT_EQ(Records(text, "EStackOverflow"), 1) << text;
  EXPECT_EQ(Read("hooked"), "hook C00000FD");
}

TEST_F(FaultRecords, AFaultsTraceStartsAtTheFaultingInstruction) {
  EXPECT_EQ(Run("av " + P("expected")), kFaultsCourse);
  const std::string text = LogText();
  ASSERT_EQ(Records(text, "EAccessViolation"), 1) << text;
  EXPECT_NE(text.find(" [Main Thread]   Build=4821"), std::string::npos) << text;
  EXPECT_TRUE(std::regex_search(text, std::regex("Access violation at address [0-9A-F]{16} in module 'FaultChild' "
                                                 "\\(Base = 0x[0-9A-F]{16}\\)\\. Write of address 0+10\r\n")))
      << text;
  std::smatch m;
  ASSERT_TRUE(std::regex_search(text, m, std::regex("Addr=0x([0-9A-F]+)")));
  const std::vector<std::uint64_t> entries = DecodeTrace(text);
  ASSERT_GE(entries.size(), 2u) << text;
  EXPECT_EQ(entries[0], std::stoull(m[1], nullptr, 16)) << text;
  EXPECT_TRUE(CallerWithinReach(entries, std::stoull(Read("expected"), nullptr, 16))) << text;
}

// A fault before the log was opened: its record goes through no second
// link to another file, and into no file of another user.
TEST_F(FaultRecords, AFaultRecordGoesThroughNoSecondLinkNorIntoAnotherUsersFile) {
  const fs::path log = folder_.path() / "Logs" / "FaultChild_f.log";
  fs::create_directory(folder_.path() / "Logs");
  const std::string kept = "kept\n";
  test::WriteFileText(P("kept"), kept);
  fs::create_hard_link(P("kept"), log);
  EXPECT_EQ(Run("av " + P("expected")), kFaultsCourse);
  EXPECT_EQ(test::ReadFileText(P("kept")), kept);
  fs::remove(log);
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to give the log to another user";
  test::WriteFileText(log, kept);
  ASSERT_EQ(::chown(log.c_str(), 65534, 65534), 0);
  EXPECT_EQ(Run("av " + P("expected")), kFaultsCourse);
  EXPECT_EQ(LogText(), kept);
}

TEST_F(FaultRecords, FaultsInsideTheAllocatorOrTheLogStillEndWithARecord) {
  // The log over its size: the record that faults is the cut's.
  fs::create_directory(folder_.path() / "Logs");
  test::WriteFileText(folder_.path() / "Logs" / "FaultChild_f.log", std::string(kLogMaxSize + 4096, 'x'));
  EXPECT_EQ(Run("cutlog"), kFaultsCourse);
  std::string text = LogText();
  EXPECT_EQ(Records(text, "EAccessViolation"), 1) << text.substr(text.size() > 2000 ? text.size() - 2000 : 0);

  fs::remove(folder_.path() / "Logs" / "FaultChild_f.log");
  for (const char* mode : {"alloc", "holdlog", "stuckholder"}) {
    EXPECT_EQ(Run(std::string(mode) + " hook " + P("hooked")), 6u) << mode;
    EXPECT_EQ(Read("hooked"), "hook C0000005") << mode;
    text = LogText();
    EXPECT_EQ(Records(text, "EAccessViolation"), 1) << mode << "\n" << text;
    if (mode != std::string("alloc")) {
      EXPECT_NE(text.find("before"), std::string::npos) << mode;
    }
    fs::remove(folder_.path() / "Logs" / "FaultChild_f.log");
    fs::remove(P("hooked"));
  }
}

// The event log's copy of a fault record is written after the file's, by
// code that may hang or fault: the handler's time limit, or the second
// fault, ends the process at once, the hook still called.
TEST_F(FaultRecords, AHandlerThatHangsOrFaultsEndsTheProcessAtOnce) {
  for (const char* mode : {"eventlog-hangs", "eventlog-faults"}) {
    EXPECT_EQ(Run(std::string(mode) + " hook " + P("hooked")), 6u) << mode;
    EXPECT_EQ(Read("hooked"), "hook C0000005") << mode;
    const std::string text = LogText();
    EXPECT_EQ(Records(text, "EAccessViolation"), 1) << mode << "\n" << text;
    fs::remove(folder_.path() / "Logs" / "FaultChild_f.log");
    fs::remove(P("hooked"));
  }
  // Ended at once: by the signal itself, past any earlier handler.
  EXPECT_EQ(Run("eventlog-faults"), 0xC0000000u + SIGSEGV);
  EXPECT_EQ(Run("eventlog-hangs"), 0xC0000000u + SIGSEGV);
}

}  // namespace
}  // namespace vt
