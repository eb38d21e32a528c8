#include "bootstrapper/NetFw.h"

#include "common/Objects.h"
#include "common/ObjectsFiles.h"
#include "platform/Utf.h"

namespace vt {

namespace {
TFirewall* g_firewall = nullptr;

void RequireInstalled(const TFirewall& firewall) {
  if (!firewall.Installed) throw Exception("Cannot complete operation: Firewall is not installed");
}

// Properties read by name; a failing read raises the OLE error.
os::Variant Property(os::IDispatch* object, const std::u16string& name) {
  os::Variant value;
  OleCheck(os::GetDispatchProperty(object, name, &value));
  return value;
}

std::u16string WideProperty(os::IDispatch* object, const std::u16string& name) {
  std::u16string text;
  OleCheck(Property(object, name).ToString(&text));
  return text;
}

std::string TextProperty(os::IDispatch* object, const std::u16string& name) {
  return os::Utf16ToUtf8(WideProperty(object, name));
}

std::int32_t IntProperty(os::IDispatch* object, const std::u16string& name) {
  std::int32_t value = 0;
  OleCheck(Property(object, name).ToInt(&value));
  return value;
}
}  // namespace

TAuhtorizedApp::TAuhtorizedApp(std::string name, std::string remote_addresses, std::string process_image_file_name,
                               bool enabled, std::uint8_t scope, std::uint8_t ip_version)
    : Name(std::move(name)),
      RemoteAddresses(std::move(remote_addresses)),
      ProcessImageFileName(std::move(process_image_file_name)),
      Enabled(enabled),
      IpVersion(ip_version),
      Scope(scope) {}

TFirewall::TFirewall(bool initialize_com) {
  if (g_firewall) throw Exception("Cannot create firewall object. Instance already exists.");
  if (!initialize_com) return;
  ComInitialized = os::CoInitialize(nullptr) >= 0;
  try {
    if (os::CoCreateInstance(os::CLSID_NetFwMgr, nullptr, os::CLSCTX_INPROC_SERVER | os::CLSCTX_LOCAL_SERVER,
                             os::IID_INetFwMgr, Manager.PutVoid()) < 0) {
      Manager.Reset();
      return;
    }
    Installed = true;
    os::ComPtr<os::INetFwPolicy> policy;
    OleCheck(Manager->get_LocalPolicy(policy.Put()));
    OleCheck(policy->get_CurrentProfile(Profile.Put()));
    os::VARIANT_BOOL enabled = os::VARIANT_FALSE;
    OleCheck(Profile->get_FirewallEnabled(&enabled));
    Enabled = enabled != os::VARIANT_FALSE;
  } catch (...) {
    Release();
    throw;
  }
}

TFirewall::~TFirewall() { Release(); }

void TFirewall::Release() {
  Profile.Reset();
  Manager.Reset();
  if (ComInitialized) os::CoUninitialize();
  ComInitialized = false;
}

os::ComPtr<os::INetFwAuthorizedApplications> TFirewall::Applications() {
  RequireInstalled(*this);
  os::ComPtr<os::INetFwAuthorizedApplications> apps;
  OleCheck(Profile->get_AuthorizedApplications(apps.Put()));
  return apps;
}

void TFirewall::RemoveAuthorizedApplication(const std::string& image_file_name) {
  OleCheck(Applications()->Remove(os::FileNameToUtf16(image_file_name)));
}

TAuhtorizedAppList TFirewall::GetAuthorizedApplications() {
  os::ComPtr<os::IUnknown> unknown;
  OleCheck(Applications()->get__NewEnum(unknown.Put()));
  os::ComPtr<os::IEnumVARIANT> entries;
  OleCheck(unknown.As(os::IID_IEnumVARIANT, entries));
  TAuhtorizedAppList list;
  os::Variant item;
  std::uint32_t fetched = 0;
  while (entries->Next(1, &item, &fetched) == os::S_OK && fetched == 1) {
    os::ComPtr<os::IDispatch> entry;
    OleCheck(item.object() ? item.object()->QueryInterface(os::IID_IDispatch, entry.PutVoid())
                           : os::DISP_E_TYPEMISMATCH);
    std::string remote_addresses = TextProperty(entry.Get(), u"RemoteAddresses");
    // An image file name keeps its bytes, so that its removal finds it.
    std::string image = os::Utf16ToFileName(WideProperty(entry.Get(), u"ProcessImageFileName"));
    bool enabled = false;
    OleCheck(Property(entry.Get(), u"Enabled").ToBool(&enabled));
    const std::int32_t scope = IntProperty(entry.Get(), u"Scope");
    const std::int32_t ip_version = IntProperty(entry.Get(), u"IpVersion");
    std::string name = TextProperty(entry.Get(), u"Name");
    if (scope < 0 || scope > 3) throw Exception("Unknown Scope type");
    if (ip_version < 0 || ip_version > 3) throw Exception("Unknown Firewall IP Versio");
    list.push_back(std::make_unique<TAuhtorizedApp>(std::move(name), std::move(remote_addresses), std::move(image),
                                                    enabled, static_cast<std::uint8_t>(scope),
                                                    static_cast<std::uint8_t>(ip_version)));
  }
  return list;
}

void TFirewall::RemoveApplicationsByName(const std::string& name) {
  RequireInstalled(*this);
  // Another program's entry may share an image with one of these: each goes
  // by its name and image together, and all of them in one change.
  std::vector<std::pair<std::u16string, std::u16string>> named;
  for (const auto& app : GetAuthorizedApplications())
    if (SameTextAscii(app->Name, name))
      named.emplace_back(os::Utf8ToUtf16(app->Name), os::FileNameToUtf16(app->ProcessImageFileName));
  if (!named.empty()) OleCheck(Applications()->RemoveNamed(named));
}

TFirewall* GetFirewall() {
  if (!g_firewall) g_firewall = new TFirewall(true);
  return g_firewall;
}

void FreeFirewall() { FreeAndNilObject(g_firewall); }

const UnitEntry kNetFwUnit{"NetFw", nullptr, &FreeFirewall};

}  // namespace vt
