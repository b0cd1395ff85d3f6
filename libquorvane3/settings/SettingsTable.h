// Every setting of the settings file, one row each, in the order of the first start's
// file. The table drives the reading and checking of the file (SettingsCheck), the first
// start's file (QuorvaneSettings), the ranges of command parameters that set the same
// values (ValueRules), the parts' own defaults, the reload and the documentation; the host
// adds how each is applied, keyed by the element. A new setting is a row here plus the
// places that use it.
//
// Constant data and pure functions; any thread.
#ifndef QUORVANE_SETTINGS_SETTINGSTABLE_H
#define QUORVANE_SETTINGS_SETTINGSTABLE_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "settings/SettingRow.h"

namespace quorvane {

class SettingsTable {
public:
    static constexpr int64_t INT32 = INT32_MAX;
    static constexpr int64_t INT64 = INT64_MAX;
    // Seconds that the parts count in milliseconds.
    static constexpr int64_t SECONDS = INT32_MAX / 1000;

    static constexpr SettingRow ROWS[] = {
        {"server-name", SettingRow::TEXT, SettingRow::RELOAD, "", "Quorvane Server", 0, 0, false,
         "the name clients are shown"},
        {"server-password", SettingRow::TEXT, SettingRow::RELOAD, "", nullptr, 0, 0, true,
         "the password users log in with; empty: none"},
        {"root-topic", SettingRow::TEXT, SettingRow::RESTART, "", nullptr, 0, 0, false, "the root channel's topic"},
        {"root-diskquota", SettingRow::NUMBER, SettingRow::RELOAD, "0", nullptr, 0, INT64, false,
         "bytes of files the root channel may hold"},
        {"motd", SettingRow::TEXT, SettingRow::RELOAD, "", nullptr, 0, 0, false,
         "the message of the day, sent to every connection"},
        {"hostport", SettingRow::NUMBER, SettingRow::RESTART, "10300", nullptr, 1, 65535, false,
         "TCP port of every client's command connection"},
        {"soundport", SettingRow::NUMBER, SettingRow::RESTART, "10301", nullptr, 1, 65535, false, "UDP port of voice"},
        {"bind-ip", SettingRow::TEXT, SettingRow::RESTART, "", nullptr, 0, 0, false,
         "the address both ports are bound to, IPv4 or IPv6; empty: every local address"},
        {"max-users", SettingRow::NUMBER, SettingRow::RELOAD, "32767", "500", 0, INT32, false,
         "logged-in users, the administrator not counted"},
        {"allow-channel-creation", SettingRow::BOOLEAN, SettingRow::RELOAD, "true", nullptr, 0, 0, false,
         "whether a join may create a channel"},
        {"allow-operators", SettingRow::BOOLEAN, SettingRow::RELOAD, "true", nullptr, 0, 0, false,
         "whether who creates a channel is its operator"},
        {"server-logging", SettingRow::BOOLEAN, SettingRow::RELOAD, "false", nullptr, 0, 0, false,
         "whether the event log QuorvaneService.log is written"},
        {"admin-enabled", SettingRow::BOOLEAN, SettingRow::RELOAD, "false", nullptr, 0, 0, false,
         "whether the administrator account is in force"},
        {"admin-username", SettingRow::TEXT, SettingRow::RELOAD, "", nullptr, 0, 0, false,
         "the administrator account's name"},
        {"admin-password", SettingRow::TEXT, SettingRow::RELOAD, "", nullptr, 0, 0, true,
         "the administrator account's password"},
        {"files-root", SettingRow::TEXT, SettingRow::RESTART, "", nullptr, 0, 0, false,
         "the directory of the shared files; empty: file sharing off; relative: in the data directory"},
        {"channel-diskquota", SettingRow::NUMBER, SettingRow::RELOAD, "0", nullptr, 0, INT64, false,
         "bytes of files a channel that a join creates may hold"},
        {"max-connections-per-address", SettingRow::NUMBER, SettingRow::RELOAD, "64", nullptr, 0, INT32, false,
         "connections from one address; 0: no limit"},
        {"password-lockout", SettingRow::NUMBER, SettingRow::RELOAD, "10", nullptr, 0, INT32, false,
         "wrong passwords per address and minute; 0: no lockout"},
        {"login-timeout", SettingRow::NUMBER, SettingRow::RELOAD, "60", nullptr, 0, SECONDS, false,
         "seconds to log in; 0: no limit"},
        {"max-channels", SettingRow::NUMBER, SettingRow::RELOAD, "10000", nullptr, 0, INT32, false,
         "channels; 0: no limit"},
        {"command-rate", SettingRow::NUMBER, SettingRow::RELOAD, "20", nullptr, 0, INT32, false,
         "commands a second per connection; 0: no throttle"},
        {"command-burst", SettingRow::NUMBER, SettingRow::RELOAD, "200", nullptr, 0, INT32, false,
         "commands at once after a quiet spell"},
        {"transfer-timeout", SettingRow::NUMBER, SettingRow::RELOAD, "60", nullptr, 0, SECONDS, false,
         "seconds a file transfer may move no byte; 0: no limit"},
        {"max-files-per-channel", SettingRow::NUMBER, SettingRow::RELOAD, "1000", nullptr, 0, INT32, false,
         "shared files of one channel; 0: no limit"},
        {"max-files", SettingRow::NUMBER, SettingRow::RELOAD, "100000", nullptr, 0, INT32, false,
         "shared files of every channel; 0: no limit"},
        // One subscriber's network is at most a /48; a wider one would count many as one.
        {"ipv6-ban-prefix", SettingRow::NUMBER, SettingRow::RELOAD, "64", nullptr, 48, 128, false,
         "bits of an IPv6 address that bans and limits count a client by"},
        {"max-output-queue", SettingRow::NUMBER, SettingRow::RELOAD, "268435456", nullptr, 0, INT64, false,
         "bytes of memory the output of all connections together holds; 0: no limit"},
        {"trust-loopback", SettingRow::BOOLEAN, SettingRow::RELOAD, "true", nullptr, 0, 0, false,
         "whether 127.0.0.1 and ::1 enter protected channels without their password"},
        {"metrics-address", SettingRow::TEXT, SettingRow::RELOAD, "", nullptr, 0, 0, false,
         "HOST:PORT where the metrics are served (an IPv6 host in brackets, or a name); empty: no metrics"},
        {"tls-port", SettingRow::NUMBER, SettingRow::RESTART, "0", nullptr, 0, 65535, false,
         "TCP port where the same protocol runs inside TLS, on bind-ip as hostport; 0: none"},
        {"certificate-file", SettingRow::TEXT, SettingRow::RELOAD, "", nullptr, 0, 0, false,
         "PEM file of the TLS port's certificate, then its chain; relative: in the data directory"},
        {"privatekey-file", SettingRow::TEXT, SettingRow::RELOAD, "", nullptr, 0, 0, false,
         "PEM file of the certificate's private key; relative: in the data directory"},
        {"tls-handshake-timeout", SettingRow::NUMBER, SettingRow::RELOAD, "10", nullptr, 1, 3600, false,
         "seconds a TLS handshake may take before its connection is closed"},
        {"static-channels", SettingRow::CHANNELS, SettingRow::RESTART, "",
         "<!--\t<channel>\t\t<name>Channel 1</name>\t\t<password></password>\t\t<topic></topic>"
         "\t\t<diskquota>0</diskquota>\t</channel>\t-->",
         0, 0, true, "the channels that always exist"},
        {"voice-logging", SettingRow::BOOLEAN, SettingRow::RETIRED, "false", nullptr, 0, 0, false,
         "read by no version of this server"},
    };
    static constexpr size_t COUNT = sizeof(ROWS) / sizeof(ROWS[0]);

