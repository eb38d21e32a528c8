#include "platform/Files.h"
#include "platform/Environment.h"
#include "platform/FaultExit.h"
#include "platform/FileStore.h"
#include "platform/Modules.h"
#include "platform/Registry.h"
#include "platform/SystemInfo.h"
#include "platform/TestHooks.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include <cstring>
#include <set>

#include "support/Patience.h"
#include "support/TestFiles.h"

namespace fs = std::filesystem;
using namespace vt::os;

namespace {

constexpr DWORD kRW = kGenericRead | kGenericWrite;
constexpr DWORD kShareAll = kFileShareRead | kFileShareWrite | kFileShareDelete;
constexpr DWORD kOk = 0xFFFFFFFF;  // what the error helpers answer for a success

// The error a failed call leaves, or kOk.
DWORD Fails(bool ok) { return ok ? kOk : GetLastError(); }

// The size of an open file, or -1.
std::int64_t SizeOf(FileHandle h) {
  std::int64_t size = -1;
  return GetFileSize(h, &size) ? size : -1;
}

class FilesTest : public vt::test::TempFolderTest {
 protected:
  // The error of an open that fails, or kOk (the handle is then closed).
  DWORD OpenFails(const std::string& name, DWORD access, DWORD share, DWORD disposition, DWORD flags = 0) {
    FileHandle h = CreateFile(name.empty() ? dir_ : P(name), access, share, disposition, flags);
    return h == kInvalidFile ? GetLastError() : (CloseFile(h), kOk);
  }
};

}  // namespace

TEST_F(FilesTest, DispositionsReadOnlyAttributeAndTheirErrorCodes) {
  // Missing file and missing folder differ.
  EXPECT_EQ(OpenFails("none", kGenericRead, 0, kOpenExisting), kErrorFileNotFound);
  EXPECT_EQ(OpenFails("nodir/none", kGenericRead, 0, kOpenExisting), kErrorPathNotFound);
  EXPECT_EQ(OpenFails("nodir/none", kRW, 0, kCreateAlways), kErrorPathNotFound);

  FileHandle h = CreateFile(P("a"), kRW, 0, kCreateNew, 0);
  ASSERT_NE(h, kInvalidFile);
  EXPECT_EQ(GetLastError(), kErrorSuccess);
  std::int64_t n = 0;
  ASSERT_TRUE(WriteFile(h, "hello", 5, &n));
  EXPECT_TRUE(CloseFile(h));
  EXPECT_EQ(Fails(CloseFile(h)), kErrorInvalidHandle);
  EXPECT_EQ(OpenFails("a", kRW, 0, kCreateNew), kErrorFileExists);

  // Open always keeps the content, create always truncates; both report that the file was there.
  for (const auto& [disposition, size] : {std::pair{kOpenAlways, 5}, {kCreateAlways, 0}}) {
    h = CreateFile(P("a"), kRW, 0, disposition, 0);
    ASSERT_NE(h, kInvalidFile);
    EXPECT_EQ(GetLastError(), kErrorAlreadyExists);
    EXPECT_EQ(SizeOf(h), size);
    CloseFile(h);
  }

  // Truncate-existing needs write access and an existing file; a folder is no file.
  EXPECT_EQ(OpenFails("a", kGenericRead, 0, kTruncateExisting), kErrorInvalidParameter);
  EXPECT_EQ(OpenFails("b", kGenericWrite, 0, kTruncateExisting), kErrorFileNotFound);
  EXPECT_EQ(OpenFails("", kGenericRead, kShareAll, kOpenExisting), kErrorAccessDenied);

  // The read-only attribute holds for every user.
  Write("ro", "data");
  EXPECT_EQ(GetFileAttributes(P("ro")) & kFileAttributeReadOnly, 0u);
  ASSERT_TRUE(SetFileAttributes(P("ro"), kFileAttributeReadOnly));

  EXPECT_EQ(OpenFails("ro", kGenericWrite, 0, kOpenExisting), kErrorAccessDenied);
  EXPECT_EQ(OpenFails("ro", kRW, 0, kCreateAlways), kErrorAccessDenied);
  EXPECT_EQ(Fails(DeleteFile(P("ro"))), kErrorAccessDenied);
  EXPECT_EQ(OpenFails("ro", kGenericRead, kFileShareRead, kOpenExisting), kOk);
  EXPECT_EQ(fs::file_size(P("ro")), 4u);

  ASSERT_TRUE(SetFileAttributes(P("ro"), kFileAttributeNormal));
  EXPECT_TRUE(DeleteFile(P("ro")));

  // Created with the attribute: the creating handle may still write.
  FileHandle c = CreateFile(P("ro2"), kRW, 0, kCreateNew, kFileAttributeReadOnly);
  ASSERT_NE(c, kInvalidFile);
  EXPECT_TRUE(WriteFile(c, "abc", 3, &n));
  CloseFile(c);
  EXPECT_NE(GetFileAttributes(P("ro2")) & kFileAttributeReadOnly, 0u);
}

