#include "SettingsReload.h"

#include <algorithm>

#include <ace/Guard_T.h>
#include <ace/Reactor.h>

#include "HostLog.h"
#include "ReloadableSettings.h"
#include "listeners/EventLog.h"
#include "server/ServerNode.h"

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

// A value on one log line, quoted, with line breaks shown as \n.
std::string Quoted(const std::string& value) {
    std::string out = "\"";
    for (char c : value) {
        if (c == '\n') out += "\\n";
        else if (c == '\r') out += "\\r";
        else out += c;
    }
    return out + "\"";
}

void ApplyServerUpdate(SettingsReload::Target& target, const HostSettings& host) {
    // As an administrator's updateserver: every connection gets serverupdate.
    target.node.UserUpdateServer(host.serverName, host.serverPassword, host.motd, host.allowChannelCreation,
                                 host.allowOperators);
}

void ApplyAdminAccount(SettingsReload::Target& target, const HostSettings& host) {
    target.node.UserUpdateAdmin(EffectiveAdminName(host), EffectiveAdminPassword(host));
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
     [](Target& t, const HostSettings& h) { t.node.SetMaxUsers(h.maxUsers); }},
    {"root-diskquota", PLAIN, [](const HostSettings& h) { return Number(h.rootDiskQuota); },
     [](Target& t, const HostSettings& h) { t.node.SetRootDiskQuota(h.rootDiskQuota); }},
    {"channel-diskquota", PLAIN, [](const HostSettings& h) { return Number(h.channelDiskQuota); },
     [](Target& t, const HostSettings& h) { t.node.SetChannelDiskQuota(h.channelDiskQuota); }},
    {"max-connections-per-address", PLAIN, [](const HostSettings& h) { return Number(h.maxConnectionsPerAddress); },
     [](Target& t, const HostSettings& h) { t.node.SetMaxConnectionsPerAddress(h.maxConnectionsPerAddress); }},
    {"password-lockout", PLAIN, [](const HostSettings& h) { return Number(h.passwordLockout); },
     [](Target& t, const HostSettings& h) { t.node.SetPasswordLockout(h.passwordLockout); }},
    {"login-timeout", PLAIN, [](const HostSettings& h) { return Number(h.loginTimeout); },
     [](Target& t, const HostSettings& h) { t.node.SetLoginTimeout(h.loginTimeout); }},
    {"max-channels", PLAIN, [](const HostSettings& h) { return Number(h.maxChannels); },
     [](Target& t, const HostSettings& h) { t.node.SetMaxChannels(h.maxChannels); }},
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
    : ACE_Event_Handler(reactor), target_(target), document_(document), started_(applied), applied_(applied),
      begun_(begun), ended_(ended), pending_(false) {}

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
    applied_.serverName = node.GetServerName();
    applied_.serverPassword = node.GetServerPassword();
    applied_.motd = node.GetMotd();
    applied_.allowChannelCreation = node.GetAllowChannelCreation();
    applied_.allowOperators = node.GetAllowOperators();
    applied_.maxUsers = node.GetMaxUsers();
    applied_.rootDiskQuota = node.GetRootDiskQuota();
    applied_.channelDiskQuota = node.GetChannelDiskQuota();
    applied_.maxChannels = node.GetMaxChannels();
    const std::string name = node.GetAdminUsername();
    const std::string password = node.GetAdminPassword();
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
        const std::string why = candidate.HasLoadError() ? candidate.GetErrorText() : "The document has no root element.";
        error = "Quorvane service failed to read settings file: " + path + ". " + why;
        reason = "settings file invalid: " + why;
    } else {
        valid = ReadHostSettings(candidate, fresh, error, reason);
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
        ACE_Guard<ACE_Recursive_Thread_Mutex> guard(target_.node.GetLock());
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
                line += row.shown == TEXT ? " from " + Quoted(before) + " to " + Quoted(after)
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
