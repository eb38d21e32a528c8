// Component objects of our own: initialisation per thread, a class table
// (class id -> factory), reference-counted interfaces found by interface id,
// late-bound access to properties by name, and answers as HRESULTs.
//
// Classes are registered by the program (CoRegisterClass) or are the
// system's own: the firewall manager (CLSID_NetFwMgr, Firewall.h) exists
// while a firewall store does.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <utility>

#include "platform/LastError.h"

namespace vt::os {

constexpr HRESULT S_OK = 0;
constexpr HRESULT S_FALSE = 1;
constexpr HRESULT E_NOTIMPL = static_cast<HRESULT>(0x80004001u);
constexpr HRESULT E_NOINTERFACE = static_cast<HRESULT>(0x80004002u);
constexpr HRESULT E_POINTER = static_cast<HRESULT>(0x80004003u);
constexpr HRESULT E_FAIL = static_cast<HRESULT>(0x80004005u);
constexpr HRESULT E_UNEXPECTED = static_cast<HRESULT>(0x8000FFFFu);
constexpr HRESULT E_OUTOFMEMORY = static_cast<HRESULT>(0x8007000Eu);
constexpr HRESULT E_INVALIDARG = static_cast<HRESULT>(0x80070057u);
constexpr HRESULT DISP_E_MEMBERNOTFOUND = static_cast<HRESULT>(0x80020003u);
constexpr HRESULT DISP_E_TYPEMISMATCH = static_cast<HRESULT>(0x80020005u);
constexpr HRESULT DISP_E_UNKNOWNNAME = static_cast<HRESULT>(0x80020006u);
constexpr HRESULT CLASS_E_NOAGGREGATION = static_cast<HRESULT>(0x80040110u);
constexpr HRESULT REGDB_E_CLASSNOTREG = static_cast<HRESULT>(0x80040154u);
constexpr HRESULT CO_E_NOTINITIALIZED = static_cast<HRESULT>(0x800401F0u);
constexpr HRESULT CO_E_OBJISREG = static_cast<HRESULT>(0x800401FCu);

constexpr DWORD CLSCTX_INPROC_SERVER = 1;
constexpr DWORD CLSCTX_LOCAL_SERVER = 4;

struct GUID {
  std::uint32_t Data1;
  std::uint16_t Data2, Data3;
  std::uint8_t Data4[8];
  friend bool operator==(const GUID&, const GUID&) = default;
};
static_assert(sizeof(GUID) == 16);

extern const GUID IID_IUnknown;
extern const GUID IID_IDispatch;
extern const GUID IID_IEnumVARIANT;

class IUnknown {
 public:
  // S_OK with a new reference, or E_NOINTERFACE and null.
  virtual HRESULT QueryInterface(const GUID& iid, void** object) = 0;
  virtual std::uint32_t AddRef() = 0;
  virtual std::uint32_t Release() = 0;

 protected:
  ~IUnknown() = default;
};

// An interface reference that releases what it holds.
template <typename T>
class ComPtr {
 public:
  ComPtr() = default;
  ComPtr(std::nullptr_t) {}
  ComPtr(const ComPtr& other) : p_(other.p_) {
    if (p_) p_->AddRef();
  }
  ComPtr(ComPtr&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
  ComPtr& operator=(ComPtr other) noexcept {
    std::swap(p_, other.p_);
    return *this;
  }
  ~ComPtr() { Reset(); }

  // Takes over a reference the caller owns.
  static ComPtr Attach(T* p) {
    ComPtr r;
    r.p_ = p;
    return r;
  }
  void Reset() {
    if (T* p = std::exchange(p_, nullptr)) p->Release();
  }
  // The slot an out parameter fills (what it held is released first).
  T** Put() {
    Reset();
    return &p_;
  }
  void** PutVoid() { return reinterpret_cast<void**>(Put()); }
  T* Get() const { return p_; }
  T* operator->() const { return p_; }
  explicit operator bool() const { return p_ != nullptr; }

  // The same object under another interface.
  template <typename U>
  HRESULT As(const GUID& iid, ComPtr<U>& out) const {
    if (!p_) return E_POINTER;
    return p_->QueryInterface(iid, out.PutVoid());
  }

 private:
  T* p_ = nullptr;
};

// A value of late-bound access.
class Variant {
 public:
  enum Type : std::uint16_t { kEmpty = 0, kI4 = 3, kBstr = 8, kDispatch = 9, kBool = 11, kUnknown = 13 };

