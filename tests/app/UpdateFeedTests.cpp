// The update feed without the network: version texts, the up-to-date rule, the feed grammar and its
// bounds, the address split, and what the program accepts as an update's address and file.
#include <gtest/gtest.h>

#include <string>

#include "TempDir.h"
#include "app/UpdateFile.h"
#include "app/VersionChecker.h"

namespace {

std::string Feed(const std::string& win32, const std::string& rest = "")
{
    return "<?xml version=\"1.0\"?>\n<Product>\n  <Win32>" + win32 + "</Win32>\n" + rest + "</Product>\n";
}
const std::string kItems = "<Text>New</Text><Version>1.2.3</Version><Url>http://h/setup.exe</Url>";

}

TEST(ParseVersionString, Table)
{
    struct Case {
        const char* text;
        BOOL ok;
        int major, minor, build;
    };
    const Case cases[] = {
        { "1.0.1", TRUE, 1, 0, 1 },
        { "1.2.3.4", TRUE, 1, 2, 3 },
        { "1..2.3", TRUE, 1, 2, 3 },
        { ".1.2.3", TRUE, 1, 2, 3 },
        { "1.x.3", TRUE, 1, 0, 3 },
        { " 7. -2.+3", TRUE, 7, -2, 3 },
        { "10a.20b.30c", TRUE, 10, 20, 30 },
        { "99999999999.-99999999999.2147483647", TRUE, 2147483647, -2147483647 - 1, 2147483647 },
        { "1.2", FALSE, 0, 0, 0 },
        { "", FALSE, 0, 0, 0 },
        { "...", FALSE, 0, 0, 0 },
        { nullptr, FALSE, 0, 0, 0 },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text ? c.text : "(null)");
        ProductVersion v;
        EXPECT_EQ(ParseVersionString(&v, c.text), c.ok);
        if (c.ok) {
            EXPECT_EQ(v.major, c.major);
            EXPECT_EQ(v.minor, c.minor);
            EXPECT_EQ(v.build, c.build);
        }
    }
}

TEST(IsUpToDate, ComparesMajorMinorBuildInOrder)
{
    const ProductVersion running{ 1, 0, 1 };
    struct Case {
        ProductVersion offered;
        bool upToDate;
    };
    const Case cases[] = {
        { { 1, 0, 1 }, true },  { { 0, 0, 1 }, true },  { { 1, 0, 0 }, true },
        // An older version with a larger minor or build is still older (a field-by-field test would
        // call 0.9.9 newer and offer it).
        { { 0, 9, 9 }, true },  { { 0, 1, 0 }, true },
        { { 1, 0, 2 }, false }, { { 1, 1, 0 }, false }, { { 2, 0, 0 }, false }, { { 1, 0, 10 }, false },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.offered.major << "." << c.offered.minor << "." << c.offered.build);
        EXPECT_EQ(IsUpToDate(running, c.offered), c.upToDate);
    }
}

