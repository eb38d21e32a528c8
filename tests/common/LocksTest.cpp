#include "common/Locks.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <thread>
#include <vector>

#include "common/TestHooks.h"
#include "support/TestFiles.h"

namespace vt {
namespace {

std::vector<std::string> g_warnings;

struct WarningsCaptured {
  WarningsCaptured() {
    g_warnings.clear();
    SetWarningCallback([](const std::string& text) { g_warnings.push_back(text); });
  }
  ~WarningsCaptured() {
    SetWarningCallback(nullptr);
    CommonTestHelper::SetDeadlockSliceMs(20000);
  }
};

using test::MessageOf;

// Re-entry is beyond the lock analysis.
void EnterTwiceAndLeave(TFastMutex& m) NO_THREAD_SAFETY_ANALYSIS {
  m.Enter();
  m.Enter();
  m.Leave();
  m.Leave();
}

TEST(FastMutex, RecursiveAndExclusive) {
  TFastMutex m;
  EnterTwiceAndLeave(m);
  long counter = 0;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&] {
      for (int i = 0; i < 20000; ++i) {
        m.Enter();
        ++counter;
        m.Leave();
      }
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(counter, 80000);
}

TEST(WinObjects, CreationExistenceAndEvents) {
  const std::string name = "vt_locks_mutex_" + std::to_string(::getpid());
  TWinMutex a(GetEveryoneSecurityAttributes(), name);
  EXPECT_FALSE(a.AlreadyExisted);
  TWinMutex b(nullptr, name);
  EXPECT_TRUE(b.AlreadyExisted);

  EXPECT_EQ(
      MessageOf<EOSError>([&] { TWinEvent clash(nullptr, name, true, false); }),  // a mutex holds the name
      "Failed to create event object: '" + name + "': The handle is invalid (6)");
  TWinEvent ev(nullptr, "", true, false);
  EXPECT_FALSE(ev.AlreadyExisted);
  ev.SetEvent();
  EXPECT_TRUE(ev.WaitFor(0));
  EXPECT_EQ(MessageOf<EOSError>([] { SetEventChecked(os::kInvalidHandleValue); }),
            "Failed to set event object 0x0FFFFFFFF: The handle is invalid (6)");
  // Objects made with these attributes are open to every user and not inherited.
  EXPECT_TRUE(GetEveryoneSecurityDescriptor()->NullDacl);
  EXPECT_FALSE(GetEveryoneSecurityAttributes()->bInheritHandle);
}

TEST(WaitForObjects, TimeoutsFailuresAndSignalObject) {
  TWinEvent ev(nullptr, "", true, false);
  EXPECT_EQ(test::ExactMessageOf<Exception>([&] { WaitForObjects({ev.Handle}, false, 100); }),
            "Wait operation timed out after 100ms");
  EXPECT_EQ(WaitForObjects({ev.Handle}, false, 100, wfNoTimeoutError), -1);
  EXPECT_FALSE(WaitForObject(ev.Handle, 10, wfNoTimeoutError));
  EXPECT_EQ(MessageOf([] { WaitForObjects({}, false, 0); }), "No objects to wait for specified.");
  EXPECT_EQ(MessageOf<EOSError>([] { WaitForObjects({os::kInvalidHandleValue}, false, 0); }),
            "Wait operation failed: The handle is invalid (6)");
  EXPECT_EQ(MessageOf<EAssertionFailed>([&] {
              WaitForObjects({ev.Handle, ev.Handle}, false, 0, 0, ev.Handle);
            }),
            "Assertion failure (Objects, line 3370)");

  // The signal object is signalled once, before the wait.
  TWinEvent first(nullptr, "", false, false), second(nullptr, "", false, true);
  EXPECT_TRUE(WaitForObject(second.Handle, 0, 0, first.Handle));
  EXPECT_TRUE(first.WaitFor(0));
  EXPECT_FALSE(first.WaitFor(0));
}

TEST(WaitForObjects, DeadlockWarningsAroundLongWaits) {
  WarningsCaptured capture;
  CommonTestHelper::SetDeadlockSliceMs(20);
  TWinEvent late(nullptr, "", true, false);
  std::thread setter([&] {
    os::Sleep(90);
    late.SetEvent();
  });
  EXPECT_EQ(WaitForObjects({late.Handle}, false, os::kInfinite, wfDeadlockWarnings), 0);
  setter.join();
  ASSERT_GE(g_warnings.size(), 2u);
  for (size_t i = 0; i + 1 < g_warnings.size(); ++i)
    EXPECT_EQ(g_warnings[i], "Wait State Warning (possible deadlock)");
  EXPECT_EQ(g_warnings.back(), "Wait State Ended (deadlock condition avoided)");

  // Signalled at once: no warnings.
  g_warnings.clear();
  EXPECT_EQ(WaitForObjects({late.Handle}, false, os::kInfinite, wfDeadlockWarnings), 0);
  EXPECT_TRUE(g_warnings.empty());
}

TEST(WaitForObjects, AbandonedMutexCountsAsAcquired) {
  WarningsCaptured capture;
  TWinMutex m(nullptr, "");
  TWinEvent other(nullptr, "", true, false);
  std::thread([&] { m.Acquire(); }).join();  // the thread ends owning it
  EXPECT_TRUE(m.Acquire(1000, wfWarnAbandoned));
  m.Release();
  std::thread([&] { m.Acquire(); }).join();
  EXPECT_EQ(WaitForObjects({other.Handle, m.Handle}, false, 1000, wfWarnAbandoned), 1);
  EXPECT_EQ(g_warnings,
            (std::vector<std::string>{"Wait State Warning (wait abandoned)",
                                      "Wait State Warning (wait abandoned)\r\nAbandoned object index is 1"}));
  m.Release();
  // Unassigned callback: warnings are dropped.
  SetWarningCallback(nullptr);
  EXPECT_NO_THROW(SendWarning("dropped"));
}

TEST(Posting, RetriesFullQueuesAndRaisesOtherErrors) {
  int calls = 0;
  auto before_posted = PostedMessageCount();
  auto before_retries = PostRetryCount();
  PostMessageRetryLoop(
      [&] {
        ++calls;
        if (calls < 3) {
          os::SetLastError(calls == 1 ? os::DWORD{0} : os::DWORD{os::kErrorNotEnoughQuota});
          return false;
        }
        return true;
      },
      0x401, 0xABC);
  EXPECT_EQ(calls, 3);
  EXPECT_EQ(PostedMessageCount() - before_posted, 1);
  EXPECT_EQ(PostRetryCount() - before_retries, 2);
  const auto invalid_window = [] {
    os::SetLastError(os::kErrorInvalidWindowHandle);
    return false;
  };
  EXPECT_EQ(test::CodedMessageOf<EOSError>([&] { PostMessageRetryLoop(invalid_window, 0x401, 0xABC); }),
            "Failed to post message 0x0401 to window 0x0ABC.: Invalid window handle (1400) #1400");
}

TEST(ThreadCounters, ExceptionLoggingSuppressionIsPerThread) {
  EXPECT_FALSE(IsExceptionLoggingDisabled());
  DisableExceptionLogging();
  DisableExceptionLogging();
  EXPECT_TRUE(IsExceptionLoggingDisabled());
  bool other = true;
  std::thread([&] { other = IsExceptionLoggingDisabled(); }).join();
  EXPECT_FALSE(other);
  EnableExceptionLogging();
  EXPECT_TRUE(IsExceptionLoggingDisabled());
  EnableExceptionLogging();
  EXPECT_FALSE(IsExceptionLoggingDisabled());
}

}  // namespace
}  // namespace vt
