// Every registered packet class against one table, tests/data/catalogue_wire.txt:
// its number, name, parent, GUID, field names and captions, and the payloads
// of a new packet and of a packet with a distinct value in every field. A
// field moved, a wire form, width or default changed shows as a changed
// payload. After a deliberate change, regenerate the table and review the diff:
//   VT_WRITE_CATALOGUE_WIRE=1 build/release/bin/vt_tests_catalogues --gtest_filter='CatalogueWire*'
#include <gtest/gtest.h>

#include <cstdlib>
#include <sstream>
#include <string>

#include "CatalogueTestSupport.h"

namespace vt {
namespace {

using namespace test;

const char* const kTableHeader =
    "# Wire table of every registered packet class, in registration order:\n"
    "#   <number> <class> <parent> <GUID> <field count>\n"
    "#   fields <name[=caption][ [item name=item caption]]>, ...\n"
    "#   new <payload of a new packet>\n"
    "#   filled <payload with a distinct value in every field>\n"
    "# Regenerate: VT_WRITE_CATALOGUE_WIRE=1 build/release/bin/vt_tests_catalogues "
    "--gtest_filter='CatalogueWire*'\n";

std::string FieldsText(const TPacketClass& cls) {
  std::string text;
  for (std::int32_t i = 0; i < cls.FieldCount(); ++i) {
    if (i > 0) text += ", ";
    text += cls.FieldName(i);
    if (cls.FieldCaption(i) != cls.FieldName(i)) text += "=" + cls.FieldCaption(i);
    if (const std::string item = cls.FieldItemName(i); !item.empty() || cls.FieldItemCaption(i) != item) {
      text += " [" + item;
      if (cls.FieldItemCaption(i) != item) text += "=" + cls.FieldItemCaption(i);
      text += "]";
    }
  }
  return text;
}

// The payload of P saved stand-alone; the header must name P's class.
std::string StandAlonePayload(const TPacket& p) {
  const std::string bytes = SaveBytes(p);
  const std::string payload = bytes.substr(kPacketHeaderSize);
  EXPECT_EQ(bytes, StandAlone(p.ClassType(), static_cast<std::uint32_t>(p.FieldCount()), payload));
  return payload;
}

// The row of Cls as the table holds it: head line, fields, new, filled.
std::string RowText(const TPacketClass& cls) {
  const TPacketClass* parent = cls.Parent();
  const auto item = [](const char* key, const std::string& value) {
    return std::string("  ") + key + (value.empty() ? "" : " ") + value + "\n";
  };
  return std::to_string(GetPacketClassNumber(cls)) + " " + cls.Name() + " " +
         (parent ? parent->Name() : "-") + " " + GuidToText(cls.GetClassGUID()) + " " +
         std::to_string(cls.FieldCount()) + "\n" + item("fields", FieldsText(cls)) +
         item("new", Hex(StandAlonePayload(*cls.Create()))) +
         item("filled", Hex(StandAlonePayload(*Filled(cls))));
}

std::vector<std::string> RowLines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);)
    if (line.empty() || line[0] != '#') lines.push_back(line);
  return lines;
}

class CatalogueWire : public CatalogueTest {};

TEST_F(CatalogueWire, EveryRegisteredClassMatchesTheTable) {
  const std::string path = std::string(VT_TEST_DATA_DIR) + "/catalogue_wire.txt";
  std::string table = kTableHeader;
  for (const TPacketClass* cls : RegisteredPacketClasses()) table += RowText(*cls);
  if (std::getenv("VT_WRITE_CATALOGUE_WIRE") != nullptr) {
    WriteFileText(path, table);
    GTEST_SKIP() << "table written to " << path;
  }
  const std::vector<std::string> now = RowLines(table), stored = RowLines(ReadFileText(path));
  EXPECT_EQ(now.size(), stored.size()) << "registered classes and the table differ";
  for (std::size_t i = 0; i < std::min(now.size(), stored.size()); ++i)
    EXPECT_EQ(now[i], stored[i]) << "in the row of " << stored[i / 4 * 4];

  for (const TPacketClass* cls : RegisteredPacketClasses()) {
    SCOPED_TRACE(cls->Name());
    const auto filled = Filled(*cls);
    ExpectRoundTrips(*filled, !HoldsOptionalMember(*filled));
    std::string text;  // every field's text form can be made
    for (std::int32_t i = 0; i < cls->FieldCount(); ++i) filled->FieldToText(i, text);
    // Equals sees every field; a new packet's bytes loaded over a filled one
    // give a new packet.
    const auto fresh = cls->Create();
    const std::string fresh_bytes = SaveBytes(*fresh);
    EXPECT_EQ(filled->Equals(*fresh), SaveBytes(*filled) == fresh_bytes);
    LoadInto(*filled, fresh_bytes);
    EXPECT_TRUE(filled->Equals(*fresh));
  }
}

}  // namespace
}  // namespace vt
