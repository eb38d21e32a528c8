#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <thread>

#include "common/FileStreams.h"
#include "common/Objects.h"
#include "common/ObjectsFiles.h"
#include "common/Session.h"
#include "common/StreamUtils.h"
#include "platform/Environment.h"
#include "platform/Files.h"
#include "platform/Process.h"
#include "platform/TestHooks.h"
#include "support/HoldingChild.h"
#include "support/InPageError.h"
#include "support/TestFiles.h"

namespace fs = std::filesystem;
using namespace vt;
using vt::test::CodedMessageOf;
using vt::test::MessageOf;

namespace {

class StreamFileTest : public test::TempFolderTest {};

std::string Pattern(std::size_t n, unsigned seed = 1) {
  std::string s(n, '\0');
  unsigned x = seed;
  for (auto& c : s) {
    x = x * 1103515245u + 12345u;
    c = static_cast<char>(x >> 16);
  }
  return s;
}

// The first N bytes of S, read from its start.
std::string ReadAll(TStream& s, std::int64_t n) {
  std::string back(static_cast<std::size_t>(n), 'x');
  s.SetPosition(0);
  s.ReadBuffer(back.data(), n);
  return back;
}

}  // namespace

TEST_F(StreamFileTest, OpenFailuresAndRetries) {
  // A missing file fails at once, whatever the retry time.
  EXPECT_EQ(MessageOf<EFOpenError>([&] { TFileStreamEx f(P("missing"), fmOpenRead, 2, 0); }),
            "Cannot open file: " + P("missing"));
  EXPECT_EQ(MessageOf<EFCreateError>([&] { TFileStreamEx f(P("no/dir/f"), kFileModeCreate, 0, 0); }),
            "Cannot create file: " + P("no/dir/f") + "\r\nThe system cannot find the path specified (3)");
  EXPECT_TRUE(TFileStreamEx(P("no/dir/f"), kFileModeCreate, 0, fsoCreateFolder).Created());
  EXPECT_THROW(TFileStreamEx(P("x"), fmOpenRead, -1, 0), EAssertionFailed);

  // A file held exclusively: 20 attempts 50 ms apart, then the open error.
  auto holder = std::make_unique<TFileStreamEx>(P("held"), kFileModeCreate, 0, 0);
  EXPECT_EQ(MessageOf<EFOpenError>([&] { TFileStreamEx f(P("held"), fmOpenRead | fmShareDenyNone, 1, 0); }),
            "Cannot open file: " + P("held"));
  // Released while the second open waits: it succeeds and counts the wait.
  std::thread release([&] { std::this_thread::sleep_for(std::chrono::milliseconds(200)); holder.reset(); });
  const auto waited = TFileStreamEx(P("held"), fmOpenRead | fmShareDenyNone, 5, 0).WaitedMilliseconds();
  EXPECT_GE(waited, 100);
  EXPECT_EQ(waited % 50, 0);
  release.join();
}

// A library that cannot be loaded names its copy, then the system's reason.
TEST_F(StreamFileTest, LibraryThatCannotBeLoadedFromItsCopy) {
  const char* old = std::getenv("TMPDIR");
  const std::string saved = old ? old : "";
  ASSERT_TRUE(os::SetEnvironmentVariable("TMPDIR", dir_.c_str()));
  Write("lib.so", "not a library");
  const std::string message = CodedMessageOf<EOSError>([&] { LoadLibraryFromTempCopy(P("lib.so")); });
  os::SetEnvironmentVariable("TMPDIR", old ? saved.c_str() : nullptr);
  EXPECT_EQ(message, "Cannot load library '" + P("lib.1.so") + "'\r\n" + P("lib.1.so") +
                         " is not a valid Win32 application (193) #193");
}

TEST_F(StreamFileTest, FileHeldByAnotherProcessIsRetriedThenRefused) {
  Write("other", "x");
  auto holder = std::make_unique<test::HoldingChild>(P("other"), os::kGenericRead | os::kGenericWrite, 0);
  ASSERT_TRUE(holder->held());
  // Every attempt of the retry second was made before the open error.
  EXPECT_EQ(MessageOf<EFOpenError>([&] { TFileStreamEx f(P("other"), fmOpenRead | fmShareDenyNone, 1, 0); }),
            "Cannot open file: " + P("other"));
  // A holder that ends, even killed, no longer stands in the way.
  holder->Release(true);
  EXPECT_EQ(TFileStreamEx(P("other"), fmOpenReadWrite | fmShareExclusive, 1, 0).WaitedMilliseconds(), 0);
}

