#include "skins/SkinUnits.h"

#include <cstring>
#include <utility>

#include "common/DateTimeFormat.h"
#include "common/Objects.h"
#include "common/Resources.h"
#include "platform/ModuleNames.h"
#include "platform/SystemInfo.h"
#include "platform/Utf.h"
#include "skins/SpPngImage.h"

namespace vt {

const std::array<const char*, kSpDialogTypes> kSpCaptions = {"Warning", "Error", "Information", "Confirm", ""};
const std::array<const char*, kSpDialogButtons> kSpButtonNames = {
    "Yes", "No", "OK", "Cancel", "Abort", "Retry", "Ignore", "All", "NoToAll", "YesToAll", "Help"};
const std::array<const char*, kSpDialogButtons> kSpButtonCaptions = {
    "&Yes", "&No", "OK", "Cancel", "&Abort", "&Retry", "&Ignore", "&All", "N&o to All", "Yes to &All", "&Help"};
std::array<std::u16string, kSpDialogTypes> SpWideCaptions;
std::array<std::u16string, kSpDialogButtons> SpWideButtonNames;
std::array<std::u16string, kSpDialogButtons> SpWideButtonCaptions;

const std::array<const char*, kSpDialogButtons> kSpDialogButtonNames = kSpButtonNames;
std::array<std::string, kSpDialogButtons> SpDialogButtonCaptions;
std::array<std::string, kSpDialogTypes> SpDialogCaptions;

const std::array<const char*, 19> kSpCharsetNames = {
    "ANSI_CHARSET",   "DEFAULT_CHARSET",  "SYMBOL_CHARSET",     "SHIFTJIS_CHARSET", "HANGEUL_CHARSET",
    "GB2312_CHARSET", "CHINESEBIG5_CHARSET", "OEM_CHARSET",     "JOHAB_CHARSET",    "HEBREW_CHARSET",
    "ARABIC_CHARSET", "GREEK_CHARSET",    "TURKISH_CHARSET",    "VIETNAMESE_CHARSET", "THAI_CHARSET",
    "EASTEUROPE_CHARSET", "RUSSIAN_CHARSET", "MAC_CHARSET",     "BALTIC_CHARSET"};

std::u16string SpComCtlString;
TSpWindowApi SpWindowApi;
TSpShellApi SpShellApi;

// ---- String tables ----

std::u16string SpLoadStringEntry(os::HMODULE module, unsigned id) {
  constexpr int kRtString = 6;
  const std::string block = LoadResourceString(module, os::ResId(static_cast<int>((id >> 4) + 1)), os::ResId(kRtString));
  std::size_t at = 0;
  for (unsigned i = 0; i <= (id & 15); ++i) {
    if (at + 2 > block.size()) return {};
    const std::size_t len = static_cast<std::uint8_t>(block[at]) | (static_cast<std::uint8_t>(block[at + 1]) << 8);
    at += 2;
    if (at + len * 2 > block.size()) return {};
    if (i == (id & 15)) {
      std::u16string s(len, u'\0');
      for (std::size_t k = 0; k < len; ++k)
        s[k] = static_cast<char16_t>(static_cast<std::uint8_t>(block[at + 2 * k]) |
                                     (static_cast<std::uint8_t>(block[at + 2 * k + 1]) << 8));
      return s;
    }
    at += len * 2;
  }
  return {};
}

namespace {

// ---- 1: message-dialog tables ----

void InitMessageDialogs() {
  SpWideCaptions = {u"אזהרה", u"שגיאה", u"מידע", u"אישור", u""};
  SpWideButtonNames = {u"Yes",   u"No",  u"OK",      u"Cancel",   u"Abort", u"Retry",
                       u"Ignore", u"All", u"NoToAll", u"YesToAll", u"Help"};
  SpWideButtonCaptions = {u"כן",   u"לא",  u"אישור",   u"ביטול",   u"הכשל", u"נסה שוב",
                          u"התעלם", u"הכל", u"לא להכל", u"כן להכל", u"עזרה"};
}

// ---- 2: common-controls string ----

os::HMODULE comctl32 = nullptr;

void InitComCtlStrings() {
  comctl32 = os::LoadLibrary("Comctl32");
  SpComCtlString = comctl32 ? SpLoadStringEntry(comctl32, 4163) : std::u16string();
}

void DoneComCtlStrings() {
  if (comctl32) os::FreeLibrary(comctl32);
  comctl32 = nullptr;
  SpComCtlString.clear();
}

// ---- 3: window entry points ----

os::HMODULE dwmapi = nullptr;

void InitWindowApi() {
  SpWindowApi = TSpWindowApi{};
  if (os::HMODULE user32 = os::GetModuleHandle("user32.dll")) {
    SpWindowApi.MonitorFromWindow = os::GetProcAddress(user32, "MonitorFromWindow");
    SpWindowApi.MonitorFromPoint = os::GetProcAddress(user32, "MonitorFromPoint");
    SpWindowApi.GetMonitorInfoA = os::GetProcAddress(user32, "GetMonitorInfoA");
    SpWindowApi.GetScrollBarInfo = os::GetProcAddress(user32, "GetScrollBarInfo");
    SpWindowApi.SetLayeredWindowAttributes = os::GetProcAddress(user32, "SetLayeredWindowAttributes");
    SpWindowApi.UpdateLayeredWindow = os::GetProcAddress(user32, "UpdateLayeredWindow");
  }
  os::OSVersionInfoEx vi;
  SpWindowApi.IsWinNT = os::GetVersionEx(&vi) && vi.dwPlatformId == os::kVerPlatformWin32Nt;
  dwmapi = os::LoadLibrary("dwmapi.dll");
  if (dwmapi) {
    SpWindowApi.DwmIsCompositionEnabled = os::GetProcAddress(dwmapi, "DwmIsCompositionEnabled");
    SpWindowApi.DwmSetWindowAttribute = os::GetProcAddress(dwmapi, "DwmSetWindowAttribute");
    SpWindowApi.DwmEnableBlurBehindWindow = os::GetProcAddress(dwmapi, "DwmEnableBlurBehindWindow");
  }
}

void DoneWindowApi() {
  if (dwmapi) os::FreeLibrary(dwmapi);
  dwmapi = nullptr;
}

// ---- 4: second dialog unit ----

void InitDialogs() {
  static const char* const kButtonTexts[kSpDialogButtons] = {
      "&Yes", "&No", "OK", "Cancel", "&Abort", "&Retry", "&Ignore", "&All", "N&oToAll", "&YesToAll", "&Help"};
  static const char* const kCaptionTexts[4] = {"Warning", "Error", "Information", "Confirm"};
  // Entries 65281-65291 hold the button captions, 65292-65295 the captions;
  // the texts above stand where the program carries no such entry.
  os::HMODULE self = os::GetModuleHandle("");
  for (int i = 0; i < kSpDialogButtons; ++i) {
    std::u16string s = SpLoadStringEntry(self, 65281u + static_cast<unsigned>(i));
    SpDialogButtonCaptions[i] = s.empty() ? kButtonTexts[i] : os::Utf16ToUtf8(s);
  }
  for (int i = 0; i < 4; ++i) {
    std::u16string s = SpLoadStringEntry(self, 65292u + static_cast<unsigned>(i));
    SpDialogCaptions[i] = s.empty() ? kCaptionTexts[i] : os::Utf16ToUtf8(s);
  }
  SpDialogCaptions[4].clear();
}

// ---- 5: shell ----

os::HMODULE shell32 = nullptr;
TspShellFolder* desktop = nullptr;
std::recursive_mutex* shell_lock = nullptr;
bool creating_desktop = false;
bool ole_started = false;

os::ItemIdList* DesktopLocation() {
  os::ItemIdList* list = nullptr;
  os::HRESULT hr = os::SHGetSpecialFolderLocation(0, os::CSIDL_DESKTOP, &list);
  OleCheck(hr);
  if (!list) OleError(os::E_UNEXPECTED);
  return list;
}

void CreateDesktopFolder() {
  os::ItemIdList* list = nullptr;
  if (os::SHGetSpecialFolderLocation(0, os::CSIDL_DESKTOP, &list) < 0 || !list) return;
  os::IShellFolder* folder = nullptr;
  os::HRESULT hr = os::SHGetDesktopFolder(&folder);
  if (hr < 0 || !folder) {
    SpFreeIdList(list);
    OleError(hr < 0 ? hr : os::E_UNEXPECTED);
  }
  creating_desktop = true;
  try {
    desktop = new TspShellFolder(nullptr, folder, list);
  } catch (...) {
    creating_desktop = false;
    folder->Release();
    SpFreeIdList(list);
    throw;
  }
  creating_desktop = false;
  SpFreeIdList(list);
}

void InitShell() {
  shell32 = os::LoadLibrary("Shell32");
  if (shell32) {
    SpShellApi.SHCreateItemFromIDList = os::GetProcAddress(shell32, "SHCreateItemFromIDList");
    SpShellApi.SHGetImageList = os::GetProcAddress(shell32, "SHGetImageList");
    SpShellApi.SHGetKnownFolderIDList = os::GetProcAddress(shell32, "SHGetKnownFolderIDList");
  }
  CreateDesktopFolder();
  shell_lock = new std::recursive_mutex;
  ole_started = os::OleInitialize(nullptr) >= 0;
}

void DoneShell() {
  if (shell32) os::FreeLibrary(shell32);
  shell32 = nullptr;
  SpShellApi = TSpShellApi{};
  delete desktop;
  desktop = nullptr;
  delete shell_lock;
  shell_lock = nullptr;
  if (ole_started) os::OleUninitialize();
  ole_started = false;
}

// ---- 6: date and time formats ----

void InitDateFormats() {
  TFormatSettings& fs = FormatSettings();
  fs.DateSeparator = '-';
  fs.TimeSeparator = ':';
  fs.ShortDateFormat = "yyyy-mm-dd";
  fs.LongDateFormat = "yyyy-mm-dd";
  fs.ShortTimeFormat = "hh:nn:ss";
  fs.LongTimeFormat = "hh:nn:ss";
}

// ---- 7: settings ----

bool setting_flag = false;
int setting1 = 0, setting2 = 0;
bool setting3 = false;
int setting4 = 0, setting5 = 0;
bool setting6 = false;
std::string unit_text1, unit_text2;

void InitSettings() {
  setting_flag = false;
  setting1 = setting2 = 0;
  setting3 = false;
  setting4 = setting5 = 0;
  setting6 = false;
}

void DoneSettings() {
  unit_text1.clear();
  unit_text2.clear();
}

}  // namespace

int SpSetSetting1(int value) { return std::exchange(setting1, value); }
int SpSetSetting2(int value) { return std::exchange(setting2, value); }
bool SpSetSetting3(bool value) { return std::exchange(setting3, value); }

TspShellFolder* SpDesktopFolder() { return desktop; }
std::recursive_mutex* SpShellLock() { return shell_lock; }

// ---- Item-ID lists ----

std::size_t SpIdListSize(const os::ItemIdList* list) {
  if (!list) return 0;
  std::size_t size = 0;
  for (;;) {
    const std::size_t cb = list[size] | (list[size + 1] << 8);
    if (cb == 0) return size + 2;
    size += cb;
  }
}

os::ItemIdList* SpAllocIdList(std::size_t size) { return static_cast<os::ItemIdList*>(os::ShellAlloc(size)); }

void SpFreeIdList(os::ItemIdList* list) { os::ShellFree(list); }

os::ItemIdList* SpCopyIdList(const os::ItemIdList* list) {
  const std::size_t size = SpIdListSize(list);
  if (size == 0) return nullptr;
  os::ItemIdList* copy = SpAllocIdList(size);
  if (copy) std::memcpy(copy, list, size);
  return copy;
}

os::ItemIdList* SpConcatIdLists(const os::ItemIdList* first, const os::ItemIdList* second) {
  const std::size_t a = first ? SpIdListSize(first) - 2 : 0;
  const std::size_t b = second ? SpIdListSize(second) : 2;
  os::ItemIdList* out = SpAllocIdList(a + b);
  if (!out) return nullptr;
  if (a) std::memcpy(out, first, a);
  if (second) std::memcpy(out + a, second, b);
  return out;
}

// ---- TspShellFolder ----

TspShellFolder::TspShellFolder(TspShellFolder* parent, os::IShellFolder* folder, const os::ItemIdList* id_list)
    : ShellFolder(folder) {
  if (parent) {
    AbsoluteIdList = SpConcatIdLists(parent->AbsoluteIdList, id_list);
  } else {
    os::ItemIdList* root = DesktopLocation();
    AbsoluteIdList = SpConcatIdLists(root, id_list);
    SpFreeIdList(root);
  }
  RelativeIdList = SpCopyIdList(id_list);
  Parent = parent ? parent : (creating_desktop ? nullptr : desktop);
  for (TspShellFolder* p = parent ? parent->Parent : nullptr; p; p = p->Parent) ++Level;
  Bitmap = std::make_unique<TspBitmap>();
}

TspShellFolder::~TspShellFolder() {
  Flag = false;
  if (GdiObject1) os::DeleteObject(GdiObject1);
  if (GdiObject2) os::DeleteObject(GdiObject2);
  Bitmap.reset();
  Strings.clear();
  SpFreeIdList(RelativeIdList);
  SpFreeIdList(AbsoluteIdList);
  if (ShellFolder) ShellFolder->Release();
}

const UnitEntry kSkinMessageDialogsUnit{"SkinMessageDialogs", &InitMessageDialogs, nullptr};
const UnitEntry kSkinComCtlStringsUnit{"SkinComCtlStrings", &InitComCtlStrings, &DoneComCtlStrings};
const UnitEntry kSkinWindowApiUnit{"SkinWindowApi", &InitWindowApi, &DoneWindowApi};
const UnitEntry kSkinDialogsUnit{"SkinDialogs", &InitDialogs, nullptr};
const UnitEntry kSkinShellUnit{"SkinShell", &InitShell, &DoneShell};
const UnitEntry kSkinDateFormatsUnit{"SkinDateFormats", &InitDateFormats, nullptr};
const UnitEntry kSkinSettingsUnit{"SkinSettings", &InitSettings, &DoneSettings};

std::span<const UnitEntry> SkinUnits() {
  static const UnitEntry units[] = {kSkinMessageDialogsUnit, kSpEffBmpUnit,    kSpPngImageUnit,
                                    kSkinComCtlStringsUnit,  kSkinWindowApiUnit, kSkinDialogsUnit,
                                    kSkinShellUnit,          kSkinDateFormatsUnit, kSkinSettingsUnit};
  return units;
}

}  // namespace vt
