// One line of a listing that the object it describes keeps while listings hold it: a
// channel's "addchannel", a user's "adduser", a file's "addfile", a ban's "userbanned".
// Built when a listing first needs it and shared by every listing taken until the object
// changes, so that a hundred pending logins hold the channels' lines once. A line replaced
// while listings still hold it is counted as retained until the last of them lets it go:
// the server-wide output bound sees it.
//
// Threads: the main loop's thread (its shared line counts its references without a lock),
// or the host's while no loop runs.
#ifndef QUORVANE_SERVER_LISTINGLINE_H
#define QUORVANE_SERVER_LISTINGLINE_H

#include <atomic>
#include <memory>
#include <string>

#include "network/SharedLine.h"

namespace quorvane {
namespace server {

class ListingLine;
typedef std::shared_ptr<const ListingLine> listingline_t;

class ListingLine {
public:
    explicit ListingLine(const std::string& text) : line_(text) {}
    ~ListingLine();
    ListingLine(const ListingLine&) = delete;
    ListingLine& operator=(const ListingLine&) = delete;

    const SharedLine& Line() const { return line_; }
    size_t Size() const { return line_.Block().length(); }

    // The slot's line while it lives and still describes its object (current); else a new
    // line built by build() (none for an empty text), which the slot keeps from then on.
    template <class BUILD>
    static listingline_t Take(std::weak_ptr<const ListingLine>& slot, bool current, BUILD build) {
        if (listingline_t held = slot.lock()) {
            if (current) return held;
            held->Retire();
        }
        const std::string text = build();
        listingline_t line = text.empty() ? listingline_t() : std::make_shared<const ListingLine>(text);
        slot = line;
        return line;
    }
    // The slot's object changed: the next listing builds its line anew.
    static void Forget(std::weak_ptr<const ListingLine>& slot);
    // Bytes of replaced lines that listings still hold, in the whole process. Any thread.
    static long long RetainedBytesOfAll();

private:
    void Retire() const;

    SharedLine line_;
    mutable std::atomic<bool> retired_{false};
};

}  // namespace server
}  // namespace quorvane

#endif
