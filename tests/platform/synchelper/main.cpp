// Helper process for the named-object tests. Commands:
//   set-event NAME                 open the event and set it
//   wait-event NAME MS             open the event and wait: exit 0 signalled, 1 time-out
//   create-event NAME              create (or open) an event: exit 183 when it existed, else 0
//   leave-event NAME               create a signalled event and exit without closing it
//   hold-mutex NAME READY          own the mutex, set event READY, end without releasing
//   section NAME                   open the session-style section and write 'B' to byte 1
// Any failure exits with 100 + the last error (bounded).
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/Section.h"
#include "platform/Sync.h"

using namespace vt::os;

namespace {
[[noreturn]] void Fail() { std::_Exit(100 + static_cast<int>(GetLastError() % 100)); }
}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return 99;
  std::string cmd = argv[1], name = argv[2];
  if (cmd == "set-event") {
    HANDLE h = OpenEventA(name);
    if (!h || !SetEvent(h)) Fail();
    return 0;
  }
  if (cmd == "wait-event" && argc > 3) {
    HANDLE h = OpenEventA(name);
    if (!h) Fail();
    DWORD r = WaitForSingleObject(h, static_cast<DWORD>(std::atoi(argv[3])));
    return r == kWaitObject0 ? 0 : r == kWaitTimeout ? 1 : 2;
  }
  if (cmd == "create-event") {
    HANDLE h = CreateEventA(nullptr, true, false, name);
    if (!h) Fail();
    int code = GetLastError() == kErrorAlreadyExists ? 183 : 0;
    CloseHandle(h);
    return code;
  }
  if (cmd == "leave-event") {
    if (!CreateEventA(nullptr, true, true, name)) Fail();
    std::_Exit(0);
  }
  if (cmd == "hold-mutex" && argc > 3) {
    HANDLE m = CreateMutexA(nullptr, false, name);
    if (!m || WaitForSingleObject(m, 5000) != kWaitObject0) Fail();
    HANDLE ready = OpenEventA(argv[3]);
    if (!ready || !SetEvent(ready)) Fail();
    std::_Exit(0);  // the mutex is abandoned
  }
  if (cmd == "section") {
    HANDLE s = 0;
    NTSTATUS st = NtCreateSectionNamed(name, 72, true, &s);
    if (st != kStatusObjectNameExists) return 3;
    std::uint64_t size = 0;
    auto* view = static_cast<char*>(MapSectionView(s, &size));
    if (!view || size != 72) Fail();
    view[1] = 'B';
    return 0;
  }
  return 99;
}
