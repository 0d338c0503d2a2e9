// The update feed without the network: version texts, the up-to-date rule, the feed grammar and its
// bounds, the address split, what the program accepts as an update's address and file, and the hold on
// that file while its installer (a signed stand-in, started for real) runs.
#include <gtest/gtest.h>

#include <windows.h>
#include <shellapi.h>

#include <algorithm>
#include <functional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "ImportPatch.h"
#include "TempDir.h"
#include "UpdateTestUtil.h"
#include "app/UpdateFile.h"
#include "app/VersionChecker.h"
#include "libcommon/ProductNames.h"

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
        { L"HTTP://www.corvane.example:80/setup.exe?x=1", true },
        { L"http://www.corvane.example:8080/setup.exe", false },
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
    EXPECT_FALSE(HasPublisherSignature(exe, nullptr, kUpdatePublisherName, kMakersSigningKeySha256));
    CStartedUpdate started;
    EXPECT_FALSE(StartDownloadedUpdate(exe, { 1, 2, 3 }, { 1, 0, 1 }, &started));
    EXPECT_FALSE(started.IsHeld());
}

// ---- real installers, signed for real --------------------------------------------------------------------
//
// The build signs small stand-in installers (programs with a version resource, and a package made with
// wixl) with two test-only keys, both in certificates named like the makers: the key this test build pins
// and another one (tests/app/make-update-files.sh). Faked in the tests of the checks: ShellExecuteExW,
// which records what would be started and hands back a process that does not end while the test runs
// (this one's own). The tests of the hold start the stand-in for real.

namespace {

const ProductVersion kRunning{ 1, 0, 1 };

// A file the build made, by its name there.
std::wstring BuiltFile(const std::wstring& name)
{
    std::wstring path = L"Z:" + std::wstring(PELLUMAR_UPDATE_FILES_DIR) + L"/" + name;
    std::replace(path.begin(), path.end(), L'/', L'\\');
    return path;
}


std::wstring WriteBytes(const TempDir& dir, const std::wstring& name, const std::string& bytes)
{
    return dir.WriteFile(name, std::vector<uint8_t>(bytes.begin(), bytes.end()));
}

// What the fake ShellExecuteExW saw: the file and its bytes when the start was asked for.
struct Started {
    std::wstring verb, file;
    std::string bytes;
    int show;
};
std::vector<Started> g_started;
// Run by the fake before it looks at the file: stands for another program acting between check and start.
std::function<void(const std::wstring&)> g_beforeStart;
// Whether the fake hands back a process (a shell that passed the file to a running program gives none).
bool g_giveProcess = true;

BOOL WINAPI RecordShellExecuteEx(SHELLEXECUTEINFOW* info)
{
    const std::wstring path = info->lpFile ? info->lpFile : L"";
    if (g_beforeStart)
        g_beforeStart(path);
    g_started.push_back({ info->lpVerb ? info->lpVerb : L"", path, updtest::ReadAllBytes(path), info->nShow });
    info->hInstApp = reinterpret_cast<HINSTANCE>(42);
    info->hProcess = nullptr;
    if (g_giveProcess && (info->fMask & SEE_MASK_NOCLOSEPROCESS))
        info->hProcess = ::OpenProcess(SYNCHRONIZE, FALSE, ::GetCurrentProcessId());
    return TRUE;
}

struct RecordedStarts {
    RecordedStarts()
    {
        g_started.clear();
        g_beforeStart = nullptr;
        g_giveProcess = true;
    }
    ~RecordedStarts() { g_beforeStart = nullptr; }
    ImportPatch<decltype(::ShellExecuteExW)> patch{ "ShellExecuteExW", &RecordShellExecuteEx };
};

bool SamePath(const std::wstring& a, const std::wstring& b)
{
    return CString(a.c_str()).CompareNoCase(b.c_str()) == 0;
}

}