    // The index of the element's row; COUNT when the table does not know it.
    static constexpr size_t Position(std::string_view element) {
        size_t i = 0;
        while (i < COUNT && element != ROWS[i].element) ++i;
        return i;
    }
    // The element's row; null when the table does not know it.
    static constexpr const SettingRow* Find(std::string_view element) {
        const size_t i = Position(element);
        return i < COUNT ? &ROWS[i] : nullptr;
    }
    static constexpr size_t IndexOf(const SettingRow& row) { return static_cast<size_t>(&row - ROWS); }

    // The missing value of a number row, for the parts' own defaults: a name that is no
    // number row fails to compile where a constant is needed.
    static constexpr int64_t Default(std::string_view element) {
        const size_t i = Position(element);
        if (i == COUNT || ROWS[i].type != SettingRow::NUMBER) throw "no number setting of that name";
        int64_t value = 0;
        for (size_t digit = 0; ROWS[i].missing[digit] != '\0'; ++digit)
            value = value * 10 + (ROWS[i].missing[digit] - '0');
        return value;
    }

    // The element's row, which must be of that type: another name is a fault of the
    // program, which aborts with it.
    static const SettingRow& Require(std::string_view element, SettingRow::Type type);
    // The value the first start's file holds.
    static const char* Initial(const SettingRow& row) { return row.initial != nullptr ? row.initial : row.missing; }
    // What the row takes and when it applies, for lists and manual pages: "a number from 0
    // to 2147483647; absent: 20; a reload applies it".
    static std::string Facts(const SettingRow& row);
    // One line about the row: "command-rate (a number from 0 to 2147483647; absent: 20; a
    // reload applies it): commands a second per connection; 0: no throttle".
    static std::string Describe(const SettingRow& row);
    // Every row but the retired ones, a line each as Describe writes it.
    static std::string List();
};

}  // namespace quorvane

#endif
