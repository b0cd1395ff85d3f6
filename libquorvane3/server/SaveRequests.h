// The saves the parts ask for when the configuration changed: the node implements it,
// since its host's listener keeps the files and is told with the node.
//
// Threads: the main loop's thread, or the host's while no loop runs.
#ifndef QUORVANE_SERVER_SAVEREQUESTS_H
#define QUORVANE_SERVER_SAVEREQUESTS_H

#include "server/ServerNodeListener.h"

namespace quorvane {
namespace server {

class SaveRequests {
public:
    virtual ~SaveRequests() = default;
    // After a change of the configuration: saves it when saving on change.
    virtual void SaveIfSavingOnChange() = 0;
    // A ban or an unban: the ban table is kept at once.
    virtual void BansChanged() = 0;
    // The administrator's "saveconfig": done is told whether every file was written (on
    // this thread, perhaps later).
    virtual void UserSaveConfig(const ServerNodeListener::SaveDone& done) = 0;
};

}  // namespace server
}  // namespace quorvane

#endif
