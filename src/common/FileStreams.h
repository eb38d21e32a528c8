// File streams: a file stream that retries its open and reports failures
// with context (TFileStreamEx), a stream that reads and writes through
// mapped views (TMappedFileStream), and whole-file save, compare, copy and
// map routines.
#pragma once

#include <climits>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "common/Classes.h"
#include "common/SysUtils.h"
#include "common/TypedLists.h"
#include "common/Units.h"
#include "platform/Files.h"
#include "platform/Modules.h"

namespace vt {

class EFCreateError : public EStreamError {
 public:
  VT_EXCEPTION_KIND(EFCreateError)
  using EStreamError::EStreamError;
};

// A stream over an open file handle. The stream owns the handle.
class THandleStream : public TStream {
 public:
  explicit THandleStream(os::FileHandle handle) : handle_(handle) {}
  ~THandleStream() override;
  THandleStream(const THandleStream&) = delete;
  THandleStream& operator=(const THandleStream&) = delete;

  std::int64_t Read(void* buffer, std::int64_t count) override;
  std::int64_t Write(const void* buffer, std::int64_t count) override;
  std::int64_t Seek(std::int64_t offset, TSeekOrigin origin) override;
  std::int64_t GetSize() override;
  void SetSize(std::int64_t new_size) override;

  os::FileHandle Handle() const { return handle_; }
  // Writes go to the end of the file whatever the position (the handle was
  // opened for appending): what is written cannot be patched in place.
  bool AppendsOnly() const { return os::IsAppendOnly(handle_); }

 protected:
  THandleStream() = default;
  void SetHandle(os::FileHandle h) { handle_ = h; }
  // Closes the handle (once).
  void CloseHandle();

 private:
  os::FileHandle handle_ = os::kInvalidFile;
};

// Open mode: kFileModeCreate, or access (bits 0-1) | sharing (bits 4-7).
constexpr std::uint16_t kFileModeCreate = 0xFFFF;
enum : std::uint16_t {
  fmOpenRead = 0x0,
  fmOpenWrite = 0x1,
  fmOpenReadWrite = 0x2,
  fmShareExclusive = 0x10,
  fmShareDenyWrite = 0x20,
  fmShareDenyRead = 0x30,
  fmShareDenyNone = 0x40,
};

// Options of TFileStreamEx and TMappedFileStream.
enum : std::uint32_t {
  fsoCreateFolder = 0x1,
  fsoWriteThrough = 0x2,
  fsoNoBuffering = 0x4,
  fsoSequentialScan = 0x8,
  fsoDeleteOnClose = 0x10,
  fsoTemporary = 0x20,
  fsoOverlapped = 0x40,
  fsoNoSizeCheck = 0x80,
  fsoWritable = 0x200,
  fsoRandomAccess = 0x400,
  fsoShareDelete = 0x800,
  fsoCreateNew = 0x1000,
  fsoOpenAlways = 0x2000,
  fsoSetEndOnGrow = 0x4000,
};

class TFileStreamEx : public THandleStream {
 public:
  // Opens or creates FileName, retrying for RetrySeconds when the file is
  // busy. Raises EFOpenError "Cannot open file: %s", EFCreateError "Cannot
  // create file: %s", or the read-only texts.
  TFileStreamEx(const std::string& file_name, std::uint16_t mode, int retry_seconds = 0, std::uint32_t options = 0)
      : TFileStreamEx(file_name, mode, retry_seconds, options, 0) {}

  // Short transfers raise "Failed to %s file '%s' (%d bytes at position %d): %s"
  // unless a read simply met the end of the file.
  std::int64_t Read(void* buffer, std::int64_t count) override;
  std::int64_t Write(const void* buffer, std::int64_t count) override;

  virtual void Flush();
  bool SameContent(const void* memory, std::int64_t size);
  os::FileInformation GetFileInformation();
  std::uint64_t LastWriteTime();
  void SetLastWriteTime(std::uint64_t file_time);
  // Copies the whole file into a new file (see CopyFileToNewFile).
  void CopyToNewFile(const std::string& target_name);

  const std::string& FileName() const { return file_name_; }
  std::uint32_t Options() const { return options_; }
  bool Created() const { return created_; }
  std::int64_t WaitedMilliseconds() const { return waited_ms_; }

 protected:
  // ExtraFlags are added to the open's flags.
  TFileStreamEx(const std::string& file_name, std::uint16_t mode, int retry_seconds, std::uint32_t options,
                os::DWORD extra_flags);

  std::uint32_t options_ = 0;

 private:
  std::string file_name_;
  bool created_ = false;
  std::int64_t waited_ms_ = 0;
};

class TMappedFileStream;

// The views of a mapped stream: 256 KB windows, at most two kept mapped, in
// most-recently-used order.
class TMappedViewCache {
 public:
  static constexpr int kViewSizeBits = 18;
  static constexpr std::int64_t kViewSize = std::int64_t{1} << kViewSizeBits;
  static constexpr std::int64_t kViewMask = kViewSize - 1;
  static constexpr std::size_t kMaxViews = 2;

  explicit TMappedViewCache(TMappedFileStream& stream) : stream_(stream) {}
  ~TMappedViewCache() { Clear(); }
  TMappedViewCache(const TMappedViewCache&) = delete;
  TMappedViewCache& operator=(const TMappedViewCache&) = delete;