TEST(UpdateFile, OnlyASignatureWithTheMakersKeyPasses)
{
    TempDir dir;
    // The makers' file with one byte of its code changed: the signature no longer fits.
    std::string tampered = updtest::ReadAllBytes(BuiltFile(L"makers-update-1.2.3.exe"));
    ASSERT_GT(tampered.size(), 0x500u);
    tampered[0x400] = static_cast<char>(tampered[0x400] ^ 0x5A);
    const std::wstring tamperedPath = WriteBytes(dir, L"tampered.exe", tampered);
    // Pins one hex digit away from the makers' key, at either end: every digit counts.
    auto otherDigit = [](char c) { return c == '0' ? '1' : '0'; };
    std::string lastDigitOff = kMakersSigningKeySha256, firstDigitOff = kMakersSigningKeySha256;
    ASSERT_EQ(lastDigitOff.size(), 64u);
    lastDigitOff.back() = otherDigit(lastDigitOff.back());
    firstDigitOff.front() = otherDigit(firstDigitOff.front());
    struct Case {
        std::wstring path;
        const wchar_t* publisher;
        const char* key;
        bool passes;
    };
    const Case cases[] = {
        { BuiltFile(L"makers-update-1.2.3.exe"), kUpdatePublisherName, kMakersSigningKeySha256, true },
        { BuiltFile(L"makers-update-1.2.3.msi"), kUpdatePublisherName, kMakersSigningKeySha256, true },
        // Another key under the makers' own name: WinVerifyTrust accepts it under Wine, the pin does not.
        { BuiltFile(L"wrong-update-1.2.3.exe"), kUpdatePublisherName, kMakersSigningKeySha256, false },
        { BuiltFile(L"wrong-update-1.2.3.msi"), kUpdatePublisherName, kMakersSigningKeySha256, false },
        { BuiltFile(L"unsigned-update-1.2.3.exe"), kUpdatePublisherName, kMakersSigningKeySha256, false },
        { tamperedPath, kUpdatePublisherName, kMakersSigningKeySha256, false },
        // The makers' key under another name, and the product's reserved value.
        { BuiltFile(L"makers-update-1.2.3.exe"), L"Someone Else", kMakersSigningKeySha256, false },
        { BuiltFile(L"makers-update-1.2.3.exe"), kUpdatePublisherName,
          "0000000000000000000000000000000000000000000000000000000000000000", false },
        { BuiltFile(L"makers-update-1.2.3.exe"), kUpdatePublisherName, lastDigitOff.c_str(), false },
        { BuiltFile(L"makers-update-1.2.3.exe"), kUpdatePublisherName, firstDigitOff.c_str(), false },
        { BuiltFile(L"makers-update-1.2.3.msi"), kUpdatePublisherName, lastDigitOff.c_str(), false },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << CStringA(c.path.c_str()).GetString() << " " << c.key);
        EXPECT_EQ(HasPublisherSignature(c.path.c_str(), nullptr, c.publisher, c.key), c.passes);
        // The same through a handle of the file.
        HANDLE h = ::CreateFileW(c.path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(h, INVALID_HANDLE_VALUE);
        EXPECT_EQ(HasPublisherSignature(c.path.c_str(), h, c.publisher, c.key), c.passes);
        ::CloseHandle(h);
    }
}

TEST(UpdateFile, TheInstallersOwnVersion)
{
    struct Case {
        const wchar_t* name;
        bool found;
        ProductVersion version;
    };
    const Case cases[] = {
        { L"makers-update-1.0.0.exe", true, { 1, 0, 0 } },
        { L"makers-update-1.2.3.exe", true, { 1, 2, 3 } },
        { L"unsigned-update-1.0.1.exe", true, { 1, 0, 1 } },
        { L"makers-update-1.2.3.msi", true, { 1, 2, 3 } },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << CStringA(c.name).GetString());
        ProductVersion version{ 7, 7, 7 };
        ASSERT_EQ(GetInstallerVersion(BuiltFile(c.name).c_str(), &version), c.found);
        EXPECT_EQ(version.major, c.version.major);
        EXPECT_EQ(version.minor, c.version.minor);
        EXPECT_EQ(version.build, c.version.build);
    }
    TempDir dir;
    ProductVersion untouched{ 7, 7, 7 };
    EXPECT_FALSE(GetInstallerVersion(WriteBytes(dir, L"bare.exe", "MZ no resource").c_str(), &untouched));
    EXPECT_FALSE(GetInstallerVersion(WriteBytes(dir, L"bare.msi", "not a package").c_str(), &untouched));
    EXPECT_EQ(untouched.major, 7);
}