TEST_F(FilesTest, SharingViolationsWithinTheProcess) {
  Write("s", "x");
  FileHandle reader = CreateFile(P("s"), kGenericRead, kFileShareRead, kOpenExisting, 0);
  ASSERT_NE(reader, kInvalidFile);
  // Another reader is fine; a writer is not, neither is one that denies reading.
  EXPECT_EQ(OpenFails("s", kGenericRead, kFileShareRead, kOpenExisting), kOk);
  EXPECT_EQ(OpenFails("s", kGenericWrite, kShareAll, kOpenExisting), kErrorSharingViolation);
  EXPECT_EQ(OpenFails("s", kGenericRead, 0, kOpenExisting), kErrorSharingViolation);
  EXPECT_EQ(Fails(DeleteFile(P("s"))), kErrorSharingViolation);  // needs delete sharing
  CloseFile(reader);

  // An exclusive open blocks everything, and its close releases the file.
  FileHandle excl = CreateFile(P("s"), kRW, 0, kOpenExisting, 0);
  ASSERT_NE(excl, kInvalidFile);
  EXPECT_EQ(OpenFails("s", kGenericRead, kShareAll, kOpenExisting), kErrorSharingViolation);
  // A mapping keeps the file open with the opener's sharing after the close.
  MappingHandle m = CreateFileMapping(excl, kPageReadOnly, 0);
  ASSERT_NE(m, nullptr);
  CloseFile(excl);
  EXPECT_EQ(OpenFails("s", kGenericRead, kShareAll, kOpenExisting), kErrorSharingViolation);
  CloseMapping(m);
  EXPECT_EQ(OpenFails("s", kGenericRead, kShareAll, kOpenExisting), kOk);

  // A descriptor closed behind the layer's back no longer blocks the file.
  FileHandle lost = CreateFile(P("s"), kRW, 0, kOpenExisting, 0);
  ASSERT_NE(lost, kInvalidFile);
  ::close(static_cast<int>(lost));
  EXPECT_EQ(OpenFails("s", kRW, 0, kOpenExisting), kOk);

  // With delete sharing the file can be deleted while open.
  FileHandle shared = CreateFile(P("s"), kGenericRead, kShareAll, kOpenExisting, 0);
  ASSERT_NE(shared, kInvalidFile);
  EXPECT_TRUE(DeleteFile(P("s")));
  CloseFile(shared);

  FileHandle h = CreateFile(P("t"), kRW, 0, kCreateAlways, kFileFlagDeleteOnClose);
  ASSERT_NE(h, kInvalidFile);
  EXPECT_TRUE(fs::exists(P("t")));
  CloseFile(h);
  EXPECT_FALSE(fs::exists(P("t")));
}

