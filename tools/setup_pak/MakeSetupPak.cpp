// vt_make_setup_pak: makes a setup package "Setup.pak" for a bootstrapper:
// a stand-alone setup packet followed by the bytes of the inner setup
// program, and the matching setup metadata (size of the program, then the
// compressed flag byte).
//
//   vt_make_setup_pak SETUP_EXE OUT_PAK [--metadata FILE FLAG]...
//                     [--caption TEXT | --no-info] [--file NAME PATH]...
//
// The package holds an "info.dat" entry (a product-information packet with
// the caption, "Vontaro" unless given) unless --no-info, then each --file
// entry in order.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <iterator>
#include <new>
#include <string>
#include <vector>

#include "bootstrapper/SetupPackets.h"
#include "common/FileStreams.h"
#include "common/ProductInformation.h"
#include "common/Units.h"
#include "platform/LastError.h"

namespace {

[[noreturn]] void Fail(const std::string& message) {
  std::cerr << "vt_make_setup_pak: " << message << "\n";
  std::exit(1);
}

std::string ReadFile(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  if (!f) Fail("cannot read " + path);
  return std::string(std::istreambuf_iterator<char>(f), {});
}

void WriteFile(const std::string& path, const std::string& data) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f.write(data.data(), static_cast<std::streamsize>(data.size()));
  f.close();
  if (!f) Fail("cannot write " + path);
}

void AddFile(vt::TSetupPacket& setup, const std::string& name, const std::string& content) {
  vt::TSetupFilePacket& file = setup.Files.AddNew();
  file.Filename = name;
  file.Description = name;
  file.Content.WriteBuffer(content.data(), static_cast<std::int64_t>(content.size()));
}

int Run(int argc, char** argv) {
  if (argc < 3)
    Fail("usage: vt_make_setup_pak SETUP_EXE OUT_PAK [--metadata FILE FLAG]... [--caption TEXT | --no-info] "
         "[--file NAME PATH]...");
  static const vt::UnitEntry units[] = {vt::kPacketsUnit, vt::kProductInformationUnit, vt::kSetupPacketsUnit};
  vt::InitializeUnits(units);

  const std::string exe = ReadFile(argv[1]);
  if (exe.empty() || exe.size() > 0x7FFFFFFFu) Fail("bad setup program size");
  const std::string out = argv[2];
  std::vector<std::pair<std::string, char>> metadata;
  std::vector<std::pair<std::string, std::string>> files;
  std::string caption = "Vontaro";
  bool info = true;
  for (int i = 3; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--metadata" && i + 2 < argc) {
      metadata.emplace_back(argv[i + 1], static_cast<char>(std::atoi(argv[i + 2])));
      i += 2;
    } else if (a == "--caption" && i + 1 < argc) {
      caption = argv[++i];
    } else if (a == "--no-info") {
      info = false;
    } else if (a == "--file" && i + 2 < argc) {
      files.emplace_back(argv[i + 1], ReadFile(argv[i + 2]));
      i += 2;
    } else {
      Fail("unknown argument " + a);
    }
  }

  vt::TSetupPacket setup;
  setup.Version = 1;
  setup.SetupDateTime = 46023.5;  // 2026-01-01 12:00, fixed for repeatable builds
  setup.ProductCaption = caption;
  if (info) {
    vt::TProductInformationPacket product;
    product.ProductCaption = caption;
    vt::TVirtualStream s(0);
    vt::SavePacket(product, s);
    AddFile(setup, "info.dat", std::string(static_cast<const char*>(s.Memory()), static_cast<size_t>(s.Size())));
  }
  for (const auto& [name, content] : files) AddFile(setup, name, content);

  vt::TVirtualStream pak(0);
  vt::SavePacket(setup, pak);
  pak.WriteBuffer(exe.data(), static_cast<std::int64_t>(exe.size()));
  vt::SaveStreamToFile(pak, out, 0, 0);

  const std::uint32_t size = static_cast<std::uint32_t>(exe.size());
  for (const auto& [file, flag] : metadata) {
    std::string m;
    for (int b = 0; b < 4; ++b) m += static_cast<char>((size >> (8 * b)) & 0xFF);
    m += flag;
    WriteFile(file, m);
  }
  vt::FinalizeUnits();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return Run(argc, argv);
  } catch (const std::bad_alloc&) {
    std::fprintf(stderr, "vt_make_setup_pak: %s\n", vt::os::kNotEnoughMemoryText);
    return 1;
  }
}
