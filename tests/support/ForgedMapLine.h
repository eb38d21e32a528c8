// A mapped file whose path holds the text of another area of memory, placed
// where a reader of the process's map that takes its lines in 512-byte
// pieces would start a piece: a page no area holds, described as
// read-write-execute. Page 0x1000 lies below every area (below the lowest
// address a process may map), so a walk that stops at the first area past
// the page never reaches the forged text; the page where the highest area
// ends lies above them all, so such a walk reads every line first.
#pragma once

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
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

// The end of the highest area of the process's map below the end of the
// user half (the page there is free: no area holds it).
inline std::uintptr_t PageAboveEveryArea() {
  std::ifstream maps("/proc/self/maps");
  std::uintptr_t top = 0;
  for (std::string line; std::getline(maps, line);) {
    unsigned long long lo = 0, hi = 0;
    if (std::sscanf(line.c_str(), "%llx-%llx", &lo, &hi) == 2 && hi <= (UINTPTR_MAX >> 1) + 1 && hi > top)
      top = static_cast<std::uintptr_t>(hi);
  }
  return top;
}

class ForgedMapLine {
 public:
  static constexpr std::uintptr_t kBelowEveryArea = 0x1000;
  static constexpr std::size_t kPiece = 511;  // what a 512-byte read takes of a line

  explicit ForgedMapLine(std::uintptr_t page = kBelowEveryArea) : page_(page) {
    char text[64];
    std::snprintf(text, sizeof text, "%08llx-%08llx", static_cast<unsigned long long>(page),
                  static_cast<unsigned long long>(page + 0x1000));
    range_ = text;
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
    const std::string forged = range_ + " rwxp 00000000 00:00 0 ";
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
  // The page the forged text describes.
  void* page() const { return reinterpret_cast<void*>(page_); }
  // Whether its line in the map has the forged text at the start of a piece.
  bool Ready() const {
    return line_.size() > 2 * kPiece && line_.compare(2 * kPiece, range_.size(), range_) == 0;
  }
  const std::string& line() const { return line_; }

 private:
  std::uintptr_t page_;
  std::string range_;  // "<first>-<end>" as the map writes it
  TempFolder folder_;
  void* view_ = nullptr;
  std::string line_;
};

}  // namespace vt::test