TEST_F(FilesTest, TransfersSeeksEndOfFileAndTimes) {
  FileHandle h = CreateFile(P("f"), kRW, 0, kCreateNew, 0);
  ASSERT_NE(h, kInvalidFile);
  std::int64_t n = 0, pos = 0;
  ASSERT_TRUE(WriteFile(h, "0123456789", 10, &n));
  ASSERT_TRUE(SetFilePointer(h, -4, kFileEnd, &pos));
  EXPECT_EQ(pos, 6);
  char buf[16] = {};
  ASSERT_TRUE(ReadFile(h, buf, 16, &n));
  EXPECT_EQ(n, 4);
  EXPECT_EQ(std::string(buf, 4), "6789");
  ASSERT_TRUE(ReadFile(h, buf, 16, &n));  // at the end: success, nothing read
  EXPECT_EQ(n, 0);
  EXPECT_EQ(Fails(SetFilePointer(h, -1, kFileBegin, &pos)), kErrorNegativeSeek);
  ASSERT_TRUE(SetFilePointer(h, 3, kFileBegin, &pos));
  ASSERT_TRUE(SetEndOfFile(h));
  EXPECT_EQ(SizeOf(h), 3);
  ASSERT_TRUE(SetFilePointer(h, 100, kFileBegin, &pos));
  ASSERT_TRUE(SetEndOfFile(h));
  EXPECT_EQ(SizeOf(h), 100);
  EXPECT_TRUE(FlushFileBuffers(h));

  // 2020-01-02 03:04:05.1234567 UTC
  const FILETIME when = UnixTimeToFileTime(1577934245, 123456700);
  EXPECT_EQ(when, 132224078451234567ull);
  ASSERT_TRUE(SetFileTime(h, nullptr, nullptr, &when));
  FileInformation info;
  ASSERT_TRUE(GetFileInformationByHandle(h, &info));
  EXPECT_EQ(info.last_write_time, when);
  EXPECT_EQ(info.number_of_links, 1u);
  EXPECT_EQ(info.attributes & kFileAttributeDirectory, 0u);
  CloseFile(h);
  std::int64_t s = 0, ns = 0;
  FileTimeToUnixTime(when, &s, &ns);
  EXPECT_EQ(s, 1577934245);
  EXPECT_EQ(ns, 123456700);

  // A read-only handle refuses writes with access denied.
  FileHandle r = CreateFile(P("f"), kGenericRead, kFileShareRead, kOpenExisting, 0);
  EXPECT_EQ(Fails(WriteFile(r, "x", 1, &n)), kErrorAccessDenied);
  CloseFile(r);
}

TEST_F(FilesTest, MappingsGrowTheFileAndGuardTheirViews) {
  FileHandle h = CreateFile(P("m"), kRW, 0, kCreateNew, 0);
  ASSERT_NE(h, kInvalidFile);
  // An empty file cannot be mapped with its own size, nor a read-only mapping pass its end.
  EXPECT_EQ(Fails(CreateFileMapping(h, kPageReadWrite, 0) != nullptr), kErrorFileInvalid);
  EXPECT_EQ(Fails(CreateFileMapping(h, kPageReadOnly, 100) != nullptr), kErrorNotEnoughMemory);
  // A read-write mapping grows it.
  MappingHandle m = CreateFileMapping(h, kPageReadWrite, 3 * kAllocationGranularity);
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(SizeOf(h), static_cast<std::int64_t>(3 * kAllocationGranularity));
  const auto view_fails = [&](DWORD access, std::uint64_t offset, std::size_t size) {
    return Fails(MapViewOfFile(m, access, offset, size) != nullptr);
  };
  EXPECT_EQ(view_fails(kFileMapWrite, 100, 10), kErrorMappedAlignment);
  EXPECT_EQ(view_fails(kFileMapWrite, 2 * kAllocationGranularity, kAllocationGranularity + 1), kErrorAccessDenied);
  EXPECT_EQ(view_fails(kFileMapRead, 3 * kAllocationGranularity, 0), kErrorAccessDenied);
  auto* view = static_cast<char*>(MapViewOfFile(m, kFileMapWrite, kAllocationGranularity, 0));
  ASSERT_NE(view, nullptr);
  std::memcpy(view, "mapped", 6);
  EXPECT_TRUE(FlushViewOfFile(view + 2, 4));
  // The file cannot be cut below a live view.
  std::int64_t pos = 0;
  SetFilePointer(h, 10, kFileBegin, &pos);
  EXPECT_EQ(Fails(SetEndOfFile(h)), kErrorUserMappedFile);
  EXPECT_TRUE(UnmapViewOfFile(view));
  EXPECT_EQ(Fails(UnmapViewOfFile(view)), kErrorInvalidAddress);
  EXPECT_FALSE(SetEndOfFile(h));  // the mapping still needs the length
  EXPECT_TRUE(CloseMapping(m));
  SetFilePointer(h, kAllocationGranularity, kFileBegin, &pos);
  char buf[6];
  std::int64_t n = 0;
  ASSERT_TRUE(ReadFile(h, buf, 6, &n));
  EXPECT_EQ(std::string(buf, 6), "mapped");
  SetFilePointer(h, 10, kFileBegin, &pos);
  EXPECT_TRUE(SetEndOfFile(h));
  CloseFile(h);

  // A write view of a read-only mapping is refused; a copy view stays private.
  FileHandle r = CreateFile(P("m"), kGenericRead, kFileShareRead, kOpenExisting, 0);
  MappingHandle rm = CreateFileMapping(r, kPageReadOnly, 0);
  ASSERT_NE(rm, nullptr);
  EXPECT_EQ(MappingSize(rm), 10u);
  EXPECT_EQ(Fails(MapViewOfFile(rm, kFileMapWrite, 0, 0) != nullptr), kErrorAccessDenied);
  auto* copy = static_cast<char*>(MapViewOfFile(rm, kFileMapCopy, 0, 0));
  ASSERT_NE(copy, nullptr);
  copy[0] = 'Z';
  UnmapViewOfFile(copy);
  CloseMapping(rm);
  CloseFile(r);
  std::ifstream in(P("m"), std::ios::binary);
  EXPECT_EQ(in.get(), 0);
}

