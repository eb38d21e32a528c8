#include "common/ModuleExp.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "support/TestFiles.h"

namespace vt {
namespace {

std::string DataFile(const std::string& name) { return std::string(VT_TEST_DATA_DIR) + "/pe/" + name; }

using test::ReadFileBytes;

// A temporary folder whose Write gives the path of the file it wrote.
class TempDir : public test::TempFolder {
 public:
  std::string Write(const std::string& name, const std::vector<std::uint8_t>& bytes) const {
    test::WriteFileBytes(File(name), bytes);
    return File(name);
  }
};

std::uint32_t Get32(const std::vector<std::uint8_t>& b, size_t off) {
  std::uint32_t v;
  std::memcpy(&v, b.data() + off, 4);
  return v;
}
void Put32(std::vector<std::uint8_t>& b, size_t off, std::uint32_t v) { std::memcpy(b.data() + off, &v, 4); }

std::vector<std::string> ExportNames(TModuleExplorer& e) {
  std::vector<std::string> names;
  std::uint8_t* dir = e.ExportDirectory();
  if (dir == nullptr || e.ExportNames() == nullptr) return names;
  std::uint32_t count;
  std::memcpy(&count, dir + 24, 4);
  for (std::uint32_t i = 0; i < count; ++i) {
    std::uint32_t rva;
    std::memcpy(&rva, e.ExportNames() + 4 * i, 4);
    const char* p = reinterpret_cast<const char*>(e.Search().RvaToPointer(rva));
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
      {"console32.exe", false, 3, 0x400000, false}, {"console64.exe", true, 3, 0x140000000, false},
      {"gui32.exe", false, 2, 0x400000, false},     {"exports32.dll", false, 3, -1, true},
      {"exports64.dll", true, 3, -1, true},
  };
  for (const auto& c : cases) {
    for (std::uint8_t mode : {0, 1, 2}) {
      SCOPED_TRACE(std::string(c.file) + " mode " + std::to_string(mode));
      TModuleExplorer e(DataFile(c.file), mode);
      EXPECT_EQ(e.OwnsMapping(), mode == 1);
      EXPECT_EQ(dynamic_cast<TPE32PlusFormat*>(&e.Format()) != nullptr, c.plus);
      EXPECT_EQ(e.Format().Subsystem(), c.subsystem);
      if (c.base >= 0) {
        EXPECT_EQ(e.Format().ImageBase(), c.base);
      }
      EXPECT_GT(e.Format().SizeOfHeaders(), 0u);
      EXPECT_EQ(e.Format().FileAlignment(), 0x200u);
      EXPECT_EQ(dynamic_cast<TOSLoadedPESearchStrategy*>(&e.Search()) != nullptr, mode == 0);
      if (c.exports) {
        EXPECT_EQ(ExportNames(e), (std::vector<std::string>{"vt_add", "vt_mul"}));
        EXPECT_NE(e.ExportFunctions(), nullptr);
        EXPECT_NE(e.ExportNameOrdinals(), nullptr);
        EXPECT_GE(e.ExportDirectorySize(), 40u);
      } else {
        EXPECT_EQ(e.ExportNames(), nullptr);
        EXPECT_EQ(e.ExportFunctions(), nullptr);
      }
      if (mode == 2) {
        EXPECT_NE(e.FileTime(), 0u);
      }
    }
  }
}

TEST(ModuleExplorer, SubsystemRewriteChangesExactlyTheSubsystemBytes) {
  TempDir dir;
  for (const char* name : {"gui32.exe", "console64.exe"}) {
    SCOPED_TRACE(name);
    auto original = ReadFileBytes(DataFile(name));
    TModuleExplorer e(DataFile(name), 2);
    e.Format().SetSubsystem(2);
    e.SetConsoleSubsystem();
    const std::string out = dir.File(std::string("out_") + name);
    e.SaveToFile(out);
    auto saved = ReadFileBytes(out);
    ASSERT_EQ(saved.size(), original.size());
    const size_t subsystem_at = Get32(original, 60) + 24 + 68;
    for (size_t i = 0; i < saved.size(); ++i)
      if (i != subsystem_at && i != subsystem_at + 1) {
        ASSERT_EQ(saved[i], original[i]) << "offset " << i;
      }
    EXPECT_EQ(saved[subsystem_at], 3);
    EXPECT_EQ(saved[subsystem_at + 1], 0);
    TModuleExplorer reread(out, 1);
    EXPECT_EQ(reread.Format().Subsystem(), 3);
  }
}

TEST(ModuleExplorer, SaveToFileOnlyFromWholeFileModeAndMappedImagesStayReadOnly) {
  TempDir dir;
  for (std::uint8_t mode : {0, 1}) {
    TModuleExplorer e(DataFile("gui32.exe"), mode);
    EXPECT_THROW(e.SaveToFile(dir.File("x.exe")), EAssertionFailed);
  }
  TModuleExplorer loaded(DataFile("gui32.exe"), 0);
  loaded.SetConsoleSubsystem();
  EXPECT_EQ(loaded.Format().Subsystem(), 3);
  TModuleExplorer mapped(DataFile("gui32.exe"), 1);
  EXPECT_THROW(mapped.SetConsoleSubsystem(), Exception);
  EXPECT_EQ(mapped.Format().Subsystem(), 2);
}

TEST(ModuleExplorer, RvaOutsideEverySectionGivesNull) {
  TModuleExplorer file_layout(DataFile("console32.exe"), 2);
  EXPECT_EQ(file_layout.Search().RvaToPointer(0x7FFFFFF0), nullptr);
  TModuleExplorer loaded(DataFile("console32.exe"), 0);
  EXPECT_EQ(loaded.Search().RvaToPointer(0x7FFFFFF0), nullptr);
  EXPECT_NE(loaded.Search().RvaToPointer(0x1000), nullptr);
}

// Expects the file constructor to fail with the two-line message.
void ExpectLoadFailure(const std::string& path, const std::string& second_line_start, std::uint8_t mode = 2) {
  const std::string text = test::MessageOf([&] { TModuleExplorer e(path, mode); });
  EXPECT_TRUE(text.starts_with("Failed to load image from file: " + path + "\r\n" + second_line_start))
      << text;
}

TEST(ModuleExplorer, DamagedImagesRaiseHeaderMessages) {
  TempDir dir;
  const auto good = ReadFileBytes(DataFile("console32.exe"));
  const size_t nt = Get32(good, 60);

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
    ExpectLoadFailure(dir.Write("damaged.exe", bytes), c.message, c.mode);
  }
  ExpectLoadFailure(dir.Write("empty.exe", {}), dos);
  ExpectLoadFailure(dir.Write("short.exe", {'M', 'Z', 0, 0}), dos);
  ExpectLoadFailure(dir.File("missing.exe"), "", 2);
  ExpectLoadFailure(DataFile("console32.exe"), "", 7);
}

TEST(ModuleExplorer, EveryTruncationFailsCleanlyOrParses) {
  TempDir dir;
  const auto good = ReadFileBytes(DataFile("exports32.dll"));
  for (size_t len = 0; len < 1200 && len < good.size(); len += 7) {
    std::vector<std::uint8_t> cut(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(len));
    const std::string path = dir.Write("cut.dll", cut);
    for (std::uint8_t mode : {1, 2}) {
      try {
        TModuleExplorer e(path, mode);
        (void)ExportNames(e);
      } catch (const Exception&) {
      }
    }
  }
}

TEST(ModuleExplorer, ExportDirectoryShorterThan40BytesIsIgnored) {
  TempDir dir;
  auto bytes = ReadFileBytes(DataFile("exports32.dll"));
  const size_t nt = Get32(bytes, 60);
  Put32(bytes, nt + 24 + 96 + 4, 39);
  TModuleExplorer e(dir.Write("short_export.dll", bytes), 2);
  EXPECT_EQ(e.ExportDirectory(), nullptr);
  EXPECT_EQ(e.ExportNames(), nullptr);
  std::uint32_t size = 0;
  EXPECT_EQ(e.DirectoryData(0, 40, &size), nullptr);
  EXPECT_EQ(size, 39u);
  EXPECT_EQ(e.DirectoryData(40, 0), nullptr);  // beyond the directory count
}

TEST(ModuleExplorer, ExportArraysOutsideTheImageStayNull) {
  TempDir dir;
  auto bytes = ReadFileBytes(DataFile("exports32.dll"));
  TModuleExplorer probe(DataFile("exports32.dll"), 2);
  const size_t dir_offset = static_cast<size_t>(probe.ExportDirectory() - probe.Image());
  Put32(bytes, dir_offset + 24, 0x40000000);  // NumberOfNames far beyond the image
  TModuleExplorer e(dir.Write("big_names.dll", bytes), 2);
  EXPECT_NE(e.ExportDirectory(), nullptr);
  EXPECT_EQ(e.ExportNames(), nullptr);
  EXPECT_EQ(e.ExportNameOrdinals(), nullptr);
  EXPECT_NE(e.ExportFunctions(), nullptr);
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
