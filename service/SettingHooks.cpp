#include "SettingHooks.h"

#include <algorithm>

#include "HostLog.h"
#include "network/MetricsServer.h"
#include "server/ServerNode.h"
#include "settings/SettingValues.h"

using quorvane::SettingRow;
using quorvane::SettingsTable;
using quorvane::SettingValues;
using quorvane::server::ServerNode;

namespace {

std::string MetricsAddressCheck(const std::string& text) {
    std::string host;
    uint16_t port = 0;
    if (text.empty() || MetricsServer::ParseAddress(text, host, port)) return "";
    return "it must be empty or an address such as 127.0.0.1:10302, with a port from 1 to 65535 (an IPv6 address "
           "in brackets, [::1]:10302, or a host name, localhost:10302)";
}

void ApplyServer(ServerNode& node, const SettingValues& v, bool reload) {
    if (reload) {
        // As an administrator's updateserver: every connection gets serverupdate.
        node.Properties().UserUpdateServer(v.Text("server-name"), v.Text("server-password"), v.Text("motd"),
                                           v.Flag("allow-channel-creation"), v.Flag("allow-operators"));
        return;
    }
    node.Properties().SetServerName(v.Text("server-name"));
    node.Properties().SetServerPassword(v.Text("server-password"));
    node.Properties().SetMotd(v.Text("motd"));
    node.Properties().SetAllowChannelCreation(v.Flag("allow-channel-creation"));
    node.Properties().SetAllowOperators(v.Flag("allow-operators"));
}

void LiveServer(ServerNode& node, SettingValues& v) {
    v.SetText("server-name", node.Properties().GetServerName());
    v.SetText("server-password", node.Properties().GetServerPassword());
    v.SetText("motd", node.Properties().GetMotd());
    v.SetFlag("allow-channel-creation", node.Properties().GetAllowChannelCreation());
    v.SetFlag("allow-operators", node.Properties().GetAllowOperators());
}

void ApplyAdmin(ServerNode& node, const SettingValues& v, bool reload) {
    const std::string name = SettingHooks::AdminName(v), password = SettingHooks::AdminPassword(v);
    if (reload) node.Admin().UserUpdateAdmin(name, password);
    else node.Admin().SetAdminAccount(name, password);
}

// The account as updateadmin left it replaces the one last applied; one that is only
// disabled in the file reads as it was.
void LiveAdmin(ServerNode& node, SettingValues& v) {
    const std::string name = node.Admin().GetAdminUsername(), password = node.Admin().GetAdminPassword();
    if (name == SettingHooks::AdminName(v) && password == SettingHooks::AdminPassword(v)) return;
    v.SetFlag("admin-enabled", !name.empty() || !password.empty());
    v.SetText("admin-username", name);
    v.SetText("admin-password", password);
}

void ApplyCommandRate(ServerNode& node, const SettingValues& v, bool) {
    node.Limits().SetCommandRate(v.Int("command-rate"), v.Int("command-burst"));
}

void ApplyFileLimits(ServerNode& node, const SettingValues& v, bool) {
    node.Files().SetFileLimits(v.Int("max-files-per-channel"), v.Int("max-files"));
}

// Only a start takes it: a root that is no directory is logged and leaves sharing off.
void ApplyFilesRoot(ServerNode& node, const SettingValues& v, bool) {
    const std::string& root = v.Text("files-root");
    if (!root.empty() && !node.Files().SetFilesRoot(root))
        HostLog::Error("File sharing failed to initialize properly.");
}

constexpr SettingHooks::Hook TABLE[] = {
    {"server-name", nullptr, ApplyServer, LiveServer},
    {"server-password", nullptr, ApplyServer, LiveServer},
    {"motd", nullptr, ApplyServer, LiveServer},
    {"allow-channel-creation", nullptr, ApplyServer, LiveServer},
    {"allow-operators", nullptr, ApplyServer, LiveServer},
    {"admin-enabled", nullptr, ApplyAdmin, LiveAdmin},
    {"admin-username", nullptr, ApplyAdmin, LiveAdmin},
    {"admin-password", nullptr, ApplyAdmin, LiveAdmin},
    {"max-users", nullptr,
     [](ServerNode& n, const SettingValues& v, bool) { n.Properties().SetMaxUsers(v.Int("max-users")); },
     [](ServerNode& n, SettingValues& v) { v.SetNumber("max-users", n.Properties().GetMaxUsers()); }},
    {"root-diskquota", nullptr,
     [](ServerNode& n, const SettingValues& v, bool) { n.Channels().SetRootDiskQuota(v.Number("root-diskquota")); },
     [](ServerNode& n, SettingValues& v) { v.SetNumber("root-diskquota", n.Channels().GetRootDiskQuota()); }},
    {"channel-diskquota", nullptr,
     [](ServerNode& n, const SettingValues& v, bool) {
         n.Properties().SetChannelDiskQuota(v.Number("channel-diskquota"));
     },
     [](ServerNode& n, SettingValues& v) { v.SetNumber("channel-diskquota", n.Properties().GetChannelDiskQuota()); }},
    {"max-connections-per-address", nullptr,
     [](ServerNode& n, const SettingValues& v, bool) {
         n.Limits().SetMaxConnectionsPerAddress(v.Int("max-connections-per-address"));
     },
     [](ServerNode& n, SettingValues& v) {
         v.SetNumber("max-connections-per-address", n.Limits().GetMaxConnectionsPerAddress());
     }},
    {"password-lockout", nullptr,
     [](ServerNode& n, const SettingValues& v, bool) { n.Limits().SetPasswordLockout(v.Int("password-lockout")); },
     [](ServerNode& n, SettingValues& v) { v.SetNumber("password-lockout", n.Limits().GetPasswordLockout()); }},
    {"login-timeout", nullptr,
     [](ServerNode& n, const SettingValues& v, bool) { n.Limits().SetLoginTimeout(v.Int("login-timeout")); },
     [](ServerNode& n, SettingValues& v) { v.SetNumber("login-timeout", n.Limits().GetLoginTimeout()); }},
    {"max-channels", nullptr,
     [](ServerNode& n, const SettingValues& v, bool) { n.Channels().SetMaxChannels(v.Int("max-channels")); },
     [](ServerNode& n, SettingValues& v) { v.SetNumber("max-channels", n.Channels().GetMaxChannels()); }},
    {"command-rate", nullptr, ApplyCommandRate,
     [](ServerNode& n, SettingValues& v) { v.SetNumber("command-rate", n.Limits().GetCommandRate()); }},
    {"command-burst", nullptr, ApplyCommandRate,
     [](ServerNode& n, SettingValues& v) { v.SetNumber("command-burst", n.Limits().GetCommandBurst()); }},
    {"transfer-timeout", nullptr,
     [](ServerNode& n, const SettingValues& v, bool) { n.Transfers().SetTransferTimeout(v.Int("transfer-timeout")); },
     [](ServerNode& n, SettingValues& v) { v.SetNumber("transfer-timeout", n.Transfers().GetTransferTimeout()); }},
    {"max-files-per-channel", nullptr, ApplyFileLimits,
     [](ServerNode& n, SettingValues& v) { v.SetNumber("max-files-per-channel", n.Files().GetMaxFilesPerChannel()); }},
    {"max-files", nullptr, ApplyFileLimits,
     [](ServerNode& n, SettingValues& v) { v.SetNumber("max-files", n.Files().GetMaxFiles()); }},
    {"ipv6-ban-prefix", nullptr,
     [](ServerNode& n, const SettingValues& v, bool) { n.Limits().SetIpv6Prefix(v.Int("ipv6-ban-prefix")); },
     [](ServerNode& n, SettingValues& v) { v.SetNumber("ipv6-ban-prefix", n.Limits().GetIpv6Prefix()); }},
    {"max-output-queue", nullptr,
     [](ServerNode& n, const SettingValues& v, bool) { n.Output().SetLimit(v.Number("max-output-queue")); },
     [](ServerNode& n, SettingValues& v) { v.SetNumber("max-output-queue", n.Output().GetLimit()); }},
    {"trust-loopback", nullptr,
     [](ServerNode& n, const SettingValues& v, bool) { n.Properties().SetTrustLoopback(v.Flag("trust-loopback")); },
     [](ServerNode& n, SettingValues& v) { v.SetFlag("trust-loopback", n.Properties().GetTrustLoopback()); }},
    {"tls-handshake-timeout", nullptr,
     [](ServerNode& n, const SettingValues& v, bool) { n.SetHandshakeTimeout(v.Int("tls-handshake-timeout")); },
     [](ServerNode& n, SettingValues& v) { v.SetNumber("tls-handshake-timeout", n.GetHandshakeTimeout()); }},
    // The host loads these (HostSettings) and hands the node the context at the start and
    // at every reload, changed or not: a renewal replaces the files under the same names.
    {"certificate-file", nullptr, nullptr, nullptr},
    {"privatekey-file", nullptr, nullptr, nullptr},
    // The host applies these two itself: the metrics listener moves before every other
    // value of a reload, and the event log follows server-logging after it.
    {"metrics-address", MetricsAddressCheck, nullptr, nullptr},
    {"server-logging", nullptr, nullptr, nullptr},
    {"files-root", nullptr, ApplyFilesRoot, nullptr},
};

constexpr bool HasHook(std::string_view element) {
    for (const SettingHooks::Hook& hook : TABLE)
        if (element == hook.element) return true;
    return false;
}

constexpr bool EveryReloadableRowHasAHook() {
    for (const SettingRow& row : SettingsTable::ROWS)
        if (row.context == SettingRow::RELOAD && !HasHook(row.element)) return false;
    return true;
}

constexpr bool EveryHookHasARow() {
    for (const SettingHooks::Hook& hook : TABLE)
        if (SettingsTable::Position(hook.element) == SettingsTable::COUNT) return false;
    return true;
}

static_assert(EveryReloadableRowHasAHook(), "a setting that a reload applies has no hook in SettingHooks");
static_assert(EveryHookHasARow(), "a hook of SettingHooks names no setting of SettingsTable");

}  // namespace

