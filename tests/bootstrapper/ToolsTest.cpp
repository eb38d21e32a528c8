// The bootstrapper's build tools: the LZMA tool, the PE wrapper and the
// sample inner setup, run as programs.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "bootstrapper/SetupCore.h"
#include "common/ObjectsFiles.h"
#include "common/ProcessRunner.h"
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
    EXPECT_EQ(pe.substr(0, 2), "MZ");
    const size_t nt = Le(pe, 0x3C, 4);
    EXPECT_EQ(pe.substr(nt, 4), std::string("PE\0\0", 4));
    EXPECT_EQ(Le(pe, nt + 6, 2), 1u);         // one section
    EXPECT_EQ(Le(pe, nt + 20, 2), 224u);      // PE32 optional header size
    EXPECT_EQ(Le(pe, nt + 24, 2), 0x10Bu);    // PE32
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

TEST_F(ToolsTest, SampleSetupReportsWhatItReceived) {
  // Run the carried program the way the process layer does: from the
  // image's own path as argument 0.
  const fs::path exe = dir_ / "Setup.exe";
  fs::copy_file(ProgramFolder() / "vt_sample_setup.exe", exe);
  const std::string pe = ReadFileText(exe);
  const size_t offset = Le(pe, pe.size() - 8, 8);
  const fs::path elf = dir_ / "run" / "program";
  fs::create_directories(elf.parent_path());
  WriteFileText(elf, pe.substr(offset, pe.size() - 16 - offset));
  fs::permissions(elf, fs::perms::owner_all);
  WriteFileText(dir_ / "info.dat", "12345");
  const fs::path report = dir_ / "run" / "report.txt";
  const std::string cmd = "cd " + Q(dir_ / "run") + " && VT_SAMPLE_SETUP_REPORT=" + Q(report) +
                          " bash -c 'exec -a \"$0\" \"$@\"' " + Q(exe) + " " + Q(elf) +
                          " /install 'a b' /exit_code=42 >/dev/null";
  EXPECT_EQ(Shell(cmd), 42);
  const std::string text = ReadFileText(report);
  EXPECT_NE(text.find("argc=3\narg0=" + exe.string() + "\narg1=/install\narg2=a b\narg3=/exit_code=42\n"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("cwd=" + (dir_ / "run").string() + "\n"), std::string::npos) << text;
  EXPECT_NE(text.find("folder=" + dir_.string() + "\nfile=Setup.exe " + std::to_string(pe.size()) +
                      "\nfile=info.dat 5\nfile=run 0\nsubsystem=2\nexit_code=42\n"),
            std::string::npos)
      << text;
  EXPECT_EQ(Shell("VT_SAMPLE_SETUP_EXIT_CODE=3 " + Q(elf)), 3);
}

// The LZMA tool through the command line the bootstrapper builds.
TEST_F(ToolsTest, ProcessRunnerStartsTheLzmaTool) {
  WriteFileText(dir_ / "pak", std::string(5000, 'p'));
  ASSERT_EQ(Lzma("e", dir_ / "pak", dir_ / "Setup.lzma"), 0);
  fs::copy_file(ProgramFolder() / "vt_lzma", dir_ / "lzma.exe");
  const std::string line = vt::LzmaCommandLine((dir_ / "lzma.exe").string(), (dir_ / "Setup.lzma").string(),
                                               (dir_ / "Setup.pak").string());
  EXPECT_EQ(vt::RunProcess(line, true, vt::roHideWindow | vt::roNewConsole | vt::roNoErrorDialogs), 0);
  EXPECT_EQ(ReadFileText(dir_ / "Setup.pak"), std::string(5000, 'p'));
}

}  // namespace
