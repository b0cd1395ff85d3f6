// The three XML files of the service in its data directory (DataDirectory): loading or creating them at start-up with the reports an
// administrator needs, the tidying of the files root and the stored bans.
//
// Threads: used on the host's thread at start-up and at the end; while the server runs,
// only the node's listener and the storage writer's loop part (both on the main loop's
// thread) touch the documents.
#ifndef QUORVANE_SERVICE_SERVICESTORAGE_H
#define QUORVANE_SERVICE_SERVICESTORAGE_H

#include <string>

#include "ReloadableSettings.h"
#include "listeners/Persistence.h"
#include "settings/BanList.h"
#include "settings/FilesList.h"

namespace quorvane {
class EventLog;
class StorageWriter;
namespace server {
class ServerNode;
}
}  // namespace quorvane

class ServiceStorage {
public:
    static const char* const SETTINGS_FILE_NAME;
    static const char* const BAN_LIST_FILE_NAME;
    static const char* const FILES_LIST_FILE_NAME;
    // Writes of the files list start at least this far apart: its snapshot costs the loop
    // a walk over every entry, and uploads in between are written together.
    enum { FILES_LIST_SPACING_MS = 1000 };

    explicit ServiceStorage(const std::string& directory);

    // Reads the settings file at path into the document: false when it cannot be used
    // (unreadable, not XML, no root element), with the message ("Quorvane service failed
    // to read settings file: PATH. ...") and its short form for a status line.
    static bool ReadSettings(quorvane::QuorvaneSettings& document, const std::string& path, std::string& message,
                             std::string& reason);
    // What is told of a static channel that could not be made; place: where it stands in
    // the file ("PATH, line 12"), empty when not told.
    static std::string SkippedChannelText(const quorvane::SkippedStaticChannel& channel, const std::string& place);

    // First deletes the temporary files that saves cut short by a crash left beside the
    // three files; then loads the settings, or creates the file with the defaults when
    // there is none. False (logged, and the short form in reason) when the file exists but
    // cannot be used: unreadable, not XML, or without a root element.
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
    // Reports each static channel that could not be made (standard error and system log
    // while they are the log's sinks, and the event log); they stay in the file.
    void ReportSkippedChannels(const quorvane::SkippedStaticChannels& skipped, quorvane::EventLog& eventLog);
    // Hands the three documents to the writer: the files list (spaced), the settings, the
    // ban list, the order in which they are written when several wait.
    void AttachTo(quorvane::StorageWriter& writer);

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
