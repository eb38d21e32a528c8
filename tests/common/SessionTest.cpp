#include "common/Session.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <future>
#include <thread>
#include <vector>

#include "common/EventLog.h"
#include "common/TestHooks.h"
#include "platform/Process.h"
#include "platform/SystemLog.h"
#include "platform/VirtualMemory.h"
#include "support/EventLogs.h"
#include "support/ForgedMapLine.h"
#include "support/TestFiles.h"
#include "support/Patience.h"

namespace vt {
namespace {

namespace fs = std::filesystem;

TEST(StatusNames, KnownAndUnknownCodes) {
  EXPECT_EQ(CommonTestHelper::StatusNameCount(), 1243u);
  EXPECT_EQ(NtStatusToText(0, "STATUS "), "STATUS_SUCCESS");
  EXPECT_EQ(NtStatusToText(0xC0150002, ""), "STATUS_ASSEMBLY_NOT_FOUND");
  EXPECT_EQ(NtStatusToText(0xC0150003, "STATUS "), "STATUS 0xC0150003");
  EXPECT_EQ(NtStatusToText(0xC0000022, "STATUS "), "STATUS_ACCESS_DENIED");
  EXPECT_EQ(NtStatusToText(0xC0000120, ""), "STATUS_CANCELLED");
  // The first name of a value listed under several.
  EXPECT_EQ(NtStatusToText(0x00000080, ""), "STATUS_ABANDONED");
  // One from each facility.
  EXPECT_EQ(NtStatusToText(0x40000000, ""), "STATUS_OBJECT_NAME_EXISTS");
  EXPECT_EQ(NtStatusToText(0x80000005, ""), "STATUS_BUFFER_OVERFLOW");
  EXPECT_EQ(NtStatusToText(0x40010005, ""), "DBG_CONTROL_C");
  EXPECT_EQ(NtStatusToText(0xC0020001, ""), "RPC_NT_INVALID_STRING_BINDING");
  EXPECT_EQ(NtStatusToText(0xC0040035, ""), "STATUS_PNP_BAD_MPS_TABLE");
  EXPECT_EQ(NtStatusToText(0xC00A0001, ""), "STATUS_CTX_WINSTATION_NAME_INVALID");
  EXPECT_EQ(NtStatusToText(0xC0130001, ""), "STATUS_CLUSTER_INVALID_NODE");
  EXPECT_EQ(NtStatusToText(0xC0140001, ""), "STATUS_ACPI_INVALID_OPCODE");
  EXPECT_EQ(NtStatusToText(0xC0DE0001, "STATUS "), "STATUS 0xC0DE0001");
  EXPECT_EQ(test::ExactMessageOf<Exception>([] { RaiseNtStatus(0xC0000034, "Failed to open '%s'", {"x"}); }),
            "Failed to open 'x': STATUS_OBJECT_NAME_NOT_FOUND (0xC0000034)");
  EXPECT_NO_THROW(CheckNtStatus(0, "never"));
  EXPECT_NO_THROW(CheckNtStatus(0xC0000002, "never"));
  EXPECT_THROW(CheckNtStatus(0xC0000001, "fails"), Exception);
}

TEST(SessionData, OnePublishedViewSharedWithOtherProcesses) {
  std::vector<void*> seen(8);
  std::vector<std::thread> threads;
  for (size_t i = 0; i < seen.size(); ++i) threads.emplace_back([&, i] { seen[i] = GetSessionData(); });
  for (auto& t : threads) t.join();
  for (void* v : seen) EXPECT_EQ(v, seen[0]);
  auto* data = static_cast<unsigned char*>(GetSessionData());
  ASSERT_NE(data, nullptr);
  EXPECT_FALSE(IsBadMemory(data, kSessionDataSize));

  // A second process opens the same section (the name exists) and sees the bytes.
  unsigned char marker = static_cast<unsigned char>(::getpid() & 0x7F) | 0x80;
  data[71] = marker;
  pid_t child = ::fork();
  if (child == 0) {
    os::HANDLE h = 0;
    os::NTSTATUS st = os::NtCreateSectionNamed(kSessionSectionName, kSessionDataSize, true, &h);
    std::uint64_t size = 0;
    auto* view = static_cast<unsigned char*>(os::MapSectionView(h, &size));
    bool ok = st == os::kStatusObjectNameExists && view && size == kSessionDataSize && view[71] == marker;
    if (ok) view[70] = 0x5A;
    ::_exit(ok ? 0 : 1);
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(data[70], 0x5A);
}

TEST(SessionData, UnitInitializationAndObjectNames) {
  EXPECT_THROW(SessionLock(), Exception);
  InitializeSession();
  SessionLock().Enter();
  SessionLock().Leave();
  FinalizeSession();
  EXPECT_THROW(SessionLock(), Exception);

  TWinEvent named(nullptr, "Global\\vt_session_name_" + std::to_string(::getpid()), true, false);
  EXPECT_EQ(QueryObjectName(named.Handle),
            "\\BaseNamedObjects\\vt_session_name_" + std::to_string(::getpid()));
  EXPECT_EQ(test::MessageOf([&] { QueryObjectName(os::kInvalidHandleValue); }),
            "Failed to query object name: 0x0FFFFFFFF: STATUS_INVALID_HANDLE (0xC0000008)");
  os::HANDLE dup = DuplicateHandleSameAccess(os::kCurrentProcess, named.Handle, os::kCurrentProcess, false);
  ASSERT_NE(dup, 0);
  CloseNtHandleAndNil(dup);
  EXPECT_EQ(dup, 0);
}

TEST(SessionData, BadMemoryProbe) {
  void* region = os::VirtualAlloc(nullptr, 3 * os::kPageSize, os::kMemReserve, os::kPageReadWrite);
  ASSERT_NE(region, nullptr);
  auto* p = static_cast<char*>(region);
  os::VirtualAlloc(p, os::kPageSize, os::kMemCommit, os::kPageReadWrite);
  EXPECT_FALSE(IsBadMemory(p, os::kPageSize));
  EXPECT_TRUE(IsBadMemory(p, os::kPageSize + 1));  // the next page is only reserved
  os::DWORD old = 0;
  os::VirtualProtect(p, os::kPageSize, os::kPageNoAccess, &old);
  EXPECT_TRUE(IsBadMemory(p, 1));
  os::VirtualFree(p, 0, os::kMemRelease);
  EXPECT_TRUE(IsBadMemory(reinterpret_cast<void*>(~std::uintptr_t{0} - 10), 100));
  // Ranges that wrap past the top of memory, from a good address.
  static char good[64];
  EXPECT_FALSE(IsBadMemory(good + 17, 8));
  EXPECT_TRUE(IsBadMemory(good + 17, SIZE_MAX));
  EXPECT_TRUE(IsBadMemory(good + 17, SIZE_MAX - 16));

  // An unmapped page that a long path in the process's map describes as
  // read-write-execute is bad all the same, below every area or above.
  for (const std::uintptr_t page : {test::ForgedMapLine::kBelowEveryArea, test::PageAboveEveryArea()}) {
    test::ForgedMapLine forged(page);
    ASSERT_TRUE(forged.Ready()) << forged.line();
    EXPECT_TRUE(IsBadMemory(forged.page(), 1)) << forged.line();
    EXPECT_FALSE(IsBadMemory(forged.view(), os::kPageSize));
  }
}

TEST(NativeCalls, ObjectAttributesAndCountedStrings) {
  os::SECURITY_ATTRIBUTES inheritable{12, GetEveryoneSecurityDescriptor(), true};
  TObjectAttributes a;
  InitObjectAttributes(a, "Global\\Name", &inheritable);
  EXPECT_EQ(a.Attributes.Attributes, os::kObjCaseInsensitive | os::kObjInherit);
  EXPECT_EQ(a.Attributes.SecurityDescriptor, GetEveryoneSecurityDescriptor());
  EXPECT_EQ(UnicodeStringToWide(a.Attributes.ObjectName), u"Global\\Name");
  InitObjectAttributes(a, "", nullptr);
  EXPECT_EQ(a.Attributes.Attributes, os::kObjCaseInsensitive);
  EXPECT_EQ(a.Attributes.ObjectName, nullptr);
  EXPECT_EQ(UnicodeStringToWide(nullptr), u"");

  char16_t small[2];
  os::UNICODE_STRING u;
  EXPECT_EQ(test::MessageOf([&] { AnsiToUnicodeString("abc", small, sizeof small, u); }),
            "Failed to convert ansi string to unicode buffer: abc");
}

TEST(NativeCalls, ProcessListCountsTheThreadsOfAnyProcess) {
  std::vector<std::uint8_t> list;
  const std::uint32_t length = QuerySystemInformation(os::kSystemProcessInformation, list, 16);
  EXPECT_GT(length, 16u);  // grown by doubling
  EXPECT_GE(list.size(), length);
  EXPECT_EQ(test::MessageOf([&] { QuerySystemInformation(99, list, 16); }),
            "Failed to query system information (class 99): STATUS_INVALID_INFO_CLASS (0xC0000003)");

  std::promise<void> stop;
  std::thread extra([done = stop.get_future()] { done.wait(); });
  const auto threads = std::distance(fs::directory_iterator("/proc/self/task"), fs::directory_iterator{});
  for (const char* version : {"10.0", "4.0"}) {
    ::setenv("VT_OS_VERSION", version, 1);
    EXPECT_EQ(ProcessEntryHeaderSize(), version[0] == '4' ? 136u : 184u);
    EXPECT_EQ(GetProcessThreadCount(os::GetCurrentProcessId()), threads) << version;
  }
  ::unsetenv("VT_OS_VERSION");
  stop.set_value();
  extra.join();

  // Another process: it has one thread from its start.
  pid_t child = ::fork();
  if (child == 0) {
    ::pause();
    ::_exit(0);
  }
  ASSERT_GT(child, 0);
  EXPECT_EQ(GetProcessThreadCount(static_cast<std::uint32_t>(child)), 1);
  vt::test::Signal(child, SIGKILL);
  ::waitpid(child, nullptr, 0);
  EXPECT_EQ(GetProcessThreadCount(static_cast<std::uint32_t>(child)), 0);
}

std::vector<std::pair<os::DWORD, std::string>> g_records;
void Capture(os::DWORD kind, const std::string& text) { g_records.emplace_back(kind, text); }

TEST(EventLog, BaseViewsAndText) {
  TEventLog* base = GetEventLog();
  EXPECT_NO_THROW(base->WriteEntry("x %d", {1}, 1, os::kEventError, 0));  // writes nothing
  EXPECT_EQ(base->BeginEntry(1, os::kEventError), -1);

  test::TRecordingEventLog log;
  log.Settings[1] = 7;
  TEventLogView* view = log.CreateView("Threads", 3);
  EXPECT_EQ(view->Settings[1], 7u);
  view->WriteEntry("%s", {"a"}, -1, os::kEventWarning, 0);
  view->WriteEntry("%s", {"b"}, 5, os::kEventWarning, 0);
  WriteText(view, "one\r\ntwo\nthree", true, -1, "50% ", os::kEventInformation);
  WriteText(&log, "whole\ntext", false, 2, "P: ", os::kEventInformation);
  EXPECT_EQ(log.entries, (std::vector<std::string>{"3/2: a", "5/2: b", "3/4: 50% one", "3/4: 50% two",
                                                   "3/4: 50% three", "2/4: P: whole\ntext"}));
  EXPECT_THROW(log.CreateView("bad", 0), EAssertionFailed);
  log.Active = false;
  EXPECT_EQ(test::MessageOf([&] { log.CreateView("late", 1); }),
            "Cannot create views for inactive event log");

  TEventLog* permanent = new TEventLog;
  permanent->Permanent = true;
  EXPECT_EQ(test::MessageOf([&] { FreeEventLog(permanent); }),
            "Attempt to free a permanent event log object");
  ASSERT_NE(permanent, nullptr);
  permanent->Permanent = false;
  SetDefaultEventLog(permanent);
  FreeEventLog(permanent);
  EXPECT_EQ(permanent, nullptr);
  EXPECT_EQ(GetDefaultEventLog(), nullptr);  // freeing the default clears it
  delete view;
}

TEST(EventLog, SystemLogSink) {
  g_records.clear();
  os::testing::SetSystemLogHook(Capture);
  TSystemEventLog sink;
  SetDefaultEventLog(&sink);
  GetDefaultEventLog()->WriteEntry("Thread %d failed: %s", {7, "boom"}, 1, os::kEventError, 0);
  WriteText(&sink, "a\nb", true, 1, "", os::kEventWarning);
  os::testing::SetSystemLogHook(nullptr);
  ASSERT_EQ(g_records.size(), 3u);
  EXPECT_EQ(g_records[0], std::make_pair(os::DWORD{os::kEventError}, std::string("Thread 7 failed: boom")));
  EXPECT_EQ(g_records[2], std::make_pair(os::DWORD{os::kEventWarning}, std::string("b")));
  SetDefaultEventLog(nullptr);
}

}  // namespace
}  // namespace vt
