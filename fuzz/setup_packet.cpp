// Arbitrary bytes as a setup package file.
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>

#include "bootstrapper/SetupPackets.h"
#include "common/ProductInformation.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size) {
  static const bool registered = [] {
    static const vt::UnitEntry units[] = {vt::kPacketsUnit, vt::kProductInformationUnit, vt::kSetupPacketsUnit};
    vt::InitializeUnits(units);
    return true;
  }();
  (void)registered;
  static const std::string path =
      (std::filesystem::temp_directory_path() / ("vt_fuzz_setup_" + std::to_string(reinterpret_cast<std::uintptr_t>(&path)))).string();
  {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  }
  try {
    auto packet = vt::LoadSetupPacketFromFile(path, 0);
    (void)vt::IndexOfSetupFile(packet->Files, "info.dat", false);
  } catch (const vt::Exception&) {
  }
  return 0;
}
