#include "common/Resources.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "common/FileStreams.h"
#include "common/StreamUtils.h"
#include "common/TypedLists.h"
#include "platform/Files.h"
#include "platform/Process.h"
#include "platform/ResourceFormat.h"
#include "support/InPageError.h"
#include "support/TestFiles.h"

namespace vt {
namespace {

namespace fs = std::filesystem;
namespace rsrc = os::rsrc;
using Bytes = std::vector<std::uint8_t>;

fs::path DataDir() { return fs::path(VT_TEST_DATA_DIR) / "resources"; }

int OpenHandles() {
  int n = 0;
  for ([[maybe_unused]] auto& e : fs::directory_iterator("/proc/self/fd")) ++n;
  return n;
}

// A program packaged at build time with resources reads them from its own
// file: strings, sizes, the error codes of missing ones, its header image,
// and files written from them.
TEST(Resources, PackagedProgramReadsItsOwnResources) {
  test::TempFolder dir;
  const std::string command = test::ProgramBeside("vt_resprobe") + " " + dir.path().string() + " > " +
                              (dir.path() / "out.txt").string();
  ASSERT_EQ(std::system(command.c_str()), 0);
  EXPECT_EQ(test::ReadFileText(dir.path() / "out.txt"),
            "1000 100000\n1001 5\nmanifest 131\nnamed hello from a resource\nempty 0\n"
            "missing name 1814\nmissing type 1813\nin place yes\nsubsystem 3 aligned yes\n"
            "saved mapped 1\nsaved plain 1\nsaved missing 0\n");
  for (const char* name : {"payload.bin", "app.manifest"})
    EXPECT_EQ(test::ReadFileBytes(dir.path() / name), test::ReadFileBytes(DataDir() / name)) << name;
  EXPECT_EQ(fs::file_size(dir.path() / "missing.bin"), 0u);
}

// A module whose file is cut short under its mapping: each read raises the
// in-page error instead of a bus error.
TEST(Resources, ModuleCutShortRaisesTheInPageError) {
  test::TempFolder dir;
  Bytes image(1000, 0x7F);
  rsrc::AppendResources(image, {{rsrc::IdKey(10), rsrc::IdKey(1000), Bytes(20000, 5)}});
  test::WriteFileBytes(dir.path() / "module.bin", image);
  os::HMODULE m = os::LoadResourceModule((dir.path() / "module.bin").string());
  fs::resize_file(dir.path() / "module.bin", 0);
  TVirtualStream target;
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(test::MessageOf([&] { LoadResourceString(m, 1000, os::kRtRcData); }), "External exception C0000006");
    EXPECT_EQ(test::ExternalCodeOf([&] { WriteResourceToStream(m, 1000, os::kRtRcData, target); }),
              os::kStatusInPageError);
    // Straight into a file through its mapped-file stream.
    EXPECT_EQ(test::ExternalCodeOf([&] {
                (void)SaveResourceToFile(m, 1000, os::kRtRcData, 0x20, (dir.path() / "out.bin").string());
              }),
              os::kStatusInPageError);
  }
  os::FreeResourceModule(m);
}

// Written to a pipe, which knows neither its size nor its position: the
// whole resource arrives.
TEST(Resources, WritesToAPipe) {
  test::TempFolder dir;
  Bytes image(1000, 0x7F);
  Bytes payload(300000);
  for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<std::uint8_t>(i * 13 / 5);
  rsrc::AppendResources(image, {{rsrc::IdKey(10), rsrc::IdKey(1000), payload}});
  test::WriteFileBytes(dir.path() / "module.bin", image);
  os::HMODULE m = os::LoadResourceModule((dir.path() / "module.bin").string());
  ASSERT_NE(m, nullptr);
  os::IgnoreBrokenPipeSignal();
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  Bytes received;
  std::thread reader([&] {
    THandleStream in(fds[0]);
    std::uint8_t buffer[4096];
    for (std::int64_t n; (n = in.Read(buffer, sizeof buffer)) > 0;)
      received.insert(received.end(), buffer, buffer + n);
  });
  bool written = false;
  std::string error;
  {
    THandleStream out(fds[1]);
    error = test::MessageOf([&] { written = WriteResourceToStream(m, 1000, os::kRtRcData, out); });
  }
  reader.join();
  EXPECT_EQ(error, "(no exception)");
  EXPECT_TRUE(written);
  EXPECT_TRUE(received == payload);
  os::FreeResourceModule(m);
}

// Look-ups by identifier and name with Windows error codes; a save over a
// read-only file raises and leaves no handle open.
TEST(Resources, LookUpAndSaveFailures) {
  test::TempFolder dir;
  Bytes image(1000, 0x7F);  // bytes of its own, then the resources
  rsrc::AppendResources(image, {{rsrc::IdKey(10), rsrc::IdKey(1000), {1, 2, 3}},
                                {rsrc::TextKey("Pictures"), rsrc::TextKey("Logo"), {9, 8}},
                                {rsrc::IdKey(10), rsrc::IdKey(5), {}}});
  test::WriteFileBytes(dir.path() / "module.bin", image);
  os::HMODULE m = os::LoadResourceModule((dir.path() / "module.bin").string());
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(LoadResourceString(m, 1000, os::kRtRcData), std::string("\1\2\3"));
  EXPECT_EQ(LoadResourceString(m, "#1000", "#10"), std::string("\1\2\3"));
  EXPECT_EQ(LoadResourceString(m, "LOGO", "pictures"), std::string("\x09\x08"));
  os::HRSRC r = os::FindResource(m, "logo", "Pictures");
  ASSERT_NE(r, nullptr);
  const void* data = os::LockResource(os::LoadResource(m, r));
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(data) % rsrc::kAlignment, 0u);
  EXPECT_EQ(os::GetModuleImage(m), nullptr);
  // A resource of size 0 counts as missing.
  TVirtualStream stream;
  EXPECT_FALSE(WriteResourceToStream(m, 5, os::kRtRcData, stream));
  const fs::path target = dir.path() / "locked.bin";
  test::WriteFileBytes(target, Bytes(10, 1));
  ASSERT_TRUE(os::SetFileAttributes(target.string(), os::kFileAttributeReadOnly));
  const int before = OpenHandles();
  for (std::uint32_t options : {0u, 0x20u}) {
    const std::string error =
        test::MessageOf([&] { (void)SaveResourceToFile(m, 1000, os::kRtRcData, options, target.string()); });
    EXPECT_NE(error.find(target.string()), std::string::npos) << error;
  }
  EXPECT_EQ(OpenHandles(), before);
  EXPECT_EQ(test::ReadFileBytes(target), Bytes(10, 1));
  EXPECT_TRUE(os::FreeResourceModule(m));
  EXPECT_EQ(os::FindResource(m, 1000, os::kRtRcData), nullptr);
  EXPECT_EQ(os::GetLastError(), os::kErrorInvalidHandle);

