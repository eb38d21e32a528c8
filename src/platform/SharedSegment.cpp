#include "platform/SharedSegment.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

namespace vt::os::detail {

namespace {

constexpr std::uint32_t kMagic = 0x4A424F56;  // "VOBJ"
constexpr std::size_t kMaxNameLength = 260;
constexpr std::uint64_t kMaxDataSize = 1ull << 30;
constexpr std::size_t kMaxFileComponent = 200;

std::atomic<std::uint32_t>& MagicOf(void* base) {
  return *reinterpret_cast<std::atomic<std::uint32_t>*>(&static_cast<SegmentHeader*>(base)->magic);
}

// Letters, digits, '_', '-' and '.' stay; every other byte becomes %XX.
// Over-long results keep a prefix and a hash of the whole name.
std::string EscapeName(std::string_view name) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : name) {
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '-' ||
        c == '.') {
      out.push_back(static_cast<char>(c));
    } else {
      out.push_back('%');
      out.push_back(kHex[c >> 4]);
      out.push_back(kHex[c & 15]);
    }
  }
  if (out.size() > kMaxFileComponent) {
    std::uint64_t h = 1469598103934665603ull;
    for (unsigned char c : name) h = (h ^ c) * 1099511628211ull;
    out.resize(kMaxFileComponent - 17);
    out.push_back('~');
    for (int i = 15; i >= 0; --i) out.push_back(kHex[(h >> (i * 4)) & 15]);
  }
  return out;
}

bool StartsWith(std::string_view s, std::string_view prefix) {
  return s.size() >= prefix.size() && s.substr(0, prefix.size()) == prefix;
}

// The descriptor still names the file at path (it was not swept meanwhile).
bool SameFile(int fd, const std::string& path) {
  struct stat a {}, b {};
  if (::fstat(fd, &a) != 0 || a.st_nlink == 0) return false;
  if (::stat(path.c_str(), &b) != 0) return false;
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

int LockFile(int fd, int op) {
  int r;
  do {
    r = ::flock(fd, op);
  } while (r != 0 && errno == EINTR);
  return r;
}

}  // namespace

bool ResolveObjectName(std::string_view name, bool native, ObjectPath& out) {
  bool global = false;
  if (native) {
    if (StartsWith(name, "\\BaseNamedObjects\\")) {
      name.remove_prefix(18);
      global = true;
      if (StartsWith(name, "Global\\")) name.remove_prefix(7);
      else if (StartsWith(name, "Local\\")) name.remove_prefix(6), global = false;
    } else if (StartsWith(name, "\\Sessions\\")) {
      size_t at = name.find("\\BaseNamedObjects\\");
      if (at == std::string_view::npos) {
        SetLastError(kErrorPathNotFound);
        return false;
      }
      name.remove_prefix(at + 18);
    } else {
      SetLastError(kErrorPathNotFound);
      return false;
    }
  } else if (StartsWith(name, "Global\\")) {
    name.remove_prefix(7);
    global = true;
  } else if (StartsWith(name, "Local\\")) {
    name.remove_prefix(6);
  }
  if (name.empty()) {
    SetLastError(kErrorInvalidName);
    return false;
  }
  if (name.size() > kMaxNameLength) {
    SetLastError(kErrorFilenameExcedRange);
    return false;
  }
  std::string ns = global ? "g" : "s" + std::to_string(::getuid());
  out.file = "/dev/shm/vt." + ns + "." + EscapeName(name);
  out.native_name = (global ? std::string("\\BaseNamedObjects\\") : "\\Sessions\\1\\BaseNamedObjects\\") +
                    std::string(name);
  return true;
}

Segment::~Segment() { Close(); }

void Segment::Close() {
  if (fd_ >= 0) {
    // The last holder anywhere removes the name.
    if (LockFile(fd_, LOCK_EX | LOCK_NB) == 0 && SameFile(fd_, file_)) ::unlink(file_.c_str());
    ::close(fd_);
    fd_ = -1;
  }
  if (base_ && !leak_mapping_) ::munmap(base_, map_size_);
  base_ = nullptr;
}

DWORD Segment::Create(const ObjectPath& path, SegmentKind kind, std::uint64_t data_size, bool open_security,
                      void (*init)(void*, void*), void* context, bool& existed) {
  return Attach(path, kind, true, data_size, open_security, init, context, existed);
}

DWORD Segment::Open(const ObjectPath& path, SegmentKind kind) {
  bool existed = false;
  return Attach(path, kind, false, 0, false, nullptr, nullptr, existed);
}

