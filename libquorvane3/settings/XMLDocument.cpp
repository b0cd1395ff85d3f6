#include "settings/XMLDocument.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>
#include <strings.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quorvane {

namespace {

// How deep the elements of the text nest, roughly: the parser recurses once per level
// and would overflow its stack on an absurdly deep document, so this is checked first.
size_t NestingDepth(const std::string& text) {
    size_t depth = 0, deepest = 0;
    for (size_t i = 0; i + 1 < text.size(); ++i) {
        if (text[i] != '<') continue;
        const char next = text[i + 1];
        if (next == '/') {
            if (depth > 0) --depth;
        } else if (next != '!' && next != '?') {
            const size_t end = text.find('>', i);
            if (end == std::string::npos) break;
            if (text[end - 1] != '/' && ++depth > deepest) deepest = depth;
            i = end;
        }
    }
    return deepest;
}

// The parser folds each run of raw white space in text to one blank and drops it at
// both ends; character references are neither folded nor dropped. Text that would
// change that way is printed with its blanks as references, as many as needed.
bool FoldsWhenRead(const std::string& value) {
    for (size_t i = 0; i < value.size(); ++i)
        if (value[i] == ' ' && (i == 0 || i + 1 == value.size() || value[i - 1] == ' ' || value[i + 1] == ' '))
            return true;
    return false;
}

class FoldSafeText : public TiXmlText {
public:
    explicit FoldSafeText(const std::string& value) : TiXmlText(value) {}

    void Print(FILE* file, int) const override {
        std::string encoded;
        EncodeString(ValueTStr(), &encoded);  // control bytes become references there
        std::string out;
        for (size_t i = 0; i < encoded.size(); ++i) {
            const bool edge = i == 0 || i + 1 == encoded.size();
            if (encoded[i] == ' ' && (edge || encoded[i - 1] == ' ' || encoded[i + 1] == ' '))
                out += "&#x20;";
            else
                out += encoded[i];
        }
        fputs(out.c_str(), file);
    }

    TiXmlNode* Clone() const override { return new FoldSafeText(ValueStr()); }
};

// Gives every text node that would fold the printing above, before a save.
void ProtectFoldingText(TiXmlNode* root) {
    std::vector<TiXmlNode*> pending(1, root);
    while (!pending.empty()) {
        TiXmlNode* node = pending.back();
        pending.pop_back();
        for (TiXmlNode* child = node->FirstChild(); child; child = child->NextSibling()) {
            const TiXmlText* text = child->ToText();
            if (text && !text->CDATA() && !dynamic_cast<const FoldSafeText*>(text) && FoldsWhenRead(text->ValueStr()))
                child = node->ReplaceChild(child, FoldSafeText(text->ValueStr()));  // a clone takes its place
            else if (child->FirstChild())
                pending.push_back(child);
        }
    }
}

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
// file would make the library allocate without bound.
namespace {

// The parser steps over a whole UTF-8 character at once, as long as its first byte says,
// so a file ending inside one would make it read past the end of its buffer.
bool EndsInsideUtf8Character(const std::string& text) {
    const size_t size = text.size();
    for (size_t i = size > 3 ? size - 3 : 0; i < size; ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        const size_t length = c >= 0xf0 ? 4 : c >= 0xe0 ? 3 : c >= 0xc0 ? 2 : 1;
        if (i + length > size) return true;
    }
    return false;
}

}  // namespace

bool XMLDocument::LoadXMLFile(const std::string& path) {
    ResetDocument(path);
    loadError_.clear();
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return FailLoad(std::string("Cannot open the file: ") + strerror(errno) + ".");
    struct stat info;
    FILE* stream = nullptr;
    std::string refusal;
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode))
        refusal = "Not a regular file.";
    else if (info.st_size > MAX_FILE_SIZE)
        refusal = "The file is larger than " + std::to_string(MAX_FILE_SIZE / (1024 * 1024)) + " MiB.";
    else if (!(stream = fdopen(fd, "rb")))
        refusal = std::string("Cannot open the file: ") + strerror(errno) + ".";
    if (!refusal.empty()) {
        close(fd);
        return FailLoad(refusal);
    }
    std::string text(static_cast<size_t>(info.st_size), '\0');
    const size_t got = fread(&text[0], 1, text.size(), stream);
    if (got != text.size() || ferror(stream)) refusal = std::string("Cannot read the file: ") + strerror(errno) + ".";
    else if (EndsInsideUtf8Character(text))
        refusal = "The file ends inside a UTF-8 character.";
    else if (NestingDepth(text) > MAX_DEPTH)
        refusal = "Elements are nested more than " + std::to_string(MAX_DEPTH) + " deep.";
    bool loaded = false;
    if (refusal.empty()) {
        rewind(stream);
        loaded = document_.LoadFile(stream);
    }
    fclose(stream);
    return refusal.empty() ? loaded : FailLoad(refusal);
}

