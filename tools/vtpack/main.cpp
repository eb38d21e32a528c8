// vtpack: appends resources to a program file (layout in
// src/platform/ResourceFormat.h).
//
//   vtpack PROGRAM [-o OUTPUT] [--subsystem console|windows|N]
//                  [--add TYPE ID FILE]... [--list]
//
// TYPE is RCDATA, MANIFEST, a number below 65536 or a name; ID a number or a
// name. Resources the program already carries are kept unless replaced by
// one of the same type and identifier. --subsystem stores the executable
// header image with that subsystem (console = 3, windows = 2). Without -o
// the program is rewritten in place.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <vector>

#include "platform/ResourceFormat.h"

namespace {

namespace rsrc = vt::os::rsrc;
using Bytes = std::vector<std::uint8_t>;

[[noreturn]] void Fail(const std::string& message) {
  std::cerr << "vtpack: " << message << "\n";
  std::exit(1);
}

Bytes ReadFile(const std::string& path) {
  std::ifstream f(path, std::ios::binary | std::ios::ate);
  if (!f) Fail("cannot read " + path);
  const std::streamoff size = f.tellg();
  if (size < 0) Fail("cannot read " + path);
  Bytes data(static_cast<size_t>(size));
  f.seekg(0);
  if (!f.read(reinterpret_cast<char*>(data.data()), size)) Fail("cannot read " + path);
  return data;
}

std::string TypeKey(const std::string& text) {
  if (text == "RCDATA" || text == "rcdata") return rsrc::IdKey(rsrc::kTypeRcData);
  if (text == "MANIFEST" || text == "manifest") return rsrc::IdKey(rsrc::kTypeManifest);
  return rsrc::TextKey(text);
}

[[noreturn]] void Usage() {
  Fail("usage: vtpack PROGRAM [-o OUTPUT] [--subsystem console|windows|N] [--add TYPE ID FILE]... [--list]");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) Usage();
  const std::string program = argv[1];
  std::string output = program;
  std::vector<rsrc::NewResource> adds;
  int subsystem = -1;
  bool list = false;
  for (int i = 2; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "-o" && i + 1 < argc) {
      output = argv[++i];
    } else if (a == "--subsystem" && i + 1 < argc) {
      const std::string s = argv[++i];
      subsystem = s == "console" ? 3 : s == "windows" ? 2 : std::atoi(s.c_str());
      if (subsystem <= 0 || subsystem > 0xFFFF) Fail("bad subsystem " + s);
    } else if (a == "--add" && i + 3 < argc) {
      rsrc::NewResource r{TypeKey(argv[i + 1]), rsrc::TextKey(argv[i + 2]), ReadFile(argv[i + 3])};
      if (r.type.empty() || r.name.empty() || r.type.size() > rsrc::kMaxKeyLength ||
          r.name.size() > rsrc::kMaxKeyLength)
        Fail("bad resource type or name");
      if (r.data.size() > 0xFFFFFFFFu) Fail(std::string("resource too large: ") + argv[i + 3]);
      adds.push_back(std::move(r));
      i += 3;
    } else if (a == "--list") {
      list = true;
    } else {
      Usage();
    }
  }

  Bytes file = ReadFile(program);
  std::vector<rsrc::NewResource> resources;
  std::vector<rsrc::Entry> entries;
  std::uint64_t start = 0;
  if (rsrc::ParseDirectory(file.data(), file.size(), entries, start)) {
    for (const auto& e : entries)
      resources.push_back({e.type, e.name, Bytes(file.begin() + static_cast<long>(e.offset),
                                                  file.begin() + static_cast<long>(e.offset + e.size))});
    file.resize(start);
  }
  if (subsystem > 0)
    adds.push_back({rsrc::IdKey(rsrc::kTypeImageHeader), rsrc::IdKey(rsrc::kImageHeaderId),
                    rsrc::BuildImageHeader(static_cast<std::uint16_t>(subsystem))});
  for (auto& add : adds) {
    auto same = [&](const rsrc::NewResource& r) { return r.type == add.type && r.name == add.name; };
    resources.erase(std::remove_if(resources.begin(), resources.end(), same), resources.end());
    resources.push_back(std::move(add));
  }
  if (list) {
    for (const auto& r : resources) std::cout << r.type << "\t" << r.name << "\t" << r.data.size() << "\n";
    if (adds.empty() && output == program) return 0;
  }
  if (!resources.empty()) rsrc::AppendResources(file, resources);

  namespace fs = std::filesystem;
  const std::string temp = output + ".vtpack-tmp";
  {
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(file.data()), static_cast<std::streamsize>(file.size()));
    if (!out.flush()) Fail("cannot write " + temp);
  }
  std::error_code ec;
  fs::permissions(temp, fs::status(program).permissions(), ec);
  fs::rename(temp, output, ec);
  if (ec) {
    fs::remove(temp);
    Fail("cannot replace " + output + ": " + ec.message());
  }
  return 0;
}
