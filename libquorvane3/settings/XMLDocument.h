// Base of the three XML files: owns one TinyXML document and remembers the file it
// was loaded from; every Put writes the whole document back to that file at once.
// No lock: used at start-up, from the save callbacks on the event-loop thread and at
// the very end, never at the same time.
#ifndef QUORVANE_SETTINGS_XMLDOCUMENT_H
#define QUORVANE_SETTINGS_XMLDOCUMENT_H

#include <cstdint>
#include <string>

#include <tinyxml.h>

namespace quorvane {

class XMLDocument {
public:
    XMLDocument();
    virtual ~XMLDocument();

    // Writes the subclass's minimal document to path and loads it back.
    virtual bool CreateXMLFile(const std::string& path) = 0;
    // The document's root element, appended (in memory) when there is none.
    virtual TiXmlElement* GetRootElement() = 0;

    bool LoadXMLFile(const std::string& path);
    bool SaveXMLFile();
    bool HasLoadError() const;
    std::string GetErrorText() const;
    std::string GetFileName() const;

    static std::string GetElementText(const TiXmlElement* element);
    bool GetString(const TiXmlElement* parent, const std::string& name, std::string& out) const;
    bool GetInteger(const TiXmlElement* parent, const std::string& name, int& out) const;
    bool GetInteger64(const TiXmlElement* parent, const std::string& name, int64_t& out) const;
    bool GetBoolean(const TiXmlElement* parent, const std::string& name, bool& out) const;

    bool PutString(TiXmlElement* parent, const std::string& name, const std::string& value);
    bool PutInteger64(TiXmlElement* parent, const std::string& name, int64_t value);
    bool PutBoolean(TiXmlElement* parent, const std::string& name, bool value);

    TiXmlElement* AppendElement(TiXmlElement* parent, const TiXmlElement& element);
    TiXmlElement* ReplaceOrAppendElement(TiXmlElement* parent, const TiXmlElement& element);

protected:
    // Replaces the document with the parse of text (file name kept). True on success.
    bool ParseText(const std::string& text);
    // Saves the document to path, which must not exist yet, and remembers path as the
    // file name only on success: a file that could not be read is never replaced.
    bool SaveNewXMLFile(const std::string& path);
    // ReplaceOrAppendElement without the save, for callers that save once at the end.
    TiXmlElement* ReplaceOrAppendInTree(TiXmlElement* parent, const TiXmlElement& element);

    TiXmlDocument document_;

private:
    // Starts from a fresh document, so no error or byte-order mark of an earlier load stays.
    void ResetDocument(const std::string& fileName);
    // Writes a temporary file beside path and renames it over path, so that a crash or a
    // full disk during a save leaves the old file whole.
    bool WriteFileSafely(const std::string& path) const;
};

}  // namespace quorvane

#endif
