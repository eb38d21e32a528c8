#include "bootstrapper/SetupCore.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "bootstrapper/CmdLineTokenizer.h"
#include "bootstrapper/FirewallConfig.h"
#include "common/FileStreams.h"
#include "common/Objects.h"
#include "common/ObjectsFiles.h"
#include "common/SysUtils.h"
#include "common/Threads.h"
#include "platform/CommandLine.h"
#include "platform/LastError.h"
#include "platform/Sockets.h"

namespace vt {

TSetupMetadata ReadSetupMetadata(const std::string& bytes) {
  if (bytes.size() < 5) throw Exception("Failed to load setup metadata resource.");
  const auto b = [&](size_t i) { return static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i])); };
  TSetupMetadata m;
  m.SetupExeSize = static_cast<std::int32_t>(b(0) | (b(1) << 8) | (b(2) << 16) | (b(3) << 24));
  m.Compressed = bytes[4] != 0;
  return m;
}

void CheckSetupExeSize(const TSetupMetadata& metadata, std::int64_t package_size) {
  if (metadata.SetupExeSize <= 0 || metadata.SetupExeSize > package_size)
    throw Exception(Format("Invalid setup metadata: Setup.exe size %d, package size %d", metadata.SetupExeSize,
                           package_size));
}

void SplitSetupExe(TStream& package, TStream& exe, const TSetupMetadata& metadata) {
  CheckSetupExeSize(metadata, package.Size());
  package.Seek(-static_cast<std::int64_t>(metadata.SetupExeSize), TSeekOrigin::soEnd);
  exe.SetSize(exe.Position() + metadata.SetupExeSize);  // reserved once, not piece by piece
  exe.CopyFrom(package, metadata.SetupExeSize);
}

bool HasSilentInstallerSwitch(const std::string& raw_command_line) {
  const auto args = os::CommandLineToArgs(raw_command_line);
  for (size_t i = 1; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (!a.empty() && (a[0] == '-' || a[0] == '/') && SameTextAscii(std::string_view(a).substr(1), "silent_installer"))
      return true;
  }
  return false;
}

void WriteConsoleText(os::FileHandle out, std::string_view text) {
  std::int64_t done = 0;
  if (!os::WriteFile(out, text.data(), static_cast<std::int64_t>(text.size()), &done))
    throw Exception("I/O error " + IntToStr(os::GetLastError()));
}

std::string ConsoleEraseLine() { return "\r" + std::string(78, ' ') + "\r"; }

namespace {
void ReportFirewallCleanUpFailure(const char* why) noexcept {
  try {
    LibraryLog(TLogRecord::ShortWarning, std::string("Setup could not remove its firewall exception \"") +
                                             kSetupAppExceptionName + "\": " + why);
  } catch (...) {
  }
}
}  // namespace

TSetupCore::~TSetupCore() noexcept {
  os::WSACleanup();
  // A failing firewall is reported, not raised: the engine may be destroyed
  // while another exception unwinds.
  try {
    TFirewallUtil::RemoveSetupAppException();
  } catch (const std::exception& e) {
    ReportFirewallCleanUpFailure(e.what());
  } catch (...) {
    ReportFirewallCleanUpFailure("unknown error");
  }
}

os::FILETIME TSetupCore::DateTimeToFileTime(double date_time) {
  constexpr double kDaysBefore1899 = 109205;  // 1601-01-01 to 1899-12-30
  constexpr double kMsPerDay = 86400000.0;
  // Whole days, then the time of day (its absolute value for dates before 1899).
  const double days = std::trunc(date_time);
  const double ms = std::round(std::fabs(date_time - days) * kMsPerDay);
  const double total = (days + kDaysBefore1899) * kMsPerDay + ms;
  if (!std::isfinite(date_time) || total < 0 || total >= 9.2e14)  // past year 30000
    throw EConvertError("Invalid date-time value");
  return static_cast<os::FILETIME>(total) * 10000u;
}

std::string SetupFolderName(std::uint32_t process_id) { return kSetupFolderPrefix + IntToStr(process_id); }

std::string LzmaCommandLine(const std::string& tool, const std::string& input, const std::string& output) {
  return os::QuoteArgument(tool) + " d " + os::QuoteArgument(input) + " " + os::QuoteArgument(output);
}

void CheckLzmaExitCode(std::uint32_t exit_code) {
  if (exit_code == 0) return;
  std::string text = "Decompression failed. Tool returned code: " + IntToStr(static_cast<std::int32_t>(exit_code));
  // The bundled tool ends with this code when the disk fills up.
  if (exit_code == os::kErrorDiskFull) text += "\r\n" + os::SystemErrorText(exit_code) + ".";
  throw Exception(text);
}

