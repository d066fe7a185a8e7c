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

}  // namespace SharedNames
