#include "common/ExceptionHooks.h"

#include "common/EventLog.h"
#include "common/Locks.h"
#include "common/Logs.h"
#include "common/Objects.h"
#include "common/ObjectsFiles.h"
#include "platform/Process.h"
#include "platform/SystemLog.h"

namespace vt {

namespace {

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

void LogRaised(const std::exception* object, const std::type_info* type, const void* address) {
  TLogGuard guard;
  if (!guard.Active() || dynamic_cast<const EAbort*>(object)) return;
  try {
    const std::string class_name = object ? ExceptionClassText(object) : ClassNameOfType(type);
    const std::string message = object ? object->what() : "";
    WriteExceptionText(HeaderLine("Raised Exception") + OrUnknown(class_name, "Unknown Class") + " PID=" +
                       std::to_string(os::GetCurrentProcessId()) + " TID=" + GetThreadText() +
                       " Build=" + std::to_string(kLogBuild) + "\r\n\r\n" + OrUnknown(message, "No Message") +
                       "\r\n\r\n" + GetCallTrace(address) + "\r\n\r\n");
  } catch (const std::exception& e) {
    WriteExceptionText(std::string("Error logging raised exception: ") + e.what());
  } catch (...) {
  }
}

// ---- the observers ----

// Set while installation checks that raises and handlers are seen.
thread_local bool t_probing = false;
thread_local bool t_probe_raised = false;
thread_local bool t_probe_caught = false;

void OnRaise(void* object, const std::type_info* type, const void* address) {
  if (t_probing) {
    t_probe_raised = true;
    return;
  }
  LogRaised(os::AsStdException(object, type), type, address);
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
  LogException(&record, &context);
}

void OnFault(const os::ExceptionRecord& record, const os::ExceptionContext& context) {
  LogException(&record, &context);
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

void WriteExceptionText(const std::string& Text) {
  WriteLog(Text, lfAlways);
  if (TEventLog* log = GetDefaultEventLog()) WriteText(log, Text, true, -1, "", os::kEventError);
}

void LogException(const os::ExceptionRecord* Record, const os::ExceptionContext* Context) {
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
    const void* ip = reinterpret_cast<const void*>(Context->Ip);
    const void* start = reinterpret_cast<const void*>(ip ? Context->Fp : Context->Sp);
    WriteExceptionText(HeaderLine("Exception") + OrUnknown(class_name, "Unknown Class") +
                       "   Code=0x" + IntToHexFixed(Record->ExceptionCode, 8) +
                       "   Flags=0x" + Format("%x", Record->ExceptionFlags) +
                       "   Addr=" + HexAddress(reinterpret_cast<std::uintptr_t>(Record->ExceptionAddress)) +
                       "   PID=" + std::to_string(os::GetCurrentProcessId()) + "   TID=" + GetThreadText() +
                       "   Build=" + std::to_string(kLogBuild) + "\r\n\r\n" + OrUnknown(message, "No Message") +
                       "\r\n\r\n" + GetCallTrace(ip, start) + "\r\n");
  } catch (const std::exception& e) {
    WriteExceptionText(std::string("Error logging exception: ") + e.what());
  } catch (...) {
  }
}

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
