// Stands in for the LZMA tool: writes "<gate>.started", waits (a minute at
// most) until the file <gate> exists, then runs the real tool ($VT_TEST_TOOL)
// with its own arguments. The gate is $VT_TEST_GATE.
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
    for (int i = 0; i < 6000 && ::access(gate, F_OK) != 0; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ::execv(tool, argv);
  return 127;
}
