// The setup bootstrapper's core routines: setup metadata, the inner setup's
// command line and the LZMA tool's command line.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "common/Classes.h"
#include "platform/Files.h"

namespace vt {

// Resource 1001: little-endian Int32 size of Setup.exe, then the compressed
// flag byte (any non-zero value means compressed).
struct TSetupMetadata {
  std::int32_t SetupExeSize = 0;
  bool Compressed = false;
};

// Reads resource 1001's bytes. Raises "Failed to load setup metadata
// resource." when they are fewer than 5.
TSetupMetadata ReadSetupMetadata(const std::string& bytes);

// Raises unless 0 < SetupExeSize <= package_size.
void CheckSetupExeSize(const TSetupMetadata& metadata, std::int64_t package_size);

// Copies the last SetupExeSize bytes of the package into exe, after checking
// the size against the package.
void SplitSetupExe(TStream& package, TStream& exe, const TSetupMetadata& metadata);

// Some argument after the program part begins with '-' or '/' and its
// remainder equals "silent_installer" ignoring case.
bool HasSilentInstallerSwitch(const std::string& raw_command_line);

// Writes text to out (standard output, unbuffered); a failure raises
// "I/O error N".
void WriteConsoleText(os::FileHandle out, std::string_view text);

// Erases "Please wait..." and its dots: CR, 78 blanks, CR.
std::string ConsoleEraseLine();

// The setup engine. Only its destructor belongs to this program: it frees
// what the engine owns (nothing here: the engine's parts and its network
// library have no counterpart), then removes the setup's firewall exception
// (TFirewallUtil::RemoveSetupAppException); a failing firewall raises
// nothing but a warning in the log.
class TSetupCore : public TObject {
 public:
  TSetupCore() = default;
  ~TSetupCore() noexcept override;
  TSetupCore(const TSetupCore&) = delete;
  TSetupCore& operator=(const TSetupCore&) = delete;

  // A date-time (days since 1899-12-30) taken as UTC, to a file time, to the
  // millisecond. Raises EConvertError for values outside the file-time range.
  static os::FILETIME DateTimeToFileTime(double date_time);
};

// The setup engine's tables, kept though nothing here reads them.
inline constexpr const char* kSetupModes[] = {"Setup", "Repair", "Install", "Uninstall"};
inline constexpr const char* kProjectFileExtensions[] = {".sln", ".vcproj", ".dsw", ".dsp", ".vcw", ".vcp"};
inline constexpr const char* kErrorText = "Error ";
inline constexpr const char* kFailureText = "Failure occurred while ";

// The per-process folder name under the temporary directory: the prefix and
// the process id.
inline constexpr const char* kSetupFolderPrefix = "Vontaro_Setup_";
std::string SetupFolderName(std::uint32_t process_id);

// "<lzma>" d "<input>" "<output>", each path quoted by the runtime's rules.
std::string LzmaCommandLine(const std::string& tool, const std::string& input, const std::string& output);
// Raises "Decompression failed. Tool returned code: N" unless exit_code is 0;
// for 112 (the disk is full) the system's text follows on a second line.
void CheckLzmaExitCode(std::uint32_t exit_code);

// Before decoding: the package that an LZMA-alone payload's header (its
// first 13 bytes) announces, and the Setup.exe split off it, must fit into
// free_bytes; when the header gives no size (all ones), Setup.exe alone.
// Raises "Invalid setup payload: its header is incomplete." for a short
// header, else "Not enough free space to extract setup: N bytes needed, M
// free.".
void CheckSpaceToExtract(std::string_view payload_header, const TSetupMetadata& metadata,
                         std::uint64_t free_bytes);

// The most a run holds in its setup folder at once, in bytes as a file
// system counts them (whole 4 KiB blocks; a file written through a mapping
// takes whole 256 KiB views until it is closed): the LZMA tool, the payload
// (tool_size 0 and decoded_size 0 for a plain package, which is
// "Setup.pak" itself), the decoded package and "Setup.exe" being split off
// it. decoded_size: as the payload header gives it (all ones: unknown, not
// counted).
std::uint64_t SetupSpaceNeeded(std::uint64_t tool_size, std::uint64_t payload_size, std::uint64_t decoded_size,
                               const TSetupMetadata& metadata);
// The decoded size an LZMA-alone payload's header announces (all ones when
// it gives none). Raises "Invalid setup payload: its header is incomplete."
// for a header shorter than 13 bytes.
std::uint64_t DecodedSizeOf(std::string_view payload_header);
// "Not enough free space to extract setup: N bytes needed, M free." when
// needed is more than free_bytes.
void CheckSpaceNeeded(std::uint64_t needed, std::uint64_t free_bytes);

// The command line of the inner setup: its quoted path, the quoted own path
// as /installer_filename= (both quoted by the runtime's rules, so that the
// child receives them exactly), the own arguments as typed, the component
// selection when both a "vs_integrated" and an "install" switch are given,
// the product caption, and " /no_params" when arg_count is 0.
// raw_command_line is the whole own command line, program part included;
// arg_count the runtime's count of arguments after the program part.
std::string BuildSetupCommandLine(const std::string& setup_exe_path, const std::string& own_path,
                                  const std::string& raw_command_line, int arg_count,
                                  const std::string& product_caption);

}  // namespace vt
