// Start-up of the skin units: date and time formats, dialog tables, optional
// entry points, the desktop folder and item-ID lists.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include "SkinTestSupport.h"
#include "common/DateTimeFormat.h"
#include "platform/Gdi.h"
#include "platform/ModuleNames.h"
#include "platform/Resources.h"
#include "platform/TestHooks.h"
#include "skins/SpEffBmp.h"

namespace vt {
namespace {

class SkinUnitsTest : public ::testing::Test {
 protected:
  void SetUp() override { test::EnsureSkinUnits(); }
};

TEST_F(SkinUnitsTest, UnitsStartInOrder) {
  std::vector<std::string> names;
  for (const UnitEntry& u : SkinUnits()) {
    names.push_back(u.name);
    EXPECT_TRUE(UnitInitialized(u.name)) << u.name;
  }
  EXPECT_EQ(names, (std::vector<std::string>{"SkinMessageDialogs", "speffbmp", "sppngimage",
                                             "SkinComCtlStrings", "SkinWindowApi", "SkinDialogs", "SkinShell",
                                             "SkinDateFormats", "SkinSettings"}));
}

TEST_F(SkinUnitsTest, DateAndTimeFormats) {
  EXPECT_EQ(DateToStr(EncodeDate(2024, 3, 7)), "2024-03-07");
  EXPECT_EQ(TimeToStr(EncodeTime(21, 5, 3, 0)), "21:05:03");
  const double when = EncodeDate(1999, 12, 31) + EncodeTime(9, 8, 7, 0);
  EXPECT_EQ(FormatDateTime(FormatSettings().ShortTimeFormat, when), "09:08:07");
  EXPECT_EQ(FormatDateTime("d/m/yy h:n:s 'at' \"x\"", when), "31-12-99 9:8:7 at x");
  TFormatSettings us;
  EXPECT_EQ(FormatDateTime(us.ShortDateFormat, EncodeDate(2024, 3, 7), us), "3/7/2024");
  EXPECT_EQ(FormatDateTime("yyyy", 1e300), "");
  EXPECT_EQ(DateToStr(EncodeDate(1899, 12, 30)), "1899-12-30");
  EXPECT_EQ(DateToStr(EncodeDate(1800, 2, 28) + 1), "1800-03-01");
}

TEST_F(SkinUnitsTest, DialogTables) {
  // Filled at start-up: a wide table, and narrow ones that fall back to
  // built-in texts where the program carries no string entries.
  EXPECT_EQ(SpWideButtonCaptions[5], u"נסה שוב");
  EXPECT_EQ(SpDialogButtonCaptions[8], "N&oToAll");
  EXPECT_EQ(SpDialogButtonCaptions[9], "&YesToAll");
  EXPECT_EQ(SpDialogCaptions[2], "Information");
  EXPECT_EQ(SpDialogCaptions[4], "");
}

TEST_F(SkinUnitsTest, DialogStringsComeFromTheProgramsStringTable) {
  // A program's own entries win; the others keep their built-in texts.
  test::TempFolder dir;
  const std::string command = test::Q(test::ProgramBeside("vt_dialogprobe")) + " > " + test::Q(dir.path() / "out");
  ASSERT_EQ(std::system(command.c_str()), 0);
  EXPECT_EQ(test::ReadFileText(dir.path() / "out"),
            "&Ja\n&Nein\nOK\nCancel\n&Abort\n&Retry\n&Ignore\n&All\nN&oToAll\n&YesToAll\n&Hilfe\n"
            "Warnung\nError\nInformation\nBestätigen\n\n");
  // The bootstrapper carries the whole table.
  const os::HMODULE install = os::LoadResourceModule(test::ProgramBeside("vt_install"));
  ASSERT_NE(install, nullptr);
  EXPECT_EQ(SpLoadStringEntry(install, 65281), u"&Yes");
  EXPECT_EQ(SpLoadStringEntry(install, 65289), u"N&oToAll");
  EXPECT_EQ(SpLoadStringEntry(install, 65295), u"Confirm");
  EXPECT_EQ(SpLoadStringEntry(install, 65280), u"");
  EXPECT_EQ(SpLoadStringEntry(install, 65296), u"");
  os::FreeResourceModule(install);
}

TEST_F(SkinUnitsTest, OptionalSystemLibrariesFoundOrNot) {
  // dwmapi, user32's monitor calls and comctl32's strings are not here.
  EXPECT_TRUE(!SpWindowApi.DwmIsCompositionEnabled && !SpWindowApi.DwmSetWindowAttribute &&
              !SpWindowApi.DwmEnableBlurBehindWindow && !SpWindowApi.MonitorFromWindow);
  EXPECT_TRUE(SpWindowApi.IsWinNT);
  EXPECT_TRUE(SpComCtlString.empty());
  EXPECT_EQ(SpMmxAvailable(), SpDetectMmx());

  // msimg32 is: key-coloured drawing goes through its TransparentBlt.
  kSpEffBmpUnit.finalize();  // a fresh selection (other tests select routines of their own)
  kSpEffBmpUnit.initialize();
  EXPECT_TRUE(SpMsimg32Loaded());
  const os::HMODULE msimg32 = os::GetModuleHandle("MSIMG32");
  ASSERT_NE(msimg32, nullptr);
  EXPECT_EQ(os::GetProcAddress(msimg32, "TransparentBlt"), reinterpret_cast<void*>(&os::TransparentBlt));
  EXPECT_EQ(os::GetProcAddress(msimg32, "AlphaBlend"), nullptr);
  const auto via_blit = SpRoutines().KeyToDC;
  kSpEffBmpUnit.finalize();
  EXPECT_EQ(os::GetModuleHandle("msimg32.dll"), nullptr);

  // Without it the unit starts on its own path.
  os::PlatformTestHelper::HideBuiltinModules(true);
  kSpEffBmpUnit.initialize();
  os::PlatformTestHelper::HideBuiltinModules(false);
  EXPECT_FALSE(SpMsimg32Loaded());
  EXPECT_NE(SpRoutines().KeyToDC, via_blit);
  kSpEffBmpUnit.finalize();
  EXPECT_FALSE(os::FreeLibrary(msimg32));
  kSpEffBmpUnit.initialize();
  EXPECT_EQ(SpRoutines().KeyToDC, via_blit);
}

TEST_F(SkinUnitsTest, DesktopFolderAndShellShutdown) {
  TspShellFolder* desktop = SpDesktopFolder();
  ASSERT_NE(desktop, nullptr);
  EXPECT_EQ(desktop->Parent, nullptr);
  EXPECT_EQ(SpIdListSize(desktop->RelativeIdList), 2u);
  EXPECT_EQ(SpIdListSize(desktop->AbsoluteIdList), 2u);
  EXPECT_EQ(desktop->Value1, -1);
  EXPECT_NE(desktop->Bitmap, nullptr);
  EXPECT_NE(SpShellLock(), nullptr);
  EXPECT_EQ(os::OleInitializeCount(), 1);

  // A child of the desktop and a grandchild.
  const std::uint8_t item[] = {5, 0, 'a', 'b', 'c', 0, 0};
  TspShellFolder child(nullptr, nullptr, item);
  EXPECT_EQ(child.Parent, desktop);
  EXPECT_EQ(child.Level, 0);
  EXPECT_EQ(SpIdListSize(child.AbsoluteIdList), 7u);
  TspShellFolder grandchild(&child, nullptr, item);
  EXPECT_EQ(grandchild.Level, 1);  // the desktop above the child
  EXPECT_EQ(std::memcmp(grandchild.AbsoluteIdList,
                        "\x05\x00"
                        "abc\x05\x00"
                        "abc\x00\x00",
                        12),
            0);

  kSkinShellUnit.finalize();
  EXPECT_EQ(SpDesktopFolder(), nullptr);
  EXPECT_EQ(SpShellLock(), nullptr);
  EXPECT_EQ(os::OleInitializeCount(), 0);
  kSkinShellUnit.initialize();
  EXPECT_NE(SpDesktopFolder(), nullptr);
}

TEST_F(SkinUnitsTest, ItemIdLists) {
  EXPECT_EQ(SpIdListSize(nullptr), 0u);
  EXPECT_EQ(SpCopyIdList(nullptr), nullptr);
  const std::uint8_t a[] = {4, 0, 'x', 'y', 3, 0, 'z', 0, 0};
  os::ItemIdList* copy = SpCopyIdList(a);
  EXPECT_EQ(std::memcmp(copy, a, sizeof a), 0);
  os::ItemIdList* both = SpConcatIdLists(copy, a);
  EXPECT_EQ(SpIdListSize(both), 16u);
  os::ItemIdList* first_only = SpConcatIdLists(a, nullptr);
  EXPECT_EQ(SpIdListSize(first_only), 9u);
  os::ItemIdList* zeroed = SpAllocIdList(6);
  EXPECT_EQ(SpIdListSize(zeroed), 2u);
  for (auto* p : {copy, both, first_only, zeroed}) SpFreeIdList(p);
}

TEST_F(SkinUnitsTest, SettingSettersAnswerThePreviousValue) {
  EXPECT_TRUE(SpSetSetting1(5) == 0 && SpSetSetting1(0) == 5);
  EXPECT_TRUE(SpSetSetting2(-1) == 0 && SpSetSetting2(0) == -1);
  EXPECT_TRUE(!SpSetSetting3(true) && SpSetSetting3(false));
}

}  // namespace
}  // namespace vt
