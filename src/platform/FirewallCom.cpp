// The firewall store seen through the component-object interfaces.
#include <vector>

#include "platform/AsciiCase.h"
#include "platform/Firewall.h"
#include "platform/Utf.h"

namespace vt::os {

const GUID CLSID_NetFwMgr = {0x304CE942, 0x6E39, 0x40D8, {0x94, 0x3A, 0xB9, 0x13, 0xC4, 0x0C, 0x9C, 0xD4}};
const GUID IID_INetFwMgr = {0xF7898AF5, 0xCAC4, 0x4632, {0xA2, 0xEC, 0xDA, 0x06, 0xE5, 0x11, 0x1A, 0xF2}};
const GUID IID_INetFwPolicy = {0xD46D2478, 0x9AC9, 0x4008, {0x9D, 0xC7, 0x55, 0x63, 0xCE, 0x55, 0x36, 0xCC}};
const GUID IID_INetFwProfile = {0x174A0DDA, 0xE9F9, 0x449D, {0x99, 0x3B, 0x21, 0xAB, 0x66, 0x7C, 0xA4, 0x56}};
const GUID IID_INetFwAuthorizedApplications = {
    0x644EFD52, 0xCCF9, 0x486C, {0x97, 0xA2, 0x39, 0xF3, 0x52, 0x57, 0x0B, 0x30}};

namespace {

const GUID IID_INetFwAuthorizedApplication = {
    0xB5E64FFA, 0xC2C5, 0x444E, {0xA3, 0x01, 0xFB, 0x5E, 0x00, 0x01, 0x80, 0x50}};

// An object answering IUnknown, IDispatch and its own interface I.
template <typename I, const GUID* Iid>
class FwObject : public I, public ComObject {
 public:
  HRESULT QueryInterface(const GUID& iid, void** object) override {
    if (!object) return E_POINTER;
    if (iid == IID_IUnknown || iid == IID_IDispatch || iid == *Iid) {
      AddRef();
      *object = static_cast<I*>(this);
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  std::uint32_t AddRef() override { return AddRefObject(); }
  std::uint32_t Release() override { return ReleaseObject(); }
  HRESULT GetIDsOfNames(const std::u16string&, DISPID*) override { return DISP_E_UNKNOWNNAME; }
  HRESULT Invoke(DISPID, std::uint16_t, const Variant*, std::uint32_t, Variant*) override {
    return DISP_E_MEMBERNOTFOUND;
  }
};

// Hands a new object out under the interface asked for.
template <typename T>
HRESULT HandOut(T* object, const GUID& iid, void** out) {
  const HRESULT hr = object->QueryInterface(iid, out);
  object->Release();
  return hr;
}

// One allowed program; its properties are read by name.
class Application : public FwObject<IDispatch, &IID_INetFwAuthorizedApplication> {
 public:
  explicit Application(FwAuthorizedApplication entry) : entry_(std::move(entry)) {}

  HRESULT GetIDsOfNames(const std::u16string& name, DISPID* id) override {
    if (!id) return E_POINTER;
    const std::string text = Utf16ToUtf8(name);
    for (DISPID i = 0; i < static_cast<DISPID>(std::size(kNames)); ++i)
      if (SameTextAscii(text, kNames[i])) {
        *id = i;
        return S_OK;
      }
    return DISP_E_UNKNOWNNAME;
  }

  HRESULT Invoke(DISPID id, std::uint16_t flags, const Variant*, std::uint32_t arg_count,
                 Variant* result) override {
    if (!(flags & DISPATCH_PROPERTYGET) || arg_count != 0) return DISP_E_MEMBERNOTFOUND;
    if (!result) return E_POINTER;
    switch (id) {
      case 0: *result = Variant::String(Utf8ToUtf16(entry_.Name)); return S_OK;
      case 1: *result = Variant::String(FileNameToUtf16(entry_.ProcessImageFileName)); return S_OK;
      case 2: *result = Variant::String(Utf8ToUtf16(entry_.RemoteAddresses)); return S_OK;
      case 3: *result = Variant::Bool(entry_.Enabled); return S_OK;
      case 4: *result = Variant::Int(entry_.Scope); return S_OK;
      case 5: *result = Variant::Int(entry_.IpVersion); return S_OK;
      default: return DISP_E_MEMBERNOTFOUND;
    }
  }

 private:
  static constexpr const char* kNames[] = {"Name", "ProcessImageFileName", "RemoteAddresses",
                                           "Enabled", "Scope", "IpVersion"};
  FwAuthorizedApplication entry_;
};

class ApplicationEnumerator : public IEnumVARIANT, public ComObject {
 public:
  explicit ApplicationEnumerator(std::vector<FwAuthorizedApplication> entries) : entries_(std::move(entries)) {}

  HRESULT QueryInterface(const GUID& iid, void** object) override {
    if (!object) return E_POINTER;
    if (iid == IID_IUnknown || iid == IID_IEnumVARIANT) {
      AddRef();
      *object = static_cast<IEnumVARIANT*>(this);
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  std::uint32_t AddRef() override { return AddRefObject(); }
  std::uint32_t Release() override { return ReleaseObject(); }

  HRESULT Next(std::uint32_t count, Variant* items, std::uint32_t* fetched) override {
    if (count > 0 && !items) return E_POINTER;
    std::uint32_t n = 0;
    for (; n < count && next_ < entries_.size(); ++n) {
      auto* app = new Application(entries_[next_++]);
      items[n] = Variant::Object(app);
      app->Release();
    }
    if (fetched) *fetched = n;
    return n == count ? S_OK : S_FALSE;
  }
  HRESULT Reset() override {
    next_ = 0;
    return S_OK;
  }

 private:
  std::vector<FwAuthorizedApplication> entries_;
  std::size_t next_ = 0;
};

class Applications : public FwObject<INetFwAuthorizedApplications, &IID_INetFwAuthorizedApplications> {
 public:
  HRESULT Remove(const std::u16string& process_image_file_name) override {
    return FwRemoveAuthorizedApplication(Utf16ToFileName(process_image_file_name));
  }
  HRESULT RemoveNamed(const std::vector<std::pair<std::u16string, std::u16string>>& names_and_images) override {
    std::vector<FwAuthorizedApplication> entries(names_and_images.size());
    for (std::size_t i = 0; i < entries.size(); ++i) {
      entries[i].Name = Utf16ToUtf8(names_and_images[i].first);
      entries[i].ProcessImageFileName = Utf16ToFileName(names_and_images[i].second);
    }
    return FwRemoveAuthorizedApplications(entries);
  }
  HRESULT get__NewEnum(IUnknown** enumerator) override {
    if (!enumerator) return E_POINTER;
    *enumerator = nullptr;
    std::vector<FwAuthorizedApplication> entries;
    if (const HRESULT hr = FwGetAuthorizedApplications(&entries); hr < 0) return hr;
    return HandOut(new ApplicationEnumerator(std::move(entries)), IID_IUnknown, reinterpret_cast<void**>(enumerator));
  }
};

class Profile : public FwObject<INetFwProfile, &IID_INetFwProfile> {
 public:
  HRESULT get_FirewallEnabled(VARIANT_BOOL* enabled) override {
    if (!enabled) return E_POINTER;
    bool on = false;
    if (const HRESULT hr = FwGetFirewallEnabled(&on); hr < 0) return hr;
    *enabled = on ? VARIANT_TRUE : VARIANT_FALSE;
    return S_OK;
  }
  HRESULT get_AuthorizedApplications(INetFwAuthorizedApplications** applications) override {
    if (!applications) return E_POINTER;
    return HandOut(new Applications, IID_INetFwAuthorizedApplications, reinterpret_cast<void**>(applications));
  }
};

class Policy : public FwObject<INetFwPolicy, &IID_INetFwPolicy> {
 public:
  HRESULT get_CurrentProfile(INetFwProfile** profile) override {
    if (!profile) return E_POINTER;
    return HandOut(new Profile, IID_INetFwProfile, reinterpret_cast<void**>(profile));
  }
};

class Manager : public FwObject<INetFwMgr, &IID_INetFwMgr> {
 public:
  HRESULT get_LocalPolicy(INetFwPolicy** policy) override {
    if (!policy) return E_POINTER;
    return HandOut(new Policy, IID_INetFwPolicy, reinterpret_cast<void**>(policy));
  }
};

}  // namespace

bool FirewallInstalled() { return FwCreateManager() == kSOk; }

HRESULT CreateFirewallManager(const GUID& iid, void** object) { return HandOut(new Manager, iid, object); }

}  // namespace vt::os