TEST_F(StreamFileTest, ReadOnlyFilesAndDispositions) {
  Write("ro", "abc");
  os::SetFileAttributes(P("ro"), os::kFileAttributeReadOnly);
  EXPECT_EQ(MessageOf<Exception>([&] { TFileStreamEx f(P("ro"), kFileModeCreate, 0, 0); }),
            "Cannot overwrite a read-only file: " + P("ro"));
  EXPECT_EQ(MessageOf<Exception>([&] { TFileStreamEx f(P("ro"), fmOpenReadWrite, 0, 0); }),
            "Cannot open a read-only file for writing: " + P("ro"));
  { TFileStreamEx f(P("ro"), fmOpenRead | fmShareDenyWrite, 0, 0); }

  { TFileStreamEx f(P("new"), fmOpenReadWrite, 0, fsoOpenAlways); }  // created when missing
  Write("new", "content");
  { TFileStreamEx f(P("new"), fmOpenReadWrite, 0, fsoOpenAlways); EXPECT_EQ(f.Size(), 7); }
  { TFileStreamEx f(P("new"), fmOpenReadWrite, 0, fsoCreateNew); EXPECT_EQ(f.Size(), 0); }
  { TFileStreamEx f(P("tmp"), kFileModeCreate, 0, fsoDeleteOnClose); }
  EXPECT_FALSE(FileExistsNotDir(P("tmp")));
}

TEST_F(StreamFileTest, TransfersAndTheirFailures) {
  {
    TFileStreamEx f(P("t"), kFileModeCreate, 0, 0);
    f.WriteBuffer("0123456789", 10);
    f.SetPosition(6);
    char buf[8];
    EXPECT_EQ(f.Read(buf, 8), 4);  // short read at the end: no error
    EXPECT_EQ(f.Read(buf, 8), 0);
    f.SetSize(4);
    EXPECT_EQ(f.Position(), 4);
    f.Flush();
    EXPECT_TRUE(f.SameContent("0123", 4));
    EXPECT_FALSE(f.SameContent("0124", 4));
    EXPECT_FALSE(f.SameContent("012", 3));
  }
  TFileStreamEx r(P("t"), fmOpenRead | fmShareDenyNone, 0, 0);
  r.SetPosition(2);
  EXPECT_EQ(MessageOf<EOSError>([&] { r.Write("abc", 3); }),
            "Failed to write to file '" + P("t") + "' (3 bytes at position 2): Access is denied");
  TFileStreamEx w(P("t"), fmOpenWrite | fmShareDenyNone, 0, 0);
  char c;
  EXPECT_EQ(MessageOf<EOSError>([&] { w.Read(&c, 1); }),
            "Failed to read from file '" + P("t") + "' (1 bytes at position 0): Access is denied");
  TFileStreamEx empty(P("e"), kFileModeCreate, 0, 0);
  EXPECT_TRUE(empty.SameContent(nullptr, 0));

  // Ends past the largest position are refused, not wrapped.
  TMappedFileStream m(P("m"), kFileModeCreate, 0, 0);
  m.WriteBuffer("ab", 2);
  EXPECT_THROW(m.Seek(INT64_MAX, TSeekOrigin::soCurrent), EStreamError);
  EXPECT_THROW(m.Seek(INT64_MAX, TSeekOrigin::soEnd), EStreamError);
  EXPECT_EQ(m.Position(), 2);
  m.SetPosition(INT64_MAX - 1);
  EXPECT_THROW(m.Write("0123456789abcdef", 16), EStreamError);
  EXPECT_EQ(m.Size(), 2);
}

