// Component objects: per-thread initialisation, the class table, interfaces
// by id, reference counts and properties read by name.
#include <gtest/gtest.h>

#include <thread>

#include "platform/Com.h"
#include "platform/Shell.h"

namespace vt::os {
namespace {

const GUID kClass = {0x1D2A4C61, 0x3B0E, 0x4F5A, {0x9A, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77}};
const GUID kOtherClass = {0x1D2A4C61, 0x3B0E, 0x4F5A, {0x9A, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x78}};

// An object with one property, "Answer".
class Answer : public IDispatch, public ComObject {
 public:
  HRESULT QueryInterface(const GUID& iid, void** object) override {
    if (iid == IID_IUnknown || iid == IID_IDispatch) {
      AddRef();
      *object = static_cast<IDispatch*>(this);
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  std::uint32_t AddRef() override { return AddRefObject(); }
  std::uint32_t Release() override { return ReleaseObject(); }
  HRESULT GetIDsOfNames(const std::u16string& name, DISPID* id) override {
    if (name != u"Answer") return DISP_E_UNKNOWNNAME;
    *id = 7;
    return S_OK;
  }
  HRESULT Invoke(DISPID id, std::uint16_t flags, const Variant*, std::uint32_t, Variant* result) override {
    if (id != 7 || !(flags & DISPATCH_PROPERTYGET)) return DISP_E_MEMBERNOTFOUND;
    *result = Variant::Int(42);
    return S_OK;
  }
};

HRESULT CreateAnswer(const GUID& iid, void** object) {
  auto* a = new Answer;
  const HRESULT hr = a->QueryInterface(iid, object);
  a->Release();
  return hr;
}

TEST(Com, InitialisationIsCountedPerThread) {
  EXPECT_EQ(CoInitialize(nullptr), S_OK);
  EXPECT_EQ(CoInitialize(nullptr), S_FALSE);
  std::thread([] { EXPECT_EQ(CoInitializeCount(), 0); }).join();
  // OLE initialises the thread's component objects too.
  EXPECT_EQ(OleInitialize(nullptr), S_OK);
  EXPECT_EQ(CoInitializeCount(), 3);
  OleUninitialize();
  CoUninitialize();
  CoUninitialize();
  CoUninitialize();  // one too many does nothing
  EXPECT_EQ(CoInitializeCount(), 0);
}

TEST(Com, CreationAnswersTheSystemsResultCodes) {
  void* object = &object;
  const int live = LiveComObjects();
  EXPECT_EQ(CoCreateInstance(kClass, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, &object), CO_E_NOTINITIALIZED);
  EXPECT_EQ(object, nullptr);
  ASSERT_EQ(CoInitialize(nullptr), S_OK);
  EXPECT_EQ(CoCreateInstance(kClass, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, &object), REGDB_E_CLASSNOTREG);

  ASSERT_EQ(CoRegisterClass(kClass, &CreateAnswer), S_OK);
  EXPECT_EQ(CoRegisterClass(kClass, &CreateAnswer), CO_E_OBJISREG);
  EXPECT_EQ(CoCreateInstance(kClass, nullptr, CLSCTX_INPROC_SERVER, IID_IEnumVARIANT, &object), E_NOINTERFACE);
  EXPECT_EQ(object, nullptr);
  ComPtr<IUnknown> outer;
  EXPECT_EQ(CoCreateInstance(kOtherClass, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, outer.PutVoid()),
            REGDB_E_CLASSNOTREG);
  EXPECT_EQ(LiveComObjects(), live);

  {
    ComPtr<IUnknown> unknown;
    ASSERT_EQ(CoCreateInstance(kClass, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, unknown.PutVoid()), S_OK);
    EXPECT_EQ(CoCreateInstance(kClass, unknown.Get(), CLSCTX_INPROC_SERVER, IID_IUnknown, &object),
              CLASS_E_NOAGGREGATION);
    ComPtr<IDispatch> dispatch;
    ASSERT_EQ(unknown.As(IID_IDispatch, dispatch), S_OK);
    EXPECT_EQ(LiveComObjects(), live + 1);
    Variant value;
    ASSERT_EQ(GetDispatchProperty(dispatch.Get(), u"Answer", &value), S_OK);
    std::int32_t n = 0;
    std::u16string text;
    EXPECT_TRUE(value.ToInt(&n) == S_OK && n == 42);
    EXPECT_EQ(value.ToString(&text), DISP_E_TYPEMISMATCH);
    EXPECT_EQ(GetDispatchProperty(dispatch.Get(), u"Question", &value), DISP_E_UNKNOWNNAME);
    // A value holding the object keeps it alive.
    const Variant held = Variant::Object(dispatch.Get());
    dispatch.Reset();
    unknown.Reset();
    EXPECT_EQ(LiveComObjects(), live + 1);
  }
  EXPECT_EQ(LiveComObjects(), live);
  EXPECT_EQ(CoRevokeClass(kClass), S_OK);
  EXPECT_EQ(CoRevokeClass(kClass), E_INVALIDARG);
  CoUninitialize();
}

}  // namespace
}  // namespace vt::os
