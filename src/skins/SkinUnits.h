// Start-up settings of the skin library: message-dialog tables, optional
// system entry points, the desktop shell folder, OLE, the date and time
// formats and the settings units.
//
// Start-up order of the skin units (the lead's program lists them):
//   kSkinMessageDialogsUnit, kSpEffBmpUnit, kSpPngImageUnit,
//   kSkinComCtlStringsUnit, kSkinWindowApiUnit, kSkinDialogsUnit,
//   kSkinShellUnit, kSkinDateFormatsUnit, kSkinSettingsUnit.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <vector>

#include "common/Units.h"
#include "platform/Modules.h"
#include "platform/Shell.h"
#include "skins/SpEffBmp.h"

namespace vt {

// Dialog types: warning, error, information, confirmation, custom. Buttons:
// yes, no, OK, cancel, abort, retry, ignore, all, no to all, yes to all, help.
constexpr int kSpDialogTypes = 5;
constexpr int kSpDialogButtons = 11;

extern const std::array<const char*, kSpDialogTypes> kSpCaptions;
extern const std::array<const char*, kSpDialogButtons> kSpButtonNames;
extern const std::array<const char*, kSpDialogButtons> kSpButtonCaptions;
// Filled at start-up.
extern std::array<std::u16string, kSpDialogTypes> SpWideCaptions;
extern std::array<std::u16string, kSpDialogButtons> SpWideButtonNames;
extern std::array<std::u16string, kSpDialogButtons> SpWideButtonCaptions;

// The second dialog unit: names as constants, captions filled at start-up.
extern const std::array<const char*, kSpDialogButtons> kSpDialogButtonNames;
extern std::array<std::string, kSpDialogButtons> SpDialogButtonCaptions;
extern std::array<std::string, kSpDialogTypes> SpDialogCaptions;

// The 19 character-set names.
extern const std::array<const char*, 19> kSpCharsetNames;

// Entry id of the module's string table (16 strings a block, each a 16-bit
// length and that many UTF-16 units); empty when missing.
std::u16string SpLoadStringEntry(os::HMODULE module, unsigned id);

// The common-controls string (empty when the library is not there).
extern std::u16string SpComCtlString;

// Entry points resolved at start-up; null where the system has none.
struct TSpWindowApi {
  void* MonitorFromWindow = nullptr;
  void* MonitorFromPoint = nullptr;
  void* GetMonitorInfoA = nullptr;
  void* GetScrollBarInfo = nullptr;
  void* SetLayeredWindowAttributes = nullptr;
  void* UpdateLayeredWindow = nullptr;
  bool IsWinNT = false;
  void* DwmIsCompositionEnabled = nullptr;
  void* DwmSetWindowAttribute = nullptr;
  void* DwmEnableBlurBehindWindow = nullptr;
};
extern TSpWindowApi SpWindowApi;

struct TSpShellApi {
  void* SHCreateItemFromIDList = nullptr;
  void* SHGetImageList = nullptr;
  void* SHGetKnownFolderIDList = nullptr;
};
extern TSpShellApi SpShellApi;

// Item-ID lists through the shell allocator.
std::size_t SpIdListSize(const os::ItemIdList* list);  // 0 for null
os::ItemIdList* SpCopyIdList(const os::ItemIdList* list);
os::ItemIdList* SpConcatIdLists(const os::ItemIdList* first, const os::ItemIdList* second);
os::ItemIdList* SpAllocIdList(std::size_t size);
void SpFreeIdList(os::ItemIdList* list);

// One shell namespace folder.
class TspShellFolder : public TObject {
 public:
  // parent null: the process-wide desktop folder (none while the desktop
  // itself is created). Raises EOleSysError on a shell failure.
  TspShellFolder(TspShellFolder* parent, os::IShellFolder* folder, const os::ItemIdList* id_list);
  ~TspShellFolder() override;
  TspShellFolder(const TspShellFolder&) = delete;
  TspShellFolder& operator=(const TspShellFolder&) = delete;

  os::ItemIdList* RelativeIdList = nullptr;
  os::ItemIdList* AbsoluteIdList = nullptr;
  TspShellFolder* Parent = nullptr;
  os::IShellFolder* ShellFolder = nullptr;
  void* Interface2 = nullptr;
  void* Interface3 = nullptr;
  int Level = 0;
  std::vector<std::string> Strings;
  int Value1 = -1, Value2 = -1;
  os::HGDIOBJ GdiObject1 = 0, GdiObject2 = 0;
  int Value3 = -1;
  std::unique_ptr<TspBitmap> Bitmap;
  bool Flag = false;
};


TspShellFolder* SpDesktopFolder();
std::recursive_mutex* SpShellLock();

// Settings with setters that answer the previous value.
int SpSetSetting1(int value);
int SpSetSetting2(int value);
bool SpSetSetting3(bool value);

extern const UnitEntry kSkinMessageDialogsUnit;  // "SkinMessageDialogs"
extern const UnitEntry kSkinComCtlStringsUnit;   // "SkinComCtlStrings"
extern const UnitEntry kSkinWindowApiUnit;       // "SkinWindowApi"
extern const UnitEntry kSkinDialogsUnit;         // "SkinDialogs"
extern const UnitEntry kSkinShellUnit;           // "SkinShell"
extern const UnitEntry kSkinDateFormatsUnit;     // "SkinDateFormats"
extern const UnitEntry kSkinSettingsUnit;        // "SkinSettings"

// Every skin unit in start-up order.
std::span<const UnitEntry> SkinUnits();

}  // namespace vt