TEST_F(StreamFileTest, TimesInformationAndCopies) {
  const std::uint64_t when = 132224078450000000ull;
  TVirtualStream content;
  const std::string data = Pattern(3 * 1024 * 1024 + 17);
  content.WriteBuffer(data.data(), static_cast<std::int64_t>(data.size()));
  content.SetPosition(100);  // saved from its start all the same
  SaveStreamToFile(content, P("saved"), 0, when);
  EXPECT_EQ(Read("saved"), data);
  {
    TFileStreamEx f(P("saved"), fmOpenRead | fmShareDenyWrite, 0, 0);
    EXPECT_EQ(f.LastWriteTime(), when);
    EXPECT_EQ(f.GetFileInformation().size, static_cast<std::int64_t>(data.size()));
    std::vector<std::int64_t> steps;
    CopyFileToNewFile(f.Handle(), P("copy"), [](void* d, std::int64_t done, std::int64_t total) {
      static_cast<std::vector<std::int64_t>*>(d)->push_back(done);
      EXPECT_EQ(total, 3 * 1024 * 1024 + 17);
    }, &steps);
    EXPECT_EQ(steps, (std::vector<std::int64_t>{1 << 20, 2 << 20, 3 << 20, 3 * (1 << 20) + 17}));
    f.CopyToNewFile(P("copy2"));
  }
  EXPECT_EQ(Read("copy"), data);
  EXPECT_TRUE(FilesEqual(P("copy"), P("copy2")));
  TVirtualStream none;
  SaveStreamToFile(none, P("e1"), 0, 0);
  SaveStreamToFile(none, P("e2"), 0, 0);
  EXPECT_TRUE(FilesEqual(P("e1"), P("e2")));
  EXPECT_FALSE(FilesEqual(P("e1"), P("copy")));
  std::string changed = data;
  changed[changed.size() - 1] ^= 1;
  Write("changed", changed);
  EXPECT_FALSE(FilesEqual(P("changed"), P("copy")));
  EXPECT_THROW(FilesEqual(P("missing"), P("copy")), EFOpenError);
}

// A comparison with a view whose file was cut short raises the in-page
// error, as a copy from it does, instead of ending the process.
TEST_F(StreamFileTest, ComparisonWithAViewOfAFileCutShortRaisesTheInPageError) {
  const std::string data = Pattern(2 << 20);
  Write("whole", data);
  Write("cut", data);
  std::int64_t size = 0;
  void* view = MapWholeFile(P("cut"), 0, size);
  fs::resize_file(P("cut"), 0);
  TFileStreamEx whole(P("whole"), fmOpenRead | fmShareDenyWrite, 0, 0);
  EXPECT_EQ(test::ExternalCodeOf([&] { (void)whole.SameContent(view, size); }), os::kStatusInPageError);
  os::UnmapViewOfFile(view);
}

TEST_F(StreamFileTest, MapWholeFileKinds) {
  std::int64_t size = -1;
  EXPECT_EQ(MessageOf<Exception>([&] { MapWholeFile(P("any"), 3, size); }), "Invalid file map-kind");
  Write("empty", "");
  EXPECT_EQ(MapWholeFile(P("empty"), 0, size), nullptr);
  EXPECT_EQ(size, 0);
  Write("f", "hello");
  for (const auto& [kind, file] : {std::pair{0, "hello"}, {2, "hello"}, {1, "jello"}}) {
    auto* view = static_cast<char*>(MapWholeFile(P("f"), kind, size));
    ASSERT_NE(view, nullptr);
    EXPECT_EQ(std::string(view, 5), "hello");
    if (kind != 0) view[0] = 'j';
    os::UnmapViewOfFile(view);
    EXPECT_EQ(Read("f"), file) << kind;
  }
}

