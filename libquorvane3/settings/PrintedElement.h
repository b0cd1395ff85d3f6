// An element that keeps the text it prints: printed once, at its depth, and then reused by
// every later save, which takes it as a shared piece instead of printing it again. For
// elements that never change once they are in a tree: the file entries of the files list,
// which are replaced, never edited. A save of a document that holds many of them costs the
// loop a walk over the tree, not the printing of every entry.
//
// Threads: the thread of its document. Pieces handed to another thread stay valid there.
#ifndef QUORVANE_SETTINGS_PRINTEDELEMENT_H
#define QUORVANE_SETTINGS_PRINTEDELEMENT_H

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include <tinyxml.h>

namespace quorvane {

class PrintedElement : public TiXmlElement {
public:
    typedef std::vector<std::shared_ptr<const std::string>> Pieces;

    explicit PrintedElement(const TiXmlElement& element) : TiXmlElement(element) {}

    // The text that document.SaveFile writes, in pieces: the text of each PrintedElement is
    // a piece of its own, shared; what lies between them is copied into pieces. The
    // document's text must be protected as for a save first. False when printing failed.
    static bool PrintPieces(const TiXmlDocument& document, Pieces& pieces);
    // Whether its text was printed already (its text nodes are protected then).
    bool IsPrinted() const { return text_ != nullptr; }

    void Print(FILE* file, int depth) const override;
    TiXmlNode* Clone() const override { return new PrintedElement(*this); }

private:
    // The line break its parent prints before it, its indentation and the element itself.
    const std::shared_ptr<const std::string>& Text(int depth) const;

    mutable std::shared_ptr<const std::string> text_;
    mutable int depth_ = -1;
};

}  // namespace quorvane

#endif
