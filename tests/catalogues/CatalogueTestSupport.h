// Helpers shared by the catalogue tests: the unit start-up fixture, filling
// every field, saving to bytes, loading in both reading modes, and the round
// trips every filled packet must survive.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "bootstrapper/SetupPackets.h"
#include "catalogues/CatalogueUnits.h"
#include "common/ExceptionPacket.h"
#include "common/PacketContext.h"
#include "common/Packets.h"
#include "common/ProductInformation.h"
#include "common/StreamUtils.h"
#include "common/TypedLists.h"
#include "support/PacketBytes.h"
#include "support/StreamBytes.h"
#include "support/TestFiles.h"

namespace vt::test {

// Starts every unit that registers packet classes, in the setup program's
// order, so that class numbers do not depend on which test runs first.
class CatalogueTest : public ::testing::Test {
 protected:
  void SetUp() override {
    static const UnitEntry packet_units[] = {kPacketsUnit, kProductInformationUnit, kSetupPacketsUnit,
                                             kExceptionPacketUnit};
    InitializeUnits(packet_units);
    InitializeUnits(MessageCatalogueUnits());
    InitializeUnits(ProfileDocumentUnits());
  }
};

// ---- Bytes ----------------------------------------------------------------------------------

inline std::string FieldBytes(const TPacket& p) {
  TMemoryStream s;
  p.SaveFields(s, nullptr);
  return Bytes(s);
}

// A stand-alone packet of Cls whose header declares Stored fields and whose
// payload is Fields.
inline std::string StandAlone(const TPacketClass& cls, std::uint32_t stored, const std::string& fields) {
  TPacketHeader h{kPacketFormatVersion, static_cast<std::uint32_t>(kPacketHeaderSize + fields.size()), stored,
                  0, cls.GetClassGUID()};
  return std::string(reinterpret_cast<const char*>(&h), sizeof h) + fields;
}

inline std::string Hex(const std::string& bytes) {
  static const char* digits = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : bytes) {
    out += digits[c >> 4];
    out += digits[c & 15];
  }
  return out;
}

// A string field as written: short texts take a one-byte compact length.
inline std::string ShortString(const std::string& v) { return static_cast<char>(v.size() * 2) + v; }

// ---- Inspection -----------------------------------------------------------------------------

// The indices of the fields in which A and B differ.
inline std::vector<std::int32_t> Differences(const TPacket& a, const TPacket& b) {
  std::vector<std::int32_t> out;
  a.CompareFields(
      b, [](void* d, std::int32_t i) { static_cast<std::vector<std::int32_t>*>(d)->push_back(i); }, &out);
  return out;
}

// ---- Filling --------------------------------------------------------------------------------

// Gives every field a value that differs from its default and from the other
// fields of its type, derived from the field index and Seed: numbers and
// strings through the typed accessors (64-bit integers above 32 bits,
// Booleans alternating), GUIDs, enumerations, sets and records byte by byte,
// one item in lists, streams and string lists with content. Nested, optional
// and listed packets are filled in turn down to Depth levels. Fields with
// their own operations and no standard kind keep their defaults.
inline void FillFields(TPacket& p, int seed = 0, int depth = 2) {
  for (std::int32_t i = 0; i < p.FieldCount(); ++i) {
    const TPacketField& f = *p.ClassType().FieldAt(i);
    const int v = 300 + 7 * i + seed;
    switch (f.Kind) {
      case TFieldKind::Boolean:
        p.SetFieldAsInteger(i, (i + seed) % 2);
        break;
      case TFieldKind::Double:
        p.SetFieldAsDouble(i, 45000.25 + v);
        break;
      case TFieldKind::AnsiString:
      case TFieldKind::WideString:
        p.SetFieldAsString(i, "f" + std::to_string(v));
        break;
      case TFieldKind::StringList: {
        auto& lines = dynamic_cast<TStrings&>(*p.GetFieldAsObject(i));
        lines.Add("l" + std::to_string(v));
        lines.Add("");
        break;
      }
      case TFieldKind::Guid:
      case TFieldKind::Bytes:
        std::memset(f.Member(p), 0x40 + v % 64, f.Width);
        break;
      case TFieldKind::Stream:
      case TFieldKind::Chunked: {
        const std::string bytes = "stream " + std::to_string(v);
        dynamic_cast<TStream&>(*p.GetFieldAsObject(i)).WriteBuffer(bytes.data(), std::ssize(bytes));
        break;
      }
      case TFieldKind::IntegerList:
      case TFieldKind::TypedList: {
        auto& list = dynamic_cast<TCustomList&>(*p.GetFieldAsObject(i));
        TMemoryStream record;
        WriteCompactLength(record, 1);
        for (int k = 0; k < list.ItemSize(); ++k) WriteByteValue(record, static_cast<std::uint8_t>(v + k));
        record.SetPosition(0);
        list.LoadFromStream(record);
        break;
      }
      case TFieldKind::Packet:
        if (depth > 0) FillFields(dynamic_cast<TPacket&>(*p.GetFieldAsObject(i)), seed + 1, depth - 1);
        break;
      case TFieldKind::OptionalPacket:
        if (depth > 0)
          FillFields(static_cast<TOptionalPacketBase*>(f.Member(p))->Need(), seed + 1, depth - 1);
        break;
      case TFieldKind::PacketList:
        if (depth > 0) {
          auto& list = dynamic_cast<TCustomPacketList&>(*p.GetFieldAsObject(i));
          auto item = list.ItemClass().Create();
          FillFields(*item, seed + 1, depth - 1);
          list.Add(std::move(item));
        }
        break;
      case TFieldKind::AnyPacket:
      case TFieldKind::Custom:
        break;
      default:  // integers; handles with their own operations stay in 32 bits
        if (f.Width == 8 && f.Wire != TWireForm::Custom) {
          p.SetFieldAsDouble(i, (i + 1) * 4294967296.0 + v);
        } else {
          p.SetFieldAsInteger(i, v);
        }
        break;
    }
  }
}