TEST_F(StreamFileTest, MappedStreamWritesAcrossViewsAndTrimsOnClose) {
  const std::string data = Pattern(700 * 1024 + 3, 7);
  {
    TMappedFileStream m(P("m"), kFileModeCreate, 0, 0);
    std::size_t off = 0, step = 1;
    while (off < data.size()) {  // uneven pieces cross the 256 KB views
      const std::size_t n = std::min(step, data.size() - off);
      m.WriteBuffer(data.data() + off, static_cast<std::int64_t>(n));
      off += n;
      step = step * 3 + 1;
    }
    // The mapping runs ahead of the data, in whole views.
    EXPECT_EQ(fs::file_size(P("m")), 768u * 1024u);
    m.Close();
    m.Close();  // once only
  }
  EXPECT_EQ(Read("m"), data);

  TMappedFileStream r(P("m"), fmOpenRead | fmShareDenyWrite, 0, 0);
  // Jumps between three windows: more than the two kept views.
  for (std::int64_t pos : {0, 300000, 600000, 10, 262143, 700 * 1024 - 2}) {
    char buf[8] = {};
    r.SetPosition(pos);
    ASSERT_EQ(r.Read(buf, 5), 5);
    EXPECT_EQ(std::string(buf, 5), data.substr(static_cast<std::size_t>(pos), 5)) << pos;
  }
  r.Seek(-2, TSeekOrigin::soEnd);
  char tail[8];
  EXPECT_EQ(r.Read(tail, 8), 2);
  EXPECT_EQ(r.Read(tail, 8), 0);
  EXPECT_EQ(MessageOf<Exception>([&] { r.Write("x", 1); }), "Cannot write to a read-only mapped file.");
}

TEST_F(StreamFileTest, MappedStreamLargeTransfersCrossTheirWindows) {
  // From an unaligned position, across several large windows and back.
  const std::int64_t at = 3 * TMappedFileStream::kLargeWindowAlignment / 2 + 7;
  const std::string data = Pattern(static_cast<std::size_t>(TMappedFileStream::kLargeWindow * 2 + 5), 3);
  {
    TMappedFileStream m(P("big"), kFileModeCreate, 0, 0);
    m.SetPosition(at);
    m.WriteBuffer(data.data(), static_cast<std::int64_t>(data.size()));
  }
  std::string back(data.size(), '\0');
  TMappedFileStream r(P("big"), fmOpenRead | fmShareDenyWrite, 0, 0);
  EXPECT_EQ(r.Size(), at + static_cast<std::int64_t>(data.size()));
  r.SetPosition(at);
  r.ReadBuffer(back.data(), static_cast<std::int64_t>(back.size()));
  EXPECT_TRUE(back == data);
}

static int g_errno = 0;

// Each call that creates, writes, grows or maps a file fails in turn as on a
// full disk, an exhausted quota, a failing device or past the file-size
// limit: the streams raise the OS error, nothing faults.
TEST_F(StreamFileTest, SickMachineWriteErrorsAreOrdinaryErrors) {
  struct Undo {
    ~Undo() { os::PlatformTestHelper::ResetSystemCalls(); }
  } undo;
  os::SystemCallTable& calls = os::PlatformTestHelper::SystemCalls();
  const auto code_of = [](auto&& f) {
    return test::DescribeThrown<EOSError>(f, [](const EOSError& e) { return std::to_string(e.ErrorCode); });
  };
  const auto reset = [] { os::PlatformTestHelper::ResetSystemCalls(); };
  for (const auto& [err, code] : {std::pair{ENOSPC, 112u}, {EDQUOT, 112u}, {EIO, 29u}, {EFBIG, 223u}}) {
    SCOPED_TRACE(err);
    g_errno = err;
    reset();
    calls.open = [](const char*, int, mode_t) { return errno = g_errno, -1; };
    EXPECT_EQ(MessageOf<EFCreateError>([&] { TFileStreamEx f(P("o"), kFileModeCreate); }),
              "Cannot create file: " + P("o") + "\r\n" + os::SystemErrorText(code) + " (" + std::to_string(code) + ")");

    reset();
    calls.write = [](int, const void*, std::size_t) -> ssize_t { return errno = g_errno, -1; };
    TFileStreamEx w(P("w"), kFileModeCreate);
    EXPECT_EQ(code_of([&] { w.WriteBuffer("abc", 3); }), std::to_string(code));

    calls.ftruncate = [](int, off_t) { return errno = g_errno, -1; };
    EXPECT_EQ(code_of([&] { w.SetSize(10); }), std::to_string(code));

    reset();
    calls.fallocate = [](int, off_t, off_t) { return g_errno; };
    TMappedFileStream m(P("m"), kFileModeCreate);
    const std::string message = MessageOf<EOSError>([&] { m.WriteBuffer("abc", 3); });
    EXPECT_EQ(message.rfind("Failed to write 3 bytes at 0 to mapped view\r\nFailed to create file mapping", 0), 0u)
        << message;
    EXPECT_EQ(code_of([&] { m.WriteBuffer("abc", 3); }), std::to_string(code));

    reset();
    m.WriteBuffer("abc", 3);
    calls.mmap = [](void*, std::size_t, int, int, int, off_t) { return errno = g_errno, MAP_FAILED; };
    m.Flush();  // drops the views
    EXPECT_NE(code_of([&] { m.WriteBuffer("d", 1); }), "(no exception)");
  }
}

