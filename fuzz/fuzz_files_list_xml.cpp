// The shared files list reader: the internal names and the entries of a few channels of
// any document, then a removal and an addition on the loaded tree; what it saves loads
// again with the same files. And the pieces of the input taken as a file name, a data
// file name and a channel name: each one the server would take comes back exactly.
#include <set>
#include <string>
#include <vector>

#include "FuzzXml.h"
#include "settings/FilesList.h"

namespace {

using quorvane::FileEntry;

std::vector<FileEntry> Entries(const quorvane::FilesList& files, const std::string& path) {
    std::vector<FileEntry> entries;
    files.ReadFileEntries(path, entries);
    return entries;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    quorvane::FilesList files;
    if (fuzzing::LoadBytes(files, data, size)) {
        std::set<std::string> names;
        files.GetAllInternalNames(names);
        const char* const paths[] = {"/", "/a/", "/a/b/", ""};
        for (const char* path : paths) {
            files.GetChannelElement(path);
            const std::vector<FileEntry> entries = Entries(files, path);
            if (!entries.empty()) files.RemoveFileEntry(path, entries.front().name);
        }
        quorvane::FilesList reloaded;
        fuzzing::Reload(files, reloaded);
        for (const char* path : paths) {
            const std::vector<FileEntry> before = Entries(files, path), after = Entries(reloaded, path);
            fuzzing::Check(before.size() == after.size(), "a saved files list lost files");
            for (size_t i = 0; i < before.size(); ++i)
                fuzzing::Check((!fuzzing::Storable(before[i].name) || before[i].name == after[i].name) &&
                                   (!fuzzing::Storable(before[i].internalname) ||
                                    before[i].internalname == after[i].internalname) &&
                                   before[i].filesize == after[i].filesize,
                               "a saved file changed");
        }
    }

    quorvane::FilesList fresh, reloaded;
    fuzzing::LoadText(fresh, quorvane::FilesList::DEFAULT_DOCUMENT);
    std::vector<std::string> values = fuzzing::StorableValues(data, size);
    for (size_t i = 0; i < values.size(); ++i) {
        FileEntry entry;
        entry.name = std::to_string(i) + "#" + values[i];  // names are unique within a channel
        entry.internalname = values[i];
        entry.filesize = static_cast<int64_t>(i);
        fresh.AddFileEntry("/", entry);
        if (!values[i].empty() && values[i].find('/') == std::string::npos)
            fresh.AddFileEntry("/" + values[i] + "/", entry);
    }
    fuzzing::Reload(fresh, reloaded);
    const std::vector<FileEntry> read = Entries(reloaded, "/");
    fuzzing::Check(read.size() == values.size(), "saved files were lost");
    for (size_t i = 0; i < values.size(); ++i) {
        fuzzing::Check(read[i].name == std::to_string(i) + "#" + values[i] && read[i].internalname == values[i],
                       "a name of a file did not come back");
        if (values[i].empty() || values[i].find('/') != std::string::npos) continue;
        const std::vector<FileEntry> inChannel = Entries(reloaded, "/" + values[i] + "/");
        fuzzing::Check(!inChannel.empty() && inChannel.back().internalname == values[i],
                       "a channel name did not come back");
    }
    return 0;
}
