// Captures what the library writes through its log hook, and the wait and
// posting warnings, while an instance lives.
#pragma once

#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "common/Locks.h"
#include "common/Threads.h"

namespace vt::test {

struct LogCapture {
  static inline std::mutex lock;
  static inline std::vector<std::pair<TLogRecord, std::string>> records;
  static void Hook(TLogRecord kind, const std::string& text, int) {
    std::lock_guard g(lock);
    records.emplace_back(kind, text);
  }
  static void Warning(const std::string& text) { Hook(TLogRecord::ShortWarning, text, 2); }
  LogCapture() {
    std::lock_guard g(lock);
    records.clear();
    SetLibraryLogHook(&Hook);
    SetWarningCallback(&Warning);
  }
  ~LogCapture() {
    SetLibraryLogHook(nullptr);
    SetWarningCallback(nullptr);
  }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;
  // Every text, each followed by a line break.
  std::string All() {
    std::lock_guard g(lock);
    std::string s;
    for (auto& [k, t] : records) s += t + "\n";
    return s;
  }
};

}  // namespace vt::test