TEST_F(StreamFileTest, MappedStreamSizesAndOptions) {
  {
    TMappedFileStream m(P("s"), kFileModeCreate, 0, 0);
    m.SetSize(300000);
    m.SetPosition(299999);
    m.WriteBuffer("z", 1);
    m.SetSize(5);
    m.Flush();
  }
  EXPECT_EQ(fs::file_size(P("s")), 5u);
  {
    // Without the size check the file keeps the mapping's length.
    TMappedFileStream m(P("k"), kFileModeCreate, 0, fsoNoSizeCheck);
    m.WriteBuffer("abc", 3);
  }
  EXPECT_EQ(fs::file_size(P("k")), 256u * 1024u);
  {
    TMappedFileStream m(P("g"), kFileModeCreate, 0, fsoSetEndOnGrow);
    m.WriteBuffer("abc", 3);
    EXPECT_EQ(fs::file_size(P("g")), 256u * 1024u);
  }
  EXPECT_EQ(Read("g"), "abc");
  Write("empty", "");
  TMappedFileStream e(P("empty"), fmOpenRead | fmShareDenyWrite, 0, 0);
  char c;
  EXPECT_EQ(e.Read(&c, 1), 0);
  EXPECT_THROW(e.SetSize(-1), EAssertionFailed);

  // Positions before the start read nothing and refuse writes.
  TMappedFileStream m(P("p"), kFileModeCreate, 0, 0);
  m.WriteBuffer("abc", 3);
  m.SetPosition(-5);
  EXPECT_EQ(m.Read(&c, 1), 0);
  EXPECT_EQ(MessageOf<Exception>([&] { m.WriteBuffer("x", 1); }),
            "Failed to write 1 bytes at -5 to mapped view\r\nCannot map view of mapped stream: Invalid "
            "position/size requested (position = -5, size = 1, stream size = 3)");
}

// Sizes past the largest are refused as invalid before anything is mapped, and
// sizes that cannot be mapped fail; either way the stream keeps its size and bytes.
TEST_F(StreamFileTest, MappedStreamImpossibleSizesAreRefusedAndChangeNothing) {
  struct Undo {
    ~Undo() { os::PlatformTestHelper::ResetSystemCalls(); }
  } undo;
  constexpr std::int64_t kMax = TMappedFileStream::kMaxSize;
  TMappedFileStream m(P("m"), kFileModeCreate, 0, 0);
  m.WriteBuffer("abc", 3);
  os::PlatformTestHelper::SystemCalls().fallocate = [](int, off_t, off_t) { return ENOSPC; };  // disk full
  for (const std::int64_t size :
       {kMax + 1, std::int64_t{1} << 50, INT64_MAX - TMappedViewCache::kViewMask,
        INT64_MAX - TMappedViewCache::kViewMask + 1, INT64_MAX - 1, INT64_MAX, kMax, std::int64_t{1} << 20}) {
    SCOPED_TRACE(size);
    if (size > kMax) {
      const std::string invalid = "Invalid stream size " + std::to_string(size);
      EXPECT_EQ(MessageOf<EStreamError>([&] { m.SetSize(size); }), invalid);
      m.SetPosition(size - 1);
      EXPECT_EQ(MessageOf<EStreamError>([&] { m.Write("x", 1); }),
                "Failed to write 1 bytes at " + std::to_string(size - 1) + " to mapped view\r\n" + invalid);
    } else {  // passes the check; the mapping fails
      EXPECT_EQ(CodedMessageOf<EOSError>([&] { m.SetSize(size); }).rfind("Failed to create file mapping", 0),
                0u);
      m.SetPosition(size - 1);
      EXPECT_THROW(m.Write("x", 1), EOSError);
    }
    char buf[4] = {};
    m.SetPosition(0);
    EXPECT_EQ(m.Read(buf, 4), 3);
    EXPECT_EQ(std::string(buf, 3), "abc");
    EXPECT_EQ(m.Size(), 3);
  }
  os::PlatformTestHelper::ResetSystemCalls();
  m.Close();
  EXPECT_EQ(Read("m"), "abc");
}

