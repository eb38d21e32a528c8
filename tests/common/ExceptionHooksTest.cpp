// Exception records: raise and handler records, suppression, the texts made
// from system exception records, processor faults.
#include "common/ExceptionHooks.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "common/EventLog.h"
#include "common/FileStreams.h"
#include "common/Locks.h"
#include "platform/Process.h"
#include "support/InPageError.h"
#include "support/TestFiles.h"

namespace vt {
namespace {

// Collects the lines written to it as the default event log.
class TCaptureLog : public TEventLog {
 public:
  void WriteEntry(std::string_view format, const FormatArgs& args, int, std::uint32_t, std::uint32_t) override {
    if (throw_inside) (void)test::MessageOf([] { throw Exception("inside the log"); });
    lines.push_back(FormatV(format, args));
  }
  std::string Text() const {
    std::string t;
    for (const auto& l : lines) t += l + "\n";
    return t;
  }
  std::vector<std::string> lines;
  bool throw_inside = false;
};

// Writes each line to stderr, for checks in a child that dies.
class TStderrLog : public TEventLog {
 public:
  void WriteEntry(std::string_view format, const FormatArgs& args, int, std::uint32_t, std::uint32_t) override {
    std::fprintf(stderr, "%s\n", FormatV(format, args).c_str());
  }
};

class ExceptionHooks : public ::testing::Test {
 protected:
  void SetUp() override {
    SetDefaultEventLog(log_.get());
    InstallExceptionHooks();
  }
  void TearDown() override {
    UninstallExceptionHooks();
    SetDefaultEventLog(nullptr);
  }
  int Count(const std::string& what) const {
    int n = 0;
    for (const auto& l : log_->lines) n += l.find(what) != std::string::npos;
    return n;
  }
  std::unique_ptr<TCaptureLog> log_ = std::make_unique<TCaptureLog>();
};

[[gnu::noinline]] void Raise(const char* text) { throw EConvertError(text); }

TEST_F(ExceptionHooks, CaughtAndReraisedExceptionsLeaveTheRecordsOfTheirOwnRaises) {
  (void)test::MessageOf<EConvertError>([] { Raise("bad number"); });
  (void)test::MessageOf([] {
    try {
      Raise("inner");
    } catch (const Exception&) {
      ReraiseWithContext("outer");
    }
  });
  UninstallExceptionHooks();
  const std::string text = log_->Text();
  const std::string pid = std::to_string(os::GetCurrentProcessId());
  EXPECT_TRUE(std::regex_search(text, std::regex("-{10}Raised Exception-{14}[0-9/ :.]{23}-+\n"
                                                 "EConvertError PID=" + pid + " TID=\\d+[^\n]* Build=4821\n\n"
                                                 "bad number\n\n\\(\\$CALLTRACE:[0-9A-F]{8,16}:[0-9A-F,*]+\\)\n")))
      << text;
  EXPECT_TRUE(std::regex_search(text, std::regex("-{10}Exception-+[0-9/ :.]{23}-+\n"
                                                 "EConvertError   Code=0x0EEDFADE   Flags=0x1   Addr=0x[0-9A-F]{8,16}"
                                                 "   PID=" + pid + "   TID=\\d+[^\n]*   Build=4821\n\n"
                                                 "bad number\n\n\\(\\$CALLTRACE:")))
      << text;
  // The handler record names the place of the raise, the trace starts there.
  std::smatch m;
  ASSERT_TRUE(std::regex_search(text, m, std::regex("Addr=0x([0-9A-F]+)")));
  const std::string addr = m[1].str().substr(m[1].str().find_first_not_of('0'));
  EXPECT_TRUE(std::regex_search(text, std::regex("\\(\\$CALLTRACE:[0-9A-F]{8,16}:" + addr + "[,)]")))
      << text;
  // Raise and handler records of "bad number", "inner" and "outer".
  EXPECT_EQ(Count("Raised Exception"), 3) << text;
  EXPECT_EQ(Count("Code=0x0EEDFADE"), 3) << text;
  EXPECT_EQ(Count("No Message"), 0) << text;
}

// With the fault handlers installed, a copy from a view whose file was cut
// short still ends in the in-page error, not in a fault record.
TEST_F(ExceptionHooks, CopyFromAFileCutShortIsNoProcessorFault) {
  test::TempFolder dir;
  test::WriteFileText(dir.File("view.bin"), std::string(10000, 'v'));
  std::int64_t size = 0;
  void* view = MapWholeFile(dir.File("view.bin"), 0, size);
  std::filesystem::resize_file(dir.File("view.bin"), 0);
  char buffer[16];
  EXPECT_EQ(test::ExternalCodeOf([&] { CopyFileView(buffer, view, sizeof buffer); }), os::kStatusInPageError);
  os::UnmapViewOfFile(view);
  EXPECT_EQ(Count("Code=0xC0000006"), 0);
}

TEST_F(ExceptionHooks, SilentAndSuppressedExceptionsAreNotRecorded) {
  (void)test::MessageOf<EAbort>([] { throw EAbort("quiet"); });
  DisableExceptionLogging();
  (void)test::MessageOf([] { Raise("suppressed"); });
  EnableExceptionLogging();
  EXPECT_TRUE(log_->lines.empty()) << log_->Text();

  // Exceptions of the logger itself are not logged again.
  log_->throw_inside = true;
  (void)test::MessageOf([] { Raise("once"); });
  UninstallExceptionHooks();
  EXPECT_EQ(Count("Raised Exception"), 1);
  EXPECT_EQ(Count("-Exception-"), 1);
  EXPECT_EQ(Count("inside the log"), 0);
}

TEST_F(ExceptionHooks, OtherObjectsAndMissingRecords) {
  (void)test::DescribeThrown<int>([] { throw 42; }, [](int) { return std::string(); });
  LogException(nullptr, nullptr);
  os::ExceptionRecord record;
  LogException(&record, nullptr);
  UninstallExceptionHooks();
  const std::string text = log_->Text();
  EXPECT_NE(text.find("int PID="), std::string::npos) << text;
  EXPECT_NE(text.find("int   Code=0x0EEDFADE"), std::string::npos) << text;
  EXPECT_EQ(Count("No Message"), 2);
  EXPECT_NE(text.find("-\nNo exception record available!\n"), std::string::npos) << text;
  EXPECT_NE(text.find("-\nNo exception context available!\n"), std::string::npos) << text;
}

TEST(ExceptionTexts, SystemRecordsBecomeRuntimeExceptions) {
  const struct {
    std::uint32_t code;
    const char* class_name;
    const char* message;
  } cases[] = {
      {0xC0000094, "EDivByZero", "Division by zero"},
      {0xC0000095, "EIntOverflow", "Integer overflow"},
      {0xC000008C, "ERangeError", "Range check error"},
      {0xC000008F, "EInvalidOp", "Invalid floating point operation"},
      {0xC0000090, "EInvalidOp", "Invalid floating point operation"},
      {0xC0000092, "EInvalidOp", "Invalid floating point operation"},
      {0xC000008E, "EZeroDivide", "Floating point division by zero"},
      {0xC0000091, "EOverflow", "Floating point overflow"},
      {0xC000008D, "EUnderflow", "Floating point underflow"},
      {0xC0000093, "EUnderflow", "Floating point underflow"},
      {0xC0000096, "EPrivilege", "Privileged instruction"},
      {0xC000013A, "EControlC", "Control-C hit"},
      {0xC00000FD, "EStackOverflow", "Stack overflow"},
      {0xC000001D, "EExternalException", "External exception C000001D"},
      {0x0EEDFADE, "EExternalException", "External exception EEDFADE"},
  };
  for (const auto& c : cases) {
    os::ExceptionRecord record;
    record.ExceptionCode = c.code;
    auto e = MapOSException(record);
    EXPECT_EQ(ExceptionClassText(e.get()), c.class_name) << std::hex << c.code;
    EXPECT_EQ(e->Message(), c.message);
    EXPECT_EQ(e->Record.ExceptionCode, c.code);
  }
}

void CodeInThisProgram() {}

TEST(ExceptionTexts, AccessViolationsNameAddressModuleAndOperation) {
  os::ExceptionRecord record;
  record.ExceptionCode = 0xC0000005;
  record.ExceptionAddress = reinterpret_cast<const void*>(&CodeInThisProgram);
  record.NumberParameters = 2;
  record.ExceptionInformation[1] = 0x1234;
  const std::string at = Format("%p", record.ExceptionAddress);
  const std::string accessed = Format("%p", reinterpret_cast<const void*>(0x1234));
  const std::pair<std::uintptr_t, const char*> operations[] = {
      {0, "Read"}, {1, "Write"}, {8, "Execute"}, {5, "Operation 0x5"}};
  for (const auto& [code, text] : operations) {
    record.ExceptionInformation[0] = code;
    auto e = MapOSException(record);
    EXPECT_EQ(ExceptionClassText(e.get()), "EAccessViolation");
    EXPECT_TRUE(std::regex_match(e->Message(), std::regex("Access violation at address " + at +
                                                          " in module 'vt_tests_common' \\(Base = 0x[0-9A-F]+\\)\\. " +
                                                          text + " of address " + accessed)))
        << e->Message();
  }
  // Code outside every module: the short text.
  record.ExceptionAddress = reinterpret_cast<const void*>(0x10);
  record.ExceptionInformation[0] = 1;
  EXPECT_EQ(MapOSException(record)->Message(),
            "Access violation at address " + Format("%p", record.ExceptionAddress) + ". Write of address " + accessed);
  // A record without parameters reads as a read of address 0.
  record.NumberParameters = 0;
  EXPECT_EQ(MapOSException(record)->Message(), "Access violation at address " + Format("%p", record.ExceptionAddress) +
                                                    ". Read of address " + Format("%p", static_cast<const void*>(nullptr)));
}

[[gnu::noinline]] void WriteTo(std::uintptr_t address) {
  volatile std::uintptr_t where = address;
  *reinterpret_cast<volatile int*>(where) = 1;
}

// The division must reach the processor, also in sanitizer builds.
#if defined(__clang__)
#define VT_NO_DIVIDE_CHECK __attribute__((no_sanitize("integer-divide-by-zero")))
#else
#define VT_NO_DIVIDE_CHECK
#endif
[[gnu::noinline]] VT_NO_DIVIDE_CHECK int Divide(int a, int b) {
  volatile int dividend = a, divisor = b;
  return dividend / divisor;
}

TEST(ExceptionHooksDeathTest, ProcessorFaultsAreRecordedThenTakeTheirCourse) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  auto fault = [](bool divide) {
    static TStderrLog log;
    SetDefaultEventLog(&log);
    InstallExceptionHooks();
    if (divide)
      std::printf("%d", Divide(1, 0));
    else
      WriteTo(0x10);
  };
  EXPECT_DEATH(fault(false), "EAccessViolation   Code=0xC0000005   Flags=0x0   Addr=0x[0-9A-F]+   PID=[^\n]*\n\n"
                             "Access violation at address [0-9A-F]+ in module 'vt_tests_common' \\(Base = "
                             "0x[0-9A-F]+\\)\\. Write of address 0+10\n");
  EXPECT_DEATH(fault(true), "EDivByZero   Code=0xC0000094[^\n]*\n\nDivision by zero\n");
}

}  // namespace
}  // namespace vt
