// vt_pewrap <input ELF> <output PE> <subsystem 2|3>
// Writes a minimal valid PE32 image (one section, the given subsystem),
// followed by the ELF program and the trailer that locates it.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "platform/PeExec.h"

namespace {

constexpr std::uint32_t kFileAlignment = 0x200;
constexpr std::uint32_t kSectionAlignment = 0x1000;
constexpr std::uint32_t kNtOffset = 0x40;
constexpr std::uint32_t kOptionalHeaderSize = 224;  // PE32 with 16 data directories
constexpr std::uint64_t kMaxInput = 1ull << 32;

class Writer {
 public:
  explicit Writer(std::vector<std::uint8_t>& b) : b_(b) {}
  void At(std::size_t pos) {
    if (b_.size() < pos) b_.resize(pos, 0);
    pos_ = pos;
  }
  void U8(std::uint8_t v) { Put(&v, 1); }
  void U16(std::uint16_t v) { Le(v, 2); }
  void U32(std::uint32_t v) { Le(v, 4); }
  void U64(std::uint64_t v) { Le(v, 8); }
  void Bytes(const void* p, std::size_t n) { Put(p, n); }
  std::size_t Pos() const { return pos_; }

 private:
  void Le(std::uint64_t v, int n) {
    for (int i = 0; i < n; ++i) U8(static_cast<std::uint8_t>(v >> (8 * i)));
  }
  void Put(const void* p, std::size_t n) {
    if (b_.size() < pos_ + n) b_.resize(pos_ + n, 0);
    std::memcpy(b_.data() + pos_, p, n);
    pos_ += n;
  }
  std::vector<std::uint8_t>& b_;
  std::size_t pos_ = 0;
};

std::vector<std::uint8_t> MakeImage(std::uint16_t subsystem) {
  std::vector<std::uint8_t> b;
  Writer w(b);
  // DOS header: signature, then e_lfanew at 0x3C.
  w.Bytes("MZ", 2);
  w.At(0x3C);
  w.U32(kNtOffset);
  // NT signature and file header.
  w.At(kNtOffset);
  w.Bytes("PE\0\0", 4);
  w.U16(0x014C);  // Machine: i386
  w.U16(1);       // NumberOfSections
  w.U32(0);       // TimeDateStamp
  w.U32(0);       // PointerToSymbolTable
  w.U32(0);       // NumberOfSymbols
  w.U16(kOptionalHeaderSize);
  w.U16(0x0103);  // RELOCS_STRIPPED | EXECUTABLE_IMAGE | 32BIT_MACHINE
  // PE32 optional header.
  const std::size_t opt = w.Pos();
  w.U16(0x010B);  // Magic
  w.U8(1);        // linker version
  w.U8(0);
  w.U32(kFileAlignment);     // SizeOfCode
  w.U32(0);                  // SizeOfInitializedData
  w.U32(0);                  // SizeOfUninitializedData
  w.U32(kSectionAlignment);  // AddressOfEntryPoint
  w.U32(kSectionAlignment);  // BaseOfCode
  w.U32(2 * kSectionAlignment);  // BaseOfData
  w.U32(0x00400000);         // ImageBase
  w.U32(kSectionAlignment);
  w.U32(kFileAlignment);
  w.U16(4);  // operating system version
  w.U16(0);
  w.U16(0);  // image version
  w.U16(0);
  w.U16(4);  // subsystem version
  w.U16(0);
  w.U32(0);                      // Win32VersionValue
  w.U32(2 * kSectionAlignment);  // SizeOfImage
  w.U32(kFileAlignment);         // SizeOfHeaders
  w.U32(0);                      // CheckSum
  w.U16(subsystem);              // at optional header + 68
  w.U16(0);                      // DllCharacteristics
  w.U32(0x100000);               // stack reserve, commit
  w.U32(0x1000);
  w.U32(0x100000);  // heap reserve, commit
  w.U32(0x1000);
  w.U32(0);   // LoaderFlags
  w.U32(16);  // NumberOfRvaAndSizes; the directories stay zero
  w.At(opt + kOptionalHeaderSize);
  // Section table: one code section holding a single "ret".
  w.Bytes(".text\0\0\0", 8);
  w.U32(1);                  // VirtualSize
  w.U32(kSectionAlignment);  // VirtualAddress
  w.U32(kFileAlignment);     // SizeOfRawData
  w.U32(kFileAlignment);     // PointerToRawData
  w.U32(0);
  w.U32(0);
  w.U16(0);
  w.U16(0);
  w.U32(0x60000020);  // CODE | EXECUTE | READ
  w.At(kFileAlignment);
  w.U8(0xC3);
  w.At(2 * kFileAlignment);
  return b;
}

int Fail(const std::string& text) {
  std::fprintf(stderr, "vt_pewrap: %s\n", text.c_str());
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
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