// What a shrink cuts off reads as zeros after growing again, by size or by write, open or closed.
TEST_F(StreamFileTest, MappedStreamBytesCutOffNeverComeBack) {
  const std::string a1000(1000, 'A');
  const std::string expected = std::string(10, 'A') + std::string(990, '\0');
  for (const bool by_write : {false, true}) {
    SCOPED_TRACE(by_write);
    {
      TMappedFileStream m(P("c"), kFileModeCreate, 0, 0);
      m.WriteBuffer(a1000.data(), 1000);
      m.SetSize(10);
      m.SetSize(10);  // the same size again
      if (by_write) {
        m.SetPosition(999);
        m.WriteBuffer("", 1);
      } else {
        m.SetSize(1000);
      }
      EXPECT_EQ(ReadAll(m, 1000), expected);
    }
    EXPECT_EQ(Read("c"), expected);
  }

  // Another view pins the file's length: the cut bytes are zeroed in place, seen by that view too.
  {
    TMappedFileStream m(P("v"), fmOpenReadWrite | fmShareDenyNone, 0, fsoOpenAlways);
    m.WriteBuffer(a1000.data(), 1000);
    m.Flush();
    os::FileHandle h = os::CreateFile(P("v"), os::kGenericRead,
                                      os::kFileShareRead | os::kFileShareWrite | os::kFileShareDelete,
                                      os::kOpenExisting, 0);
    os::MappingHandle mh = os::CreateFileMapping(h, os::kPageReadOnly, 0);
    const auto* view = static_cast<const char*>(os::MapViewOfFile(mh, os::kFileMapRead, 0, 0));
    ASSERT_NE(view, nullptr);
    m.SetSize(10);
    EXPECT_EQ(std::string(view, 1000), expected);
    m.SetSize(1000);
    EXPECT_EQ(ReadAll(m, 1000), expected);
    os::UnmapViewOfFile(const_cast<char*>(view));
    os::CloseMapping(mh);
    os::CloseFile(h);
    m.Close();
  }
  EXPECT_EQ(Read("v"), expected);

  // A read-only stream cannot cut its file: what it cut reads as zeros and is never lent.
  Write("r", a1000);
  TMappedFileStream r(P("r"), fmOpenRead | fmShareDenyWrite, 0, 0);
  r.SetLendBytes(true);
  r.SetSize(10);
  r.SetSize(1000);
  EXPECT_EQ(ReadAll(r, 1000), expected);
  TVirtualStream lent;
  r.SetPosition(5);
  EXPECT_FALSE(r.LendBytes(6, lent));
  EXPECT_TRUE(r.LendBytes(5, lent));
  EXPECT_EQ(std::string(static_cast<const char*>(lent.Memory()), 5), "AAAAA");
  EXPECT_EQ(Read("r"), a1000);
}

