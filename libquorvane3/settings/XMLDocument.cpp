#include "settings/XMLDocument.h"

#include "settings/MarkupScan.h"
#include "settings/PrintedElement.h"
#include "settings/StoredText.h"

#include <strings.h>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <system_error>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quorvane {

namespace {

// The parser folds each run of raw white space in text to one blank and drops it at
// both ends; character references are neither folded nor dropped. Text that would
// change that way is printed with its blanks as references, as many as needed. A
// UTF-8 document also loses a U+FEFF that a text starts with (taken for a byte-order
// mark), so there every one is printed as a reference too; a document of another
// encoding would read that reference as one byte, but keeps the raw bytes whole.
const char BOM[] = "\xEF\xBB\xBF";

bool ChangesWhenRead(const std::string& value, bool utf8) {
    if (utf8 && value.find(BOM) != std::string::npos) return true;
    for (size_t i = 0; i < value.size(); ++i)
        if (value[i] == ' ' && (i == 0 || i + 1 == value.size() || value[i - 1] == ' ' || value[i + 1] == ' '))
            return true;
    return false;
}

class FoldSafeText : public TiXmlText {
public:
    FoldSafeText(const std::string& text, bool utf8) : TiXmlText(text), utf8_(utf8) {}

    void Print(FILE* file, int) const override {
        std::string encoded;
        EncodeString(ValueTStr(), &encoded);  // control bytes become references there
        std::string out;
        for (size_t i = 0; i < encoded.size(); ++i) {
            const bool edge = i == 0 || i + 1 == encoded.size();
            if (encoded[i] == ' ' && (edge || encoded[i - 1] == ' ' || encoded[i + 1] == ' ')) {
                out += "&#x20;";
            } else if (utf8_ && encoded.compare(i, 3, BOM) == 0) {
                out += "&#xFEFF;";
                i += 2;
            } else {
                out += encoded[i];
            }
        }
        fputs(out.c_str(), file);
    }

    TiXmlNode* Clone() const override { return new FoldSafeText(ValueStr(), utf8_); }

private:
    const bool utf8_;
};

// Gives every text node that would change the printing above, before a save.
void ProtectText(TiXmlNode* root, bool utf8) {
    std::vector<TiXmlNode*> pending(1, root);
    while (!pending.empty()) {
        TiXmlNode* node = pending.back();
        pending.pop_back();
        for (TiXmlNode* child = node->FirstChild(); child; child = child->NextSibling()) {
            // An element printed once was protected then and is not printed again.
            const PrintedElement* printed = child->ToElement() ? dynamic_cast<const PrintedElement*>(child) : nullptr;
            if (printed && printed->IsPrinted()) continue;
            const TiXmlText* text = child->ToText();
            if (text && !text->CDATA() && !dynamic_cast<const FoldSafeText*>(text) &&
                ChangesWhenRead(text->ValueStr(), utf8))
                child = node->ReplaceChild(child, FoldSafeText(text->ValueStr(), utf8));  // a clone takes its place
            else if (child->FirstChild()) pending.push_back(child);
        }
    }
}

}  // namespace

XMLDocument::XMLDocument() {}

XMLDocument::~XMLDocument() {}

void XMLDocument::ResetDocument(const std::string& fileName) {
    document_ = TiXmlDocument();
    document_.SetValue(fileName);
    bom_ = false;
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

// The checks before the parser sees text, then the library's load of the stream that
// holds it (which turns line ends into LF); the refusal, empty when the parser ran (its
// error is then the document's).
std::string CheckedLoad(TiXmlDocument& document, FILE* stream, const std::string& text) {
    if (EndsInsideUtf8Character(text)) return "The file ends inside a UTF-8 character.";
    if (MarkupScan::NestingDepth(text) > XMLDocument::MAX_DEPTH)
        return "Elements are nested more than " + std::to_string(XMLDocument::MAX_DEPTH) + " deep.";
    rewind(stream);
    document.LoadFile(stream);
    return std::string();
}

// Why the text would not load as a file; empty when it would.
std::string ReadsBack(const std::string& text) {
    if (text.empty()) return "It is empty.";
    FILE* stream = fmemopen(const_cast<char*>(text.data()), text.size(), "rb");
    if (!stream) return std::generic_category().message(errno);
    TiXmlDocument probe;
    std::string why = CheckedLoad(probe, stream, text);
    fclose(stream);
    if (why.empty() && probe.Error())
        why = std::string(probe.ErrorDesc()) + ". Line " + std::to_string(probe.ErrorRow()) + " column " +
              std::to_string(probe.ErrorCol()) + ".";
    return why;
}

}  // namespace

bool XMLDocument::LoadXMLFile(const std::string& path) {
    ResetDocument(path);
    loadError_.clear();
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return FailLoad(std::string("Cannot open the file: ") + std::generic_category().message(errno) + ".");
    struct stat info;
    FILE* stream = nullptr;
    std::string refusal;
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) refusal = "Not a regular file.";
    else if (info.st_size > MAX_FILE_SIZE)
        refusal = "The file is larger than " + std::to_string(MAX_FILE_SIZE / (1024 * 1024)) + " MiB.";
    else if (!(stream = fdopen(fd, "rb")))
        refusal = std::string("Cannot open the file: ") + std::generic_category().message(errno) + ".";
    if (!refusal.empty()) {
        close(fd);
        return FailLoad(refusal);
    }
    std::string text(static_cast<size_t>(info.st_size), '\0');
    const size_t got = fread(&text[0], 1, text.size(), stream);
    if (got != text.size() || ferror(stream))
        refusal = std::string("Cannot read the file: ") + std::generic_category().message(errno) + ".";
    bom_ = text.compare(0, 3, BOM) == 0;
    if (refusal.empty()) refusal = CheckedLoad(document_, stream, text);
    fclose(stream);
    if (!refusal.empty()) return FailLoad(refusal);
    // The parser tells where it noticed the fault; where the markup shows it began is said
    // instead when there is such a place (the line of an element never closed, say).
    MarkupScan::Fault fault;
    if (document_.Error() && MarkupScan::FindFault(text, fault))
        return FailLoad(fault.what + ". Line " + std::to_string(fault.line) + " column " +
                        std::to_string(fault.column) + ".");
    if (document_.Error()) return false;
    // Stray bytes in markup that the parser took in can make the document's own save
    // unreadable: refused now, while the file is whole, not by the start after a save.
    std::string printed;
    if (!Print(printed)) return FailLoad("The document cannot be printed.");
    const std::string why = ReadsBack(printed);
    return why.empty() || FailLoad("The document would not read back once saved: " + why);
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

