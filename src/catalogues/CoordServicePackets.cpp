#include "catalogues/CoordServicePackets.h"

namespace vt {

VT_PACKET_FIELDS(TCoordQueryAgentsPacket) = {
    VT_FIELD(Authenticate, pftBoolean, Raw(1)),
};
VT_DEFINE_PACKET(TCoordQueryAgentsPacket, "{0B4EAFF7-B66C-4FBC-8499-5373B8CC0F5D}")

VT_PACKET_FIELDS(TCoordQueryAgentsReplyPacket) = {
    VT_FIELD(RoleState, pftOther, Sized(1)),
    VT_FIELD(Unsubscribed, pftBoolean, Raw(1)),
    VT_FIELD(MinDiskFree, pftInteger, Raw(4)),
    VT_FIELD(MinVirtualMem, pftInteger, Raw(4)),
    VT_FIELD(MinPhysicalMem, pftInteger, Raw(4)),
    VT_FIELD(CompleteRemoteAdmin_Obselete, pftBoolean, Raw(1)),
    VT_FIELD(OtherCoordHost, pftString, String),
    VT_FIELD(WorkerCount, pftInteger, Raw(4)),
    VT_FIELD(CompressedAgentData, pftObject, Stream),
    VT_FIELD(SubscribedCount, pftInteger, Raw(4)),
    VT_FIELD(UseRoutingIP, pftBoolean, Raw(1)),
    VT_FIELD(Active, pftBoolean, Raw(1)),
    VT_FIELD(MinIdleCPUPercent, pftInteger, Raw(4)),
    VT_FIELD(MaxHelperPerJob, pftInteger, Raw(4)),
    VT_FIELD(NimbrelState, pftOther, Sized(1)),
    VT_FIELD(NimbrelCoordId, pftString, String),
    VT_FIELD(BuildGroups, pftString, String),
};
VT_DEFINE_PACKET(TCoordQueryAgentsReplyPacket, "{FA129BE9-BEC6-4B19-8CD6-74D845E99D10}")

VT_PACKET_FIELDS(TQueryRolePacket) = {
    VT_FIELD(Sync, pftBoolean, Raw(1)),
};
VT_DEFINE_PACKET(TQueryRolePacket, "{66B8FFBC-C811-41C6-BC06-C5B8F43A839E}")

VT_PACKET_FIELDS(TQueryRoleReplyPacket) = {
    VT_FIELD(RoleState, pftOther, Sized(1)),
    VT_FIELD(Version, pftInteger, Raw(4)),
    VT_FIELD(VersionText, pftString, String),
    VT_FIELD(ProductCaption, pftString, String).WithDefault("Vontaro"),
    VT_FIELD(BuildGroups, pftString, String),
    VT_FIELD(CoordinatorApiAccess, pftBoolean, Raw(1)),
    VT_FIELD(AllowAgentsSelfRegToBuildGroup, pftBoolean, Raw(1)),
    VT_FIELD(Protocol, pftString, String),
    VT_FIELD(CnPattern, pftString, String),
};
VT_DEFINE_PACKET(TQueryRoleReplyPacket, "{5991ED60-5A0B-4076-A2F6-EDDECD114BBB}")

VT_PACKET_FIELDS(TQueryRoleSSLPacket) = {
    VT_FIELD(Sync, pftBoolean, Raw(1)),
    VT_FIELD(Protocol, pftString, String),
};
VT_DEFINE_PACKET(TQueryRoleSSLPacket, "{9C5B0DF1-5F13-488A-8251-3705B2F24FEE}")

VT_PACKET_FIELDS(TQueryRoleSSLReplyPacket) = {
    VT_FIELD(RoleState, pftOther, Sized(1)),
    VT_FIELD(Version, pftInteger, Raw(4)),
    VT_FIELD(VersionText, pftString, String),
    VT_FIELD(ProductCaption, pftString, String).WithDefault("Vontaro"),
    VT_FIELD(BuildGroups, pftString, String),
    VT_FIELD(CoordinatorApiAccess, pftBoolean, Raw(1)),
    VT_FIELD(AllowAgentsSelfRegToBuildGroup, pftBoolean, Raw(1)),
    VT_FIELD(Port, pftInteger, Raw(4)),
    VT_FIELD(Protocol, pftString, String),
    VT_FIELD(CnPattern, pftString, String),
};
VT_DEFINE_PACKET(TQueryRoleSSLReplyPacket, "{B41A8C22-6639-4A73-960A-B69CA7531462}")

VT_PACKET_FIELDS(TRegisterBuildAvoidancePacket) = {
    VT_FIELD(AgentID, pftString, String),
    VT_FIELD(Enable, pftBoolean, Raw(1)),
};
VT_DEFINE_PACKET(TRegisterBuildAvoidancePacket, "{8767CD1D-F832-4128-AB91-1241B77DDA04}")

VT_PACKET_FIELDS(TRegisterBuildAvoidanceReplyPacket) = {
    VT_FIELD(Status, pftBoolean, Raw(1)),
    VT_FIELD(Message, pftString, String),
};
VT_DEFINE_PACKET(TRegisterBuildAvoidanceReplyPacket, "{BF267515-6D20-400F-9E50-88D097536130}")

VT_PACKET_FIELDS(TForwardToAgentPacket) = {
    VT_FIELD(ID, 1, String),
    VT_FIELD(Packet, 5, Packet),
};
VT_DEFINE_PACKET(TForwardToAgentPacket, "{0EA28B3A-DBC4-482B-9915-A8C86E6AF077}")

VT_PACKET_FIELDS(TRefreshPacket) = {
    VT_FIELD(Reserved, pftBoolean, Raw(1)),
};
VT_DEFINE_PACKET(TRefreshPacket, "{9FB3ED78-6F85-4962-8152-0764043D8928}")

VT_PACKET_FIELDS(TRequestQueryStatePacket) = {
    VT_FIELD(Reserved, pftBoolean, Raw(1)),
};
VT_DEFINE_PACKET(TRequestQueryStatePacket, "{35EDE35C-26FC-48DD-A1D4-EDA06CC9D319}")

VT_PACKET_FIELDS(TQueryStatePacket) = {
    VT_FIELD(Name, pftString, String),
    VT_FIELD(Port, pftInteger, Raw(4)),
    VT_FIELD(BuildNum, pftInteger, Raw(4)),
};
VT_DEFINE_PACKET(TQueryStatePacket, "{E8FED3C2-2BF8-4DFD-8970-68481241E6EE}")

VT_PACKET_FIELDS(TCoordGeneralReplyPacket) = {
    VT_FIELD(Msg, pftString, String),
};
VT_DEFINE_PACKET(TCoordGeneralReplyPacket, "{0C2182FE-C547-4D80-9B9F-6FAF5373A59B}")

VT_PACKET_FIELDS(TTerminatePacket) = {
    VT_FIELD(Reserved, pftBoolean, Raw(1)),
};
VT_DEFINE_PACKET(TTerminatePacket, "{6688C919-3943-4C56-BF8D-C65540E83991}")

VT_PACKET_FIELDS(TUpdateVersionAgentPacket) = {
    VT_FIELD(ID, pftString, String),
    VT_FIELD(Force, pftBoolean, Raw(1)),
    VT_FIELD(AllowRetry, pftBoolean, Raw(1)),
    VT_FIELD(UpdateID, pftOther, Raw(16)),
    VT_FIELD(QuickRollback, pftBoolean, Raw(1)),
};
VT_DEFINE_PACKET(TUpdateVersionAgentPacket, "{21C5B943-DC68-484D-878C-E6D6F956902A}")

VT_PACKET_FIELDS(TUpdateVersionAgentReplyPacket) = {
    VT_FIELD(Retry, pftBoolean, Raw(1)),
};
VT_DEFINE_PACKET(TUpdateVersionAgentReplyPacket, "{14C38A72-B40B-463D-8BEA-CA805853E5D3}")

VT_PACKET_FIELDS(TUpdateAllAgentsPacket) = {
    VT_FIELD(Reserved, pftBoolean, Raw(1)),
};
VT_DEFINE_PACKET(TUpdateAllAgentsPacket, "{4B6740D0-1D51-4523-B8A6-63566F347571}")

VT_PACKET_FIELDS(TResetAgentPacket) = {
    VT_FIELD(Reserved, pftBoolean, Raw(1)),
};
VT_DEFINE_PACKET(TResetAgentPacket, "{E6F01682-7A1F-4AB9-8F86-674169D28E73}")

VT_PACKET_FIELDS(TSetAgentPriorityPacket) = {
    VT_FIELD(ID, pftString, String),
    VT_FIELD(Priority, pftInteger, Raw(4)),
    VT_FIELD(PriorityBonus, pftDouble, Raw(8)),
};
VT_DEFINE_PACKET(TSetAgentPriorityPacket, "{6801E196-8434-47C7-BFE4-3C2894A292A7}")

VT_PACKET_FIELDS(TSetAgentCommentPacket) = {
    VT_FIELD(Comment, pftString, String),
};
VT_DEFINE_PACKET(TSetAgentCommentPacket, "{8191E0D5-B0AF-4506-9456-58A54D036159}")

VT_PACKET_FIELDS(TSetBuildAvoidanceConfigPacket) = {
    VT_FIELD(Config, pftString, String),
    VT_FIELD(CoordID, pftString, String),
};
VT_DEFINE_PACKET(TSetBuildAvoidanceConfigPacket, "{24EC0314-9825-455F-94C5-4E5AD2FC07EA}")

VT_PACKET_FIELDS(TSetAgentLoggingLevelPacket) = {
    VT_FIELD(LogLevel, pftInteger, Raw(4)),
};
VT_DEFINE_PACKET(TSetAgentLoggingLevelPacket, "{2FAA27E8-0C58-4AC7-83B2-F57BED0B6704}")

VT_PACKET_FIELDS(TAllocateUpdateIDPacket) = {
    VT_FIELD(Installer, pftObject, Stream),
};
VT_DEFINE_PACKET(TAllocateUpdateIDPacket, "{6D8D1476-7AFE-4567-8348-BC7BE4A612D2}")

VT_PACKET_FIELDS(TAllocateUpdateIDReplyPacket) = {
    VT_FIELD(ID, pftOther, Raw(16)),
};
VT_DEFINE_PACKET(TAllocateUpdateIDReplyPacket, "{4955281B-1EDB-405E-ABC1-DBAEBA0C985A}")

VT_PACKET_FIELDS(TOpenFirewallAgentPacket) = {
    VT_FIELD(Reserved, pftBoolean, Raw(1)),
};
VT_DEFINE_PACKET(TOpenFirewallAgentPacket, "{6A945B8D-D99E-413E-92C4-B7896E784CA3}")

VT_PACKET_FIELDS(TRetestConnectionAgentPacket) = {
    VT_FIELD(ID, pftString, String),
};
VT_DEFINE_PACKET(TRetestConnectionAgentPacket, "{D28D8709-5EBD-484C-871C-BBC06D1F00F0}")

VT_PACKET_FIELDS(TAllowAgentEnableDisablePacket) = {
    VT_FIELD(ID, pftString, String),
    VT_FIELD(AllowEnableDisable, pftBoolean, Raw(1)),
};
VT_DEFINE_PACKET(TAllowAgentEnableDisablePacket, "{D1922C61-76E2-4E92-87BD-9EF5FB5E6ADA}")

VT_PACKET_FIELDS(TSetAgentAllowRemoteAdminPacket) = {
    VT_FIELD(ID, pftString, String),
    VT_FIELD(Allow, pftBoolean, Raw(1)),
};
VT_DEFINE_PACKET(TSetAgentAllowRemoteAdminPacket, "{F6A89C22-062F-4648-ADD9-4C655D87D9F8}")

VT_PACKET_FIELDS(TClearResizeRecommendAgentPacket) = {
    VT_FIELD(Reserved, pftBoolean, Raw(1)),
};
VT_DEFINE_PACKET(TClearResizeRecommendAgentPacket, "{4FEE39E5-1592-49E3-AB9C-534BAD209511}")

VT_PACKET_FIELDS(TResizeFileCacheAgentPacket) = {
    VT_FIELD(Size, pftInteger, Raw(4)),
};
VT_DEFINE_PACKET(TResizeFileCacheAgentPacket, "{D059024F-3253-457E-8047-9B918B7BB351}")

VT_PACKET_FIELDS(TUpdateAgentBuildCacheSettingsPacket) = {
    VT_FIELD(CacheSizeGB, pftInteger, Raw(4)).WithDefault(-1),
    VT_FIELD(CacheFolder, pftString, String),
    VT_FIELD(DatabaseFolder, pftString, String),
};
VT_DEFINE_PACKET(TUpdateAgentBuildCacheSettingsPacket, "{3F45BDE0-9F43-4AAA-8494-34A1F67DD41F}")

VT_PACKET_FIELDS(TSetAgentRemoteCompilerPriorityPacket) = {
    VT_FIELD(Priority, pftInteger, Raw(4)),
};
VT_DEFINE_PACKET(TSetAgentRemoteCompilerPriorityPacket, "{9048016D-694B-4215-85BC-8F65D82AE8EF}")

VT_PACKET_FIELDS(TSetBuildGroupAgentPacket) = {
    VT_FIELD(ID, pftString, String),
    VT_FIELD(BuildGroup, pftString, String),
    VT_FIELD(Indx, pftInteger, Raw(4)),
    VT_FIELD(AvailableGroups, pftString, String),
};
VT_DEFINE_PACKET(TSetBuildGroupAgentPacket, "{22C016B3-62A7-4065-AEE3-718782A7A050}")

VT_PACKET_FIELDS(TSetAgentAssignPriorityPacket) = {
    VT_FIELD(ID, pftString, String),
    VT_FIELD(Priority, pftInteger, Raw(4)),
};
VT_DEFINE_PACKET(TSetAgentAssignPriorityPacket, "{DBC32DD0-942E-4522-B1D6-BA69A45E40C8}")

VT_PACKET_FIELDS(TCancelUpdateVersionAgentPacket) = {
    VT_FIELD(ID, pftString, String),
};
VT_DEFINE_PACKET(TCancelUpdateVersionAgentPacket, "{B2BD377E-7608-4A0E-A36C-E9E8F989C8C4}")

VT_PACKET_FIELDS(TCancelUpdateVersionAgentReplyPacket) = {
    VT_FIELD(Reserved, pftBoolean, Raw(1)),
};
VT_DEFINE_PACKET(TCancelUpdateVersionAgentReplyPacket, "{E5F8F307-5CAA-49CA-8453-0DE76D26DD86}")

VT_PACKET_FIELDS(TAgentWakeOnLANPacket) = {
    VT_FIELD(ID, pftString, String),
};
VT_DEFINE_PACKET(TAgentWakeOnLANPacket, "{AB287347-0B9C-49BB-B81C-33D8BB2E1349}")

VT_PACKET_FIELDS(TAgentWakeOnLANReplyPacket) = {
    VT_FIELD(Reserved, pftBoolean, Raw(1)),
};
VT_DEFINE_PACKET(TAgentWakeOnLANReplyPacket, "{FDDA8CA0-34FE-414B-9135-BEBABA1A6986}")

VT_PACKET_FIELDS(TShowMessagePacket) = {
    VT_FIELD(MessageSender, pftString, String),
    VT_FIELD(MessageText, pftString, String),
};
VT_DEFINE_PACKET(TShowMessagePacket, "{B4DCDB1A-412B-4DCB-BD72-35A56A9DC9F4}")

VT_PACKET_FIELDS(TCoordinatorRoleNotifyPacket) = {
    VT_FIELD(State, pftOther, Sized(1)),
    VT_FIELD(Reserved, pftBoolean, Raw(1)),
};
VT_DEFINE_PACKET(TCoordinatorRoleNotifyPacket, "{220BFBA4-A194-4A6E-AE15-4FD1798C9E90}")

VT_PACKET_FIELDS(TStoreVersionUpdatePacket) = {
    VT_FIELD(ID, pftOther, Raw(16)),
    VT_FIELD(Position, pftInteger, Raw(4)),
    VT_FIELD(StreamedPart, pftObject, Stream),
    VT_FIELD(Count, pftInteger, Raw(4)),
};
VT_DEFINE_PACKET(TStoreVersionUpdatePacket, "{759A63CD-AD44-459D-83B6-A96BDF5DC5D2}")

VT_PACKET_FIELDS(TInstallVersionUpdatePacket) = {
    VT_FIELD(ID, pftOther, Raw(16)),
    VT_FIELD(Size, pftInteger, Raw(4)),
    VT_FIELD(VersionText, pftString, String),
    VT_FIELD(Version, pftInteger, Raw(4)),
    VT_FIELD(Force, pftBoolean, Raw(1)),
    VT_FIELD(Rollback, pftBoolean, Raw(1)),
    VT_FIELD(QuickRollback, pftBoolean, Raw(1)),
    VT_FIELD(RunAsService, pftBoolean, Raw(1)),
    VT_FIELD(Params, pftString, String),
    VT_FIELD(VsExtensionVersion, pftString, String),
    VT_FIELD(VsExtension2022Version, pftString, String),
};
VT_DEFINE_PACKET(TInstallVersionUpdatePacket, "{303B24C6-B25F-48F6-A930-C01B3BC4B6B5}")

VT_PACKET_FIELDS(TCoordSettingsRequestPacket) = {
    VT_FIELD(Reserved, pftBoolean, Raw(1)),
};
VT_DEFINE_PACKET(TCoordSettingsRequestPacket, "{665C03B5-D4F0-4A9C-B328-6F64802C5D8D}")

VT_PACKET_FIELDS(TCoordSettingsPacket) = {
    VT_FIELD(MinIdleLevel, pftDouble, Raw(8)).WithDefault(0.3),
    VT_FIELD(ReportInterval, pftInteger, Raw(4)).WithDefault(10),
    VT_FIELD(MaxWorkers, pftInteger, Raw(4)).WithDefault(150),
    VT_FIELD(AutoSubscribe_Obsolete, pftBoolean, Raw(1)).WithDefault(true),
    VT_FIELD(UnsubscribedAgents_Obsolete, pftString, String),
    VT_FIELD(ResetSingleUseVMs, pftString, String),
    VT_FIELD(UpdateVersionOnSubscribe_Obsolete, pftBoolean, Raw(1)).WithDefault(true),
    VT_FIELD(UseIP_Obsolete, pftBoolean, Raw(1)),
    VT_FIELD(AllowSystemStandby, pftBoolean, Raw(1)).WithDefault(true),
    VT_FIELD(MinDiskFree, pftInteger, Raw(4)).WithDefault(1024),
    VT_FIELD(MinVirtualMem, pftInteger, Raw(4)).WithDefault(200),
    VT_FIELD(MinPhysicalMem, pftInteger, Raw(4)),
    VT_FIELD(IgnoreProcesses, pftString, String),
    VT_FIELD(IgnoreFirewall, pftBoolean, Raw(1)),
    VT_FIELD(OtherCoordHost, pftString, String),
    VT_FIELD(OtherCoordPort, pftInteger, Raw(4)).WithDefault(-1),
    VT_FIELD(OtherCoordDisplay, pftString, String),
    VT_FIELD(Port, pftInteger, Raw(4)).WithDefault(217),
    VT_FIELD(BackupCoordNames, pftString, String),
    VT_FIELD(BackupCoordPorts, pftString, String),
    VT_FIELD(BackupCoordIPs, pftString, String),
    VT_FIELD(UpdateVersionAlways_Obsolete, pftBoolean, Raw(1)),
    VT_FIELD(CheckForUpdatesOnline, pftBoolean, Raw(1)).WithDefault(true),
    VT_FIELD(RunCacheCleanup, pftBoolean, Raw(1)).WithDefault(true),
    VT_FIELD(CacheCleanupInterval, pftInteger, Raw(4)).WithDefault(1),
    VT_FIELD(RunStatDBCleanup, pftBoolean, Raw(1)).WithDefault(true),
    VT_FIELD(CleanDBPeriod, pftInteger, Raw(4)).WithDefault(1),
    VT_FIELD(AutoSubscribeCloudNode, pftBoolean, Raw(1)).WithDefault(true),
    VT_FIELD(OfflinePeriodCloudNode, pftInteger, Raw(4)).WithDefault(30),
    VT_FIELD(AgentsUseSecureConnections, pftBoolean, Raw(1)),
    VT_FIELD(TelemetryEnabled, pftBoolean, Raw(1)).WithDefault(true),
    VT_FIELD(BuildGroups, pftString, String),
    VT_FIELD(CoordAPIPort, pftInteger, Raw(4)).WithDefault(31100),
    VT_FIELD(RequireApiKeyForAccess, pftBoolean, Raw(1)),
    VT_FIELD(GeneratedApiKey, pftString, String),
    VT_FIELD(UseCustomSertificate, pftBoolean, Raw(1)),
    VT_FIELD(AggressiveCacheClean, pftBoolean, Raw(1)),
    VT_FIELD(SSLPort, pftInteger, Raw(4)).WithDefault(32103),
    VT_FIELD(ApachePort, pftInteger, Raw(4)).WithDefault(8000),
    VT_FIELD(HelperCoresAssignmentPerc, pftInteger, Raw(4)).WithDefault(100),
    VT_FIELD(OfflineTimeoutSeconds, pftInteger, Raw(4)).WithDefault(60),
    VT_FIELD(OtherCoordBuildNum, pftInteger, Raw(4)),
    VT_FIELD(BackupCoordBuildNums, pftString, String),
    VT_FIELD(SslCnValidationPattern, pftString, String).WithDefault("$^"),
};
VT_DEFINE_PACKET(TCoordSettingsPacket, "{2F69F120-4684-4F2B-8268-0E1DAA3BD48B}")

VT_PACKET_FIELDS(TAgentShuttingDownPacket) = {
    VT_FIELD(ID, pftString, String),
};
VT_DEFINE_PACKET(TAgentShuttingDownPacket, "{6A880748-A3F2-44F6-9853-DCEB9C09B7AE}")

VT_PACKET_FIELDS(TQueryStateReplyPacket) = {
    VT_FIELD(AutoSubscribe, pftBoolean, Raw(1)).WithDefault(true),
    VT_FIELD(FreeBonus, pftDouble, Raw(8)).WithDefault(1.25),
    VT_FIELD(IgnoreProcesses, pftString, String),
    VT_FIELD(MaxWorkers, pftInteger, Raw(4)).WithDefault(150),
    VT_FIELD(MinDiskFree, pftInteger, Raw(4)).WithDefault(1024),
    VT_FIELD(MinIdleLevel, pftDouble, Raw(8)).WithDefault(0.3),
    VT_FIELD(MinPhysicalMem, pftInteger, Raw(4)),
    VT_FIELD(MinVirtualMem, pftInteger, Raw(4)).WithDefault(200),
    VT_FIELD(RAMBonus, pftString, String),
    VT_FIELD(ReportInterval, pftInteger, Raw(4)).WithDefault(10),
    VT_FIELD(ScreenSaverBonus, pftDouble, Raw(8)).WithDefault(1.5),
    VT_FIELD(StayBonus, pftDouble, Raw(8)),
    VT_FIELD(UnsubscribedAgents, pftString, String),
    VT_FIELD(ResetSingleUseVMs, pftString, String),
    VT_FIELD(UseIP_Obsolete, pftBoolean, Raw(1)),
    VT_FIELD(CoordSubscriber, pftObject, Stream),
    VT_FIELD(AgentsUseSecureConnections, pftBoolean, Raw(1)),
    VT_FIELD(ApachePort, pftInteger, Raw(4)).WithDefault(8000),
    VT_FIELD(CoordAPIPort, pftInteger, Raw(4)).WithDefault(31100),
    VT_FIELD(CloudSecret, pftString, String),
    VT_FIELD(CloudState, pftInteger, Raw(4)).WithDefault(1),
    VT_FIELD(CloudCoordID, pftString, String),
    VT_FIELD(CloudBaseUrl, pftString, String),
    VT_FIELD(CloudSubscriptionKey, pftString, String),
    VT_FIELD(CoordinatorID, pftString, String),
    VT_FIELD(UsersDB, pftString, String),
};
VT_DEFINE_PACKET(TQueryStateReplyPacket, "{50BFF459-25D2-4010-A40B-8113F11B4CB4}")

VT_PACKET_FIELDS(TReleaseCloudAgentPacket) = {
    VT_FIELD(AgentID, pftString, String),
};
VT_DEFINE_PACKET(TReleaseCloudAgentPacket, "{EA53285C-2F07-4F74-AE7D-C3BF9746EDC0}")

VT_PACKET_FIELDS(TChangeNimbrelStatusPacket) = {
    VT_FIELD(NewState, pftOther, Sized(1)),
    VT_FIELD(UpdatePool, pftBoolean, Raw(1)),
};
VT_DEFINE_PACKET(TChangeNimbrelStatusPacket, "{09D1FDC9-8571-47A7-814E-2D61AA53B9D9}")

VT_PACKET_FIELDS(TDeactivateCloudPacket) = {
    VT_FIELD(Reserved, pftBoolean, Raw(1)),
};
VT_DEFINE_PACKET(TDeactivateCloudPacket, "{D74E5B7C-8AE5-428F-87A8-BD2E221ED9D2}")

VT_PACKET_FIELDS(TCloudSetSecretPacket) = {
    VT_FIELD(Secret, pftString, String),
};
VT_DEFINE_PACKET(TCloudSetSecretPacket, "{FB805959-E460-44AE-A841-1FFFCC6FDAA9}")

VT_PACKET_FIELDS(TBuildGroupsRequest) = {
    VT_FIELD(Request, pftBoolean, Raw(1)),
    VT_FIELD(Delete, pftBoolean, Raw(1)),
    VT_FIELD(Add, pftBoolean, Raw(1)),
    VT_FIELD(Group, pftString, String),
};
VT_DEFINE_PACKET(TBuildGroupsRequest, "{AED12644-C91A-42C3-A07C-AA1C8BD88921}")

VT_PACKET_FIELDS(TBuildGroupsRequestReply) = {
    VT_FIELD(AvailableGroups, pftString, String),
};
VT_DEFINE_PACKET(TBuildGroupsRequestReply, "{0C4EFCCD-5BF7-4047-95B5-6A1887A1EF69}")

VT_PACKET_FIELDS(TCoordSubscribePushRequest) = {
    VT_FIELD(Request, pftBoolean, Raw(1)),
    VT_FIELD(Name, pftString, String),
    VT_FIELD(ID, pftInteger, Raw(4)),
};
VT_DEFINE_PACKET(TCoordSubscribePushRequest, "{90F50C74-C1C9-41FC-9C43-2BA090448909}")

VT_PACKET_FIELDS(TCoordSubscribePushReply) = {
    VT_FIELD(Response, pftBoolean, Raw(1)),
    VT_FIELD(Name, pftString, String),
};
VT_DEFINE_PACKET(TCoordSubscribePushReply, "{06C388CC-692D-4419-AF65-CC9C50656DFF}")

VT_PACKET_FIELDS(TCoordSubscribedTest) = {
    VT_FIELD(Data, pftString, String),
};
VT_DEFINE_PACKET(TCoordSubscribedTest, "{98017C55-E932-487B-976D-312E657532B6}")

VT_PACKET_FIELDS(TCoordMachineInfoTableValues) = {
    VT_FIELD(AgentName, pftString, String),
    VT_FIELD(AgentIP, pftString, String),
    VT_FIELD(AgentPort, pftInteger, Raw(4)),
    VT_FIELD(NumberOfCores, pftInteger, Raw(4)),
    VT_FIELD(CpuSpeed, pftInteger, Raw(4)),
    VT_FIELD(VirtualMemory, pftInteger, Raw(8)),
    VT_FIELD(PhysicalMemory, pftInteger, Raw(8)),
    VT_FIELD(DiskSize, pftInteger, Raw(8)),
    VT_FIELD(AgentType, pftInteger, Raw(4)),
    VT_FIELD(BuildGroup, pftString, String),
    VT_FIELD(OsVersion, pftString, String),
    VT_FIELD(MachineId, pftString, String),
    VT_FIELD(Timestamp, pftInteger, Raw(8)),
};
VT_DEFINE_PACKET(TCoordMachineInfoTableValues, "{424BEECC-0297-454E-8775-541289CA7C43}")

VT_PACKET_FIELDS(TCoordAgentInfoTable) = {
    VT_FIELD(MachineId, pftString, String),
    VT_FIELD(AgentName, pftString, String),
    VT_FIELD(VersionNumber, pftString, String),
    VT_FIELD(BuildNumber, pftString, String),
    VT_FIELD(InitiatorCores, pftInteger, Raw(4)),
    VT_FIELD(HelperCores, pftInteger, Raw(4)),
    VT_FIELD(IsOnline, pftBoolean, Raw(1)),
    VT_FIELD(IsDisabledAsHelper, pftBoolean, Raw(1)),
    VT_FIELD(vtSettings, pftString, String),
    VT_FIELD(Timestamp, pftInteger, Raw(8)),
};
VT_DEFINE_PACKET(TCoordAgentInfoTable, "{5ABADEC8-5260-4FF4-8D30-F50EF0784CCA}")

VT_PACKET_FIELDS(TCoordDeleteAgent) = {
    VT_FIELD(AgentName, pftString, String),
    VT_FIELD(MachineId, pftString, String),
    VT_FIELD(Timestamp, pftInteger, Raw(8)),
};
VT_DEFINE_PACKET(TCoordDeleteAgent, "{0FAE2BAD-793A-4839-B39D-0671E6B56A18}")

VT_PACKET_FIELDS(TCoordAgentActivityInfoTable) = {
    VT_FIELD(AgentId, pftString, String),
    VT_FIELD(BuildId, pftString, String),
    VT_FIELD(AgentRoleId, pftInteger, Raw(4)),
    VT_FIELD(IsOnline, pftBoolean, Raw(1)),
    VT_FIELD(CoresUtilised, pftInteger, Raw(4)),
    VT_FIELD(StartTS, pftInteger, Raw(8)),
    VT_FIELD(EndTS, pftInteger, Raw(8)),
    VT_FIELD(MachineId, pftString, String),
    VT_FIELD(BuildGroup, pftString, String),
    VT_FIELD(BuildTitle, pftString, String),
};
VT_DEFINE_PACKET(TCoordAgentActivityInfoTable, "{4F0ABBAC-4E5C-4404-8C6F-EEA5BE7CDED7}")

VT_PACKET_FIELDS(TCoordinatorTable) = {
    VT_FIELD(CoordinatorId, pftString, String),
    VT_FIELD(MachineId, pftString, String),
    VT_FIELD(CloudState, pftOther, Sized(1)),
    VT_FIELD(VersionNumber, pftString, String),
    VT_FIELD(BuildNumber, pftString, String),
    VT_FIELD(VtSettings, pftString, String),
    VT_FIELD(Timestamp, pftInteger, Raw(8)),
};
VT_DEFINE_PACKET(TCoordinatorTable, "{6090E260-B8B8-4369-9560-69C2E09E5996}")

VT_PACKET_FIELDS(TAgentErrorsMessagesPacket) = {
    VT_FIELD(ID, pftString, String),
    VT_FIELD(Name, pftString, String),
    VT_FIELD(Errors, pftString, String),
    VT_FIELD(Messages, pftString, String),
};
VT_DEFINE_PACKET(TAgentErrorsMessagesPacket, "{737E7062-05D5-4C25-B65E-AF65A6371E8A}")

VT_PACKET_FIELDS(TAgentsErrorsMessagesRequestReplyPacket) = {
    VT_FIELD(ErrosAndMessages, pftObject, PacketList),
};
VT_DEFINE_PACKET(TAgentsErrorsMessagesRequestReplyPacket, "{0A7C25DB-5CD5-4A5B-A364-07EA1B231D0D}")

VT_PACKET_FIELDS(TSetUsersDBPacket) = {
    VT_FIELD(UsersDB, pftString, String),
};
VT_DEFINE_PACKET(TSetUsersDBPacket, "{63C42AC6-C124-4BF0-9ABD-8CE4988C233E}")

VT_PACKET_FIELDS(TUserNotificationsPacket) = {
    VT_FIELD(NotificationJson, pftString, String),
};
VT_DEFINE_PACKET(TUserNotificationsPacket, "{906414A7-ECDB-43F2-A288-2B45A2A0FC29}")

VT_PACKET_FIELDS(TNotifyCloudStatePacket) = {
    VT_FIELD(NimbrelState, pftOther, Sized(1)),
};
VT_DEFINE_PACKET(TNotifyCloudStatePacket, "{41430832-E1E4-4FA7-B515-C100D85E6E7E}")

VT_PACKET_FIELDS(TConfigureApachePacket) = {
    VT_FIELD(UIPort, pftInteger, Raw(4)),
    VT_FIELD(ServicePort, pftInteger, Raw(4)),
};
VT_DEFINE_PACKET(TConfigureApachePacket, "{3F81FF85-77D0-470C-B074-C193161D8CD3}")

void RegisterCoordServicePackets() {
  RegisterPacketClass(TCoordQueryAgentsPacket::Class);
  RegisterPacketClass(TCoordQueryAgentsReplyPacket::Class);
  RegisterPacketClass(TQueryRolePacket::Class);
  RegisterPacketClass(TQueryRoleReplyPacket::Class);
  RegisterPacketClass(TQueryRoleSSLPacket::Class);
  RegisterPacketClass(TQueryRoleSSLReplyPacket::Class);
  RegisterPacketClass(TRegisterBuildAvoidancePacket::Class);
  RegisterPacketClass(TRegisterBuildAvoidanceReplyPacket::Class);
  RegisterPacketClass(TForwardToAgentPacket::Class);
  RegisterPacketClass(TRefreshPacket::Class);
  RegisterPacketClass(TRequestQueryStatePacket::Class);
  RegisterPacketClass(TQueryStatePacket::Class);
  RegisterPacketClass(TCoordGeneralReplyPacket::Class);
  RegisterPacketClass(TTerminatePacket::Class);
  RegisterPacketClass(TUpdateVersionAgentPacket::Class);
  RegisterPacketClass(TUpdateVersionAgentReplyPacket::Class);
  RegisterPacketClass(TUpdateAllAgentsPacket::Class);
  RegisterPacketClass(TResetAgentPacket::Class);
  RegisterPacketClass(TSetAgentPriorityPacket::Class);
  RegisterPacketClass(TSetAgentCommentPacket::Class);
  RegisterPacketClass(TSetBuildAvoidanceConfigPacket::Class);
  RegisterPacketClass(TSetAgentLoggingLevelPacket::Class);
  RegisterPacketClass(TAllocateUpdateIDPacket::Class);
  RegisterPacketClass(TAllocateUpdateIDReplyPacket::Class);
  RegisterPacketClass(TOpenFirewallAgentPacket::Class);
  RegisterPacketClass(TRetestConnectionAgentPacket::Class);
  RegisterPacketClass(TAllowAgentEnableDisablePacket::Class);
  RegisterPacketClass(TSetAgentAllowRemoteAdminPacket::Class);
  RegisterPacketClass(TClearResizeRecommendAgentPacket::Class);
  RegisterPacketClass(TResizeFileCacheAgentPacket::Class);
  RegisterPacketClass(TUpdateAgentBuildCacheSettingsPacket::Class);
  RegisterPacketClass(TSetAgentRemoteCompilerPriorityPacket::Class);
  RegisterPacketClass(TSetBuildGroupAgentPacket::Class);
  RegisterPacketClass(TSetAgentAssignPriorityPacket::Class);
  RegisterPacketClass(TCancelUpdateVersionAgentPacket::Class);
  RegisterPacketClass(TCancelUpdateVersionAgentReplyPacket::Class);
  RegisterPacketClass(TAgentWakeOnLANPacket::Class);
  RegisterPacketClass(TAgentWakeOnLANReplyPacket::Class);
  RegisterPacketClass(TShowMessagePacket::Class);
  RegisterPacketClass(TCoordinatorRoleNotifyPacket::Class);
  RegisterPacketClass(TStoreVersionUpdatePacket::Class);
  RegisterPacketClass(TInstallVersionUpdatePacket::Class);
  RegisterPacketClass(TCoordSettingsRequestPacket::Class);
  RegisterPacketClass(TCoordSettingsPacket::Class);
  RegisterPacketClass(TAgentShuttingDownPacket::Class);
  RegisterPacketClass(TQueryStateReplyPacket::Class);
  RegisterPacketClass(TReleaseCloudAgentPacket::Class);
  RegisterPacketClass(TChangeNimbrelStatusPacket::Class);
  RegisterPacketClass(TDeactivateCloudPacket::Class);
  RegisterPacketClass(TCloudSetSecretPacket::Class);
  RegisterPacketClass(TBuildGroupsRequest::Class);
  RegisterPacketClass(TBuildGroupsRequestReply::Class);
  RegisterPacketClass(TCoordSubscribePushRequest::Class);
  RegisterPacketClass(TCoordSubscribePushReply::Class);
  RegisterPacketClass(TCoordSubscribedTest::Class);
  RegisterPacketClass(TCoordMachineInfoTableValues::Class);
  RegisterPacketClass(TCoordAgentInfoTable::Class);
  RegisterPacketClass(TCoordDeleteAgent::Class);
  RegisterPacketClass(TCoordAgentActivityInfoTable::Class);
  RegisterPacketClass(TCoordinatorTable::Class);
  RegisterPacketClass(TAgentErrorsMessagesPacket::Class);
  RegisterPacketClass(TAgentsErrorsMessagesRequestReplyPacket::Class);
  RegisterPacketClass(TSetUsersDBPacket::Class);
  RegisterPacketClass(TUserNotificationsPacket::Class);
  RegisterPacketClass(TNotifyCloudStatePacket::Class);
  RegisterPacketClass(TConfigureApachePacket::Class);
}

namespace {
int g_init_count = 0;
void InitializeCoordServicePackets() {
  if (g_init_count++ == 0) RegisterCoordServicePackets();
}
void FinalizeCoordServicePackets() { --g_init_count; }
}  // namespace

const UnitEntry kCoordServicePacketsUnit{"CoordServicePackets", &InitializeCoordServicePackets,
                                         &FinalizeCoordServicePackets};

}  // namespace vt
