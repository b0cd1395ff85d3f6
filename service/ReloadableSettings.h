// The settings document that the running server's saves write, with one addition: a
// reload replaces its whole tree by that of a document just read and checked, so that
// a later save keeps what the administrator wrote into the file (ports for the next
// start, say) instead of writing back the tree read at start-up.
//
// Threads: as the settings document (the main loop's thread while the server runs).
#ifndef QUORVANE_SERVICE_RELOADABLESETTINGS_H
#define QUORVANE_SERVICE_RELOADABLESETTINGS_H

#include "settings/QuorvaneSettings.h"

class ReloadableSettings : public quorvane::QuorvaneSettings {
public:
    // Takes a copy of the other document's tree and file name.
    void TakeTreeOf(const ReloadableSettings& other) { document_ = other.document_; }
};

#endif
