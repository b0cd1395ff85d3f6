// How the XML files keep text that clients send as bytes. Clients send any bytes but NUL
// (a nickname in a single-byte code page, say), while the files must stay UTF-8 that the
// XML parser loads. Text that XML can carry as it is (valid UTF-8 of characters XML 1.0
// allows) is written plain, so the common case stays readable and unchanged. Any other
// text is written in its Latin-1 reading, each byte as the character of that number,
// except the control bytes 0x00-0x1F, which XML cannot carry, written as the control
// pictures U+2400-U+241F; the element (or attribute) is then marked with MARK, and the
// reader turns the text back into the same bytes. A reader that knows no mark still
// sees readable text ("Jörg" for the byte string 4A F6 72 67).
//
// Pure functions; any thread.
#ifndef QUORVANE_SETTINGS_STOREDTEXT_H
#define QUORVANE_SETTINGS_STOREDTEXT_H

#include <string>

namespace quorvane {

class StoredText {
public:
    // The mark's attribute value: on "bytes" for an element's own text, on "NAME-bytes"
    // for the attribute NAME.
    static const char* const MARK;
    static const char* const ELEMENT_MARK_ATTRIBUTE;  // "bytes"
    static std::string AttributeMarkName(const std::string& attribute);

    // Whether the bytes are written as they are: valid UTF-8 in its shortest form (no
    // surrogate, nothing above U+10FFFF) of characters XML 1.0 allows (no control
    // character but tab, line feed and carriage return; no U+FFFE or U+FFFF). A text made
    // only of blanks, tabs and line breaks is kept as CDATA, whose carriage returns the
    // parser turns into line feeds: such a text may not hold one.
    static bool IsPlain(const std::string& bytes);
    // The Latin-1 reading of the bytes, as UTF-8, with control pictures for 0x00-0x1F.
    static std::string Encode(const std::string& bytes);
    // The bytes whose reading text is; a character beyond that reading (a hand-edited
    // file) keeps its UTF-8 bytes.
    static std::string Decode(const std::string& text);
};

}  // namespace quorvane

#endif
