// The bootstrapper's build tools, the LZMA tool and the PE wrapper, run as
// programs (the sample inner setup's report is read by the end-to-end runs).
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "support/Sanitized.h"
#include "support/TestFiles.h"

namespace fs = std::filesystem;
using vt::test::ProgramFolder;
using vt::test::Q;
using vt::test::Shell;
using vt::test::ReadFileText;
using vt::test::WriteFileText;

namespace {

fs::path DataDir() { return fs::path(VT_TEST_DATA_DIR); }

std::uint64_t Le(const std::string& s, size_t pos, int n) {
  std::uint64_t v = 0;
  for (int i = n - 1; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(s[pos + static_cast<size_t>(i)]);
  return v;
}

class ToolsTest : public ::testing::Test {
 protected:
  int Lzma(const std::string& mode, const fs::path& in, const fs::path& out) {
    return Shell(Q(ProgramFolder() / "vt_lzma") + " " + mode + " " + Q(in) + " " + Q(out));
  }
  int PeWrap(const fs::path& in, const fs::path& out, int subsystem) {
    return Shell(Q(ProgramFolder() / "vt_pewrap") + " " + Q(in) + " " + Q(out) + " " + std::to_string(subsystem));
  }
  vt::test::TempFolder folder_{"vt_tools"};
  const fs::path dir_ = folder_.path();
};

TEST_F(ToolsTest, LzmaRoundTripInShippedFormat) {
  std::mt19937 rng(3);
  std::string text;
  for (int i = 0; i < 300000; ++i) text += static_cast<char>('a' + rng() % 7);
  for (const std::string& payload : {text, std::string()}) {
    WriteFileText(dir_ / "in", payload);
    ASSERT_EQ(Lzma("e", dir_ / "in", dir_ / "in.lzma"), 0);
    const std::string packed = ReadFileText(dir_ / "in.lzma");
    ASSERT_GE(packed.size(), 13u);
    EXPECT_EQ(static_cast<unsigned char>(packed[0]), 0x5Du);
    EXPECT_EQ(Le(packed, 1, 4), 8u << 20);
    EXPECT_EQ(Le(packed, 5, 8), payload.size());
    ASSERT_EQ(Lzma("d", dir_ / "in.lzma", dir_ / "out"), 0);
    EXPECT_EQ(ReadFileText(dir_ / "out"), payload);
  }
  // A stream with an end marker and no size in the header decodes too.
  ASSERT_EQ(Lzma("d", DataDir() / "lzma" / "hello_eopm.lzma", dir_ / "hello"), 0);
  EXPECT_EQ(ReadFileText(dir_ / "hello"), ReadFileText(DataDir() / "lzma" / "hello.txt"));
}

TEST_F(ToolsTest, LzmaRefusesBadInputWithoutOutput) {
  WriteFileText(dir_ / "in", std::string(100000, 'x') + "tail");
  ASSERT_EQ(Lzma("e", dir_ / "in", dir_ / "good.lzma"), 0);
  const std::string good = ReadFileText(dir_ / "good.lzma");

  std::string hostile = good;  // 4 GiB dictionary: refused by the memory limit
  hostile[1] = hostile[2] = hostile[3] = hostile[4] = '\xFF';
  std::string bad_props = good;
  bad_props[0] = '\xE1';
  // A header size below or above the data's: the output stops at the
  // header's size, and the stream is refused.
  std::string shorter = good, longer = good;
  shorter[6] = static_cast<char>(shorter[6] - 1);
  longer[12] = 1;
  const std::vector<std::string> inputs = {good.substr(0, good.size() / 2), good.substr(0, 10), std::string(),
                                           hostile, bad_props, shorter, longer};
  for (size_t i = 0; i < inputs.size(); ++i) {
    WriteFileText(dir_ / "bad.lzma", inputs[i]);
    fs::remove(dir_ / "out");
    EXPECT_NE(Lzma("d", dir_ / "bad.lzma", dir_ / "out"), 0) << i;
    EXPECT_FALSE(fs::exists(dir_ / "out")) << i;
  }
  EXPECT_NE(Lzma("d", dir_ / "missing", dir_ / "out"), 0);
  EXPECT_NE(Lzma("x", dir_ / "good.lzma", dir_ / "out"), 0);
  EXPECT_NE(Shell(Q(ProgramFolder() / "vt_lzma") + " d " + Q(dir_ / "good.lzma")), 0);
  EXPECT_NE(Lzma("d", dir_ / "good.lzma", dir_ / "no" / "such" / "folder"), 0);
}

TEST_F(ToolsTest, PeWrapperMakesValidImageCarryingTheProgram) {
  const fs::path elf = ProgramFolder() / "vt_sample_setup_elf";
  for (int subsystem : {2, 3}) {
    const fs::path out = dir_ / ("w" + std::to_string(subsystem) + ".exe");
    ASSERT_EQ(PeWrap(elf, out, subsystem), 0);
    const std::string pe = ReadFileText(out);
    ASSERT_GT(pe.size(), 0x400u);
    // The header itself is the resource layer's (tested there): here what
    // the wrapper sets in it.
    const size_t nt = Le(pe, 0x3C, 4);
    EXPECT_EQ(Le(pe, nt + 6, 2), 1u);  // one section
    EXPECT_EQ(Le(pe, nt + 24 + 68, 2), static_cast<std::uint64_t>(subsystem));
    const size_t headers = Le(pe, nt + 24 + 60, 4);
    const size_t section = nt + 24 + 224;
    EXPECT_LE(section + 40, headers);
    EXPECT_LE(Le(pe, section + 20, 4) + Le(pe, section + 16, 4), pe.size());  // raw data inside the file
    // Trailer: magic and the offset of the unchanged program.
    EXPECT_EQ(pe.substr(pe.size() - 16, 8), "VTELFPE1");
    const size_t offset = Le(pe, pe.size() - 8, 8);
    EXPECT_EQ(pe.substr(offset, pe.size() - 16 - offset), ReadFileText(elf));
  }
  WriteFileText(dir_ / "text", "not a program");
  EXPECT_NE(PeWrap(dir_ / "text", dir_ / "t.exe", 2), 0);
  EXPECT_NE(PeWrap(elf, dir_ / "t.exe", 1), 0);
  EXPECT_FALSE(fs::exists(dir_ / "t.exe"));
}

// A tool that runs out of memory says so in its own form and ends with 1,
// leaving no output. (The sanitizers' runtimes cannot start under a limit.)
#if !defined(VT_TEST_SANITIZED)
TEST_F(ToolsTest, ToolsOutOfMemorySayItAndLeaveNoOutput) {
  WriteFileText(dir_ / "big", "");
  fs::resize_file(dir_ / "big", 300u << 20);  // sparse: reads use no disk
  WriteFileText(dir_ / "small", "hello");
  WriteFileText(dir_ / "limited.sh", "ulimit -v \"$1\" || exit 99\nshift\nexec \"$@\" 2>err\n");
  const std::string text = "Not enough memory resources are available to process this command (8)\n";
  const fs::path bin = ProgramFolder();
  const struct {
    int kib;
    std::string tool, args, output;
  } cases[] = {
      {200000, "vtpack", Q(bin / "vt_install") + " --add RCDATA 1 big -o out", "out"},
      {200000, "vt_pewrap", "big out 3", "out"},
      {200000, "vt_make_setup_pak", "big out", "out"},
      {40000, "vt_lzma", "e small out", "out"},  // the coder's own allocation
  };
  for (const auto& c : cases) {
    const int rc = Shell("cd " + Q(dir_) + " && sh limited.sh " + std::to_string(c.kib) + " " + Q(bin / c.tool) +
                         " " + c.args);
    EXPECT_EQ(rc, 1) << c.tool;
    EXPECT_EQ(ReadFileText(dir_ / "err"), c.tool + ": " + text) << c.tool;
    EXPECT_FALSE(fs::exists(dir_ / c.output)) << c.tool;
  }
}
#endif

}  // namespace
