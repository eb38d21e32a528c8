#include "bootstrapper/SetupCore.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>

#include "common/SysUtils.h"
#include "support/TestFiles.h"

namespace vt {
namespace {

const std::string kExe = "/tmp/Vontaro_Setup_42/Setup.exe";
const std::string kOwn = "/home/u/My Setup/Vontaro.exe";
const std::string kHead = "\"" + kExe + "\" /installer_filename=\"" + kOwn + "\"";

std::string ErrorText(const std::function<void()>& f) {
  const std::string text = test::MessageOf<Exception>(f);
  return text == "(no exception)" ? "<no error>" : text;
}

// The arguments pass as typed; the component selection needs both switches
// (any order, longer names, values; quotes and backslashes pass unchanged);
// the program's own path is no switch, though it begins with '/'.
TEST(SetupCommandLine, ArgumentsPassedAsTypedWithComponentSelection) {
  const std::string kSel = " /vs_setup /COMPONENTS=Agent,Coordinator";
  const struct {
    std::string line;
    int argc;
    std::string caption, tail;
  } cases[] = {
      {"\"" + kOwn + "\"  /install   /vs_integrated  ", 2, "Vontaro",
       " /install   /vs_integrated" + kSel + " /ProductCaption=Vontaro"},
      {"x.exe -vs_integrated2 \"a\\\\\" /install=now", 3, "", " -vs_integrated2 \"a\\\\\" /install=now" + kSel},
      {"x /install", 1, "", " /install"},
      {"x /vs_integrated", 1, "", " /vs_integrated"},
      {"x /Install /vs_integrated", 2, "", " /Install /vs_integrated"},
      {"x install /vs_integrated", 2, "", " install /vs_integrated"},
      {"x \"/install\" \"/vs_integrated\"", 2, "", " \"/install\" \"/vs_integrated\"" + kSel},
      {"/install/x /vs_integrated", 1, "", " /vs_integrated"},
      {"\"/vs_integrated\" /install", 1, "", " /install"},
      // No arguments; an unquoted program path with a blank loses only its
      // first part.
      {"\"" + kOwn + "\"", 0, "", "  /no_params"},
      {"prog", 0, "Vontaro Build", "  /ProductCaption=Vontaro Build /no_params"},
      {"prog  \t  ", 0, "", "  /no_params"},
      {"/home/u/My Setup/Vontaro.exe", 0, "", " Setup/Vontaro.exe /no_params"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(BuildSetupCommandLine(kExe, kOwn, c.line, c.argc, c.caption), kHead + c.tail) << c.line;
}

// Read as signed, as the tool's runtime returns it.
TEST(SetupLzma, ToolExitCodeIsSigned) {
  EXPECT_EQ(ErrorText([] { CheckLzmaExitCode(0xFFFFFFFFu); }), "Decompression failed. Tool returned code: -1");
}

TEST(SetupLzma, PayloadMustFitTheFreeSpaceBeforeDecoding) {
  const auto header = [](std::uint64_t size) {
    std::string h = std::string("\x5D\0\0\x80\0", 5) + std::string(8, '\0');
    for (int i = 0; i < 8; ++i) h[5 + i] = static_cast<char>(size >> (8 * i));
    return h;
  };
  const TSetupMetadata meta{100, true};
  struct Case {
    std::string header;
    std::uint64_t free;
    const char* error;
  };
  const Case cases[] = {
      {header(900), 1000, "<no error>"},
      {header(901), 1000, "Not enough free space to extract setup: 1001 bytes needed, 1000 free."},
      {header(~std::uint64_t{0} - 1), ~std::uint64_t{0} - 1,
       "Not enough free space to extract setup: 18446744073709551615 bytes needed, 18446744073709551614 free."},
      // No size in the header: Setup.exe's share is what is known.
      {header(~std::uint64_t{0}), 100, "<no error>"},
      {header(~std::uint64_t{0}), 99, "Not enough free space to extract setup: 100 bytes needed, 99 free."},
      {header(900).substr(0, 12), 1000, "Invalid setup payload: its header is incomplete."},
  };
  for (const Case& c : cases)
    EXPECT_EQ(ErrorText([&] { CheckSpaceToExtract(c.header, meta, c.free); }), c.error) << c.free;
}

// The run's peak in its folder: whole 4 KiB blocks of what stays, whole
// 256 KiB views of what a mapping is writing; the larger of the payload's
// write beside the tool and Setup.exe's split beside all.
TEST(SetupSpace, NeededIsTheRunsPeak) {
  constexpr std::uint64_t K = 1024, kAll = ~std::uint64_t{0};
  const TSetupMetadata exe{100, true};
  // Setup.exe's view beside the tool, the payload and the package.
  EXPECT_EQ(SetupSpaceNeeded(1, 4096, 4097, exe), 4 * K + 4 * K + 8 * K + 256 * K);
  // The payload's view beside the tool, at a block's and a view's edge.
  const TSetupMetadata none{0, true};
  EXPECT_EQ(SetupSpaceNeeded(257 * K, 1, 1, none), 260 * K + 256 * K);
  EXPECT_EQ(SetupSpaceNeeded(256 * K, 256 * K, 0, none), 512 * K);
  EXPECT_EQ(SetupSpaceNeeded(256 * K, 256 * K + 1, 0, none), 768 * K);
  EXPECT_EQ(SetupSpaceNeeded(4 * K, 600 * K, 0, none), 4 * K + 768 * K);
  // A decoded size the header does not give counts nothing; a plain package.
  EXPECT_EQ(SetupSpaceNeeded(4 * K, 4 * K, kAll, exe), 4 * K + 4 * K + 256 * K);
  EXPECT_EQ(SetupSpaceNeeded(0, 256 * K, 0, exe), 256 * K + 256 * K);
  EXPECT_EQ(SetupSpaceNeeded(0, 256 * K + 1, 0, TSetupMetadata{0, false}), 512 * K);
  EXPECT_EQ(SetupSpaceNeeded(4 * K, 4 * K, kAll - 5, exe), kAll);  // saturates
  EXPECT_EQ(ErrorText([] { CheckSpaceNeeded(8192, 8192); }), "<no error>");
  EXPECT_EQ(ErrorText([] { CheckSpaceNeeded(8193, 8192); }),
            "Not enough free space to extract setup: 8193 bytes needed, 8192 free.");
}

TEST(SetupSwitches, SilentInstaller) {
  for (const char* on : {"prog /silent_installer", "prog a -SILENT_INSTALLER b", "prog \"/Silent_Installer\""})
    EXPECT_TRUE(HasSilentInstallerSwitch(on)) << on;
  // The last: the program's own path.
  for (const char* off : {"prog silent_installer", "prog /silent_installer2", "prog /silent installer",
                          "/silent_installer"})
    EXPECT_FALSE(HasSilentInstallerSwitch(off)) << off;
}

TEST(SetupCore, DateTimeToFileTimeAsUtc) {
  constexpr os::FILETIME kUnixEpoch = 116444736000000000ull;
  EXPECT_EQ(TSetupCore::DateTimeToFileTime(25569.0), kUnixEpoch);
  EXPECT_EQ(TSetupCore::DateTimeToFileTime(25569.5), kUnixEpoch + 12ull * 3600 * 10000000);
  EXPECT_EQ(TSetupCore::DateTimeToFileTime(25569.0 + 1.0 / 86400000), kUnixEpoch + 10000);  // one millisecond
  EXPECT_EQ(TSetupCore::DateTimeToFileTime(1.5), TSetupCore::DateTimeToFileTime(0) + 36ull * 3600 * 10000000);
  EXPECT_EQ(TSetupCore::DateTimeToFileTime(-1.25), TSetupCore::DateTimeToFileTime(-1) + 6ull * 3600 * 10000000);
  EXPECT_EQ(TSetupCore::DateTimeToFileTime(-109205.0), 0u);
  for (double bad : {-109206.0, std::nan(""), HUGE_VAL, 1e300})
    EXPECT_THROW(TSetupCore::DateTimeToFileTime(bad), EConvertError) << bad;
}

}  // namespace
}  // namespace vt
