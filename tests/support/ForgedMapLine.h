// A mapped file whose path holds the text of another area of memory, placed
// where a reader of the process's map that takes its lines in 512-byte
// pieces would start a piece: page 0x1000 (below the lowest address a
// process may map) described as read-write-execute.
#pragma once

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <filesystem>
#include <fstream>
#include <string>

#include "support/TestFiles.h"

namespace vt::test {

// The whole line of the process's map that holds address, or "".
inline std::string MapLineOf(const void* address) {
  std::ifstream maps("/proc/self/maps");
  const auto a = reinterpret_cast<std::uintptr_t>(address);
  for (std::string line; std::getline(maps, line);) {
    unsigned long long lo = 0, hi = 0;
    if (std::sscanf(line.c_str(), "%llx-%llx", &lo, &hi) == 2 && a >= lo && a < hi) return line;
  }
  return "";
}

class ForgedMapLine {
 public:
  static constexpr std::uintptr_t kForgedPage = 0x1000;
  static constexpr std::size_t kPiece = 511;  // what a 512-byte read takes of a line

  ForgedMapLine() {
    const std::string probe = folder_.File("probe");
    WriteFileText(probe, std::string(4096, 'x'));
    const int fd = ::open(probe.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return;
    view_ = ::mmap(nullptr, 4096, PROT_READ, MAP_PRIVATE, fd, 0);
    ::close(fd);
    if (view_ == MAP_FAILED) {
      view_ = nullptr;
      return;
    }
    // The path starts at a fixed column; a rename keeps the mapping and its
    // line's other fields and changes the path it shows.
    const std::size_t path_at = MapLineOf(view_).find(probe);
    if (path_at == std::string::npos || path_at + folder_.path().string().size() + 3 > 2 * kPiece) return;
    std::size_t room = 2 * kPiece - path_at - folder_.path().string().size() - 1;  // up to the second piece
    std::string dir = folder_.path().string();
    while (room > 201) {
      dir += "/" + std::string(150, 'd');
      room -= 151;
    }
    dir += "/" + std::string(room - 1, 'e');
    std::filesystem::create_directories(dir);
    const std::string forged = "1000-2000 rwxp 00000000 00:00 0 ";
    const std::string moved = dir + "/" + forged;
    if (::rename(probe.c_str(), moved.c_str()) != 0) return;
    line_ = MapLineOf(view_);
  }
  ~ForgedMapLine() {
    if (view_) ::munmap(view_, 4096);
  }
  ForgedMapLine(const ForgedMapLine&) = delete;
  ForgedMapLine& operator=(const ForgedMapLine&) = delete;

  // The mapped file's page, or nullptr.
  const void* view() const { return view_; }
  // Whether its line in the map has the forged text at the start of a piece.
  bool Ready() const { return line_.size() > 2 * kPiece && line_.compare(2 * kPiece, 9, "1000-2000") == 0; }
  const std::string& line() const { return line_; }

 private:
  TempFolder folder_;
  void* view_ = nullptr;
  std::string line_;
};

}  // namespace vt::test