TEST(UpdateFile, OnlyTheMakersOfferedAndNewerInstallerIsStarted)
{
    struct Case {
        const wchar_t* name;   // the build's file; started as setup.exe or setup.msi
        ProductVersion offered;
        bool started;
    };
    const Case cases[] = {
        { L"makers-update-1.2.3.exe", { 1, 2, 3 }, true },
        { L"makers-update-1.2.3.msi", { 1, 2, 3 }, true },
        { L"makers-update-1.2.3.exe", { 1, 2, 4 }, false },    // not the version offered
        { L"makers-update-1.0.0.exe", { 2, 0, 0 }, false },    // an old installer behind a newer offer
        { L"makers-update-1.0.0.exe", { 1, 0, 0 }, false },    // older than the running program
        { L"makers-update-1.0.1.exe", { 1, 0, 1 }, false },    // the running program's own version
        { L"wrong-update-1.2.3.exe", { 1, 2, 3 }, false },
        { L"wrong-update-1.2.3.msi", { 1, 2, 3 }, false },
        { L"unsigned-update-1.2.3.exe", { 1, 2, 3 }, false },
        { L"transplanted-update-1.2.3.msi", { 1, 2, 3 }, false },   // the makers' signature on another package
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << CStringA(c.name).GetString() << " offered " << c.offered.major << "."
                                        << c.offered.minor << "." << c.offered.build);
        TempDir dir;
        RecordedStarts starts;
        ASSERT_TRUE(starts.patch.IsActive());
        const std::wstring source = BuiltFile(c.name);
        const std::string bytes = updtest::ReadAllBytes(source);
        ASSERT_FALSE(bytes.empty());
        const std::wstring name = std::wstring(L"setup") + (wcsstr(c.name, L".msi") ? L".msi" : L".exe");
        const std::wstring path = WriteBytes(dir, name, bytes);
        CStartedUpdate started;
        EXPECT_EQ(StartDownloadedUpdate(path.c_str(), c.offered, kRunning, &started), c.started);
        EXPECT_EQ(started.IsHeld(), c.started);
        EXPECT_EQ(g_started.size(), c.started ? 1u : 0u) << "ShellExecuteExW is called only for an accepted file";
        if (c.started && g_started.size() == 1) {
            EXPECT_EQ(g_started[0].verb, L"open");
            EXPECT_EQ(g_started[0].show, SW_SHOWMAXIMIZED);
            EXPECT_TRUE(SamePath(g_started[0].file, path)) << CStringA(g_started[0].file.c_str()).GetString();
            EXPECT_TRUE(g_started[0].bytes == bytes);
        }
    }
}

