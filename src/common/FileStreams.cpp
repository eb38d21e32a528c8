#include "common/FileStreams.h"

#include <algorithm>
#include <climits>
#include <cstring>

#include "common/ExceptionHooks.h"
#include "common/Objects.h"
#include "common/ObjectsFiles.h"
#include "common/Session.h"
#include "common/StreamUtils.h"
#include "platform/Process.h"
#include "platform/Sync.h"

namespace vt {

namespace {

constexpr std::int64_t kWholeFileView = 1 << 20;  // views of whole-file copies and compares

// Closes a mapping when it goes out of scope.
struct MappingGuard {
  os::MappingHandle m = nullptr;
  ~MappingGuard() { CloseMappingAndNil(m); }
};

struct ViewGuard {
  void* p = nullptr;
  ~ViewGuard() {
    if (p) os::UnmapViewOfFile(p);
  }
};

// Message, and on the next line the system's reason for Code (its insert
// filled with file).
std::string WithReason(const std::string& message, os::DWORD code, const std::string& file) {
  return message + "\r\n" + os::SystemErrorText(code, file) + " (" + std::to_string(code) + ")";
}

}  // namespace

// ---- THandleStream ----------------------------------------------------------

THandleStream::~THandleStream() { CloseHandle(); }

void THandleStream::CloseHandle() {
  os::FileHandle h = handle_;
  handle_ = os::kInvalidFile;
  if (h != os::kInvalidFile) os::CloseFile(h);
}

std::int64_t THandleStream::Read(void* buffer, std::int64_t count) {
  std::int64_t done = 0;
  os::ReadFile(handle_, buffer, count, &done);
  return done;
}

std::int64_t THandleStream::Write(const void* buffer, std::int64_t count) {
  std::int64_t done = 0;
  os::WriteFile(handle_, buffer, count, &done);
  return done;
}

std::int64_t THandleStream::Seek(std::int64_t offset, TSeekOrigin origin) {
  return SetFilePointerChecked(handle_, offset, static_cast<std::uint32_t>(origin));
}

std::int64_t THandleStream::GetSize() { return GetFileSizeChecked(handle_, true); }

void THandleStream::SetSize(std::int64_t new_size) {
  const std::int64_t pos = Position();
  SetFilePointerChecked(handle_, new_size, os::kFileBegin);
  SetEndOfFileChecked(handle_);
  SetFilePointerChecked(handle_, std::min(pos, new_size), os::kFileBegin);
}

// ---- TFileStreamEx ----------------------------------------------------------

TFileStreamEx::TFileStreamEx(const std::string& file_name, std::uint16_t mode, int retry_seconds,
                             std::uint32_t options, os::DWORD extra_flags)
    : options_(options), file_name_(file_name) {
  VT_ASSERT_AT(retry_seconds >= 0, "StreamUtils", 1186);
  created_ = mode == kFileModeCreate;
  os::DWORD access, share = 0, disposition;
  if (created_) {
    access = os::kGenericRead | os::kGenericWrite;
    disposition = os::kCreateAlways;
  } else {
    switch (mode & 3) {
      case 1: access = os::kGenericWrite; break;
      case 2: access = os::kGenericRead | os::kGenericWrite; break;
      default: access = os::kGenericRead; break;
    }
    switch ((mode >> 4) & 0xF) {
      case 2: share = os::kFileShareRead; break;
      case 3: share = os::kFileShareWrite; break;
      case 4: share = os::kFileShareRead | os::kFileShareWrite; break;
      default: break;
    }
    disposition = (options & fsoCreateNew) ? os::kCreateAlways : (options & fsoOpenAlways) ? os::kOpenAlways
                                                                                           : os::kOpenExisting;
  }
  if (options & fsoShareDelete) share |= os::kFileShareDelete;
  os::DWORD flags = 0;
  if (options & fsoWriteThrough) flags |= os::kFileFlagWriteThrough;
  if (options & fsoNoBuffering) flags |= os::kFileFlagNoBuffering;
  if (options & fsoSequentialScan) flags |= os::kFileFlagSequentialScan;
  if (options & fsoDeleteOnClose) flags |= os::kFileFlagDeleteOnClose;
  if (options & fsoTemporary) flags |= os::kFileAttributeTemporary;
  if (options & fsoOverlapped) flags |= os::kFileFlagOverlapped;
  if (options & fsoRandomAccess) flags |= os::kFileFlagRandomAccess;
  if (flags == 0) flags = os::kFileAttributeNormal;
  flags |= extra_flags;

  const std::int64_t all_attempts = std::int64_t{retry_seconds} * 20;
  std::int64_t attempts = all_attempts;
  bool folder_created = false;
  for (;;) {
    os::FileHandle h = os::CreateFile(file_name, access, share, disposition, flags);
    if (h != os::kInvalidFile) {
      SetHandle(h);
      break;
    }
    const os::DWORD err = os::GetLastError();
    if (attempts <= 0 || err == os::kErrorFileNotFound || err == os::kErrorPathNotFound ||
        err == os::kErrorInvalidDrive || err == os::kErrorCantAccessFile) {
      if ((options & fsoCreateFolder) && !folder_created) {
        folder_created = true;
        bool worked = false;
        const std::string folder = ExtractFilePathEx(file_name);
        try {
          worked = !folder.empty() && (ForceDirectoriesNotify(folder, "") || DirectoryExists(folder));
        } catch (const Exception&) {
          worked = false;
        }
        if (worked) continue;
      }
      const bool writing = created_ || (access & os::kGenericWrite);
      if (err == os::kErrorAccessDenied && writing && IsReadOnlyFile(file_name))
        throw Exception(Format(created_ ? "Cannot overwrite a read-only file: %s"
                                        : "Cannot open a read-only file for writing: %s",
                               file_name));
      if (created_) throw EFCreateError(WithReason(Format("Cannot create file: %s", file_name), err, file_name));
      throw EFOpenError(Format("Cannot open file: %s", file_name));
    }
    os::Sleep(50);
    --attempts;
  }
  waited_ms_ = (all_attempts - attempts) * 50;
}

namespace {
[[noreturn]] void RaiseTransfer(const char* what, const std::string& name, std::int64_t count,
                                std::int64_t position, os::DWORD code) {
  throw EOSError(Format("Failed to %s file '%s' (%d bytes at position %d): %s", what, name, count, position,
                        os::SystemErrorText(code, name)),
                 code);
}
}  // namespace

std::int64_t TFileStreamEx::Read(void* buffer, std::int64_t count) {
  std::int64_t done = 0;
  if (!os::ReadFile(Handle(), buffer, count, &done) && os::GetLastError() != os::kErrorHandleEof) {
    const os::DWORD code = os::GetLastError();
    std::int64_t pos = 0;
    os::SetFilePointer(Handle(), 0, os::kFileCurrent, &pos);
    RaiseTransfer("read from", file_name_, count, pos - done, code);
  }
  return done;
}

std::int64_t TFileStreamEx::Write(const void* buffer, std::int64_t count) {
  std::int64_t done = 0;
  if (!os::WriteFile(Handle(), buffer, count, &done) || done < count) {
    const os::DWORD code = os::GetLastError() == os::kErrorSuccess ? os::kErrorDiskFull : os::GetLastError();
    std::int64_t pos = 0;
    os::SetFilePointer(Handle(), 0, os::kFileCurrent, &pos);
    RaiseTransfer("write to", file_name_, count, pos - done, code);
  }
  return done;
}

void TFileStreamEx::Flush() { FlushFileBuffersChecked(Handle()); }

bool TFileStreamEx::SameContent(const void* memory, std::int64_t size) {
  if (GetFileSizeChecked(Handle(), true) != size) return false;
  if (size == 0) return true;
  MappingGuard mapping{CreateFileMappingChecked(Handle(), os::kPageReadOnly, 0, std::string(), true)};
  const auto* mem = static_cast<const char*>(memory);
  for (std::int64_t offset = 0; offset < size; offset += kWholeFileView) {
    const auto len = static_cast<std::size_t>(std::min(kWholeFileView, size - offset));
    ViewGuard view{MapViewChecked(mapping.m, os::kFileMapRead, static_cast<std::uint64_t>(offset), len, true)};
    if (!FileViewsEqual(view.p, mem + offset, len)) return false;
  }
  return true;
}

os::FileInformation TFileStreamEx::GetFileInformation() {
  os::FileInformation info;
  GetFileInformationChecked(Handle(), &info);
  return info;
}

std::uint64_t TFileStreamEx::LastWriteTime() { return GetFileInformation().last_write_time; }

void TFileStreamEx::SetLastWriteTime(std::uint64_t file_time) {
  SetFileTimeChecked(Handle(), nullptr, nullptr, &file_time);
}

void TFileStreamEx::CopyToNewFile(const std::string& target_name) { CopyFileToNewFile(Handle(), target_name); }

// ---- TMappedViewCache -------------------------------------------------------

namespace {

void UnmapView(void* view) { os::UnmapViewOfFile(view); }

}  // namespace

char* TMappedViewCache::ViewAt(std::int64_t position, std::int64_t& available) {
  // View indices are 32-bit keys: positions stay below 2^49.
  if (position < 0 || position >= stream_.size_ || position >= TMappedFileStream::kMaxSize)
    throw Exception(Format("Cannot map view of mapped stream: Invalid position/size requested (position = %s, "
                           "size = %s, stream size = %s)",
                           IntToStr(position), IntToStr(available), IntToStr(stream_.size_)));
  if (!views_) views_ = std::make_unique<TIntegerViewList>(loOwnsViews, &UnmapView);
  const auto index = static_cast<std::int32_t>(position >> kViewSizeBits);
  const std::int64_t offset = std::int64_t{index} << kViewSizeBits;
  const int found = views_->IndexOf(index);
  if (found > 0) {
    views_->Move(found, 0);  // most recently used first
  } else if (found < 0) {
    if (views_->Count() >= static_cast<int>(kMaxViews)) views_->DeleteLast();
    os::MappingHandle mapping;
    try {
      mapping = stream_.Mapping();
    } catch (...) {
      ReraiseWithContext("Failed to obtain mapping object handle while mapping view");
    }
    const std::int64_t length = std::min(kViewSize, stream_.mapped_size_ - offset);
    void* p = MapViewChecked(mapping, stream_.Writable() ? os::kFileMapWrite : os::kFileMapRead,
                             static_cast<std::uint64_t>(offset), static_cast<std::size_t>(length), true);
    try {
      views_->Insert(0, index, p);
    } catch (...) {
      os::UnmapViewOfFile(p);
      throw;
    }
  }
  // The mapping, and so each view's length, stays while views are kept.
  const std::int64_t length = std::min(kViewSize, stream_.mapped_size_ - offset);
  const std::int64_t within = position - offset;
  available = length - within;
  return static_cast<char*>(views_->Views(0)) + within;
}

void TMappedViewCache::Clear() {
  if (views_) views_->Clear();
}

// ---- TMappedFileStream ------------------------------------------------------

TMappedFileStream::TMappedFileStream(const std::string& file_name, std::uint16_t mode, int retry_seconds,
                                     std::uint32_t options)
    : TFileStreamEx(file_name, mode, retry_seconds, options, os::kFileFlagRegularFileOnly) {
  if (mode == kFileModeCreate || (mode & 3) == 1 || (mode & 3) == 2) options_ |= fsoWritable;
  if (!(options_ & fsoNoSizeCheck)) size_ = GetFileSizeChecked(Handle(), true);
}

TMappedFileStream::~TMappedFileStream() {
  try {
    Close();
  } catch (...) {
    // Reported only through an explicit Close().
  }
}

std::int64_t TMappedFileStream::MappingSizeFor(std::int64_t size) const {
  return Writable() ? (size + TMappedViewCache::kViewMask) & ~TMappedViewCache::kViewMask : size;
}

os::MappingHandle TMappedFileStream::NewMapping(std::int64_t size) {
  if (Writable() && (options_ & fsoSetEndOnGrow) && GetFileSizeChecked(Handle(), true) < size) {
    SetFilePointerChecked(Handle(), size, os::kFileBegin);
    SetEndOfFileChecked(Handle());
  }
  return CreateFileMappingChecked(Handle(), Writable() ? os::kPageReadWrite : os::kPageReadOnly,
                                  static_cast<std::uint64_t>(size), std::string(), true);
}

os::MappingHandle TMappedFileStream::Mapping() {
  if (!mapping_) {
    const std::int64_t needed = MappingSizeFor(size_);
    if (needed == 0) return nullptr;  // a mapping is never made empty
    mapping_ = NewMapping(needed);
    mapped_size_ = needed;
  }
  return mapping_;
}

void TMappedFileStream::DropMapping() {
  cache_.Clear();
  CloseMappingAndNil(mapping_);
  mapped_size_ = 0;
}

namespace {
constexpr const char* kReadFailure = "Failed to read %s bytes at %s from mapped view";
constexpr const char* kWriteFailure = "Failed to write %s bytes at %s to mapped view";
}  // namespace

void TMappedFileStream::SetSize(std::int64_t new_size) {
  VT_ASSERT_AT(new_size >= 0, "StreamUtils", 4271);
  if (new_size > kMaxSize) throw EStreamError(Format("Invalid stream size %d", new_size));
  if (new_size < size_) {
    Cut(new_size);
    size_ = new_size;
    return;  // the mapping is made again when a view needs it
  }
  // The new mapping is made before the old one goes: a size it cannot be
  // made for is refused and changes nothing.
  const std::int64_t needed = MappingSizeFor(new_size);
  if (needed > 0 && (!mapping_ || mapped_size_ < needed)) {
    os::MappingHandle grown = NewMapping(needed);
    DropMapping();
    mapping_ = grown;
    mapped_size_ = needed;
  }
  size_ = new_size;
}

template <typename Copy>
void TMappedFileStream::Transfer(std::int64_t n, const char* message, Copy copy) {
  std::int64_t done = 0;
  while (done < n) {
    const std::int64_t left = n - done;
    try {
      if (left >= kLargeTransfer) {
        // A window of its own, past the cache: large windows cost a fraction
        // of many small ones per byte.
        const std::int64_t start = position_ & ~(kLargeWindowAlignment - 1);
        const std::int64_t end = std::min(start + kLargeWindow, position_ + left);
        ViewGuard view{MapViewChecked(Mapping(), Writable() ? os::kFileMapWrite : os::kFileMapRead,
                                      static_cast<std::uint64_t>(start), static_cast<std::size_t>(end - start), true)};
        copy(static_cast<char*>(view.p) + (position_ - start), done, static_cast<std::size_t>(end - position_));
        done += end - position_;
        position_ = end;
        continue;
      }
      std::int64_t available = left;
      char* p = cache_.ViewAt(position_, available);
      const std::int64_t chunk = std::min(available, left);
      copy(p, done, static_cast<std::size_t>(chunk));
      done += chunk;
      position_ += chunk;
    } catch (...) {
      ReraiseWithContext(message, {IntToStr(left), IntToStr(position_)});
    }
  }
}

void TMappedFileStream::Cut(std::int64_t new_size) {
  if (!Writable()) {
    cut_ = std::min(cut_, new_size);
    return;
  }
  DropMapping();
  const std::int64_t file_size = GetFileSizeChecked(Handle(), true);
  if (file_size <= new_size) return;
  std::int64_t at = 0;
  if (os::SetFilePointer(Handle(), new_size, os::kFileBegin, &at) && os::SetEndOfFile(Handle())) return;
  // Another view holds the file's length: zero the bytes instead.
  static const char kZeros[65536] = {};
  const std::int64_t saved = position_;
  position_ = new_size;
  try {
    Transfer(std::min(size_, file_size) - new_size, kWriteFailure, [](char* view, std::int64_t, std::size_t size) {
      for (std::size_t done = 0; done < size; done += sizeof kZeros)
        CopyFileView(view + done, kZeros, std::min(sizeof kZeros, size - done));
    });
  } catch (...) {
    position_ = saved;
    throw;
  }
  position_ = saved;
}

std::int64_t TMappedFileStream::Read(void* buffer, std::int64_t count) {
  if (count <= 0 || position_ >= size_ || position_ < 0) return 0;
  const std::int64_t n = std::min(count, size_ - position_);
  const std::int64_t kept = std::clamp<std::int64_t>(cut_ - position_, 0, n);
  auto* out = static_cast<char*>(buffer);
  Transfer(kept, kReadFailure,
           [out](char* view, std::int64_t at, std::size_t size) { CopyFileView(out + at, view, size); });
  if (kept < n) {
    std::memset(out + kept, 0, static_cast<std::size_t>(n - kept));
    position_ += n - kept;
  }
  return n;
}

std::int64_t TMappedFileStream::Write(const void* buffer, std::int64_t count) {
  if (!Writable()) throw Exception("Cannot write to a read-only mapped file.");
  if (count <= 0) return 0;
  std::int64_t end = 0;
  if (__builtin_add_overflow(position_, count, &end)) throw EStreamError("Invalid stream position");
  if (end > size_) {
    try {
      SetSize(end);
    } catch (...) {
      ReraiseWithContext(kWriteFailure, {IntToStr(count), IntToStr(position_)});
    }
  }
  const auto* in = static_cast<const char*>(buffer);
  Transfer(count, kWriteFailure,
           [in](char* view, std::int64_t at, std::size_t size) { CopyFileView(view, in + at, size); });
  return count;
}

std::int64_t TMappedFileStream::Seek(std::int64_t offset, TSeekOrigin origin) {
  const std::int64_t base = origin == TSeekOrigin::soCurrent ? position_ : origin == TSeekOrigin::soEnd ? size_ : 0;
  std::int64_t to = 0;
  if (__builtin_add_overflow(base, offset, &to)) throw EStreamError("Invalid stream position");
  position_ = to;
  return position_;
}

void TMappedFileStream::Flush() {
  cache_.Clear();
  FlushFileBuffersChecked(Handle());
}

// The whole-file view that lent blocks point into; unmapped with the last
// holder.
class TLentView : public TSharedStreamOwner {
 public:
  explicit TLentView(void* base) : base_(static_cast<char*>(base)) {}
  ~TLentView() override { os::UnmapViewOfFile(base_); }
  char* Base() const { return base_; }

