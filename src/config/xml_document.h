// The XML document type of the core: TinyXML's document with the core's
// nesting limit, error numbering and file reading.
//
// Every document the core parses, loads, builds or saves is an XmlDocument.
// What it adds to the library's document:
//  - A maximum parse depth of 100. While the content of an element nested
//    100 levels deep (the root element being level 1) is parsed, any markup
//    other than an end tag (a child element, a comment, CDATA, a declaration)
//    fails the parse with error 17. The nodes built before that markup stay
//    in the document, as they do for every parse error of the library. Any
//    other text parses exactly as the library parses it, and no text can make
//    the library's recursive parser nest deeper than the limit.
//  - Error codes as the core reports them (ErrorId, ErrorDesc): the library's
//    own codes, renumbered where the library leaves out the "Memory allocation
//    failed." code 3; code 17 for the depth limit; code 2 with a message of
//    their own for failed saves (Fail).
//  - LoadFile reads a named file as the library's loader does (binary read,
//    line breaks normalised to "\n", the text ends at its first zero byte),
//    but a file that cannot be read, a directory for one, fails with code 2
//    instead of ending the process.
//
// A document is used by one thread at a time. Failures are reported in the
// error state, never thrown (memory exhaustion aside).
#ifndef DVRCORE_CONFIG_XML_DOCUMENT_H
#define DVRCORE_CONFIG_XML_DOCUMENT_H

#include <tinyxml.h>

#include <cstddef>
#include <string>

class XmlDocument : public TiXmlDocument {
public:
    static constexpr int kDefaultMaxParseDepth = 100;
    // Error codes of the core's own.
    static constexpr int kErrorFile = 2;
    static constexpr int kErrorTooDeep = 17;
    static constexpr const char* kTooDeepText =
        "Elements nested too deeply (exceeds the configured maximum parse depth).";

    // The library's Parse with the nesting limit: parses a zero-terminated
    // text into the document. Returns where the parse ended within `text`, or
    // null on an error.
    const char* Parse(const char* text, TiXmlParsingData* data = nullptr,
                      TiXmlEncoding encoding = TIXML_DEFAULT_ENCODING) override;

    // Loads exactly the file `fileName`; true when it parsed completely. A
    // file that cannot be opened leaves the content as it was and sets code 2
    // "Failed to open file"; otherwise the content is replaced. Hides the
    // library's loaders, which know nothing of the nesting limit.
    bool LoadFile(const std::string& fileName);

    // The error state as the core reports it; these hide the library's
    // accessors of the same names.
    int ErrorId() const;
    const char* ErrorDesc() const;
    void ClearError();
    // Records a failure of the core's own: Error() turns true, with `code`,
    // `text` and no error location.
    void Fail(int code, const std::string& text);

private:
    // Finds the first markup of a text that the nesting limit refuses.
    class DepthScan;
    void SetLibraryError(int libraryCode);

    int maxParseDepth_ = kDefaultMaxParseDepth;
    // A failure of the core's own; 0 when the library's error state applies.
    int errorId_ = 0;
    std::string errorDesc_;
};

// Gives an empty document the bare declaration "<?xml ?>" and a root element
// named `rootName`; returns the root.
TiXmlElement* StartDocument(XmlDocument& document, const char* rootName);
// Appends a new element named `name` to `parent`; returns it.
TiXmlElement* AddElement(TiXmlNode& parent, const char* name);

// The document's text as it goes to a file: four spaces of indentation per
// level, "\n" after every line.
std::string PrintIndented(const TiXmlDocument& document);
// The document's text as it travels in events: no indentation, no line
// breaks, the declaration immediately followed by the root element.
std::string PrintCompact(const TiXmlDocument& document);

#endif  // DVRCORE_CONFIG_XML_DOCUMENT_H
