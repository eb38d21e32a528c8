// Observation points in the dispatch of exceptions: the C++ runtime's raise
// routine, the entry of every catch handler, and processor faults (signals)
// described as Windows-style exception records.
//
// The raise and catch points are reached through the runtime's own entry
// routines, which this layer provides and forwards to the runtime's; nothing
// is observed while no observer is set.
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <string>
#include <typeinfo>

namespace vt::os {

// Exception codes of the system's exception records.
constexpr std::uint32_t kStatusAccessViolation = 0xC0000005;
constexpr std::uint32_t kStatusInPageError = 0xC0000006;
constexpr std::uint32_t kStatusIllegalInstruction = 0xC000001D;
constexpr std::uint32_t kStatusArrayBoundsExceeded = 0xC000008C;
constexpr std::uint32_t kStatusFloatDenormalOperand = 0xC000008D;
constexpr std::uint32_t kStatusFloatDivideByZero = 0xC000008E;
constexpr std::uint32_t kStatusFloatInexactResult = 0xC000008F;
constexpr std::uint32_t kStatusFloatInvalidOperation = 0xC0000090;
constexpr std::uint32_t kStatusFloatOverflow = 0xC0000091;
constexpr std::uint32_t kStatusFloatStackCheck = 0xC0000092;
constexpr std::uint32_t kStatusFloatUnderflow = 0xC0000093;
constexpr std::uint32_t kStatusIntegerDivideByZero = 0xC0000094;
constexpr std::uint32_t kStatusIntegerOverflow = 0xC0000095;
constexpr std::uint32_t kStatusPrivilegedInstruction = 0xC0000096;
constexpr std::uint32_t kStatusStackOverflow = 0xC00000FD;
constexpr std::uint32_t kStatusControlCExit = 0xC000013A;
// Language exceptions: parameter 0 the raise address, 1 the exception object
// (a std::exception, or null), 2 its std::type_info.
constexpr std::uint32_t kLanguageExceptionCode = 0x0EEDFADE;
constexpr std::uint32_t kExceptionNoncontinuable = 1;

// System layout of an exception record.
struct ExceptionRecord {
  std::uint32_t ExceptionCode = 0;
  std::uint32_t ExceptionFlags = 0;
  const ExceptionRecord* Nested = nullptr;
  const void* ExceptionAddress = nullptr;
  std::uint32_t NumberParameters = 0;
  std::uintptr_t ExceptionInformation[15] = {};
};

// The registers an exception context is used for.
struct ExceptionContext {
  std::uintptr_t Ip = 0;
  std::uintptr_t Fp = 0;
  std::uintptr_t Sp = 0;
};

// A thrown object seen as a std::exception, or null when its type is not one.
const std::exception* AsStdException(void* object, const std::type_info* type);

// Called by the thread that throws, before the search for a handler starts;
// address is the return address of the raise call, stack the thrower's stack
// position at that call (null when unknown).
using RaiseObserver = void (*)(void* object, const std::type_info* type, const void* address, const void* stack);
// Called as a catch handler is entered, with the thrown object (null when the
// runtime cannot tell it) and the raise address seen on this thread (null
// when unknown).
using CatchObserver = void (*)(void* object, const std::type_info* type, const void* address);
// Called from the signal handler of a processor fault, on the thread's
// alternate signal stack when it has one (see FaultSupport.h): it may do only
// async-signal-safe work. The fault then takes its previous course (the
// handler installed before, or the default). A fault in the guard area below
// the thread's stack is a stack overflow (kStatusStackOverflow). The observer
// gets 5 seconds, the hook then 60: when one of them hangs past its time, or
// faults, the process ends at once by the fault's signal (the hook still
// called first when it has not run).
using FaultObserver = void (*)(const ExceptionRecord& record, const ExceptionContext& context);

void SetRaiseObserver(RaiseObserver observer);
void SetCatchObserver(CatchObserver observer);
// Installs the fault handlers (SIGSEGV, SIGBUS, SIGFPE, SIGILL) for a
// non-null observer and puts the previous ones back for null; installing
// also prepares the calling thread (PrepareThreadForFaults).
// False when the handlers could not be installed.
bool SetFaultObserver(FaultObserver observer);

// Called on the faulting thread by the fault handlers (while installed),
// after the observer has seen the fault and before the fault ends the
// process: the program's last chance to clean up. It may do only
// async-signal-safe work and should not return; if it does, the fault
// takes its course.
using FatalFaultHook = void (*)(const ExceptionRecord& record) noexcept;
void SetFatalFaultHook(FatalFaultHook hook);

// Copies size bytes from source to target where either may lie in a mapped
// view of a file. A page of the view that cannot be read or written any more
// (another program cut the file short under it) ends the copy: false, with
// the address of that page's byte in failed_at. Other faults take their
// course. Handler-safe it is not: it installs a SIGBUS handler on first use.
bool CopyFileViewBytes(void* target, const void* source, std::size_t size, const void** failed_at) noexcept;

// The file name and load address of the module whose mapped image holds the
// address; false when no loaded module holds it.
bool FindModuleOfAddress(const void* address, std::string& file_name, const void*& base);

}  // namespace vt::os
