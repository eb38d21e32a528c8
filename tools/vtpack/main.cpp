// vtpack: appends resources to a program file (layout in
// src/platform/ResourceFormat.h).
//
//   vtpack PROGRAM [-o OUTPUT] [--subsystem console|windows|N]
//                  [--add TYPE ID FILE]... [--strings FILE]... [--list]
//
// TYPE is RCDATA, MANIFEST, a number below 65536 or a name; ID a number or a
// name. Resources the program already carries are kept unless replaced by
// one of the same type and identifier. --subsystem stores the executable
// header image with that subsystem (console = 3, windows = 2). Without -o
// the program is rewritten in place. --strings adds a string table: FILE
// holds lines "ID TEXT" (ID below 65536, TEXT in UTF-8 up to the line's end);
// they become the string blocks (type 6, block ID / 16 + 1, sixteen
// counted UTF-16 strings each) that hold them.
#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <map>
#include <new>
#include <string>
#include <vector>

#include "platform/LastError.h"
#include "platform/ResourceFormat.h"
#include "platform/Utf.h"

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

// The string blocks of a string-table file.
std::vector<rsrc::NewResource> StringBlocks(const std::string& path) {
  const Bytes text = ReadFile(path);
  std::map<std::uint32_t, std::array<std::u16string, 16>> blocks;
  std::string line;
  for (std::size_t at = 0; at <= text.size(); ++at) {
    if (at < text.size() && text[at] != '\n') {
      line += static_cast<char>(text[at]);
      continue;
    }
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty()) {
      const std::size_t space = line.find_first_of(" \t");
      const std::string id_text = line.substr(0, space);
      char* end = nullptr;
      const unsigned long id = std::strtoul(id_text.c_str(), &end, 10);
      if (id_text.empty() || *end != '\0' || id > 0xFFFF || space == std::string::npos)
        Fail("bad string-table line in " + path + ": " + line);
      std::u16string value = vt::os::Utf8ToUtf16(std::string_view(line).substr(space + 1));
      if (value.size() > 0xFFFF) Fail("string too long in " + path);
      blocks[static_cast<std::uint32_t>(id / 16 + 1)][id % 16] = std::move(value);
    }
    line.clear();
  }
  std::vector<rsrc::NewResource> out;
  for (const auto& [block, strings] : blocks) {
    Bytes data;
    for (const std::u16string& s : strings) {
      data.push_back(static_cast<std::uint8_t>(s.size()));
      data.push_back(static_cast<std::uint8_t>(s.size() >> 8));
      for (char16_t c : s) {
        data.push_back(static_cast<std::uint8_t>(c));
        data.push_back(static_cast<std::uint8_t>(c >> 8));
      }
    }
    out.push_back({rsrc::IdKey(6), rsrc::IdKey(block), std::move(data)});
  }
  return out;
}

[[noreturn]] void Usage() {
  Fail("usage: vtpack PROGRAM [-o OUTPUT] [--subsystem console|windows|N] [--add TYPE ID FILE]... "
       "[--strings FILE]... [--list]");
}

int Run(int argc, char** argv) {
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
    } else if (a == "--strings" && i + 1 < argc) {
      for (auto& block : StringBlocks(argv[++i])) adds.push_back(std::move(block));
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

}  // namespace

int main(int argc, char** argv) {
  try {
    return Run(argc, argv);
  } catch (const std::bad_alloc&) {
    std::fprintf(stderr, "vtpack: %s\n", vt::os::kNotEnoughMemoryText);
    return 1;
  }
}
