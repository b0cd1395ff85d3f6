#include "SettingsReload.h"

#include <algorithm>

#include <ace/Guard_T.h>
#include <ace/Reactor.h>

#include "HostLog.h"
#include "ReloadableSettings.h"
#include "listeners/EventLog.h"
#include "network/MetricsServer.h"
#include "server/ServerNode.h"

using quorvane::EventLog;
using quorvane::StaticChannelTable;
using quorvane::server::ServerNode;

namespace {

std::string Number(int64_t value) { return std::to_string(value); }
std::string Boolean(bool value) { return value ? "true" : "false"; }

// The static channel tree as one text, only to tell whether it changed.
std::string ChannelTree(const HostSettings& host) {
    std::string text;
    for (StaticChannelTable::const_iterator it = host.staticChannels.begin(); it != host.staticChannels.end(); ++it) {
        const quorvane::StaticChannelRecord& channel = it->second;
        text += Number(channel.id) + "/" + Number(channel.parentid) + "/" + Number(channel.diskquota) + "/" +
                channel.name + "\n" + channel.password + "\n" + channel.topic + "\n";
    }
    return text;
}

void ApplyServerUpdate(SettingsReload::Target& target, const HostSettings& host) {
    // As an administrator's updateserver: every connection gets serverupdate.
    target.node.Properties().UserUpdateServer(host.serverName, host.serverPassword, host.motd,
                                              host.allowChannelCreation, host.allowOperators);
}

void ApplyAdminAccount(SettingsReload::Target& target, const HostSettings& host) {
    target.node.Admin().UserUpdateAdmin(EffectiveAdminName(host), EffectiveAdminPassword(host));
}

// The metrics move before every other value (see Reload).
void MoveMetricsFirst(SettingsReload::Target&, const HostSettings&) {}

void ApplyFileLimits(SettingsReload::Target& target, const HostSettings& host) {
    target.node.Files().SetFileLimits(host.maxFilesPerChannel, host.maxFiles);
}

// The event log follows server-logging after every reload (see Reload).
void FollowEventLog(SettingsReload::Target&, const HostSettings&) {}

}  // namespace

