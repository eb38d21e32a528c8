// Arbitrary bytes as an executable image, in the file-read and file-mapped modes.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "common/ModuleExp.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size) {
  static const std::string path =
      (std::filesystem::temp_directory_path() / ("vt_fuzz_image_" + std::to_string(reinterpret_cast<std::uintptr_t>(&path)))).string();
  {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  }
  for (std::uint8_t mode : {0, 1, 2}) {
    try {
      vt::TModuleExplorer e(path, mode);
      if (std::uint8_t* dir = e.ExportDirectory()) (void)dir[39];
      for (std::uint32_t i = 0; i < 16; ++i) {
        std::uint32_t size_out = 0;
        if (std::uint8_t* p = e.DirectoryData(i, 8, &size_out)) (void)p[7];
      }
      e.SetConsoleSubsystem();
    } catch (const vt::Exception&) {
    }
  }
  return 0;
}