DWORD Segment::CreateAnonymous(SegmentKind kind, std::uint64_t data_size, void (*init)(void*, void*),
                               void* context) {
  if (data_size > kMaxDataSize) return kErrorInvalidParameter;
  map_size_ = kSegmentDataOffset + data_size;
  void* base = ::mmap(nullptr, map_size_, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  if (base == MAP_FAILED) return ErrnoToError(errno);
  base_ = base;
  auto* h = static_cast<SegmentHeader*>(base);
  h->kind = static_cast<std::uint32_t>(kind);
  h->data_size = data_size;
  data_size_ = data_size;
  if (init) init(Data(), context);
  MagicOf(base).store(kMagic, std::memory_order_release);
  return kErrorSuccess;
}

DWORD Segment::Attach(const ObjectPath& path, SegmentKind kind, bool create, std::uint64_t data_size,
                      bool open_security, void (*init)(void*, void*), void* context, bool& existed) {
  if (data_size > kMaxDataSize) return kErrorInvalidParameter;
  const mode_t mode = open_security ? 0666 : 0600;
  for (int attempt = 0; attempt < 1000; ++attempt) {
    if (create) {
      int fd = ::open(path.file.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, mode);
      if (fd >= 0) {
        ::fchmod(fd, mode);
        // Only shared locks are ever held by live handles; openers wait for
        // the magic word before they use the object.
        if (LockFile(fd, LOCK_SH) != 0 || !SameFile(fd, path.file)) {
          ::close(fd);
          continue;
        }
        size_t size = kSegmentDataOffset + data_size;
        void* base = MAP_FAILED;
        if (::ftruncate(fd, static_cast<off_t>(size)) == 0)
          base = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        if (base == MAP_FAILED) {
          DWORD err = ErrnoToError(errno);
          ::unlink(path.file.c_str());
          ::close(fd);
          return err;
        }
        auto* h = static_cast<SegmentHeader*>(base);
        h->kind = static_cast<std::uint32_t>(kind);
        h->data_size = data_size;
        if (init) init(static_cast<char*>(base) + kSegmentDataOffset, context);
        MagicOf(base).store(kMagic, std::memory_order_release);
        fd_ = fd;
        base_ = base;
        map_size_ = size;
        data_size_ = data_size;
        file_ = path.file;
        native_name_ = path.native_name;
        existed = false;
        return kErrorSuccess;
      }
      if (errno != EEXIST) return ErrnoToError(errno);
    }
    int fd = ::open(path.file.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) {
      if (errno == ENOENT) {
        if (create) continue;
        return kErrorFileNotFound;
      }
      return ErrnoToError(errno);
    }
    if (LockFile(fd, LOCK_EX | LOCK_NB) == 0) {
      // Nobody holds the object: its processes are gone. Sweep it.
      bool same = SameFile(fd, path.file);
      bool swept = same && ::unlink(path.file.c_str()) == 0;
      ::close(fd);
      if (same && !swept) return kErrorAccessDenied;
      if (!create) return kErrorFileNotFound;
      continue;
    }
    if (LockFile(fd, LOCK_SH) != 0 || !SameFile(fd, path.file)) {
      ::close(fd);
      continue;
    }
    // Wait (bounded) while the creator is still initialising.
    struct stat st {};
    bool ready = false;
    for (int i = 0; i < 5000 && !ready; ++i) {
      SegmentHeader h {};
      if (::fstat(fd, &st) != 0) break;
      if (static_cast<std::uint64_t>(st.st_size) >= kSegmentDataOffset &&
          ::pread(fd, &h, sizeof h, 0) == static_cast<ssize_t>(sizeof h) && h.magic == kMagic) {
        ready = true;
        break;
      }
      ::usleep(1000);
    }
    if (!ready) {
      ::close(fd);
      return kErrorInvalidHandle;
    }
    auto size = static_cast<size_t>(st.st_size);
    void* base = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (base == MAP_FAILED) {
      DWORD err = ErrnoToError(errno);
      ::close(fd);
      return err;
    }
    auto* h = static_cast<SegmentHeader*>(base);
    if (MagicOf(base).load(std::memory_order_acquire) != kMagic || h->kind != static_cast<std::uint32_t>(kind) ||
        h->data_size > size - kSegmentDataOffset) {
      ::munmap(base, size);
      ::close(fd);
      return kErrorInvalidHandle;  // another kind of object holds the name
    }
    fd_ = fd;
    base_ = base;
    map_size_ = size;
    data_size_ = h->data_size;
    file_ = path.file;
    native_name_ = path.native_name;
    existed = true;
    return kErrorSuccess;
  }
  return kErrorBusy;
}

}  // namespace vt::os::detail
