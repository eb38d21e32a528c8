// Coordinator-service packets: agent queries and roles, the forwarding
// envelope, agent commands, version updates, settings and state, cloud
// control, build groups, table rows, agent errors and notifications. Every
// class derives from TCommPacket; enumeration fields are opaque bytes.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "common/Packets.h"
#include "common/StreamUtils.h"

namespace vt {

// ---- Agent queries and roles ----------------------------------------------------

class TCoordQueryAgentsPacket : public TCommPacket {
  VT_PACKET_CLASS(TCoordQueryAgentsPacket, TCommPacket)
 public:
  ByteBool Authenticate;
};

class TCoordQueryAgentsReplyPacket : public TCommPacket {
  VT_PACKET_CLASS(TCoordQueryAgentsReplyPacket, TCommPacket)
 public:
  std::uint8_t RoleState{};
  ByteBool Unsubscribed;
  std::int32_t MinDiskFree{};
  std::int32_t MinVirtualMem{};
  std::int32_t MinPhysicalMem{};
  ByteBool CompleteRemoteAdmin_Obselete;
  std::string OtherCoordHost;
  std::int32_t WorkerCount{};
  TVirtualStream CompressedAgentData;
  std::int32_t SubscribedCount{};
  ByteBool UseRoutingIP;
  ByteBool Active;
  std::int32_t MinIdleCPUPercent{};
  std::int32_t MaxHelperPerJob{};
  std::uint8_t NimbrelState{};
  std::string NimbrelCoordId;
  std::string BuildGroups;
};

class TQueryRolePacket : public TCommPacket {
  VT_PACKET_CLASS(TQueryRolePacket, TCommPacket)
 public:
  ByteBool Sync;
};

class TQueryRoleReplyPacket : public TCommPacket {
  VT_PACKET_CLASS(TQueryRoleReplyPacket, TCommPacket)
 public:
  std::uint8_t RoleState{};
  std::int32_t Version{};
  std::string VersionText;
  std::string ProductCaption;
  std::string BuildGroups;
  ByteBool CoordinatorApiAccess;
  ByteBool AllowAgentsSelfRegToBuildGroup;
  std::string Protocol;
  std::string CnPattern;
};

class TQueryRoleSSLPacket : public TCommPacket {
  VT_PACKET_CLASS(TQueryRoleSSLPacket, TCommPacket)
 public:
  ByteBool Sync;
  std::string Protocol;
};

class TQueryRoleSSLReplyPacket : public TCommPacket {
  VT_PACKET_CLASS(TQueryRoleSSLReplyPacket, TCommPacket)
 public:
  std::uint8_t RoleState{};
  std::int32_t Version{};
  std::string VersionText;
  std::string ProductCaption;
  std::string BuildGroups;
  ByteBool CoordinatorApiAccess;
  ByteBool AllowAgentsSelfRegToBuildGroup;
  std::int32_t Port{};
  std::string Protocol;
  std::string CnPattern;
};

// ---- Build avoidance, forwarding and state -----------------------------------------

class TRegisterBuildAvoidancePacket : public TCommPacket {
  VT_PACKET_CLASS(TRegisterBuildAvoidancePacket, TCommPacket)
 public:
  std::string AgentID;
  ByteBool Enable;
};

class TRegisterBuildAvoidanceReplyPacket : public TCommPacket {
  VT_PACKET_CLASS(TRegisterBuildAvoidanceReplyPacket, TCommPacket)
 public:
  ByteBool Status;
  std::string Message;
};

// Envelope carrying one packet of any registered class to the agent named
// by ID. The held packet keeps its class on Clear and Assign; loading
// replaces it by a packet of the class the stream names.
class TForwardToAgentPacket : public TCommPacket {
  VT_PACKET_CLASS(TForwardToAgentPacket, TCommPacket)
 public:
  std::string ID;
  TAnyPacket Packet;

