#include "HostSettings.h"

#include "HostLog.h"
#include "network/MetricsServer.h"
#include "settings/ValueRules.h"

using quorvane::QuorvaneSettings;
using quorvane::StaticChannelTable;
using quorvane::ValueRules;
using quorvane::server::ServerNode;

namespace {

// The 32-bit setting getters answer -1 for a missing element.
int OrDefault(int value, int fallback) { return value == -1 ? fallback : value; }

// A present setting outside its range stops start-up rather than being put to some
// other use (a port of 65536 would listen on port 0's random choice, say). The ranges are
// those the server holds clients' values to as well (ValueRules).
bool InRange(QuorvaneSettings& settings, const char* name, int64_t value, std::string& error, std::string& reason) {
    std::string text;
    if (!settings.GetString(settings.GetHostingElement(), name, text) || ValueRules::InRange(name, value)) return true;
    const ValueRules::Range* range = ValueRules::FindRange(name);
    error = "Quorvane service found an invalid setting in " + settings.GetFileName() + ": " + name + " is \"" + text +
            "\"; it must be a number from " + std::to_string(range->low) + " to " + std::to_string(range->high) + ".";
    reason = std::string("settings file invalid: ") + name + " is \"" + text + "\"";
    return false;
}

bool SettingsInRange(QuorvaneSettings& settings, const HostSettings& host, std::string& error, std::string& reason) {
    const struct {
        const char* name;
        int64_t value;
    } values[] = {
        {"hostport", host.tcpPort},
        {"soundport", host.udpPort},
        {"max-users", host.maxUsers},
        {"max-connections-per-address", host.maxConnectionsPerAddress},
        {"password-lockout", host.passwordLockout},
        {"login-timeout", host.loginTimeout},
        {"max-channels", host.maxChannels},
        {"root-diskquota", host.rootDiskQuota},
        {"channel-diskquota", host.channelDiskQuota},
        {"command-rate", host.commandRate},
        {"command-burst", host.commandBurst},
        {"transfer-timeout", host.transferTimeout},
        {"max-files-per-channel", host.maxFilesPerChannel},
        {"max-files", host.maxFiles},
        {"ipv6-ban-prefix", host.ipv6BanPrefix},
        {"max-output-queue", host.maxOutputQueue},
    };
    for (const auto& value : values) {
        if (!InRange(settings, value.name, value.value, error, reason)) return false;
    }
    std::string metricsHost;
    uint16_t metricsPort = 0;
    if (!host.metricsAddress.empty() && !MetricsServer::ParseAddress(host.metricsAddress, metricsHost, metricsPort)) {
        error = "Quorvane service found an invalid setting in " + settings.GetFileName() + ": metrics-address is \"" +
                host.metricsAddress +
                "\"; it must be empty or an address such as 127.0.0.1:10302, with a port from 1 to 65535 (an IPv6 "
                "address in brackets, [::1]:10302, or a host name, localhost:10302).";
        reason = "settings file invalid: metrics-address is \"" + host.metricsAddress + "\"";
        return false;
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
    if (!BindAddress::Parse(host.bindIp, host.where)) {
        error = "This specified IP-address to bind to is invalid.";
        reason = "bind-ip invalid: \"" + host.bindIp + "\"";
        return false;
    }
    host.tcpPort = OrDefault(settings.GetHostPort(), HostSettings::DEFAULT_TCP_PORT);
    host.udpPort = OrDefault(settings.GetSoundPort(), HostSettings::DEFAULT_UDP_PORT);
    host.serverLogging = settings.GetServerLogging();
    host.adminEnabled = settings.GetAdminEnabled();
    host.adminUsername = settings.GetAdminUsername();
    host.adminPassword = settings.GetAdminPassword();
    host.serverName = settings.GetServerName();
    host.serverPassword = settings.GetServerPassword();
    host.motd = settings.GetMotd();
    host.rootTopic = settings.GetRootTopic();
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
    host.commandRate = settings.GetCommandRate();
    host.commandBurst = settings.GetCommandBurst();
    host.transferTimeout = settings.GetTransferTimeout();
    host.maxFilesPerChannel = settings.GetMaxFilesPerChannel();
    host.maxFiles = settings.GetMaxFiles();
    host.ipv6BanPrefix = settings.GetIpv6BanPrefix();
    host.maxOutputQueue = settings.GetMaxOutputQueue();
    host.trustLoopback = settings.GetTrustLoopback();
    host.metricsAddress = settings.GetMetricsAddress();
    host.staticChannels.clear();
    settings.ReadStaticChannels(host.staticChannels);
    return SettingsInRange(settings, host, error, reason);
}

std::string EffectiveAdminName(const HostSettings& host) { return host.adminEnabled ? host.adminUsername : ""; }

std::string EffectiveAdminPassword(const HostSettings& host) { return host.adminEnabled ? host.adminPassword : ""; }

void ApplySettings(ServerNode& node, const HostSettings& host) {
    node.Admin().SetAdminAccount(EffectiveAdminName(host), EffectiveAdminPassword(host));
    node.Properties().SetServerName(host.serverName);
    node.Properties().SetServerPassword(host.serverPassword);
    node.Channels().SetRootDiskQuota(host.rootDiskQuota);
    node.Properties().SetMotd(host.motd);
    node.Properties().SetAllowChannelCreation(host.allowChannelCreation);
    node.Properties().SetAllowOperators(host.allowOperators);
    node.Properties().SetMaxUsers(host.maxUsers);
    node.Properties().SetChannelDiskQuota(host.channelDiskQuota);
    node.Limits().SetMaxConnectionsPerAddress(host.maxConnectionsPerAddress);
    node.Limits().SetPasswordLockout(host.passwordLockout);
    node.Limits().SetLoginTimeout(host.loginTimeout);
    node.Channels().SetMaxChannels(host.maxChannels);
    node.Limits().SetCommandRate(host.commandRate, host.commandBurst);
    node.Limits().SetIpv6Prefix(host.ipv6BanPrefix);
    node.Transfers().SetTransferTimeout(host.transferTimeout);
    node.Files().SetFileLimits(host.maxFilesPerChannel, host.maxFiles);
    node.Output().SetLimit(host.maxOutputQueue);
    node.Properties().SetTrustLoopback(host.trustLoopback);
    if (!host.filesRoot.empty() && !node.Files().SetFilesRoot(host.filesRoot)) {
        HostLog::Error("File sharing failed to initialize properly.");
    }
}
