#include "HostSettings.h"

#include <ace/OS_NS_arpa_inet.h>

#include "HostLog.h"

using quorvane::QuorvaneSettings;
using quorvane::StaticChannelTable;
using quorvane::server::ServerNode;

namespace {

// Dotted IPv4 text to a host-order address. "255.255.255.255" reads as the parser's
// no-address value and is refused with the malformed texts.
bool ParseBindAddress(const std::string& text, ACE_UINT32& address) {
    const ACE_UINT32 networkOrder = ACE_OS::inet_addr(text.c_str());
    if (networkOrder == INADDR_NONE) {
        return false;
    }
    address = ACE_NTOHL(networkOrder);
    return true;
}

// The 32-bit setting getters answer -1 for a missing element.
int OrDefault(int value, int fallback) { return value == -1 ? fallback : value; }

// A present setting outside its range stops start-up rather than being put to some
// other use (a port of 65536 would listen on port 0's random choice, say).
bool InRange(QuorvaneSettings& settings, const char* name, int64_t value, int64_t low, int64_t high,
             std::string& error, std::string& reason) {
    std::string text;
    if (!settings.GetString(settings.GetHostingElement(), name, text) || (value >= low && value <= high)) return true;
    error = "Quorvane service found an invalid setting in " + settings.GetFileName() + ": " + name + " is \"" + text +
            "\"; it must be a number from " + std::to_string(low) + " to " + std::to_string(high) + ".";
    reason = std::string("settings file invalid: ") + name + " is \"" + text + "\"";
    return false;
}

bool SettingsInRange(QuorvaneSettings& settings, const HostSettings& host, std::string& error, std::string& reason) {
    const int64_t MAX = INT64_MAX;
    const struct {
        const char* name;
        int64_t value;
        int64_t low;
        int64_t high;
    } ranges[] = {
        {"hostport", host.tcpPort, 1, 65535},
        {"soundport", host.udpPort, 1, 65535},
        {"max-users", host.maxUsers, 0, INT32_MAX},
        {"max-connections-per-address", host.maxConnectionsPerAddress, 0, INT32_MAX},
        {"password-lockout", host.passwordLockout, 0, INT32_MAX},
        {"login-timeout", host.loginTimeout, 0, INT32_MAX / 1000},
        {"max-channels", host.maxChannels, 0, INT32_MAX},
        {"root-diskquota", host.rootDiskQuota, 0, MAX},
        {"channel-diskquota", host.channelDiskQuota, 0, MAX},
    };
    for (const auto& range : ranges) {
        if (!InRange(settings, range.name, range.value, range.low, range.high, error, reason)) return false;
    }
    for (StaticChannelTable::const_iterator it = host.staticChannels.begin(); it != host.staticChannels.end(); ++it) {
        if (it->second.diskquota >= 0) continue;
        error = "Quorvane service found an invalid setting in " + settings.GetFileName() +
                ": the diskquota of a static channel is " + std::to_string(it->second.diskquota) +
                "; it must not be negative.";
        reason = "settings file invalid: negative diskquota of a static channel";
        return false;
    }
    return true;
}

}  // namespace

bool ReadHostSettings(QuorvaneSettings& settings, HostSettings& host, std::string& error, std::string& reason) {
    host.bindIp = settings.GetBindIP();
    if (!host.bindIp.empty() && !ParseBindAddress(host.bindIp, host.address)) {
        error = "This specified IP-address to bind to is invalid.";
        reason = "bind-ip invalid: \"" + host.bindIp + "\"";
        return false;
    }
    host.tcpPort = OrDefault(settings.GetHostPort(), HostSettings::DEFAULT_TCP_PORT);
    host.udpPort = OrDefault(settings.GetSoundPort(), HostSettings::DEFAULT_UDP_PORT);
    host.serverLogging = settings.GetServerLogging();
    host.voiceLogging = settings.GetVoiceLogging();
    host.adminEnabled = settings.GetAdminEnabled();
    host.adminUsername = settings.GetAdminUsername();
    host.adminPassword = settings.GetAdminPassword();
    host.serverName = settings.GetServerName();
    host.serverPassword = settings.GetServerPassword();
    host.motd = settings.GetMotd();
    host.rootTopic = settings.GetRootTopic();
    host.certificateFile = settings.GetCertificateFile();
    host.privateKeyFile = settings.GetPrivateKeyFile();
    host.allowChannelCreation = settings.GetAllowChannelCreation();
    host.allowOperators = settings.GetAllowOperators();
    host.maxUsers = OrDefault(settings.GetMaxUsers(), HostSettings::DEFAULT_MAX_USERS);
    host.filesRoot = settings.GetFilesRoot();
    host.rootDiskQuota = settings.GetRootDiskQuota();
    host.channelDiskQuota = settings.GetChannelDiskQuota();
    host.maxConnectionsPerAddress = settings.GetMaxConnectionsPerAddress();
    host.passwordLockout = settings.GetPasswordLockout();
    host.loginTimeout = settings.GetLoginTimeout();
    host.maxChannels = settings.GetMaxChannels();
    host.staticChannels.clear();
    settings.ReadStaticChannels(host.staticChannels);
    return SettingsInRange(settings, host, error, reason);
}

std::string EffectiveAdminName(const HostSettings& host) { return host.adminEnabled ? host.adminUsername : ""; }

std::string EffectiveAdminPassword(const HostSettings& host) { return host.adminEnabled ? host.adminPassword : ""; }

void ApplySettings(ServerNode& node, const HostSettings& host) {
    node.SetAdminAccount(EffectiveAdminName(host), EffectiveAdminPassword(host));
    node.SetServerName(host.serverName);
    node.SetServerPassword(host.serverPassword);
    node.SetRootDiskQuota(host.rootDiskQuota);
    node.SetMotd(host.motd);
    node.SetAllowChannelCreation(host.allowChannelCreation);
    node.SetAllowOperators(host.allowOperators);
    node.SetMaxUsers(host.maxUsers);
    node.SetChannelDiskQuota(host.channelDiskQuota);
    node.SetMaxConnectionsPerAddress(host.maxConnectionsPerAddress);
    node.SetPasswordLockout(host.passwordLockout);
    node.SetLoginTimeout(host.loginTimeout);
    node.SetMaxChannels(host.maxChannels);
    if (!host.filesRoot.empty() && !node.SetFilesRoot(host.filesRoot)) {
        HostLog::Error("File sharing failed to initialize properly.");
    }
}
