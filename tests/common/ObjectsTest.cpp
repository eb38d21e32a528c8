#include "common/Objects.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "common/Classes.h"
#include "common/ExceptionHooks.h"
#include "platform/LastError.h"
#include "platform/ModuleNames.h"
#include "platform/Sync.h"
#include "support/LimitedChild.h"
#include "support/TestFiles.h"

namespace vt {
namespace {

using test::CodedMessageOf;
using test::ExactMessageOf;
using test::MessageOf;

// Message, system text and code: the handle wrappers below show the whole form.
TEST(OSErrors, TextIsMessageSystemTextAndCode) {
  // The system text is never formatted itself; its insert gets the first text
  // argument, or stays without one.
  EXPECT_EQ(MessageOf<EOSError>([] { RaiseOSErrorCode("Cannot run '%s'", 193); }),
            "Cannot run '%s': %1 is not a valid Win32 application (193)");
  EXPECT_EQ(MessageOf<EOSError>([] { RaiseOSError("Cannot run '%s'", {"a.exe"}, 193); }),
            "Cannot run 'a.exe': a.exe is not a valid Win32 application (193)");
  EXPECT_EQ(OSErrorText("Cannot run %d '%s' '%s'", {2, "a%1.exe", "b.exe"}, 193),
            "Cannot run 2 'a%1.exe' 'b.exe': a%1.exe is not a valid Win32 application (193)");
  EXPECT_EQ(OSErrorText("Cannot run it", {}, 193, "c.exe"), "Cannot run it: c.exe is not a valid Win32 application (193)");
  for (std::uint32_t code = 0; code < 16000; ++code) {
    const std::string text = OSErrorText("m", {}, code);
    ASSERT_EQ(text.find_first_of("\r\n"), std::string::npos) << code;
  }
  os::SetLastError(183);
  EXPECT_EQ(CodedMessageOf<EOSError>([] { RaiseLastOSError("Failed to create '%s'", {"x"}); }),
            "Failed to create 'x': Cannot create a file when that file already exists (183) #183");
  EXPECT_NO_THROW(CheckOS(true, "never"));
  os::SetLastError(5);
  EXPECT_THROW(CheckOS(false, "denied"), EOSError);
}

TEST(OSErrors, ReraiseKeepsKindAndAddsContext) {
  // What thrower throws, reraised with context.
  auto reraised = [](auto thrower) {
    return [thrower] {
      try {
        thrower();
      } catch (...) {
        ReraiseWithContext("Loading '%s'", {"a.pak"});
      }
    };
  };
  EXPECT_EQ(CodedMessageOf<EOSError>(reraised([] { throw EOSError("inner", 32); })),
            "Loading 'a.pak'\r\ninner #32");
  EXPECT_EQ(ExactMessageOf<EAbort>(reraised([] { throw EAbort("stop"); })), "Loading 'a.pak'\r\nstop");
  EXPECT_EQ(ExactMessageOf<EReadError>(reraised([] { throw EReadError(); })),
            "Loading 'a.pak'\r\nStream read error");
  EXPECT_EQ(ExactMessageOf<Exception>(reraised([] { throw Exception("plain"); })), "Loading 'a.pak'\r\nplain");
  // Objects that are not the library's exceptions become the base exception.
  EXPECT_EQ(ExactMessageOf<Exception>(reraised([] { throw 42; })), "Loading 'a.pak'");
  EXPECT_EQ(ExactMessageOf<Exception>(reraised([] { throw std::runtime_error("std"); })), "Loading 'a.pak'\r\nstd");

  EXPECT_EQ(ExceptionClassText(static_cast<const std::exception*>(nullptr)), "(unavailable)");
  TMemoryStream stream;
  EXPECT_EQ(ExceptionClassText(static_cast<const TObject*>(&stream)), "TMemoryStream");
}

// Two context layers over each kind: the caller catches the very kind with
// its data and both layers' texts.
TEST(OSErrors, ReraiseKeepsTheKindThroughEveryLayer) {
  auto layered = [](auto thrower) {
    return [thrower] {
      try {
        try {
          thrower();
        } catch (...) {
          ReraiseWithContext("inner %d", {1});
        }
      } catch (...) {
        ReraiseWithContext("outer");
      }
    };
  };
  EXPECT_EQ(ExactMessageOf<EFOpenError>(layered([] { throw EFOpenError("Cannot open file: x"); })),
            "outer\r\ninner 1\r\nCannot open file: x");
  EXPECT_EQ(ExactMessageOf<EReadError>(layered([] { throw EReadError(); })),
            "outer\r\ninner 1\r\nStream read error");
  EXPECT_EQ(ExactMessageOf<EConvertError>(layered([] { throw EConvertError("bad"); })),
            "outer\r\ninner 1\r\nbad");
  EXPECT_EQ(CodedMessageOf<EOSError>(layered([] { RaiseOSErrorCode("Failed", 5); })),
            "outer\r\ninner 1\r\nFailed: Access is denied (5) #5");
  EXPECT_EQ(CodedMessageOf<EOleSysError>(layered([] { throw EOleSysError("ole", -2147467259); })),
            "outer\r\ninner 1\r\nole #-2147467259");
  const std::string assertion = test::DescribeThrown<EAssertionFailed>(
      layered([] { AssertionFailed("Packets", 1691); }),
      [](const EAssertionFailed& e) { return e.Unit() + ":" + std::to_string(e.Line()) + " " + e.what(); });
  EXPECT_EQ(assertion, "Packets:1691 outer\r\ninner 1\r\nAssertion failure (Packets, line 1691)");
  os::ExceptionRecord record;
  record.ExceptionCode = os::kStatusAccessViolation;
  EXPECT_EQ(test::DescribeThrown<EAccessViolation>(
                layered([&] { throw EAccessViolation("Access violation", record); }),
                [](const EAccessViolation& e) { return std::string(e.what()) + " " + IntToHexFixed(e.Record.ExceptionCode, 8); }),
            "outer\r\ninner 1\r\nAccess violation C0000005");

  // A class of its own without a declared kind still arrives as itself.
  struct EUndeclared : EStreamError {
    using EStreamError::EStreamError;
    int Extra = 7;
  };
  EXPECT_EQ(test::DescribeThrown<EUndeclared>(layered([] { throw EUndeclared("mine"); }),
                                              [](const EUndeclared& e) {
                                                return std::string(e.what()) + " #" + std::to_string(e.Extra);
                                              }),
            "outer\r\ninner 1\r\nmine #7");
}

TEST(Compare, NumbersPairsAndGuids) {
  EXPECT_EQ(CompareInt64(-1, 0x7FFFFFFF), -1);
  EXPECT_EQ(CompareInt64(0x100000000LL, 0xFFFFFFFFLL), 1);
  EXPECT_EQ(CompareInt64(5, 5), 0);
  EXPECT_EQ(ComparePair(1, 0xFFFFFFFFu, 2, 0), -1);
  EXPECT_EQ(ComparePair(2, 0x80000000u, 2, 1), 1);
  TGUID a{0x80000000u, 1, 2, {1, 2, 3, 4, 5, 6, 7, 8}};
  TGUID b{1, 1, 2, {1, 2, 3, 4, 5, 6, 7, 8}};
  EXPECT_FALSE(GuidsEqual(a, b));
  EXPECT_EQ(CompareGuid(a, b), -1);  // first word is signed
  b = a;
  EXPECT_TRUE(GuidsEqual(a, b));
  EXPECT_EQ(CompareGuid(a, b), 0);
  b.D4[7] = 9;
  EXPECT_EQ(CompareGuid(a, b), -1);
  int x = 0, y = 0;
  EXPECT_TRUE(SameMethod({&x, &y}, {&x, &y}));
  EXPECT_FALSE(SameMethod({&x, &y}, {&x, &x}));
}

TEST(Text, CaseFoldingSearchAndReplace) {
  EXPECT_TRUE(SameTextAscii("Hello World_1", "HELLO WORLD_1"));
  EXPECT_FALSE(SameTextAscii("abc", "abcd"));
  EXPECT_FALSE(SameTextAscii("caf\xe9", "CAF\xc9"));  // bytes above 127 do not fold
  EXPECT_FALSE(SameTextAscii("[", "{"));              // only letters fold
  std::string mixed = "MiXeD\xC4";
  LowerCaseAsciiInPlace(mixed);
  EXPECT_EQ(mixed, "mixed\xC4");
  EXPECT_EQ(CommonPrefixLength("Abcd", "abXd", false), 2);
  EXPECT_EQ(CommonPrefixLength("Abcd", "abXd", true), 0);
  EXPECT_EQ(CommonPrefixLength("ab", "ab", true), 2);

  EXPECT_EQ(PosEx("b", "abcabc"), 2);
  EXPECT_EQ(PosEx("B", "abcabc", 1, true), 0);
  EXPECT_EQ(PosEx("B", "abcabc", 3, false), 5);
  EXPECT_EQ(PosEx("", "abc"), 0);
  EXPECT_TRUE(MatchAt("hello", 2, "ELL", false));
  EXPECT_FALSE(MatchAt("hello", 4, "lox", false));
  EXPECT_FALSE(MatchAt("hello", 0, "h"));

  std::string s = "Setup.PAK";
  EXPECT_TRUE(ReplaceSuffix(s, ".pak", ".exe", false));
  EXPECT_EQ(s, "Setup.exe");
  EXPECT_FALSE(ReplaceSuffix(s, ".EXE", ".x", true));

  s = "abcdef";
  ReplaceRange(s, 2, "XY", 3);
  EXPECT_EQ(s, "aXYef");
  ReplaceRange(s, 5, "Z", 10);
  EXPECT_EQ(s, "aXYeZ");

  // Scanning goes on after the inserted text: no endless growth.
  EXPECT_EQ(StringReplaceAll("aaa", "a", "aa"), "aaaaaa");
  EXPECT_EQ(StringReplaceAll("xAbab", "AB", "-", false), "x--");
  EXPECT_EQ(StringReplaceAll("xAbab", "ab", "-", true), "xAb-");
  EXPECT_EQ(ReplaceCharsInSet("a/b\\c:d", "/\\:", '_'), "a_b_c_d");
}

TEST(Text, Tokens) {
  const struct {
    const char *text, *token;
    int consumed;
  } cases[] = {{"\"C:\\a b\\x.exe\" -q", "C:\\a b\\x.exe", 14},
               {"setup.exe -q", "setup.exe", 9},
               {"single", "single", 6},
               {"\"\"", "", 2}};
  int consumed = 0;
  for (const auto& c : cases) {
    EXPECT_EQ(FirstToken(c.text, consumed), c.token);
    EXPECT_EQ(consumed, c.consumed) << c.text;
  }
  EXPECT_EQ(ExactMessageOf<Exception>([&] { FirstToken("\"open ended", consumed); }),
            "Closing quotation mark not found.");
  std::string s = "\"a b\"   rest of it ", token;
  StripFirstToken(s, true, token);
  EXPECT_EQ(token, "a b");
  EXPECT_EQ(s, "rest of it");
  s = "one two";
  StripFirstToken(s, false, token);
  EXPECT_EQ(token, "one");
  EXPECT_EQ(s, " two");
}

TEST(Hex, FixedDigitsAddressesParsingAndGuids) {
  EXPECT_EQ(IntToHexFixed(0x12345, 4), "2345");
  EXPECT_EQ(IntToHexFixed(0xAB, 4), "00AB");
  EXPECT_EQ(IntToHexFixed(0xFFFFFFFFFFFFFFFFull, 20), "0000FFFFFFFFFFFFFFFF");
  EXPECT_EQ(HexAddress(0x401000), "0x00401000");
  EXPECT_EQ(HexAddress(0x7FFF00001000ull), "0x00007FFF00001000");

  const std::pair<const char*, std::int32_t> good[] = {
      {"123", 123}, {"-2147483648", INT32_MIN}, {"$1F", 31}, {"0xFFFFFFFF", -1}};
  for (const auto& [text, value] : good) {
    std::int32_t v = 0;
    EXPECT_TRUE(TryStrToInt(text, v) && v == value) << text;
  }
  std::int32_t v = 0;
  for (const char* bad : {"2147483648", "0x100000000", "", "-", "12a", "99999999999999999999999"})
    EXPECT_FALSE(TryStrToInt(bad, v)) << bad;

  // GUID text: upper-case hexadecimal in braces.
  TGUID g{0x1a2b3c4du, 0x5e6f, 0x0708, {0x90, 0xab, 0xcd, 0xef, 0x01, 0x23, 0x45, 0x67}};
  EXPECT_EQ(GuidToText(g), "{1A2B3C4D-5E6F-0708-90AB-CDEF01234567}");
}

TEST(FreeAndNil, ClearsBeforeFreeing) {
  struct Probe {
    Probe*& ref;
    bool& cleared;
    ~Probe() { cleared = (ref == nullptr); }
  };
  Probe* p = nullptr;
  bool cleared = false;
  p = new Probe{p, cleared};
  FreeAndNilObject(p);
  EXPECT_TRUE(cleared);
  int *a = new int(1), *b = new int(2);
  FreeAndNilObject(a, b);
  EXPECT_TRUE(a == nullptr && b == nullptr);
  EXPECT_EQ(Int64FromWords(0x89ABCDEFu, 0x01234567u), 0x0123456789ABCDEFLL);
}

TEST(Wrappers, HandlesModulesAndTheirFailureTexts) {
  EXPECT_TRUE(IsInvalidHandle(-1));
  EXPECT_FALSE(IsInvalidHandle(0));
  EXPECT_EQ(CodedMessageOf<EOSError>([] { CloseHandleChecked(os::kInvalidHandleValue); }),
            "Failed to close handle 0x0FFFFFFFF: The handle is invalid (6) #6");
  os::HANDLE h = os::CreateEventA(nullptr, true, false, "");
  os::HANDLE dup = DuplicateHandleSameAccess(os::kCurrentProcess, h, os::kCurrentProcess, false);
  EXPECT_NE(dup, h);
  CloseHandleCheckedAndNil(h);
  EXPECT_EQ(h, 0);
  CloseHandleCheckedAndNil(h);  // zero: nothing to do
  os::HANDLE copy = dup;
  CloseHandleAndNil(dup);
  EXPECT_EQ(dup, 0);
  EXPECT_THROW(CloseHandleChecked(copy), EOSError);
  const std::string dup_error = CodedMessageOf<EOSError>(
      [&] { DuplicateHandleSameAccess(os::kCurrentProcess, copy, os::kCurrentProcess, false); });
  EXPECT_TRUE(dup_error.starts_with("Failed to duplicate handle 0x0") && dup_error.ends_with(" #6"))
      << dup_error;

  std::string self = GetModuleFileNameChecked(nullptr);
  EXPECT_EQ(self.substr(self.rfind('/') + 1), "vt_tests_common");
  EXPECT_EQ(GetModuleFileNameChecked(GetModuleHandleChecked("")), self);
  EXPECT_EQ(
      MessageOf<EOSError>([] { LoadLibraryChecked("/nonexistent/libnothing.so"); }),
      "Cannot load library '/nonexistent/libnothing.so': The specified module could not be found (126)");
  EXPECT_TRUE(
      CodedMessageOf<EOSError>([] { GetModuleHandleChecked("libnot_loaded_here.so"); }).ends_with(" #126"));
  os::HMODULE libc = LoadLibraryChecked("libc.so.6");
  EXPECT_NE(GetProcAddressChecked(libc, "strlen"), nullptr);
  EXPECT_THROW(GetProcAddressChecked(libc, "no_such_procedure_here"), EOSError);
  EXPECT_NE(GetModuleFileNameStr(GetModuleHandleChecked("libc.so.6")).find("libc"), std::string::npos);
  os::FreeLibrary(libc);
}

// Handles that name no module are answered, never followed into memory.
TEST(Wrappers, HandlesThatNameNoModuleAreRefused) {
  std::vector<char> heap(4096, '\x5A');
  std::vector<os::HMODULE> handles{reinterpret_cast<os::HMODULE>(0x1234), heap.data()};
  os::HMODULE freed = LoadLibraryChecked("libz.so.1");
  ASSERT_TRUE(os::FreeLibrary(freed));
  if (os::GetModuleHandle("libz.so.1") == nullptr) handles.push_back(freed);  // unloaded
  for (os::HMODULE module : handles) {
    EXPECT_EQ(GetModuleFileNameStr(module), "");
    EXPECT_TRUE(MessageOf<EOSError>([&] { GetModuleFileNameChecked(module); })
                    .starts_with("Cannot get filename of module 0x0"));
    EXPECT_TRUE(CodedMessageOf<EOSError>([&] { GetProcAddressChecked(module, "strlen"); })
                    .starts_with("Cannot get address of procedure 'strlen': "));
    EXPECT_FALSE(os::FreeLibrary(module));
  }
}

TEST(Wrappers, Pages) {
  EXPECT_EQ(AllocPages(0), nullptr);
  auto* p = static_cast<char*>(AllocPages(3 * 4096));
  p[3 * 4096 - 1] = 2;  // all three pages committed
  os::MemoryBasicInformation info{};
  EXPECT_EQ(VirtualProtectChecked(p, 4096, os::kPageReadOnly), os::kPageReadWrite);
  DecommitPages(p + 4096, 4096);
  EXPECT_TRUE(VirtualQueryChecked(p + 4096, info, true));
  EXPECT_EQ(info.State, os::kMemReserve);
  FreePages(p);
  FreePages(nullptr);
  EXPECT_THROW(VirtualFreeChecked(p + 4096, 0, os::kMemRelease), EOSError);
  EXPECT_THROW(VirtualAllocChecked(nullptr, 0, os::kMemCommit, os::kPageReadWrite), EOSError);
}

// An allocation the system refuses raises and leaves nothing mapped; one it
// grants costs bookkeeping for the region, not for each of its pages. Run
// where the data may grow by 256 MiB only.
TEST(Wrappers, HugeAllocationsRaiseOrWorkAndKeepNothing) {
  const std::string result = test::InChildWithDataLimit(256u << 20, [] {
    const std::size_t vm_before = test::StatusBytes("VmSize");
    constexpr std::size_t k64TiB = std::size_t{1} << 46;
    std::string out = CodedMessageOf<EOSError>(
        [] { VirtualAllocChecked(nullptr, k64TiB, os::kMemCommit, os::kPageReadWrite); });
    out += " | ";
    for (std::size_t size : {k64TiB, k64TiB >> 2}) {
      out += MessageOf<EOSError>([&] {
        void* p = VirtualAllocChecked(nullptr, size, os::kMemReserve, os::kPageNoAccess);
        VirtualAllocChecked(static_cast<char*>(p) + size / 2, 1, os::kMemCommit, os::kPageReadWrite);
        FreePages(p);
      });
      out += " | ";
    }
    out += test::StatusBytes("VmSize") < vm_before + (std::size_t{1} << 30) ? "unmapped" : "still mapped";
    return out;
  });
  const std::string refused =
      "Failed to allocate 70368744177664 bytes of virtual memory at 0x0" +
      Format("%p", static_cast<const void*>(nullptr)) +
      ": Not enough memory resources are available to process this command (8) #8";
  EXPECT_TRUE(result == refused + " | (no exception) | (no exception) | unmapped" ||
              result == refused + " | " + refused.substr(0, refused.size() - 3) + " | (no exception) | unmapped")
      << result;
}

}  // namespace
}  // namespace vt