const SettingsReload::Row SettingsReload::ROWS[] = {
    {"server-name", TEXT, [](const HostSettings& h) { return h.serverName; }, ApplyServerUpdate},
    {"server-password", SECRET, [](const HostSettings& h) { return h.serverPassword; }, ApplyServerUpdate},
    {"motd", TEXT, [](const HostSettings& h) { return h.motd; }, ApplyServerUpdate},
    {"allow-channel-creation", PLAIN, [](const HostSettings& h) { return Boolean(h.allowChannelCreation); },
     ApplyServerUpdate},
    {"allow-operators", PLAIN, [](const HostSettings& h) { return Boolean(h.allowOperators); }, ApplyServerUpdate},
    {"admin-enabled", PLAIN, [](const HostSettings& h) { return Boolean(h.adminEnabled); }, ApplyAdminAccount},
    {"admin-username", TEXT, [](const HostSettings& h) { return h.adminUsername; }, ApplyAdminAccount},
    {"admin-password", SECRET, [](const HostSettings& h) { return h.adminPassword; }, ApplyAdminAccount},
    {"max-users", PLAIN, [](const HostSettings& h) { return Number(h.maxUsers); },
     [](Target& t, const HostSettings& h) { t.node.Properties().SetMaxUsers(h.maxUsers); }},
    {"root-diskquota", PLAIN, [](const HostSettings& h) { return Number(h.rootDiskQuota); },
     [](Target& t, const HostSettings& h) { t.node.Channels().SetRootDiskQuota(h.rootDiskQuota); }},
    {"channel-diskquota", PLAIN, [](const HostSettings& h) { return Number(h.channelDiskQuota); },
     [](Target& t, const HostSettings& h) { t.node.Properties().SetChannelDiskQuota(h.channelDiskQuota); }},
    {"max-connections-per-address", PLAIN, [](const HostSettings& h) { return Number(h.maxConnectionsPerAddress); },
     [](Target& t, const HostSettings& h) { t.node.Limits().SetMaxConnectionsPerAddress(h.maxConnectionsPerAddress); }},
    {"password-lockout", PLAIN, [](const HostSettings& h) { return Number(h.passwordLockout); },
     [](Target& t, const HostSettings& h) { t.node.Limits().SetPasswordLockout(h.passwordLockout); }},
    {"login-timeout", PLAIN, [](const HostSettings& h) { return Number(h.loginTimeout); },
     [](Target& t, const HostSettings& h) { t.node.Limits().SetLoginTimeout(h.loginTimeout); }},
    {"max-channels", PLAIN, [](const HostSettings& h) { return Number(h.maxChannels); },
     [](Target& t, const HostSettings& h) { t.node.Channels().SetMaxChannels(h.maxChannels); }},
    {"command-rate", PLAIN, [](const HostSettings& h) { return Number(h.commandRate); },
     [](Target& t, const HostSettings& h) { t.node.Limits().SetCommandRate(h.commandRate, h.commandBurst); }},
    {"command-burst", PLAIN, [](const HostSettings& h) { return Number(h.commandBurst); },
     [](Target& t, const HostSettings& h) { t.node.Limits().SetCommandRate(h.commandRate, h.commandBurst); }},
    {"transfer-timeout", PLAIN, [](const HostSettings& h) { return Number(h.transferTimeout); },
     [](Target& t, const HostSettings& h) { t.node.Transfers().SetTransferTimeout(h.transferTimeout); }},
    {"max-files-per-channel", PLAIN, [](const HostSettings& h) { return Number(h.maxFilesPerChannel); },
     ApplyFileLimits},
    {"max-files", PLAIN, [](const HostSettings& h) { return Number(h.maxFiles); }, ApplyFileLimits},
    {"ipv6-ban-prefix", PLAIN, [](const HostSettings& h) { return Number(h.ipv6BanPrefix); },
     [](Target& t, const HostSettings& h) { t.node.Limits().SetIpv6Prefix(h.ipv6BanPrefix); }},
    {"max-output-queue", PLAIN, [](const HostSettings& h) { return Number(h.maxOutputQueue); },
     [](Target& t, const HostSettings& h) { t.node.Output().SetLimit(h.maxOutputQueue); }},
    {"trust-loopback", PLAIN, [](const HostSettings& h) { return Boolean(h.trustLoopback); },
     [](Target& t, const HostSettings& h) { t.node.Properties().SetTrustLoopback(h.trustLoopback); }},
    {"metrics-address", TEXT, [](const HostSettings& h) { return h.metricsAddress; }, MoveMetricsFirst},
    {"server-logging", PLAIN, [](const HostSettings& h) { return Boolean(h.serverLogging); }, FollowEventLog},
    // Taken only at start-up.
    {"hostport", PLAIN, [](const HostSettings& h) { return Number(h.tcpPort); }, nullptr},
    {"soundport", PLAIN, [](const HostSettings& h) { return Number(h.udpPort); }, nullptr},
    {"bind-ip", TEXT, [](const HostSettings& h) { return h.bindIp; }, nullptr},
    {"files-root", TEXT, [](const HostSettings& h) { return h.filesRoot; }, nullptr},
    {"root-topic", TEXT, [](const HostSettings& h) { return h.rootTopic; }, nullptr},
    {"static-channels", SECRET, ChannelTree, nullptr},
};

SettingsReload::SettingsReload(ACE_Reactor* reactor, const Target& target, ReloadableSettings& document,
                               const HostSettings& applied, Begun begun, Ended ended)
    : ACE_Event_Handler(reactor),
      target_(target),
      document_(document),
      started_(applied),
      applied_(applied),
      begun_(begun),
      ended_(ended),
      pending_(false) {}

SettingsReload::~SettingsReload() { reactor()->purge_pending_notifications(this); }

bool SettingsReload::Request() {
    if (pending_.exchange(true)) return true;
    if (reactor()->notify(this, ACE_Event_Handler::EXCEPT_MASK) == 0) return true;
    pending_ = false;
    return false;
}

int SettingsReload::handle_exception(ACE_HANDLE) {
    pending_ = false;
    Reload();
    return 0;
}

