// vt_pewrap <input ELF> <output PE> <subsystem 2|3>
// Writes a minimal valid PE32 image (one section, the given subsystem),
// followed by the ELF program and the trailer that locates it.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <new>
#include <string>
#include <vector>

#include "platform/LastError.h"
#include "platform/PeExec.h"
#include "platform/ResourceFormat.h"

namespace {

constexpr std::uint64_t kMaxInput = 1ull << 32;

// The packaging tool's header image (file alignment 0x200, section alignment
// 0x1000) with one code section holding a single "ret".
std::vector<std::uint8_t> MakeImage(std::uint16_t subsystem) {
  namespace rsrc = vt::os::rsrc;
  std::vector<std::uint8_t> b = rsrc::BuildImageHeader(subsystem);
  auto put = [&b](std::size_t at, std::uint64_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
  };
  const std::size_t nt = static_cast<std::size_t>(rsrc::GetLE(b.data() + 0x3C, 4));
  const std::size_t opt = nt + 24;
  const std::size_t section = opt + rsrc::GetLE(b.data() + nt + 20, 2);
  const std::uint32_t file_align = static_cast<std::uint32_t>(rsrc::GetLE(b.data() + opt + 36, 4));
  const std::uint32_t code_rva = static_cast<std::uint32_t>(rsrc::GetLE(b.data() + opt + 16, 4));
  put(nt + 6, 1, 2);                    // NumberOfSections
  put(nt + 22, 0x0103, 2);              // RELOCS_STRIPPED | EXECUTABLE_IMAGE | 32BIT_MACHINE
  put(opt + 4, file_align, 4);          // SizeOfCode
  put(opt + 20, code_rva, 4);           // BaseOfCode
  put(opt + 24, 2 * code_rva, 4);       // BaseOfData
  put(opt + 56, 2 * code_rva, 4);       // SizeOfImage
  std::memcpy(b.data() + section, ".text\0\0\0", 8);
  put(section + 8, 1, 4);               // VirtualSize
  put(section + 12, code_rva, 4);       // VirtualAddress
  put(section + 16, file_align, 4);     // SizeOfRawData
  put(section + 20, b.size(), 4);       // PointerToRawData: right behind the headers
  put(section + 36, 0x60000020, 4);     // CODE | EXECUTE | READ
  b.push_back(0xC3);
  b.resize(b.size() + file_align - 1, 0);
  return b;
}

int Fail(const std::string& text) {
  std::fprintf(stderr, "vt_pewrap: %s\n", text.c_str());
  return 1;
}

int Run(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: vt_pewrap <input ELF> <output PE> <subsystem 2|3>\n");
    return 2;
  }
  const std::string sub = argv[3];
  if (sub != "2" && sub != "3") return Fail("subsystem must be 2 (windowed) or 3 (console)");

  std::error_code ec;
  const auto size = std::filesystem::file_size(argv[1], ec);
  if (ec) return Fail(std::string("cannot read ") + argv[1]);
  if (size < 4 || size > kMaxInput) return Fail(std::string("not a program: ") + argv[1]);
  std::ifstream in(argv[1], std::ios::binary);
  std::vector<std::uint8_t> elf(static_cast<std::size_t>(size));
  if (!in.read(reinterpret_cast<char*>(elf.data()), static_cast<std::streamsize>(elf.size())))
    return Fail(std::string("cannot read ") + argv[1]);
  if (!vt::os::peexec::IsElfMagic(elf.data())) return Fail(std::string("not an ELF program: ") + argv[1]);

  std::vector<std::uint8_t> image = MakeImage(static_cast<std::uint16_t>(std::stoi(sub)));
  const std::uint64_t elf_offset = image.size();
  image.insert(image.end(), elf.begin(), elf.end());
  std::uint8_t trailer[vt::os::peexec::kTrailerSize];
  vt::os::peexec::WriteTrailer(trailer, elf_offset);
  image.insert(image.end(), trailer, trailer + sizeof trailer);

  const std::string tmp = std::string(argv[2]) + ".tmp";
  {
    std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(image.data()), static_cast<std::streamsize>(image.size()));
    out.close();
    if (!out) {
      std::filesystem::remove(tmp, ec);
      return Fail(std::string("cannot write ") + argv[2]);
    }
  }
  std::filesystem::permissions(tmp, std::filesystem::perms::owner_exec | std::filesystem::perms::group_exec |
                                        std::filesystem::perms::others_exec,
                               std::filesystem::perm_options::add, ec);
  std::filesystem::rename(tmp, argv[2], ec);
  if (ec) {
    std::filesystem::remove(tmp, ec);
    return Fail(std::string("cannot write ") + argv[2]);
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return Run(argc, argv);
  } catch (const std::bad_alloc&) {
    std::fprintf(stderr, "vt_pewrap: %s\n", vt::os::kNotEnoughMemoryText);
    return 1;
  }
}