TEST(ParseFeed, GrammarTable)
{
    struct Case {
        const char* name;
        std::string text;
        bool ok;
        const wchar_t* url;
        std::vector<std::wstring> features;
    };
    const Case cases[] = {
        { "valid with features", Feed(kItems, "<Features><F>one</F><F>two</F><F>three</F></Features>"), true,
          L"http://h/setup.exe", { L"one", L"two", L"three" } },
        { "no Features", Feed(kItems), true, L"http://h/setup.exe", {} },
        { "empty feature skipped", Feed(kItems, "<Features><F>one</F><F/><F></F><F>two</F></Features>"), true,
          L"http://h/setup.exe", { L"one", L"two" } },
        { "comment between items", Feed("<Text>x</Text><!-- c --><Version>1.2.3</Version><!-- d --><Url>u</Url>"),
          true, L"u", {} },
        { "extra items ignored", Feed(kItems + "<More>x</More><More>y</More>"), true, L"http://h/setup.exe", {} },
        { "empty url element", Feed("<Text/><Version>1.2.3</Version><Url/>"), true, L"", {} },
        { "root name not examined", "<Other><Win32>" + kItems + "</Win32></Other>", true, L"http://h/setup.exe", {} },
        { "comment first in Win32", Feed("<!-- c -->" + kItems), false, nullptr, {} },
        { "two items only", Feed("<Text>x</Text><Version>1.2.3</Version>"), false, nullptr, {} },
        { "bad version", Feed("<Text>x</Text><Version>1.2</Version><Url>u</Url>"), false, nullptr, {} },
        { "version without text", Feed("<Text>x</Text><Version/><Url>u</Url>"), false, nullptr, {} },
        { "name case matters", "<P><win32>" + kItems + "</win32></P>", false, nullptr, {} },
        { "Features name case", Feed(kItems, "<features><F>one</F></features>"), true, L"http://h/setup.exe", {} },
        { "not XML", "HTTP 404 page", false, nullptr, {} },
        { "empty", "", false, nullptr, {} },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CVersionChecker checker(L"http://feed.example/f.xml");
        EXPECT_EQ(checker.ParseFeed(c.text.c_str()), c.ok ? TRUE : FALSE);
        CUpdateInfo* info = checker.GetInfo();
        ASSERT_EQ(info != nullptr, c.ok);
        if (!info)
            continue;
        EXPECT_EQ(info->m_downloadUrl, c.url);
        ASSERT_EQ(info->m_features.size(), c.features.size());
        for (size_t i = 0; i < c.features.size(); ++i)
            EXPECT_EQ(info->m_features[i].Str(), c.features[i]);
        EXPECT_EQ(info->m_feedHost, L"feed.example");
    }
}

TEST(ParseFeed, AFailedParseDropsThePreviousRecordAndANulEndsTheText)
{
    CVersionChecker checker(L"http://h/f.xml");
    std::string good = Feed(kItems);
    ASSERT_TRUE(checker.ParseFeed(good.c_str()));
    EXPECT_FALSE(checker.ParseFeed("junk"));
    EXPECT_EQ(checker.GetInfo(), nullptr);

    std::string cut = Feed("<Text>x</Text><Version>1.2.3</Version>") + std::string(1, '\0') + "<Url>u</Url>";
    EXPECT_FALSE(checker.ParseFeed(cut.c_str()));
}

TEST(ParseFeed, TextIsUtf8WithTheAnsiCodePageAsFallback)
{
    // "Schnellere Löschung" in UTF-8, and the same word in the ANSI code page's bytes.
    const std::string utf8 = "Schnellere L\xC3\xB6schung";
    const std::string ansi = "Caf\xE9";
    CVersionChecker checker(L"http://h/f.xml");
    std::string text = Feed(kItems, "<Features><F>" + utf8 + "</F><F>" + ansi + "</F><F>caf&#xE9;</F></Features>");
    ASSERT_TRUE(checker.ParseFeed(text.c_str()));
    const auto& lines = checker.GetInfo()->m_features;
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0].Str(), L"Schnellere L\u00F6schung");
    wchar_t expected[16] = {};
    ::MultiByteToWideChar(CP_THREAD_ACP, 0, ansi.c_str(), -1, expected, 16);
    EXPECT_EQ(lines[1].Str(), std::wstring(expected));
    EXPECT_EQ(lines[2].Str(), L"caf\u00E9");
}

namespace {

std::string Repeat(const std::string& piece, int count)
{
    std::string text;
    for (int i = 0; i < count; ++i)
        text += piece;
    return text;
}

std::string Nested(int depth, const std::string& open)
{
    return Repeat(open, depth) + Repeat("</a>", depth);
}

}

