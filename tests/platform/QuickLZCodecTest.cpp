#include "platform/quicklz/QuickLZCodec.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "platform/Modules.h"
#include "support/TestFiles.h"

namespace vt::qlz {
namespace {

using Bytes = std::vector<std::uint8_t>;

std::string DataDir() { return std::string(VT_TEST_DATA_DIR) + "/quicklz/"; }

Bytes ReadFile(const std::string& name) { return test::ReadFileBytes(DataDir() + name); }

// A reference vector: its name, whether it has a 1.3.1 packet, and the
// packet positions whose bytes the reference leaves unspecified.
struct Vector {
  std::string name;
  bool has131 = true;
  std::vector<size_t> unspecified131, unspecified120;
};

std::vector<Vector> Manifest() {
  std::ifstream f(DataDir() + "MANIFEST.tsv");
  std::string line;
  std::getline(f, line);
  std::vector<Vector> out;
  while (std::getline(f, line)) {
    std::vector<std::string> cols;
    std::stringstream ss(line);
    for (std::string col; std::getline(ss, col, '\t');) cols.push_back(col);
    if (cols.size() < 11) continue;
    auto positions = [](const std::string& list) {
      std::vector<size_t> r;
      std::stringstream items(std::isdigit(static_cast<unsigned char>(list[0])) ? list : "");
      for (std::string item; std::getline(items, item, ',');) r.push_back(std::stoul(item));
      return r;
    };
    out.push_back({cols[0], cols[3] != "-", positions(cols[6]), positions(cols[10])});
  }
  EXPECT_FALSE(out.empty());
  return out;
}

// Decodes into exactly the size the header gives (the decoder reads the header again).
Bytes Decode(const Bytes& packet, Version v, std::int64_t* result = nullptr) {
  Header h;
  Bytes out(ParseHeader(packet.data(), packet.size(), h) ? h.data_size : 0);
  const std::int64_t r = Decompress(packet.data(), packet.size(), out.data(), out.size(), v);
  if (result) *result = r;
  return out;
}

Bytes Encode(const Bytes& in, Version v) {
  Bytes out(in.size() + kCompressSlack);
  out.resize(Compress(in.data(), in.size(), out.data(), out.size(), v));
  return out;
}

// Test data of several kinds.
Bytes MakeData(int kind, size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  Bytes b(n);
  switch (kind) {
    case 0:  // random
      for (auto& x : b) x = static_cast<uint8_t>(rng());
      break;
    case 1:  // runs of random lengths
      for (size_t i = 0; i < n;) {
        size_t len = 1 + rng() % 300;
        uint8_t c = static_cast<uint8_t>(rng() % 4);
        for (size_t j = 0; j < len && i < n; ++j) b[i++] = c;
      }
      break;
    case 2:  // few symbols: many short matches at all distances
      for (auto& x : b) x = "abcd"[rng() % 4];
      break;
    case 20:  // random stretches between short zero runs, then zeros: a packet, not stored, with many
              // incompressible runs
      for (size_t i = 0; i < n * 2 / 3; ++i) b[i] = i % 2200 < 2000 ? static_cast<uint8_t>(rng()) : 0;
      break;
    default:  // period 3 to 19: matches overlapping their own output
      for (size_t i = 0; i < n; ++i) b[i] = i < static_cast<size_t>(kind) ? static_cast<uint8_t>(rng()) : b[i - kind];
      break;
  }
  return b;
}

// Every reference packet decodes with both decoders, and our packets equal
// the reference ones outside the bytes the reference leaves unspecified.
TEST(QuickLZVectors, ReferencePacketsDecodeAndEncodeExactly) {
  for (const auto& v : Manifest()) {
    const Bytes in = ReadFile(v.name + ".in");
    for (Version ver : {Version::k120, Version::k131}) {
      const bool v131 = ver == Version::k131;
      Bytes ours = Encode(in, ver);
      if (v131 && !v.has131) {
        EXPECT_TRUE(ours.empty());
        continue;
      }
      const std::string name = v.name + (v131 ? ".qlz131" : ".qlz120");
      const Bytes ref = ReadFile(name);
      for (Version dec : {Version::k120, Version::k131}) {
        std::int64_t r;
        EXPECT_TRUE(Decode(ref, dec, &r) == in) << name;
        EXPECT_EQ(r, static_cast<std::int64_t>(in.size())) << name;
      }
      ASSERT_EQ(ours.size(), ref.size()) << name;
      for (size_t pos : v131 ? v.unspecified131 : v.unspecified120) ours[pos] = ref[pos];
      EXPECT_TRUE(ours == ref) << name;
    }
  }
}

TEST(QuickLZVectors, HandBuiltPacketsDecodeAndMalformedOnesAreRejected) {
  for (const char* name : {"forms_all", "longhdr_small", "stored_long", "stored_short"}) {
    const Bytes packet = ReadFile(std::string("decoder/") + name + ".qlz");
    const Bytes expected = ReadFile(std::string("decoder/") + name + ".out");
    for (Version ver : {Version::k120, Version::k131}) EXPECT_TRUE(Decode(packet, ver) == expected) << name;
  }
  for (const char* name : {"neg_dsize_too_big", "neg_flag_bits", "neg_match_into_tail", "neg_offset_17bit_beyond",
                           "neg_offset_before_start", "neg_run_too_long", "neg_truncated"}) {
    const Bytes packet = ReadFile(std::string("decoder/") + name + ".qlz");
    for (Version ver : {Version::k120, Version::k131}) {
      std::int64_t r;
      Decode(packet, ver, &r);
      EXPECT_EQ(r, -1) << name;
    }
  }
}

// Every truncation is refused, and every single-byte change of valid
// packets is decoded without leaving the buffers (checked under the
// sanitizers); an accepted packet always yields exactly n bytes.
TEST(QuickLZDecoder, DamagedPacketsAreRefusedOrStayInBounds) {
  for (const char* name : {"text65536.qlz120", "a100.qlz131", "hdr216.qlz131", "longmatch6000.qlz131"}) {
    const Bytes good = ReadFile(name);
    for (size_t len = 0; len < good.size(); len += (len < 64 || good.size() - len < 100 ? 1 : 97)) {
      Bytes cut(good.begin(), good.begin() + static_cast<long>(len));
      Bytes out(70000);
      for (Version ver : {Version::k120, Version::k131})
        EXPECT_EQ(Decompress(cut.data(), cut.size(), out.data(), out.size(), ver), -1) << name << " " << len;
    }
    std::mt19937 rng(7);
    for (int i = 0; i < 2000; ++i) {
      Bytes bad = good;
      bad[rng() % bad.size()] ^= static_cast<uint8_t>(1 + rng() % 255);
      Header h;
      if (!ParseHeader(bad.data(), bad.size(), h) || h.data_size > 1 << 20) continue;
      Bytes out(h.data_size);
      for (Version ver : {Version::k120, Version::k131}) {
        std::int64_t r = Decompress(bad.data(), bad.size(), out.data(), out.size(), ver);
        EXPECT_TRUE(r == -1 || r == static_cast<std::int64_t>(h.data_size));
      }
    }
  }
  // One byte short of the output; no input at all.
  const Bytes packet = ReadFile("text65536.qlz131");
  Bytes out(65535);
  EXPECT_EQ(Decompress(packet.data(), packet.size(), out.data(), out.size(), Version::k131), -1);
  EXPECT_EQ(Decompress(nullptr, 0, out.data(), out.size(), Version::k131), -1);
}

// Round trips through both decoders, each writing into exactly n bytes of a
// larger buffer whose bytes after n must stay untouched (the decoder copies
// in words that may reach ahead while far from the end).
TEST(QuickLZCompressor, RoundTripsWithoutWritingPastTheEnd) {
  std::vector<size_t> sizes;
  for (size_t n = 1; n <= 40; ++n) sizes.push_back(n);
  for (size_t n : {100, 215, 216, 255, 256, 1000, 4096, 65536, 200000}) sizes.push_back(n);
  for (Version ver : {Version::k120, Version::k131}) {
    for (int kind = 0; kind <= 20; ++kind) {
      for (size_t n : sizes) {
        const Bytes in = MakeData(kind, n, static_cast<unsigned>(n * 4 + kind));
        const Bytes packet = Encode(in, ver);
        ASSERT_FALSE(packet.empty());
        EXPECT_LE(packet.size(), n + kCompressSlack);
        for (Version dec : {Version::k120, Version::k131}) {
          Bytes out(n + 32, 0xEE);
          EXPECT_EQ(Decompress(packet.data(), packet.size(), out.data(), n, dec), static_cast<std::int64_t>(n));
          EXPECT_TRUE(std::equal(in.begin(), in.end(), out.begin())) << "kind " << kind << " n " << n;
          EXPECT_EQ(std::count(out.begin() + static_cast<long>(n), out.end(), 0xEE), 32) << "kind " << kind;
        }
      }
    }
  }
  // One byte less than the worst case is refused.
  Bytes src(40), dst(40 + kCompressSlack - 1);
  EXPECT_EQ(Compress(src.data(), src.size(), dst.data(), dst.size(), Version::k131), 0u);
}

// The two run-time libraries export the entry points by decorated and plain
// names (the stream tests run the codecs through them), and the 1.3.1 one
// reports the 32-bit scratch sizes.
TEST(QuickLZLibraries, ExportEveryEntryPointAndWork) {
  const std::string dir = test::ProgramFolder().string() + "/";
  os::HMODULE l120 = os::LoadLibrary(dir + "QuickLZ.dll");
  os::HMODULE l131 = os::LoadLibrary(dir + "QuickLZ131.dll");
  ASSERT_NE(l120, nullptr);
  ASSERT_NE(l131, nullptr);
  for (const char* name : {"_qlz_compress@12", "_qlz_decompress@8", "_qlz_size_decompressed@4", "_qlz_size_source@4",
                           "qlz_compress", "qlz_decompress", "qlz_size_decompressed", "qlz_size_source"})
    EXPECT_NE(os::GetProcAddress(l120, name), nullptr) << name;
  for (const char* prefix : {"qlz_", "qlz_streaming_"}) {
    for (const char* fn : {"size_decompressed@4", "size_compressed@4", "compress@16", "decompress@12", "get_setting@4"}) {
      const std::string decorated = std::string("_") + prefix + fn;
      EXPECT_NE(os::GetProcAddress(l131, decorated), nullptr) << decorated;
      EXPECT_NE(os::GetProcAddress(l131, decorated.substr(1, decorated.find('@') - 1)), nullptr);
    }
  }
  EXPECT_EQ(os::GetProcAddress(l120, "_qlz_get_setting@4"), nullptr);

  auto setting = reinterpret_cast<int (*)(int)>(os::GetProcAddress(l131, "_qlz_get_setting@4"));
  EXPECT_EQ(setting(1), 32784);
  EXPECT_EQ(setting(2), 16);

  // A packet with a reserved flag bit is refused.
  Bytes packet = ReadFile("abc.qlz131"), out(3);
  packet[0] |= 4;
  auto d131 =
      reinterpret_cast<size_t (*)(const char*, void*, char*)>(os::GetProcAddress(l131, "qlz_decompress"));
  std::vector<char> scratch(32784);
  EXPECT_EQ(d131(reinterpret_cast<const char*>(packet.data()), out.data(), scratch.data()), 0u);

  // Each library compresses in its own version's form.
  const Bytes in = MakeData(2, 4096, 1);
  Bytes c120(in.size() + kCompressSlack), c131(c120.size());
  auto e120 = reinterpret_cast<size_t (*)(const void*, char*, size_t)>(os::GetProcAddress(l120, "qlz_compress"));
  auto e131 =
      reinterpret_cast<size_t (*)(const void*, char*, size_t, char*)>(os::GetProcAddress(l131, "qlz_compress"));
  c120.resize(e120(in.data(), reinterpret_cast<char*>(c120.data()), in.size()));
  c131.resize(e131(in.data(), reinterpret_cast<char*>(c131.data()), in.size(), scratch.data()));
  EXPECT_TRUE(c120 == Encode(in, Version::k120));
  EXPECT_TRUE(c131 == Encode(in, Version::k131));
  EXPECT_FALSE(c120 == c131);
  os::FreeLibrary(l120);
  os::FreeLibrary(l131);
}

}  // namespace
}  // namespace vt::qlz
