#include "platform/NativeInfo.h"

#include <dirent.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/SystemInfo.h"

namespace vt::os {

namespace {

void Put32(std::vector<std::uint8_t>& out, std::size_t at, std::uint32_t value) {
  std::memcpy(out.data() + at, &value, sizeof value);
}

// The numeric entries of a /proc folder.
std::vector<std::uint32_t> NumericEntries(const std::string& folder) {
  std::vector<std::uint32_t> ids;
  DIR* dir = ::opendir(folder.c_str());
  if (!dir) return ids;
  while (const dirent* e = ::readdir(dir)) {
    char* end = nullptr;
    unsigned long id = std::strtoul(e->d_name, &end, 10);
    if (end != e->d_name && *end == '\0') ids.push_back(static_cast<std::uint32_t>(id));
  }
  ::closedir(dir);
  return ids;
}

std::uint32_t ParentOf(std::uint32_t pid) {
  std::FILE* f = std::fopen(("/proc/" + std::to_string(pid) + "/stat").c_str(), "re");
  if (!f) return 0;
  char buf[512];
  std::size_t n = std::fread(buf, 1, sizeof buf - 1, f);
  std::fclose(f);
  buf[n] = '\0';
  // "pid (name) state ppid ...": the name may hold blanks and parentheses.
  const char* close = std::strrchr(buf, ')');
  unsigned ppid = 0;
  char state = 0;
  if (close) std::sscanf(close + 1, " %c %u", &state, &ppid);
  return ppid;
}

std::uint32_t HeaderSize() {
  OSVersionInfoEx version;
  return GetVersionEx(&version) && version.dwMajorVersion <= 4 ? 136 : 184;
}

std::vector<std::uint8_t> ProcessList() {
  const std::uint32_t header = HeaderSize();
  std::vector<std::uint8_t> out;
  std::size_t previous = 0;
  bool first = true;
  for (std::uint32_t pid : NumericEntries("/proc")) {
    std::vector<std::uint32_t> threads = NumericEntries("/proc/" + std::to_string(pid) + "/task");
    if (threads.empty()) continue;  // gone meanwhile
    const std::size_t at = out.size();
    out.resize(at + header + threads.size() * kThreadEntrySize);
    if (!first) Put32(out, previous + kProcessEntryNextOffset, static_cast<std::uint32_t>(at - previous));
    first = false;
    previous = at;
    Put32(out, at + kProcessEntryThreadCount, static_cast<std::uint32_t>(threads.size()));
    Put32(out, at + kProcessEntryProcessId, pid);
    Put32(out, at + kProcessEntryParentId, ParentOf(pid));
    std::size_t entry = at + header;
    for (std::uint32_t tid : threads) {
      Put32(out, entry + kThreadEntryProcessId, pid);
      Put32(out, entry + kThreadEntryThreadId, tid);
      entry += kThreadEntrySize;
    }
  }
  return out;
}

}  // namespace

NTSTATUS RtlAnsiStringToUnicodeString(UNICODE_STRING* destination, std::string_view source) {
  if (!destination) return kStatusInvalidParameter;
  const std::size_t bytes = source.size() * sizeof(char16_t);
  if (bytes > destination->MaximumLength || (bytes > 0 && !destination->Buffer)) return kStatusBufferOverflow;
  for (std::size_t i = 0; i < source.size(); ++i)
    destination->Buffer[i] = static_cast<char16_t>(static_cast<unsigned char>(source[i]));
  destination->Length = static_cast<std::uint16_t>(bytes);
  return kStatusSuccess;
}

NTSTATUS NtQuerySystemInformation(std::uint32_t info_class, void* buffer, std::uint32_t length,
                                  std::uint32_t* return_length) {
  if (info_class != kSystemProcessInformation) return kStatusInvalidInfoClass;
  std::vector<std::uint8_t> list = ProcessList();
  if (return_length) *return_length = static_cast<std::uint32_t>(list.size());
  if (list.size() > length || !buffer) return kStatusInfoLengthMismatch;
  std::memcpy(buffer, list.data(), list.size());
  return kStatusSuccess;
}

}  // namespace vt::os
