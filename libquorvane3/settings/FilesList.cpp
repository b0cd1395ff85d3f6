#include "settings/FilesList.h"

#include "settings/DateText.h"
#include "settings/PrintedElement.h"

namespace quorvane {

namespace {

const char* const CHANNEL = "channel";
const char* const FILE_ELEMENT = "file";

// The first child element of that name whose "name" attribute is exactly value.
template <class ELEMENT>
ELEMENT* FindNamed(ELEMENT* parent, const char* element, const std::string& value) {
    for (ELEMENT* child = parent->FirstChildElement(element); child; child = child->NextSiblingElement(element)) {
        if (XMLDocument::AttributeTextIs(*child, "name", value)) return child;
    }
    return nullptr;
}

// Calls visit with each name of the channel path, in order; empty runs yield nothing.
template <class VISIT>
void ForEachName(const std::string& channelPath, VISIT visit) {
    size_t start = 0;
    while (start < channelPath.size()) {
        const size_t slash = channelPath.find('/', start);
        const size_t stop = slash == std::string::npos ? channelPath.size() : slash;
        if (stop > start && !visit(channelPath.substr(start, stop - start))) return;
        start = stop + 1;
    }
}

TiXmlElement NamedElement(const char* element, const std::string& name) {
    TiXmlElement named(element);
    XMLDocument::SetAttributeText(named, "name", name);
    return named;
}

}  // namespace

const char* const FilesList::DEFAULT_DOCUMENT =
    "<?xml version=\"1.0\" encoding=\"utf-8\" ?><fileslist version=\"1.0\"></fileslist>";

bool FilesList::CreateXMLFile(const std::string& path) { return CreateFromText(path, DEFAULT_DOCUMENT); }

TiXmlElement* FilesList::GetRootElement() { return RootOrNew("fileslist", "1.0"); }

TiXmlElement* FilesList::GetChannelElement(const std::string& channelPath) {
    TiXmlElement* current = document_.RootElement();
    if (!current) return nullptr;
    TiXmlElement* channel = current->FirstChildElement(CHANNEL);
    if (!channel) channel = ReplaceOrAppendElement(current, NamedElement(CHANNEL, ""));
    ForEachName(channelPath, [&](const std::string& name) {
        TiXmlElement* child = FindNamed(channel, CHANNEL, name);
        channel = child ? child : AppendElement(channel, NamedElement(CHANNEL, name));
        return channel != nullptr;
    });
    return channel;
}

const TiXmlElement* FilesList::FindChannelElement(const std::string& channelPath) const {
    const TiXmlElement* root = document_.RootElement();
    const TiXmlElement* channel = root ? root->FirstChildElement(CHANNEL) : nullptr;
    ForEachName(channelPath, [&](const std::string& name) {
        channel = channel ? FindNamed(channel, CHANNEL, name) : nullptr;
        return channel != nullptr;
    });
    return channel;
}

bool FilesList::AddFileEntry(const std::string& channelPath, const FileEntry& entry) {
    TiXmlElement* channel = GetChannelElement(channelPath);
    if (!channel) return false;
    int64_t uploaddate = entry.uploaddate;
    // Internal names are never reused: the same one under the same name is the same
    // upload, offered again at start-up, and keeps the date it was first stored with.
    const TiXmlElement* listed = FindNamed(static_cast<const TiXmlElement*>(channel), FILE_ELEMENT, entry.name);
    std::string internalname, date;
    if (listed && GetString(listed, "internalname", internalname) && internalname == entry.internalname &&
        GetString(listed, "upload-date", date) && ParseDateTime(date) != 0)
        uploaddate = ParseDateTime(date);
    TiXmlElement file = NamedElement(FILE_ELEMENT, entry.name);
    file.InsertEndChild(MakeTextElement("internalname", entry.internalname));
    file.InsertEndChild(MakeTextElement("filesize", std::to_string(entry.filesize)));
    file.InsertEndChild(MakeTextElement("upload-date", FormatDateTime(uploaddate)));
    return ReplaceOrAppendInTree(channel, PrintedElement(file)) && SaveXMLFile();
}

bool FilesList::RemoveFileEntry(const std::string& channelPath, const std::string& filename) {
    TiXmlElement* channel = GetChannelElement(channelPath);
    TiXmlElement* file = channel ? FindNamed(channel, FILE_ELEMENT, filename) : nullptr;
    if (!file) return true;
    channel->RemoveChild(file);
    const TiXmlNode* root = document_.RootElement();
    while (channel && !channel->FirstChild() && channel->Parent() && channel->Parent() != root) {
        TiXmlNode* parent = channel->Parent();
        parent->RemoveChild(channel);
        channel = parent->ToElement();
    }
    return SaveXMLFile();
}

void FilesList::ReadFileEntries(const std::string& channelPath, std::vector<FileEntry>& list) const {
    const TiXmlElement* channel = FindChannelElement(channelPath);
    if (!channel) return;
    for (const TiXmlElement* file = channel->FirstChildElement(FILE_ELEMENT); file;
         file = file->NextSiblingElement(FILE_ELEMENT)) {
        FileEntry entry;
        GetAttributeText(*file, "name", entry.name);
        GetString(file, "internalname", entry.internalname);
        GetInteger64(file, "filesize", entry.filesize);
        std::string date;
        if (GetString(file, "upload-date", date)) entry.uploaddate = ParseDateTime(date);
        list.push_back(entry);
    }
}

void FilesList::PrepareSnapshots() {
    std::vector<TiXmlElement*> pending;
    if (document_.RootElement()) pending.push_back(document_.RootElement());
    while (!pending.empty()) {
        TiXmlElement* const element = pending.back();
        pending.pop_back();
        for (TiXmlNode* child = element->FirstChild(); child; child = child->NextSibling()) {
            TiXmlElement* const entry = child->ToElement();
            if (!entry) continue;
            if (entry->ValueStr() == CHANNEL) pending.push_back(entry);
            else if (entry->ValueStr() == FILE_ELEMENT && !dynamic_cast<PrintedElement*>(entry))
                child = element->ReplaceChild(child, PrintedElement(*entry));
        }
    }
    // Each entry printed now, while no loop waits for it.
    std::string path;
    TextPieces pieces;
    Snapshot(path, pieces);
}

void FilesList::GetAllInternalNames(std::set<std::string>& names) const {
    std::vector<const TiXmlElement*> pending;
    if (document_.RootElement()) pending.push_back(document_.RootElement());
    while (!pending.empty()) {
        const TiXmlElement* element = pending.back();
        pending.pop_back();
        for (const TiXmlElement* child = element->FirstChildElement(); child; child = child->NextSiblingElement()) {
            if (child->ValueStr() == CHANNEL) pending.push_back(child);
            std::string name;
            if (child->ValueStr() == FILE_ELEMENT && GetString(child, "internalname", name)) names.insert(name);
        }
    }
}

}  // namespace quorvane