TEST(UpdateFile, NoSwapBetweenTheCheckAndTheStartGetsOtherBytesStarted)
{
    // Another program of the user swaps the checked file for its own just before the start is asked
    // for, every way it can: replacing it, renaming it away, deleting it, writing over it.
    TempDir dir;
    RecordedStarts starts;
    ASSERT_TRUE(starts.patch.IsActive());
    const std::string checked = updtest::ReadAllBytes(BuiltFile(L"makers-update-1.2.3.exe"));
    const std::string other = updtest::ReadAllBytes(BuiltFile(L"unsigned-update-1.2.3.exe"));
    ASSERT_FALSE(checked.empty());
    ASSERT_NE(checked, other);
    const std::wstring path = WriteBytes(dir, L"setup.exe", checked);
    const std::wstring swap = WriteBytes(dir, L"swap.exe", other);
    std::vector<std::string> swapped;
    g_beforeStart = [&](const std::wstring& file) { swapped = updtest::TrySwaps(file, swap, dir.Join(L"aside.exe"), other); };
    CStartedUpdate started;
    EXPECT_TRUE(StartDownloadedUpdate(path.c_str(), { 1, 2, 3 }, kRunning, &started));
    ASSERT_EQ(g_started.size(), 1u);
    EXPECT_TRUE(SamePath(g_started[0].file, path));
    EXPECT_TRUE(g_started[0].bytes == checked) << "the bytes started are the bytes checked";
    EXPECT_EQ(swapped, std::vector<std::string>{});
}

TEST(UpdateFile, AStartWithoutAProcessToWaitForCountsAsFailedAndHoldsNothing)
{
    TempDir dir;
    RecordedStarts starts;
    ASSERT_TRUE(starts.patch.IsActive());
    g_giveProcess = false;
    const std::wstring path = WriteBytes(dir, L"setup.exe", updtest::ReadAllBytes(BuiltFile(L"makers-update-1.2.3.exe")));
    CStartedUpdate started;
    EXPECT_FALSE(StartDownloadedUpdate(path.c_str(), { 1, 2, 3 }, kRunning, &started));
    EXPECT_EQ(g_started.size(), 1u);
    EXPECT_FALSE(started.IsHeld());
    EXPECT_TRUE(::MoveFileW(path.c_str(), dir.Join(L"moved.exe").c_str())) << "the file was let go";
}

// ---- the hold, with the signed stand-in started for real -------------------------------------------------

namespace {

constexpr UINT kEnded = WM_APP + 7;

// A message-only window of this thread that CStartedUpdate posts to.
struct EndWatch {
    EndWatch() { window = ::CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr); }
    ~EndWatch() { ::DestroyWindow(window); }
    // True once message has been posted to the window (false after a minute).
    bool WaitFor(UINT message) const
    {
        const ULONGLONG deadline = ::GetTickCount64() + 60000;
        for (;;) {
            MSG msg;
            if (::PeekMessageW(&msg, window, message, message, PM_REMOVE))
                return true;
            const ULONGLONG now = ::GetTickCount64();
            if (now >= deadline)
                return false;
            ::MsgWaitForMultipleObjects(0, nullptr, FALSE, static_cast<DWORD>(deadline - now), QS_POSTMESSAGE);
        }
    }
    HWND window = nullptr;
};

// The ways that worked, tried from another thread as another program would.
std::vector<std::string> SwapFromAnotherThread(const TempDir& dir, const std::wstring& path, const std::wstring& swap,
                                               const std::string& bytes)
{
    std::vector<std::string> swapped;
    std::thread([&] { swapped = updtest::TrySwaps(path, swap, dir.Join(L"aside.exe"), bytes); }).join();
    return swapped;
}

}

