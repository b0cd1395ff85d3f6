#include "StartCheck.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <system_error>

#include <ace/Reactor.h>
#include <ace/Select_Reactor.h>

#include "HostSettings.h"
#include "ServiceHost.h"
#include "ServiceStorage.h"
#include "SettingHooks.h"
#include "StartReport.h"
#include "listeners/Persistence.h"
#include "network/MetricsServer.h"
#include "server/ServerNode.h"
#include "settings/QuorvaneSettings.h"

using quorvane::QuorvaneSettings;
using quorvane::SettingValues;

namespace {

bool IsDirectory(const std::string& path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// What the start would say of the files root, and of the event log it appends to.
void CheckFiles(const SettingValues& values, const std::string& dataDirectory, StartCheck::Findings& found) {
    if (dataDirectory.empty()) return;
    const std::string& root = values.Text("files-root");
    const std::string rootPath = root.empty() || root[0] == '/' ? root : dataDirectory + "/" + root;
    // A relative root that is missing is made at the start.
    const bool made = !root.empty() && root[0] != '/' && access(rootPath.c_str(), F_OK) != 0;
    if (!root.empty() && !made && !IsDirectory(rootPath)) {
        found.push_back({false, "The files root " + rootPath +
                                    " is no directory: the start says \"File sharing failed to initialize properly.\" "
                                    "and shares no files."});
    } else if (!root.empty() && !made) {
        const std::string refusal = CheckFilesRoot(rootPath);
        if (!refusal.empty()) found.push_back({false, refusal});
    }
    if (!values.Flag("server-logging")) return;
    const std::string log = dataDirectory + "/QuorvaneService.log";
    const bool exists = access(log.c_str(), F_OK) == 0;
    if (access(exists ? log.c_str() : dataDirectory.c_str(), exists ? W_OK : W_OK | X_OK) != 0)
        found.push_back({false, "Quorvane service failed to open the log file: " + log + " (" +
                                    std::generic_category().message(errno) + "): no event is logged."});
}

// Binds what the server would bind, once; in use is a warning, anything else an error.
void Probe(const HostSettings& host, StartCheck::Findings& found) {
    for (const bool tcp : {true, false}) {
        bool inUse = false;
        const std::string why = ProbePort(tcp, host, inUse);
        if (why.empty()) continue;
        found.push_back({!inUse, inUse ? why + ": the start fails unless it is free by then."
                                       : "The server cannot open its ports: " + why + "."});
    }
    const std::string& address = host.values.Text("metrics-address");
    if (address.empty()) return;
    MetricsServer metrics([] { return std::string(); });
    std::string error;
    if (metrics.Start(address, error)) return;
    const bool inUse = error.find(std::generic_category().message(EADDRINUSE)) != std::string::npos;
    found.push_back({!inUse, "Quorvane service cannot serve its metrics: " + error +
                                 (inUse ? ": the start fails unless it is free by then." : ".")});
}

}  // namespace

StartCheck::Findings StartCheck::Run(QuorvaneSettings& document, const std::string& dataDirectory, bool probe) {
    Findings found;
    HostSettings host;
    HostSettings::Findings read;
    const bool valid = HostSettings::Read(document, host, read);
    for (const std::string& error : read.errors) found.push_back({true, error});
    for (const std::string& unknown : read.unknown) found.push_back({false, unknown});

    // The node of a start, never started: the values that bear on the static channels (the
    // channel limit) as the start gives them, then the channels as the start makes them.
    // The files root is looked at below, without the start's log line.
    {
        ACE_Reactor reactor(new ACE_Select_Reactor, true);
        quorvane::server::ServerNode node(&reactor, &reactor, nullptr, false);
        SettingValues values = host.values;
        values.SetText("files-root", "");
        SettingHooks::ApplyAll(node, values);
        for (const quorvane::SkippedStaticChannel& channel : ApplyStaticChannels(node, values.Channels())) {
            const auto record = channel.records.find(channel.id);
            const int line = record != channel.records.end() ? record->second.line : 0;
            const std::string place = document.GetFileName() + (line > 0 ? ", line " + std::to_string(line) : "");
            found.push_back({false, ServiceStorage::SkippedChannelText(channel, place)});
        }
    }
    CheckFiles(host.values, dataDirectory, found);
    // An invalid file stops the start before it binds anything.
    if (valid && probe) Probe(host, found);
    return found;
}

int StartCheck::Main(const std::string& path, bool missingIsFine, const std::string& dataDirectory, bool probe) {
    QuorvaneSettings document;
    Findings found;
    struct stat info;
    if (missingIsFine && stat(path.c_str(), &info) != 0 && errno == ENOENT) {
        std::printf("%s does not exist: the first start writes it with the defaults, checked here.\n", path.c_str());
        document.TakeDefaults(path);
        found = Run(document, dataDirectory, probe);
    } else {
        std::string message, reason;
        if (ServiceStorage::ReadSettings(document, path, message, reason)) found = Run(document, dataDirectory, probe);
        else found.push_back({true, message});
    }
    size_t errors = 0;
    for (const Finding& finding : found) {
        errors += finding.error ? 1 : 0;
        std::fprintf(stderr, "%s%s\n", finding.error ? "" : "Warning: ", finding.text.c_str());
    }
    const size_t warnings = found.size() - errors;
    if (errors > 0) {
        std::printf("%s: the server would not start from it (%zu %s).\n", path.c_str(), errors,
                    errors == 1 ? "problem" : "problems");
    } else {
        std::printf("%s: the server would start from it%s.\n", path.c_str(),
                    warnings == 0
                        ? ""
                        : (" (" + std::to_string(warnings) + (warnings == 1 ? " warning)" : " warnings)")).c_str());
    }
    std::fflush(stdout);
    return errors > 0 ? ServiceHost::EXIT_NOT_STARTED : ServiceHost::EXIT_OK;
}
