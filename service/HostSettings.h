// Every value the host takes from the settings file, read and checked at start-up and
// again by a reload exactly alike: the values of SettingsTable, strictly (SettingsCheck,
// with the host's own checks of SettingHooks), where the ports are bound, and with a TLS
// port the certificate and key, loaded (so a file that a renewal left broken stops a start
// and fails a reload, which keeps the certificate in use).
//
// Threads: plain data; Read runs on the host's thread at start-up and on the main loop's
// thread for a reload, each with a document of its own.
#ifndef QUORVANE_SERVICE_HOSTSETTINGS_H
#define QUORVANE_SERVICE_HOSTSETTINGS_H

#include <memory>
#include <string>
#include <vector>

#include "network/BindAddress.h"
#include "settings/QuorvaneSettings.h"
#include "settings/SettingValues.h"

class TlsContext;

struct HostSettings {
    // What reading a file found.
    struct Findings {
        // Why the file may not be used, each with its line ("Quorvane service found an
        // invalid setting in PATH, line 12: password-lockout is "ten"; it must be ...").
        std::vector<std::string> errors;
        // The short form of the first, for the service's status line ("settings file
        // invalid: password-lockout is "ten"").
        std::string reason;
        // Elements the table does not know: kept, without effect, told once a reading.
        std::vector<std::string> unknown;
    };

    quorvane::SettingValues values;
    BindAddress where;                      // every address unless bind-ip names one
    std::shared_ptr<const TlsContext> tls;  // with a TLS port: its certificate and key

    // Reads and checks every value; false when the file may not be used, with why in
    // findings (unknown elements are told there either way).
    static bool Read(quorvane::QuorvaneSettings& settings, HostSettings& host, Findings& findings);

    int TcpPort() const { return values.Int("hostport"); }
    int UdpPort() const { return values.Int("soundport"); }
    int TlsPort() const { return values.Int("tls-port"); }
    const std::string& BindIp() const { return values.Text("bind-ip"); }
};

#endif
