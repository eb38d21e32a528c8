#include "platform/Com.h"

#include <mutex>
#include <vector>

#include "platform/Firewall.h"
#include "platform/ForkLocks.h"

namespace vt::os {

std::mutex& detail::ComClassesLock() {
  static std::mutex* m = detail::NewForkHeldLock();
  return *m;
}

const GUID IID_IUnknown = {0x00000000, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
const GUID IID_IDispatch = {0x00020400, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
const GUID IID_IEnumVARIANT = {0x00020404, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

namespace {

std::atomic<int> g_live_objects{0};
thread_local int t_com_count = 0;

struct Registration {
  GUID clsid;
  ClassFactory factory;
};
std::vector<Registration> g_classes;

// The system's own classes, present while the service behind them is.
struct SystemClass {
  const GUID* clsid;
  bool (*present)();
  ClassFactory factory;
};
const SystemClass kSystemClasses[] = {
    {&CLSID_NetFwMgr, &FirewallInstalled, &CreateFirewallManager},
};

ClassFactory FindClass(const GUID& clsid) {
  {
    std::lock_guard<std::mutex> lock(detail::ComClassesLock());
    for (const Registration& r : g_classes)
      if (r.clsid == clsid) return r.factory;
  }
  for (const SystemClass& c : kSystemClasses)
    if (*c.clsid == clsid && c.present()) return c.factory;
  return nullptr;
}

}  // namespace

Variant Variant::Int(std::int32_t v) {
  Variant r;
  r.type_ = kI4;
  r.int_ = v;
  return r;
}

Variant Variant::Bool(bool v) {
  Variant r;
  r.type_ = kBool;
  r.int_ = v ? 1 : 0;
  return r;
}

Variant Variant::String(std::u16string v) {
  Variant r;
  r.type_ = kBstr;
  r.string_ = std::move(v);
  return r;
}

Variant Variant::Object(IUnknown* object, Type type) {
  Variant r;
  r.type_ = type;
  if (object) object->AddRef();
  r.object_ = ComPtr<IUnknown>::Attach(object);
  return r;
}

HRESULT Variant::ToInt(std::int32_t* v) const {
  if (type_ != kI4 && type_ != kBool) return DISP_E_TYPEMISMATCH;
  // A true Boolean reads as -1, as the system's conversion gives it.
  *v = type_ == kBool && int_ ? -1 : int_;
  return S_OK;
}

HRESULT Variant::ToBool(bool* v) const {
  if (type_ != kI4 && type_ != kBool) return DISP_E_TYPEMISMATCH;
  *v = int_ != 0;
  return S_OK;
}

HRESULT Variant::ToString(std::u16string* v) const {
  if (type_ != kBstr) return DISP_E_TYPEMISMATCH;
  *v = string_;
  return S_OK;
}

HRESULT GetDispatchProperty(IDispatch* object, const std::u16string& name, Variant* value) {
  if (!object || !value) return E_POINTER;
  DISPID id = 0;
  if (const HRESULT hr = object->GetIDsOfNames(name, &id); hr < 0) return hr;
  return object->Invoke(id, DISPATCH_PROPERTYGET, nullptr, 0, value);
}

HRESULT CoInitialize(void* reserved) {
  (void)reserved;
  return t_com_count++ == 0 ? S_OK : S_FALSE;
}

void CoUninitialize() {
  if (t_com_count > 0) --t_com_count;
}

int CoInitializeCount() { return t_com_count; }

HRESULT CoCreateInstance(const GUID& clsid, IUnknown* outer, DWORD context, const GUID& iid, void** object) {
  if (!object) return E_POINTER;
  *object = nullptr;
  if (t_com_count == 0) return CO_E_NOTINITIALIZED;
  // Every class here is served in-process.
  if (!(context & (CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER))) return REGDB_E_CLASSNOTREG;
  const ClassFactory factory = FindClass(clsid);
  if (!factory) return REGDB_E_CLASSNOTREG;
  if (outer) return CLASS_E_NOAGGREGATION;
  return factory(iid, object);
}

HRESULT CoRegisterClass(const GUID& clsid, ClassFactory factory) {
  if (!factory) return E_INVALIDARG;
  std::lock_guard<std::mutex> lock(detail::ComClassesLock());
  for (const Registration& r : g_classes)
    if (r.clsid == clsid) return CO_E_OBJISREG;
  g_classes.push_back({clsid, factory});
  return S_OK;
}

HRESULT CoRevokeClass(const GUID& clsid) {
  std::lock_guard<std::mutex> lock(detail::ComClassesLock());
  for (auto it = g_classes.begin(); it != g_classes.end(); ++it)
    if (it->clsid == clsid) {
      g_classes.erase(it);
      return S_OK;
    }
  return E_INVALIDARG;
}

ComObject::ComObject() { ++g_live_objects; }
ComObject::~ComObject() { --g_live_objects; }

std::uint32_t ComObject::ReleaseObject() {
  const std::uint32_t left = --refs_;
  if (left == 0) delete this;
  return left;
}

int LiveComObjects() { return g_live_objects.load(); }

}  // namespace vt::os
