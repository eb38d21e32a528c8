#include "common/ExceptionHooks.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "common/CallTrace.h"
#include "common/EventLog.h"
#include "common/Locks.h"
#include "common/Logs.h"
#include "common/Objects.h"
#include "common/ObjectsFiles.h"
#include "platform/FaultSupport.h"
#include "platform/Process.h"
#include "platform/SystemLog.h"

namespace vt {

namespace {

void LogExceptionWithTrace(const os::ExceptionRecord* Record, const os::ExceptionContext* Context,
                           const std::string* trace);

// A record that could not be written, noted in the log while that works.
// Never throws: what an observer threw would reach it again through the
// handler that catches it, without end.
void NoteLoggingError(const char* what, const std::exception& e) noexcept {
  try {
    WriteExceptionText(what + std::string(e.what()));
  } catch (...) {
  }
}

std::string ClassNameOfType(const std::type_info* type) { return type ? ClassNameOf(*type) : std::string(); }

std::string OperationText(std::uintptr_t operation) {
  switch (operation) {
    case 0: return "Read";
    case 1: return "Write";
    case 8: return "Execute";
    default: return Format("Operation 0x%x", static_cast<std::uint64_t>(operation));
  }
}

// Guards of one logging call: the thread's nesting counter for the duration,
// and its suppression counter so that exceptions inside the logger are not
// logged again. Active is false while logging is suppressed on the thread.
class TLogGuard {
 public:
  TLogGuard() : counters_(ThreadCounters()) {
    ++counters_.LogNesting;
    active_ = counters_.ExceptionLogSuppression <= 0;
    if (active_) ++counters_.ExceptionLogSuppression;
  }
  ~TLogGuard() {
    if (active_) --counters_.ExceptionLogSuppression;
    --counters_.LogNesting;
  }
  TLogGuard(const TLogGuard&) = delete;
  TLogGuard& operator=(const TLogGuard&) = delete;
  bool Active() const { return active_; }

