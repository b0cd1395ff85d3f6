// "FilesList.xml": <channel> elements nested like the channel tree (the root channel's
// named ""), each holding the <file> elements of its shared files.
#ifndef QUORVANE_SETTINGS_FILESLIST_H
#define QUORVANE_SETTINGS_FILESLIST_H

#include <set>
#include <string>
#include <vector>

#include "settings/FileEntry.h"
#include "settings/XMLDocument.h"

namespace quorvane {

class FilesList : public XMLDocument {
public:
    static const char* const DEFAULT_DOCUMENT;

    bool CreateXMLFile(const std::string& path) override;
    TiXmlElement* GetRootElement() override;

    // The channel's element, made (and saved) along the path where missing; none
    // without a root element. Names compare byte for byte.
    TiXmlElement* GetChannelElement(const std::string& channelPath);
    // The channel's element when the document has one; never adds or saves.
    const TiXmlElement* FindChannelElement(const std::string& channelPath) const;
    // Stores the file under the channel, replacing one of the same name; saves. Storing
    // again the file listed there (same name, same internal name) keeps its upload date.
    bool AddFileEntry(const std::string& channelPath, const FileEntry& entry);
    // Removes the file and the channel elements it leaves empty (never the root
    // channel's); saves. True when nothing was listed or the save succeeded.
    bool RemoveFileEntry(const std::string& channelPath, const std::string& filename);
    // Appends the channel's files in document order, with their upload date (0 when
    // there is none). Reads only: a channel without an element has no files.
    void ReadFileEntries(const std::string& channelPath, std::vector<FileEntry>& list) const;
    // The internal names of every listed file, in any channel.
    void GetAllInternalNames(std::set<std::string>& names) const;
    // Every file entry keeps its printed text (see PrintedElement), so that a snapshot of a
    // list of many files costs the loop little more than a walk over its channels.
    void PrepareSnapshots() override;
};

}  // namespace quorvane

#endif