static int g_errno = 0;

// A store's replacement that fails on a full disk, an exhausted quota or a
// failing device (creating, writing or renaming the temporary file) leaves
// the store as it was and no temporary file behind.
TEST_F(FilesTest, StoreReplacementFailuresLeaveTheStore) {
  struct Undo {
    ~Undo() { PlatformTestHelper::ResetSystemCalls(); }
  } undo;
  SystemCallTable& calls = PlatformTestHelper::SystemCalls();
  const std::string store = P("store");
  ASSERT_EQ(ReplaceStoreFile(store, "old"), 0u);
  for (const auto& [err, code] : {std::pair{ENOSPC, 112u}, {EDQUOT, 112u}, {EIO, 29u}}) {
    g_errno = err;
    for (int call = 0; call < 3; ++call) {
      PlatformTestHelper::ResetSystemCalls();
      if (call == 0) calls.open = [](const char*, int, mode_t) { return errno = g_errno, -1; };
      if (call == 1) calls.write = [](int, const void*, std::size_t) -> ssize_t { return errno = g_errno, -1; };
      if (call == 2) calls.rename = [](const char*, const char*) { return errno = g_errno, -1; };
      EXPECT_EQ(ReplaceStoreFile(store, "new"), code) << err << " " << call;
      PlatformTestHelper::ResetSystemCalls();
      std::string text;
      EXPECT_EQ(ReadStoreFile(store, 100, &text), 0u);
      EXPECT_EQ(text, "old");
      EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir_), {}), 1);
    }
  }
}

