// Parsing, loading and printing of the core's XML documents.
#include "xml_document.h"

#include <algorithm>
#include <cassert>
#include <cstdio>
#include <memory>
#include <set>
#include <vector>

namespace {

// The library steps up to three bytes past the terminating zero when the
// text ends inside a multi-byte character; zeros behind it stop it there.
constexpr std::size_t kEndPadding = 8;
constexpr std::size_t kReadChunk = 65536;

// The library numbers its errors without "Memory allocation failed." (3);
// the core reports them with it, so library codes from 3 up move by one.
static_assert(TiXmlBase::TIXML_ERROR_STRING_COUNT == 16, "the library's error numbering changed");

int CoreErrorCode(int libraryCode)
{
    return libraryCode >= TiXmlBase::TIXML_ERROR_PARSING_ELEMENT ? libraryCode + 1 : libraryCode;
}

bool StartsWithUtf8Bom(const char* text)
{
    const auto* bytes = reinterpret_cast<const unsigned char*>(text);
    return bytes[0] == 0xef && bytes[1] == 0xbb && bytes[2] == 0xbf;
}

// CR LF and lone CR become LF, as the library's file loader does.
std::string NormalizeLineBreaks(const std::string& raw)
{
    std::string text;
    text.reserve(raw.size());
    for (std::size_t i = 0; i < raw.size(); ++i) {
        if (raw[i] != '\r') {
            text += raw[i];
            continue;
        }
        text += '\n';
        if (i + 1 < raw.size() && raw[i + 1] == '\n') {
            ++i;
        }
    }
    return text;
}

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

}  // namespace

// Follows the library's parser over a text without building a tree and
// without recursion: the library's own readers for white space, names,
// attributes, text, comments, declarations and unknown markup, called in the
// order its parser calls them, and a stop wherever its parse would fail. Of
// the tree only the open elements are kept, as the end tags they wait for.
class XmlDocument::DepthScan {
public:
    static constexpr std::size_t kWithinLimit = static_cast<std::size_t>(-1);

    DepthScan(XmlDocument& document, TiXmlEncoding encoding) : document_(document), encoding_(encoding) {}

    // Offset of the first refused markup in `text`, or kWithinLimit.
    std::size_t Run(const char* text);

private:
    const char* ReadStartTag(const char* p);
    const char* ReadEndTag(const char* p);
    static TiXmlEncoding DeclaredEncoding(const TiXmlDeclaration& declaration);

    XmlDocument& document_;
    TiXmlEncoding encoding_;
    std::vector<std::string> endTags_;  // "</name" of every open element, outermost first
};

std::size_t XmlDocument::DepthScan::Run(const char* text)
{
    if (*text == '\0') {
        return kWithinLimit;
    }
    if (encoding_ == TIXML_ENCODING_UNKNOWN && StartsWithUtf8Bom(text)) {
        encoding_ = TIXML_ENCODING_UTF8;
    }
    const char* withWhiteSpace = text;
    const char* p = SkipWhiteSpace(text, encoding_);
    while (p != nullptr && *p != '\0') {
        const bool inElement = !endTags_.empty();
        if (inElement && *p != '<') {
            TiXmlText textNode("");
            p = textNode.Parse(IsWhiteSpaceCondensed() ? p : withWhiteSpace, nullptr, encoding_);
        } else if (inElement && StringEqual(p, "</", false, encoding_)) {
            p = ReadEndTag(p);
        } else if (endTags_.size() + 1 > static_cast<std::size_t>(document_.maxParseDepth_)) {
            // Markup in the content of an element: counted from that element
            // up to the document node, the steps exceed the limit.
            return static_cast<std::size_t>(p - text);
        } else {
            std::unique_ptr<TiXmlNode> node(document_.Identify(p, encoding_));
            if (node == nullptr) {
                break;  // text after the top-level nodes ends the document
            }
            if (node->ToElement() != nullptr) {
                p = ReadStartTag(p);
            } else {
                p = node->Parse(p, nullptr, encoding_);
                if (!inElement && encoding_ == TIXML_ENCODING_UNKNOWN && node->ToDeclaration() != nullptr) {
                    encoding_ = DeclaredEncoding(*node->ToDeclaration());
                }
            }
        }
        withWhiteSpace = p;
        p = SkipWhiteSpace(p, encoding_);
    }
    return kWithinLimit;
}

const char* XmlDocument::DepthScan::ReadStartTag(const char* p)
{
    p = SkipWhiteSpace(p, encoding_);
    if (p == nullptr || *p != '<') {
        return nullptr;
    }
    std::string name;
    p = ReadName(SkipWhiteSpace(p + 1, encoding_), &name, encoding_);
    if (p == nullptr || *p == '\0') {
        return nullptr;
    }
    std::set<std::string> attributes;
    for (;;) {
        p = SkipWhiteSpace(p, encoding_);
        if (p == nullptr || *p == '\0') {
            return nullptr;
        }
        if (*p == '/') {
            return p[1] == '>' ? p + 2 : nullptr;
        }
        if (*p == '>') {
            endTags_.push_back("</" + name);
            return p + 1;
        }
        TiXmlAttribute attribute;
        p = attribute.Parse(p, nullptr, encoding_);
        // The library refuses an element that repeats an attribute name.
        if (p == nullptr || *p == '\0' || !attributes.insert(attribute.NameTStr()).second) {
            return nullptr;
        }
    }
}