const SettingHooks::Hook* const SettingHooks::HOOKS = TABLE;
const size_t SettingHooks::COUNT = sizeof(TABLE) / sizeof(TABLE[0]);

const SettingHooks::Hook* SettingHooks::Find(std::string_view element) {
    for (const Hook& hook : TABLE)
        if (element == hook.element) return &hook;
    return nullptr;
}

std::vector<quorvane::SettingsCheck::ExtraCheck> SettingHooks::Checks() {
    std::vector<quorvane::SettingsCheck::ExtraCheck> checks;
    for (const Hook& hook : TABLE)
        if (hook.check) checks.push_back({hook.element, hook.check});
    return checks;
}

void SettingHooks::ApplyAll(ServerNode& node, const SettingValues& values) {
    std::vector<void (*)(ServerNode&, const SettingValues&, bool)> applied;
    for (const Hook& hook : TABLE) {
        if (!hook.apply || std::find(applied.begin(), applied.end(), hook.apply) != applied.end()) continue;
        applied.push_back(hook.apply);
        hook.apply(node, values, false);
    }
}

void SettingHooks::TakeLive(ServerNode& node, SettingValues& values) {
    std::vector<void (*)(ServerNode&, SettingValues&)> taken;
    for (const Hook& hook : TABLE) {
        if (!hook.live || std::find(taken.begin(), taken.end(), hook.live) != taken.end()) continue;
        taken.push_back(hook.live);
        hook.live(node, values);
    }
}

std::string SettingHooks::AdminName(const SettingValues& values) {
    return values.Flag("admin-enabled") ? values.Text("admin-username") : "";
}

std::string SettingHooks::AdminPassword(const SettingValues& values) {
    return values.Flag("admin-enabled") ? values.Text("admin-password") : "";
}
