#include "common/SysUtils.h"

#include <gtest/gtest.h>

#include "common/Classes.h"
#include "support/TestFiles.h"

namespace vt {
namespace {

TEST(Format, RuntimeStyleConversions) {
  EXPECT_EQ(Format("Failed to close handle 0x0%x", 0xabcU), "Failed to close handle 0x0ABC");
  EXPECT_EQ(Format("List index out of bounds (%d)", -1), "List index out of bounds (-1)");
  EXPECT_EQ(Format("%s.%s", std::string("TA"), "B"), "TA.B");
  EXPECT_EQ(Format("%8.3d|%-4s|%%", 7, "ab"), "     007|ab  |%");
  EXPECT_EQ(Format("%x", -1), "FFFFFFFF");
  EXPECT_THROW(Format("%d"), EConvertError);
  EXPECT_THROW(Format("%q", 1), EConvertError);
}

// An argument of the wrong kind is refused, not printed as 0 or "".
TEST(Format, MismatchedArgumentsRaise) {
  EXPECT_EQ(test::MessageOf<EConvertError>([] { Format("%x", "abc"); }),
            "Format '%x' invalid or incompatible with argument");
  EXPECT_THROW(Format("%d", std::string("1")), EConvertError);
  EXPECT_THROW(Format("%u", 1.5), EConvertError);
  EXPECT_THROW(Format("%s", 7), EConvertError);
  EXPECT_THROW(Format("%p", "p"), EConvertError);
  EXPECT_THROW(Format("%f", "1"), EConvertError);
  int local = 0;
  EXPECT_EQ(Format("%x|%d|%u|%.1f", static_cast<const void*>(nullptr), 7U, -1, 2.25), "0|7|4294967295|2.2");
  EXPECT_EQ(Format("%p", &local).size(), sizeof(void*) * 2);
}

// Widths and precisions up to 65535 are honoured in full; above that, as far
// as the largest integer and beyond, they are refused as a bad argument is.
TEST(Format, WidthsAndPrecisionsAreBounded) {
  EXPECT_TRUE(Format("%65535s", "ab") == std::string(65533, ' ') + "ab");
  EXPECT_TRUE(Format("%-65535s|", "ab") == "ab" + std::string(65533, ' ') + "|");
  EXPECT_TRUE(Format("%.65535s", "ab") == "ab");
  EXPECT_TRUE(Format("%.65535d", -7) == "-" + std::string(65534, '0') + "7");
  EXPECT_TRUE(Format("%.65535x", 10) == std::string(65534, '0') + "A");
  EXPECT_TRUE(Format("%.65535f", 0.5) == "0.5" + std::string(65534, '0'));
  EXPECT_EQ(Format("%.600e", 1.0).size(), 606u);  // "1." + 600 digits + "E+00"
  for (const char* fmt : {"%65536s", "%-65536s", "%.65536s", "%.65536d", "%65536.1d", "%.65536x", "%.65536f",
                          "%999999999s", "%2147483640s", "%.2147483647d", "%99999999999999999999999u"}) {
    SCOPED_TRACE(fmt);
    const bool text = fmt[std::string_view(fmt).size() - 1] == 's';
    EXPECT_EQ(test::MessageOf<EConvertError>([&] { text ? Format(fmt, "ab") : Format(fmt, 1); }),
              "Format '" + std::string(fmt) + "' invalid or incompatible with argument");
  }
}

TEST(Assertions, ReportUnitAndLineAsException) {
  EXPECT_EQ(test::ExactMessageOf<EAssertionFailed>([] { VT_ASSERT_AT(1 + 1 == 3, "StreamUtils", 3844); }),
            "Assertion failure (StreamUtils, line 3844)");
}

// Reads, copies and clearing are exercised by every stream user; shrinking
// to just below the position is not.
TEST(MemoryStream, ShrinkingBelowThePositionMovesItToTheEnd) {
  TMemoryStream s;
  s.WriteBuffer("abcdef", 6);
  s.SetPosition(4);
  s.SetSize(3);
  EXPECT_EQ(s.Position(), 3);
}

}  // namespace
}  // namespace vt
