// Virtual-environment packets: machine context and session, reservations
// and file patches, process launches with their handles, file cache and
// directory listings.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "catalogues/PdbForwarderPackets.h"
#include "common/Packets.h"

namespace vt {

// The extended operating-system version record, 156 bytes as the system
// fills it (no padding at its natural alignment).
struct TOSVersionInfoEx {
  std::uint32_t dwOSVersionInfoSize;
  std::uint32_t dwMajorVersion;
  std::uint32_t dwMinorVersion;
  std::uint32_t dwBuildNumber;
  std::uint32_t dwPlatformId;
  char szCSDVersion[128];
  std::uint16_t wServicePackMajor;
  std::uint16_t wServicePackMinor;
  std::uint16_t wSuiteMask;
  std::uint8_t wProductType;
  std::uint8_t wReserved;
};
static_assert(sizeof(TOSVersionInfoEx) == 156);

// An OS handle value as it travels: 32 bits, valid in the writer's process.
using TVEHandleValue = std::uint32_t;

// The machine context a process is to see.
class TVEContextPacket : public TPacket {
  VT_PACKET_CLASS(TVEContextPacket, TPacket)
 public:
  std::string ComputerName;
  std::string WindowsDir;
  std::string SystemDir;
  std::string SystemWindowsDir;
  std::string TempDir;
  std::string UserName;
  std::string UserSecurityID;
  std::string Env;
  std::string InternetCacheDir;
  std::string CookiesDir;
  std::string HistoryDir;
  TStringListEx SystemDllMasks;
  std::int32_t DriveMap{};
  std::string DriveTypes;
  ByteBool RemoveSysWow64FromPath;
  std::int32_t VEAlloc_MaxSpace{};
  std::string VtTempDir;
  ByteBool NoDotNetVirt;
  TOSVersionInfoEx OSVersionInfo{};
  std::uint32_t ActiveCodePage{};
  TStringListEx SystemRegKeyMasks;
  ByteBool BypassUNC;
  ByteBool AllowKernelBaseHooks;
  std::uint32_t ConsoleOutputCodePage{};
  ByteBool EnableSandboxLocalFiles;
};

// When a reservation is freed, carried as its one-byte ordinal.
enum class TVEFreeTrigger : std::uint8_t {};

// One path reservation.
class TVEReservePacket : public TPacket {
  VT_PACKET_CLASS(TVEReservePacket, TPacket)
 public:
  TVEFreeTrigger FreeTrigger{};
  std::string Path;
  TPointer64IntegerList Map;
  ByteBool PathContainsWildcards;
  ByteBool Redundant;
  ByteBool PathContainsFilenameOnly;
  std::string BasedOnPath;
};
using TVEReservePacketList = TPacketList<TVEReservePacket>;

// One patch of a file.
class TVEPatchPacket : public TPacket {
  VT_PACKET_CLASS(TVEPatchPacket, TPacket)
 public:
  std::int64_t Position{};
  std::int32_t Size{};
  std::string Content;  // bytes
};
using TVEPatchPacketList = TPacketList<TVEPatchPacket>;

// A file with its patches.
class TVEPatchFilePacket : public TPacket {
  VT_PACKET_CLASS(TVEPatchFilePacket, TPacket)
 public:
  std::string Path;
  TVEPatchPacketList Patches;
};
using TVEPatchFilePacketList = TPacketList<TVEPatchFilePacket>;

// One session of the virtual environment.
class TVESessionPacket : public TCommPacket {
  VT_PACKET_CLASS(TVESessionPacket, TCommPacket)
 public:
  TVEContextPacket Context;
  ByteBool LogOnly;
  std::int32_t InstanceIndex{};
  std::int32_t SessionProcessID{};
  std::string VECacheDir;
  std::string FileCacheDir;
  std::string ModuleCacheDir;
  std::string FileCacheTempDir;
  TVEHandleValue CreateProcessMutex{};
  TGUID StreamGroupID{};
  TGUID CacheStreamGroupID{};
  TVEHandleValue ExampleFileHandle{};
  std::string SessionUserSID;
  std::u16string SessionUserNameEx2;
  std::uint32_t SystemVolumeSerialNumber{};
  ByteBool AllowInjectionIntoMSPDBSRV;
  ByteBool KB3126587_LdrLoadDll_Hack;
  ByteBool UCRTBASE_Exists;
  ByteBool UCRTBASED_Exists;

