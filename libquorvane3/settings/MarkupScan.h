// A quick look at the raw text of an XML file, without parsing it: how deep its elements
// nest (checked before the parser recurses into them), and, for a file the parser refused,
// the first fault with the line and column where it begins. The parser tells where it
// noticed a fault, which for an element never closed is the next end tag or the end of
// the file; this tells where the element was opened.
//
// Pure functions; any thread.
#ifndef QUORVANE_SETTINGS_MARKUPSCAN_H
#define QUORVANE_SETTINGS_MARKUPSCAN_H

#include <cstddef>
#include <string>

namespace quorvane {

class MarkupScan {
public:
    struct Fault {
        std::string what;  // "<hosting> is not closed"
        int line = 0;      // from 1
        int column = 0;    // from 1
    };

    // Roughly how deep the elements nest.
    static size_t NestingDepth(const std::string& text);
    // The first comment, section, declaration or tag that is not closed, a "<" that
    // starts no tag, or an end tag that closes another element than the last one
    // opened; false when the markup shows none of these.
    static bool FindFault(const std::string& text, Fault& fault);
};

}  // namespace quorvane

#endif
