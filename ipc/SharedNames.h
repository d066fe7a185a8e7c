// The names that the suite's programs agree on: kernel objects, queues, packet
// vocabulary, channel identifiers and the registry root.
#pragma once

namespace SharedNames {

// Names this service uses.
constexpr wchar_t kRegistryRoot[] = L"SOFTWARE\\Veltrane";
constexpr wchar_t kControlCenterHighQueue[] = L"CntrlCtrShrMemHighQueue";
constexpr unsigned long kControlCenterQueueSize = 20480;
constexpr char kServiceTypePacket[] = "ServiceType";
constexpr char kSubTypeServiceStatus[] = "SubTypeServiceStatus";
constexpr char kServiceStatusChannelId[] = "91C2257D-77FF-463A-8E40-1CE2B0D3B840";
constexpr wchar_t kServiceStatusChannelIdW[] = L"91C2257D-77FF-463A-8E40-1CE2B0D3B840";
constexpr char kPriorityKey[] = "Priority";
constexpr char kPriorityHigh[] = "high";
constexpr char kPriorityLow[] = "low";
constexpr wchar_t kHearthReloadSettingsEvent[] = L"Global\\HEARTH_RELOAD_NEWSETTINGS_EVENT";
constexpr wchar_t kIdentitiesChangedEvent[] = L"Global\\IdentitiesChanged";
constexpr wchar_t kMalwareSettingsChangedEvent[] = L"Global\\MALWAREPLG_SETTINGS_CHANGED_EVENT";
constexpr wchar_t kStopRequestEventTemplate[] = L"Global\\{0}_REQUEST_STOP_SERVICE";
constexpr wchar_t kResourceManagerMutex[] = L"Global\\VeltraneResourceMgr.mtx";

// Further wide names of the set.
constexpr wchar_t kAMSigUpdaterId[] = L"VeltraneAMSigUpdaterID";

// Queue names (stems of a channel's kernel-object names).
constexpr wchar_t kControlCenterLowQueue[] = L"CntrlCtrShrMemLowQueue";
constexpr wchar_t kUpdaterHighQueue[] = L"UpdaterShrMemHighQueue";
constexpr wchar_t kUpdaterLowQueue[] = L"UpdaterShrMemLowQueue";
constexpr wchar_t kOnDemandScanQueue[] = L"ODShrMemQueue";
constexpr wchar_t kZentCommandQueue[] = L"ZENTCmdShrMemQueue";
constexpr wchar_t kProgramAccessQueue[] = L"ProgramAccessQueueName";

// Named events.
constexpr wchar_t kRealTimeUpEvent[] = L"Global\\RT_UP_EVENT";
constexpr wchar_t kCommandLineScannerEvent[] = L"Global\\COMMAND_LINE_SCANNER_EVENT";
constexpr wchar_t kSchedulerChangedEvent[] = L"Global\\SCHEDULAR_CHANGED_EVENT";
constexpr wchar_t kLaunchUninstallerEvent[] = L"Global\\LAUNCH_UNINSTALLER_EVENT";
constexpr wchar_t kLaunchUninstallerSucceededEvent[] = L"Global\\LAUNCH_UNINSTALLER_EVENT_SUCCESS_RESPONSE";
constexpr wchar_t kLaunchUninstallerFailedEvent[] = L"Global\\LAUNCH_UNINSTALLER_EVENT_FAILED_RESPONSE";

// Requester names.
constexpr wchar_t kRequestedByManagementConsole[] = L"RequestedByManagementConsole";
constexpr wchar_t kRequestedByShellExtension[] = L"RequestedByShellExtension";
constexpr wchar_t kRequestedByAutoStartMonitor[] = L"RequestedByAutoStartMonitor";
constexpr wchar_t kRequestedByCommandLineScanner[] = L"RequestedByCommandLineScanner";

// Reserved packet keys (this service neither writes nor reads them).
constexpr wchar_t kReservedSavedPacketFilePathKey[] = L"_{Reserved}_SavedPacketFilePath";
constexpr wchar_t kReservedContentEncryptedKey[] = L"_{Reserved}_ContentEncrypted";

// Wide channel identifiers, in the order of the set (the status packet's one is above).
constexpr const wchar_t* kChannelIdsW[] = {
    L"C5E658D8-6595-4E09-9D21-F382D7725E8A",
    L"6D2148C1-815A-4A53-8ECF-7F0E79CDEB64",
    L"7B637F5F-42B1-4A07-AA83-897A3E182054",
    L"E6F00DE0-1C50-41A1-BFF4-E84AAE877764",
    L"BFB8B412-0CA3-4583-B19A-AAB8027638D2",
    L"ACED3607-4CA5-4121-A48F-D0622AD982A5",
    L"4C0A5BED-C4B1-4CA0-8ACE-38CFE897A59D",
    L"8617D645-7B98-42E0-BA6A-B91EE64D9D2D",
    L"D92929C3-8C71-41E7-B110-73171A4B487E",
    L"BA45073C-CC42-4422-BA0E-B66FACDF1595",
    L"8C3CE978-269F-44B8-B12D-78C6C3279B58",
};

// Narrow names of the set.
// Status and action values.
constexpr char kStatusNoAction[] = "NoAction";
constexpr char kStatusRecommended[] = "Recommended";
constexpr char kStatusActionNeeded[] = "ActionNeeded";
constexpr char kStatusPending[] = "Pending";
constexpr char kStatusSucceeded[] = "Succeeded";
constexpr char kStatusFailed[] = "Failed";
constexpr char kStatusErrorMsg[] = "ErrorMsg";
constexpr char kStatusDisplayMsg[] = "DisplayMsg";
constexpr char kStatusRunning[] = "Running";
constexpr char kStatusCompleted[] = "Completed";

// Component names.
constexpr char kComponentProgramAccessScanner[] = "ProgramAccessScanner";
constexpr char kComponentRealTimeAVScanner[] = "RealTimeAVScanner";
constexpr char kComponentDownloadScanner[] = "DownloadScanner";
constexpr char kComponentPrivacyScanner[] = "PrivacyScanner";
constexpr char kComponentODAVScanner[] = "ODAVScanner";
constexpr char kComponentShellScanner[] = "ShellScanner";
constexpr char kComponentUpdater[] = "Updater";
constexpr char kComponentControlCenter[] = "ControlCenter";
constexpr char kComponentTuneup[] = "Tuneup";
constexpr char kComponentBackup[] = "Backup";

// Narrow channel identifiers (the status packet's one is above).
constexpr const char* kChannelIds[] = {
    "C5E658D8-6595-4E09-9D21-F382D7725E8A",
    "6D2148C1-815A-4A53-8ECF-7F0E79CDEB64",
    "3FD35B55-096C-427B-A9E6-5CB5F3A16E5D",
};

// Packet types, subtypes, keys and values, in the order of the set.
constexpr char kPacketScannedItemPacket[] = "ScannedItemPacket";
constexpr char kPacketConcludeScanPacket[] = "ConcludeScanPacket";
constexpr char kPacketMalwareDetectPacket[] = "MalwareDetectPacket";
constexpr char kPacketScannerResponse[] = "ScannerResponse";
constexpr char kPacketQuarantinerResponse[] = "QuarantinerResponse";
constexpr char kPacketKeepAlive[] = "KeepAlive";
constexpr char kPacketUSBPlugScan[] = "USBPlugScan";
constexpr char kPacketScannedFolderLable[] = "ScannedFolderLable";
constexpr char kPacketRebootRequiredPacket[] = "RebootRequiredPacket";
constexpr char kPacketQuarantineRequest[] = "QuarantineRequest";
constexpr char kPacketQuarantineRequestResponse[] = "QuarantineRequestResponse";
constexpr char kPacketExcludedDirectories[] = "ExcludedDirectories";
constexpr char kPacketServiceStatus[] = "ServiceStatus";
constexpr char kPacketSubTypeWSCServiceIsReady[] = "SubTypeWSCServiceIsReady";
constexpr char kPacketSubTypeSnoozeScanRequest[] = "SubTypeSnoozeScanRequest";
constexpr char kPacketSubTypeUnSnoozeScanRequest[] = "SubTypeUnSnoozeScanRequest";
constexpr char kPacketSubTypeInvalidateCacheForFileRequest[] = "SubTypeInvalidateCacheForFileRequest";
constexpr char kPacketSubTypeDeleteFileRequest[] = "SubTypeDeleteFileRequest";
constexpr char kPacketSubTypeDeletedExpiredQMItems[] = "SubTypeDeletedExpiredQMItems";
constexpr char kPacketRequestVeryLowScanCPULoad[] = "RequestVeryLowScanCPULoad";
constexpr char kPacketOnRestoreExcludeTemporary[] = "OnRestoreExcludeTemporary";
constexpr char kPacketMalPlgType[] = "MalPlgType";
constexpr char kPacketHearthType[] = "HearthType";
constexpr char kPacketResponseEmailAlertGenerated[] = "ResponseEmailAlertGenerated";
constexpr char kPacketAddSiteRequest[] = "AddSiteRequest";
constexpr char kPacketAVSigUpdateRequest[] = "AVSigUpdateRequest";
constexpr char kPacketCancelAVSigUpdateRequest[] = "CancelAVSigUpdateRequest";
constexpr char kPacketCancelProductUpdateRequest[] = "CancelProductUpdateRequest";
constexpr char kPacketFullAvPkg[] = "FullAvPkg";
constexpr char kPacketAVSigUpdate[] = "AVSigUpdate";
constexpr char kPacketATCSigUpdate[] = "ATCSigUpdate";
constexpr char kPacketPreInstallUpdate[] = "PreInstallUpdate";
constexpr char kPacketInstallUpdate[] = "InstallUpdate";
constexpr char kPacketProductUpdate[] = "ProductUpdate";
constexpr char kPacketProductUpdateImport[] = "ProductUpdateImport";
constexpr char kPacketScanRequestPacket[] = "ScanRequestPacket";
constexpr char kPacketSuspendScanRequest[] = "SuspendScanRequest";
constexpr char kPacketResumeScanRequest[] = "ResumeScanRequest";
constexpr char kPacketStopScanRequest[] = "StopScanRequest";
constexpr char kPacketWindowsSecurityCenterCommand[] = "WindowsSecurityCenterCommand";
constexpr char kPacketEventViewerMsgRequest[] = "EventViewerMsgRequest";
constexpr char kPacketSubTypeImportProductUpdate[] = "SubTypeImportProductUpdate";
constexpr char kPacketSubTypeOperation[] = "SubTypeOperation";
constexpr char kPacketSubTypeDeliverQueuedEvents[] = "SubTypeDeliverQueuedEvents";
constexpr char kPacketTuneupScan[] = "TuneupScan";
constexpr char kPacketTuneupClean[] = "TuneupClean";
constexpr char kPacketScanRequest[] = "ScanRequest";
constexpr char kPacketSubTypeScannerCommand[] = "SubTypeScannerCommand";
constexpr char kPacketSubTypeRequestAppsSnapshot[] = "SubTypeRequestAppsSnapshot";
constexpr char kPacketSubTypeResponseAppsSnapshot[] = "SubTypeResponseAppsSnapshot";
constexpr char kPacketSubTypeBackupRequest[] = "SubTypeBackupRequest";
constexpr char kPacketBackupAddToPolicyRequest[] = "BackupAddToPolicyRequest";
constexpr char kPacketAddOnPolicyPacket[] = "AddOnPolicyPacket";
constexpr char kPacketVal[] = "Val";
constexpr char kPacketRebootRequired[] = "RebootRequired";
constexpr char kPacketUpdateDescription[] = "UpdateDescription";
constexpr char kPacketLastError[] = "LastError";
constexpr char kPacketProductType[] = "ProductType";
constexpr char kPacketToolTip[] = "ToolTip";
constexpr char kPacketCounter[] = "Counter";
constexpr const char* kPacketVocabulary[] = {
    kPacketScannedItemPacket,
    kPacketConcludeScanPacket,
    kPacketMalwareDetectPacket,
    kPacketScannerResponse,
    kPacketQuarantinerResponse,
    kPacketKeepAlive,
    kPacketUSBPlugScan,
    kPacketScannedFolderLable,
    kPacketRebootRequiredPacket,
    kPacketQuarantineRequest,
    kPacketQuarantineRequestResponse,
    kPacketExcludedDirectories,
    kPacketServiceStatus,
    kPacketSubTypeWSCServiceIsReady,
    kPacketSubTypeSnoozeScanRequest,
    kPacketSubTypeUnSnoozeScanRequest,
    kPacketSubTypeInvalidateCacheForFileRequest,
    kPacketSubTypeDeleteFileRequest,
    kPacketSubTypeDeletedExpiredQMItems,
    kPacketRequestVeryLowScanCPULoad,
    kPacketOnRestoreExcludeTemporary,
    kPacketMalPlgType,
    kPacketHearthType,
    kPacketResponseEmailAlertGenerated,
    kPacketAddSiteRequest,
    kPacketAVSigUpdateRequest,
    kPacketCancelAVSigUpdateRequest,
    kPacketCancelProductUpdateRequest,
    kPacketFullAvPkg,
    kPacketAVSigUpdate,
    kPacketATCSigUpdate,
    kPacketPreInstallUpdate,
    kPacketInstallUpdate,
    kPacketProductUpdate,
    kPacketProductUpdateImport,
    kPacketScanRequestPacket,
    kPacketSuspendScanRequest,
    kPacketResumeScanRequest,
    kPacketStopScanRequest,
    kPacketWindowsSecurityCenterCommand,
    kPacketEventViewerMsgRequest,
    kPacketSubTypeImportProductUpdate,
    kPacketSubTypeOperation,
    kPacketSubTypeDeliverQueuedEvents,
    kPacketTuneupScan,
    kPacketTuneupClean,
    kPacketScanRequest,
    kPacketSubTypeScannerCommand,
    kPacketSubTypeRequestAppsSnapshot,
    kPacketSubTypeResponseAppsSnapshot,
    kPacketSubTypeBackupRequest,
    kPacketBackupAddToPolicyRequest,
    kPacketAddOnPolicyPacket,
    kPacketVal,
    kPacketRebootRequired,
    kPacketUpdateDescription,
    kPacketLastError,
    kPacketProductType,
    kPacketToolTip,
    kPacketCounter,
};

// User actions and product events that the suite's user interface reports, in the
// order of the set; the group ends with one empty name.
constexpr const wchar_t* kUserActionNames[] = {
    L"ATC",
    L"AddMoreStoragePromotionDisplayed",
    L"BackupRestore",
    L"CompetitorRemovalFailed_",
    L"CompetitorRemovalSucceededRebootRequired_",
    L"CompetitorRemovalSucceeded_",
    L"ConfigUpdate",
    L"ConsoleOpenedByRunOnceRegistry",
    L"ContentUpdate",
    L"Devices",
    L"FailedUpdating_",
    L"HiddenFileMalware",
    L"HiddenProcessMalware",
    L"ImportNodeID_",
    L"Install",
    L"MalwareScanner",
    L"ManagementConsole",
    L"MicrosotStoreInstall",
    L"MyAccount",
    L"MyAccountLoginFailed_",
    L"MyAccountLoginSuccess",
    L"OnAccess",
    L"OnNewerVersionDownloadFailed",
    L"OnNewerVersionDownloadFailed_",
    L"OnNewerVersionDownloadSucceeded",
    L"OutOfQuota",
    L"Pages",
    L"ParantelControl",
    L"Performance",
    L"PerformanceIssuesFixed",
    L"PerformanceIssuesReported",
    L"ROIReportPresentedToUser_",
    L"ScheduledCleanupScanInitiated",
    L"ScheduledScanInitiated",
    L"Security",
    L"Setup",
    L"SetupFailedError_",
    L"SetupOk",
    L"SetupOkRebootRequired",
    L"SucceededUpdating_",
    L"Tray",
    L"TrayOperation",
    L"Uninstall",
    L"Unknown",
    L"Update_Failed_",
    L"ContentUpdateEvent",
    L"UserAbortedSetup",
    L"UserChangedAppsExclusions",
    L"UserChangedDetectionActionFrom_To_",
    L"UserChangedMalwareExclusions",
    L"UserChangedNotificationLevelFrom_To_",
    L"UserChangedPrivacyExclusions",
    L"UserChangedSettingsSliderFrom_To_",
    L"UserClickedAddMoreStorage",
    L"UserClickedCustomInstall",
    L"UserClickedFixAll",
    L"UserClickedHome",
    L"UserClickedHowToFreeSpaceHelp",
    L"UserClickedManageFiles",
    L"UserClickedMyAccount",
    L"UserClickedMyAccountPortal",
    L"UserClickedMyBackupPortal",
    L"UserClickedQuickScan",
    L"UserClickedScansHelp",
    L"UserClickedSignIn",
    L"UserClickedSignOut",
    L"UserClickedSuspend",
    L"UserClickedThe_Button",
    L"UserClickedUpdate",
    L"UserClickedViewEULA",
    L"UserClosedTheConsole",
    L"UserConfiguredProxy",
    L"UserDeletedDevice",
    L"UserDeletedFromQuarantine",
    L"UserDisabledApplicationControl",
    L"UserDisabledAutoScan",
    L"UserDisabledPowerShellExploitProtection",
    L"UserDisabledPrivacyProtection",
    L"UserDisabledProtection",
    L"UserDisabledRestrictMalwareConfig",
    L"UserDisabledRestrictedDevicesConfig",
    L"UserDisabledSchedular",
    L"UserDisabledWebProtection",
    L"UserDisabled_FirewallProtection",
    L"UserEnabledApplicationControl",
    L"UserEnabledAutoScan",
    L"UserEnabledPowerShellExploitProtection",
    L"UserEnabledPrivacyProtection",
    L"UserEnabledProtection",
    L"UserEnabledRestrictMalwareConfig",
    L"UserEnabledRestrictedDevicesConfig",
    L"UserEnabledSchedular",
    L"UserEnabledWebProtection",
    L"UserEnabled_FirewallProtection",
    L"UserInitiatedBackup",
    L"UserInitiatedCleanupScan",
    L"UserInitiatedCustomScan",
    L"UserInitiatedFullScan",
    L"UserInitiatedQuickScan",
    L"UserInitiatedRestore",
    L"UserInitiatedScan",
    L"UserInitiatedShellBackup",
    L"UserInitiatedShellScan",
    L"UserInitiatedSystemScan",
    L"UserInvitedDevice_",
    L"UserOpendedTheConsole",
    L"UserOpendedTheConsoleFromSetupLauncher",
    L"UserOpendedTheConsoleFromShurtcut",
    L"UserOpendedTheConsoleFromTray",
    L"UserRestoredFromQuarantine",
    L"UserSuspendedTheScanner",
    L"UserUpdatedDevice",
    L"UserVisitedAboutPage",
    L"DevicesEvent",
    L"UserVisitedHistoryReport",
    L"UserVisitedPIESummaryReport",
    L"UserVisitedQuarantinePage",
    L"UserVisitedShowAppsReport",
    L"UserVisitedSummaryReport",
    L"UserVisitedSupportPage",
    L"Vulnerability",
    L"VulnerabilityIssuesFixed",
    L"VulnerabilityIssuesReported",
    L"_UninstallCompleted_",
    L"_UninstallError_",
    L"_UninstallOverallError_",
    L"_UninstallStarted",
    L"",
};

}  // namespace SharedNames
