// The packet base class, registry, field tables, typed access and texts.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <memory>
#include <vector>

#include "PacketTestClasses.h"
#include "common/Objects.h"
#include "common/PacketFields.h"
#include "support/PacketBytes.h"
#include "support/TestFiles.h"

namespace vt::test {
namespace {

class PacketTest : public ::testing::Test {
 protected:
  void SetUp() override { RegisterTestPackets(); }
};

void Collect(void* data, std::int32_t index) { static_cast<std::vector<int>*>(data)->push_back(index); }

// ---- Registry ------------------------------------------------------------------

TEST_F(PacketTest, RegistryNumbersClassesAndFindsThemByGuid) {
  EXPECT_EQ(GetPacketClassNumber(TPacket::Class), 1);
  EXPECT_EQ(FindPacketClass(TPacket::Class.GetClassGUID()), &TPacket::Class);
  EXPECT_EQ(FindPacketClass(TSmallPacket::Class.GetClassGUID()), &TSmallPacket::Class);
  EXPECT_EQ(FindPacketClass(GuidLiteral("{DEADBEEF-0000-0000-0000-000000000000}")), nullptr);
  EXPECT_GT(GetPacketClassNumber(TSmallPacket::Class), 1);

  // Registering again changes nothing.
  const std::int32_t before = GetPacketClassNumber(TSmallPacket::Class);
  RegisterPacketClass(TSmallPacket::Class);
  EXPECT_EQ(GetPacketClassNumber(TSmallPacket::Class), before);

  // TCommPacket answers TPacket's identity.
  EXPECT_TRUE(GuidsEqual(TCommPacket::Class.GetClassGUID(), TPacket::Class.GetClassGUID()));
  EXPECT_EQ(TCommPacket::Class.ClassNumberPtr(), TPacket::Class.ClassNumberPtr());
  EXPECT_EQ(TCommPacket::Class.FieldCount(), 0);
}

TEST_F(PacketTest, DuplicateGuidFailsAndLeavesTheSecondClassUnregistered) {
  // TSmallPacketV2 answers TSmallPacket's GUID.
  EXPECT_EQ(MessageOf([] { RegisterPacketClass(TSmallPacketV2::Class); }),
            "Failed to register packet class: TSmallPacketV2\r\n"
            "TGuidListEx_HashTable: Hashtable does not allow duplicates.");
  EXPECT_EQ(TSmallPacketV2::Class.ClassNumberPtr()->load(), -1);
  EXPECT_EQ(FindPacketClass(TSmallPacket::Class.GetClassGUID()), &TSmallPacket::Class);
  EXPECT_THROW(GetPacketClassNumber(TSmallPacketV2::Class), EAssertionFailed);
}

TEST_F(PacketTest, FinalizationUndoesRegistrationSoThatUnitsCanStartAgain) {
  FinalizeUnits();
  EXPECT_EQ(FindPacketClass(TSmallPacket::Class.GetClassGUID()), nullptr);
  EXPECT_EQ(TSmallPacket::Class.ClassNumberPtr()->load(), -1);
  RegisterTestPackets();
  EXPECT_EQ(GetPacketClassNumber(TPacket::Class), 1);
  EXPECT_EQ(FindPacketClass(TSmallPacket::Class.GetClassGUID()), &TSmallPacket::Class);
}

TEST_F(PacketTest, ClassChainDeeperThanTheFieldWalkHoldsIsRefused) {
  std::vector<std::unique_ptr<TPacketClass>> chain;
  const TPacketClass* parent = &TPacket::Class;
  for (int i = 0; i < 16; ++i) {
    chain.push_back(std::make_unique<TPacketClass>("TDeep", parent, TGUID{}, std::span<const TPacketField>(), nullptr));
    parent = chain.back().get();
  }
  struct TDeep : TPacket {
    const TPacketClass* cls = nullptr;
    const TPacketClass& ClassType() const override { return *cls; }
  } p;
  p.cls = chain[14].get();  // 16 classes with TPacket
  p.Clear();
  p.cls = chain[15].get();
  EXPECT_EQ(MessageOf([&] { p.Clear(); }), "Packet class TDeep derives from more than 15 classes");
}

// ---- Class-level data ------------------------------------------------------------

TEST_F(PacketTest, ClassLevelTablesAnswerWithoutAnInstance) {
  const TPacketClass& c = TAllKindsPacket::Class;
  EXPECT_EQ(c.FieldCount(), 27);
  EXPECT_EQ(c.FieldName(0), "I8");
  EXPECT_EQ(c.FieldName(27), "");
  EXPECT_EQ(c.FieldName(-1), "");
  EXPECT_EQ(c.FieldIndexByName("Lines"), 18);
  EXPECT_EQ(c.FieldIndexByName("lines"), -1);  // case-sensitive
  EXPECT_EQ(c.FieldType(12), pftOther);  // an enumeration
  EXPECT_EQ(c.FieldType(99), pftOther);
  EXPECT_EQ(c.FieldItemCaption(99), "");
  EXPECT_EQ(QualifiedFieldName(c, 16), "TAllKindsPacket.Str");
  EXPECT_EQ(QualifiedFieldName(c, 50), "TAllKindsPacket.");
  EXPECT_EQ(TPacket::Class.FieldCount(), 0);
  EXPECT_EQ(TPacket::Class.FieldIndexByName("I8"), -1);
}

TEST_F(PacketTest, CreateSetsDefaultsAndCountsInstances) {
  const std::int32_t before = TSmallPacket::Class.InstanceCount();
  {
    auto p = TSmallPacket::Class.Create();
    EXPECT_EQ(TSmallPacket::Class.InstanceCount(), before + 1);
    auto& s = static_cast<TSmallPacket&>(*p);
    EXPECT_EQ(s.Value, 7);
    EXPECT_EQ(s.Text, "none");
    auto c = p->Clone();
    EXPECT_EQ(TSmallPacket::Class.InstanceCount(), before + 2);
    EXPECT_TRUE(c->Equals(*p));
  }
  EXPECT_EQ(TSmallPacket::Class.InstanceCount(), before);
  EXPECT_EQ(TAllKindsPacket().I8, -1);
}

TEST_F(PacketTest, ClearRestoresDefaultsAndKeepsObjects) {
  TAllKindsPacket p;
  FillAllKinds(p);
  TSmallPacket* maybe = p.Maybe.get();
  p.Clear();
  TAllKindsPacket fresh;
  fresh.NeedMaybe();  // a present optional member stays present, cleared
  EXPECT_EQ(p.Maybe.get(), maybe);
  EXPECT_EQ(p.Maybe->Value, 7);
  // The any-packet member keeps the class it holds.
  EXPECT_STREQ(p.Any.Get().ClassName(), "TOtherPacket");
  fresh.Any.Reset(std::make_unique<TOtherPacket>());
  EXPECT_TRUE(p.Equals(fresh));
}

// ---- Typed access ---------------------------------------------------------------

TEST_F(PacketTest, RefusedAccessNamesTheQualifiedField) {
  TAllKindsPacket p;
  EXPECT_EQ(MessageOf([&] { p.GetFieldAsString(11); }), "Cannot get field as string: TAllKindsPacket.Guid");
  EXPECT_EQ(MessageOf([&] { p.GetFieldAsInteger(16); }), "Cannot get field as integer: TAllKindsPacket.Str");
  EXPECT_EQ(MessageOf([&] { p.SetFieldAsInteger(10, 1); }), "Cannot set field as integer: TAllKindsPacket.Dbl");
  EXPECT_EQ(MessageOf([&] { p.SetFieldAsString(12, "x"); }), "Cannot set field as string: TAllKindsPacket.Colour");
  EXPECT_EQ(MessageOf([&] { p.GetFieldAsDouble(9); }), "Cannot get field as double: TAllKindsPacket.Bool");
  EXPECT_EQ(MessageOf([&] { p.SetFieldAsDouble(16, 1); }), "Cannot set field as double: TAllKindsPacket.Str");
  EXPECT_EQ(MessageOf([&] { p.GetFieldAsObject(0); }), "Cannot get field as object: TAllKindsPacket.I8");
  EXPECT_EQ(MessageOf([&] { p.GetFieldAsInteger(77); }), "Cannot get field as integer: TAllKindsPacket.");
  EXPECT_EQ(MessageOf([&] { p.GetFieldAsObject(21); }),
            "Attempt to access uninitialized member object: TAllKindsPacket.Maybe");
  EXPECT_EQ(MessageOf([&] { p.GetMaybe(); }), "Attempt to access uninitialized member object: TAllKindsPacket.Maybe");
  EXPECT_EQ(p.GetFieldAsObject(18), &p.Lines);
  EXPECT_EQ(p.GetFieldAsObject(22), &p.Items);
  EXPECT_EQ(p.GetFieldAsObject(23), &p.Any.Get());
  EXPECT_EQ(p.GetFieldAsObject(26), &p.Cardinals);
  p.Any.Reset(nullptr);
  EXPECT_EQ(p.GetFieldAsObject(23), nullptr);
}

TEST_F(PacketTest, IntegerAccessConvertsByWidthAndSign) {
  TAllKindsPacket p;
  p.SetFieldAsInteger(7, -1);  // Int64 sign-extended
  EXPECT_EQ(p.I64, -1);
  p.I64 = 0x123456789ll;
  EXPECT_EQ(p.GetFieldAsInteger(7), 0x23456789);  // low 32 bits
  EXPECT_EQ(p.GetFieldAsString(7), "4886718345");
  p.U32 = 4000000000u;
  EXPECT_EQ(p.GetFieldAsString(6), "4000000000");
  EXPECT_EQ(p.GetFieldAsDouble(6), 4000000000.0);
  p.SetFieldAsInteger(0, 300);  // Int8 keeps the low byte
  EXPECT_EQ(p.I8, 44);
  p.SetFieldAsString(4, "");
  EXPECT_EQ(p.I32, 0);
  p.SetFieldAsString(4, "$10");
  EXPECT_EQ(p.I32, 16);
  p.I64 = 5;
  EXPECT_THROW(p.SetFieldAsString(7, "4294967296"), EConvertError);
  EXPECT_EQ(p.I64, 5);
  EXPECT_EQ(MessageOf([&] { p.SetFieldAsString(4, "12x"); }), "'12x' is not a valid integer value");
  p.SetFieldAsInteger(9, 5);
  EXPECT_EQ(p.Bool.Value, 1);
  EXPECT_EQ(p.GetFieldAsInteger(9), 1);
  p.SetFieldAsString(9, "tRuE");
  EXPECT_TRUE(p.Bool);
  p.SetFieldAsString(9, "yes");
  EXPECT_FALSE(p.Bool);
}

TEST_F(PacketTest, DoubleToIntegerRoundsToEvenAndRefusesWhatDoesNotFit) {
  TAllKindsPacket p;
  for (const auto& [value, rounded] : {std::pair{2.5, 2}, {3.5, 4}, {-2.5, -2}}) {
    p.SetFieldAsDouble(4, value);
    EXPECT_EQ(p.I32, rounded);
  }
  p.SetFieldAsDouble(7, 1e15);
  EXPECT_EQ(p.I64, 1000000000000000ll);
  for (double bad : {std::nan(""), std::numeric_limits<double>::infinity(),
                     -std::numeric_limits<double>::infinity(), 1e19, -1e30}) {
    p.I32 = 77;
    p.I64 = 78;
    EXPECT_THROW(p.SetFieldAsDouble(4, bad), EConvertError) << bad;
    EXPECT_THROW(p.SetFieldAsDouble(7, bad), EConvertError) << bad;
    EXPECT_EQ(p.I32, 77);
    EXPECT_EQ(p.I64, 78);
  }
}

TEST_F(PacketTest, DoubleTextsUseTheGeneralFormAndTheDateTimeForm) {
  TAllKindsPacket p;
  std::string text;
  const struct {
    double value;
    const char *general, *text;
  } cases[] = {{0.3, "0.3", "07:12:00"},
               {1.5, "1.5", "1899-12-31 12:00:00"},
               {2, "2", "1900-01-01"},
               {45000.25, "4.5E4", "2023-03-15 06:00:00"}};
  for (const auto& c : cases) {
    p.Dbl = c.value;
    EXPECT_EQ(p.GetFieldAsString(10), c.general);
    EXPECT_EQ(p.FieldToText(10, text), 1);
    EXPECT_EQ(text, c.text);
  }
  // The general form with four digits; exact ties round away from zero.
  const std::pair<double, const char*> general[] = {
      {1.25, "1.25"},        {1234.4, "1234"},        {1234.5, "1235"},          {-12345, "-1.235E4"},
      {1.0625, "1.063"},     {9999.6, "1E4"},         {123456, "1.235E5"},       {-0.00012346, "-0.0001235"},
      {0.000001, "1E-6"},    {0, "0"},                {100, "100"}};
  for (const auto& [value, expected] : general) EXPECT_EQ(FloatToTextGeneral4(value), expected) << value;

  p.SetFieldAsString(10, " 2.75 ");
  EXPECT_EQ(p.Dbl, 2.75);
  EXPECT_EQ(MessageOf([&] { p.SetFieldAsString(10, "2,5"); }), "'2,5' is not a valid floating point value");
  EXPECT_THROW(p.SetFieldAsString(10, "nan"), EConvertError);
  EXPECT_EQ(p.Dbl, 2.75);
}

// ---- Texts and dumps ----------------------------------------------------------------

TEST_F(PacketTest, FieldTextsByKind) {
  TAllKindsPacket p;
  FillAllKinds(p);
  // The texts themselves show in the dump below.
  std::string t;
  EXPECT_EQ(p.FieldToText(12, t), 0);  // enumerations, sets, records
  EXPECT_EQ(p.FieldToText(14, t), 0);
  EXPECT_EQ(p.FieldToText(26, t), 0);  // typed lists
  EXPECT_EQ(p.FieldToText(16, t), 1);
  EXPECT_EQ(p.FieldToText(18, t), 2);
  p.FreeMaybe();
  EXPECT_EQ(p.FieldToText(21, t), 1);
  EXPECT_EQ(t, "(null)");
  EXPECT_EQ(p.FieldToText(99, t), 0);
  // An integer list renders as one line and leaves the text as it was.
  t = "kept";
  EXPECT_EQ(p.FieldToText(24, t), 1);
  EXPECT_EQ(t, "kept");
  EXPECT_EQ(p.GetFieldAsString(18), "one\r\n\r\nthree\r\n");
  p.SetFieldAsString(18, "a\rb\nc\r\n");
  EXPECT_EQ(p.Lines.Count(), 3);
  EXPECT_EQ(p.Lines[2], "c");
  EXPECT_EQ(StringFieldToText(std::string("a'\0", 3)), "'a' '");
}

TEST_F(PacketTest, BooleanKeepsItsStoredByte) {
  TOtherPacket a, b;
  a.Flag.Value = 2;
  b.Flag.Value = 1;
  std::string t;
  a.FieldToText(0, t);
  EXPECT_EQ(t, "True");
  EXPECT_FALSE(a.Equals(b));
  TMemoryStream s;
  SavePacket(a, s);
  EXPECT_EQ(static_cast<const std::uint8_t*>(s.Memory())[32], 2);
  s.SetPosition(0);
  auto loaded = LoadPacket(s);
  EXPECT_EQ(static_cast<TOtherPacket&>(*loaded).Flag.Value, 2);
  EXPECT_EQ(static_cast<TOtherPacket&>(*a.Clone()).Flag.Value, 2);  // copied as stored
}

// A custom field must come with its wire operations.
TEST_F(PacketTest, CustomFieldWithoutItsOperationsIsRefused) {
  EXPECT_EQ(MessageOf([] { TNoOpsPacket p; }), "Custom packet field without its operations: Handle");
}

TEST_F(PacketTest, DumpShowsEveryFieldAndIndentsNestedText) {
  EXPECT_EQ(Dump(TPacket()), std::vector<std::string>{"(TPacket)"});
  TAllKindsPacket p;
  FillAllKinds(p);
  // One line per field; nested packets and lists indent their own text.
  std::string text;
  for (const std::string& line : Dump(p)) text += line + "\n";
  EXPECT_EQ(
      text,
      "(TAllKindsPacket)\n  I8 = -5\n  U8 = 250\n  I16 = -300\n  U16 = 60000\n  I32 = -100000\n"
      "  Compact = 300\n  U32 = 4000000000\n  I64 = -5000000000\n  U64 = 18000000000000000000\n"
      "  Bool = True\n  Dbl = 2023-03-15 06:00:00\n  Guid = {01234567-89AB-CDEF-0123-456789ABCDEF}\n"
      "  Colour = (?)\n  Set = (?)\n  Record = (?)\n  Handle = 4660\n  Str = 'with nul'\n"
      "  WStr = 'wide \xC3\xA9\xE4\xB8\xAD'\n  Lines = \n    one\n    \n    three\n  Data = (size = 12)\n"
      "  Nested = \n    (TSmallPacket)\n      Value = 42\n      Text = 'nested'\n    \n"
      "  Maybe = \n    (TSmallPacket)\n      Value = 43\n      Text = 'none'\n    \n"
      "  Items = \n    [1/2]\n    (TSmallPacket)\n      Value = 1\n      Text = 'none'\n    \n"
      "    [2/2]\n    (TSmallPacket)\n      Value = 7\n      Text = 'second'\n    \n"
      "  Any = \n    (TOtherPacket)\n      Flag = True\n    \n"
      "  Ints = \n  Chunks = (size = 7)\n  Cardinals = (?)\n");
  TSmallPacketList empty;
  std::string t;
  empty.DumpToText(t);
  EXPECT_EQ(t, "(empty list)");
}

// ---- Equals, CompareFields, Assign ----------------------------------------------------

TEST_F(PacketTest, EqualsAndCompareFields) {
  TAllKindsPacket a, b;
  EXPECT_TRUE(a.Equals(b));  // both optional members absent
  std::vector<int> diff;
  EXPECT_TRUE(a.CompareFields(b, &Collect, &diff));
  EXPECT_TRUE(diff.empty());
  b.U8 = 1;
  b.Str = "x";
  EXPECT_FALSE(a.Equals(b));
  EXPECT_FALSE(a.CompareFields(b, &Collect, &diff));
  EXPECT_EQ(diff, (std::vector<int>{1, 16}));

  // Doubles compare bytewise: 0.0 and -0.0 differ, a NaN equals itself.
  TAllKindsPacket c, d;
  c.Dbl = 0.0;
  d.Dbl = -0.0;
  EXPECT_FALSE(c.Equals(d));
  c.Dbl = d.Dbl = std::nan("");
  EXPECT_TRUE(c.Equals(d));

  // Another class: -1 and False, no exception; Equals answers False.
  TSmallPacket s;
  diff.clear();
  EXPECT_FALSE(a.CompareFields(s, &Collect, &diff));
  EXPECT_EQ(diff, std::vector<int>{-1});
  EXPECT_FALSE(a.Equals(s));
  // Same GUID, other class.
  TSmallPacketV2 v2;
  diff.clear();
  EXPECT_FALSE(s.CompareFields(v2, &Collect, &diff));
  EXPECT_EQ(diff, std::vector<int>{-1});
}

TEST_F(PacketTest, AssignCopiesDeeplyAndRefusesAnotherClass) {
  TAllKindsPacket a, b;
  FillAllKinds(a);
  // The plain TPacket of an any-packet member takes nothing over.
  b.Assign(a);
  EXPECT_STREQ(b.Any.Get().ClassName(), "TPacket");
  EXPECT_FALSE(b.Equals(a));
  b.Any.Reset(std::make_unique<TOtherPacket>());
  b.Assign(a);
  EXPECT_TRUE(b.Equals(a));
  EXPECT_NE(b.Items.GetItem(0), a.Items.GetItem(0));
  EXPECT_NE(b.Maybe.get(), a.Maybe.get());
  a.Items.Items(0).Value = 99;
  a.Lines.Put(0, "changed");
  EXPECT_FALSE(b.Equals(a));
  EXPECT_EQ(b.Lines[0], "one");
  a.Ints.SetItem(1, 5);
  a.Chunks.SetSize(3);
  EXPECT_EQ(b.Ints.Items(1), 70000);
  EXPECT_EQ(b.Chunks.Size(), 7);

  b.Assign(b);  // from itself: nothing changes
  EXPECT_EQ(b.Items.Count(), 2);
  b.Items.Assign(b.Items);
  EXPECT_EQ(b.Items.Count(), 2);

  TSmallPacket s;
  EXPECT_THROW(b.Assign(s), EInvalidCast);
  EXPECT_EQ(b.Items.Count(), 2);

  // Absent optional member in the source frees the own one.
  TAllKindsPacket c;
  c.Any.Reset(std::make_unique<TOtherPacket>());
  b.Assign(c);
  EXPECT_FALSE(b.Maybe.Present());
}

TEST_F(PacketTest, OptionalMemberOperations) {
  TAllKindsPacket p;
  EXPECT_TRUE(p.SameMaybe(nullptr));
  TSmallPacket s;
  s.Value = 5;
  EXPECT_FALSE(p.SameMaybe(&s));
  p.SetMaybe(&s);
  EXPECT_TRUE(p.SameMaybe(&s));
  EXPECT_NE(&p.GetMaybe(), &s);
  EXPECT_EQ(p.GetMaybe().Value, 5);
  EXPECT_FALSE(p.SameMaybe(nullptr));
  p.SetMaybe(nullptr);
  EXPECT_FALSE(p.Maybe.Present());
  p.NeedMaybe().Value = 1;
  TSmallPacket* first = p.Maybe.get();
  p.NeedMaybe();
  EXPECT_EQ(p.Maybe.get(), first);
  p.FreeMaybe();
  EXPECT_FALSE(p.Maybe.Present());
}

}  // namespace
}  // namespace vt::test