TEST_F(FilesTest, MasksDirectoryAndPathSearchFoldersAndLinks) {
  // Wildcards follow the Windows rules.
  const struct { const char *name, *mask; bool match; } cases[] = {
      {"abc", "*.*", true},        {"a.b.c", "*.*", true},        {".a", "*", true},
      {"Readme.TXT", "*.txt", true}, {"readme.txt2", "*.txt", false}, {"a1.txt", "a?.txt", true},
      {"a.txt", "a?.txt", false},  {"setup", "setup.*", true},    {"setup.exe", "setup.*", true},
      {"setupx", "setup.*", false}, {"noext", "*.", true},         {"has.ext", "*.", false},
      {"aXbXc", "a*b*c", true},    {"aXbXcd", "a*b*c", false}};
  for (const auto& c : cases) EXPECT_EQ(MatchesMask(c.name, c.mask), c.match) << c.name << " " << c.mask;

  Write("one.txt", "1");
  Write("two.dat", "22");
  ASSERT_TRUE(CreateDirectory(P("sub")));
  EXPECT_EQ(Fails(CreateDirectory(P("sub"))), kErrorAlreadyExists);
  EXPECT_EQ(Fails(CreateDirectory(P("no/sub"))), kErrorPathNotFound);
  fs::create_symlink(P("sub"), P("link"));

  std::set<std::string> names;
  FindData d;
  FindHandle f = FindFirstFile(P("*.*"), &d);
  ASSERT_NE(f, nullptr);
  do {
    names.insert(d.name);
    if (d.name == "two.dat") { EXPECT_EQ(d.size, 2); }
    if (d.name == "sub") { EXPECT_EQ(d.attributes & kFileAttributeDirectory, kFileAttributeDirectory); }
    const DWORD link_bits = kFileAttributeDirectory | kFileAttributeReparsePoint;
    if (d.name == "link") { EXPECT_EQ(d.attributes & link_bits, link_bits); }
  } while (FindNextFile(f, &d));
  EXPECT_EQ(GetLastError(), kErrorNoMoreFiles);
  FindClose(f);
  EXPECT_EQ(names, (std::set<std::string>{".", "..", "one.txt", "two.dat", "sub", "link"}));

  f = FindFirstFile(P("*.TXT"), &d);
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(d.name, "one.txt");
  EXPECT_FALSE(FindNextFile(f, &d));
  FindClose(f);
  EXPECT_EQ(Fails(FindFirstFile(P("*.none"), &d) != nullptr), kErrorFileNotFound);
  EXPECT_EQ(Fails(FindFirstFile(P("missing/*"), &d) != nullptr), kErrorPathNotFound);

  // Removing a link to a folder removes the link only; folders and files
  // answer each other's removal with their own codes.
  Write("sub/inner", "x");
  EXPECT_EQ(Fails(RemoveDirectory(P("sub"))), kErrorDirNotEmpty);
  EXPECT_EQ(Fails(RemoveDirectory(P("one.txt"))), kErrorDirectory);
  EXPECT_EQ(Fails(DeleteFile(P("sub"))), kErrorAccessDenied);
  EXPECT_TRUE(RemoveDirectory(P("link")));
  EXPECT_TRUE(fs::exists(P("sub/inner")));
  EXPECT_EQ(Fails(RemoveDirectory(P("gone"))), kErrorFileNotFound);
  EXPECT_EQ(Fails(GetFileAttributes(P("gone/x")) != kInvalidFileAttributes), kErrorPathNotFound);

  // The files layer takes any file on the path, process start only what it
  // may run; an unset PATH means the system folders for programs alone.
  for (const char* dir : {"a/tool", "b", "c"}) std::filesystem::create_directories(P(dir));
  Write("b/tool");
  Write("c/tool");
  ASSERT_EQ(::chmod(P("c/tool").c_str(), 0755), 0);
  const std::string dirs = P("a") + ":" + P("b") + ":" + P("c/");
  EXPECT_EQ(SearchPath(dirs, "tool"), P("b/tool"));
  EXPECT_EQ(SearchPath(dirs, "tool", PathSearch::Executable), P("c/tool"));
  EXPECT_EQ(SearchPath(P("a"), "tool"), "");
  EXPECT_EQ(GetLastError(), kErrorFileNotFound);

  std::string path;
  ASSERT_TRUE(ReadEnvironmentVariable("PATH", &path));
  ::unsetenv("PATH");
  const std::string sh = SearchPath({}, "sh", PathSearch::Executable);
  EXPECT_TRUE(sh == "/usr/bin/sh" || sh == "/bin/sh" || sh == "/usr/local/bin/sh") << sh;
  EXPECT_EQ(SearchPath({}, "sh"), "");
  ::setenv("PATH", path.c_str(), 1);
}

