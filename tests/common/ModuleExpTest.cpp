#include "common/ModuleExp.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "support/InPageError.h"
#include "support/TestFiles.h"

namespace vt {
namespace {

std::string DataFile(const std::string& name) { return std::string(VT_TEST_DATA_DIR) + "/pe/" + name; }

using test::ReadFileBytes;

// Writes bytes to a file of dir and gives its path.
std::string Write(const test::TempFolder& dir, const std::string& name,
                  const std::vector<std::uint8_t>& bytes) {
  test::WriteFileBytes(dir.File(name), bytes);
  return dir.File(name);
}

std::uint32_t Get32(const std::uint8_t* p) {
  std::uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}
void Put32(std::vector<std::uint8_t>& b, size_t off, std::uint32_t v) { std::memcpy(b.data() + off, &v, 4); }

std::vector<std::string> ExportNames(TModuleExplorer& e) {
  std::vector<std::string> names;
  std::uint8_t* dir = e.ExportDirectory();
  if (dir == nullptr || e.ExportNames() == nullptr) return names;
  for (std::uint32_t i = 0; i < Get32(dir + 24); ++i) {
    const char* p = reinterpret_cast<const char*>(e.Search().RvaToPointer(Get32(e.ExportNames() + 4 * i)));
    names.emplace_back(p ? p : "");
  }
  return names;
}

TEST(ModuleExplorer, ReadsRealImagesInEveryMode) {
  struct Case {
    const char* file;
    bool plus;
    std::uint16_t subsystem;
    std::int64_t base;
    bool exports;
  } cases[] = {
      {"console32.exe", false, 3, 0x400000, false},  {"console64.exe", true, 3, 0x140000000, false},
      {"gui32.exe", false, 2, 0x400000, false},      {"exports32.dll", false, 3, 0x71080000, true},
      {"exports64.dll", true, 3, 0x277d20000, true},
  };
  for (const auto& c : cases) {
    for (std::uint8_t mode : {0, 1, 2}) {
      SCOPED_TRACE(std::string(c.file) + " mode " + std::to_string(mode));
      TModuleExplorer e(DataFile(c.file), mode);
      EXPECT_EQ(e.OwnsMapping(), mode == 1);
      EXPECT_EQ(dynamic_cast<TPE32PlusFormat*>(&e.Format()) != nullptr, c.plus);
      EXPECT_EQ(e.Format().Subsystem(), c.subsystem);
      EXPECT_EQ(e.Format().ImageBase(), c.base);
      EXPECT_EQ(e.Format().FileAlignment(), 0x200u);
      EXPECT_EQ(dynamic_cast<TOSLoadedPESearchStrategy*>(&e.Search()) != nullptr, mode == 0);
      EXPECT_EQ(e.Search().RvaToPointer(0x7FFFFFF0), nullptr);
      EXPECT_EQ(ExportNames(e),
                (c.exports ? std::vector<std::string>{"vt_add", "vt_mul"} : std::vector<std::string>{}));
      EXPECT_EQ(e.ExportFunctions() != nullptr, c.exports);
      EXPECT_EQ(e.ExportNameOrdinals() != nullptr, c.exports);
      EXPECT_EQ(e.FileTime() != 0, mode == 2);
    }
  }
}

TEST(ModuleExplorer, SubsystemRewriteChangesExactlyTheSubsystemBytesAndSavesOnlyWholeFiles) {
  test::TempFolder dir;
  for (const char* name : {"gui32.exe", "console64.exe"}) {
    SCOPED_TRACE(name);
    auto original = ReadFileBytes(DataFile(name));
    TModuleExplorer e(DataFile(name), 2);
    e.Format().SetSubsystem(2);
    e.SetConsoleSubsystem();
    const std::string out = dir.File(std::string("out_") + name);
    e.SaveToFile(out);
    auto expected = original;
    expected[Get32(original.data() + 60) + 24 + 68] = 3;  // the subsystem word
    expected[Get32(original.data() + 60) + 24 + 69] = 0;
    EXPECT_TRUE(ReadFileBytes(out) == expected);
  }
  // A loaded copy may change but not be saved; a mapped image stays read-only.
  for (std::uint8_t mode : {0, 1}) {
    TModuleExplorer e(DataFile("gui32.exe"), mode);
    EXPECT_THROW(e.SaveToFile(dir.File("x.exe")), EAssertionFailed);
    EXPECT_EQ(test::MessageOf<Exception>([&] { e.SetConsoleSubsystem(); }) == "(no exception)", mode == 0);
    EXPECT_EQ(e.Format().Subsystem(), mode == 0 ? 3 : 2);
  }
}

// Expects the file constructor to fail with the two-line message.
void ExpectLoadFailure(const std::string& path, const std::string& second_line_start, std::uint8_t mode = 2) {
  const std::string text = test::MessageOf([&] { TModuleExplorer e(path, mode); });
  EXPECT_TRUE(text.starts_with("Failed to load image from file: " + path + "\r\n" + second_line_start))
      << text;
}

TEST(ModuleExplorer, DamagedImagesRaiseHeaderMessages) {
  test::TempFolder dir;
  const auto good = ReadFileBytes(DataFile("console32.exe"));
  const size_t nt = Get32(good.data() + 60);

  const size_t first_section = nt + 24 + (good[nt + 20] | good[nt + 21] << 8);
  const std::string dos = "Invalid module DOS header at 0x", nt_header = "Invalid module NT header at 0x";
  // One patched word each (width 1, 2 or 4 bytes); mode 0 copies raw section data.
  const struct {
    size_t at;
    int width;
    std::uint32_t value;
    const std::string& message;
    std::uint8_t mode = 2;
  } cases[] = {
      {0, 1, 'X', dos},
      {nt + 1, 1, 'X', nt_header},
      {60, 4, 0x7FFFFFF0u, nt_header},
      {60, 4, 0x80000000u, nt_header},
      {60, 4, static_cast<std::uint32_t>(good.size() - 2), nt_header},
      {nt + 24, 2, 0x107, "Unknown format of module at 0x"},
      {nt + 20, 2, 68, nt_header},  // optional header too short for the subsystem field
      {nt + 20, 2, 0xFFFF, nt_header},
      {nt + 6, 2, 0xFFFF, nt_header},                     // section table past the end
      {first_section + 20, 4, 0x7FFFFF00, nt_header, 0},  // raw data past the end
      {first_section + 8, 4, 0xFFFFFFF0, nt_header, 0},   // virtual size: no runaway allocation
  };
  for (const auto& c : cases) {
    auto bytes = good;
    std::memcpy(bytes.data() + c.at, &c.value, static_cast<size_t>(c.width));
    ExpectLoadFailure(Write(dir, "damaged.exe", bytes), c.message, c.mode);
  }
  ExpectLoadFailure(Write(dir, "empty.exe", {}), dos);
  ExpectLoadFailure(Write(dir, "short.exe", {'M', 'Z', 0, 0}), dos);
  ExpectLoadFailure(dir.File("missing.exe"), "", 2);
  ExpectLoadFailure(DataFile("console32.exe"), "", 7);
}

TEST(ModuleExplorer, EveryTruncationFailsCleanlyOrParses) {
  test::TempFolder dir;
  const auto good = ReadFileBytes(DataFile("exports32.dll"));
  for (size_t len = 0; len < 1200 && len < good.size(); len += 7) {
    std::vector<std::uint8_t> cut(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(len));
    const std::string path = Write(dir, "cut.dll", cut);
    for (std::uint8_t mode : {1, 2}) {
      (void)test::MessageOf<Exception>([&] {
        TModuleExplorer e(path, mode);
        (void)ExportNames(e);
      });
    }
  }
}

TEST(ModuleExplorer, ShortExportDirectoryIsIgnoredAndArraysOutsideTheImageStayNull) {
  test::TempFolder dir;
  const auto good = ReadFileBytes(DataFile("exports32.dll"));
  auto bytes = good;
  Put32(bytes, Get32(bytes.data() + 60) + 24 + 96 + 4, 39);  // export directory size
  TModuleExplorer short_dir(Write(dir, "short_export.dll", bytes), 2);
  EXPECT_EQ(short_dir.ExportDirectory(), nullptr);
  std::uint32_t size = 0;
  EXPECT_EQ(short_dir.DirectoryData(0, 40, &size), nullptr);
  EXPECT_EQ(size, 39u);
  EXPECT_EQ(short_dir.DirectoryData(40, 0), nullptr);  // beyond the directory count

  bytes = good;
  TModuleExplorer probe(DataFile("exports32.dll"), 2);
  const size_t dir_offset = static_cast<size_t>(probe.ExportDirectory() - probe.Image());
  Put32(bytes, dir_offset + 24, 0x40000000);  // NumberOfNames far beyond the image
  TModuleExplorer big(Write(dir, "big_names.dll", bytes), 2);
  EXPECT_NE(big.ExportDirectory(), nullptr);
  EXPECT_EQ(big.ExportNames(), nullptr);
  EXPECT_EQ(big.ExportNameOrdinals(), nullptr);
  EXPECT_NE(big.ExportFunctions(), nullptr);
}

// Sections all over the same raw bytes: what is copied in all, headers
// included, is held to the 256 MB an image can hold.
TEST(ModuleExplorer, LayoutCopiesAtMostWhatAnImageHolds) {
  test::TempFolder dir;
  constexpr std::uint32_t kRaw = 1u << 20;
  auto bytes = ReadFileBytes(DataFile("console32.exe"));
  const size_t nt = Get32(bytes.data() + 60), table = nt + 24 + (bytes[nt + 20] | bytes[nt + 21] << 8);
  const std::uint32_t last = kRaw - Get32(bytes.data() + nt + 24 + 60);  // 256 MB with the headers
  bytes.resize(kRaw);
  bytes[nt + 6] = 0, bytes[nt + 7] = 1;  // 256 sections
  auto image = [&](std::uint32_t last_size) {
    for (size_t h = table; h < table + 256 * 40; h += 40) {
      const std::uint32_t size = h + 40 < table + 256 * 40 ? kRaw : last_size;
      Put32(bytes, h + 8, size), Put32(bytes, h + 12, 0x1000), Put32(bytes, h + 16, size), Put32(bytes, h + 20, 0);
    }
    return Write(dir, "overlapping.exe", bytes);
  };
  TModuleExplorer fits(image(last), 0);
  EXPECT_EQ(fits.ImageSize(), 0x1000u + kRaw);
  ExpectLoadFailure(image(last + 1), "Invalid module NT header at 0x", 0);
}

// A mapped image whose file is cut short: each header read raises the
// in-page error instead of a bus error.
TEST(ModuleExplorer, MappedImageCutShortRaisesTheInPageError) {
  test::TempFolder dir;
  const std::string path = Write(dir, "mapped.dll", ReadFileBytes(DataFile("exports32.dll")));
  TModuleExplorer e(path, 1);
  std::filesystem::resize_file(path, 0);
  for (int i = 0; i < 2; ++i)
    EXPECT_EQ(test::ExternalCodeOf([&] { (void)e.ExportDirectory(); }), os::kStatusInPageError);
}

TEST(ModuleExplorer, ProgramWithoutHeaderImage) {
  // The test program carries no packaged header image.
  TModuleExplorer tolerant(nullptr, false);
  EXPECT_TRUE(tolerant.Invalid());
  const std::string error = test::MessageOf([] { TModuleExplorer strict(nullptr, true); });
  EXPECT_TRUE(error.starts_with("Invalid module at base address 0x") &&
              error.find("\r\nInvalid module DOS header at 0x") != std::string::npos)
      << error;
  EXPECT_THROW(TModuleExplorer::IsConsoleSubsystem(), Exception);
}

}  // namespace
}  // namespace vt