void CheckSpaceToExtract(std::string_view payload_header, const TSetupMetadata& metadata,
                         std::uint64_t free_bytes) {
  std::uint64_t decoded = DecodedSizeOf(payload_header);
  // A stream without its size (all ones, as the standard tools write it):
  // only Setup.exe's share is known; a disk that fills up while decoding
  // fails the tool.
  if (decoded == ~std::uint64_t{0}) decoded = 0;
  const auto exe = static_cast<std::uint64_t>(std::max<std::int32_t>(metadata.SetupExeSize, 0));
  CheckSpaceNeeded(decoded > ~std::uint64_t{0} - exe ? ~std::uint64_t{0} : decoded + exe, free_bytes);
}

std::uint64_t DecodedSizeOf(std::string_view payload_header) {
  constexpr std::size_t kSizeAt = 5, kHeaderSize = 13;
  if (payload_header.size() < kHeaderSize) throw Exception("Invalid setup payload: its header is incomplete.");
  std::uint64_t decoded = 0;
  std::memcpy(&decoded, payload_header.data() + kSizeAt, 8);
  return decoded;
}

std::uint64_t SetupSpaceNeeded(std::uint64_t tool_size, std::uint64_t payload_size, std::uint64_t decoded_size,
                               const TSetupMetadata& metadata) {
  constexpr std::uint64_t kBlock = 4096, kView = 256 * 1024, kMax = ~std::uint64_t{0};
  const auto up = [&](std::uint64_t size, std::uint64_t unit) {
    return size > kMax - (unit - 1) ? kMax : (size + unit - 1) / unit * unit;
  };
  const auto add = [&](std::uint64_t a, std::uint64_t b) { return a > kMax - b ? kMax : a + b; };
  if (decoded_size == kMax) decoded_size = 0;
  const auto exe = static_cast<std::uint64_t>(std::max<std::int32_t>(metadata.SetupExeSize, 0));
  // Each step while the files before it stay: the tool, the payload, the
  // decoded package, Setup.exe.
  const std::uint64_t tool = tool_size ? up(tool_size, kBlock) : 0;
  const std::uint64_t payload = up(payload_size, kBlock);
  std::uint64_t needed = up(tool_size, kView);
  needed = std::max(needed, add(tool, up(payload_size, kView)));
  needed = std::max(needed, add(add(add(tool, payload), up(decoded_size, kBlock)), up(exe, kView)));
  return needed;
}

void CheckSpaceNeeded(std::uint64_t needed, std::uint64_t free_bytes) {
  if (needed > free_bytes)
    throw Exception("Not enough free space to extract setup: " + std::to_string(needed) + " bytes needed, " +
                    std::to_string(free_bytes) + " free.");
}

std::string BuildSetupCommandLine(const std::string& setup_exe_path, const std::string& own_path,
                                  const std::string& raw_command_line, int arg_count,
                                  const std::string& product_caption) {
  std::string result =
      os::QuoteArgument(setup_exe_path) + " /installer_filename=" + os::QuoteArgument(own_path);
  std::string rest = raw_command_line;
  std::string program;
  StripFirstToken(rest, true, program);
  TCRTCmdLineTokenizer tokenizer(raw_command_line);
  // A quoted program part ends where the runtime's argument rules end it, so
  // that an escaped quote in the program's path cannot pass part of the path
  // on as arguments.
  if (!raw_command_line.empty() && raw_command_line[0] == '"') {
    rest = raw_command_line.substr(tokenizer.RawTokens().Get(0).size());
    const auto blank = [](char c) { return static_cast<unsigned char>(c) <= ' '; };
    while (!rest.empty() && blank(rest.back())) rest.pop_back();
    rest.erase(rest.begin(), std::find_if_not(rest.begin(), rest.end(), blank));
  }
  result += ' ';
  result += rest;

  // The program's own path is no switch (on Linux it begins with '/').
  TStringListEx args(0);
  for (int i = 1; i < tokenizer.Tokens().Count(); ++i) args.Add(tokenizer.Tokens().Get(i));
  if (args.HasSwitch("vs_integrated") && args.HasSwitch("install"))
    result += " /vs_setup /COMPONENTS=Agent,Coordinator";

  if (!product_caption.empty()) result += " /ProductCaption=" + product_caption;
  if (arg_count == 0) result += " /no_params";
  return result;
}

}  // namespace vt