  // A file without resources.
  test::WriteFileBytes(dir.path() / "plain.bin", Bytes(100, 1));
  m = os::LoadResourceModule((dir.path() / "plain.bin").string());
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(os::FindResource(m, 1000, os::kRtRcData), nullptr);
  EXPECT_EQ(os::GetLastError(), os::kErrorResourceDataNotFound);
  os::FreeResourceModule(m);
  EXPECT_EQ(os::LoadResourceModule((dir.path() / "none.bin").string()), nullptr);
  EXPECT_EQ(os::GetLastError(), os::kErrorFileNotFound);
}

// Damaged trailers and directories are refused; whatever parses lies inside
// the file.
TEST(Resources, DamagedDirectoriesAreRefusedSafely) {
  Bytes good(333, 0x11);
  rsrc::AppendResources(good, {{rsrc::IdKey(10), rsrc::IdKey(1), Bytes(100, 1)},
                               {rsrc::TextKey("NAMED"), rsrc::TextKey("X"), Bytes(7, 2)}});
  std::vector<rsrc::Entry> entries;
  std::uint64_t start = 0;
  ASSERT_TRUE(rsrc::ParseDirectory(good.data(), good.size(), entries, start));
  EXPECT_EQ(start, 333u);
  ASSERT_EQ(entries.size(), 2u);
  for (size_t len = 0; len < good.size(); ++len)
    EXPECT_FALSE(rsrc::ParseDirectory(good.data(), len, entries, start));
  std::mt19937 rng(3);
  for (int i = 0; i < 20000; ++i) {
    Bytes bad = good;
    const size_t at = bad.size() - 1 - rng() % 120;
    bad[at] ^= static_cast<std::uint8_t>(1 + rng() % 255);
    if (rsrc::ParseDirectory(bad.data(), bad.size(), entries, start)) {
      for (const auto& e : entries) EXPECT_LE(e.offset + e.size, bad.size() - rsrc::kTrailerSize);
    }
  }
}

TEST(Resources, ImageHeaderIsAValidPe32Header) {
  const Bytes h = rsrc::BuildImageHeader(2);
  ASSERT_EQ(h.size(), rsrc::kImageHeaderSize);
  EXPECT_EQ(std::string(h.begin(), h.begin() + 2), "MZ");
  const std::uint32_t nt = h[0x3C];
  EXPECT_EQ(std::string(h.begin() + nt, h.begin() + nt + 4), std::string("PE\0\0", 4));
  EXPECT_EQ(h[nt + 24] | h[nt + 25] << 8, 0x10B);
  EXPECT_EQ(h[nt + 20] | h[nt + 21] << 8, 224);
  EXPECT_EQ(h[nt + 24 + 68], 2);
}

// The cache's map: names compared ignoring case, duplicates refused, its
// objects owned and freed with it.
TEST(Resources, VersionInfoCacheMap) {
  struct Counted : TObject {
    explicit Counted(int* alive) : alive_(alive) { ++*alive_; }
    ~Counted() override { --*alive_; }
    int* alive_;
  };
  int alive = 0;
  {
    TVersionInfoCache cache;
    TStringInt64ObjectMap_HashTable& map = cache.Map();
    EXPECT_EQ(map.BucketCount(), 256);
    EXPECT_EQ(map.HashFunction(), static_cast<THashFunc>(StringHash10));
    map.Add("Setup.exe", 0x0001000200030004, new Counted(&alive));
    ASSERT_NE(map.Find("SETUP.EXE"), nullptr);
    EXPECT_EQ(map.Find("setup.exe")->Value, 0x0001000200030004);
    EXPECT_THROW(map.Add("setup.EXE", 1, nullptr), Exception);
    EXPECT_EQ(map.Count(), 1);
  }
  EXPECT_EQ(alive, 0);
}

}  // namespace
}  // namespace vt