bool XMLDocument::FailLoad(const std::string& text) {
    loadError_ = text;
    document_.SetError(TiXmlBase::TIXML_ERROR_OPENING_FILE, nullptr, nullptr, TIXML_ENCODING_UNKNOWN);
    return false;
}

bool XMLDocument::CreateFromText(const std::string& path, const char* text) {
    ParseText(text);
    return SaveNewXMLFile(path) && LoadXMLFile(path);
}

TiXmlElement* XMLDocument::RootOrNew(const char* name, const char* version) {
    TiXmlElement* root = document_.RootElement();
    if (root) return root;
    TiXmlElement* created = new TiXmlElement(name);
    created->SetAttribute("version", version);
    document_.LinkEndChild(created);
    return created;
}

bool XMLDocument::ParseText(const std::string& text) {
    ResetDocument(GetFileName());
    loadError_.clear();
    document_.Parse(text.c_str(), nullptr, TIXML_ENCODING_UNKNOWN);
    return !document_.Error();
}

bool XMLDocument::WriteFileSafely(const std::string& path) {
    ProtectFoldingText(&document_);
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
    if (batchDepth_ > 0) {
        batchChanged_ = true;
        return true;
    }
    const std::string path = GetFileName();
    return !path.empty() && WriteFileSafely(path);
}

void XMLDocument::BeginBatch() { ++batchDepth_; }

bool XMLDocument::EndBatch() {
    if (batchDepth_ == 0 || --batchDepth_ > 0) return true;
    const bool changed = batchChanged_;
    batchChanged_ = false;
    return !changed || SaveXMLFile();
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
    if (!loadError_.empty()) return loadError_;
    return std::string(document_.ErrorDesc()) + ". Line " + std::to_string(document_.ErrorRow()) +
           " column " + std::to_string(document_.ErrorCol()) + ".";
}

bool XMLDocument::HasRootElement() const { return document_.RootElement() != nullptr; }

void XMLDocument::ForgetFile() { document_.SetValue(""); }

std::string XMLDocument::GetFileName() const {
    return document_.ValueStr();
}

std::string XMLDocument::GetElementText(const TiXmlElement* element) {
    const TiXmlNode* first = element ? element->FirstChild() : nullptr;
    const TiXmlText* text = first ? first->ToText() : nullptr;
    return text ? std::string(text->Value()) : std::string();
}

TiXmlElement XMLDocument::MakeTextElement(const std::string& name, const std::string& value) {
    TiXmlElement element(name);
    TiXmlText* text = nullptr;
    if (!value.empty() && value.find_first_not_of(" \t\r\n") == std::string::npos) {
        // The parser drops a text node that is only white space, but keeps a CDATA one.
        text = new TiXmlText(value);
        text->SetCDATA(true);
    } else {
        text = new TiXmlText(value);  // saves protect what would fold
    }
    element.LinkEndChild(text);
    return element;
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
    // An element without attributes always takes the place of the first one of its name.
    return ReplaceOrAppendInTree(parent, MakeTextElement(name, value)) && SaveXMLFile();
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
