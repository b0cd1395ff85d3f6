// The three XML files of the service in its data directory (systemd's state directory,
// else beside the executable): loading or creating them at start-up with the reports an
// administrator needs, the tidying of the files root, the stored bans, and the ban
// list's save at the end.
//
// Threads: used on the host's thread at start-up and at the end; while the server runs,
// only the node's listener touches the documents.
#ifndef QUORVANE_SERVICE_SERVICESTORAGE_H
#define QUORVANE_SERVICE_SERVICESTORAGE_H

#include <string>

#include "ReloadableSettings.h"
#include "settings/BanList.h"
#include "settings/FilesList.h"

namespace quorvane {
class EventLog;
namespace server {
class ServerNode;
}
}  // namespace quorvane

class ServiceStorage {
public:
    static const char* const SETTINGS_FILE_NAME;
    static const char* const BAN_LIST_FILE_NAME;
    static const char* const FILES_LIST_FILE_NAME;

    explicit ServiceStorage(const std::string& directory);

    // Where the files live: the first directory of $STATE_DIRECTORY when systemd gives
    // the service one (StateDirectory=), else the executable's directory (the current
    // directory when that cannot be read). Without a trailing "/".
    static std::string DataDirectory();

    // Loads the settings, or creates the file with the defaults when there is none.
    // False (logged, and the short form in reason) when the file exists but cannot be
    // used: unreadable, not XML, or without a root element.
    bool LoadSettings(std::string& reason);
    // Loads or creates the ban list and the files list. A broken list is reported, kept
    // beside as "<name>.broken" and replaced by an empty one, so that later saves cannot
    // overwrite what an administrator may still repair; start-up goes on.
    void LoadLists();
    // Deletes the unfinished uploads of an earlier run and reports data files that no
    // list names (they are kept). Each report goes to the log and, when open, the event log.
    void TidyFilesRoot(const std::string& filesRoot, quorvane::EventLog& eventLog);
    // Gives the node every ban of the ban list.
    void AddStoredBans(quorvane::server::ServerNode& node);
    // The shutdown's save of the ban list; a failure is logged.
    void SaveBanList();

    ReloadableSettings& Settings() { return settings_; }
    quorvane::BanList& Bans() { return banList_; }
    quorvane::FilesList& Files() { return filesList_; }

private:
    // Loads the list at path, or creates it; reports through report (the log or standard
    // error) with the list's name in the texts.
    void LoadList(quorvane::XMLDocument& list, const std::string& path, const char* kind, bool toStandardError);

    std::string directory_;
    ReloadableSettings settings_;
    quorvane::BanList banList_;
    quorvane::FilesList filesList_;
};

#endif