bool XMLDocument::Print(std::string& text) {
    ProtectText(&document_, ReadsAsUtf8());
    char* buffer = nullptr;
    size_t size = 0;
    FILE* stream = open_memstream(&buffer, &size);
    if (!stream) return false;
    // The library writes the byte-order mark itself when the loaded file had one.
    const bool printed = document_.SaveFile(stream);
    const bool closed = fclose(stream) == 0;
    if (printed && closed) text.assign(buffer, size);
    free(buffer);
    return printed && closed;
}

bool XMLDocument::ReadsAsUtf8() const {
    if (bom_) return true;
    for (const TiXmlNode* node = document_.FirstChild(); node; node = node->NextSibling()) {
        const TiXmlDeclaration* declaration = node->ToDeclaration();
        if (!declaration) continue;
        const char* encoding = declaration->Encoding();
        return !encoding || !*encoding || strcasecmp(encoding, "utf-8") == 0 || strcasecmp(encoding, "utf8") == 0;
    }
    return false;
}

bool XMLDocument::SaveXMLFile() {
    if (batchDepth_ > 0) {
        batchChanged_ = true;
        return true;
    }
    if (deferredSave_) {
        deferredSave_();
        return true;
    }
    std::string text;
    return !GetFileName().empty() && Print(text) && WriteSnapshot(GetFileName(), text);
}

void XMLDocument::DeferSaves(const std::function<void()>& changed) { deferredSave_ = changed; }

bool XMLDocument::Snapshot(std::string& path, TextPieces& pieces) {
    path = GetFileName();
    if (path.empty()) return false;
    ProtectText(&document_, ReadsAsUtf8());
    return PrintedElement::PrintPieces(document_, pieces);
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
    std::string text;
    if (!Print(text) || !WriteSnapshot(path, text)) return false;
    document_.SetValue(path);
    return true;
}

bool XMLDocument::HasLoadError() const { return document_.Error(); }

std::string XMLDocument::GetErrorText() const {
    if (!loadError_.empty()) return loadError_;
    return std::string(document_.ErrorDesc()) + ". Line " + std::to_string(document_.ErrorRow()) + " column " +
           std::to_string(document_.ErrorCol()) + ".";
}

bool XMLDocument::HasRootElement() const { return document_.RootElement() != nullptr; }

void XMLDocument::ForgetFile() { document_.SetValue(""); }

std::string XMLDocument::GetFileName() const { return document_.ValueStr(); }

namespace {

bool Marked(const TiXmlElement& element, const std::string& markName) {
    const std::string* mark = element.Attribute(markName);
    return mark && *mark == StoredText::MARK;
}

}  // namespace

std::string XMLDocument::GetElementText(const TiXmlElement* element) {
    const TiXmlNode* first = element ? element->FirstChild() : nullptr;
    const TiXmlText* text = first ? first->ToText() : nullptr;
    if (!text) return std::string();
    return Marked(*element, StoredText::ELEMENT_MARK_ATTRIBUTE) ? StoredText::Decode(text->ValueStr())
                                                                : text->ValueStr();
}

TiXmlElement XMLDocument::MakeTextElement(const std::string& name, const std::string& value) {
    TiXmlElement element(name);
    const bool plain = StoredText::IsPlain(value);
    if (!plain) element.SetAttribute(StoredText::ELEMENT_MARK_ATTRIBUTE, StoredText::MARK);
    TiXmlText* text = new TiXmlText(plain ? value : StoredText::Encode(value));
    // The parser drops a text node that is only white space, but keeps a CDATA one. An
    // encoded text is never only white space; saves protect what would fold.
    if (!text->ValueStr().empty() && text->ValueStr().find_first_not_of(" \t\r\n") == std::string::npos)
        text->SetCDATA(true);
    element.LinkEndChild(text);
    return element;
}

bool XMLDocument::GetAttributeText(const TiXmlElement& element, const std::string& name, std::string& out) {
    const std::string* value = element.Attribute(name);
    if (!value) return false;
    out = Marked(element, StoredText::AttributeMarkName(name)) ? StoredText::Decode(*value) : *value;
    return true;
}

bool XMLDocument::AttributeTextIs(const TiXmlElement& element, const std::string& name, const std::string& value) {
    const std::string* raw = element.Attribute(name);
    if (!raw) return false;
    if (!Marked(element, StoredText::AttributeMarkName(name))) return *raw == value;
    return StoredText::Decode(*raw) == value;
}

void XMLDocument::SetAttributeText(TiXmlElement& element, const std::string& name, const std::string& value) {
    const std::string mark = StoredText::AttributeMarkName(name);
    if (StoredText::IsPlain(value)) {
        element.SetAttribute(name, value);
        element.RemoveAttribute(mark);
    } else {
        element.SetAttribute(name, StoredText::Encode(value));
        element.SetAttribute(mark, StoredText::MARK);
    }
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
