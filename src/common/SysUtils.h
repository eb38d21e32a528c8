// Exceptions, assertions and text formatting shared by the whole library.
#pragma once

#include <cstdint>
#include <exception>
#include <string>
#include <string_view>
#include <type_traits>
#include <typeinfo>
#include <utility>
#include <vector>

namespace vt {

// The general exception: a fixed English message.
class Exception : public std::exception {
 public:
  explicit Exception(std::string message) : message_(std::move(message)) {}
  const char* what() const noexcept override { return message_.c_str(); }
  const std::string& Message() const noexcept { return message_; }
  void SetMessage(std::string message) { message_ = std::move(message); }

  // Only inside a handler of this very exception: raises a copy of it, of
  // its own class with all its data. A class that does not declare
  // VT_EXCEPTION_KIND raises the handled object itself again.
  [[noreturn]] virtual void RaiseCopy() const {
    if (typeid(*this) != typeid(Exception)) throw;
    throw *this;
  }

 private:
  std::string message_;
};

// In the public part of every exception class: RaiseCopy of that class.
#define VT_EXCEPTION_KIND(Class)                        \
  [[noreturn]] void RaiseCopy() const override {        \
    if (typeid(*this) != typeid(Class)) throw;          \
    throw *this;                                        \
  }

// Silent exception: ends an operation without a report.
class EAbort : public Exception {
 public:
  VT_EXCEPTION_KIND(EAbort)
  using Exception::Exception;
};

// A failed system call; ErrorCode is the Windows-style system error.
class EOSError : public Exception {
 public:
  VT_EXCEPTION_KIND(EOSError)
  EOSError(std::string message, std::uint32_t code) : Exception(std::move(message)), ErrorCode(code) {}
  std::uint32_t ErrorCode;
};

class EListError : public Exception {
 public:
  VT_EXCEPTION_KIND(EListError)
  using Exception::Exception;
};

class EStringListError : public Exception {
 public:
  VT_EXCEPTION_KIND(EStringListError)
  using Exception::Exception;
};

class EConvertError : public Exception {
 public:
  VT_EXCEPTION_KIND(EConvertError)
  using Exception::Exception;
};

class EStreamError : public Exception {
 public:
  VT_EXCEPTION_KIND(EStreamError)
  using Exception::Exception;
};

class EReadError : public EStreamError {
 public:
  VT_EXCEPTION_KIND(EReadError)
  EReadError() : EStreamError("Stream read error") {}
  using EStreamError::EStreamError;
};

class EWriteError : public EStreamError {
 public:
  VT_EXCEPTION_KIND(EWriteError)
  EWriteError() : EStreamError("Stream write error") {}
  using EStreamError::EStreamError;
};

class EFOpenError : public EStreamError {
 public:
  VT_EXCEPTION_KIND(EFOpenError)
  using EStreamError::EStreamError;
};

class EInvalidCast : public Exception {
 public:
  VT_EXCEPTION_KIND(EInvalidCast)
  EInvalidCast() : Exception("Invalid class typecast") {}
};

// An internal consistency check failed. Always active, never an abort.
// Text: "<message> (<unit>, line <n>)"; the message is "Assertion failure"
// unless the check gives its own.
class EAssertionFailed : public Exception {
 public:
  VT_EXCEPTION_KIND(EAssertionFailed)
  EAssertionFailed(std::string message, std::string unit, int line);
  const std::string& Unit() const noexcept { return unit_; }
  int Line() const noexcept { return line_; }

 private:
  std::string unit_;
  int line_;
};

[[noreturn]] void AssertionFailed(const char* unit, int line, const char* message = "Assertion failure");

}  // namespace vt

// VT_ASSERT_AT(cond, "Unit", line): the unit name and line the reports name.
#define VT_ASSERT_AT(cond, unit, line) \
  do {                                 \
    if (!(cond)) ::vt::AssertionFailed(unit, line); \
  } while (0)
#define VT_ASSERT_MSG_AT(cond, unit, line, msg) \
  do {                                          \
    if (!(cond)) ::vt::AssertionFailed(unit, line, msg); \
  } while (0)

namespace vt {

// One argument of Format: an integer, a floating value, a text or a pointer.
class FormatArg {
 public:
  enum class Kind { kInt, kUInt, kDouble, kString, kPointer };
  template <typename T>
    requires(std::is_integral_v<T> && std::is_signed_v<T>)
  FormatArg(T v) : kind_(Kind::kInt), i_(v) {}
  template <typename T>
    requires(std::is_integral_v<T> && std::is_unsigned_v<T> && !std::is_same_v<T, bool>)
  FormatArg(T v) : kind_(Kind::kUInt), u_(v) {}
  FormatArg(bool v) : kind_(Kind::kInt), i_(v ? 1 : 0) {}
  FormatArg(double v) : kind_(Kind::kDouble), d_(v) {}
  FormatArg(const char* s) : kind_(Kind::kString), s_(s ? s : "") {}
  FormatArg(const std::string& s) : kind_(Kind::kString), s_(s) {}
  FormatArg(std::string_view s) : kind_(Kind::kString), s_(s) {}
  FormatArg(const void* p) : kind_(Kind::kPointer), u_(reinterpret_cast<std::uintptr_t>(p)) {}

  Kind kind() const { return kind_; }
  std::int64_t AsInt() const { return kind_ == Kind::kInt ? i_ : static_cast<std::int64_t>(u_); }
  std::uint64_t AsUInt() const { return kind_ == Kind::kInt ? static_cast<std::uint64_t>(i_) : u_; }
  double AsDouble() const { return kind_ == Kind::kDouble ? d_ : static_cast<double>(AsInt()); }
  std::string_view AsString() const { return s_; }

 private:
  Kind kind_;
  std::int64_t i_ = 0;
  std::uint64_t u_ = 0;
  double d_ = 0;
  std::string_view s_;
};

// Formats like the runtime's Format: %s %d %u %x (upper-case hex) %p
// (upper-case hex, pointer width) %f %g %e %%, with '-', width and '.prec'.
// A missing or mismatched argument, or a width or precision above
// kMaxFormatWidth, raises EConvertError.
constexpr int kMaxFormatWidth = 65535;
std::string FormatV(std::string_view fmt, const std::vector<FormatArg>& args);

template <typename... A>
std::string Format(std::string_view fmt, const A&... args) {
  return FormatV(fmt, std::vector<FormatArg>{FormatArg(args)...});
}

// Decimal text of an integer.
std::string IntToStr(std::int64_t v);

}  // namespace vt
