#include "platform/Shell.h"

#include <atomic>
#include <cstdlib>

namespace vt::os {

void* ShellAlloc(std::size_t size) { return std::calloc(size ? size : 1, 1); }

void ShellFree(void* memory) { std::free(memory); }

HRESULT SHGetSpecialFolderLocation(std::uintptr_t hwnd, int csidl, ItemIdList** list) {
  (void)hwnd;
  if (!list) return E_INVALIDARG;
  *list = nullptr;
  if (csidl != CSIDL_DESKTOP) return E_NOTIMPL;
  auto* p = static_cast<ItemIdList*>(ShellAlloc(2));  // the empty list: one zero count
  if (!p) return E_OUTOFMEMORY;
  *list = p;
  return S_OK;
}

namespace {

class DesktopFolder final : public IShellFolder {
 public:
  std::uint32_t AddRef() override { return ++refs_; }
  std::uint32_t Release() override {
    std::uint32_t n = --refs_;
    if (n == 0) delete this;
    return n;
  }

 private:
  std::atomic<std::uint32_t> refs_{1};
};

thread_local int ole_count = 0;

}  // namespace

HRESULT SHGetDesktopFolder(IShellFolder** folder) {
  if (!folder) return E_INVALIDARG;
  *folder = new DesktopFolder;
  return S_OK;
}

HRESULT OleInitialize(void* reserved) {
  (void)reserved;
  CoInitialize(nullptr);
  return ole_count++ == 0 ? S_OK : S_FALSE;
}

void OleUninitialize() {
  if (ole_count == 0) return;
  --ole_count;
  CoUninitialize();
}

int OleInitializeCount() { return ole_count; }

}  // namespace vt::os