inline std::unique_ptr<TPacket> Filled(const TPacketClass& cls, int seed = 0) {
  auto p = cls.Create();
  FillFields(*p, seed);
  return p;
}

// Whether P or a packet nested in it holds an optional member (which Clear
// keeps).
inline bool HoldsOptionalMember(TPacket& p) {
  for (std::int32_t i = 0; i < p.FieldCount(); ++i) {
    const TPacketField& f = *p.ClassType().FieldAt(i);
    if (f.Kind == TFieldKind::OptionalPacket && static_cast<TOptionalPacketBase*>(f.Member(p))->Present())
      return true;
    if (f.Kind == TFieldKind::Packet && HoldsOptionalMember(dynamic_cast<TPacket&>(*p.GetFieldAsObject(i))))
      return true;
  }
  return false;
}

// ---- Loading --------------------------------------------------------------------------------

// Calls Read(stream, buffered) on a plain stream over Bytes, then on a memory
// buffer over a copy; answers both end positions.
template <typename F>
std::pair<std::int64_t, std::int64_t> ReadBothWays(const std::string& bytes, F&& read) {
  TPlainStream plain(bytes);
  read(plain, false);
  std::string copy = bytes;
  TPointerStream buffer(copy.data(), static_cast<std::int64_t>(copy.size()), true);
  read(buffer, true);
  return {plain.Position(), buffer.Position()};
}

// Reads fields with the buffer reader when Buffered, else with the stream reader.
inline void ReadFields(TPacket& p, TStream& s, bool buffered, std::int32_t& remaining) {
  if (buffered) {
    p.LoadFieldsFromBuffer(static_cast<TCustomMemoryStream&>(s), remaining, nullptr);
  } else {
    p.LoadFields(s, remaining, nullptr);
  }
}

// Reads Fields (FieldCount stored fields) into ByStream with the stream
// reader and into ByBuffer with the buffer reader; both must stop at the
// same offset, which is answered.
inline std::int64_t LoadFieldsBothWays(TPacket& by_stream, TPacket& by_buffer, const std::string& fields,
                                       std::int32_t field_count) {
  const auto [a, b] = ReadBothWays(fields, [&](TStream& s, bool buffered) {
    std::int32_t remaining = field_count;
    ReadFields(buffered ? by_buffer : by_stream, s, buffered, remaining);
    EXPECT_EQ(remaining, 0);
  });
  EXPECT_EQ(a, b);
  return b;
}

// Loads the stand-alone packet Bytes into ByStream from a plain stream and
// into ByBuffer from a memory buffer; both must end behind the packet.
inline void LoadBothWays(TPacket& by_stream, TPacket& by_buffer, const std::string& bytes) {
  const auto end = ReadBothWays(
      bytes, [&](TStream& s, bool buffered) { LoadPacketInto(buffered ? by_buffer : by_stream, s); });
  EXPECT_EQ(end, std::make_pair(std::ssize(bytes), std::ssize(bytes)));
}

// Loads Bytes into P in buffer mode, and into a copy of P's present state
// from a plain stream; both must agree and end behind the packet.
inline void LoadInto(TPacket& p, const std::string& bytes) {
  auto other = p.ClassType().Create();
  other->Assign(p);
  LoadBothWays(*other, p, bytes);
  EXPECT_TRUE(other->Equals(p));
}

// ---- Round trips ----------------------------------------------------------------------------

// Every path a filled packet travels: stand-alone and twice through one
// streaming context, loaded by class from a plain stream and from a memory
// buffer; stand-alone into a new packet in both reading modes, saving to the
// same bytes again; clone and assign. A cleared copy equals a new packet
// unless ClearEqualsNew is false (a present optional member stays present
// when cleared).
inline void ExpectRoundTrips(const TPacket& p, bool clear_equals_new = true) {
  SCOPED_TRACE(p.ClassName());
  const TPacketClass& cls = p.ClassType();
  TPacketStreamingContext w;
  TMemoryStream s;
  for (TPacketStreamingContext* context : {static_cast<TPacketStreamingContext*>(nullptr), &w, &w})
    SavePacket(p, s, context);
  const std::string saved = Bytes(s);
  const auto end = ReadBothWays(saved, [&](TStream& in, bool) {
    TPacketStreamingContext r;
    for (TPacketStreamingContext* context : {static_cast<TPacketStreamingContext*>(nullptr), &r, &r}) {
      auto c = LoadPacket(in, context);
      ASSERT_NE(c, nullptr);
      EXPECT_EQ(&c->ClassType(), &cls);
      EXPECT_TRUE(c->Equals(p));
    }
  });
  EXPECT_EQ(end, std::make_pair(std::ssize(saved), std::ssize(saved)));
  const std::string whole = SaveBytes(p);
  auto into = cls.Create();
  LoadInto(*into, whole);
  EXPECT_TRUE(into->Equals(p));
  EXPECT_EQ(SaveBytes(*into), whole);

  auto copy = p.Clone();
  EXPECT_TRUE(copy->Equals(p));
  auto assigned = cls.Create();
  assigned->Assign(p);
  EXPECT_TRUE(assigned->Equals(p));
  copy->Clear();
  EXPECT_EQ(copy->Equals(*cls.Create()), clear_equals_new);
}

}  // namespace vt::test
