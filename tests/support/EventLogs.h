// An event log that keeps each entry as "category/kind: text".
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/EventLog.h"

namespace vt::test {

class TRecordingEventLog : public TEventLog {
 public:
  std::vector<std::string> entries;
  void WriteEntry(std::string_view format, const FormatArgs& args, int category, std::uint32_t kind,
                  std::uint32_t) override {
    entries.push_back(std::to_string(category) + "/" + std::to_string(static_cast<std::int32_t>(kind)) +
                      ": " + FormatV(format, args));
  }
};

}  // namespace vt::test
