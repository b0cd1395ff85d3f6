// The shared files list reader: the internal names and the entries of a few channels of
// any document, then a removal and an addition on the loaded tree.
#include <set>
#include <string>
#include <vector>

#include "FuzzXml.h"
#include "settings/FilesList.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    quorvane::FilesList files;
    if (!fuzzing::LoadBytes(files, data, size)) return 0;
    std::set<std::string> names;
    files.GetAllInternalNames(names);
    const char* const paths[] = {"/", "/a/", "/a/b/", ""};
    std::vector<quorvane::FileEntry> entries;
    for (const char* path : paths) {
        entries.clear();
        files.GetChannelElement(path);
        files.ReadFileEntries(path, entries);
        if (!entries.empty()) files.RemoveFileEntry(path, entries.front().name);
    }
    return 0;
}