  Variant() = default;
  static Variant Int(std::int32_t v);
  static Variant Bool(bool v);
  static Variant String(std::u16string v);
  // Holds its own reference to the object.
  static Variant Object(IUnknown* object, Type type = kDispatch);

  Type type() const { return type_; }
  // S_OK, or DISP_E_TYPEMISMATCH when the value is not of that kind
  // (integers and Booleans convert to each other).
  HRESULT ToInt(std::int32_t* v) const;
  HRESULT ToBool(bool* v) const;
  HRESULT ToString(std::u16string* v) const;
  IUnknown* object() const { return object_.Get(); }

 private:
  Type type_ = kEmpty;
  std::int32_t int_ = 0;
  std::u16string string_;
  ComPtr<IUnknown> object_;
};

constexpr std::uint16_t DISPATCH_METHOD = 1;
constexpr std::uint16_t DISPATCH_PROPERTYGET = 2;
using DISPID = std::int32_t;

class IDispatch : public IUnknown {
 public:
  // DISP_E_UNKNOWNNAME for a name the object does not have (compared
  // without regard to ASCII case).
  virtual HRESULT GetIDsOfNames(const std::u16string& name, DISPID* id) = 0;
  // DISP_E_MEMBERNOTFOUND for an unknown id or a kind of call the member
  // does not take.
  virtual HRESULT Invoke(DISPID id, std::uint16_t flags, const Variant* args, std::uint32_t arg_count,
                         Variant* result) = 0;

 protected:
  ~IDispatch() = default;
};

class IEnumVARIANT : public IUnknown {
 public:
  // S_OK when count items were fetched, S_FALSE when fewer were left.
  virtual HRESULT Next(std::uint32_t count, Variant* items, std::uint32_t* fetched) = 0;
  virtual HRESULT Reset() = 0;

 protected:
  ~IEnumVARIANT() = default;
};

// A property read by name: GetIDsOfNames, then Invoke as a property get.
HRESULT GetDispatchProperty(IDispatch* object, const std::u16string& name, Variant* value);

// Initialisation of the calling thread: S_OK for the first call, S_FALSE
// for nested ones; every successful call is balanced by CoUninitialize.
HRESULT CoInitialize(void* reserved);
void CoUninitialize();
int CoInitializeCount();  // the calling thread's count

// Creates an object of the class asking for iid (the thread must be
// initialised): REGDB_E_CLASSNOTREG for an unknown class, E_NOINTERFACE when
// the object has no such interface, CLASS_E_NOAGGREGATION for an outer
// object.
using ClassFactory = HRESULT (*)(const GUID& iid, void** object);
HRESULT CoCreateInstance(const GUID& clsid, IUnknown* outer, DWORD context, const GUID& iid, void** object);
// CO_E_OBJISREG when the class is registered already.
HRESULT CoRegisterClass(const GUID& clsid, ClassFactory factory);
HRESULT CoRevokeClass(const GUID& clsid);

// The base of the layer's objects: one reference at creation, destroyed
// with the last. Objects alive are counted.
class ComObject {
 public:
  ComObject();
  ComObject(const ComObject&) = delete;
  ComObject& operator=(const ComObject&) = delete;

 protected:
  virtual ~ComObject();
  std::uint32_t AddRefObject() { return ++refs_; }
  std::uint32_t ReleaseObject();

 private:
  std::atomic<std::uint32_t> refs_{1};
};
int LiveComObjects();

}  // namespace vt::os