// Random writes, reads, seeks and resizes across views and large windows agree with a plain copy.
TEST_F(StreamFileTest, MappedStreamAgreesWithAShadowCopy) {
  std::mt19937 rng(20261207);
  const auto below = [&](std::int64_t n) { return static_cast<std::int64_t>(rng() % static_cast<std::uint64_t>(n)); };
  std::string shadow;
  {
    TMappedFileStream m(P("s"), kFileModeCreate, 0, 0);
    const std::int64_t span = 3 * TMappedViewCache::kViewSize / 2;
    for (int step = 0; step < 2000; ++step) {
      const std::int64_t size = static_cast<std::int64_t>(shadow.size());
      const int op = static_cast<int>(below(100));
      if (op < 40) {  // write, sometimes past the end, now and then through a large window
        const std::int64_t at = below(size + 4096);
        const std::int64_t n = step % 400 == 7 ? TMappedFileStream::kLargeTransfer + below(4096) : 1 + below(20000);
        const std::string data = Pattern(static_cast<std::size_t>(n), static_cast<unsigned>(step));
        m.SetPosition(at);
        m.WriteBuffer(data.data(), n);
        if (shadow.size() < static_cast<std::size_t>(at + n)) shadow.resize(static_cast<std::size_t>(at + n), '\0');
        shadow.replace(static_cast<std::size_t>(at), data.size(), data);
      } else if (op < 75) {  // read, sometimes across the end
        const std::int64_t at = below(size + 100);
        const std::int64_t n = 1 + below(30000);
        std::string back(static_cast<std::size_t>(n), 'x');
        m.SetPosition(at);
        const std::int64_t got = m.Read(back.data(), n);
        const std::int64_t want = std::max<std::int64_t>(0, std::min(n, size - at));
        ASSERT_EQ(got, want) << step;
        ASSERT_TRUE(back.substr(0, static_cast<std::size_t>(got)) ==
                    shadow.substr(static_cast<std::size_t>(std::min(at, size)), static_cast<std::size_t>(got)))
            << step;
      } else if (op < 95) {  // a new size, smaller or larger
        const std::int64_t to = op < 85 ? below(size + 1) : below(span);
        m.SetSize(to);
        shadow.resize(static_cast<std::size_t>(to), '\0');
        ASSERT_EQ(m.Size(), to);
      } else {
        m.Flush();
      }
    }
    EXPECT_TRUE(ReadAll(m, static_cast<std::int64_t>(shadow.size())) == shadow);
  }
  EXPECT_TRUE(Read("s") == shadow);
}

TEST_F(StreamFileTest, MappedStreamCloseReportsAndDestructorStaysQuiet) {
  auto run = [&](bool explicit_close) {
    auto m = std::make_unique<TMappedFileStream>(P("c"), fmOpenReadWrite | fmShareDenyNone, 0,
                                                 fsoOpenAlways | fsoShareDelete);
    m->WriteBuffer("0123456789", 10);  // file grown to a whole view
    m->Flush();
    // Another view of the file keeps its full length alive.
    os::FileHandle h = os::CreateFile(P("c"), os::kGenericRead,
                                      os::kFileShareRead | os::kFileShareWrite | os::kFileShareDelete,
                                      os::kOpenExisting, 0);
    os::MappingHandle mh = os::CreateFileMapping(h, os::kPageReadOnly, 0);
    void* view = os::MapViewOfFile(mh, os::kFileMapRead, 0, 0);
    std::string message = explicit_close ? MessageOf<Exception>([&] { m->Close(); }) : "";
    EXPECT_NO_THROW(m.reset());
    os::UnmapViewOfFile(view);
    os::CloseMapping(mh);
    os::CloseFile(h);
    return message;
  };
  EXPECT_EQ(run(true).rfind("Failed to close mapped file: " + P("c") + "\r\nFailed to set end of file", 0), 0u);
  run(false);
}

TEST(FileStreamsUnit, FindsTheNamespaceFolderOfItsOwnObjects) {
  const UnitEntry units[] = {kFileStreamsUnit};
  InitializeUnits(units);
  const std::string name = "vt_namespace_probe_" + std::to_string(os::GetCurrentProcessId());
  TWinEvent probe(nullptr, name, true, false);
  EXPECT_EQ(QueryObjectName(probe.Handle), ObjectNamespaceDirectory() + name);
  // Unprefixed names live in the session's folder, not the machine-wide one.
  EXPECT_NE(ObjectNamespaceDirectory(), "\\BaseNamedObjects\\");
}

