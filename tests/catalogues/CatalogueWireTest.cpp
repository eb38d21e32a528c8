// Every registered packet class against one table, tests/data/catalogue_wire.txt:
// its number, name, parent, GUID, field names and captions, and the payloads
// of a new packet and of a packet with a distinct value in every field. A
// field moved, a wire form, width or default changed shows as a changed
// payload. After a deliberate change, regenerate the table and review the diff:
//   VT_WRITE_CATALOGUE_WIRE=1 build/release/bin/vt_tests_catalogues --gtest_filter='CatalogueWire*'
#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
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
    "# Regenerate: VT_WRITE_CATALOGUE_WIRE=1 build/release/bin/vt_tests_catalogues --gtest_filter='CatalogueWire*'\n";

std::string BytesOf(const std::string& hex) {
  std::string out;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) out += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
  return out;
}

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

struct Row {
  std::string head, fields, fresh, filled;  // fresh and filled: payload bytes
};

Row RowOf(const TPacketClass& cls) {
  const TPacketClass* parent = cls.Parent();
  Row row;
  row.head = std::to_string(GetPacketClassNumber(cls)) + " " + cls.Name() + " " + (parent ? parent->Name() : "-") +
             " " + GuidToText(cls.GetClassGUID()) + " " + std::to_string(cls.FieldCount());
  row.fields = FieldsText(cls);
  row.fresh = StandAlonePayload(*cls.Create());
  row.filled = StandAlonePayload(*Filled(cls));
  return row;
}

// The table's rows with their class names, in file order.
std::vector<std::pair<std::string, Row>> ReadTable(const std::string& text) {
  std::vector<std::pair<std::string, Row>> rows;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (line.empty() || line[0] == '#') continue;
    if (line[0] != ' ') {
      std::string number, name;
      std::istringstream(line) >> number >> name;
      rows.push_back({name, Row{line, {}, {}, {}}});
      continue;
    }
    const std::size_t key_end = std::min(line.find(' ', 2), line.size());
    const std::string key = line.substr(2, key_end - 2);
    const std::string value = key_end < line.size() ? line.substr(key_end + 1) : "";
    if (rows.empty()) continue;
    Row& row = rows.back().second;
    if (key == "fields") row.fields = value;
    if (key == "new") row.fresh = BytesOf(value);
    if (key == "filled") row.filled = BytesOf(value);
  }
  return rows;
}

class CatalogueWire : public CatalogueTest {};

TEST_F(CatalogueWire, EveryRegisteredClassMatchesTheTable) {
  const std::vector<const TPacketClass*> classes = RegisteredPacketClasses();
  const std::string path = std::string(VT_TEST_DATA_DIR) + "/catalogue_wire.txt";
  if (std::getenv("VT_WRITE_CATALOGUE_WIRE") != nullptr) {
    std::string text = kTableHeader;
    for (const TPacketClass* cls : classes) {
      const Row row = RowOf(*cls);
      const auto item = [](const char* key, const std::string& value) {
        return std::string("  ") + key + (value.empty() ? "" : " ") + value + "\n";
      };
      text += row.head + "\n" + item("fields", row.fields) + item("new", Hex(row.fresh, "")) +
              item("filled", Hex(row.filled, ""));
    }
    WriteFileText(path, text);
    GTEST_SKIP() << "table written to " << path;
  }

  const auto table = ReadTable(ReadFileText(path));
  ASSERT_GT(table.size(), 200u);
  std::map<std::string, const TPacketClass*> by_name;
  std::vector<std::string> order, table_order;
  for (const TPacketClass* cls : classes) {
    by_name[cls->Name()] = cls;
    order.push_back(cls->Name());
  }
  for (const auto& [name, row] : table) table_order.push_back(name);
  EXPECT_EQ(order, table_order) << "registered classes and the table differ";

  for (const auto& [name, want] : table) {
    SCOPED_TRACE(name);
    const auto found = by_name.find(name);
    if (found == by_name.end()) continue;
    const TPacketClass& cls = *found->second;
    const Row got = RowOf(cls);
    EXPECT_EQ(got.head, want.head);
    EXPECT_EQ(got.fields, want.fields);
    EXPECT_EQ(Hex(got.fresh), Hex(want.fresh));
    EXPECT_EQ(Hex(got.filled), Hex(want.filled));

    // The stored bytes load back by class and into either state.
    const auto filled = Filled(cls);
    const auto fresh = cls.Create();
    const std::string filled_bytes = StandAlone(cls, static_cast<std::uint32_t>(cls.FieldCount()), want.filled);
    TPlainStream plain(filled_bytes);
    const auto loaded = LoadPacket(plain);
    ASSERT_EQ(&loaded->ClassType(), &cls);
    EXPECT_TRUE(loaded->Equals(*filled));
    EXPECT_EQ(loaded->Equals(*fresh), want.fresh == want.filled);
    LoadInto(*loaded, StandAlone(cls, static_cast<std::uint32_t>(cls.FieldCount()), want.fresh));
    EXPECT_TRUE(loaded->Equals(*fresh));
    ExpectRoundTrips(*filled, !HoldsOptionalMember(*filled));
    std::string text;  // every field's text form can be made
    for (std::int32_t i = 0; i < cls.FieldCount(); ++i) filled->FieldToText(i, text);
  }
}

}  // namespace
}  // namespace vt