void SettingsReload::TakeLiveValues() {
    ServerNode& node = target_.node;
    applied_.serverName = node.Properties().GetServerName();
    applied_.serverPassword = node.Properties().GetServerPassword();
    applied_.motd = node.Properties().GetMotd();
    applied_.allowChannelCreation = node.Properties().GetAllowChannelCreation();
    applied_.allowOperators = node.Properties().GetAllowOperators();
    applied_.maxUsers = node.Properties().GetMaxUsers();
    applied_.rootDiskQuota = node.Channels().GetRootDiskQuota();
    applied_.channelDiskQuota = node.Properties().GetChannelDiskQuota();
    applied_.maxChannels = node.Channels().GetMaxChannels();
    applied_.maxConnectionsPerAddress = node.Limits().GetMaxConnectionsPerAddress();
    applied_.passwordLockout = node.Limits().GetPasswordLockout();
    applied_.loginTimeout = node.Limits().GetLoginTimeout();
    applied_.commandRate = node.Limits().GetCommandRate();
    applied_.commandBurst = node.Limits().GetCommandBurst();
    applied_.transferTimeout = node.Transfers().GetTransferTimeout();
    applied_.maxFilesPerChannel = node.Files().GetMaxFilesPerChannel();
    applied_.maxFiles = node.Files().GetMaxFiles();
    applied_.ipv6BanPrefix = node.Limits().GetIpv6Prefix();
    applied_.maxOutputQueue = node.Output().GetLimit();
    applied_.trustLoopback = node.Properties().GetTrustLoopback();
    const std::string name = node.Admin().GetAdminUsername();
    const std::string password = node.Admin().GetAdminPassword();
    if (name != EffectiveAdminName(applied_) || password != EffectiveAdminPassword(applied_)) {
        applied_.adminEnabled = !name.empty() || !password.empty();
        applied_.adminUsername = name;
        applied_.adminPassword = password;
    }
}

std::vector<std::string> SettingsReload::Reload() {
    if (begun_) begun_();
    const std::string path = document_.GetFileName();
    ReloadableSettings candidate;
    HostSettings fresh;
    std::string error, reason;
    bool valid = candidate.LoadXMLFile(path) && candidate.HasRootElement();
    if (!valid) {
        const std::string why =
            candidate.HasLoadError() ? candidate.GetErrorText() : "The document has no root element.";
        error = "Quorvane service failed to read settings file: " + path + ". " + why;
        reason = "settings file invalid: " + why;
    } else {
        valid = ReadHostSettings(candidate, fresh, error, reason);
    }
    // The metrics listener moves first, as the one value that can fail to apply: an
    // address that cannot be had keeps the old listener and fails the whole reload, so
    // the next one tries again.
    if (valid && fresh.metricsAddress != applied_.metricsAddress) {
        std::string failure;
        if (fresh.metricsAddress.empty()) {
            target_.metrics.Stop();
        } else if (!target_.metrics.Start(fresh.metricsAddress, failure)) {
            valid = false;
            error = "Quorvane service cannot serve its metrics: " + failure + ".";
            reason = "metrics " + failure;
        }
    }
    std::vector<std::string> lines;
    if (!valid) {
        lines.push_back("Reload failed, nothing was changed: " + error);
        HostLog::Report(true, lines.back());
        target_.eventLog.Write(lines.back());
        if (ended_) ended_("last reload failed: " + reason);
        return lines;
    }

    size_t changed = 0;
    {
        target_.node.AssertLoopThread();
        TakeLiveValues();
        std::vector<void (*)(Target&, const HostSettings&)> applies;
        for (const Row& row : ROWS) {
            // A value taken only at start-up still differs until the next start.
            const std::string before = row.value(row.apply ? applied_ : started_);
            const std::string after = row.value(fresh);
            if (before == after) continue;
            ++changed;
            std::string line = std::string("Reload: ") + row.element + " changed";
            if (row.shown != SECRET) {
                line += row.shown == TEXT ? " from " + EventLog::Quote(before) + " to " + EventLog::Quote(after)
                                          : " from " + before + " to " + after;
            }
            line += row.apply ? "." : "; restart the server to apply it.";
            lines.push_back(line);
            if (row.apply && std::find(applies.begin(), applies.end(), row.apply) == applies.end())
                applies.push_back(row.apply);
        }
        for (auto apply : applies) apply(target_, fresh);
    }
    applied_ = fresh;
    document_.TakeTreeOf(candidate);

    lines.push_back("Reload: read " + path + " again; " +
                    (changed == 0 ? std::string("nothing changed.")
                                  : std::to_string(changed) + (changed == 1 ? " value" : " values") + " changed."));
    // Reopened, so that a log that logrotate moved away is started anew.
    std::string logFailure;
    if (!fresh.serverLogging) {
        target_.eventLog.Close();
    } else if (!target_.eventLog.Open(target_.eventLogPath)) {
        logFailure = "Quorvane service failed to open the log file: " + target_.eventLogPath + ".";
    }
    for (const std::string& line : lines) {
        HostLog::Report(false, line);
        target_.eventLog.Write(line);
    }
    if (!logFailure.empty()) {
        HostLog::Report(true, logFailure);
        lines.push_back(logFailure);
    }
    if (ended_) ended_(logFailure.empty() ? "" : "event log not open");
    return lines;
}
