// Base of the three XML files: owns one TinyXML document and remembers the file it
// was loaded from; every Put writes the whole document back to that file at once, or,
// once saves are deferred, tells that the document changed so that it is written later
// from a snapshot.
// Threads: a document belongs to one thread at a time (the host's at start-up and at
// the end, the main loop's while the server runs) and has no lock. WriteSnapshot and
// RemoveCutSaves touch no document: any thread.
#ifndef QUORVANE_SETTINGS_XMLDOCUMENT_H
#define QUORVANE_SETTINGS_XMLDOCUMENT_H

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

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
    // then the old file is untouched. Inside a batch it only marks the document changed;
    // with saves deferred it tells so and answers true.
    bool SaveXMLFile();
    // From now on every save only calls changed (empty: saves write at once again).
    void DeferSaves(const std::function<void()>& changed);
    // The text of a save in pieces, to be joined where it is written: pieces that the
    // document keeps between saves are shared, not copied.
    typedef std::vector<std::shared_ptr<const std::string>> TextPieces;
    // The file name and the text a save would write now; false without a file name.
    bool Snapshot(std::string& path, TextPieces& pieces);
    // Before saves are taken as snapshots (the host's thread, before the loop runs): a
    // document may make its later snapshots cheap here.
    virtual void PrepareSnapshots() {}
    // The whole text a save would write now.
    bool Print(std::string& text);
    // Replaces the file at path by text: a temporary file beside it (mode 0600, locked
    // while written), fsync, rename, and the directory synced. The new file keeps the
    // owner and, unless others could read it, the mode of the old one; else it is 0600.
    // False when any step failed; the old file is then whole.
    static bool WriteSnapshot(const std::string& path, const std::string& text);
    // Deletes the temporary files of saves to path that a crash cut short (those no
    // running save holds); answers their paths.
    static std::vector<std::string> RemoveCutSaves(const std::string& path);
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
    // Text marked as bytes (StoredText) is given back as those bytes.
    static std::string GetElementText(const TiXmlElement* element);
    // An element holding value so that it reads back byte for byte although the parser
    // folds white space; any bytes, those XML cannot carry marked and encoded (StoredText).
    static TiXmlElement MakeTextElement(const std::string& name, const std::string& value);
    // An attribute's text, as GetElementText; false when the element has no such attribute.
    static bool GetAttributeText(const TiXmlElement& element, const std::string& name, std::string& out);
    // Whether the attribute's text (as GetAttributeText gives it) is value; no copy in the
    // common, unmarked case.
    static bool AttributeTextIs(const TiXmlElement& element, const std::string& name, const std::string& value);
    // Sets an attribute to any bytes, as MakeTextElement does with text.
    static void SetAttributeText(TiXmlElement& element, const std::string& name, const std::string& value);
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
    // Whether the parser reads the document as UTF-8: a byte-order mark, or a declaration
    // whose encoding is empty or UTF-8.
    bool ReadsAsUtf8() const;

    std::string loadError_;
    int batchDepth_ = 0;
    bool batchChanged_ = false;
    bool bom_ = false;  // the loaded file began with a byte-order mark
    std::function<void()> deferredSave_;
};

}  // namespace quorvane

#endif