 private:
  TThreadCounters& counters_;
  bool active_;
};

std::string HeaderLine(const std::string& title) { return FormatHeaderLine(title, '-', LogTimeText()) + "\r\n"; }

std::string OrUnknown(const std::string& text, const char* fallback) { return text.empty() ? fallback : text; }

// Traces taken where the last objects of this thread were raised, for the
// records of their handlers.
struct TRaiseTrace {
  const void* object = nullptr;
  std::string trace;
};
constexpr int kRaiseTraces = 16;
thread_local TRaiseTrace t_raise_traces[kRaiseTraces];
thread_local int t_next_raise_trace = 0;
// Whether this thread's table is in use. Its first touch registers its
// destructor, which takes memory: where there is none the C library ends
// the process, so a handler of an allocation failure must not be the first.
thread_local bool t_raise_traces_used = false;

void NoteRaiseTrace(const void* object, const std::string& trace) {
  if (!object) return;
  if (!t_raise_traces_used) {
    void* room = std::malloc(256);  // more than the registration takes
    if (!room) return;
    std::free(room);
    t_raise_traces_used = true;
  }
  for (TRaiseTrace& t : t_raise_traces)
    if (t.object == object) {
      t.trace = trace;
      return;
    }
  t_raise_traces[t_next_raise_trace] = {object, trace};
  t_next_raise_trace = (t_next_raise_trace + 1) % kRaiseTraces;
}

const std::string* RaiseTraceOf(const void* object) {
  if (!object || !t_raise_traces_used) return nullptr;
  for (const TRaiseTrace& t : t_raise_traces)
    if (t.object == object) return &t.trace;
  return nullptr;
}

void LogRaised(const std::exception* object, const std::type_info* type, const void* address,
               const std::string* trace = nullptr) {
  TLogGuard guard;
  if (!guard.Active() || dynamic_cast<const EAbort*>(object)) return;
  try {
    const std::string class_name = object ? ExceptionClassText(object) : ClassNameOfType(type);
    const std::string message = object ? object->what() : "";
    WriteExceptionText(HeaderLine("Raised Exception") + OrUnknown(class_name, "Unknown Class") + " PID=" +
                       std::to_string(os::GetCurrentProcessId()) + " TID=" + GetThreadText() +
                       " Build=" + std::to_string(kLogBuild) + "\r\n\r\n" + OrUnknown(message, "No Message") +
                       "\r\n\r\n" + (trace ? *trace : GetCallTrace(address)) + "\r\n\r\n");
  } catch (const std::exception& e) {
    NoteLoggingError("Error logging raised exception: ", e);
  } catch (...) {
  }
}

// ---- the observers ----

// Set while installation checks that raises and handlers are seen.
thread_local bool t_probing = false;
thread_local bool t_probe_raised = false;
thread_local bool t_probe_caught = false;

void OnRaise(void* object, const std::type_info* type, const void* address, const void* stack) {
  if (t_probing) {
    t_probe_raised = true;
    return;
  }
  const std::exception* e = os::AsStdException(object, type);
  if (IsExceptionLoggingDisabled() || dynamic_cast<const EAbort*>(e)) return;
  // The thrower's trace, for this record and the handler's.
  std::string trace;
  {
    TLogGuard guard;
    if (!guard.Active()) return;
    try {
      trace = GetCallTrace(address, stack);
      NoteRaiseTrace(object, trace);
    } catch (...) {
      trace.clear();
    }
  }
  LogRaised(e, type, address, trace.empty() ? nullptr : &trace);
}

void OnCatch(void* object, const std::type_info* type, const void* address) {
  if (t_probing) {
    t_probe_caught = true;
    return;
  }
  os::ExceptionRecord record;
  record.ExceptionCode = os::kLanguageExceptionCode;
  record.ExceptionFlags = os::kExceptionNoncontinuable;
  record.ExceptionAddress = address;
  record.NumberParameters = 3;
  record.ExceptionInformation[0] = reinterpret_cast<std::uintptr_t>(address);
  record.ExceptionInformation[1] = reinterpret_cast<std::uintptr_t>(os::AsStdException(object, type));
  record.ExceptionInformation[2] = reinterpret_cast<std::uintptr_t>(type);
  os::ExceptionContext context;
  context.Ip = reinterpret_cast<std::uintptr_t>(address);
  LogExceptionWithTrace(&record, &context, RaiseTraceOf(object));
}

// ---- records of processor faults, written from the signal handler ----

struct TKindText {
  const char* class_name;
  const char* message;  // null: made from the record
};

TKindText KindText(std::uint32_t code) {
  switch (code) {
    case os::kStatusIntegerDivideByZero: return {"EDivByZero", "Division by zero"};
    case os::kStatusIntegerOverflow: return {"EIntOverflow", "Integer overflow"};
    case os::kStatusArrayBoundsExceeded: return {"ERangeError", "Range check error"};
    case os::kStatusFloatInexactResult:
    case os::kStatusFloatInvalidOperation:
    case os::kStatusFloatStackCheck:
      return {"EInvalidOp", "Invalid floating point operation"};
    case os::kStatusFloatDivideByZero: return {"EZeroDivide", "Floating point division by zero"};
    case os::kStatusFloatOverflow: return {"EOverflow", "Floating point overflow"};
    case os::kStatusFloatDenormalOperand:
    case os::kStatusFloatUnderflow:
      return {"EUnderflow", "Floating point underflow"};
    case os::kStatusPrivilegedInstruction: return {"EPrivilege", "Privileged instruction"};
    case os::kStatusControlCExit: return {"EControlC", "Control-C hit"};
    case os::kStatusStackOverflow: return {"EStackOverflow", "Stack overflow"};
    case os::kStatusAccessViolation: return {"EAccessViolation", nullptr};
    default: return {"EExternalException", nullptr};
  }
}

// Text in a fixed buffer, cut at its end.
class TFaultText {
 public:
  TFaultText(char* out, std::size_t capacity) : out_(out), capacity_(capacity) { out_[0] = 0; }
  TFaultText& operator<<(const char* s) {
    while (*s) Put(*s++);
    return *this;
  }
  void Put(char c) {
    if (len_ + 1 < capacity_) {
      out_[len_++] = c;
      out_[len_] = 0;
    }
  }
  void Repeat(char c, std::size_t n) {
    while (n--) Put(c);
  }
  void Hex(std::uint64_t v, int digits) {
    char d[17];
    int n = 0;
    while (n < 16 && (v || n < digits)) d[n++] = "0123456789ABCDEF"[v & 15], v >>= 4;
    while (n) Put(d[--n]);
  }
  void Decimal(std::uint64_t v, int digits = 1) {
    char d[21];
    int n = 0;
    while (n < 20 && (v || n < digits)) d[n++] = static_cast<char>('0' + v % 10), v /= 10;
    while (n) Put(d[--n]);
  }
  std::size_t Length() const { return len_; }
  const char* Text() const { return out_; }

