// Virtual-environment packets: registration, wire bytes, handle fields and
// their duplication, optional forwarder context, streams and listings.
#include <gtest/gtest.h>

#include <cstring>

#include "catalogues/NetworkConfigPackets.h"
#include "catalogues/PdbForwarderPackets.h"
#include "catalogues/VEPackets.h"
#include "CatalogueTestSupport.h"
#include "platform/Handles.h"
#include "platform/LastError.h"
#include "platform/Sync.h"

namespace vt {
namespace {

using namespace test;

std::string Z(std::size_t n) { return std::string(n, '\0'); }
const std::string kZeroHandle = "\x04" + Z(4);

class VEPacketsTest : public test::CatalogueTest {};

const std::uintptr_t kSelf = static_cast<std::uintptr_t>(os::kCurrentProcess);

// An unnamed event of this process, closed with the test.
struct TestEvent {
  os::HANDLE Handle = os::CreateEventA(nullptr, true, false, "");
  ~TestEvent() { os::CloseHandle(Handle); }
  TVEHandleValue Value() const { return static_cast<TVEHandleValue>(Handle); }
};

// True when Duplicate names the same event as Original (signalled through
// one, seen through the other).
bool SameEvent(TVEHandleValue original, TVEHandleValue duplicate) {
  os::ResetEvent(static_cast<os::HANDLE>(original));
  if (!os::SetEvent(static_cast<os::HANDLE>(duplicate))) return false;
  return os::WaitForSingleObject(static_cast<os::HANDLE>(original), 0) == os::kWaitObject0;
}

void Fill(TVEContextPacket& c) {
  c.ComputerName = "BUILD01";
  c.WindowsDir = "C:\\Windows";
  c.SystemDir = "C:\\Windows\\system32";
  c.SystemWindowsDir = "C:\\Windows";
  c.TempDir = "C:\\Temp";
  c.UserName = "builder";
  c.UserSecurityID = "S-1-5-21-1";
  c.Env = std::string("A=1\0B=2\0\0", 9);
  c.InternetCacheDir = "ic";
  c.CookiesDir = "ck";
  c.HistoryDir = "hs";
  c.SystemDllMasks.Add("kernel32.dll");
  c.SystemDllMasks.Add("ntdll.dll");
  c.DriveMap = 0x0C;
  c.DriveTypes = "CD";
  c.RemoveSysWow64FromPath = false;
  c.VEAlloc_MaxSpace = 1 << 20;
  c.VtTempDir = "C:\\Temp\\vt";
  c.NoDotNetVirt = true;
  c.OSVersionInfo.dwOSVersionInfoSize = 156;
  c.OSVersionInfo.dwMajorVersion = 10;
  c.OSVersionInfo.dwBuildNumber = 19045;
  std::strcpy(c.OSVersionInfo.szCSDVersion, "Service Pack 1");
  c.OSVersionInfo.wProductType = 1;
  c.ActiveCodePage = 1252;
  c.SystemRegKeyMasks.Add("HKLM\\SOFTWARE");
  c.BypassUNC = true;
  c.AllowKernelBaseHooks = true;
  c.ConsoleOutputCodePage = 65001;
  c.EnableSandboxLocalFiles = true;
}

void Fill(TVESessionPacket& s) {
  Fill(s.Context);
  s.LogOnly = true;
  s.InstanceIndex = 3;
  s.SessionProcessID = 4711;
  s.VECacheDir = "vc";
  s.FileCacheDir = "fc";
  s.ModuleCacheDir = "mc";
  s.FileCacheTempDir = "ft";
  s.CreateProcessMutex = 0x40000010;
  s.StreamGroupID = GuidLiteral("{11111111-2222-3333-4444-555555555555}");
  s.CacheStreamGroupID = GuidLiteral("{66666666-7777-8888-9999-AAAAAAAAAAAA}");
  s.ExampleFileHandle = 0xFFFFFFFF;
  s.SessionUserSID = "S-1-5-18";
  s.SessionUserNameEx2 = u"DOMAIN\\b\u00fcilder";
  s.SystemVolumeSerialNumber = 0xDEADBEEF;
  s.AllowInjectionIntoMSPDBSRV = true;
  s.KB3126587_LdrLoadDll_Hack = true;
  s.UCRTBASE_Exists = true;
  s.UCRTBASED_Exists = true;
}

void Fill(TVEReservePacket& r) {
  r.FreeTrigger = static_cast<TVEFreeTrigger>(2);
  r.Path = "C:\\out\\*.obj";
  r.Map.Add(0x100000000ll, 1);
  r.Map.Add(-5, 2);
  r.PathContainsWildcards = true;
  r.Redundant = true;
  r.PathContainsFilenameOnly = false;
  r.BasedOnPath = "C:\\out";
}

void Fill(TVEPatchFilePacket& f) {
  f.Path = "cl.exe";
  auto& p1 = f.Patches.AddNew();
  p1.Position = 0x123456789ll;
  p1.Size = 3;
  p1.Content = std::string("\x90\0\x90", 3);
  auto& p2 = f.Patches.AddNew();
  p2.Position = 8;
  p2.Size = 100;  // independent of the content's length
  p2.Content = "x";
}

void Fill(TVEProcessPacket& p) {
  p.JobID = 77;
  p.ProcessArrayHandle = 0x40000020;
  p.TerminateEventHandle = 0x40000024;
  Fill(p.PatchFiles.AddNew());
  Fill(p.ReserveList.AddNew());
  p.ReserveList.AddNew().Path = "second";
  p.CompilerHeapAddress = 0x80001000;
  p.CmdLine = "cl.exe /c a.cpp";
  p.CurrentDir = "C:\\src";
  p.SavedPathVariable = "C:\\bin;C:\\tools";
  p.AppName = "cl.exe";
  p.SkipReserve = true;
  p.ProcessIndex = 2;
  auto& h = p.FileHandles.AddNew();
  h.Handle = 0x40000030;
  h.Token = -1;
  h.StreamID = 1ll << 40;
  p.DivideSleepTime = 4;
  p.ParentLogID_Obsolete = 99;
  p.WaitForSyncOnSleep = true;
  p.ParentCurDirHandle = -2;
  p.IsDebugged = true;
  p.SyncServerID = GuidLiteral("{01020304-0506-0708-090A-0B0C0D0E0F10}");
  p.PatchClExeConfig = true;
  p.CompleteExitProcess = true;
  auto& fwd = p.NeedPdbForwarderContext();
  fwd.Files.AddNew().Filename = "vc.pdb";
  fwd.StringBindingPrefix = "ncalrpc:";
  p.PossibleInputSharedHeapGUID = GuidLiteral("{A0A0A0A0-B0B0-C0C0-D0D0-E0E0E0E0E0E0}");
  p.LargeFiles.Add("big.pch");
  p.SharedMsPdbSrvId = "srv";
  p.BuildAvoidanceMode = 1;
  p.BuildAvoidanceLogsDir = u"C:\\logs";
  p.BuildAvoidanceCacheSupportedTools.Add("cl.exe");
  p.BuildAvoidanceBlacklistedTools.Add("rc.exe");
}

void Fill(TVEDirInfoPacket& d) {
  d.DirIndex = 12;
  d.DirVersion = 3;
  d.DirExists = true;
  d.UseKnownVersion = true;
  d.ShortName = "PROGRA~1";
  d.LongName = "Program Files";
  auto& f = d.Files.AddNew();
  f.Size = 1ll << 40;
  f.CreationTime = 132000000000000000ll;
  f.LastWriteTime = -1;
  f.IsDir = false;
  f.Name = "a.txt";
  f.ShortName = "A.TXT";
  f.IsSystem = true;
  f.IsReadOnly = true;
  d.Files.AddNew().Name = "sub";
  d.DirCaseSensitive = true;
}

TEST_F(VEPacketsTest, RegisteredInDeclarationOrder) {
  const ClassRow rows[] = {
      {&TVEContextPacket::Class, GuidLiteral("{8B924D93-EF4A-42C5-8366-791AE71BCE4F}"), 25},
      {&TVEReservePacket::Class, GuidLiteral("{5742BCF1-EE3A-4DE6-9062-575F7EE42491}"), 7},
      {&TVEPatchPacket::Class, GuidLiteral("{B4C7C307-B52E-4C99-8502-C32F78B8F3E6}"), 3},
      {&TVEPatchFilePacket::Class, GuidLiteral("{8E48896C-8499-4917-9598-E22599EF7D4C}"), 2},
      {&TVESessionPacket::Class, GuidLiteral("{961A0591-8237-4810-9412-0CA5FC870BAF}"), 19},
      {&TVEHandlePacket::Class, GuidLiteral("{7F66A6AB-FD02-4EBC-939C-4E7D27739E76}"), 3},
      {&TVEProcessPacket::Class, GuidLiteral("{0D82F548-CC66-4CFC-939B-6901623811CF}"), 29},
      {&TVEPreloadPacket::Class, GuidLiteral("{72C7B217-E4B9-4618-B2D5-2174D857DC6F}"), 1},
      {&TVEFileCachePacket::Class, GuidLiteral("{95AC466A-DEF0-4FEA-9758-C36BD790A950}"), 2},
      {&TVEFileInfoPacket::Class, GuidLiteral("{57B0FB32-D8EC-40FF-B0E1-A51D7C0005B7}"), 8},
      {&TVEDirInfoPacket::Class, GuidLiteral("{7881AE0D-3551-48C6-8529-E11DD3A6FB03}"), 8},
  };
  // The unit follows the PDB forwarding unit directly.
  const std::int32_t first = GetPacketClassNumber(TPdbInputFileActionAPacket::Class) + 1;
  EXPECT_EQ(ExpectRegisteredInOrder(rows, first), std::ssize(rows));
  EXPECT_TRUE(TVESessionPacket::Class.InheritsFrom(TCommPacket::Class));
  EXPECT_TRUE(TVEProcessPacket::Class.InheritsFrom(TCommPacket::Class));
  EXPECT_TRUE(TVEPreloadPacket::Class.InheritsFrom(TCommPacket::Class));
  kVEPacketsUnit.initialize();  // a second run registers nothing
  kVEPacketsUnit.finalize();
}

TEST_F(VEPacketsTest, FilledPacketsRoundTrip) {
  TVEContextPacket c;
  Fill(c);
  test::ExpectRoundTrips(c);
  TVESessionPacket s;
  Fill(s);
  test::ExpectRoundTrips(s);
  TVEReservePacket r;
  Fill(r);
  test::ExpectRoundTrips(r);
  TVEPatchFilePacket f;
  Fill(f);
  test::ExpectRoundTrips(f);
  test::ExpectRoundTrips(f.Patches.Items(0));
  TVEProcessPacket p;
  Fill(p);
  test::ExpectRoundTrips(p, false);
  test::ExpectRoundTrips(p.FileHandles.Items(0));
  TVEPreloadPacket pre;
  pre.ProcessHandleInSession = 0x80000004;
  test::ExpectRoundTrips(pre);
  TVEFileCachePacket cache;
  cache.FileTableStream.WriteBuffer("table", 5);
  cache.StorageTableStream.WriteBuffer(std::string(5000, 's').data(), 5000);
  test::ExpectRoundTrips(cache);
  TVEDirInfoPacket d;
  Fill(d);
  test::ExpectRoundTrips(d);
  test::ExpectRoundTrips(d.Files.Items(0));
}

// ---- Context and session -------------------------------------------------

TEST_F(VEPacketsTest, ContextVersionRecordAndDefaults) {
  TVEContextPacket c;
  EXPECT_TRUE(c.RemoveSysWow64FromPath);
  Fill(c);
  TVEContextPacket copy;
  copy.AssignFrom(c);
  EXPECT_EQ(std::memcmp(&copy.OSVersionInfo, &c.OSVersionInfo, sizeof c.OSVersionInfo), 0);
  EXPECT_TRUE(copy.Equals(c));
  copy.OSVersionInfo.wReserved = 1;  // the last byte counts
  EXPECT_FALSE(copy.Equals(c));
  std::string text = "unchanged";
  EXPECT_EQ(c.FieldToText(18, text), 0);
  EXPECT_THROW(c.GetFieldAsInteger(18), Exception);

  c.Clear();
  EXPECT_TRUE(c.RemoveSysWow64FromPath);
  EXPECT_EQ(c.OSVersionInfo.dwMajorVersion, 0u);
  EXPECT_EQ(c.OSVersionInfo.szCSDVersion[0], '\0');
  EXPECT_EQ(c.SystemDllMasks.Count(), 0);
  EXPECT_TRUE(c.Equals(TVEContextPacket()));
}

TEST_F(VEPacketsTest, FreshSessionBytes) {
  TVESessionPacket s;
  const std::string fields = FieldBytes(s);
  ASSERT_EQ(fields.size(), 289u);
  // Nested context: header (version 2, size, 25 fields), then its payload.
  std::uint32_t header[3];
  std::memcpy(header, fields.data(), sizeof header);
  EXPECT_EQ(header[0], 2u);
  EXPECT_EQ(header[1], 224u);
  EXPECT_EQ(header[2], 25u);
  const std::string context = Z(11) + Z(1) + Z(4) + Z(1) + "\x01" + Z(4) + Z(1) + Z(1) + Z(156) + Z(4) + Z(1) +
                              Z(1) + Z(1) + Z(4) + Z(1);
  EXPECT_EQ(Hex(fields.substr(32, 192)), Hex(context));
  const std::string session = Z(1) + Z(4) + Z(4) + Z(4) + kZeroHandle + Z(32) + kZeroHandle + Z(1) + Z(1) + Z(4) +
                              Z(4);
  EXPECT_EQ(Hex(fields.substr(224)), Hex(session));
}

// Offsets of a default session's fields behind the nested context.
constexpr std::size_t kCreateProcessMutexAt = 224 + 1 + 4 + 4 + 4;

TEST_F(VEPacketsTest, SessionHandleStoredInEightBytes) {
  TVESessionPacket s;
  s.CreateProcessMutex = 0x12345678;
  s.StreamGroupID = GuidLiteral("{01234567-89AB-CDEF-0123-456789ABCDEF}");
  std::string fields = FieldBytes(s);
  ASSERT_EQ(Hex(fields.substr(kCreateProcessMutexAt, 5)), "04 78 56 34 12");
  fields.replace(kCreateProcessMutexAt, 5, std::string("\x08\x78\x56\x34\x12\xAA\xBB\xCC\xDD", 9));
  TVESessionPacket a, b;
  EXPECT_EQ(LoadFieldsBothWays(a, b, fields, 19), static_cast<std::int64_t>(fields.size()));
  for (auto* q : {&a, &b}) {
    EXPECT_EQ(q->CreateProcessMutex, 0x12345678u);
    EXPECT_TRUE(q->Equals(s));  // the next field came from behind the eight bytes
  }
  // Written back in the four-byte form.
  EXPECT_EQ(FieldBytes(a), FieldBytes(s));
}

TEST_F(VEPacketsTest, SessionContextOnlyAndClear) {
  TVESessionPacket full;
  Fill(full);
  const std::string fields = FieldBytes(full).substr(0, FieldBytes(full.Context).size() + 32);
  TVESessionPacket a, b;
  EXPECT_EQ(LoadFieldsBothWays(a, b, fields, 1), static_cast<std::int64_t>(fields.size()));
  EXPECT_TRUE(a.Context.Equals(full.Context));
  TVESessionPacket expected;
  expected.Context.AssignFrom(full.Context);
  EXPECT_TRUE(a.Equals(expected));
  EXPECT_TRUE(b.Equals(expected));

  TVEContextPacket* context = &full.Context;
  full.Clear();
  EXPECT_EQ(&full.Context, context);
  EXPECT_TRUE(full.Context.RemoveSysWow64FromPath);
  EXPECT_TRUE(full.Equals(TVESessionPacket()));
}

// ---- Handle fields -----------------------------------------------------------

struct HandleFieldRow {
  const TPacketClass* Class;
  std::int32_t Index;
  int Line;
};

TEST_F(VEPacketsTest, HandleWithAnotherSizeFailsWithItsLine) {
  const HandleFieldRow rows[] = {
      {&TVESessionPacket::Class, 8, 6669},
      {&TVESessionPacket::Class, 11, 6697},
      {&TVEHandlePacket::Class, 0, 8028},
      {&TVEProcessPacket::Class, 1, 9300},
      {&TVEProcessPacket::Class, 2, 9318},
  };
  for (const HandleFieldRow& row : rows) {
    SCOPED_TRACE(QualifiedFieldName(*row.Class, row.Index));
    auto p = row.Class->Create();
    p->SetFieldAsInteger(row.Index, 0x01020304);
    const std::string good = FieldBytes(*p);
    const std::size_t at = good.find(std::string("\x04\x04\x03\x02\x01", 5));
    ASSERT_NE(at, std::string::npos);
    for (const std::string& bad : {std::string("\x02\x05\x00", 3), std::string("\x00", 1),
                                   std::string("\xFF", 1) + Z(255)}) {
      std::string fields = good;
      fields.replace(at, 5, bad);
      for (int mode = 0; mode < 2; ++mode) {
        auto q = row.Class->Create();
        q->SetFieldAsInteger(row.Index, 77);
        std::int32_t remaining = row.Class->FieldCount();
        try {
          if (mode == 0) {
            test::TPlainStream plain(fields);
            q->LoadFields(plain, remaining, nullptr);
          } else {
            TPointerStream buffer(fields.data(), static_cast<std::int64_t>(fields.size()), true);
            q->LoadFieldsFromBuffer(buffer, remaining, nullptr);
          }
          ADD_FAILURE() << "loaded";
        } catch (const EAssertionFailed& e) {
          EXPECT_EQ(e.Message(), "Assertion failure (VEPackets, line " + std::to_string(row.Line) + ")");
        }
        EXPECT_EQ(q->GetFieldAsInteger(row.Index), 0);  // set to 0 before the size is read
      }
    }
    // Eight bytes announced, three present: a read error, never more.
    std::string cut = good.substr(0, at) + std::string("\x08\x01\x02\x03", 4);
    test::ExpectBothReadersFail<EReadError>(*row.Class, cut, row.Class->FieldCount());
  }
}

TEST_F(VEPacketsTest, HandlePacketEightByteHandle) {
  TVEHandlePacket h;
  EXPECT_EQ(Hex(test::Payload(h)), Hex(kZeroHandle + Z(12)));
  const std::string fields = std::string("\x08\x01\x00\x00\x00\xFF\xFF\xFF\xFF", 9) +
                             std::string("\x2A\x00\x00\x00", 4) + std::string("\x01\x00\x00\x00\x00\x01\x00\x00", 8);
  TVEHandlePacket a, b;
  EXPECT_EQ(LoadFieldsBothWays(a, b, fields, 3), 21);
  for (auto* q : {&a, &b}) {
    EXPECT_EQ(q->Handle, 1u);
    EXPECT_EQ(q->Token, 42);
    EXPECT_EQ(q->StreamID, 0x10000000001ll);
  }
}

TEST_F(VEPacketsTest, DuplicateHandlesIntoProcess) {
  // Zero handles: nothing is called, nothing changes.
  TVESessionPacket empty;
  empty.DuplicateHandles(0x1234, 0x5678);
  EXPECT_TRUE(empty.Equals(TVESessionPacket()));

  TestEvent e1, e2, e3;
  TVESessionPacket s;
  s.CreateProcessMutex = e1.Value();
  s.ExampleFileHandle = e2.Value();
  s.DuplicateHandles(kSelf, kSelf);
  EXPECT_NE(s.CreateProcessMutex, e1.Value());
  EXPECT_NE(s.ExampleFileHandle, e2.Value());
  EXPECT_TRUE(SameEvent(e1.Value(), s.CreateProcessMutex));
  EXPECT_TRUE(SameEvent(e2.Value(), s.ExampleFileHandle));
  EXPECT_FALSE(SameEvent(e1.Value(), s.ExampleFileHandle));
  os::CloseHandle(s.CreateProcessMutex);
  os::CloseHandle(s.ExampleFileHandle);

  TVEProcessPacket p;
  p.ProcessArrayHandle = e1.Value();
  p.TerminateEventHandle = 0;
  p.FileHandles.AddNew().Handle = e3.Value();
  p.NeedPdbForwarderContext().StringBindingPrefix = "x";
  TVEProcessPacket before;
  before.Assign(p);
  p.DuplicateHandles(kSelf, kSelf);
  EXPECT_TRUE(SameEvent(e1.Value(), p.ProcessArrayHandle));
  EXPECT_NE(p.ProcessArrayHandle, e1.Value());
  EXPECT_EQ(p.TerminateEventHandle, 0u);
  EXPECT_TRUE(p.FileHandles.Equals(before.FileHandles));
  EXPECT_TRUE(p.SamePdbForwarderContext(before.PdbForwarderContext.get()));
  os::CloseHandle(p.ProcessArrayHandle);

  TVEHandlePacket h;
  h.Handle = e3.Value();
  h.Token = 5;
  h.DuplicateHandles(kSelf, kSelf);
  EXPECT_TRUE(SameEvent(e3.Value(), h.Handle));
  EXPECT_EQ(h.Token, 5);
  os::CloseHandle(h.Handle);

  TVEPreloadPacket pre;
  pre.ProcessHandleInSession = e3.Value();
  pre.DuplicateHandles(kSelf, kSelf);
  EXPECT_EQ(pre.ProcessHandleInSession, e3.Value());
}

TEST_F(VEPacketsTest, DuplicateHandlesFailure) {
  TestEvent e1, e2;
  const TVEHandleValue bogus = 0x7FFFFFF0;
  TVESessionPacket s;
  s.CreateProcessMutex = e1.Value();
  s.ExampleFileHandle = bogus;
  try {
    s.DuplicateHandles(kSelf, kSelf);
    ADD_FAILURE() << "duplicated";
  } catch (const EOSError& e) {
    EXPECT_EQ(e.Message().rfind("Failed to duplicate handle 0x0", 0), 0u) << e.Message();
    EXPECT_NE(e.Message().find("with same access rights, from process"), std::string::npos);
  }
  EXPECT_NE(s.CreateProcessMutex, e1.Value());  // the first keeps its duplicate
  EXPECT_TRUE(SameEvent(e1.Value(), s.CreateProcessMutex));
  EXPECT_EQ(s.ExampleFileHandle, bogus);
  os::CloseHandle(s.CreateProcessMutex);

  TVEProcessPacket p;
  p.ProcessArrayHandle = bogus;
  p.TerminateEventHandle = e2.Value();
  EXPECT_THROW(p.DuplicateHandles(kSelf, kSelf), EOSError);
  EXPECT_EQ(p.ProcessArrayHandle, bogus);
  EXPECT_EQ(p.TerminateEventHandle, e2.Value());
}

// ---- Process packet --------------------------------------------------------

TEST_F(VEPacketsTest, FreshProcessBytes) {
  TVEProcessPacket p;
  const std::string expected = Z(4) + kZeroHandle + kZeroHandle + Z(4) + Z(4) + Z(4) + Z(4) + Z(1) + Z(4) + Z(4) +
                               Z(4) + Z(4) + Z(1) + Z(8) + Z(1) + Z(16) + Z(2) + Z(1) + Z(16) + Z(1) + Z(1) +
                               Z(4) + Z(1) + Z(2);
  EXPECT_EQ(Hex(FieldBytes(p)), Hex(expected));
}

TEST_F(VEPacketsTest, ForwarderContextMember) {
  TVEProcessPacket p;
  EXPECT_EQ(p.PdbForwarderContext.get(), nullptr);
  const char* message = "Attempt to access uninitialized member object: TVEProcessPacket.PdbForwarderContext";
  try {
    p.GetPdbForwarderContext();
    ADD_FAILURE();
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), message);
  }
  try {
    p.GetFieldAsObject(21);
    ADD_FAILURE();
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), message);
  }
  std::string text;
  EXPECT_EQ(p.FieldToText(21, text), 1);
  EXPECT_EQ(text, "(null)");

  // A stored presence byte 1 creates the member; a stored 0 frees it.
  TVEProcessPacket with;
  with.NeedPdbForwarderContext().StringBindingPrefix = "pre";
  const std::string present = FieldBytes(with);
  const std::string absent = FieldBytes(p);
  TVEProcessPacket a, b;
  LoadFieldsBothWays(a, b, present, 29);
  ASSERT_NE(a.PdbForwarderContext.get(), nullptr);
  ASSERT_NE(b.PdbForwarderContext.get(), nullptr);
  EXPECT_EQ(a.GetPdbForwarderContext().StringBindingPrefix, "pre");
  EXPECT_EQ(b.GetFieldAsObject(21), b.PdbForwarderContext.get());
  LoadFieldsBothWays(a, b, absent, 29);
  EXPECT_EQ(a.PdbForwarderContext.get(), nullptr);
  EXPECT_EQ(b.PdbForwarderContext.get(), nullptr);

  // Clear empties a present member in place.
  TPdbForwarderContextPacket* member = &with.GetPdbForwarderContext();
  with.Clear();
  EXPECT_EQ(with.PdbForwarderContext.get(), member);
  EXPECT_EQ(member->StringBindingPrefix, "");
  EXPECT_FALSE(with.Equals(p));
  with.SetPdbForwarderContext(nullptr);
  EXPECT_TRUE(with.Equals(p));

  TPdbForwarderContextPacket source;
  source.Files.AddNew().Filename = "f.pdb";
  with.SetPdbForwarderContext(&source);
  EXPECT_NE(with.PdbForwarderContext.get(), &source);
  EXPECT_TRUE(with.GetPdbForwarderContext().Equals(source));
  TVEProcessPacket copy;
  copy.Assign(with);
  EXPECT_TRUE(copy.SamePdbForwarderContext(&source));
  copy.Assign(p);
  EXPECT_EQ(copy.PdbForwarderContext.get(), nullptr);
}

