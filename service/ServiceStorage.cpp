#include "ServiceStorage.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <set>
#include <system_error>
#include <vector>

#include <ace/Log_Msg.h>

#include "listeners/EventLog.h"
#include "listeners/Persistence.h"
#include "listeners/StorageWriter.h"
#include "server/ServerNode.h"

using quorvane::EventLog;
using quorvane::XMLDocument;

const char* const ServiceStorage::SETTINGS_FILE_NAME = "QuorvaneService.xml";
const char* const ServiceStorage::BAN_LIST_FILE_NAME = "BanList.xml";
const char* const ServiceStorage::FILES_LIST_FILE_NAME = "FilesList.xml";

namespace {

void LogError(const std::string& text) { ACE_LOG_MSG->log(LM_ERROR, "%s\n", text.c_str()); }

bool Exists(const std::string& path) {
    struct stat info;
    return lstat(path.c_str(), &info) == 0 || errno != ENOENT;
}

// Whether the name is prefix, decimal digits and ".dat".
bool IsNumberedName(const std::string& name, const std::string& prefix) {
    const std::string suffix = ".dat";
    if (name.size() <= prefix.size() + suffix.size() || name.compare(0, prefix.size(), prefix) != 0 ||
        name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0)
        return false;
    for (size_t i = prefix.size(); i < name.size() - suffix.size(); ++i)
        if (name[i] < '0' || name[i] > '9') return false;
    return true;
}

}  // namespace

ServiceStorage::ServiceStorage(const std::string& directory) : directory_(directory) {}

bool ServiceStorage::ReadSettings(quorvane::QuorvaneSettings& document, const std::string& path, std::string& message,
                                  std::string& reason) {
    const bool loaded = document.LoadXMLFile(path);
    if (loaded && document.HasRootElement()) return true;
    const std::string why = loaded ? "the document has no root element" : document.GetErrorText();
    message = "Quorvane service failed to read settings file: " + path + ". " +
              (loaded ? "The document has no root element." : why);
    reason = "settings file invalid: " + why;
    return false;
}

bool ServiceStorage::LoadSettings(std::string& reason) {
    // A save that a crash cut short left its temporary file, passwords inside.
    for (const char* name : {SETTINGS_FILE_NAME, BAN_LIST_FILE_NAME, FILES_LIST_FILE_NAME})
        for (const std::string& removed : XMLDocument::RemoveCutSaves(directory_ + "/" + name))
            ACE_LOG_MSG->log(LM_INFO, "Deleted %s, left by a save cut short.\n", removed.c_str());
    const std::string path = directory_ + "/" + SETTINGS_FILE_NAME;
    if (!Exists(path)) {
        if (settings_.CreateXMLFile(path)) settings_.SetDefaultSettings();
        else LogError("Quorvane service failed to create settings file: " + path + ".");
        return true;
    }
    // A file that is there but cannot be used must not start the server on defaults
    // (an empty server password among them).
    std::string message;
    if (ReadSettings(settings_, path, message, reason)) return true;
    LogError(message);
    return false;
}

void ServiceStorage::LoadList(XMLDocument& list, const std::string& path, const char* kind, bool toStandardError) {
    auto report = [toStandardError](const std::string& text) {
        if (toStandardError) fprintf(stderr, "%s", text.c_str());
        else LogError(text);
    };
    if (Exists(path)) {
        if (list.LoadXMLFile(path)) return;
        report(std::string("Quorvane service failed to read ") + kind + " file: " + path + ". " + list.GetErrorText());
        const std::string kept = path + ".broken";
        if (rename(path.c_str(), kept.c_str()) != 0) {
            list.ForgetFile();  // left as it is: no save may replace it
            return;
        }
        LogError("The unreadable file is kept as " + kept + ".");
    }
    if (!list.CreateXMLFile(path))
        report(std::string("Quorvane service failed to create ") + kind + " file: " + path + ".");
}

void ServiceStorage::LoadLists() {
    LoadList(banList_, directory_ + "/" + BAN_LIST_FILE_NAME, "ban-list", false);
    LoadList(filesList_, directory_ + "/" + FILES_LIST_FILE_NAME, "files-list", true);
}

void ServiceStorage::TidyFilesRoot(const std::string& filesRoot, EventLog& eventLog) {
    if (filesRoot.empty()) return;
    std::set<std::string> listed;
    filesList_.GetAllInternalNames(listed);
    DIR* directory = opendir(filesRoot.c_str());
    if (!directory) return;
    std::vector<std::string> names;
    while (const struct dirent* entry = readdir(directory)) names.push_back(entry->d_name);
    closedir(directory);
    for (const std::string& name : names) {
        const std::string path = filesRoot + "/" + name;
        std::string text;
        if (IsNumberedName(name, "tmp_")) {
            text = unlink(path.c_str()) == 0 ? "Deleted the unfinished upload " + path + " of an earlier run."
                                             : "Could not delete the unfinished upload " + path + ": " +
                                                   std::generic_category().message(errno) + ".";
        } else if (IsNumberedName(name, "data_") && listed.count(name) == 0) {
            text = "Kept " + path + ", which no shared file names.";
        } else {
            continue;
        }
        ACE_LOG_MSG->log(LM_INFO, "%s\n", text.c_str());
        eventLog.Write(text);
    }
}

void ServiceStorage::AddStoredBans(quorvane::server::ServerNode& node) {
    std::vector<quorvane::BanEntry> entries;
    banList_.GetBanEntries(entries);
    for (const quorvane::BanEntry& entry : entries) {
        const quorvane::server::BanRecord ban = quorvane::ToBanRecord(entry);
        node.Bans().AddBan(ban.ipAddress, ban);
    }
}

void ServiceStorage::ReportSkippedChannels(const quorvane::SkippedStaticChannels& skipped, EventLog& eventLog) {
    for (const quorvane::SkippedStaticChannel& channel : skipped) {
        const std::string text = SkippedChannelText(channel, "");
        LogError(text);
        eventLog.Write(text);
    }
}

std::string ServiceStorage::SkippedChannelText(const quorvane::SkippedStaticChannel& channel,
                                               const std::string& place) {
    return "Quorvane service could not make the static channel " + channel.path +
           (place.empty() ? "" : " (" + place + ")") + ": " + channel.reason + ". It stays in the settings file.";
}

void ServiceStorage::AttachTo(quorvane::StorageWriter& writer) {
    writer.Attach(filesList_, "files-list", FILES_LIST_SPACING_MS);
    writer.Attach(settings_, "settings");
    writer.Attach(banList_, "ban-list");
}