// Regular files only: a FIFO without a writer and a device are refused at
// once; a link to a regular file is followed (the reparse-point flag
// refuses it), and what opens reads as it would without the flag.
TEST_F(FilesTest, RegularFileOnlyRefusesFifosAtOnceAndFollowsLinks) {
  ASSERT_EQ(::mkfifo(P("fifo").c_str(), 0600), 0);
  Write("plain", "text");
  ASSERT_EQ(::symlink(P("plain").c_str(), P("link").c_str()), 0);
  for (const DWORD access : {DWORD{kGenericRead}, kRW}) {
    EXPECT_EQ(OpenFails("fifo", access, kShareAll, kOpenExisting, kFileFlagRegularFileOnly),
              kErrorCantAccessFile);
    EXPECT_EQ(OpenFails("link", access, kShareAll, kOpenExisting, kFileFlagOpenReparsePoint),
              kErrorCantResolveFilename);
    FileHandle h = CreateFile(P("link"), access, kShareAll, kOpenExisting, kFileFlagRegularFileOnly);
    ASSERT_NE(h, kInvalidFile);
    char buffer[8] = {};
    std::int64_t n = 0;
    EXPECT_TRUE(ReadFile(h, buffer, sizeof buffer, &n));
    EXPECT_EQ(std::string(buffer, static_cast<std::size_t>(n)), "text");
    CloseFile(h);
  }
  FileHandle null = CreateFile("/dev/null", kGenericRead, kShareAll, kOpenExisting, kFileFlagRegularFileOnly);
  EXPECT_EQ(null, kInvalidFile);
  EXPECT_EQ(GetLastError(), kErrorCantAccessFile);
}

// An open waiting for a FIFO's writer holds up no other open.
TEST_F(FilesTest, AnOpenWaitingForAFifoHoldsUpNoOtherOpen) {
  ASSERT_EQ(::mkfifo(P("fifo").c_str(), 0600), 0);
  std::atomic<long> tid{0};
  std::atomic<FileHandle> reader{kInvalidFile};
  std::thread waiter([&] {
    tid = ::syscall(SYS_gettid);
    reader = CreateFile(P("fifo"), kGenericRead, kShareAll, kOpenExisting, 0);
  });
  const bool waits = vt::test::WaitPatiently([&] {
    const std::string call =
        vt::test::ReadFileText("/proc/self/task/" + std::to_string(tid.load()) + "/syscall");
    return tid && call.substr(0, call.find(' ')) == std::to_string(SYS_openat);
  });
  std::atomic<bool> other_done{false};
  std::thread other([&] {
    EXPECT_EQ(OpenFails("plain", kRW, 0, kCreateAlways), kOk);
    other_done = true;
  });
  EXPECT_TRUE(waits && vt::test::WaitPatiently([&] { return other_done.load(); }));
  const int writer = ::open(P("fifo").c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);  // the waiter's other end
  waiter.join();
  other.join();
  EXPECT_GE(writer, 0);
  EXPECT_NE(reader.load(), kInvalidFile);
  if (writer >= 0) ::close(writer);
  if (reader != kInvalidFile) CloseFile(reader);
}

// A pipe that another program left non-blocking, full, with a reader that
// comes late: the write waits for room and writes everything.
TEST(FilesPipes, WritesToAFullNonBlockingPipeWaitForTheReader) {
  for (const bool raw : {false, true}) {
    int fds[2];
    ASSERT_EQ(::pipe2(fds, O_CLOEXEC | O_NONBLOCK), 0);
    std::string filler(4096, 'x');
    std::size_t filled = 0;
    for (ssize_t n; (n = ::write(fds[1], filler.data(), filler.size())) > 0;) filled += static_cast<size_t>(n);
    while (::write(fds[1], "x", 1) == 1) ++filled;
    const std::string text(200000, 't');
    std::atomic<bool> done{false}, ok{false};
    std::atomic<long> tid{0};
    std::thread writer([&] {
      tid = ::syscall(SYS_gettid);
      if (raw) {
        WriteAllRaw(fds[1], text.data(), text.size());
        ok = true;
      } else {
        std::int64_t written = 0;
        ok = WriteFile(fds[1], text.data(), static_cast<std::int64_t>(text.size()), &written) &&
             written == static_cast<std::int64_t>(text.size());
      }
      done = true;
      ::close(fds[1]);
    });
    // The reader comes once the writer waits for room (or has given up).
    const std::set<std::string> waits{std::to_string(SYS_poll), std::to_string(SYS_ppoll)};
    while (!done) {
      const std::string call =
          vt::test::ReadFileText("/proc/self/task/" + std::to_string(tid.load()) + "/syscall");
      if (tid && waits.count(call.substr(0, call.find(' ')))) break;
      std::this_thread::yield();
    }
    ::fcntl(fds[0], F_SETFL, 0);
    std::string got;
    char buf[65536];
    for (ssize_t n; (n = ::read(fds[0], buf, sizeof buf)) > 0;) got.append(buf, static_cast<size_t>(n));
    writer.join();
    ::close(fds[0]);
    EXPECT_TRUE(ok) << raw;
    EXPECT_EQ(got.size(), filled + text.size()) << raw;
    EXPECT_TRUE(got.substr(filled) == text) << raw;
  }
}

