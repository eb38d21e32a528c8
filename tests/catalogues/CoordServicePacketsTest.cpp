// Coordinator-service packets: the role map and the forwarding envelope.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "CatalogueTestSupport.h"
#include "catalogues/CoordServicePackets.h"
#include "catalogues/CoordTypes.h"
#include "common/PacketContext.h"

namespace vt {
namespace {

using namespace test;

class CoordServicePacketsTest : public CatalogueTest {};

TEST_F(CoordServicePacketsTest, RoleMapSurvivesASecondStart) {
  TStringIntegerMap* map = CoordRoleMap();
  ASSERT_NE(map, nullptr);
  // A second start keeps the same map, still empty.
  kCoordTypesUnit.initialize();
  kCoordTypesUnit.finalize();
  EXPECT_EQ(CoordRoleMap(), map);
  EXPECT_EQ(map->Count(), 0);
}

// ---- Forwarding envelope --------------------------------------------------------------------

TEST_F(CoordServicePacketsTest, EnvelopeCarriesAnyRegisteredPacket) {
  // A new envelope holds a plain packet; a stored field count of 1 keeps it.
  TForwardToAgentPacket a, b;
  LoadBothWays(a, b, StandAlone(TForwardToAgentPacket::Class, 1, std::string("\x04id", 3)));
  EXPECT_EQ(a.ID, "id");
  EXPECT_EQ(&b.HeldPacket()->ClassType(), &TPacket::Class);

  TForwardToAgentPacket env;
  env.ID = "agent";
  auto held = std::make_unique<TTerminatePacket>();
  held->Reserved = true;
  env.SetPacket(std::move(held));
  LoadBothWays(a, b, SaveBytes(env));
  EXPECT_TRUE(a.Equals(env));
  EXPECT_TRUE(b.Equals(env));
  // Between held packets of different classes the cast fails after ID is
  // copied.
  TForwardToAgentPacket state;
  state.SetPacket(std::make_unique<TQueryStatePacket>());
  EXPECT_THROW(state.Assign(env), EInvalidCast);
  EXPECT_EQ(state.ID, "agent");
  EXPECT_EQ(Differences(state, env), std::vector<std::int32_t>{1});

  const std::vector<std::string> dump = Dump(env);
  EXPECT_NE(std::find(dump.begin(), dump.end(), "    (TTerminatePacket)"), dump.end());
  EXPECT_NE(std::find(dump.begin(), dump.end(), "      Reserved = True"), dump.end());
}

TEST_F(CoordServicePacketsTest, EnvelopeWithUnregisteredPacketKeepsItsPacket) {
  TForwardToAgentPacket env;
  env.SetPacket(std::make_unique<TQueryStatePacket>());
  std::string bytes = SaveBytes(env);
  // The nested header's GUID: behind the outer header, the ID and the
  // nested header's first 16 bytes.
  bytes[32 + 1 + 16] ^= 0x5A;
  ReadBothWays(bytes, [](TStream& in, bool) {
    TForwardToAgentPacket target;
    auto kept = std::make_unique<TRefreshPacket>();
    TPacket* before = kept.get();
    target.SetPacket(std::move(kept));
    const std::string message = MessageOf([&] { LoadPacketInto(target, in); });
    EXPECT_EQ(message.rfind("Unregistered packet class: {", 0), 0u) << message;
    EXPECT_EQ(target.HeldPacket(), before);
  });
}

TEST_F(CoordServicePacketsTest, EnvelopeWithoutPacketFailsCleanly) {
  TForwardToAgentPacket env;
  env.ID = "x";
  env.SetPacket(nullptr);
  EXPECT_EQ(env.GetFieldAsObject(1), nullptr);
  std::string text;
  EXPECT_EQ(env.FieldToText(1, text), 1);
  EXPECT_EQ(text, "(null)");

  // Saving raises before anything is written, in every form.
  const std::string expected = "Attempt to access uninitialized member object: TForwardToAgentPacket.Packet";
  TMemoryStream s;
  EXPECT_EQ(MessageOf([&] { SavePacket(env, s); }), expected);
  TPacketStreamingContext ctx;
  EXPECT_EQ(MessageOf([&] { SavePacket(env, s, &ctx); }), expected);
  EXPECT_EQ(MessageOf([&] { env.SaveFields(s, nullptr); }), expected);
  EXPECT_EQ(s.Size(), 0);

  // Equality treats "none" as a value; Clear keeps it.
  TForwardToAgentPacket other;
  other.ID = "x";
  other.SetPacket(nullptr);
  EXPECT_TRUE(env.Equals(other));
  TForwardToAgentPacket holding;
  holding.ID = "y";
  EXPECT_FALSE(env.Equals(holding));
  EXPECT_FALSE(holding.Equals(env));
  EXPECT_EQ(Differences(env, holding), (std::vector<std::int32_t>{0, 1}));
  EXPECT_EQ(Differences(holding, env), (std::vector<std::int32_t>{0, 1}));
  env.Clear();
  EXPECT_EQ(env.ID, "");
  EXPECT_EQ(env.HeldPacket(), nullptr);

  // Assign in either direction raises, after copying ID; nothing is freed.
  holding.ID = "z";
  EXPECT_EQ(MessageOf([&] { env.Assign(holding); }), expected);
  EXPECT_EQ(env.ID, "z");
  TPacket* held = holding.HeldPacket();
  EXPECT_EQ(MessageOf([&] { holding.Assign(other); }), expected);
  EXPECT_EQ(holding.HeldPacket(), held);

  // A load gives it a packet again.
  TForwardToAgentPacket source;
  source.SetPacket(std::make_unique<TRefreshPacket>());
  TPlainStream saved(SaveBytes(source));
  LoadPacketInto(env, saved);
  ASSERT_NE(env.HeldPacket(), nullptr);
  EXPECT_TRUE(env.Equals(source));
}

}  // namespace
}  // namespace vt
