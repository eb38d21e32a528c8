// Every exception leaves records in the process log (and in the default
// event log when one is set): a "Raised Exception" record when it is thrown,
// an "Exception" record when a handler takes it, and one for each processor
// fault, described with its address and module.
#pragma once

#include <memory>
#include <string>

#include "common/SysUtils.h"
#include "common/Units.h"
#include "platform/ExceptionDispatch.h"

namespace vt {

// Exceptions made from system exception records; they keep the record.
class EExternal : public Exception {
 public:
  EExternal(std::string message, const os::ExceptionRecord& record) : Exception(std::move(message)), Record(record) {
    Record.Nested = nullptr;
  }
  VT_EXCEPTION_KIND(EExternal)
  os::ExceptionRecord Record;
};

#define VT_EXTERNAL_CLASS(Name)        \
  class Name : public EExternal {      \
   public:                             \
    using EExternal::EExternal;        \
    VT_EXCEPTION_KIND(Name)            \
  };
VT_EXTERNAL_CLASS(EDivByZero)
VT_EXTERNAL_CLASS(EIntOverflow)
VT_EXTERNAL_CLASS(ERangeError)
VT_EXTERNAL_CLASS(EInvalidOp)
VT_EXTERNAL_CLASS(EZeroDivide)
VT_EXTERNAL_CLASS(EOverflow)
VT_EXTERNAL_CLASS(EUnderflow)
VT_EXTERNAL_CLASS(EAccessViolation)
VT_EXTERNAL_CLASS(EPrivilege)
VT_EXTERNAL_CLASS(EControlC)
VT_EXTERNAL_CLASS(EStackOverflow)
VT_EXTERNAL_CLASS(EExternalException)
#undef VT_EXTERNAL_CLASS

// The exception object for a system exception record, with the runtime's
// standard message for its kind.
std::unique_ptr<EExternal> MapOSException(const os::ExceptionRecord& Record);

// Copies Size bytes where Source or Target lies in a mapped view of a file.
// A page that the file no longer backs (another program cut it short under
// the view) raises the in-page error, EExternalException with the code
// os::kStatusInPageError, instead of ending the process with a bus error.
void CopyFileView(void* Target, const void* Source, std::size_t Size);

// Whether Size bytes at A and B are equal, where either may lie in a mapped
// view of a file; they are read through CopyFileView and raise as it does.
bool FileViewsEqual(const void* A, const void* B, std::size_t Size);

// Starts observing raises, handlers and processor faults. A point that
// cannot be observed is reported in the log.
void InstallExceptionHooks();
void UninstallExceptionHooks();

// The "Exception" record (handlers and faults). Null arguments are reported.
void LogException(const os::ExceptionRecord* Record, const os::ExceptionContext* Context);
// The "Raised Exception" record.
void LogRaisedException(const std::exception* ExceptionObject, const void* Address);
// To the process log (always written) and, split into lines, to the default
// event log when one is set.
void WriteExceptionText(const std::string& Text);

extern const UnitEntry kExceptionHooksUnit;

}  // namespace vt
