#include "SettingsReload.h"

#include <algorithm>
#include <utility>

#include <ace/Guard_T.h>
#include <ace/Reactor.h>

#include "HostLog.h"
#include "ReloadableSettings.h"
#include "ServiceStorage.h"
#include "SettingHooks.h"
#include "listeners/EventLog.h"
#include "network/MetricsServer.h"
#include "network/TlsContext.h"
#include "server/ServerNode.h"

using quorvane::EventLog;
using quorvane::SettingRow;
using quorvane::SettingsTable;
using quorvane::SettingValues;
using quorvane::server::ServerNode;

SettingsReload::SettingsReload(ACE_Reactor* reactor, const Target& target, ReloadableSettings& document,
                               const HostSettings& applied, Begun begun, Ended ended)
    : ACE_Event_Handler(reactor),
      target_(target),
      document_(document),
      started_(applied),
      applied_(applied),
      begun_(std::move(begun)),
      ended_(std::move(ended)),
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

std::string SettingsReload::Change(const SettingRow& row, const HostSettings& fresh) const {
    // A value taken only at start-up still differs until the next start.
    const bool reloads = row.context == SettingRow::RELOAD;
    const std::string& before = (reloads ? applied_ : started_).values.Shown(row);
    const std::string& after = fresh.values.Shown(row);
    if (before == after) return "";
    std::string line = std::string("Reload: ") + row.element + " changed";
    if (!row.secret) {
        line += row.type == SettingRow::TEXT ? " from " + EventLog::Quote(before) + " to " + EventLog::Quote(after)
                                             : " from " + before + " to " + after;
    }
    return line + (reloads ? "." : "; restart the server to apply it.");
}

std::vector<std::string> SettingsReload::Reload() {
    if (begun_) begun_();
    const std::string path = document_.GetFileName();
    ReloadableSettings candidate;
    HostSettings fresh;
    HostSettings::Findings findings;
    std::string message;
    bool valid = ServiceStorage::ReadSettings(candidate, path, message, findings.reason);
    if (!valid) findings.errors.push_back(message);
    else valid = HostSettings::Read(candidate, fresh, findings);
    // The metrics listener moves first, as the one value that can fail to apply: an
    // address that cannot be had keeps the old listener and fails the whole reload, so
    // the next one tries again.
    const std::string& metricsAddress = fresh.values.Text("metrics-address");
    if (valid && metricsAddress != applied_.values.Text("metrics-address")) {
        std::string failure;
        if (metricsAddress.empty()) {
            target_.metrics.Stop();
        } else if (!target_.metrics.Start(metricsAddress, failure)) {
            valid = false;
            findings.errors.push_back("Quorvane service cannot serve its metrics: " + failure + ".");
            findings.reason = "metrics " + failure;
        }
    }
    std::vector<std::string> lines;
    const auto tell = [&](bool error, const std::string& line) {
        lines.push_back(line);
        HostLog::Report(error, line);
        target_.eventLog.Write(line);
    };
    if (!valid) {
        for (const std::string& error : findings.errors) tell(true, "Reload failed, nothing was changed: " + error);
        for (const std::string& unknown : findings.unknown) tell(true, "Reload: " + unknown);
        if (ended_) ended_("last reload failed: " + findings.reason);
        return lines;
    }

    std::vector<std::string> changes;
    {
        target_.node.AssertLoopThread();
        // What administrators changed while the server ran (updateserver, updateadmin)
        // replaces the values last applied.
        SettingHooks::TakeLive(target_.node, applied_.values);
        std::vector<void (*)(ServerNode&, const SettingValues&, bool)> applies;
        for (size_t i = 0; i < SettingHooks::COUNT; ++i) {
            const SettingHooks::Hook& hook = SettingHooks::HOOKS[i];
            const SettingRow* row = SettingsTable::Find(hook.element);
            if (row->context != SettingRow::RELOAD) continue;
            const std::string change = Change(*row, fresh);
            if (change.empty()) continue;
            changes.push_back(change);
            if (hook.apply && std::find(applies.begin(), applies.end(), hook.apply) == applies.end())
                applies.push_back(hook.apply);
        }
        for (const SettingRow& row : SettingsTable::ROWS) {
            const std::string change = row.context == SettingRow::RESTART ? Change(row, fresh) : "";
            if (!change.empty()) changes.push_back(change);
        }
        for (auto apply : applies) apply(target_.node, fresh.values, true);
        // The TLS port's files are read again whether their names changed or not.
        if (started_.TlsPort() != 0 && fresh.tls) {
            target_.node.SetTlsContext(fresh.tls);
            const std::string& before = applied_.tls ? applied_.tls->Describe() : std::string();
            if (fresh.tls->Describe() != before)
                changes.push_back("Reload: the TLS port's certificate is now " + fresh.tls->Describe() +
                                  ", for new connections; those made keep theirs.");
        }
    }
    applied_ = fresh;
    document_.TakeTreeOf(candidate);

    const size_t changed = changes.size();
    changes.push_back("Reload: read " + path + " again; " +
                      (changed == 0 ? std::string("nothing changed.")
                                    : std::to_string(changed) + (changed == 1 ? " value" : " values") + " changed."));
    // Reopened, so that a log that logrotate moved away is started anew.
    std::string logFailure;
    if (!fresh.values.Flag("server-logging")) {
        target_.eventLog.Close();
    } else if (!target_.eventLog.Open(target_.eventLogPath)) {
        logFailure = "Quorvane service failed to open the log file: " + target_.eventLogPath + ".";
    }
    for (const std::string& unknown : findings.unknown) tell(true, "Reload: " + unknown);
    for (const std::string& line : changes) tell(false, line);
    if (!logFailure.empty()) {
        HostLog::Report(true, logFailure);
        lines.push_back(logFailure);
    }
    if (ended_) ended_(logFailure.empty() ? "" : "event log not open");
    return lines;
}
