#include "settings/XMLDocument.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <strings.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quorvane {

namespace {

// The three files hold a few kilobytes; anything far larger is refused instead of being
// read whole into memory.
const off_t MAX_FILE_SIZE = 64 * 1024 * 1024;

std::string DirectoryOf(const std::string& path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

// A save through a symbolic link replaces the file it points to, not the link.
std::string ResolveLink(const std::string& path) {
    struct stat info;
    if (lstat(path.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) return path;
    char* resolved = realpath(path.c_str(), nullptr);
    if (!resolved) return path;
    std::string target(resolved);
    free(resolved);
    return target;
}

// Creates a new, empty file beside target; mode 0666 lets the umask decide as for any new file.
int OpenTemporaryBeside(const std::string& target, std::string& tempPath) {
    static std::atomic<unsigned> counter(0);
    for (int attempt = 0; attempt < 100; ++attempt) {
        tempPath = target + ".tmp-" + std::to_string(getpid()) + "-" + std::to_string(counter++);
        int fd = open(tempPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0 || errno != EEXIST) return fd;
    }
    return -1;
}

// The replaced file may hold passwords: its permissions, and its owner where we may set
// it, carry over to the new file.
void CopyAccessRights(int fd, const std::string& target) {
    struct stat old, fresh;
    if (stat(target.c_str(), &old) != 0 || fstat(fd, &fresh) != 0) return;
    fchmod(fd, old.st_mode & 0777);
    if (old.st_uid != fresh.st_uid || old.st_gid != fresh.st_gid)
        (void)!fchown(fd, old.st_uid, old.st_gid);
}

// Makes the rename itself durable; a failure here loses no data, only the guarantee.
void SyncDirectory(const std::string& directory) {
    int fd = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    fsync(fd);
    close(fd);
}

}  // namespace

XMLDocument::XMLDocument() {}

XMLDocument::~XMLDocument() {}

void XMLDocument::ResetDocument(const std::string& fileName) {
    document_ = TiXmlDocument();
    document_.SetValue(fileName);
}

// Reads only regular files: a FIFO would block the start-up and a directory or a huge
// file would make the library allocate without bound. Those fail as "cannot open".
bool XMLDocument::LoadXMLFile(const std::string& path) {
    ResetDocument(path);
    int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    struct stat info;
    FILE* stream = nullptr;
    if (fd >= 0 && fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size <= MAX_FILE_SIZE)
        stream = fdopen(fd, "rb");
    if (!stream) {
        if (fd >= 0) close(fd);
        document_.SetError(TiXmlBase::TIXML_ERROR_OPENING_FILE, nullptr, nullptr, TIXML_ENCODING_UNKNOWN);
        return false;
    }
    bool loaded = document_.LoadFile(stream);
    fclose(stream);
    return loaded;
}

bool XMLDocument::ParseText(const std::string& text) {
    ResetDocument(GetFileName());
    document_.Parse(text.c_str(), nullptr, TIXML_ENCODING_UNKNOWN);
    return !document_.Error();
}

bool XMLDocument::WriteFileSafely(const std::string& path) const {
    const std::string target = ResolveLink(path);
    std::string tempPath;
    int fd = OpenTemporaryBeside(target, tempPath);
    if (fd < 0) return false;
    CopyAccessRights(fd, target);
    FILE* stream = fdopen(fd, "wb");
    if (!stream) {
        close(fd);
        unlink(tempPath.c_str());
        return false;
    }
    // The library writes the byte-order mark itself when the loaded file had one.
    bool written = document_.SaveFile(stream);
    written = fflush(stream) == 0 && written;
    written = fsync(fileno(stream)) == 0 && written;
    written = fclose(stream) == 0 && written;
    if (!written || rename(tempPath.c_str(), target.c_str()) != 0) {
        unlink(tempPath.c_str());
        return false;
    }
    SyncDirectory(DirectoryOf(target));
    return true;
}

bool XMLDocument::SaveXMLFile() {
    const std::string path = GetFileName();
    return !path.empty() && WriteFileSafely(path);
}

bool XMLDocument::SaveNewXMLFile(const std::string& path) {
    struct stat info;
    if (path.empty() || lstat(path.c_str(), &info) == 0 || errno != ENOENT) return false;
    if (!WriteFileSafely(path)) return false;
    document_.SetValue(path);
    return true;
}

bool XMLDocument::HasLoadError() const {
    return document_.Error();
}

std::string XMLDocument::GetErrorText() const {
    return std::string(document_.ErrorDesc()) + ". Line " + std::to_string(document_.ErrorRow()) +
           " column " + std::to_string(document_.ErrorCol()) + ".";
}

std::string XMLDocument::GetFileName() const {
    return document_.ValueStr();
}

std::string XMLDocument::GetElementText(const TiXmlElement* element) {
    const TiXmlNode* first = element ? element->FirstChild() : nullptr;
    const TiXmlText* text = first ? first->ToText() : nullptr;
    return text ? std::string(text->Value()) : std::string();
}

bool XMLDocument::GetString(const TiXmlElement* parent, const std::string& name, std::string& out) const {
    const TiXmlElement* element = parent ? parent->FirstChildElement(name) : nullptr;
    if (!element) return false;
    out = GetElementText(element);
    return true;
}

// Read like atoi, but a number beyond the 32-bit range is clamped instead of undefined.
bool XMLDocument::GetInteger(const TiXmlElement* parent, const std::string& name, int& out) const {
    int64_t value;
    if (!GetInteger64(parent, name, value)) return false;
    if (value > INT_MAX) value = INT_MAX;
    if (value < INT_MIN) value = INT_MIN;
    out = static_cast<int>(value);
    return true;
}

// Leading white space, an optional sign, then digits; 0 when there are none.
bool XMLDocument::GetInteger64(const TiXmlElement* parent, const std::string& name, int64_t& out) const {
    std::string text;
    if (!GetString(parent, name, text)) return false;
    out = strtoll(text.c_str(), nullptr, 10);
    return true;
}

bool XMLDocument::GetBoolean(const TiXmlElement* parent, const std::string& name, bool& out) const {
    std::string text;
    if (!GetString(parent, name, text)) return false;
    if (strcasecmp(text.c_str(), "true") == 0) {
        out = true;
        return true;
    }
    if (strcasecmp(text.c_str(), "false") == 0) {
        out = false;
        return true;
    }
    return false;
}

bool XMLDocument::PutString(TiXmlElement* parent, const std::string& name, const std::string& value) {
    TiXmlElement element(name);
    element.LinkEndChild(new TiXmlText(value));
    // An element without attributes always takes the place of the first one of its name.
    return ReplaceOrAppendInTree(parent, element) && SaveXMLFile();
}

bool XMLDocument::PutInteger64(TiXmlElement* parent, const std::string& name, int64_t value) {
    return PutString(parent, name, std::to_string(value));
}

bool XMLDocument::PutBoolean(TiXmlElement* parent, const std::string& name, bool value) {
    return PutString(parent, name, value ? "true" : "false");
}

TiXmlElement* XMLDocument::AppendElement(TiXmlElement* parent, const TiXmlElement& element) {
    TiXmlNode* appended = parent ? parent->InsertEndChild(element) : nullptr;
    if (!appended) return nullptr;
    SaveXMLFile();
    return appended->ToElement();
}

namespace {

// Every attribute of wanted stands in candidate with the same value.
bool AttributesMatch(const TiXmlElement& wanted, const TiXmlElement& candidate) {
    for (const TiXmlAttribute* attribute = wanted.FirstAttribute(); attribute; attribute = attribute->Next()) {
        const std::string* value = candidate.Attribute(attribute->NameTStr());
        if (!value || *value != attribute->ValueStr()) return false;
    }
    return true;
}

TiXmlElement* Replace(TiXmlElement* parent, TiXmlElement* old, const TiXmlElement& element) {
    TiXmlNode* replaced = parent->ReplaceChild(old, element);
    return replaced ? replaced->ToElement() : nullptr;
}

}  // namespace

TiXmlElement* XMLDocument::ReplaceOrAppendInTree(TiXmlElement* parent, const TiXmlElement& element) {
    if (!parent) return nullptr;
    const std::string& name = element.ValueStr();
    TiXmlElement* candidate = parent->FirstChildElement(name);
    if (candidate && (!candidate->FirstAttribute() || !element.FirstAttribute()))
        return Replace(parent, candidate, element);
    for (; candidate; candidate = candidate->NextSiblingElement(name))
        if (AttributesMatch(element, *candidate)) return Replace(parent, candidate, element);
    TiXmlNode* appended = parent->InsertEndChild(element);
    return appended ? appended->ToElement() : nullptr;
}

TiXmlElement* XMLDocument::ReplaceOrAppendElement(TiXmlElement* parent, const TiXmlElement& element) {
    TiXmlElement* placed = ReplaceOrAppendInTree(parent, element);
    if (placed) SaveXMLFile();
    return placed;
}

}  // namespace quorvane