 private:
  char* base_;
};

bool TMappedFileStream::LendBytes(std::int64_t count, TMemoryStream& target) {
  auto* memory = dynamic_cast<TVirtualStream*>(&target);
  if (!lend_ || Writable() || memory == nullptr || count <= 0 || position_ < 0 || count > size_ - position_ ||
      count > cut_ - position_)
    return false;
  if (lent_ == nullptr) {
    MappingGuard mapping{CreateFileMappingChecked(Handle(), os::kPageWriteCopy, 0, std::string(), true)};
    lent_ = new TLentView(MapViewChecked(mapping.m, os::kFileMapCopy, 0, 0, true));
    lent_->RefCount.fetch_add(1);
  }
  memory->LendMemory(lent_->Base() + position_, count, lent_);
  memory->SetPosition(0);
  position_ += count;
  return true;
}

void TMappedFileStream::Close() {
  if (closed_) return;
  closed_ = true;
  if (lent_ != nullptr && lent_->RefCount.fetch_sub(1) == 1) delete lent_;
  lent_ = nullptr;
  try {
    DropMapping();
    if (Handle() != os::kInvalidFile && Writable() && !(options_ & fsoNoSizeCheck) &&
        GetFileSizeChecked(Handle(), true) != size_) {
      SetFilePointerChecked(Handle(), size_, os::kFileBegin);
      SetEndOfFileChecked(Handle());
    }
  } catch (...) {
    CloseHandle();
    ReraiseWithContext("Failed to close mapped file: %s", {FileName()});
  }
  CloseHandle();
}

// ---- Whole-file routines ----------------------------------------------------

void SaveStreamToFile(TStream& stream, const std::string& file_name, std::uint32_t options, std::uint64_t file_time) {
  TFileStreamEx file(file_name, kFileModeCreate, 0, options);
  file.CopyFrom(stream, 0);
  if (file_time != 0) file.SetLastWriteTime(file_time);
}

void CopyFileToNewFile(os::FileHandle source_handle, const std::string& target_name, TCopyProgress progress,
                       void* progress_data) {
  const std::int64_t total = GetFileSizeChecked(source_handle, true);
  TMappedFileStream target(target_name, kFileModeCreate, 0, fsoSequentialScan | fsoTemporary);
  if (total > 0) {
    MappingGuard mapping{CreateFileMappingChecked(source_handle, os::kPageReadOnly, 0, std::string(), true)};
    target.SetSize(total);
    for (std::int64_t offset = 0; offset < total; offset += kWholeFileView) {
      const std::int64_t len = std::min(kWholeFileView, total - offset);
      ViewGuard view{MapViewChecked(mapping.m, os::kFileMapRead, static_cast<std::uint64_t>(offset),
                                    static_cast<std::size_t>(len), true)};
      target.WriteBuffer(view.p, len);
      if (progress) progress(progress_data, offset + len, total);
    }
  }
  target.Close();
}

bool FilesEqual(const std::string& name_a, const std::string& name_b) {
  TFileStreamEx a(name_a, fmShareDenyWrite, 0, 0);
  TFileStreamEx b(name_b, fmShareDenyWrite, 0, 0);
  const std::int64_t size = a.Size();
  if (size != b.Size()) return false;
  if (size == 0) return true;
  MappingGuard ma{CreateFileMappingChecked(a.Handle(), os::kPageReadOnly, 0, std::string(), true)};
  MappingGuard mb{CreateFileMappingChecked(b.Handle(), os::kPageReadOnly, 0, std::string(), true)};
  for (std::int64_t offset = 0; offset < size; offset += kWholeFileView) {
    const auto len = static_cast<std::size_t>(std::min(kWholeFileView, size - offset));
    ViewGuard va{MapViewChecked(ma.m, os::kFileMapRead, static_cast<std::uint64_t>(offset), len, true)};
    ViewGuard vb{MapViewChecked(mb.m, os::kFileMapRead, static_cast<std::uint64_t>(offset), len, true)};
    if (!FileViewsEqual(va.p, vb.p, len)) return false;
  }
  return true;
}

void* MapWholeFile(const std::string& file_name, int kind, std::int64_t& size) {
  if (kind < 0 || kind > 2) throw Exception("Invalid file map-kind");
  TFileStreamEx file(file_name, kind == 1 ? (fmShareDenyWrite | fmOpenReadWrite) : fmShareDenyWrite, 0, 0);
  size = file.Size();
  if (size == 0) return nullptr;
  const std::uint32_t protect = kind == 1 ? os::kPageReadWrite : kind == 2 ? os::kPageWriteCopy : os::kPageReadOnly;
  const std::uint32_t access = kind == 1 ? os::kFileMapWrite : kind == 2 ? os::kFileMapCopy : os::kFileMapRead;
  MappingGuard mapping{CreateFileMappingChecked(file.Handle(), protect, 0, std::string(), true)};
  return MapViewChecked(mapping.m, access, 0, 0, true);
}

os::HMODULE LoadLibraryFromTempCopy(const std::string& library_file_name) {
  const std::string dir = GetTempDir();
  TFileStreamEx source(library_file_name, fmShareDenyWrite, 4, 0);
  const std::string base = ExtractFileBaseName(library_file_name);
  const std::string ext = ExtractFileExtEx(library_file_name);
  std::string candidate;
  bool placed = false;
  for (int i = 1; i <= 100000; ++i) {
    candidate = dir + base + "." + IntToStr(i) + ext;
    if (!FileExistsNotDir(candidate)) {
      CopyFileToNewFile(source.Handle(), candidate);
      placed = true;
      break;
    }
    if (FilesEqual(candidate, library_file_name)) {
      placed = true;
      break;
    }
  }
  if (!placed) throw Exception(Format("Failed to assign temporary filename for library: %s", library_file_name));
  os::HMODULE module = os::LoadLibrary(candidate);
  if (!module) {
    const os::DWORD code = os::GetLastError();
    throw EOSError(WithReason(Format("Cannot load library '%s'", candidate), code, candidate), code);
  }
  return module;
}

// ---- Start-up ----------------------------------------------------------------

namespace {

constexpr const char* kDefaultNamespaceDirectory = "\\BaseNamedObjects\\";
std::string g_namespace_directory = kDefaultNamespaceDirectory;

// The folder is what the full name of an event of our own holds before the
// event's name.
void InitFileStreams() {
  const std::string name = "{4AA16932-BBE4-4957-96E3-BA48B291E25A}:" + IntToStr(os::GetCurrentProcessId());
  g_namespace_directory = kDefaultNamespaceDirectory;
  os::HANDLE event = os::CreateEventA(nullptr, true, false, name);
  if (event == 0) return;
  try {
    const std::string full = QueryObjectName(event);
    if (full.size() > name.size() && full.compare(full.size() - name.size(), name.size(), name) == 0)
      g_namespace_directory = full.substr(0, full.size() - name.size());
  } catch (const Exception&) {
  }
  os::CloseHandle(event);
}

}  // namespace

const std::string& ObjectNamespaceDirectory() { return g_namespace_directory; }

const UnitEntry kFileStreamsUnit{"FileStreams", &InitFileStreams, nullptr};

}  // namespace vt