  // The two handles, when not 0, replaced by duplicates in TargetProcess.
  void DuplicateHandles(std::uintptr_t source_process, std::uintptr_t target_process) override;
};

// One file handle given to a process.
class TVEHandlePacket : public TPacket {
  VT_PACKET_CLASS(TVEHandlePacket, TPacket)
 public:
  TVEHandleValue Handle{};
  std::int32_t Token{};
  std::int64_t StreamID{};

  void DuplicateHandles(std::uintptr_t source_process, std::uintptr_t target_process) override;
};
using TVEHandlePacketList = TPacketList<TVEHandlePacket>;

// One process launch in the virtual environment.
class TVEProcessPacket : public TCommPacket {
  VT_PACKET_CLASS(TVEProcessPacket, TCommPacket)
 public:
  std::int32_t JobID{};
  TVEHandleValue ProcessArrayHandle{};
  TVEHandleValue TerminateEventHandle{};
  TVEPatchFilePacketList PatchFiles;
  TVEReservePacketList ReserveList;
  std::uint32_t CompilerHeapAddress{};
  std::string CmdLine;
  std::string CurrentDir;
  std::string SavedPathVariable;
  std::string AppName;
  ByteBool SkipReserve;
  std::int32_t ProcessIndex{};
  TVEHandlePacketList FileHandles;
  std::int32_t DivideSleepTime{};
  std::int32_t ParentLogID_Obsolete{};
  ByteBool WaitForSyncOnSleep;
  std::int64_t ParentCurDirHandle{};
  ByteBool IsDebugged;
  TGUID SyncServerID{};
  ByteBool PatchClExeConfig;
  ByteBool CompleteExitProcess;
  TOptionalPacket<TPdbForwarderContextPacket> PdbForwarderContext;
  VT_OPTIONAL_MEMBER(TPdbForwarderContextPacket, PdbForwarderContext)
  TGUID PossibleInputSharedHeapGUID{};
  TStringListEx LargeFiles;
  std::string SharedMsPdbSrvId;
  std::int32_t BuildAvoidanceMode{};
  std::u16string BuildAvoidanceLogsDir;
  TStringListEx BuildAvoidanceCacheSupportedTools;
  TStringListEx BuildAvoidanceBlacklistedTools;

  // ProcessArrayHandle, then TerminateEventHandle, when not 0, replaced by
  // duplicates in TargetProcess; FileHandles and the forwarder context are
  // left alone.
  void DuplicateHandles(std::uintptr_t source_process, std::uintptr_t target_process) override;
};

// A process handle as seen in the session (a plain number, not duplicated).
class TVEPreloadPacket : public TCommPacket {
  VT_PACKET_CLASS(TVEPreloadPacket, TCommPacket)
 public:
  std::uint32_t ProcessHandleInSession{};
};

// Two opaque tables of a file cache.
class TVEFileCachePacket : public TPacket {
  VT_PACKET_CLASS(TVEFileCachePacket, TPacket)
 public:
  TVirtualStream FileTableStream;
  TVirtualStream StorageTableStream;
};

// One directory entry.
class TVEFileInfoPacket : public TPacket {
  VT_PACKET_CLASS(TVEFileInfoPacket, TPacket)
 public:
  std::int64_t Size{};
  std::int64_t CreationTime{};
  std::int64_t LastWriteTime{};
  ByteBool IsDir;
  std::string Name;
  std::string ShortName;
  ByteBool IsSystem;
  ByteBool IsReadOnly;
};
using TVEFileInfoPacketList = TPacketList<TVEFileInfoPacket>;

// One directory listing.
class TVEDirInfoPacket : public TPacket {
  VT_PACKET_CLASS(TVEDirInfoPacket, TPacket)
 public:
  std::int32_t DirIndex{};
  std::int32_t DirVersion{};
  ByteBool DirExists;
  ByteBool UseKnownVersion;
  std::string ShortName;
  std::string LongName;
  TVEFileInfoPacketList Files;
  ByteBool DirCaseSensitive;
};

// Registers the unit's classes, in declaration order.
void RegisterVEPackets();

// The unit: its initialization registers the classes.
extern const UnitEntry kVEPacketsUnit;

}  // namespace vt
