#pragma once
// The layout of the configuration store: every key, value name and default in one place.
// Code elsewhere names these constants, never the literals.

#include <cstdint>

namespace orvana::cfg {

struct NumberSetting {
    const char* name;
    uint32_t fallback;
};
struct TextSetting {
    const char* name;
    const char* fallback;
};
struct FlagSetting {
    const char* name;
    bool fallback;
};

// Key paths. The root is absolute; the rest are relative to the active configuration.
inline constexpr const char* kRootKey = "Software\\Zelmar\\Orvana\\Config\\";
inline constexpr const char* kDefaultConfigName = "Main";
inline constexpr const char* kUsersKey = "Users\\";          // + user name
inline constexpr const char* kReceiversKey = "Receivers\\";  // + receiver name
inline constexpr const char* kInterfaceKey = "Interface\\";  // + interface text
inline constexpr const char* kDownloadKey = "Download";
inline constexpr const char* kActiveKey = "";  // the active configuration key itself

// At the configuration root.
inline constexpr TextSetting kCurrentConfig{"CurrentConfig", ""};
inline constexpr NumberSetting kLogFile{"LogFile", 0};

// In the active configuration key.
inline constexpr TextSetting kIPAdress{"IPAdress", "0.0.0.0"};
inline constexpr TextSetting kPortServer{"PortServer", "8000"};
inline constexpr NumberSetting kAutoStart{"AutoStart", 0};
inline constexpr TextSetting kPathToServer{"PathToServer", ""};
inline constexpr TextSetting kScripts{"Scripts", ""};
// The RFC 868 time server ("host[:port]") the clock is set from; empty: the clock is left alone.
inline constexpr TextSetting kTimeServer{"TimeServer", ""};  // empty: program folder + "Scripts\"
inline constexpr const char* kScriptsFolderName = "Scripts\\";
inline constexpr TextSetting kVersion{"Version", ""};
inline constexpr const char* kVersionText = "Version 1.4 Build Date: May  4 2009 12:28:08";
inline constexpr NumberSetting kTimeKillLog{"TimeKillLog", 0};
// A client whose frames waiting to be sent pass either bound is cut off. 0: the default.
inline constexpr NumberSetting kClientQueueBytes{"ClientQueueBytes", 4u << 20};
inline constexpr NumberSetting kClientQueueSeconds{"ClientQueueSeconds", 30};
inline constexpr uint32_t kMinClientQueueBytes = 128u << 10;  // a reply of 64 KB fits twice
inline constexpr NumberSetting kModifyLogFileName{"ModifyLogFileName", 24};
inline constexpr uint32_t kMaxLogFileHours = 36;
inline constexpr NumberSetting kViewMaxLine{"ViewMaxLine", 250};
inline constexpr NumberSetting kProCon{"ProCon", 255};
inline constexpr NumberSetting kMainFrameL{"MainFrameL", 0};
inline constexpr NumberSetting kMainFrameT{"MainFrameT", 0};
inline constexpr NumberSetting kMainFrameR{"MainFrameR", 0};
inline constexpr NumberSetting kMainFrameB{"MainFrameB", 0};
inline constexpr NumberSetting kMainFrameCon{"MainFrameCon", 115};
inline constexpr NumberSetting kMainFrameWin{"MainFrameWin", 115};
inline constexpr NumberSetting kXChat{"XChat", 0};
inline constexpr NumberSetting kYChat{"YChat", 0};
inline constexpr NumberSetting kXUserList{"XUserList", 0};
inline constexpr NumberSetting kYUserList{"YUserList", 0};
inline constexpr NumberSetting kXRcvList{"XRcvList", 0};
inline constexpr NumberSetting kYRcvList{"YRcvList", 0};

// Key Download.
inline constexpr NumberSetting kBlockSize{"BlockSize", 2048};
inline constexpr NumberSetting kTimeout{"Timeout", 200};

// Key Users\<name>: defaults when read at login.
inline constexpr FlagSetting kEnableUser{"EnableUser", false};
inline constexpr TextSetting kUserPassword{"Password", ""};
inline constexpr NumberSetting kCountUsr{"CountUsr", 1};
inline constexpr FlagSetting kSuperUser{"SuperUser", true};
inline constexpr TextSetting kAccessRcv{"AccessRcv", "ALL"};
inline constexpr TextSetting kHomeDirectory{"HomeDirectory", ""};
inline constexpr const char* kAccessAll = "ALL";
// What the operator list writes for a new user.
inline constexpr bool kNewUserEnable = false;
inline constexpr const char* kNewUserPassword = "";
inline constexpr uint32_t kNewUserCount = 128;
inline constexpr bool kNewUserSuper = true;
inline constexpr const char* kNewUserAccess = "ALL";
inline constexpr const char* kNewUserHome = "";

// Key Receivers\<name>.
inline constexpr TextSetting kInterface{"Interface", "COM 1"};
inline constexpr FlagSetting kEnableRcv{"EnableRcv", false};
inline constexpr TextSetting kPointName{"PointName", "undefined"};  // information poll
inline constexpr const char* kPointNameAdmin = "Unknown";           // remote administration
inline constexpr TextSetting kComment{"Comment", ""};
inline constexpr NumberSetting kDevError{"DevError", 0};
inline constexpr TextSetting kRecInterval{"RecInterval", ""};
inline constexpr TextSetting kElevationMask{"ElevationMask", ""};
inline constexpr TextSetting kAntType{"AntType", ""};
inline constexpr TextSetting kRadius{"Radius", ""};

// Key Interface\<interface text>.
inline constexpr TextSetting kSpeed{"Speed", "115200"};
inline constexpr const char* kModemSpeed = "9600";
inline constexpr NumberSetting kRTSCTS{"RTSCTS", 1};
inline constexpr NumberSetting kPort{"Port", 8002};
inline constexpr FlagSetting kCheckLogin{"CheckLogin", true};
inline constexpr TextSetting kInterfacePassword{"Password", ""};
inline constexpr FlagSetting kUSEFTP{"USEFTP", false};
inline constexpr FlagSetting kModemType{"ModemType", false};
inline constexpr TextSetting kPhone{"Phone", ""};
inline constexpr TextSetting kPin{"Pin", "None"};
inline constexpr TextSetting kID{"ID", ""};
inline constexpr TextSetting kUsr{"Usr", ""};
inline constexpr const char* kUsrAdmin = "Guest";
inline constexpr TextSetting kRcv{"Rcv", ""};
inline constexpr const char* kRcvAdmin = "None";

// Key Metrics: the Prometheus endpoint, off unless enabled, on the loopback unless told.
inline constexpr const char* kMetricsKey = "Metrics";
inline constexpr FlagSetting kEnableMetrics{"EnableMetrics", false};
inline constexpr NumberSetting kMetricsPort{"Port", 9641};  // 0: any free port
inline constexpr TextSetting kMetricsAddress{"Address", "127.0.0.1"};

// Key Ntrip: the NTRIP caster, off unless enabled.
inline constexpr const char* kNtripKey = "Ntrip";
inline constexpr const char* kMountpointsKey = "Ntrip\\Mountpoints\\";  // + mountpoint name
inline constexpr FlagSetting kEnableCaster{"EnableCaster", false};
inline constexpr NumberSetting kCasterPort{"Port", 2101};
// Empty: the server's own address (IPAdress).
inline constexpr TextSetting kCasterAddress{"Address", ""};
inline constexpr TextSetting kCasterOperator{"Operator", "OrvanaSrv"};

// Key Ntrip\Mountpoints\<name>.
inline constexpr TextSetting kMountReceiver{"Receiver", ""};
// One or more Attach arguments separated by ";": "3,1005:10,1074;2,GGA".
inline constexpr TextSetting kMountMessages{"Messages", "3,1005:10,1074,1084,1094,1124"};
inline constexpr FlagSetting kMountPublic{"Public", false};
inline constexpr FlagSetting kMountRelay{"Relay", false};  // fed by a source, not a receiver
inline constexpr TextSetting kMountSourcePassword{"SourcePassword", ""};
inline constexpr TextSetting kMountIdentifier{"Identifier", ""};
inline constexpr TextSetting kMountFormat{"Format", "RTCM 3.3"};
inline constexpr TextSetting kMountFormatDetails{"FormatDetails", ""};
inline constexpr NumberSetting kMountCarrier{"Carrier", 2};
inline constexpr TextSetting kMountNavSystem{"NavSystem", "GPS+GLO+GAL+BDS"};
inline constexpr TextSetting kMountNetwork{"Network", ""};
inline constexpr TextSetting kMountCountry{"Country", ""};
inline constexpr TextSetting kMountLatitude{"Latitude", "0.00"};
inline constexpr TextSetting kMountLongitude{"Longitude", "0.00"};
inline constexpr NumberSetting kMountNmea{"Nmea", 0};
inline constexpr NumberSetting kMountBitrate{"Bitrate", 0};

// Key Ntrip\Uploads\<name>: a mountpoint's stream pushed to another caster.
inline constexpr const char* kUploadsKey = "Ntrip\\Uploads\\";
inline constexpr TextSetting kUploadMountpoint{"Mountpoint", ""};
inline constexpr TextSetting kUploadHost{"Host", ""};
inline constexpr NumberSetting kUploadPort{"Port", 2101};
inline constexpr TextSetting kUploadRemoteMount{"RemoteMount", ""};  // empty: the same name
inline constexpr TextSetting kUploadUser{"User", ""};
inline constexpr TextSetting kUploadPassword{"Password", ""};
inline constexpr NumberSetting kUploadVersion{"Version", 2};  // 1: "SOURCE", 2: "POST"

}  // namespace orvana::cfg