  // The address of Position inside its view and the bytes available from
  // there to the view's end.
  char* ViewAt(std::int64_t position, std::int64_t& available);
  void Clear();

 private:
  TMappedFileStream& stream_;
  // View index -> view, owned; first = most recently used. Made on first use.
  std::unique_ptr<TIntegerViewList> views_;
};

// Over a regular file only: anything else (a FIFO, whose open would wait
// for its other end, a device) is refused at once ("Cannot open file").
class TMappedFileStream : public TFileStreamEx {
 public:
  TMappedFileStream(const std::string& file_name, std::uint16_t mode, int retry_seconds = 0,
                    std::uint32_t options = 0);
  // Closes without reporting; call Close() to learn of failures.
  ~TMappedFileStream() override;

  std::int64_t Read(void* buffer, std::int64_t count) override;
  std::int64_t Write(const void* buffer, std::int64_t count) override;
  std::int64_t Seek(std::int64_t offset, TSeekOrigin origin) override;
  std::int64_t GetSize() override { return size_; }
  void SetSize(std::int64_t new_size) override;
  void Flush() override;

  // Drops views and mapping, trims the file to the stream's size (a writable
  // stream without fsoNoSizeCheck) and closes it. Raises "Failed to close
  // mapped file: %s". Later calls do nothing.
  void Close();

  bool Writable() const { return (options_ & fsoWritable) != 0; }

  // With lending on, a read-only stream lends blocks to TVirtualStream
  // targets (LendBytes) as parts of one copy-on-write view of the whole file,
  // which lives until the last of them is gone: large contents then cost
  // address space, not memory.
  void SetLendBytes(bool lend) { lend_ = lend; }
  bool LendBytes(std::int64_t count, TMemoryStream& target) override;

  // Transfers of at least kLargeTransfer bytes go through windows of up to
  // kLargeWindow bytes mapped for the transfer alone, not through the cache.
  static constexpr std::int64_t kLargeTransfer = std::int64_t{1} << 21;
  static constexpr std::int64_t kLargeWindow = std::int64_t{8} << 20;
  static constexpr std::int64_t kLargeWindowAlignment = std::int64_t{2} << 20;
  // The largest size: views are keyed by 32-bit indices. SetSize beyond it
  // raises "Invalid stream size %d".
  static constexpr std::int64_t kMaxSize = (std::int64_t{INT32_MAX} + 1) << TMappedViewCache::kViewSizeBits;

 private:
  friend class TMappedViewCache;
  // Moves n bytes between the file at the position and a buffer; copy gets
  // each mapped piece, its offset in the buffer and its size. Failures are
  // reported by message (bytes left, position).
  template <typename Copy>
  void Transfer(std::int64_t n, const char* message, Copy copy);
  // The mapping, created for the present size when missing.
  os::MappingHandle Mapping();
  // The mapping size for a stream of Size bytes, and a new mapping of Size.
  std::int64_t MappingSizeFor(std::int64_t size) const;
  os::MappingHandle NewMapping(std::int64_t size);
  void DropMapping();
  // Cuts the bytes from NewSize to the size off, so that growing again shows
  // zeros: a writable stream cuts its file (or, where another view holds the
  // file's length, zeroes them); a read-only one reads them as zeros.
  void Cut(std::int64_t new_size);

  std::int64_t position_ = 0;
  std::int64_t size_ = 0;
  os::MappingHandle mapping_ = nullptr;
  std::int64_t mapped_size_ = 0;
  std::int64_t cut_ = INT64_MAX;  // read-only: bytes from here read as zeros
  TMappedViewCache cache_{*this};
  bool closed_ = false;
  bool lend_ = false;
  class TLentView* lent_ = nullptr;  // one reference held by the stream
};

// Creates FileName (no retries), copies the whole Stream into it from its
// start and, when FileTime is non-zero, sets it as the last-write time.
void SaveStreamToFile(TStream& stream, const std::string& file_name, std::uint32_t options, std::uint64_t file_time);

using TCopyProgress = void (*)(void* data, std::int64_t bytes_done, std::int64_t total);
// Copies the whole file behind SourceHandle into a new file TargetName,
// through read-only views of at most 1 MB.
void CopyFileToNewFile(os::FileHandle source_handle, const std::string& target_name, TCopyProgress progress = nullptr,
                       void* progress_data = nullptr);
bool FilesEqual(const std::string& name_a, const std::string& name_b);
// Kind 0 read-only, 1 writable, 2 copy-on-write. Answers nullptr for an
// empty file; the caller unmaps the view (os::UnmapViewOfFile).
void* MapWholeFile(const std::string& file_name, int kind, std::int64_t& size);
// Loads a copy of the library placed in the temporary folder (an equal copy
// already there is reused).
os::HMODULE LoadLibraryFromTempCopy(const std::string& library_file_name);

// The object-namespace folder in which this process's named objects live,
// with its trailing backslash; found at start-up ("\BaseNamedObjects\"
// until then, or when the system does not tell).
const std::string& ObjectNamespaceDirectory();

// Start-up: finds the object-namespace folder.
extern const UnitEntry kFileStreamsUnit;

}  // namespace vt
