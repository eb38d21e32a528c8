#include "catalogues/VEPackets.h"

#include <cstring>

#include "common/Objects.h"

namespace vt {

namespace {

// Handle fields: written as size byte 4 and the 4 bytes; read from a size
// byte of 4 or 8 (the low half of an 8-byte value). Line is the one the
// assertion names for a field stored with any other size.
void SaveHandle(const void* member, TStream& stream, TPacketStreamingContext*) {
  WriteByteValue(stream, sizeof(TVEHandleValue));
  stream.WriteBuffer(member, sizeof(TVEHandleValue));
}

template <int Line>
void LoadHandle(void* member, TStream& stream, TPacketStreamingContext*) {
  auto& handle = *static_cast<TVEHandleValue*>(member);
  handle = 0;
  const std::uint8_t size = ReadByteValue(stream);
  VT_ASSERT_AT(size == 4 || size == 8, "VEPackets", Line);
  std::uint8_t bytes[8];
  stream.ReadBuffer(bytes, size);
  std::memcpy(&handle, bytes, sizeof handle);
}

template <int Line>
constexpr TCustomFieldOps kHandleOps{&SaveHandle, &LoadHandle<Line>, nullptr, nullptr, nullptr, nullptr};

constexpr int kCreateProcessMutexLine = 6669;
constexpr int kExampleFileHandleLine = 6697;
constexpr int kHandleLine = 8028;
constexpr int kProcessArrayHandleLine = 9300;
constexpr int kTerminateEventHandleLine = 9318;

// Replaces a non-zero handle by its duplicate in the target process.
void Duplicate(TVEHandleValue& handle, std::uintptr_t source_process, std::uintptr_t target_process) {
  if (handle == 0) return;
  handle = static_cast<TVEHandleValue>(DuplicateHandleSameAccess(static_cast<os::HANDLE>(source_process),
                                                                 static_cast<os::HANDLE>(handle),
                                                                 static_cast<os::HANDLE>(target_process), false));
}

}  // namespace

VT_PACKET_FIELDS(TVEContextPacket) = {
    VT_FIELD(ComputerName, pftString, String),
    VT_FIELD(WindowsDir, pftString, String),
    VT_FIELD(SystemDir, pftString, String),
    VT_FIELD(SystemWindowsDir, pftString, String),
    VT_FIELD(TempDir, pftString, String),
    VT_FIELD(UserName, pftString, String),
    VT_FIELD(UserSecurityID, pftString, String),
    VT_FIELD(Env, pftString, String),
    VT_FIELD(InternetCacheDir, pftString, String),
    VT_FIELD(CookiesDir, pftString, String),
    VT_FIELD(HistoryDir, pftString, String),
    VT_FIELD(SystemDllMasks, pftObject, StringList),
    VT_FIELD(DriveMap, pftInteger, Raw(4)),
    VT_FIELD(DriveTypes, pftString, String),
    VT_FIELD(RemoveSysWow64FromPath, pftBoolean, Raw(1)).WithDefault(true),
    VT_FIELD(VEAlloc_MaxSpace, pftInteger, Raw(4)),
    VT_FIELD(VtTempDir, pftString, String),
    VT_FIELD(NoDotNetVirt, pftBoolean, Raw(1)),
    VT_FIELD(OSVersionInfo, pftOther, Raw(156)),
    VT_FIELD(ActiveCodePage, pftInteger, Raw(4)),
    VT_FIELD(SystemRegKeyMasks, pftObject, StringList),
    VT_FIELD(BypassUNC, pftBoolean, Raw(1)),
    VT_FIELD(AllowKernelBaseHooks, pftBoolean, Raw(1)),
    VT_FIELD(ConsoleOutputCodePage, pftInteger, Raw(4)),
    VT_FIELD(EnableSandboxLocalFiles, pftBoolean, Raw(1)),
};
VT_DEFINE_PACKET(TVEContextPacket, "{8B924D93-EF4A-42C5-8366-791AE71BCE4F}")

VT_PACKET_FIELDS(TVEReservePacket) = {
    VT_FIELD(FreeTrigger, pftOther, Sized(1)),
    VT_FIELD(Path, pftString, String),
    VT_FIELD(Map, pftObject, TypedList),
    VT_FIELD(PathContainsWildcards, pftBoolean, Raw(1)),
    VT_FIELD(Redundant, pftBoolean, Raw(1)),
    VT_FIELD(PathContainsFilenameOnly, pftBoolean, Raw(1)),
    VT_FIELD(BasedOnPath, pftString, String),
};
VT_DEFINE_PACKET(TVEReservePacket, "{5742BCF1-EE3A-4DE6-9062-575F7EE42491}")

VT_PACKET_FIELDS(TVEPatchPacket) = {
    VT_FIELD(Position, pftInteger, Raw(8)),
    VT_FIELD(Size, pftInteger, Raw(4)),
    VT_FIELD(Content, pftString, String),
};
VT_DEFINE_PACKET(TVEPatchPacket, "{B4C7C307-B52E-4C99-8502-C32F78B8F3E6}")

VT_PACKET_FIELDS(TVEPatchFilePacket) = {
    VT_FIELD(Path, pftString, String),
    VT_FIELD(Patches, pftObject, PacketList),
};
VT_DEFINE_PACKET(TVEPatchFilePacket, "{8E48896C-8499-4917-9598-E22599EF7D4C}")

VT_PACKET_FIELDS(TVESessionPacket) = {
    VT_FIELD(Context, pftObject, Packet),
    VT_FIELD(LogOnly, pftBoolean, Raw(1)),
    VT_FIELD(InstanceIndex, pftInteger, Raw(4)),
    VT_FIELD(SessionProcessID, pftInteger, Raw(4)),
    VT_FIELD(VECacheDir, pftString, String),
    VT_FIELD(FileCacheDir, pftString, String),
    VT_FIELD(ModuleCacheDir, pftString, String),
    VT_FIELD(FileCacheTempDir, pftString, String),
    VT_FIELD(CreateProcessMutex, pftInteger, Custom).WithOps(&kHandleOps<kCreateProcessMutexLine>),
    VT_FIELD(StreamGroupID, pftOther, Raw(16)),
    VT_FIELD(CacheStreamGroupID, pftOther, Raw(16)),
    VT_FIELD(ExampleFileHandle, pftInteger, Custom).WithOps(&kHandleOps<kExampleFileHandleLine>),
    VT_FIELD(SessionUserSID, pftString, String),
    VT_FIELD(SessionUserNameEx2, pftString, Wide),
    VT_FIELD(SystemVolumeSerialNumber, pftInteger, Raw(4)),
    VT_FIELD(AllowInjectionIntoMSPDBSRV, pftBoolean, Raw(1)),
    VT_FIELD(KB3126587_LdrLoadDll_Hack, pftBoolean, Raw(1)),
    VT_FIELD(UCRTBASE_Exists, pftBoolean, Raw(1)),
    VT_FIELD(UCRTBASED_Exists, pftBoolean, Raw(1)),
};
VT_DEFINE_PACKET(TVESessionPacket, "{961A0591-8237-4810-9412-0CA5FC870BAF}")

void TVESessionPacket::DuplicateHandles(std::uintptr_t source_process, std::uintptr_t target_process) {
  inherited::DuplicateHandles(source_process, target_process);
  Duplicate(CreateProcessMutex, source_process, target_process);
  Duplicate(ExampleFileHandle, source_process, target_process);
}

VT_PACKET_FIELDS(TVEHandlePacket) = {
    VT_FIELD(Handle, pftInteger, Custom).WithOps(&kHandleOps<kHandleLine>),
    VT_FIELD(Token, pftInteger, Raw(4)),
    VT_FIELD(StreamID, pftInteger, Raw(8)),
};
VT_DEFINE_PACKET(TVEHandlePacket, "{7F66A6AB-FD02-4EBC-939C-4E7D27739E76}")

void TVEHandlePacket::DuplicateHandles(std::uintptr_t source_process, std::uintptr_t target_process) {
  inherited::DuplicateHandles(source_process, target_process);
  Duplicate(Handle, source_process, target_process);
}

VT_PACKET_FIELDS(TVEProcessPacket) = {
    VT_FIELD(JobID, pftInteger, Raw(4)),
    VT_FIELD(ProcessArrayHandle, pftInteger, Custom).WithOps(&kHandleOps<kProcessArrayHandleLine>),
    VT_FIELD(TerminateEventHandle, pftInteger, Custom).WithOps(&kHandleOps<kTerminateEventHandleLine>),
    VT_FIELD(PatchFiles, pftObject, PacketList),
    VT_FIELD(ReserveList, pftObject, PacketList),
    VT_FIELD(CompilerHeapAddress, pftInteger, Raw(4)),
    VT_FIELD(CmdLine, pftString, String),
    VT_FIELD(CurrentDir, pftString, String),
    VT_FIELD(SavedPathVariable, pftString, String),
    VT_FIELD(AppName, pftString, String),
    VT_FIELD(SkipReserve, pftBoolean, Raw(1)),
    VT_FIELD(ProcessIndex, pftInteger, Raw(4)),
    VT_FIELD(FileHandles, pftObject, PacketList),
    VT_FIELD(DivideSleepTime, pftInteger, Raw(4)),
    VT_FIELD(ParentLogID_Obsolete, pftInteger, Raw(4)),
    VT_FIELD(WaitForSyncOnSleep, pftBoolean, Raw(1)),
    VT_FIELD(ParentCurDirHandle, pftInteger, Raw(8)),
    VT_FIELD(IsDebugged, pftBoolean, Raw(1)),
    VT_FIELD(SyncServerID, pftOther, Raw(16)),
    VT_FIELD(PatchClExeConfig, pftBoolean, Raw(1)),
    VT_FIELD(CompleteExitProcess, pftBoolean, Raw(1)),
    VT_FIELD(PdbForwarderContext, pftObject, OptionalPacket),
    VT_FIELD(PossibleInputSharedHeapGUID, pftOther, Raw(16)),
    VT_FIELD(LargeFiles, pftObject, StringList),
    VT_FIELD(SharedMsPdbSrvId, pftString, String),
    VT_FIELD(BuildAvoidanceMode, pftInteger, Raw(4)),
    VT_FIELD(BuildAvoidanceLogsDir, pftString, Wide),
    VT_FIELD(BuildAvoidanceCacheSupportedTools, pftObject, StringList),
    VT_FIELD(BuildAvoidanceBlacklistedTools, pftObject, StringList),
};
VT_DEFINE_PACKET(TVEProcessPacket, "{0D82F548-CC66-4CFC-939B-6901623811CF}")

void TVEProcessPacket::DuplicateHandles(std::uintptr_t source_process, std::uintptr_t target_process) {
  inherited::DuplicateHandles(source_process, target_process);
  Duplicate(ProcessArrayHandle, source_process, target_process);
  Duplicate(TerminateEventHandle, source_process, target_process);
}

VT_PACKET_FIELDS(TVEPreloadPacket) = {
    VT_FIELD(ProcessHandleInSession, pftInteger, Raw(4)),
};
VT_DEFINE_PACKET(TVEPreloadPacket, "{72C7B217-E4B9-4618-B2D5-2174D857DC6F}")

VT_PACKET_FIELDS(TVEFileCachePacket) = {
    VT_FIELD(FileTableStream, pftObject, Stream),
    VT_FIELD(StorageTableStream, pftObject, Stream),
};
VT_DEFINE_PACKET(TVEFileCachePacket, "{95AC466A-DEF0-4FEA-9758-C36BD790A950}")

VT_PACKET_FIELDS(TVEFileInfoPacket) = {
    VT_FIELD(Size, pftInteger, Raw(8)),
    VT_FIELD(CreationTime, pftInteger, Raw(8)),
    VT_FIELD(LastWriteTime, pftInteger, Raw(8)),
    VT_FIELD(IsDir, pftBoolean, Raw(1)),
    VT_FIELD(Name, pftString, String),
    VT_FIELD(ShortName, pftString, String),
    VT_FIELD(IsSystem, pftBoolean, Raw(1)),
    VT_FIELD(IsReadOnly, pftBoolean, Raw(1)),
};
VT_DEFINE_PACKET(TVEFileInfoPacket, "{57B0FB32-D8EC-40FF-B0E1-A51D7C0005B7}")

VT_PACKET_FIELDS(TVEDirInfoPacket) = {
    VT_FIELD(DirIndex, pftInteger, Raw(4)),
    VT_FIELD(DirVersion, pftInteger, Raw(4)),
    VT_FIELD(DirExists, pftBoolean, Raw(1)),
    VT_FIELD(UseKnownVersion, pftBoolean, Raw(1)),
    VT_FIELD(ShortName, pftString, String),
    VT_FIELD(LongName, pftString, String),
    VT_FIELD(Files, pftObject, PacketList),
    VT_FIELD(DirCaseSensitive, pftBoolean, Raw(1)),
};
VT_DEFINE_PACKET(TVEDirInfoPacket, "{7881AE0D-3551-48C6-8529-E11DD3A6FB03}")

static_assert(std::size(TVEContextPacket::kFields) == 25);
static_assert(std::size(TVESessionPacket::kFields) == 19);
static_assert(std::size(TVEProcessPacket::kFields) == 29);

void RegisterVEPackets() {
  RegisterPacketClass(TVEContextPacket::Class);
  RegisterPacketClass(TVEReservePacket::Class);
  RegisterPacketClass(TVEPatchPacket::Class);
  RegisterPacketClass(TVEPatchFilePacket::Class);
  RegisterPacketClass(TVESessionPacket::Class);
  RegisterPacketClass(TVEHandlePacket::Class);
  RegisterPacketClass(TVEProcessPacket::Class);
  RegisterPacketClass(TVEPreloadPacket::Class);
  RegisterPacketClass(TVEFileCachePacket::Class);
  RegisterPacketClass(TVEFileInfoPacket::Class);
  RegisterPacketClass(TVEDirInfoPacket::Class);
}

namespace {
int g_init_count = 0;
void InitializeVEPackets() {
  if (g_init_count++ == 0) RegisterVEPackets();
}
void FinalizeVEPackets() { --g_init_count; }
}  // namespace

const UnitEntry kVEPacketsUnit{"VEPackets", &InitializeVEPackets, &FinalizeVEPackets};

}  // namespace vt