TEST(FilesEnvironment, VariablesTempPathUserAndComputer) {
  const std::string long_value(100000, 'v');
  ASSERT_TRUE(SetEnvironmentVariable("VT_FILES_TEST_VAR", long_value.c_str()));
  char small[8];
  EXPECT_EQ(GetEnvironmentVariable("VT_FILES_TEST_VAR", small, sizeof small), long_value.size() + 1);
  std::string buf(long_value.size() + 1, '\0');
  EXPECT_EQ(GetEnvironmentVariable("VT_FILES_TEST_VAR", buf.data(), static_cast<DWORD>(buf.size())),
            long_value.size());
  EXPECT_EQ(buf.c_str(), long_value);
  ASSERT_TRUE(SetEnvironmentVariable("VT_FILES_TEST_VAR", "x"));
  EXPECT_EQ(ExpandEnvironmentStrings("a%VT_FILES_TEST_VAR%b%VT_NO_SUCH_VAR%c%"), "axb%VT_NO_SUCH_VAR%c%");
  ASSERT_TRUE(SetEnvironmentVariable("VT_FILES_TEST_VAR", nullptr));
  EXPECT_EQ(GetEnvironmentVariable("VT_FILES_TEST_VAR", small, sizeof small), 0u);
  EXPECT_EQ(GetLastError(), kErrorEnvVarNotFound);
  EXPECT_FALSE(SetEnvironmentVariable("A=B", "x"));

  const char* old = std::getenv("TMPDIR");
  std::string saved = old ? old : "";
  SetEnvironmentVariable("TMPDIR", "/var/tmp");
  EXPECT_EQ(GetTempPath(), "/var/tmp/");
  SetEnvironmentVariable("TMPDIR", nullptr);
  EXPECT_EQ(GetTempPath(), "/tmp/");
  if (old) SetEnvironmentVariable("TMPDIR", saved.c_str());
  EXPECT_FALSE(GetUserName().empty());
  EXPECT_FALSE(GetComputerName().empty());
  EXPECT_EQ(GetComputerName().find('.'), std::string::npos);
  EXPECT_EQ(GetFullPathName("/a/./b/../c//d/"), "/a/c/d/");
}

// The layer's own reads of variables (the settings folders, the version, the
// library path) beside a thread that sets and removes others: each finds
// what it found before.
TEST(FilesEnvironment, ReadsBesideVariableChangesFindTheirValues) {
  const std::string settings = ConfigDirectory("VT_NO_SUCH_FOLDER_VARIABLE", "x");
  const std::string machine = MachineRegistryDirectory(), library = SearchLibraryPath("libc.so.6");
  OSVersionInfoEx version;
  ASSERT_TRUE(GetVersionEx(&version));
  constexpr int kVariables = 3000, kReadsEach = 3000;
  std::atomic<int> readers{2}, differed{0};
  std::thread setter([&] {
    const std::string value(24, 'v');
    auto name = [](int i) { return "VT_CHURNED_" + std::to_string(i); };
    while (readers.load() > 0) {
      for (int i = 0; i < kVariables; ++i) SetEnvironmentVariable(name(i), value.c_str());
      for (int i = 0; i < kVariables; ++i) SetEnvironmentVariable(name(i), nullptr);
    }
  });
  auto read = [&] {
    for (int n = 0; n < kReadsEach; ++n) {
      OSVersionInfoEx v;
      if (ConfigDirectory("VT_NO_SUCH_FOLDER_VARIABLE", "x") != settings || MachineRegistryDirectory() != machine ||
          SearchLibraryPath("libc.so.6") != library || !GetVersionEx(&v) || v.dwBuildNumber != version.dwBuildNumber)
        ++differed;
    }
    --readers;
  };
  std::thread a(read), b(read);
  a.join();
  b.join();
  setter.join();
  EXPECT_EQ(differed.load(), 0);
}
