#include "common/EventLog.h"

#include <atomic>
#include <mutex>

#include "platform/SystemLog.h"

namespace vt {

namespace {
std::mutex g_lock;
TEventLog* g_event_log = nullptr;
std::atomic<TEventLog*> g_default_log{nullptr};
}  // namespace

TEventLog::~TEventLog() {
  TEventLog* self = this;
  g_default_log.compare_exchange_strong(self, nullptr);
}

void TEventLog::WriteEntry(std::string_view, const FormatArgs&, int, std::uint32_t, std::uint32_t) {}

int TEventLog::BeginEntry(int, std::uint32_t) { return -1; }

TEventLogView* TEventLog::CreateView(const std::string& name, int category) {
  if (!Active) throw Exception("Cannot create views for inactive event log");
  return new TEventLogView(this, category, name);
}

int TEventLog::DefaultCategory() { return -1; }

TEventLogView::TEventLogView(TEventLog* parent, int category, std::string name)
    : parent_(parent), category_(category), name_(std::move(name)) {
  VT_ASSERT_AT(parent != nullptr, "EventLog", __LINE__);
  VT_ASSERT_AT(category >= 1, "EventLog", __LINE__);
  Permanent = parent->Permanent;
  for (int i = 0; i < 3; ++i) Settings[i] = parent->Settings[i];
  Active = parent->Active;
}

void TEventLogView::WriteEntry(std::string_view format, const FormatArgs& args, int category, std::uint32_t kind,
                               std::uint32_t reserved) {
  parent_->WriteEntry(format, args, category == -1 ? category_ : category, kind, reserved);
}

int TEventLogView::BeginEntry(int category, std::uint32_t kind) {
  return parent_->BeginEntry(category == -1 ? category_ : category, kind);
}

void TSystemEventLog::WriteEntry(std::string_view format, const FormatArgs& args, int, std::uint32_t kind,
                                 std::uint32_t) {
  os::WriteSystemLog(kind, args.empty() ? std::string(format) : FormatV(format, args));
}

TEventLog* GetEventLog() {
  std::lock_guard<std::mutex> guard(g_lock);
  if (!g_event_log) g_event_log = new TEventLog;
  return g_event_log;
}

TEventLog* GetDefaultEventLog() { return g_default_log.load(); }
void SetDefaultEventLog(TEventLog* log) { g_default_log.store(log); }

void FreeEventLog(TEventLog*& log) {
  if (log && log->Permanent) throw Exception("Attempt to free a permanent event log object");
  FreeAndNilObject(log);
}

void WriteText(TEventLog* log, const std::string& text, bool split_lines, int category, const std::string& prefix,
               std::uint32_t kind) {
  if (!log) return;
  // The prefix is text, not format: a '%' in it stays as it is.
  std::string format = StringReplaceAll(prefix, "%", "%%") + "%s";
  if (!split_lines) {
    log->WriteEntry(format, {text}, category, kind, 0);
    return;
  }
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find_first_of("\r\n", start);
    if (end == std::string::npos) end = text.size();
    log->WriteEntry(format, {text.substr(start, end - start)}, category, kind, 0);
    if (end == text.size()) break;
    start = end + ((text[end] == '\r' && end + 1 < text.size() && text[end + 1] == '\n') ? 2 : 1);
    if (start == text.size()) break;
  }
}

void FinalizeEventLog() {
  std::lock_guard<std::mutex> guard(g_lock);
  if (g_event_log) g_event_log->Permanent = false;
  FreeAndNilObject(g_event_log);
}

}  // namespace vt
