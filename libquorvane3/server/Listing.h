// A long reply that its connection makes as it drains (see OutputSource): the lines of a
// part of the tree, or of the bans, as they were when the command ran, each shared with
// the object it describes and with every other listing that took it. Until it has sent
// them, a listing holds a pointer to each line (sixteen bytes a line), or shares one list
// of pointers with the listings of the same snapshot (the whole tree's channels, while it
// does not change).
//
// Threads: made on the main loop's thread; then the connection's queue owns it.
#ifndef QUORVANE_SERVER_LISTING_H
#define QUORVANE_SERVER_LISTING_H

#include <memory>
#include <vector>

#include "network/OutputSource.h"
#include "server/ListingLine.h"

namespace quorvane {
namespace server {

class Listing : public OutputSource {
public:
    typedef std::vector<listingline_t> Lines;

    // A list that other listings may share; it counts in the footprint of the listing that
    // holds it alone.
    explicit Listing(std::shared_ptr<const Lines> lines);
    explicit Listing(Lines&& lines) : Listing(std::make_shared<const Lines>(std::move(lines))) {}

    // Appends the line unless it is null (an empty text).
    static void Append(Lines& lines, const listingline_t& line) {
        if (line) lines.push_back(line);
    }
    // Every line, those already made into blocks included.
    const Lines& GetLines() const { return *lines_; }

    bool Produce(size_t budget, ACE_Message_Block*& first, ACE_Message_Block*& last) override;
    size_t Footprint() const override { return footprint_; }

private:
    std::shared_ptr<const Lines> lines_;
    size_t next_ = 0;
    size_t footprint_;
};

}  // namespace server
}  // namespace quorvane

#endif
