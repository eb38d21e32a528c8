// Reads its own resources and reports what it finds, one line each; the
// resources are also written into the folder given as the argument.
#include <cstdio>
#include <cstring>
#include <string>

#include "common/Resources.h"
#include "platform/ModuleNames.h"

using namespace vt;

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  const std::string dir = argv[1];
  const os::HMODULE self = os::GetModuleHandle("");
  std::printf("1000 %zu\n", LoadResourceString(self, 1000, os::kRtRcData).size());
  std::printf("1001 %zu\n", LoadResourceString(nullptr, 1001, os::kRtRcData).size());
  std::printf("manifest %zu\n", LoadResourceString(self, 1, os::kRtManifest).size());
  std::printf("named %s\n", LoadResourceString(self, "greeting", "TEXTS").c_str());
  std::printf("empty %zu\n", LoadResourceString(self, 1003, os::kRtRcData).size());
  os::FindResource(self, 4242, os::kRtRcData);
  std::printf("missing name %u\n", os::GetLastError());
  os::FindResource(self, 1, 77);
  std::printf("missing type %u\n", os::GetLastError());
  // Found twice, the data is the same memory: used in place.
  os::HRSRC r = os::FindResource(self, 1000, os::kRtRcData);
  const void* a = os::LockResource(os::LoadResource(self, r));
  const void* b = os::LockResource(os::LoadResource(self, os::FindResource(self, 1000, os::kRtRcData)));
  std::printf("in place %s\n", a != nullptr && a == b ? "yes" : "no");
  std::size_t size = 0;
  const auto* image = static_cast<const std::uint8_t*>(os::GetModuleImage(self, &size));
  if (image != nullptr && size >= 0x40 && image[0] == 'M' && image[1] == 'Z') {
    std::uint32_t nt;
    std::memcpy(&nt, image + 0x3C, 4);
    std::uint16_t subsystem;
    std::memcpy(&subsystem, image + nt + 24 + 68, 2);
    std::printf("subsystem %u aligned %s\n", subsystem, reinterpret_cast<std::uintptr_t>(image) % 16 ? "no" : "yes");
  }
  std::printf("saved mapped %d\n", SaveResourceToFile(self, 1000, os::kRtRcData, 0x20, dir + "/payload.bin") ? 1 : 0);
  std::printf("saved plain %d\n", SaveResourceToFile(self, 1, os::kRtManifest, 0, dir + "/app.manifest") ? 1 : 0);
  std::printf("saved missing %d\n", SaveResourceToFile(self, 999, os::kRtRcData, 0x20, dir + "/missing.bin") ? 1 : 0);
  return 0;
}
