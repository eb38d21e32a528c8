#include "PacketTestClasses.h"

namespace vt::test {

VT_PACKET_FIELDS(TSmallPacket) = {
    VT_FIELD(Value, 2, Raw(4)).WithDefault(7),
    VT_FIELD(Text, 1, String).WithDefault("none").WithCaption("Label"),
};
VT_DEFINE_PACKET(TSmallPacket, "{11111111-2222-3333-4444-555555555555}")

VT_PACKET_FIELDS(TSmallPacketV2) = {
    VT_FIELD(Value, 2, Raw(4)).WithDefault(7),
    VT_FIELD(Text, 1, String).WithDefault("none"),
    VT_FIELD(Extra, 2, Raw(4)).WithDefault(99),
};
VT_DEFINE_PACKET(TSmallPacketV2, "{11111111-2222-3333-4444-555555555555}")

VT_PACKET_FIELDS(TOtherPacket) = {
    VT_FIELD(Flag, 3, Raw(1)),
};
VT_DEFINE_PACKET(TOtherPacket, "{AAAAAAAA-0000-0000-0000-000000000001}")

VT_PACKET_FIELDS(TChainPacket) = {
    VT_FIELD(Next, 5, OptionalPacket),
};
VT_DEFINE_PACKET(TChainPacket, "{AAAAAAAA-0000-0000-0000-000000000002}")

VT_PACKET_FIELDS(TAllKindsPacket) = {
    VT_FIELD(I8, 2, Raw(1)).WithDefault(-1),
    VT_FIELD(U8, 2, Raw(1)),
    VT_FIELD(I16, 2, Raw(2)),
    VT_FIELD(U16, 2, Sized(2)),
    VT_FIELD(I32, 2, Raw(4)).WithItemName("Item").WithItemCaption("Item caption"),
    VT_FIELD(Compact, 2, Compact),
    VT_FIELD(U32, 2, Raw(4)),
    VT_FIELD(I64, 2, Raw(8)),
    VT_FIELD(U64, 2, Raw(8)),
    VT_FIELD(Bool, 3, Raw(1)).WithDefault(true),
    VT_FIELD(Dbl, 4, Raw(8)).WithDefault(1.5),
    VT_FIELD(Guid, 0, Raw(16)),
    VT_FIELD(Colour, 0, Sized(1)),
    VT_FIELD(Set, 0, Sized(3)),
    VT_FIELD(Record, 0, Raw(8)),
    VT_FIELD(Handle, 2, Sized(4)),
    VT_FIELD(Str, 1, String).WithDefault("default"),
    VT_FIELD(WStr, 1, Wide),
    VT_FIELD(Lines, 5, StringList),
    VT_FIELD(Data, 5, Stream),
    VT_FIELD(Nested, 5, Packet),
    VT_FIELD(Maybe, 5, OptionalPacket),
    VT_FIELD(Items, 5, PacketList),
    VT_FIELD(Any, 5, Packet),
    VT_FIELD(Ints, 5, IntList),
    VT_FIELD(Chunks, 5, Chunked),
    VT_FIELD(Cardinals, 5, TypedList),
};
VT_DEFINE_PACKET(TAllKindsPacket, "{AAAAAAAA-0000-0000-0000-000000000003}")

VT_PACKET_FIELDS(TNoOpsPacket) = {
    VT_FIELD(Handle, 2, Custom),
};
VT_DEFINE_PACKET(TNoOpsPacket, "{AAAAAAAA-0000-0000-0000-000000000005}")

VT_PACKET_FIELDS(TRefusedPacket) = {
    VT_FIELD(Value, 2, Raw(4)),
};
VT_DEFINE_PACKET(TRefusedPacket, "{AAAAAAAA-0000-0000-0000-000000000006}")

namespace {
void Initialize() {
  RegisterPacketClass(TSmallPacket::Class);
  RegisterPacketClass(TOtherPacket::Class);
  RegisterPacketClass(TChainPacket::Class);
  RegisterPacketClass(TAllKindsPacket::Class);
  RegisterPacketClass(TRefusedPacket::Class);
}
}  // namespace

void RegisterTestPackets() {
  static const UnitEntry units[] = {kPacketsUnit, {"PacketTestClasses", &Initialize, nullptr}};
  InitializeUnits(units);
}

void FillAllKinds(TAllKindsPacket& p) {
  p.I8 = -5;
  p.U8 = 250;
  p.I16 = -300;
  p.U16 = 60000;
  p.I32 = -100000;
  p.Compact = 300;
  p.U32 = 4000000000u;
  p.I64 = -5000000000ll;
  p.U64 = 18000000000000000000ull;
  p.Bool = true;
  p.Dbl = 45000.25;
  p.Guid = GuidLiteral("{01234567-89AB-CDEF-0123-456789ABCDEF}");
  p.Colour = TColour::Blue;
  p.Set = {1, 2, 3};
  p.Record = {0x11223344, 0x5566, 0x7788};
  p.Handle = 0x1234;
  p.Str = std::string("with\0nul", 8);
  p.WStr = u"wide \u00e9\u4e2d";
  for (const char* line : {"one", "", "three"}) p.Lines.Add(line);
  p.Data.WriteBuffer("stream bytes", 12);
  p.Nested.Value = 42;
  p.Nested.Text = "nested";
  p.NeedMaybe().Value = 43;
  p.Items.AddNew().Value = 1;
  p.Items.AddNew().Text = "second";
  auto other = std::make_unique<TOtherPacket>();
  other->Flag = true;
  p.Any.Reset(std::move(other));
  for (std::int32_t i : {-1, 70000}) p.Ints.Add(i);
  p.Chunks.WriteBuffer("chunked", 7);
  p.Cardinals.Add(9);
}

}  // namespace vt::test
