// PDB forwarding packets: registration, wire bytes, byte and wide strings.
#include <gtest/gtest.h>

#include "catalogues/NetworkConfigPackets.h"
#include "catalogues/PdbForwarderPackets.h"
#include "catalogues/VEPackets.h"
#include "CatalogueTestSupport.h"

namespace vt {
namespace {

using namespace test;

class PdbForwarderPacketsTest : public test::CatalogueTest {};

TEST_F(PdbForwarderPacketsTest, RegisteredInDeclarationOrder) {
  const ClassRow rows[] = {
      {&TPdbForwarderFileContextPacket::Class, GuidLiteral("{917380AD-0818-4D2F-8AB3-2FD2DC322566}"), 3},
      {&TPdbForwarderContextPacket::Class, GuidLiteral("{5722E016-CDD3-4A10-9F56-987989688EC5}"), 4},
      {&TPdbQuerySymbolPacket::Class, GuidLiteral("{E49129AB-900E-4EFA-9117-2D919885B642}"), 2},
      {&TPdbOpenInputFilePacket::Class, GuidLiteral("{EF8755F2-743D-491E-9CBB-65F1E814233E}"), 3},
      {&TPdbSelectInputFilePacket::Class, GuidLiteral("{9AD2BD7E-4127-4540-BE0E-D0823B01637E}"), 1},
      {&TPdbBeginInputHeaderPacket::Class, GuidLiteral("{F20660BA-2840-4A6D-8AFB-C5AC679EBC5F}"), 2},
      {&TPdbWritePchInfoPacket::Class, GuidLiteral("{3724745F-1EEC-4D6D-BE9A-4D226007D778}"), 1},
      {&TPdbIntroPchPacket::Class, GuidLiteral("{3B4AAF6B-0E89-49E4-8A15-0A2F09ED7105}"), 3},
      {&TPdbCloseInputFilePacket::Class, GuidLiteral("{723D3066-6532-4324-8453-484D535F8AC0}"), 2},
      {&TPdbInputFileActionAPacket::Class, GuidLiteral("{E16974D9-1122-4D51-BA9F-DB3973C14DDF}"), 2},
  };
  // The unit follows the network connection unit directly.
  const std::int32_t first = GetPacketClassNumber(TNetworkConnectionInfoPacket::Class) + 1;
  EXPECT_EQ(ExpectRegisteredInOrder(rows, first), std::ssize(rows));
  kPdbForwarderPacketsUnit.initialize();  // a second run registers nothing
  kPdbForwarderPacketsUnit.finalize();
}

TEST_F(PdbForwarderPacketsTest, FilledPacketsRoundTrip) {
  TPdbForwarderContextPacket ctx;
  auto& file = ctx.Files.AddNew();
  file.Filename = "vc140.pdb";
  file.FileGuid = GuidLiteral("{00112233-4455-6677-8899-AABBCCDDEEFF}");
  file.FileRevision = -7;
  ctx.Files.AddNew().Filename = "other.pdb";
  ctx.ActionStreamID = GuidLiteral("{10000000-2000-3000-4000-500000000000}");
  ctx.ProtocolVersion = static_cast<TPdbForwarderProtocolVersion>(3);
  ctx.StringBindingPrefix = "ncalrpc:";
  test::ExpectRoundTrips(ctx);
  test::ExpectRoundTrips(ctx.Files.Items(0));

  TPdbQuerySymbolPacket q;
  q.ID = 9;
  q.Data = std::string("\0sym\xFF", 5);
  test::ExpectRoundTrips(q);
  TPdbOpenInputFilePacket o;
  o.InputFileID = 4;
  o.SourceFilename = u"src\\\u00e4.c";
  o.ObjectFilename = u"obj\\a.obj";
  test::ExpectRoundTrips(o);
  TPdbSelectInputFilePacket s;
  s.InputFileID = -1;
  test::ExpectRoundTrips(s);
  TPdbBeginInputHeaderPacket h;
  h.InputFileID = 2;
  h.Filename = u"stdafx.h";
  test::ExpectRoundTrips(h);
  TPdbWritePchInfoPacket w;
  w.BinaryData = std::string(300, '\x01');
  test::ExpectRoundTrips(w);
  TPdbIntroPchPacket i;
  i.InputFileID = 5;
  i.StrParam = u"p";
  i.PchFilename = u"x.pch";
  test::ExpectRoundTrips(i);
  TPdbCloseInputFilePacket c;
  c.InputFileID = 6;
  c.IntParam = 1;
  test::ExpectRoundTrips(c);
  TPdbInputFileActionAPacket a;
  a.InputFileID = 6;
  a.IntParam = 2;
  test::ExpectRoundTrips(a);
}

TEST_F(PdbForwarderPacketsTest, ContextBytesClearAndVersionField) {
  TPdbForwarderContextPacket ctx;
  EXPECT_EQ(Hex(test::Payload(ctx)), Hex(std::string(4, '\0') + std::string(16, '\0') + "\x01" +
                                         std::string(2, '\0')));
  EXPECT_EQ(test::Payload(ctx).size(), 23u);

  // The version is a sized byte: served by no accessor, not rendered.
  ctx.ProtocolVersion = static_cast<TPdbForwarderProtocolVersion>(2);
  EXPECT_EQ(test::Payload(ctx).substr(20, 2), std::string("\x01\x02", 2));
  std::string text = "unchanged";
  EXPECT_EQ(ctx.FieldToText(2, text), 0);
  EXPECT_THROW(ctx.GetFieldAsInteger(2), Exception);
  EXPECT_THROW(ctx.GetFieldAsString(2), Exception);

  // A writer with a wider version: the low byte is kept, the rest skipped.
  std::string fields = test::FieldBytes(ctx);
  fields.replace(20, 2, std::string("\x02\x07\x09", 3));
  TPdbForwarderContextPacket a, b;
  EXPECT_EQ(test::LoadFieldsBothWays(a, b, fields, 4), static_cast<std::int64_t>(fields.size()));
  EXPECT_EQ(a.ProtocolVersion, static_cast<TPdbForwarderProtocolVersion>(7));
  EXPECT_TRUE(a.Equals(b));

  ctx.Files.AddNew().Filename = "a.pdb";
  ctx.StringBindingPrefix = "x";
  TPdbForwarderFileContextPacketList* files = &ctx.Files;
  ctx.Clear();
  EXPECT_EQ(&ctx.Files, files);
  EXPECT_TRUE(ctx.Files.IsEmpty());
  EXPECT_TRUE(ctx.Equals(TPdbForwarderContextPacket()));
}

TEST_F(PdbForwarderPacketsTest, WideAndByteStrings) {
  TPdbOpenInputFilePacket o;
  o.SourceFilename = u"a.c";
  EXPECT_EQ(Hex(test::Payload(o)), "00 00 00 00 06 61 00 2E 00 63 00 00");
  std::string text;
  EXPECT_EQ(o.FieldToText(1, text), 1);
  EXPECT_EQ(text, "'a.c'");

  TPdbWritePchInfoPacket w;
  w.BinaryData = std::string("\x00\xFF\x00", 3);
  const std::string bytes = test::SaveBytes(w);
  TMemoryStream s;
  s.WriteBuffer(bytes.data(), static_cast<std::int64_t>(bytes.size()));
  s.SetPosition(0);
  TPdbWritePchInfoPacket back;
  LoadPacketInto(back, s);
  EXPECT_EQ(back.BinaryData, std::string("\x00\xFF\x00", 3));
  EXPECT_TRUE(back.Equals(w));
  back.BinaryData[1] = '\xFE';
  EXPECT_FALSE(back.Equals(w));
  EXPECT_EQ(w.FieldToText(0, text), 1);
  EXPECT_EQ(text, "' \xFF '");
}

TEST_F(PdbForwarderPacketsTest, TwinClassesNeverLoadAsEachOther) {
  TPdbCloseInputFilePacket c;
  c.InputFileID = 1;
  c.IntParam = 2;
  TPdbInputFileActionAPacket a;
  a.InputFileID = 1;
  a.IntParam = 2;
  EXPECT_EQ(test::Payload(c), test::Payload(a));
  EXPECT_NE(test::SaveBytes(c), test::SaveBytes(a));

  const std::string bytes = test::SaveBytes(c);
  TMemoryStream s;
  s.WriteBuffer(bytes.data(), static_cast<std::int64_t>(bytes.size()));
  s.SetPosition(0);
  TPdbInputFileActionAPacket other;
  EXPECT_THROW(LoadPacketInto(other, s), Exception);
  EXPECT_EQ(other.InputFileID, 0);
  s.SetPosition(0);
  auto loaded = LoadPacket(s);
  EXPECT_EQ(&loaded->ClassType(), &TPdbCloseInputFilePacket::Class);
  EXPECT_FALSE(loaded->Equals(a));
}

}  // namespace
}  // namespace vt
