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

    // Only regular files of at most MAX_FILE_SIZE bytes nested at most MAX_DEPTH deep are
    // parsed; anything else fails with a load error that says why.
    bool LoadXMLFile(const std::string& path);
    // Writes through a temporary file, fsync and rename; false when any step failed, and
    // then the old file is untouched. Inside a batch it only marks the document changed.
    bool SaveXMLFile();
    bool HasLoadError() const;
    std::string GetErrorText() const;

    // Between BeginBatch and EndBatch the Put and append operations change the tree but
    // do not save; EndBatch saves once when anything changed and answers that save's
    // result (true when nothing changed). Batches nest; the outermost one saves.
    void BeginBatch();
    bool EndBatch();

    enum { MAX_FILE_SIZE = 64 * 1024 * 1024, MAX_DEPTH = 10000 };
    std::string GetFileName() const;
    // Whether the document holds an element at all (a file with only a declaration or
    // a DOCTYPE holds none).
    bool HasRootElement() const;
    // Forgets the file name, so that no later save can replace the file.
    void ForgetFile();

    // The value of the element's first child when that is text (or CDATA); else empty.
    static std::string GetElementText(const TiXmlElement* element);
    // An element holding value so that it reads back byte for byte although the parser
    // folds white space (values with a NUL byte excepted: callers refuse those).
    static TiXmlElement MakeTextElement(const std::string& name, const std::string& value);
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
    // The subclasses' CreateXMLFile: their document text saved as a new file at path
    // and loaded back.
    bool CreateFromText(const std::string& path, const char* text);
    // The subclasses' GetRootElement: the first element whatever its name, or a new one
    // of that name and version appended in memory.
    TiXmlElement* RootOrNew(const char* name, const char* version);
    // Replaces the document with the parse of text (file name kept). True on success.
    bool ParseText(const std::string& text);
    // Saves the document to path, which must not exist yet, and remembers path as the
    // file name only on success: a file that could not be read is never replaced.
    bool SaveNewXMLFile(const std::string& path);
    // ReplaceOrAppendElement without the save, for callers that save once at the end.
    TiXmlElement* ReplaceOrAppendInTree(TiXmlElement* parent, const TiXmlElement& element);

    TiXmlDocument document_;

private:
    // Refuses the load with a text of our own (also used by GetErrorText).
    bool FailLoad(const std::string& text);

    // Starts from a fresh document, so no error or byte-order mark of an earlier load stays.
    void ResetDocument(const std::string& fileName);
    // Writes a temporary file beside path and renames it over path, so that a crash or a
    // full disk during a save leaves the old file whole.
    bool WriteFileSafely(const std::string& path);

    std::string loadError_;
    int batchDepth_ = 0;
    bool batchChanged_ = false;
};

}  // namespace quorvane

#endif
