// Test child. Usage: vt_proc_child <mode> [arguments]
//   args            write every argument (argv[0] included), each ended by NUL
//   exit <n>        end with exit code n
//   kill            end by SIGKILL
//   sleep <ms>      sleep, then end with 0
//   cwd             write the current directory
//   env <name>      write the variable's value, or "<unset>"
//   stdin           copy standard input to standard output
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>

int main(int argc, char** argv) {
  if (argc < 2) return 100;
  std::string mode = argv[1];
  if (mode == "args") {
    for (int i = 0; i < argc; ++i) std::fwrite(argv[i], 1, std::strlen(argv[i]) + 1, stdout);
    return 0;
  }
  if (mode == "exit" && argc > 2) return std::atoi(argv[2]);
  if (mode == "kill") {
    ::kill(::getpid(), SIGKILL);
    return 101;
  }
  if (mode == "sleep" && argc > 2) {
    std::this_thread::sleep_for(std::chrono::milliseconds(std::atoi(argv[2])));
    return 0;
  }
  if (mode == "cwd") {
    std::printf("%s", std::filesystem::current_path().c_str());
    return 0;
  }
  if (mode == "env" && argc > 2) {
    const char* v = std::getenv(argv[2]);
    std::printf("%s", v ? v : "<unset>");
    return 0;
  }
  if (mode == "stdin") {
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, stdin)) > 0) std::fwrite(buf, 1, n, stdout);
    return 0;
  }
  return 100;
}
