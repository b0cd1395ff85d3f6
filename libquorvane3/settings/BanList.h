// "BanList.xml": one <serverban> per ban under <serverbans>, in the order they were added.
#ifndef QUORVANE_SETTINGS_BANLIST_H
#define QUORVANE_SETTINGS_BANLIST_H

#include <string>
#include <vector>

#include "settings/BanEntry.h"
#include "settings/XMLDocument.h"

namespace quorvane {

class BanList : public XMLDocument {
public:
    // A new list holds no ban: its example is inside a comment.
    static const char* const DEFAULT_DOCUMENT;

    bool CreateXMLFile(const std::string& path) override;
    TiXmlElement* GetRootElement() override;
    // Appended (and saved) when the root has none.
    TiXmlElement* GetServerBansElement();

    int CountBanEntries();
    // Removes every child of <serverbans>; does not save.
    void ClearBanEntries();
    // Appends the ban and saves; the result is the save's.
    bool AddBanEntry(const BanEntry& entry);
    // False when there is no ban with that 0-based index; the user id is left as it was.
    bool GetBanEntry(int index, BanEntry& entry);
    void GetBanEntries(std::vector<BanEntry>& list);

private:
    void ReadEntry(const TiXmlElement& ban, BanEntry& entry) const;
};

}  // namespace quorvane

#endif