TEST(ParseFeed, NestingIsCappedBeforeTheParserSeesIt)
{
    // The feed itself needs three levels; 32 is allowed, 33 is not.
    std::string at32 = "<P><Win32>" + kItems + "</Win32><Features>" + Nested(30, "<a>") + "</Features></P>";
    std::string at33 = "<P><Win32>" + kItems + "</Win32><Features>" + Nested(31, "<a>") + "</Features></P>";
    CVersionChecker checker(L"http://h/f.xml");
    EXPECT_TRUE(checker.ParseFeed(at32.c_str()));
    EXPECT_FALSE(checker.ParseFeed(at33.c_str()));
    const std::string declared = "<?xml version=\"1.0\" encoding=\"utf-8\" standalone='yes'?>" + at32;
    EXPECT_TRUE(checker.ParseFeed(declared.c_str()));

    // The count never falls below the parser's depth, however the markup around the elements is made.
    const std::string forty = Repeat("<a>", 40);
    struct Case {
        const char* name;
        std::string text;
        bool deeper;
    };
    const Case cases[] = {
        { "32 levels", Nested(32, "<a>"), false },
        { "33 levels", Nested(33, "<a>"), true },
        { "a quoted \"/>\" ends nothing", Nested(33, "<a x=\"/>\">"), true },
        { "a quoted '>' ends nothing", Nested(33, "<a x='>'>"), true },
        // Markup the parser does not know ends at its first '>', whatever follows.
        { "unknown markup", "<?x>" + forty, true },
        { "unknown markup closed late by \"?>\"", "<?x>" + forty + "?>", true },
        { "'<' before a character that starts no name", "<1 x='>" + forty + "'>", true },
        // A declaration ends at its first '>' too, and one the parser may read otherwise is refused.
        { "declaration without \"?>\"", "<?xml version='1.0'>" + forty, true },
        { "declaration with a quote the parser skips", "<?xml y=' version='>" + std::string("<!--'?>") + forty + "-->", true },
        { "plain declarations", "<?xml version='1.0'?><?XML version = \"1.0\" ?>" + Nested(32, "<a>"), false },
        // At the top an end tag leaves no depth to lower.
        { "end tags before the elements", Repeat("</a>", 100) + forty, true },
        // A character reference runs to the next ';', in text and in a quoted value.
        { "character reference over end tags", Repeat("<a>", 20) + "&#" + Repeat("</a>", 20) + "#1;" + Repeat("<a>", 20), true },
        { "character reference in a value", "<a x=\"&#x\"><!--x41;\">" + forty + "-->", true },
        { "character references that end", Repeat("<a>&#65;&#x42;", 32) + Repeat("</a>", 32), false },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(CVersionChecker::NestsDeeperThan(c.text.c_str(), 32), c.deeper);
    }

    // Deep enough to overflow the parser's stack (each under the 64 KiB body cap where it can be): the
    // test process survives to say so.
    const std::string deep[] = {
        "<?x>" + Repeat("<a>", 20000),
        "<?xml version='1.0'>" + Repeat("<a>", 20000),
        Repeat("</a>", 7000) + Repeat("<a>", 7030),
        "<1 x='>" + Repeat("<a>", 20000) + "'>",
        "<a>&#" + Repeat("</a>", 20) + "#1;" + Repeat("<a>", 20000),
        "<a x=\"&#x\"><!--x41;\">" + Repeat("<a>", 20000) + "-->",
        Nested(100000, "<a>"),
        Nested(100000, "<a x=\"/>\">"),
        Nested(100000, "<a x='>'>"),
        Nested(6000, "<a>"),
    };
    for (const std::string& text : deep) {
        SCOPED_TRACE(text.substr(0, 24));
        EXPECT_FALSE(checker.ParseFeed(text.c_str()));
    }

    // What does not nest is not counted.
    std::string flat = "<P><!-- <a><a><a> --><![CDATA[<a><a>]]><?pi <a> ?>";
    for (int i = 0; i < 1000; ++i)
        flat += "<e/><e x='<a>'/>";
    flat += "</P>";
    EXPECT_FALSE(CVersionChecker::NestsDeeperThan(flat.c_str(), 2));
}

