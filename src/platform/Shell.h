// Shell namespace and OLE start-up, emulated in-process.
//
// Item-ID lists are byte sequences of items, each beginning with its 16-bit
// byte count (count included), ended by a zero count. Memory of item-ID
// lists comes from the shell allocator (ShellAlloc/ShellFree). The desktop
// is the root folder; its location is the empty list.
#pragma once

#include <cstdint>

#include "platform/Com.h"
#include "platform/LastError.h"

namespace vt::os {

constexpr int CSIDL_DESKTOP = 0;

using ItemIdList = std::uint8_t;  // an item-ID list is addressed as ItemIdList*

// The shell allocator: zero-filled memory, null when out of memory.
void* ShellAlloc(std::size_t size);
void ShellFree(void* memory);

// The location of a special folder; only the desktop is known here.
HRESULT SHGetSpecialFolderLocation(std::uintptr_t hwnd, int csidl, ItemIdList** list);

// A shell folder; reference-counted, released with Release.
class IShellFolder {
 public:
  virtual std::uint32_t AddRef() = 0;
  virtual std::uint32_t Release() = 0;

 protected:
  virtual ~IShellFolder() = default;
};
HRESULT SHGetDesktopFolder(IShellFolder** folder);

// OLE for the calling thread: S_OK for the first call, S_FALSE for nested
// ones; every successful call is balanced by OleUninitialize. It also
// initialises the thread's component objects (CoInitialize).
HRESULT OleInitialize(void* reserved);
void OleUninitialize();
int OleInitializeCount();  // the calling thread's count

}  // namespace vt::os
