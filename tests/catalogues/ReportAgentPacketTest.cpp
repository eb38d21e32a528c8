// Agent-report packets: the assembly lists that travel as one text, and the
// agent type names.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "CatalogueTestSupport.h"
#include "catalogues/AgentTypes.h"
#include "catalogues/ReportAgentPacket.h"

namespace vt {
namespace {

using namespace test;

class ReportAgentPacketTest : public CatalogueTest {};

TEST_F(ReportAgentPacketTest, AssemblyListsTravelAsText) {
  struct Case {
    std::unique_ptr<TPacket> packet;
    std::int32_t index;
  };
  Case cases[2] = {{std::make_unique<TStaticPacket>(), 21}, {std::make_unique<TDynamic_LegacyPacket>(), 24}};
  for (Case& c : cases) {
    TPacket& p = *c.packet;
    SCOPED_TRACE(p.ClassName());
    auto& list = dynamic_cast<TStrings&>(*p.GetFieldAsObject(c.index));

    // Two lines: one string of each line and CR LF.
    list.Add("System.Core");
    list.Add("mscorlib");
    const std::string all = FieldBytes(p);
    EXPECT_NE(all.find(ShortString("System.Core\r\nmscorlib\r\n")), std::string::npos);
    ExpectRoundTrips(p);

    // Not a string field, not rendered.
    const std::string field = QualifiedFieldName(p.ClassType(), c.index);
    EXPECT_EQ(MessageOf<Exception>([&] { (void)p.GetFieldAsString(c.index); }),
              "Cannot get field as string: " + field);
    EXPECT_EQ(MessageOf<Exception>([&] { p.SetFieldAsString(c.index, "x"); }),
              "Cannot set field as string: " + field);
    std::string text;
    EXPECT_EQ(p.FieldToText(c.index, text), 0);
    TStringListEx dump;
    p.DumpToStrings(dump);
    EXPECT_NE(dump.IndexOf("  " + p.FieldName(c.index) + " = (?)"), -1);
    EXPECT_EQ(list.Count(), 2);  // untouched by the refused set
  }

  // Reading: CR, LF and CR LF all end a line; the first NUL ends the text.
  const std::string fields = FieldBytes(TStaticPacket());
  const std::size_t at = fields.find(ShortString("-1") + ShortString("-1")) + 6;  // the assembly text
  ASSERT_EQ(fields[at], '\0');
  for (const auto& [stored, lines] : std::vector<std::pair<std::string, std::vector<std::string>>>{
           {"a\rb\nc\r\nd", {"a", "b", "c", "d"}},
           {std::string("x\r\ny\0z\r\nw", 9), {"x", "y"}},
           {std::string("\0abc", 4), {}},
           {"", {}}}) {
    std::string bytes = fields.substr(0, at) + ShortString(stored) + fields.substr(at + 1);
    TStaticPacket a, b;
    a.InstalledAssemblies_Obsolete.Add("old");
    b.InstalledAssemblies_Obsolete.Add("old");
    EXPECT_EQ(LoadFieldsBothWays(a, b, bytes, 51), static_cast<std::int64_t>(bytes.size()));
    for (TStaticPacket* q : {&a, &b}) {
      ASSERT_EQ(q->InstalledAssemblies_Obsolete.Count(), static_cast<int>(lines.size()));
      for (std::size_t i = 0; i < lines.size(); ++i)
        EXPECT_EQ(q->InstalledAssemblies_Obsolete[static_cast<int>(i)], lines[i]);
      EXPECT_EQ(q->MSVCVersion, "-1");
    }
  }

  // The other lists of the legacy state are ordinary string lists.
  TDynamic_LegacyPacket legacy;
  legacy.BuildHelperIDs.Add("h1");
  std::string text;
  EXPECT_EQ(legacy.FieldToText(35, text), 2);
  EXPECT_EQ(legacy.GetFieldAsString(35), "h1\r\n");
  legacy.SetFieldAsString(47, "u1\r\nu2");
  EXPECT_EQ(legacy.LogOnUsers.Count(), 2);
}

TEST(AgentTypes, NamesAndKindsWithoutARow) {
  EXPECT_EQ(AgentTypeName(0), "Owned");
  EXPECT_EQ(AgentTypeName(2), "Expired Single-use-VM");
  EXPECT_EQ(AgentTypeName(6), "Vontaro SaaS");
  EXPECT_EQ(AgentTypeName(7), "Unknown agent type (7)");
}

}  // namespace
}  // namespace vt
