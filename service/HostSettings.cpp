#include "HostSettings.h"

#include "SettingHooks.h"
#include "network/TlsContext.h"
#include "settings/SettingsCheck.h"

using quorvane::SettingsCheck;

// A value with a problem stops start-up rather than being put to some other use (a port
// of 65536 would listen on port 0's random choice, say).
bool HostSettings::Read(quorvane::QuorvaneSettings& settings, HostSettings& host, Findings& findings) {
    const SettingsCheck::Problems problems = SettingsCheck::Read(settings, host.values, SettingHooks::Checks());
    host.where = BindAddress();
    if (!BindAddress::Parse(host.BindIp(), host.where)) {
        findings.errors.push_back("This specified IP-address to bind to is invalid.");
        findings.reason = "bind-ip invalid: \"" + host.BindIp() + "\"";
    }
    host.tls.reset();
    if (host.TlsPort() != 0) {
        std::string error;
        host.tls = TlsContext::Load(host.values.Text("certificate-file"), host.values.Text("privatekey-file"), error);
        if (!host.tls) {
            findings.errors.push_back("Quorvane service cannot use the certificate of its TLS port: " + error + ".");
            findings.reason = "TLS certificate: " + error;
        }
    }
    const std::string file = settings.GetFileName();
    for (const SettingsCheck::Problem& problem : problems) {
        const std::string place = file + (problem.line > 0 ? ", line " + std::to_string(problem.line) : "");
        const std::string text = place + ": " + problem.Text() + ".";
        if (problem.unknown) {
            findings.unknown.push_back("Quorvane service found an unknown setting in " + text);
            continue;
        }
        findings.errors.push_back("Quorvane service found an invalid setting in " + text);
        if (findings.reason.empty()) findings.reason = "settings file invalid: " + problem.subject;
    }
    return findings.errors.empty();
}
