// The network connection packet: registration, wire bytes, integer access.
#include <gtest/gtest.h>

#include "catalogues/NetworkConfigPackets.h"
#include "catalogues/PdbForwarderPackets.h"
#include "catalogues/VEPackets.h"
#include "CatalogueTestSupport.h"

namespace vt {
namespace {

using namespace test;

class NetworkConfigPacketsTest : public test::CatalogueTest {};

TEST_F(NetworkConfigPacketsTest, RegisteredAndRoundTrips) {
  EXPECT_EQ(FindPacketClass(GuidLiteral("{744E97F7-7BD0-4D89-B5BE-708F31869BF2}")),
            &TNetworkConnectionInfoPacket::Class);
  EXPECT_GT(GetPacketClassNumber(TNetworkConnectionInfoPacket::Class), 1);
  EXPECT_EQ(TNetworkConnectionInfoPacket::Class.FieldCount(), 5);
  // A second initialization registers nothing and raises nothing.
  kNetworkConfigPacketsUnit.initialize();
  kNetworkConfigPacketsUnit.finalize();

  TNetworkConnectionInfoPacket p;
  p.SpeedBitsPerSec = 10'000'000'000ll;
  p.IP = 0xC0A80001;
  p.Name = "eth0";
  p.Description = "Adapter";
  p.PhysicalAddress = "00-11-22-33-44-55";
  test::ExpectRoundTrips(p);
}

TEST_F(NetworkConfigPacketsTest, FreshPacketBytesAndShortLoad) {
  TNetworkConnectionInfoPacket p;
  const std::string b = test::SaveBytes(p);
  EXPECT_EQ(b.size(), 47u);
  EXPECT_EQ(b.substr(32), std::string(15, '\0'));

  // A writer with two fields: the strings keep what they held.
  TNetworkConnectionInfoPacket src;
  src.SpeedBitsPerSec = -2;
  src.IP = 7;
  const std::string two = test::FieldBytes(src).substr(0, 12);
  TNetworkConnectionInfoPacket a, c;
  a.Name = c.Name = "kept";
  EXPECT_EQ(test::LoadFieldsBothWays(a, c, two, 2), 12);
  for (auto* q : {&a, &c}) {
    EXPECT_EQ(q->SpeedBitsPerSec, -2);
    EXPECT_EQ(q->IP, 7u);
    EXPECT_EQ(q->Name, "kept");
  }
  EXPECT_EQ(Hex(two), "FE FF FF FF FF FF FF FF 07 00 00 00");
}

TEST_F(NetworkConfigPacketsTest, UnsignedAddressAndSignedSpeed) {
  TNetworkConnectionInfoPacket p;
  p.IP = 0xFFFFFFFF;
  EXPECT_EQ(p.GetFieldAsString(1), "4294967295");
  EXPECT_EQ(p.GetFieldAsInteger(1), -1);
  EXPECT_EQ(p.GetFieldAsDouble(1), 4294967295.0);
  std::string text;
  EXPECT_EQ(p.FieldToText(1, text), 1);
  EXPECT_EQ(text, "4294967295");

  p.SetFieldAsString(0, "-1");
  EXPECT_EQ(static_cast<std::uint64_t>(p.SpeedBitsPerSec), 0xFFFFFFFFFFFFFFFFull);
  EXPECT_EQ(p.GetFieldAsString(0), "-1");
  p.SetFieldAsString(0, "");
  EXPECT_EQ(p.SpeedBitsPerSec, 0);
  p.SetFieldAsDouble(0, 4294967296.0 * 4);
  EXPECT_EQ(p.SpeedBitsPerSec, 4294967296ll * 4);
  EXPECT_EQ(p.GetFieldAsString(0), "17179869184");
}

}  // namespace
}  // namespace vt
