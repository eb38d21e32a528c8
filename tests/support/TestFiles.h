// What the test programs share: temporary folders, whole-file reads and
// writes, the helper programs built beside the test program, and the text
// of an expected exception.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdint>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <system_error>
#include <typeinfo>
#include <vector>

namespace vt::test {

// The folder of the running test program; helper programs are built there.
inline std::filesystem::path ProgramFolder() {
  return std::filesystem::read_symlink("/proc/self/exe").parent_path();
}

inline std::string ProgramBeside(const std::string& name) { return (ProgramFolder() / name).string(); }

// A path quoted for the shell.
inline std::string Q(const std::filesystem::path& p) { return "'" + p.string() + "'"; }

// Runs a shell command with its output discarded; its exit code, or -1 when
// it did not exit normally.
inline int Shell(const std::string& command) {
  const int status = std::system((command + " >/dev/null 2>&1").c_str());
  return status == -1 || (status & 0x7F) ? -1 : (status >> 8) & 0xFF;
}

// Whole files; a file that cannot be opened reads as empty.
inline std::string ReadFileText(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

inline std::vector<std::uint8_t> ReadFileBytes(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), {});
}

inline void WriteFileText(const std::filesystem::path& path, const std::string& content) {
  std::ofstream(path, std::ios::binary) << content;
}

inline void WriteFileBytes(const std::filesystem::path& path, const std::vector<std::uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// A new folder in the temporary folder, removed with everything in it
// (read-only entries included) when the object goes.
class TempFolder {
 public:
  explicit TempFolder(const std::string& prefix = "vt_test") {
    std::string tmpl = (std::filesystem::temp_directory_path() / (prefix + "_XXXXXX")).string();
    if (::mkdtemp(tmpl.data()) == nullptr)
      throw std::runtime_error("cannot create the temporary folder " + tmpl);
    path_ = tmpl;
  }
  ~TempFolder() {
    namespace fs = std::filesystem;
    std::error_code ec, ignored;
    for (fs::recursive_directory_iterator it(path_, ec), end; !ec && it != end; it.increment(ec))
      if (!it->is_symlink(ignored))
        fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ignored);
    fs::remove_all(path_, ignored);
  }
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  const std::filesystem::path& path() const { return path_; }
  std::string File(const std::string& name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

// A test with a temporary folder of its own.
class TempFolderTest : public ::testing::Test {
 protected:
  std::string P(const std::string& name) const { return folder_.File(name); }
  void Write(const std::string& name, const std::string& content = "x") const {
    WriteFileText(P(name), content);
  }
  std::string Read(const std::string& name) const { return ReadFileText(P(name)); }

  TempFolder folder_;
  const std::string dir_ = folder_.path().string();
};

// What describe makes of the E that f throws, or "(no exception)"; other
// exceptions pass.
template <typename E, typename F, typename D>
std::string DescribeThrown(F&& f, D&& describe) {
  try {
    f();
  } catch (const E& e) {
    return describe(e);
  }
  return "(no exception)";
}

// The text of the E that f throws.
template <typename E = std::exception, typename F>
std::string MessageOf(F&& f) {
  return DescribeThrown<E>(f, [](const E& e) { return std::string(e.what()); });
}

// The same for an exception of exactly class E: one of a derived class reads
// "(derived) <text>".
template <typename E, typename F>
std::string ExactMessageOf(F&& f) {
  return DescribeThrown<E>(
      f, [](const E& e) { return (typeid(e) == typeid(E) ? "" : "(derived) ") + std::string(e.what()); });
}

// "<text> #<ErrorCode>" of the E that f throws.
template <typename E, typename F>
std::string CodedMessageOf(F&& f) {
  return DescribeThrown<E>(
      f, [](const E& e) { return std::string(e.what()) + " #" + std::to_string(e.ErrorCode); });
}

}  // namespace vt::test