TEST(UpdateFile, TheStartedInstallerReadsTheCheckedBytesAndItsFileIsHeldUntilItHasEnded)
{
    TempDir dir;
    const std::string checked = updtest::ReadAllBytes(BuiltFile(L"makers-update-1.2.3.exe"));
    const std::string other = updtest::ReadAllBytes(BuiltFile(L"unsigned-update-1.2.3.exe"));
    ASSERT_FALSE(checked.empty());
    ASSERT_NE(checked, other);
    const std::wstring path = WriteBytes(dir, L"setup.exe", checked);
    const std::wstring swap = WriteBytes(dir, L"swap.exe", other);
    updtest::StandInRun standIn(dir.Path());
    CStartedUpdate started;
    ASSERT_TRUE(StartDownloadedUpdate(path.c_str(), { 1, 2, 3 }, kRunning, &started));
    ASSERT_TRUE(started.IsHeld());

    // Right after the start has returned, while the installer is still starting up.
    EXPECT_EQ(SwapFromAnotherThread(dir, path, swap, other), std::vector<std::string>{}) << "right after the start";
    ASSERT_TRUE(standIn.WaitUntilRead(started.Process()));
    EXPECT_TRUE(standIn.Reported() == checked) << "the installer read the bytes that were checked";
    // While it runs (it waits for Go).
    ASSERT_EQ(::WaitForSingleObject(started.Process(), 0), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_EQ(SwapFromAnotherThread(dir, path, swap, other), std::vector<std::string>{}) << "while it runs";

    // It ends: its owner is told, the hold lasts until the owner lets go, and then the file is free.
    EndWatch watch;
    ASSERT_TRUE(started.PostWhenEnded(watch.window, kEnded));
    standIn.Go();
    ASSERT_TRUE(watch.WaitFor(kEnded));
    EXPECT_EQ(::WaitForSingleObject(started.Process(), 0), static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_TRUE(updtest::ReadAllBytes(path) == checked);
    started.Release();
    EXPECT_FALSE(started.IsHeld());
    EXPECT_EQ(SwapFromAnotherThread(dir, path, swap, other).front(), "replaced") << "let go once it has ended";
    EXPECT_TRUE(updtest::ReadAllBytes(path) == other);
}

namespace {

// Runs once, before the real call: stands for another program acting during the checks.
std::function<void()> g_duringChecks;
ImportPatch<decltype(::GetFileVersionInfoSizeW)>* g_versionSize = nullptr;
DWORD WINAPI ActThenVersionSize(LPCWSTR file, LPDWORD handle)
{
    if (auto act = std::exchange(g_duringChecks, nullptr))
        act();
    return g_versionSize->Original()(file, handle);
}

}

TEST(UpdateFile, AFolderRenamedDuringTheChecksGetsNothingStarted)
{
    // Another program renames the download's folder while the held file is checked and puts a folder with
    // its own setup.exe of the same version in its place. Wine lets a folder that holds an open file be
    // renamed (NTFS refuses): the hook on the version read (the last check) does it for real, then lets
    // the real call run. Wine's own path of the held file stays the old one, which now names the other
    // file: nothing is started (had it been, the other stand-in would have reported).
    TempDir dir;
    const std::string checked = updtest::ReadAllBytes(BuiltFile(L"makers-update-1.2.3.exe"));
    const std::string other = updtest::ReadAllBytes(BuiltFile(L"unsigned-update-1.2.3.exe"));
    const std::wstring folder = dir.MakeFolder(L"download");
    const std::wstring path = WriteBytes(dir, L"download\\setup.exe", checked);
    ASSERT_FALSE(path.empty());
    bool renamed = false;
    g_duringChecks = [&] {
        renamed = ::MoveFileW(folder.c_str(), dir.Join(L"aside").c_str()) && !dir.MakeFolder(L"download").empty() &&
                  !WriteBytes(dir, L"download\\setup.exe", other).empty();
    };
    ImportPatch<decltype(::GetFileVersionInfoSizeW)> hook{ "GetFileVersionInfoSizeW", &ActThenVersionSize };
    g_versionSize = &hook;
    ASSERT_TRUE(hook.IsActive());
    updtest::StandInRun standIn(dir.Path());
    CStartedUpdate started;
    const bool result = StartDownloadedUpdate(path.c_str(), { 1, 2, 3 }, kRunning, &started);
    g_duringChecks = nullptr;
    ASSERT_TRUE(renamed);
    if (started.IsHeld()) {
        standIn.WaitUntilRead(started.Process());
        standIn.Go();
        ::WaitForSingleObject(started.Process(), 60000);
    }
    EXPECT_FALSE(result);
    EXPECT_FALSE(started.IsHeld());
    EXPECT_TRUE(standIn.Reported().empty()) << "a stand-in was started";
}
