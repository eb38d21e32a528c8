// The exception packet: registration, wire bytes, dump, round trips.
#include "common/ExceptionPacket.h"

#include <gtest/gtest.h>

#include <memory>

#include "common/PacketContext.h"
#include "common/StringLists.h"
#include "support/StreamBytes.h"

namespace vt {
namespace {

class ExceptionPacketTest : public ::testing::Test {
 protected:
  void SetUp() override {
    static const UnitEntry units[] = {kPacketsUnit, kExceptionPacketUnit};
    InitializeUnits(units);
  }
};

std::unique_ptr<TCommExceptionPacket> AbcPacket() {
  auto p = std::make_unique<TCommExceptionPacket>();
  p->ExceptionMessage = "a";
  p->ExceptionClass = "b";
  p->ExceptionMethodName = "c";
  return p;
}

TEST_F(ExceptionPacketTest, RegisteredWithItsGuidAndFields) {
  EXPECT_EQ(FindPacketClass(GuidLiteral("{147D1111-3535-4E71-9695-E35D6011ECDE}")), &TCommExceptionPacket::Class);
  EXPECT_GT(GetPacketClassNumber(TCommExceptionPacket::Class), 1);
  EXPECT_EQ(TCommExceptionPacket::Class.FieldCount(), 3);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(TCommExceptionPacket::Class.FieldType(i), pftString);
  EXPECT_EQ(TCommExceptionPacket::Class.FieldIndexByName("ExceptionMethodName"), 2);
}

TEST_F(ExceptionPacketTest, StandAloneBytesAndDump) {
  TMemoryStream s;
  SavePacket(*AbcPacket(), s);
  const std::string b = test::Bytes(s);
  ASSERT_EQ(b.size(), 38u);
  const unsigned char header[16] = {2, 0, 0, 0, 38, 0, 0, 0, 3, 0, 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(b.substr(0, 16), std::string(reinterpret_cast<const char*>(header), 16));
  const TGUID guid = GuidLiteral("{147D1111-3535-4E71-9695-E35D6011ECDE}");
  EXPECT_EQ(b.substr(16, 16), std::string(reinterpret_cast<const char*>(&guid), 16));
  EXPECT_EQ(b.substr(32), std::string("\x02" "a" "\x02" "b" "\x02" "c"));

  TStringListEx lines;
  AbcPacket()->DumpToStrings(lines);
  ASSERT_EQ(lines.Count(), 4);
  EXPECT_EQ(lines[0], "(TCommExceptionPacket)");
  EXPECT_EQ(lines[1], "  ExceptionMessage = 'a'");
  EXPECT_EQ(lines[2], "  ExceptionClass = 'b'");
  EXPECT_EQ(lines[3], "  ExceptionMethodName = 'c'");
}

TEST_F(ExceptionPacketTest, TravelsAndServesTextAccessors) {
  TCommExceptionPacket p;
  p.SetFieldAsString(0, std::string(300, 'm'));
  p.SetFieldAsString(1, "EOSError");
  p.SetFieldAsString(2, "TSetupCore.Run");
  EXPECT_EQ(p.GetFieldAsString(2), "TSetupCore.Run");
  EXPECT_THROW(p.GetFieldAsInteger(0), Exception);

  // Stand-alone, read from a stream and from memory, and in a context.
  TMemoryStream s;
  SavePacket(p, s);
  s.SetPosition(0);
  auto loaded = LoadPacket(s);
  ASSERT_EQ(&loaded->ClassType(), &TCommExceptionPacket::Class);
  EXPECT_TRUE(loaded->Equals(p));
  TPointerStream mem(s.Memory(), s.Size(), true);
  TCommExceptionPacket q;
  LoadPacketInto(q, mem);
  EXPECT_TRUE(q.Equals(p));

  TPacketStreamingContext writer, reader;
  TMemoryStream c;
  SavePacket(p, c, &writer);
  SavePacket(*AbcPacket(), c, &writer);
  c.SetPosition(0);
  EXPECT_TRUE(LoadPacket(c, &reader)->Equals(p));
  EXPECT_TRUE(LoadPacket(c, &reader)->Equals(*AbcPacket()));
}

}  // namespace
}  // namespace vt