TEST(VersionChecker, ServerAndPathSplit)
{
    struct Case {
        const wchar_t* url;
        const wchar_t* server;
        const wchar_t* path;
    };
    const Case cases[] = {
        { L"http://www.corvane.example/wp-content/x.xml", L"www.corvane.example", L"/wp-content/x.xml" },
        { L"http://host/", L"host", L"/" },
        { L"host/a/b", L"host", L"/a/b" },
        { L"http://host", L"", L"" },
        { L"http://host/a/http://b", L"host", L"/a/b" },   // every "http://" goes
        { L"HTTP://host/a", L"HTTP:", L"//host/a" },         // the scheme is matched case-sensitively
        { L"https://host/a", L"https:", L"//host/a" },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.url);
        CVersionChecker checker(c.url);
        EXPECT_EQ(checker.GetServerName(), c.server);
        EXPECT_EQ(checker.GetObjectPath(), c.path);
    }
}

TEST(UpdateFile, OnlyHttpAddressesOnTheFeedsHostAreDownloaded)
{
    struct Case {
        const wchar_t* url;
        bool allowed;
    };
    const Case cases[] = {
        { L"http://www.corvane.example/setup.exe", true },
        { L"https://WWW.Corvane.Example/dl/setup.msi", true },
        { L"HTTP://www.corvane.example:8080/setup.exe?x=1", true },
        { L"http://www.corvane.example", true },
        { L"http://other.example/setup.exe", false },
        { L"http://www.corvane.example.evil.example/setup.exe", false },
        { L"http://www.corvane.example@evil.example/setup.exe", false },
        { L"http://evil.example/www.corvane.example/setup.exe", false },
        { L"http://www.corvane.example:80x/setup.exe", false },
        { L"file:///C:/Windows/System32/calc.exe", false },
        { L"file://www.corvane.example/setup.exe", false },
        { L"\\\\www.corvane.example\\share\\setup.exe", false },
        { L"C:\\Windows\\System32\\calc.exe", false },
        { L"ftp://www.corvane.example/setup.exe", false },
        { L"http:\\\\www.corvane.example\\setup.exe", false },
        { L"http://www.corvane.example/set up.exe", false },
        { L"", false },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.url);
        EXPECT_EQ(IsAllowedDownloadUrl(c.url, L"www.corvane.example"), c.allowed);
    }
    EXPECT_FALSE(IsAllowedDownloadUrl(L"http://h/setup.exe", L""));
}

TEST(UpdateFile, OnlyRegularExeAndMsiFilesAreRunAndAnUnsignedFileIsRefused)
{
    TempDir dir;
    auto make = [&](const std::wstring& name) {
        std::wstring path = dir.Path() + L"\\" + name;
        HANDLE h = ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        DWORD written = 0;
        ::WriteFile(h, "MZ", 2, &written, nullptr);
        ::CloseHandle(h);
        return CString(path.c_str());
    };
    const CString exe = make(L"setup.exe");
    EXPECT_TRUE(IsRunnableUpdateFile(exe));
    EXPECT_TRUE(IsRunnableUpdateFile(make(L"setup.MSI")));
    EXPECT_FALSE(IsRunnableUpdateFile(make(L"setup.bat")));
    EXPECT_FALSE(IsRunnableUpdateFile(make(L"setup.exe.txt")));
    EXPECT_FALSE(IsRunnableUpdateFile(CString(dir.Path().c_str()) + L"\\missing.exe"));
    std::wstring folder = dir.Path() + L"\\folder.exe";
    ASSERT_TRUE(::CreateDirectoryW(folder.c_str(), nullptr));
    EXPECT_FALSE(IsRunnableUpdateFile(folder.c_str()));
    EXPECT_FALSE(IsRunnableUpdateFile(L""));

    // An unsigned file fails the signature check for real, so it is never started.
    EXPECT_FALSE(HasPublisherSignature(exe, kUpdatePublisherName));
    EXPECT_FALSE(StartDownloadedUpdate(exe));
}
