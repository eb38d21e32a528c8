// Sinks for event records (entries with a category, a message format and
// arguments). The base log writes nothing; a program that wants records
// installs a subclass (such as TSystemEventLog) as the default event log.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "common/Classes.h"
#include "common/Objects.h"
#include "common/Units.h"

namespace vt {

class TEventLogView;

class TEventLog : public TObject {
 public:
  TEventLog() = default;
  ~TEventLog() override;

  virtual void WriteEntry(std::string_view format, const FormatArgs& args, int category, std::uint32_t kind,
                          std::uint32_t reserved);
  virtual int BeginEntry(int category, std::uint32_t kind);
  // A view supplying a default category; raises for an inactive log.
  virtual TEventLogView* CreateView(const std::string& name, int category);
  virtual int DefaultCategory();

  bool Permanent = false;
  std::uint32_t Settings[3] = {0, 0, 0};  // copied into every view
  bool Active = true;
};

class TEventLogView : public TEventLog {
 public:
  TEventLogView(TEventLog* parent, int category, std::string name);

  // A category of -1 is replaced by the view's default category.
  void WriteEntry(std::string_view format, const FormatArgs& args, int category, std::uint32_t kind,
                  std::uint32_t reserved) override;
  int BeginEntry(int category, std::uint32_t kind) override;
  int DefaultCategory() override { return category_; }
  const std::string& Name() const { return name_; }

 private:
  TEventLog* parent_;
  int category_;
  std::string name_;
};

// Writes each record to the system log.
class TSystemEventLog : public TEventLog {
 public:
  void WriteEntry(std::string_view format, const FormatArgs& args, int category, std::uint32_t kind,
                  std::uint32_t reserved) override;
};

// The process-wide base instance (created on first use).
TEventLog* GetEventLog();
TEventLog* GetDefaultEventLog();
void SetDefaultEventLog(TEventLog* log);

// Frees a log; a permanent one raises "Attempt to free a permanent event log
// object" and stays.
void FreeEventLog(TEventLog*& log);

// Writes text as one entry (format prefix + "%s"), or line by line.
void WriteText(TEventLog* log, const std::string& text, bool split_lines, int category, const std::string& prefix,
               std::uint32_t kind);

void FinalizeEventLog();
inline constexpr UnitEntry kEventLogUnit{"EventLog", nullptr, FinalizeEventLog};

}  // namespace vt
