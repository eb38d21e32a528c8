// A sample inner setup. It reports what it received: its arguments, the
// folder it runs in, the files beside its own image and the subsystem its
// own PE header holds, and the raw command line when it was started by the
// platform layer's process start. The report goes to standard output and, when the
// environment variable VT_SAMPLE_SETUP_REPORT names a file, to that file.
// Exit code: the value of an argument "/exit_code=N", else of the
// environment variable VT_SAMPLE_SETUP_EXIT_CODE, else 0. With
// VT_SAMPLE_SETUP_SLEEP_MS it waits that long after the report before ending;
// with VT_SAMPLE_SETUP_WAIT_FOR, until that file exists (at most 400 s).
// VT_SAMPLE_SETUP_TREE="levels:length" unpacks, before the report, a tree of
// that many nested folders into its folder ("tree", then names of that
// length), each holding a file, as a setup unpacking its files does; with
// ":mode" (octal) every folder of the tree gets that mode once it is full,
// as an archive that keeps modes leaves them.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;

namespace {

// The Subsystem word of a PE image file, or -1 when it is none.
int ReadSubsystem(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::vector<unsigned char> head(4096);
  in.read(reinterpret_cast<char*>(head.data()), static_cast<std::streamsize>(head.size()));
  head.resize(static_cast<std::size_t>(in.gcount()));
  auto u16 = [&](std::size_t p) { return static_cast<std::uint32_t>(head[p] | (head[p + 1] << 8)); };
  auto u32 = [&](std::size_t p) { return u16(p) | (u16(p + 2) << 16); };
  if (head.size() < 0x40 || head[0] != 'M' || head[1] != 'Z') return -1;
  const std::size_t nt = u32(0x3C);
  if (nt > head.size() || head.size() - nt < 24 + 70) return -1;
  if (head[nt] != 'P' || head[nt + 1] != 'E' || head[nt + 2] || head[nt + 3]) return -1;
  const std::size_t opt = nt + 24;
  const std::uint32_t magic = u16(opt);
  if (magic != 0x10B && magic != 0x20B) return -1;
  return static_cast<int>(u16(opt + 68));
}

bool ParseCode(const std::string& s, int& code) {
  if (s.empty()) return false;
  char* end = nullptr;
  const long v = std::strtol(s.c_str(), &end, 10);
  if (*end) return false;
  code = static_cast<int>(v);
  return true;
}

// Nests the folders one step at a time from the current folder, so that
// the tree may pass the longest path the system takes.
void UnpackTree(const fs::path& folder, const std::string& shape) {
  const int levels = std::atoi(shape.c_str());
  const std::size_t colon = shape.find(':');
  const std::string name(colon == std::string::npos ? 1 : std::strtoul(shape.c_str() + colon + 1, nullptr, 10), 'd');
  const std::size_t mode_colon = colon == std::string::npos ? colon : shape.find(':', colon + 1);
  const fs::path back = fs::current_path();
  fs::current_path(folder);
  fs::create_directory("tree");
  fs::current_path("tree");
  for (int i = 0; i < levels; ++i) {
    std::ofstream("file.txt") << i;
    fs::create_directory(name);
    fs::current_path(name);
  }
  if (mode_colon != std::string::npos) {
    // From the deepest up, each changed from the folder above it.
    const auto mode = static_cast<fs::perms>(std::strtoul(shape.c_str() + mode_colon + 1, nullptr, 8));
    for (int i = 0; i < levels; ++i) {
      fs::current_path("..");
      fs::permissions(name, mode);
    }
    fs::current_path("..");
    fs::permissions("tree", mode);
  }
  fs::current_path(back);
}

}  // namespace

int main(int argc, char** argv) {
  std::string report;
  int exit_code = 0;
  if (const char* env = std::getenv("VT_SAMPLE_SETUP_EXIT_CODE")) ParseCode(env, exit_code);
  report += "argc=" + std::to_string(argc - 1) + "\n";
  for (int i = 0; i < argc; ++i) {
    const std::string arg = argv[i];
    report += "arg" + std::to_string(i) + "=" + arg + "\n";
    if (i > 0 && arg.rfind("/exit_code=", 0) == 0) ParseCode(arg.substr(11), exit_code);
  }
  // The command line as the starter gave it, when the platform layer's
  // process start passed it on.
  if (const char* line = std::getenv("VT_PROCESS_COMMAND_LINE")) report += "command_line=" + std::string(line) + "\n";
  std::error_code ec;
  report += "cwd=" + fs::current_path(ec).string() + "\n";
  report += "pid=" + fs::read_symlink("/proc/self", ec).string() + "\n";

  fs::path self = argc > 0 ? fs::path(argv[0]) : fs::path();
  if (self.empty() || !fs::exists(self, ec)) self = fs::read_symlink("/proc/self/exe", ec);
  const fs::path folder = fs::absolute(self, ec).parent_path();
  if (const char* shape = std::getenv("VT_SAMPLE_SETUP_TREE")) UnpackTree(folder, shape);
  report += "folder=" + folder.string() + "\n";
  std::vector<std::string> files;
  for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    std::error_code e2;
    const auto size = it->is_regular_file(e2) ? it->file_size(e2) : 0;
    files.push_back(it->path().filename().string() + " " + std::to_string(size));
  }
  std::sort(files.begin(), files.end());
  for (const auto& f : files) report += "file=" + f + "\n";
  report += "subsystem=" + std::to_string(ReadSubsystem(self)) + "\n";
  report += "exit_code=" + std::to_string(exit_code) + "\n";

  std::fputs(report.c_str(), stdout);
  std::fflush(stdout);
  if (const char* path = std::getenv("VT_SAMPLE_SETUP_REPORT"); path && *path) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << report;
  }
  if (const char* ms = std::getenv("VT_SAMPLE_SETUP_SLEEP_MS"))
    std::this_thread::sleep_for(std::chrono::milliseconds(std::atol(ms)));
  if (const char* go = std::getenv("VT_SAMPLE_SETUP_WAIT_FOR"); go && *go) {
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(400);
    std::error_code ec;
    while (!std::filesystem::exists(go, ec) && std::chrono::steady_clock::now() < give_up)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return exit_code;
}