const char* XmlDocument::DepthScan::ReadEndTag(const char* p)
{
    const std::string& endTag = endTags_.back();
    if (!StringEqual(p, endTag.c_str(), false, encoding_)) {
        return nullptr;
    }
    p = SkipWhiteSpace(p + endTag.size(), encoding_);
    if (p == nullptr || *p != '>') {
        return nullptr;
    }
    endTags_.pop_back();
    return p + 1;
}

TiXmlEncoding XmlDocument::DepthScan::DeclaredEncoding(const TiXmlDeclaration& declaration)
{
    const char* declared = declaration.Encoding();
    if (*declared == '\0' || StringEqual(declared, "UTF-8", true, TIXML_ENCODING_UNKNOWN) ||
        StringEqual(declared, "UTF8", true, TIXML_ENCODING_UNKNOWN)) {
        return TIXML_ENCODING_UTF8;
    }
    return TIXML_ENCODING_LEGACY;
}

const char* XmlDocument::Parse(const char* text, TiXmlParsingData* data, TiXmlEncoding encoding)
{
    errorId_ = 0;
    errorDesc_.clear();
    if (text == nullptr) {
        return TiXmlDocument::Parse(text, data, encoding);
    }
    std::string buffer(text);
    const std::size_t length = buffer.size();
    buffer.append(kEndPadding, '\0');

    const std::size_t cut = DepthScan(*this, encoding).Run(buffer.c_str());
    if (cut == DepthScan::kWithinLimit) {
        const char* end = TiXmlDocument::Parse(buffer.c_str(), data, encoding);
        return end == nullptr ? nullptr : text + std::min(static_cast<std::size_t>(end - buffer.c_str()), length);
    }
    // The text up to the refused markup, then an end tag that closes no
    // element: the library parses all before it as it would parse the whole
    // text, and stops right there with the nodes built so far.
    buffer.replace(cut, std::string::npos, "</");
    buffer.append(kEndPadding, '\0');
    TiXmlDocument::Parse(buffer.c_str(), data, encoding);
    assert(TiXmlDocument::ErrorId() == TIXML_ERROR_READING_END_TAG);
    Fail(kErrorTooDeep, kTooDeepText);
    return nullptr;
}

bool XmlDocument::LoadFile(const std::string& fileName)
{
    SetValue(fileName);
    std::unique_ptr<std::FILE, FileCloser> file(std::fopen(fileName.c_str(), "rb"));
    if (file == nullptr) {
        SetLibraryError(TIXML_ERROR_OPENING_FILE);
        return false;
    }
    Clear();
    ClearError();
    // Read to the end instead of trusting the size that the stream reports:
    // a directory opens, claims an enormous size and then fails to read.
    std::string raw;
    std::vector<char> chunk(kReadChunk);
    std::size_t count = 0;
    while ((count = std::fread(chunk.data(), 1, chunk.size(), file.get())) > 0) {
        raw.append(chunk.data(), count);
    }
    if (std::ferror(file.get()) != 0) {
        SetLibraryError(TIXML_ERROR_OPENING_FILE);
        return false;
    }
    if (raw.empty()) {
        SetLibraryError(TIXML_ERROR_DOCUMENT_EMPTY);
        return false;
    }
    Parse(NormalizeLineBreaks(raw).c_str());
    return !Error();
}

int XmlDocument::ErrorId() const
{
    return errorId_ != 0 ? errorId_ : CoreErrorCode(TiXmlDocument::ErrorId());
}

const char* XmlDocument::ErrorDesc() const
{
    return errorId_ != 0 ? errorDesc_.c_str() : TiXmlDocument::ErrorDesc();
}

void XmlDocument::ClearError()
{
    TiXmlDocument::ClearError();
    errorId_ = 0;
    errorDesc_.clear();
}

void XmlDocument::Fail(int code, const std::string& text)
{
    // The library's own flag too, so that its Error() agrees.
    SetLibraryError(TIXML_ERROR);
    errorId_ = code;
    errorDesc_ = text;
}

void XmlDocument::SetLibraryError(int libraryCode)
{
    ClearError();
    SetError(libraryCode, nullptr, nullptr, TIXML_ENCODING_UNKNOWN);
}

TiXmlElement* StartDocument(XmlDocument& document, const char* rootName)
{
    document.LinkEndChild(new TiXmlDeclaration("", "", ""));
    return AddElement(document, rootName);
}

TiXmlElement* AddElement(TiXmlNode& parent, const char* name)
{
    return parent.LinkEndChild(new TiXmlElement(name))->ToElement();
}

std::string PrintIndented(const TiXmlDocument& document)
{
    TiXmlPrinter printer;
    printer.SetIndent("    ");
    printer.SetLineBreak("\n");
    document.Accept(&printer);
    return printer.Str();
}

std::string PrintCompact(const TiXmlDocument& document)
{
    TiXmlPrinter printer;
    printer.SetStreamPrinting();
    document.Accept(&printer);
    return printer.Str();
}
