// The nesting limit of the core's XML parser, its error codes and its file
// reading, checked against the XML library's own parse.
#include "xml_document.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <random>
#include <string>
#include <vector>

#include "core_process.h"

namespace {

std::string Nested(int levels, const std::string& innermost)
{
    std::string text;
    for (int i = 0; i < levels; ++i) {
        text += "<e" + std::to_string(i) + ">";
    }
    text += innermost;
    for (int i = levels - 1; i >= 0; --i) {
        text += "</e" + std::to_string(i) + ">";
    }
    return text;
}

int Depth(const TiXmlNode& node)
{
    int deepest = 0;
    for (const TiXmlElement* child = node.FirstChildElement(); child != nullptr; child = child->NextSiblingElement()) {
        deepest = std::max(deepest, Depth(*child));
    }
    return node.ToElement() != nullptr ? deepest + 1 : deepest;
}

// The library's parse of the whole text, cut back where the nesting limit
// stops: markup in the content of an element at level 100 or deeper, and
// everything after it. The reference the core's parser must match.
struct Reference {
    bool refused = false;
    std::string printed;
    int libraryCode = 0;
    int row = 0;
    int column = 0;
};

TiXmlNode* FirstTooDeep(TiXmlNode& node, int level)
{
    for (TiXmlNode* child = node.FirstChild(); child != nullptr; child = child->NextSibling()) {
        const bool markup = child->ToText() == nullptr || child->ToText()->CDATA();
        if (level >= XmlDocument::kDefaultMaxParseDepth && markup) {
            return child;
        }
        if (child->ToElement() != nullptr) {
            if (TiXmlNode* found = FirstTooDeep(*child, level + 1)) {
                return found;
            }
        }
    }
    return nullptr;
}

Reference ReferenceParse(const std::string& text)
{
    // Zeros behind the text, as the core adds them: the library would read
    // past the end of a text that stops inside a multi-byte character.
    const std::string buffer = text + std::string(8, '\0');
    TiXmlDocument document;
    document.Parse(buffer.c_str());
    Reference reference;
    TiXmlNode* refused = FirstTooDeep(document, 0);
    if (refused != nullptr) {
        reference.refused = true;
        TiXmlNode* node = refused;
        TiXmlNode* next = refused;
        while (TiXmlNode* parent = node->Parent()) {
            while (next != nullptr) {
                TiXmlNode* after = next->NextSibling();
                parent->RemoveChild(next);
                next = after;
            }
            node = parent;
            next = node->NextSibling();
        }
    } else {
        reference.libraryCode = document.ErrorId();
        reference.row = document.ErrorRow();
        reference.column = document.ErrorCol();
    }
    reference.printed = PrintIndented(document);
    return reference;
}

// Random texts around the nesting limit. Half are well formed; the others
// add pieces that exercise every lexical rule of the library: quoted '>' and
// '<', duplicate and broken attributes, unterminated comments and CDATA,
// declarations with their encodings, unknown markup, entities, multi-byte
// characters cut short, mismatched and broken end tags.
std::string RandomText(std::mt19937& random)
{
    // clang-format off
    static const std::vector<std::string> prologs = {
        "", "<?xml ?>", "<?xml version='1.0' encoding='ISO-8859-1'?>", "<?xml encoding=\"UTF-8\"?>",
        "\xEF\xBB\xBF", "<!-- top -->", "<!DOCTYPE d>", "  \n"};
    static const std::vector<std::string> wellFormed = {
        "<e/>", "<e a=\"1\" b='2'/>", "<e a='>'></e>", "<e>x</e>", "text", " &amp; ", "&#x41;", "\xC3\xA4",
        "\r\n", "\t ", "<!-- <e> -->", "<![CDATA[<e>]]>", "<!DOCTYPE x>", "<e\n>y</e >", "<_u/>"};
    static const std::vector<std::string> malformed = {
        "<e>", "<e a='<'>", "<e a=1>", "<e a='1' a='2'>", "<e a=\"open>", "<e a='1'b='2'>", "<e/ >", "</e>",
        "</f>", "</e", "</ e>", " & ", "&#xZZ;", "\xE4", "\xE4<", "\xF0<e>", "<!--", "<!-->", "<![CDATA[",
        "<?xml version='1.0'?>", "<?xml x='>' ?>", "< e>", "<1>", "<e a='\xE4'>", ">", "\xEF\xBB\xBF", "<?xml", "<"};
    // clang-format on
    auto pick = [&random](const std::vector<std::string>& list) {
        return list[std::uniform_int_distribution<std::size_t>(0, list.size() - 1)(random)];
    };
    const bool valid = random() % 2 == 0;
    std::string text = pick(prologs);
    const int opened = std::uniform_int_distribution<int>(valid ? 90 : 95, 103)(random);
    for (int i = 0; i < opened; ++i) {
        text += (i % 7 == 3) ? "\n  <e k=\"v\">" : "<e>";
    }
    const int count = std::uniform_int_distribution<int>(0, 25)(random);
    for (int i = 0; i < count; ++i) {
        text += pick(valid || random() % 2 == 0 ? wellFormed : malformed);
    }
    const int closed = valid ? opened : std::uniform_int_distribution<int>(0, opened + 2)(random);
    for (int i = 0; i < closed; ++i) {
        text += "</e>";
    }
    if (random() % 3 == 0) {
        text += pick(valid ? wellFormed : malformed);
    }
    return text;
}

TEST(XmlDepthLimit, AllowsHundredLevelsAndRefusesAnyMarkupBelowThem)
{
    XmlDocument hundred;
    hundred.Parse(Nested(100, "text").c_str());
    EXPECT_FALSE(hundred.Error()) << hundred.ErrorDesc();
    EXPECT_EQ(Depth(hundred), 100);

    for (const std::string inner : {"<x/>", "<!-- c -->", "<![CDATA[c]]>", "<?xml ?>", "<!DOCTYPE x>"}) {
        XmlDocument deep;
        EXPECT_EQ(deep.Parse(Nested(100, "before" + inner).c_str()), nullptr);
        EXPECT_TRUE(deep.Error()) << inner;
        EXPECT_EQ(deep.ErrorId(), 17) << inner;
        EXPECT_STREQ(deep.ErrorDesc(), "Elements nested too deeply (exceeds the configured maximum parse depth).");
        EXPECT_EQ(deep.ErrorRow(), 0);
        // The nodes before the refused markup stay, the text included.
        EXPECT_EQ(Depth(deep), 100) << inner;
        const TiXmlElement* innermost = deep.RootElement();
        while (innermost->FirstChildElement() != nullptr) {
            innermost = innermost->FirstChildElement();
        }
        ASSERT_NE(innermost->GetText(), nullptr);
        EXPECT_STREQ(innermost->GetText(), "before");
    }
}

TEST(XmlDepthLimit, HugeNestingIsCutWithoutDeepRecursion)
{
    // About 10 MB of nothing but start tags: the library alone would recurse
    // once per level and overflow the stack.
    std::string text = "<Vgil><Memory Throttling=\"0\"/>";
    while (text.size() < 10 * 1024 * 1024) {
        text += "<a>";
    }
    XmlDocument document;
    document.Parse(text.c_str());
    EXPECT_EQ(document.ErrorId(), 17);
    EXPECT_EQ(Depth(document), 100);
    ASSERT_NE(document.RootElement()->FirstChildElement("Memory"), nullptr);
}

TEST(XmlDepthLimit, EveryOtherTextParsesAsTheLibraryParsesIt)
{
    std::mt19937 random(20240601);
    int refused = 0;
    int clean = 0;
    int failed = 0;
    for (int round = 0; round < 2000; ++round) {
        // The library can keep white space; the core never asks it to, but
        // the parser must follow either way.
        const bool condense = round % 4 != 0;
        TiXmlBase::SetCondenseWhiteSpace(condense);
        const std::string text = RandomText(random);
        const Reference reference = ReferenceParse(text);
        XmlDocument document;
        document.Parse(text.c_str());
        TiXmlBase::SetCondenseWhiteSpace(true);

        const TiXmlDocument& library = document;
        SCOPED_TRACE(testing::Message() << "round " << round << ", condense " << condense << ": " << text);
        ASSERT_EQ(PrintIndented(document), reference.printed);
        if (reference.refused) {
            ++refused;
            ASSERT_EQ(document.ErrorId(), 17);
        } else {
            (reference.libraryCode == 0 ? clean : failed) += 1;
            ASSERT_EQ(library.ErrorId(), reference.libraryCode);
            ASSERT_EQ(library.ErrorRow(), reference.row);
            ASSERT_EQ(library.ErrorCol(), reference.column);
        }
    }
    // The texts must reach every outcome often enough to mean something.
    EXPECT_GT(refused, 300);
    EXPECT_GT(clean, 100);
    EXPECT_GT(failed, 300);
}

TEST(XmlDocumentErrors, CodesAndTextsAsTheCoreReportsThem)
{
    struct Case {
        const char* text;
        int code;
        const char* description;
    };
    const Case cases[] = {
        {"<a b='1' b='2'/>", 4, "Error parsing Element."},
        {"<a>text", 6, "Error reading Element value."},
        {"<a><b></a>", 9, "Error reading end tag."},
        {"", 13, "Error document empty."},
        {"<a/>", 0, ""},
    };
    for (const Case& c : cases) {
        XmlDocument document;
        document.Parse(c.text);
        EXPECT_EQ(document.ErrorId(), c.code) << c.text;
        EXPECT_STREQ(document.ErrorDesc(), c.description) << c.text;
    }

    XmlDocument saved;
    saved.Fail(XmlDocument::kErrorFile, "create error 13 - Permission denied");
    EXPECT_TRUE(saved.Error());
    EXPECT_EQ(saved.ErrorId(), 2);
    EXPECT_STREQ(saved.ErrorDesc(), "create error 13 - Permission denied");
    saved.Parse("<a/>");
    EXPECT_FALSE(saved.Error());
    EXPECT_EQ(saved.ErrorId(), 0);
}

TEST(XmlDocumentLoad, ReadsFilesAsTheLibraryDoesAndFailsSafely)
{
    dvrtest::TempDir dir;
    const std::string name = dir / "doc.xml";

    // Line breaks are normalised and the text ends at its first zero byte.
    dvrtest::WriteFile(name, std::string("<a>x\r\ny\rz</a>\0<b/>", 19));
    XmlDocument normalised;
    EXPECT_TRUE(normalised.LoadFile(name));
    TiXmlDocument library;
    EXPECT_TRUE(library.LoadFile(name));
    EXPECT_EQ(PrintIndented(normalised), PrintIndented(library));

    dvrtest::WriteFile(name, "");
    XmlDocument empty;
    EXPECT_FALSE(empty.LoadFile(name));
    EXPECT_EQ(empty.ErrorId(), 13);

    // A file that cannot be opened keeps what the document held.
    XmlDocument kept;
    kept.Parse("<old/>");
    EXPECT_FALSE(kept.LoadFile(dir / "missing.xml"));
    EXPECT_EQ(kept.ErrorId(), 2);
    EXPECT_STREQ(kept.ErrorDesc(), "Failed to open file");
    EXPECT_NE(kept.FirstChildElement("old"), nullptr);

    // A directory opens but cannot be read.
    ASSERT_EQ(::mkdir((dir / "dir.xml").c_str(), 0755), 0);
    XmlDocument directory;
    EXPECT_FALSE(directory.LoadFile(dir / "dir.xml"));
    EXPECT_EQ(directory.ErrorId(), 2);
}

}  // namespace