  // Frees the held packet and takes ownership of Value (none is allowed:
  // the envelope then holds no packet until the next SetPacket or load).
  void SetPacket(std::unique_ptr<TPacket> value) { Packet.Reset(std::move(value)); }
  // The held packet, or nullptr.
  TPacket* HeldPacket() const { return Packet.Pointer(); }
};

class TRefreshPacket : public TCommPacket {
  VT_PACKET_CLASS(TRefreshPacket, TCommPacket)
 public:
  ByteBool Reserved;
};

class TRequestQueryStatePacket : public TCommPacket {
  VT_PACKET_CLASS(TRequestQueryStatePacket, TCommPacket)
 public:
  ByteBool Reserved;
};

class TQueryStatePacket : public TCommPacket {
  VT_PACKET_CLASS(TQueryStatePacket, TCommPacket)
 public:
  std::string Name;
  std::int32_t Port{};
  std::int32_t BuildNum{};
};

class TCoordGeneralReplyPacket : public TCommPacket {
  VT_PACKET_CLASS(TCoordGeneralReplyPacket, TCommPacket)
 public:
  std::string Msg;
};

class TTerminatePacket : public TCommPacket {
  VT_PACKET_CLASS(TTerminatePacket, TCommPacket)
 public:
  ByteBool Reserved;
};

// ---- Agent version updates and configuration -----------------------------------

class TUpdateVersionAgentPacket : public TCommPacket {
  VT_PACKET_CLASS(TUpdateVersionAgentPacket, TCommPacket)
 public:
  std::string ID;
  ByteBool Force;
  ByteBool AllowRetry;
  TGUID UpdateID{};
  ByteBool QuickRollback;
};

class TUpdateVersionAgentReplyPacket : public TCommPacket {
  VT_PACKET_CLASS(TUpdateVersionAgentReplyPacket, TCommPacket)
 public:
  ByteBool Retry;
};

class TUpdateAllAgentsPacket : public TCommPacket {
  VT_PACKET_CLASS(TUpdateAllAgentsPacket, TCommPacket)
 public:
  ByteBool Reserved;
};

class TResetAgentPacket : public TCommPacket {
  VT_PACKET_CLASS(TResetAgentPacket, TCommPacket)
 public:
  ByteBool Reserved;
};

class TSetAgentPriorityPacket : public TCommPacket {
  VT_PACKET_CLASS(TSetAgentPriorityPacket, TCommPacket)
 public:
  std::string ID;
  std::int32_t Priority{};
  double PriorityBonus{};
};

class TSetAgentCommentPacket : public TCommPacket {
  VT_PACKET_CLASS(TSetAgentCommentPacket, TCommPacket)
 public:
  std::string Comment;
};

class TSetBuildAvoidanceConfigPacket : public TCommPacket {
  VT_PACKET_CLASS(TSetBuildAvoidanceConfigPacket, TCommPacket)
 public:
  std::string Config;
  std::string CoordID;
};

class TSetAgentLoggingLevelPacket : public TCommPacket {
  VT_PACKET_CLASS(TSetAgentLoggingLevelPacket, TCommPacket)
 public:
  std::int32_t LogLevel{};
};

class TAllocateUpdateIDPacket : public TCommPacket {
  VT_PACKET_CLASS(TAllocateUpdateIDPacket, TCommPacket)
 public:
  TVirtualStream Installer;
};

class TAllocateUpdateIDReplyPacket : public TCommPacket {
  VT_PACKET_CLASS(TAllocateUpdateIDReplyPacket, TCommPacket)
 public:
  TGUID ID{};
};

// ---- Agent administration ----------------------------------------------------------

class TOpenFirewallAgentPacket : public TCommPacket {
  VT_PACKET_CLASS(TOpenFirewallAgentPacket, TCommPacket)
 public:
  ByteBool Reserved;
};

class TRetestConnectionAgentPacket : public TCommPacket {
  VT_PACKET_CLASS(TRetestConnectionAgentPacket, TCommPacket)
 public:
  std::string ID;
};

class TAllowAgentEnableDisablePacket : public TCommPacket {
  VT_PACKET_CLASS(TAllowAgentEnableDisablePacket, TCommPacket)
 public:
  std::string ID;
  ByteBool AllowEnableDisable;
};

class TSetAgentAllowRemoteAdminPacket : public TCommPacket {
  VT_PACKET_CLASS(TSetAgentAllowRemoteAdminPacket, TCommPacket)
 public:
  std::string ID;
  ByteBool Allow;
};

class TClearResizeRecommendAgentPacket : public TCommPacket {
  VT_PACKET_CLASS(TClearResizeRecommendAgentPacket, TCommPacket)
 public:
  ByteBool Reserved;
};

class TResizeFileCacheAgentPacket : public TCommPacket {
  VT_PACKET_CLASS(TResizeFileCacheAgentPacket, TCommPacket)
 public:
  std::int32_t Size{};
};

class TUpdateAgentBuildCacheSettingsPacket : public TCommPacket {
  VT_PACKET_CLASS(TUpdateAgentBuildCacheSettingsPacket, TCommPacket)
 public:
  std::int32_t CacheSizeGB{};
  std::string CacheFolder;
  std::string DatabaseFolder;
};

class TSetAgentRemoteCompilerPriorityPacket : public TCommPacket {
  VT_PACKET_CLASS(TSetAgentRemoteCompilerPriorityPacket, TCommPacket)
 public:
  std::int32_t Priority{};
};

class TSetBuildGroupAgentPacket : public TCommPacket {
  VT_PACKET_CLASS(TSetBuildGroupAgentPacket, TCommPacket)
 public:
  std::string ID;
  std::string BuildGroup;
  std::int32_t Indx{};
  std::string AvailableGroups;
};

class TSetAgentAssignPriorityPacket : public TCommPacket {
  VT_PACKET_CLASS(TSetAgentAssignPriorityPacket, TCommPacket)
 public:
  std::string ID;
  std::int32_t Priority{};
};

class TCancelUpdateVersionAgentPacket : public TCommPacket {
  VT_PACKET_CLASS(TCancelUpdateVersionAgentPacket, TCommPacket)
 public:
  std::string ID;
};

class TCancelUpdateVersionAgentReplyPacket : public TCommPacket {
  VT_PACKET_CLASS(TCancelUpdateVersionAgentReplyPacket, TCommPacket)
 public:
  ByteBool Reserved;
};

class TAgentWakeOnLANPacket : public TCommPacket {
  VT_PACKET_CLASS(TAgentWakeOnLANPacket, TCommPacket)
 public:
  std::string ID;
};

class TAgentWakeOnLANReplyPacket : public TCommPacket {
  VT_PACKET_CLASS(TAgentWakeOnLANReplyPacket, TCommPacket)
 public:
  ByteBool Reserved;
};

// ---- Notices and version-update installers --------------------------------------

class TShowMessagePacket : public TCommPacket {
  VT_PACKET_CLASS(TShowMessagePacket, TCommPacket)
 public:
  std::string MessageSender;
  std::string MessageText;
};

class TCoordinatorRoleNotifyPacket : public TCommPacket {
  VT_PACKET_CLASS(TCoordinatorRoleNotifyPacket, TCommPacket)
 public:
  std::uint8_t State{};
  ByteBool Reserved;
};

class TStoreVersionUpdatePacket : public TCommPacket {
  VT_PACKET_CLASS(TStoreVersionUpdatePacket, TCommPacket)
 public:
  TGUID ID{};
  std::int32_t Position{};
  TVirtualStream StreamedPart;
  std::int32_t Count{};
};

class TInstallVersionUpdatePacket : public TCommPacket {
  VT_PACKET_CLASS(TInstallVersionUpdatePacket, TCommPacket)
 public:
  TGUID ID{};
  std::int32_t Size{};
  std::string VersionText;
  std::int32_t Version{};
  ByteBool Force;
  ByteBool Rollback;
  ByteBool QuickRollback;
  ByteBool RunAsService;
  std::string Params;
  std::string VsExtensionVersion;
  std::string VsExtension2022Version;
};

// ---- Coordinator settings -----------------------------------------------------------

class TCoordSettingsRequestPacket : public TCommPacket {
  VT_PACKET_CLASS(TCoordSettingsRequestPacket, TCommPacket)
 public:
  ByteBool Reserved;
};

class TCoordSettingsPacket : public TCommPacket {
  VT_PACKET_CLASS(TCoordSettingsPacket, TCommPacket)
 public:
  double MinIdleLevel{};
  std::int32_t ReportInterval{};
  std::int32_t MaxWorkers{};
  ByteBool AutoSubscribe_Obsolete;
  std::string UnsubscribedAgents_Obsolete;
  std::string ResetSingleUseVMs;
  ByteBool UpdateVersionOnSubscribe_Obsolete;
  ByteBool UseIP_Obsolete;
  ByteBool AllowSystemStandby;
  std::int32_t MinDiskFree{};
  std::int32_t MinVirtualMem{};
  std::int32_t MinPhysicalMem{};
  std::string IgnoreProcesses;
  ByteBool IgnoreFirewall;
  std::string OtherCoordHost;
  std::int32_t OtherCoordPort{};
  std::string OtherCoordDisplay;
  std::int32_t Port{};
  std::string BackupCoordNames;
  std::string BackupCoordPorts;
  std::string BackupCoordIPs;
  ByteBool UpdateVersionAlways_Obsolete;
  ByteBool CheckForUpdatesOnline;
  ByteBool RunCacheCleanup;
  std::int32_t CacheCleanupInterval{};
  ByteBool RunStatDBCleanup;
  std::int32_t CleanDBPeriod{};
  ByteBool AutoSubscribeCloudNode;
  std::int32_t OfflinePeriodCloudNode{};
  ByteBool AgentsUseSecureConnections;
  ByteBool TelemetryEnabled;
  std::string BuildGroups;
  std::int32_t CoordAPIPort{};
  ByteBool RequireApiKeyForAccess;
  std::string GeneratedApiKey;
  ByteBool UseCustomSertificate;
  ByteBool AggressiveCacheClean;
  std::int32_t SSLPort{};
  std::int32_t ApachePort{};
  std::int32_t HelperCoresAssignmentPerc{};
  std::int32_t OfflineTimeoutSeconds{};
  std::int32_t OtherCoordBuildNum{};
  std::string BackupCoordBuildNums;
  std::string SslCnValidationPattern;
};

// ---- Agent shutdown and coordinator state ---------------------------------------

class TAgentShuttingDownPacket : public TCommPacket {
  VT_PACKET_CLASS(TAgentShuttingDownPacket, TCommPacket)
 public:
  std::string ID;
};

class TQueryStateReplyPacket : public TCommPacket {
  VT_PACKET_CLASS(TQueryStateReplyPacket, TCommPacket)
 public:
  ByteBool AutoSubscribe;
  double FreeBonus{};
  std::string IgnoreProcesses;
  std::int32_t MaxWorkers{};
  std::int32_t MinDiskFree{};
  double MinIdleLevel{};
  std::int32_t MinPhysicalMem{};
  std::int32_t MinVirtualMem{};
  std::string RAMBonus;
  std::int32_t ReportInterval{};
  double ScreenSaverBonus{};
  double StayBonus{};
  std::string UnsubscribedAgents;
  std::string ResetSingleUseVMs;
  ByteBool UseIP_Obsolete;
  TVirtualStream CoordSubscriber;
  ByteBool AgentsUseSecureConnections;
  std::int32_t ApachePort{};
  std::int32_t CoordAPIPort{};
  std::string CloudSecret;
  std::int32_t CloudState{};
  std::string CloudCoordID;
  std::string CloudBaseUrl;
  std::string CloudSubscriptionKey;
  std::string CoordinatorID;
  std::string UsersDB;
};

// ---- Cloud control -----------------------------------------------------------------

class TReleaseCloudAgentPacket : public TCommPacket {
  VT_PACKET_CLASS(TReleaseCloudAgentPacket, TCommPacket)
 public:
  std::string AgentID;
};

class TChangeNimbrelStatusPacket : public TCommPacket {
  VT_PACKET_CLASS(TChangeNimbrelStatusPacket, TCommPacket)
 public:
  std::uint8_t NewState{};
  ByteBool UpdatePool;
};

class TDeactivateCloudPacket : public TCommPacket {
  VT_PACKET_CLASS(TDeactivateCloudPacket, TCommPacket)
 public:
  ByteBool Reserved;
};

class TCloudSetSecretPacket : public TCommPacket {
  VT_PACKET_CLASS(TCloudSetSecretPacket, TCommPacket)
 public:
  std::string Secret;
};

// ---- Build groups and push subscriptions --------------------------------------------

class TBuildGroupsRequest : public TCommPacket {
  VT_PACKET_CLASS(TBuildGroupsRequest, TCommPacket)
 public:
  ByteBool Request;
  ByteBool Delete;
  ByteBool Add;
  std::string Group;
};

class TBuildGroupsRequestReply : public TCommPacket {
  VT_PACKET_CLASS(TBuildGroupsRequestReply, TCommPacket)
 public:
  std::string AvailableGroups;
};

class TCoordSubscribePushRequest : public TCommPacket {
  VT_PACKET_CLASS(TCoordSubscribePushRequest, TCommPacket)
 public:
  ByteBool Request;
  std::string Name;
  std::int32_t ID{};
};

class TCoordSubscribePushReply : public TCommPacket {
  VT_PACKET_CLASS(TCoordSubscribePushReply, TCommPacket)
 public:
  ByteBool Response;
  std::string Name;
};

class TCoordSubscribedTest : public TCommPacket {
  VT_PACKET_CLASS(TCoordSubscribedTest, TCommPacket)
 public:
  std::string Data;
};

// ---- Coordinator table rows -----------------------------------------------------

class TCoordMachineInfoTableValues : public TCommPacket {
  VT_PACKET_CLASS(TCoordMachineInfoTableValues, TCommPacket)
 public:
  std::string AgentName;
  std::string AgentIP;
  std::int32_t AgentPort{};
  std::int32_t NumberOfCores{};
  std::int32_t CpuSpeed{};
  std::int64_t VirtualMemory{};
  std::int64_t PhysicalMemory{};
  std::int64_t DiskSize{};
  std::int32_t AgentType{};
  std::string BuildGroup;
  std::string OsVersion;
  std::string MachineId;
  std::int64_t Timestamp{};
};

class TCoordAgentInfoTable : public TCommPacket {
  VT_PACKET_CLASS(TCoordAgentInfoTable, TCommPacket)
 public:
  std::string MachineId;
  std::string AgentName;
  std::string VersionNumber;
  std::string BuildNumber;
  std::int32_t InitiatorCores{};
  std::int32_t HelperCores{};
  ByteBool IsOnline;
  ByteBool IsDisabledAsHelper;
  std::string vtSettings;
  std::int64_t Timestamp{};
};

class TCoordDeleteAgent : public TCommPacket {
  VT_PACKET_CLASS(TCoordDeleteAgent, TCommPacket)
 public:
  std::string AgentName;
  std::string MachineId;
  std::int64_t Timestamp{};
};

class TCoordAgentActivityInfoTable : public TCommPacket {
  VT_PACKET_CLASS(TCoordAgentActivityInfoTable, TCommPacket)
 public:
  std::string AgentId;
  std::string BuildId;
  std::int32_t AgentRoleId{};
  ByteBool IsOnline;
  std::int32_t CoresUtilised{};
  std::int64_t StartTS{};
  std::int64_t EndTS{};
  std::string MachineId;
  std::string BuildGroup;
  std::string BuildTitle;
};

class TCoordinatorTable : public TCommPacket {
  VT_PACKET_CLASS(TCoordinatorTable, TCommPacket)
 public:
  std::string CoordinatorId;
  std::string MachineId;
  std::uint8_t CloudState{};
  std::string VersionNumber;
  std::string BuildNumber;
  std::string VtSettings;
  std::int64_t Timestamp{};
};

// ---- Agent errors, users, notifications, cloud state, web server -------------------

class TAgentErrorsMessagesPacket : public TCommPacket {
  VT_PACKET_CLASS(TAgentErrorsMessagesPacket, TCommPacket)
 public:
  std::string ID;
  std::string Name;
  std::string Errors;
  std::string Messages;
};
using TAgentErrorsMessagesPacketList = TPacketList<TAgentErrorsMessagesPacket>;

class TAgentsErrorsMessagesRequestReplyPacket : public TCommPacket {
  VT_PACKET_CLASS(TAgentsErrorsMessagesRequestReplyPacket, TCommPacket)
 public:
  TAgentErrorsMessagesPacketList ErrosAndMessages;
};

class TSetUsersDBPacket : public TCommPacket {
  VT_PACKET_CLASS(TSetUsersDBPacket, TCommPacket)
 public:
  std::string UsersDB;
};

class TUserNotificationsPacket : public TCommPacket {
  VT_PACKET_CLASS(TUserNotificationsPacket, TCommPacket)
 public:
  std::string NotificationJson;
};

class TNotifyCloudStatePacket : public TCommPacket {
  VT_PACKET_CLASS(TNotifyCloudStatePacket, TCommPacket)
 public:
  std::uint8_t NimbrelState{};
};

class TConfigureApachePacket : public TCommPacket {
  VT_PACKET_CLASS(TConfigureApachePacket, TCommPacket)
 public:
  std::int32_t UIPort{};
  std::int32_t ServicePort{};
};

// Registers every class of the unit, in declaration order.
void RegisterCoordServicePackets();

extern const UnitEntry kCoordServicePacketsUnit;

}  // namespace vt