TEST_F(VEPacketsTest, FieldTexts) {
  TVESessionPacket s;
  Fill(s);
  TVEProcessPacket p;
  Fill(p);
  p.ProcessArrayHandle = 0xFFFFFFFE;
  p.ParentCurDirHandle = -1;
  TVEPreloadPacket pre;
  pre.ProcessHandleInSession = 0x80000000;
  const struct {
    const TPacket* Packet;
    std::int32_t Index;
    const char* Text;
  } rows[] = {
      {&s, 11, "4294967295"},
      {&s, 8, "1073741840"},
      {&s, 14, "3735928559"},
      {&s, 13, "'DOMAIN\\b\xC3\xBCilder'"},
      {&s, 9, "{11111111-2222-3333-4444-555555555555}"},
      {&p, 1, "4294967294"},
      {&p, 5, "2147487744"},
      {&p, 16, "-1"},
      {&p, 26, "'C:\\logs'"},
      {&p, 18, "{01020304-0506-0708-090A-0B0C0D0E0F10}"},
      {&pre, 0, "2147483648"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(QualifiedFieldName(row.Packet->ClassType(), row.Index));
    std::string text;
    EXPECT_EQ(row.Packet->FieldToText(row.Index, text), 1);
    EXPECT_EQ(text, row.Text);
  }
  std::string text;
  EXPECT_EQ(s.FieldToText(0, text), 2);
  EXPECT_EQ(p.FieldToText(23, text), 2);
  EXPECT_EQ(text, "big.pch\r\n");
  EXPECT_EQ(p.GetFieldAsInteger(1), -2);
  EXPECT_EQ(Hex(test::Payload(pre)), "00 00 00 80");
}

// ---- Reservations and patches --------------------------------------------------

TEST_F(VEPacketsTest, ReserveBytesAndFreeTrigger) {
  TVEReservePacket r;
  EXPECT_EQ(Hex(test::Payload(r)), "01 00 00 00 00 00 00 00");
  std::string text = "unchanged";
  EXPECT_EQ(r.FieldToText(0, text), 0);
  EXPECT_EQ(r.FieldToText(2, text), 0);
  EXPECT_THROW(r.GetFieldAsInteger(0), Exception);

  // A trigger stored in two bytes: the first is the value, both are read.
  r.Path = "p";
  r.BasedOnPath = "b";
  std::string fields = FieldBytes(r);
  fields.replace(0, 2, std::string("\x02\x05\x00", 3));
  TVEReservePacket a, b;
  EXPECT_EQ(LoadFieldsBothWays(a, b, fields, 7), static_cast<std::int64_t>(fields.size()));
  EXPECT_EQ(a.FreeTrigger, static_cast<TVEFreeTrigger>(5));
  EXPECT_EQ(a.BasedOnPath, "b");
  EXPECT_TRUE(a.Equals(b));

  // Map records: compact count, then 16 bytes each.
  TVEReservePacket m;
  m.Map.Add(0x0102030405060708ll, 9);
  const std::string mapped = FieldBytes(m);
  EXPECT_EQ(mapped.size(), 8u + 16u);
  EXPECT_EQ(Hex(mapped.substr(3, 13)), "02 08 07 06 05 04 03 02 01 09 00 00 00");
}

TEST_F(VEPacketsTest, ReserveMapEqualityFollowsTheList) {
  TVEReservePacket a, b;
  a.Map.Add(1, 10);
  a.Map.Add(2, 20);
  b.Map.Add(2, 20);
  b.Map.Add(1, 10);
  EXPECT_EQ(a.Equals(b), a.Map.Equals(b.Map));
  EXPECT_FALSE(a.Equals(b));
  b.Assign(a);
  EXPECT_TRUE(a.Equals(b));
  EXPECT_EQ(b.Map.Keys(0), 1);
  a.Clear();
  EXPECT_EQ(a.Map.Count(), 0);
}

TEST_F(VEPacketsTest, PatchFileListReplacedOnLoad) {
  TVEPatchFilePacket f;
  Fill(f);
  const std::string fields = FieldBytes(f);
  EXPECT_EQ(fields.substr(0, 7), std::string("\x0C" "cl.exe", 7));
  EXPECT_EQ(Hex(fields.substr(7, 4)), "02 00 00 00");
  EXPECT_EQ(fields.substr(11, test::SaveBytes(f.Patches.Items(0)).size()), test::SaveBytes(f.Patches.Items(0)));

  TVEPatchFilePacket a, b;
  for (auto* q : {&a, &b})
    for (int i = 0; i < 3; ++i) q->Patches.AddNew().Content = "old";
  LoadFieldsBothWays(a, b, fields, 2);
  for (auto* q : {&a, &b}) {
    ASSERT_EQ(q->Patches.Count(), 2);
    EXPECT_EQ(q->Patches.Items(0).Content, std::string("\x90\0\x90", 3));
    EXPECT_EQ(q->Patches.Items(1).Size, 100);
    EXPECT_TRUE(q->Equals(f));
  }
  std::string text;
  EXPECT_EQ(f.Patches.Items(0).FieldToText(2, text), 1);
  EXPECT_EQ(text, "'\x90 \x90'");
}

// ---- File cache and listings ------------------------------------------------------

TEST_F(VEPacketsTest, FileCacheStreams) {
  TVEFileCachePacket c;
  EXPECT_EQ(Hex(test::Payload(c)), "00 00 00 00 00 00 00 00");
  TPacketStreamingContext ctx;
  TMemoryStream s;
  c.SaveFields(s, &ctx);
  EXPECT_EQ(Hex(test::Bytes(s)), "00 00");

  // Written whole whatever the position; loaded at exactly the stored size.
  c.FileTableStream.WriteBuffer("abc", 3);
  c.FileTableStream.SetPosition(2);
  const std::string fields = FieldBytes(c);
  EXPECT_EQ(fields, std::string("\x03\x00\x00\x00" "abc\x00\x00\x00\x00", 11));
  EXPECT_EQ(c.FileTableStream.Position(), 2);
  TVEFileCachePacket a, b;
  for (auto* q : {&a, &b}) q->FileTableStream.WriteBuffer("longer content", 14);
  LoadFieldsBothWays(a, b, fields, 2);
  for (auto* q : {&a, &b}) {
    EXPECT_EQ(q->FileTableStream.Size(), 3);
    EXPECT_EQ(q->FileTableStream.Position(), 0);
    EXPECT_TRUE(q->Equals(c));
  }
  std::string text;
  EXPECT_EQ(c.FieldToText(0, text), 1);
  EXPECT_EQ(text, "(size = 3)");

  // A stored length beyond the data is refused before anything is read.
  test::ExpectBothReadersFail<EReadError>(TVEFileCachePacket::Class, std::string("\xFF\xFF\xFF\x7F" "ab", 6), 2);
}

TEST_F(VEPacketsTest, DirInfoOlderWriterAndFileInfoNumbers) {
  TVEDirInfoPacket d;
  Fill(d);
  const std::string fields = FieldBytes(d);
  // Seven stored fields: the entries are read, the case flag stays False.
  TVEDirInfoPacket a, b;
  EXPECT_EQ(LoadFieldsBothWays(a, b, fields.substr(0, fields.size() - 1), 7),
            static_cast<std::int64_t>(fields.size() - 1));
  for (auto* q : {&a, &b}) {
    EXPECT_EQ(q->Files.Count(), 2);
    EXPECT_FALSE(q->DirCaseSensitive);
    EXPECT_EQ(q->LongName, "Program Files");
  }
  // Six stored fields end before the entries.
  TVEDirInfoPacket c, e;
  const std::size_t names_end = 4 + 4 + 1 + 1 + 9 + 14;
  EXPECT_EQ(LoadFieldsBothWays(c, e, fields.substr(0, names_end), 6), static_cast<std::int64_t>(names_end));
  EXPECT_EQ(c.Files.Count(), 0);
  EXPECT_EQ(c.ShortName, "PROGRA~1");

  // An entry count that cannot fit in the data fails without allocating.
  std::string huge = fields.substr(0, names_end) + std::string("\xFF\xFF\xFF\xFF", 4);
  test::ExpectBothReadersFail<Exception>(TVEDirInfoPacket::Class, huge, 8);

  TVEFileInfoPacket& info = d.Files.Items(0);
  EXPECT_EQ(info.GetFieldAsInteger(0), 0);  // the low 32 bits of 2^40
  EXPECT_EQ(info.GetFieldAsString(0), "1099511627776");
  std::string text;
  EXPECT_EQ(info.FieldToText(2, text), 1);
  EXPECT_EQ(text, "-1");
  EXPECT_EQ(info.FieldToText(1, text), 1);
  EXPECT_EQ(text, "132000000000000000");
  EXPECT_EQ(d.FieldToText(6, text), 2);
  EXPECT_NE(text.find("(TVEFileInfoPacket)"), std::string::npos);
}

}  // namespace
}  // namespace vt