namespace {

// The open flags of a descriptor (from /proc), or -1.
long OpenFlags(os::FileHandle h) {
  std::ifstream in("/proc/self/fdinfo/" + std::to_string(h));
  for (std::string line; std::getline(in, line);)
    if (line.rfind("flags:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 8);
  return -1;
}

// Whether the file system of Folder takes direct transfers, and whether it
// holds them to the block size (a memory file system need not).
bool DirectTransfers(const fs::path& folder, bool* aligned = nullptr) {
  const fs::path probe = folder / "direct_probe";
  const int fd = ::open(probe.c_str(), O_CREAT | O_RDWR | O_DIRECT | O_CLOEXEC, 0600);
  if (fd >= 0 && aligned) {
    void* block = std::aligned_alloc(4096, 4096);
    *aligned = ::write(fd, block, 100) < 0 && errno == EINVAL;
    std::free(block);
  }
  if (fd >= 0) ::close(fd);
  fs::remove(probe);
  return fd >= 0;
}

struct AlignedBuffer {
  explicit AlignedBuffer(std::size_t size) : data(static_cast<char*>(std::aligned_alloc(4096, size))) {}
  ~AlignedBuffer() { std::free(data); }
  char* data;
};

}  // namespace

TEST(FileStreamFlags, NoBufferingIsDirectAndWriteThroughIsSynchronous) {
  // The temporary folder may be a memory file system without direct
  // transfers: then a folder on the disk beside the test program.
  test::TempFolder tmp;
  fs::path folder = tmp.path();
  struct RemoveOnExit {
    fs::path path;
    ~RemoveOnExit() {
      std::error_code ignored;
      if (!path.empty()) fs::remove_all(path, ignored);
    }
  } disk;
  if (!DirectTransfers(folder)) {
    disk.path = test::ProgramFolder() / ("vt_direct_" + std::to_string(::getpid()));
    fs::create_directory(disk.path);
    folder = disk.path;
    if (!DirectTransfers(folder))
      GTEST_SKIP() << "neither " << tmp.path() << " nor " << disk.path << " takes direct transfers (O_DIRECT)";
  }
  bool aligned = false;
  DirectTransfers(folder, &aligned);
  const std::string name = (folder / "direct").string();
  constexpr std::size_t kSize = 64 * 1024;
  AlignedBuffer out(kSize), in(kSize);
  const std::string pattern = Pattern(kSize, 7);
  std::memcpy(out.data, pattern.data(), kSize);
  {
    TFileStreamEx f(name, kFileModeCreate, 0, fsoNoBuffering | fsoWriteThrough);
    const long flags = OpenFlags(f.Handle());
    EXPECT_TRUE(flags & O_DIRECT) << std::oct << flags;
    EXPECT_TRUE(flags & O_DSYNC) << std::oct << flags;
    EXPECT_EQ(f.Write(out.data, kSize), static_cast<std::int64_t>(kSize));
    // A count that is not a multiple of the block size is refused, as there.
    if (aligned) {
      EXPECT_NE(MessageOf<EOSError>([&] { f.Write(out.data, 100); }).find("The parameter is incorrect"),
              std::string::npos);
    }
  }
  {
    TFileStreamEx f(name, fmOpenRead | fmShareDenyWrite, 0, fsoNoBuffering);
    EXPECT_TRUE(OpenFlags(f.Handle()) & O_DIRECT);
    EXPECT_EQ(f.Read(in.data, kSize), static_cast<std::int64_t>(kSize));
    EXPECT_EQ(std::memcmp(in.data, out.data, kSize), 0);
  }
}

TEST(FileStreamFlags, FileSystemWithoutDirectTransfersOpensBuffered) {
  test::TempFolder tmp;
  // A file system that refuses O_DIRECT at open answers EINVAL.
  os::PlatformTestHelper::SystemCalls().open = [](const char* path, int flags, mode_t mode) {
    if (flags & O_DIRECT) {
      errno = EINVAL;
      return -1;
    }
    return ::open(path, flags, mode);
  };
  std::int64_t written = 0;
  long flags = -1;
  try {
    TFileStreamEx f(tmp.File("buffered"), kFileModeCreate, 0, fsoNoBuffering);
    flags = OpenFlags(f.Handle());
    written = f.Write("odd", 3);
  } catch (...) {
  }
  os::PlatformTestHelper::ResetSystemCalls();
  EXPECT_EQ(written, 3);
  EXPECT_FALSE(flags & O_DIRECT);
  EXPECT_EQ(test::ReadFileText(tmp.File("buffered")), "odd");
}
