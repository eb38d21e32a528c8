// Stands in for the LZMA tool: writes "<gate>.started", waits until the file
// <gate> exists (while the program that started it runs, 400 s at most: as
// long as a display test waits in all), then runs the real tool
// ($VT_TEST_TOOL) with its own arguments. The gate is $VT_TEST_GATE.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

int main(int, char** argv) {
  const char* gate = std::getenv("VT_TEST_GATE");
  const char* tool = std::getenv("VT_TEST_TOOL");
  if (!tool) return 126;
  if (gate) {
    if (FILE* f = std::fopen((std::string(gate) + ".started").c_str(), "w")) std::fclose(f);
    const pid_t parent = ::getppid();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(400);
    while (::access(gate, F_OK) != 0 && ::getppid() == parent && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (::getppid() != parent) return 1;
  }
  ::execv(tool, argv);
  return 127;
}