 private:
  char* out_;
  std::size_t capacity_;
  std::size_t len_ = 0;
};

constexpr int kPointerDigits = static_cast<int>(sizeof(void*) * 2);

void PutFaultMessage(TFaultText& t, const os::ExceptionRecord& r) {
  const TKindText kind = KindText(r.ExceptionCode);
  if (kind.message) {
    t << kind.message;
    return;
  }
  if (r.ExceptionCode != os::kStatusAccessViolation) {
    t << "External exception ";
    t.Hex(r.ExceptionCode, 1);
    return;
  }
  const bool has_parameters = r.NumberParameters >= 2;
  const std::uintptr_t operation = has_parameters ? r.ExceptionInformation[0] : 0;
  t << "Access violation at address ";
  t.Hex(reinterpret_cast<std::uintptr_t>(r.ExceptionAddress), kPointerDigits);
  char module[512];
  const void* base = nullptr;
  if (os::FindModuleOfAddressInHandler(r.ExceptionAddress, module, sizeof module, &base)) {
    const char* name = module;
    for (const char* p = module; *p; ++p)
      if (*p == '/' || *p == '\\') name = p + 1;
    t << " in module '" << name << "' (Base = 0x";
    t.Hex(reinterpret_cast<std::uintptr_t>(base), kPointerDigits);
    t << ")";
  }
  t << ". ";
  switch (operation) {
    case 0: t << "Read"; break;
    case 1: t << "Write"; break;
    case 8: t << "Execute"; break;
    default:
      t << "Operation 0x";
      t.Hex(operation, 1);
      break;
  }
  t << " of address ";
  t.Hex(has_parameters ? r.ExceptionInformation[1] : 0, kPointerDigits);
}

void PutHeaderLine(TFaultText& t, const char* title, char fill) {
  const std::size_t start = t.Length();
  t.Repeat(fill, 10);
  t << title;
  const std::size_t title_length = t.Length() - start - 10;
  if (title_length < 30) t.Repeat(fill, 30 - title_length);
  os::SystemTime now{};
  os::GetLocalTimeInHandler(&now);
  t.Decimal(now.wDay, 2), t.Put('/'), t.Decimal(now.wMonth, 2), t.Put('/'), t.Decimal(now.wYear, 4), t.Put(' ');
  t.Decimal(now.wHour, 2), t.Put(':'), t.Decimal(now.wMinute, 2), t.Put(':'), t.Decimal(now.wSecond, 2);
  t.Put('.'), t.Decimal(now.wMilliseconds, 3);
  if (t.Length() - start < 79) t.Repeat(fill, 79 - (t.Length() - start));
}

constexpr std::size_t kFaultRecordCapacity = 2048 + kCallTraceCapacity;

void OnFault(const os::ExceptionRecord& record, const os::ExceptionContext& context) {
  TThreadCounters& counters = ThreadCounters();
  ++counters.LogNesting;
  if (counters.ExceptionLogSuppression > 0) {
    --counters.LogNesting;
    return;
  }
  ++counters.ExceptionLogSuppression;
  // The record, composed on this (alternate) stack and written at once.
  char buffer[kFaultRecordCapacity];
  TFaultText t(buffer, sizeof buffer);
  PutHeaderLine(t, "Exception", '-');
  t << "\r\n" << KindText(record.ExceptionCode).class_name << "   Code=0x";
  t.Hex(record.ExceptionCode, 8);
  t << "   Flags=0x";
  t.Hex(record.ExceptionFlags, 1);
  const auto address = reinterpret_cast<std::uintptr_t>(record.ExceptionAddress);
  t << "   Addr=0x";
  t.Hex(address, address > 0xFFFFFFFFu ? 16 : 8);
  t << "   PID=";
  t.Decimal(os::GetCurrentProcessId());
  char thread_text[160];
  GetThreadTextInHandler(thread_text, sizeof thread_text);
  t << "   TID=" << thread_text << "   Build=";
  t.Decimal(kLogBuild);
  t << "\r\n\r\n";
  PutFaultMessage(t, record);
  t << "\r\n\r\n";
  TCallTraceEntry entries[kMaxCallTraceEntries];
  const int count = CollectCallTrace(context.Ip, context.Sp ? context.Sp : context.Fp, entries);
  char trace[kCallTraceCapacity];
  FormatCallTrace(CallTraceReference(), entries, count, trace, sizeof trace);
  t << trace << "\r\n\r\n";
  WriteLogInHandler(t.Text(), t.Length());
  // The event log's copy is not safe here: the handler's time limit ends
  // the process should it hang.
  if (TEventLog* log = GetDefaultEventLog()) {
    try {
      std::string text(t.Text(), t.Length() - 2);
      WriteText(log, text, true, -1, "", os::kEventError);
    } catch (...) {
    }
  }
  --counters.ExceptionLogSuppression;
  --counters.LogNesting;
}

}  // namespace

std::unique_ptr<EExternal> MapOSException(const os::ExceptionRecord& Record) {
  const os::ExceptionRecord& r = Record;
  switch (r.ExceptionCode) {
    case os::kStatusIntegerDivideByZero: return std::make_unique<EDivByZero>("Division by zero", r);
    case os::kStatusIntegerOverflow: return std::make_unique<EIntOverflow>("Integer overflow", r);
    case os::kStatusArrayBoundsExceeded: return std::make_unique<ERangeError>("Range check error", r);
    case os::kStatusFloatInexactResult:
    case os::kStatusFloatInvalidOperation:
    case os::kStatusFloatStackCheck:
      return std::make_unique<EInvalidOp>("Invalid floating point operation", r);
    case os::kStatusFloatDivideByZero: return std::make_unique<EZeroDivide>("Floating point division by zero", r);
    case os::kStatusFloatOverflow: return std::make_unique<EOverflow>("Floating point overflow", r);
    case os::kStatusFloatDenormalOperand:
    case os::kStatusFloatUnderflow:
      return std::make_unique<EUnderflow>("Floating point underflow", r);
    case os::kStatusPrivilegedInstruction: return std::make_unique<EPrivilege>("Privileged instruction", r);
    case os::kStatusControlCExit: return std::make_unique<EControlC>("Control-C hit", r);
    case os::kStatusStackOverflow: return std::make_unique<EStackOverflow>("Stack overflow", r);
    case os::kStatusAccessViolation: {
      const bool has_parameters = r.NumberParameters >= 2;
      const std::string operation = OperationText(has_parameters ? r.ExceptionInformation[0] : 0);
      const void* accessed = has_parameters ? reinterpret_cast<const void*>(r.ExceptionInformation[1]) : nullptr;
      std::string module;
      const void* base = nullptr;
      if (os::FindModuleOfAddress(r.ExceptionAddress, module, base))
        return std::make_unique<EAccessViolation>(
            Format("Access violation at address %p in module '%s' (Base = 0x%p). %s of address %p",
                   r.ExceptionAddress, ExtractFileNameEx(module), base, operation, accessed),
            r);
      return std::make_unique<EAccessViolation>(
          Format("Access violation at address %p. %s of address %p", r.ExceptionAddress, operation, accessed), r);
    }
    default:
      return std::make_unique<EExternalException>(Format("External exception %x", r.ExceptionCode), r);
  }
}

void CopyFileView(void* Target, const void* Source, std::size_t Size) {
  const void* failed = nullptr;
  if (os::CopyFileViewBytes(Target, Source, Size, &failed)) return;
  const auto at = reinterpret_cast<std::uintptr_t>(failed), to = reinterpret_cast<std::uintptr_t>(Target);
  os::ExceptionRecord record;
  record.ExceptionCode = os::kStatusInPageError;
  record.ExceptionAddress = __builtin_return_address(0);
  record.NumberParameters = 2;
  record.ExceptionInformation[0] = at >= to && at - to < Size ? 1 : 0;  // write or read
  record.ExceptionInformation[1] = at;
  throw EExternalException(Format("External exception %x", record.ExceptionCode), record);
}

bool FileViewsEqual(const void* A, const void* B, std::size_t Size) {
  char a[4096], b[4096];
  for (std::size_t at = 0; at < Size; at += sizeof a) {
    const std::size_t n = std::min(sizeof a, Size - at);
    CopyFileView(a, static_cast<const char*>(A) + at, n);
    CopyFileView(b, static_cast<const char*>(B) + at, n);
    if (std::memcmp(a, b, n) != 0) return false;
  }
  return true;
}

void WriteExceptionText(const std::string& Text) {
  WriteLog(Text, lfAlways);
  if (TEventLog* log = GetDefaultEventLog()) WriteText(log, Text, true, -1, "", os::kEventError);
}

void LogException(const os::ExceptionRecord* Record, const os::ExceptionContext* Context) {
  LogExceptionWithTrace(Record, Context, nullptr);
}

namespace {
void LogExceptionWithTrace(const os::ExceptionRecord* Record, const os::ExceptionContext* Context,
                           const std::string* trace) {
  TLogGuard guard;
  if (!guard.Active()) return;
  try {
    if (!Record || !Context) {
      WriteExceptionText(HeaderLine("Exception") +
                         (Record ? "No exception context available!" : "No exception record available!") + "\r\n");
      return;
    }
    std::string class_name, message;
    if (Record->ExceptionCode == os::kLanguageExceptionCode) {
      const auto* object = Record->NumberParameters >= 2
                               ? reinterpret_cast<const std::exception*>(Record->ExceptionInformation[1])
                               : nullptr;
      const auto* type = Record->NumberParameters >= 3
                             ? reinterpret_cast<const std::type_info*>(Record->ExceptionInformation[2])
                             : nullptr;
      if (dynamic_cast<const EAbort*>(object)) return;
      class_name = object ? ExceptionClassText(object) : ClassNameOfType(type);
      if (object) message = object->what();
    } else {
      std::unique_ptr<EExternal> mapped = MapOSException(*Record);
      class_name = ExceptionClassText(mapped.get());
      message = mapped->Message();
    }
    // The scan starts at the context's stack pointer: 64-bit code keeps no
    // frame pointer, so its frame-pointer register may hold anything.
    const void* ip = reinterpret_cast<const void*>(Context->Ip);
    const void* start = reinterpret_cast<const void*>(Context->Sp ? Context->Sp : Context->Fp);
    WriteExceptionText(HeaderLine("Exception") + OrUnknown(class_name, "Unknown Class") +
                       "   Code=0x" + IntToHexFixed(Record->ExceptionCode, 8) +
                       "   Flags=0x" + Format("%x", Record->ExceptionFlags) +
                       "   Addr=" + HexAddress(reinterpret_cast<std::uintptr_t>(Record->ExceptionAddress)) +
                       "   PID=" + std::to_string(os::GetCurrentProcessId()) + "   TID=" + GetThreadText() +
                       "   Build=" + std::to_string(kLogBuild) + "\r\n\r\n" + OrUnknown(message, "No Message") +
                       "\r\n\r\n" + (trace ? *trace : GetCallTrace(ip, start)) + "\r\n");
  } catch (const std::exception& e) {
    NoteLoggingError("Error logging exception: ", e);
  } catch (...) {
  }
}
}  // namespace

void LogRaisedException(const std::exception* ExceptionObject, const void* Address) {
  LogRaised(ExceptionObject, ExceptionObject ? &typeid(*ExceptionObject) : nullptr, Address);
}

void InstallExceptionHooks() {
  if (!os::SetFaultObserver(&OnFault)) WriteLog("Failed to hook any-exception handler!\r\n", lfAlways);
  os::SetRaiseObserver(&OnRaise);
  os::SetCatchObserver(&OnCatch);
  // The observers sit in the runtime's raise routine and handler entry only
  // when this program's copies of them are the ones in use: try one.
  t_probing = true;
  t_probe_raised = t_probe_caught = false;
  try {
    throw 0;
  } catch (int) {
  }
  t_probing = false;
  if (!t_probe_caught) WriteLog("Failed to hook on-exception handler!\r\n", lfAlways);
  if (!t_probe_raised) WriteLog("Failed to hook exception-raising handler!\r\n", lfAlways);
}

void UninstallExceptionHooks() {
  os::SetRaiseObserver(nullptr);
  os::SetCatchObserver(nullptr);
  os::SetFaultObserver(nullptr);
}

const UnitEntry kExceptionHooksUnit{"ExceptionHooks", &InstallExceptionHooks, &UninstallExceptionHooks};

}  // namespace vt
