// The request reader by a table of request images, the path check by a table of paths, the start-up
// decisions (mode, drive roots, single item) by tables, and real named mappings: one whose counts run past
// its end, and a reserved section with one committed page.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "RequestEncoder.h"
#include "app/ShellRequest.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Encode(std::vector<std::wstring> files, std::vector<std::wstring> folders, bool freeSpace = false,
             uint32_t padding = 0)
{
    RequestImage image;
    image.m_files = std::move(files);
    image.m_folders = std::move(folders);
    image.m_freeSpace = freeSpace;
    image.m_padding = padding;
    return EncodeShellRequest(image);
}

// Header (acknowledge, flags) and a file count, then whatever the case appends.
Bytes Header(uint32_t fileCount, uint8_t freeSpace = 0)
{
    Bytes bytes{0, 0, freeSpace};
    AppendUInt32(bytes, fileCount);
    return bytes;
}

Bytes Cat(Bytes a, const Bytes& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

Bytes Record(const std::wstring& path, uint32_t padding = 0)
{
    Bytes bytes;
    AppendPathRecord(bytes, path, padding);
    return bytes;
}

Bytes Count(uint32_t value)
{
    Bytes bytes;
    AppendUInt32(bytes, value);
    return bytes;
}

// A record whose advance is given outright.
Bytes RawRecord(uint32_t advance, const std::wstring& path, bool nul = true)
{
    Bytes bytes = Count(advance);
    for (wchar_t unit : path) {
        bytes.push_back(static_cast<uint8_t>(unit));
        bytes.push_back(static_cast<uint8_t>(unit >> 8));
    }
    if (nul) {
        bytes.push_back(0);
        bytes.push_back(0);
    }
    return bytes;
}

struct ImageCase {
    const char* name;
    Bytes bytes;
    RequestFault fault;
    bool recycleBin = false;
    bool freeSpace = false;
    std::vector<std::wstring> files = {};
    std::vector<std::wstring> folders = {};
};

}

TEST(ShellRequest, ReadsEachImageOrRefusesIt)
{
    const std::wstring a = L"C:\\data\\a.txt", b = L"C:\\data\\b.txt", dir = L"C:\\data\\dir";
    const std::vector<ImageCase> cases = {
        {"empty request", Encode({}, {}), RequestFault::None},
        {"files and folders in order", Encode({b, a}, {dir, L"D:\\"}), RequestFault::None, false, false, {b, a},
         {dir, L"D:\\"}},
        {"padding after each path", Encode({a, b}, {dir}, false, 7), RequestFault::None, false, false, {a, b}, {dir}},
        {"the advance alone decides where the next record starts",
         Cat(Cat(Header(2), RawRecord(static_cast<uint32_t>((a.size() + 1) * 2 + 6), a)),
             Cat(Bytes{1, 2, 3, 4, 5, 6}, Cat(Record(b), Count(0)))),
         RequestFault::None, false, false, {a, b}},
        {"recycle bin, garbage after byte 1", Bytes{0, 1, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, RequestFault::None, true},
        {"recycle bin, nothing after byte 1", Bytes{0, 7}, RequestFault::None, true},
        {"free space on a drive root", Encode({}, {L"D:\\"}, true), RequestFault::None, false, true, {}, {L"D:\\"}},
        {"data after the last record", Cat(Encode({a}, {}), Bytes(40, 0xEE)), RequestFault::None, false, false, {a}},

        {"nothing at all", Bytes{}, RequestFault::Truncated},
        {"only the acknowledge byte", Bytes{0}, RequestFault::Truncated},
        {"no free-space flag", Bytes{0, 0}, RequestFault::Truncated},
        {"file count cut short", Bytes{0, 0, 0, 1, 0}, RequestFault::Truncated},
        {"no folder count", Header(0), RequestFault::Truncated},
        {"folder count cut short", Cat(Header(0), Bytes{0, 0}), RequestFault::Truncated},
        {"file count past the end", Cat(Header(2), Cat(Record(a), Count(0))), RequestFault::Truncated},
        {"huge file count", Cat(Header(0xFFFFFFFF), Record(a)), RequestFault::Truncated},
        {"folder count past the end", Cat(Header(0), Cat(Count(3), Record(dir))), RequestFault::Truncated},
        {"advance cut short", Cat(Header(1), Bytes{8, 0}), RequestFault::Truncated},
        {"path without its NUL", Cat(Header(1), RawRecord(40, a, false)), RequestFault::Truncated},
        {"advance past the end", Cat(Header(1), Cat(RawRecord(4000, a), Count(0))), RequestFault::Truncated},
        // The last record of all: nothing after it would fail on its own.
        {"last record's advance past the end", Cat(Header(0), Cat(Count(1), RawRecord(4000, dir))),
         RequestFault::Truncated},
        {"advance shorter than the path", Cat(Header(1), Cat(RawRecord(static_cast<uint32_t>(a.size() * 2), a), Count(0))),
         RequestFault::ShortAdvance},
        {"advance of zero", Cat(Header(1), Cat(RawRecord(0, a), Count(0))), RequestFault::ShortAdvance},
        {"empty path", Cat(Header(1), Cat(RawRecord(2, L""), Count(0))), RequestFault::BadPath},
        {"one bad folder refuses the whole request", Encode({a}, {dir, L"C:\\data\\..\\x"}), RequestFault::BadPath},
        {"free space without a folder", Encode({}, {}, true), RequestFault::NoFreeSpaceDrive},
        {"free space on a folder", Encode({}, {dir, L"D:\\"}, true), RequestFault::NoFreeSpaceDrive},
        {"free space with only files", Encode({L"D:\\x"}, {}, true), RequestFault::NoFreeSpaceDrive},
    };
    for (const ImageCase& c : cases) {
        SCOPED_TRACE(c.name);
        ShellRequest request;
        request.m_files = {L"left over"};
        const RequestFault fault = ParseShellRequest(c.bytes.data(), c.bytes.size(), request);
        EXPECT_EQ(c.fault, fault);
        if (c.fault != RequestFault::None) {
            EXPECT_EQ(std::vector<std::wstring>{L"left over"}, request.m_files) << "a refused request fills nothing";
            continue;
        }
        EXPECT_EQ(c.recycleBin, request.m_recycleBin);
        EXPECT_EQ(c.freeSpace, request.m_freeSpace);
        EXPECT_EQ(c.files, request.m_files);
        EXPECT_EQ(c.folders, request.m_folders);
    }
}

TEST(ShellRequest, LeavesEachItemOnceAndItemsInsideAListedFolderToIt)
{
    struct Case {
        const char* name;
        std::vector<std::wstring> files, folders;
        std::vector<std::wstring> keptFiles, keptFolders;
    };
    const std::wstring dir = L"C:\\data\\dir", a = L"C:\\data\\a.txt";
    const std::vector<Case> cases = {
        {"the same file twice", {a, a}, {}, {a}, {}},
        {"the same file in another case", {a, L"c:\\DATA\\A.TXT"}, {}, {a}, {}},
        {"the same folder with and without a trailing backslash", {}, {dir, dir + L"\\"}, {}, {dir}},
        {"the same folder in another case", {}, {dir + L"\\", L"C:\\Data\\DIR"}, {}, {dir + L"\\"}},
        {"a folder inside a listed folder", {}, {dir, dir + L"\\sub"}, {}, {dir}},
        {"a folder that holds folders listed before it", {}, {dir + L"\\sub", a, dir + L"\\x\\y", L"C:\\data"},
         {}, {L"C:\\data"}},
        {"a listed folder replaces the first of those it holds", {}, {L"D:\\k", dir + L"\\s", L"D:\\m", dir},
         {}, {L"D:\\k", dir, L"D:\\m"}},
        {"a file inside a listed folder, at any depth", {dir + L"\\f.txt", dir + L"\\s\\g.txt", a}, {dir}, {a}, {dir}},
        {"a file that is a listed folder", {dir}, {dir + L"\\"}, {}, {dir + L"\\"}},
        {"a name that only begins as the folder's", {dir + L"2.txt"}, {dir, dir + L".old"}, {dir + L"2.txt"},
         {dir, dir + L".old"}},
        {"a drive root holds everything on its drive", {L"D:\\f", a}, {L"D:\\x", L"D:\\"}, {a}, {L"D:\\"}},
        {"a share's folder", {L"\\\\srv\\share\\d\\f"}, {L"\\\\srv\\share\\d", L"\\\\SRV\\Share\\d\\"}, {},
         {L"\\\\srv\\share\\d"}},
        {"distinct items keep their order", {L"C:\\b", a}, {L"C:\\z", dir}, {L"C:\\b", a}, {L"C:\\z", dir}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Bytes bytes = Encode(c.files, c.folders);
        ShellRequest request;
        ASSERT_EQ(RequestFault::None, ParseShellRequest(bytes.data(), bytes.size(), request));
        EXPECT_EQ(c.keptFiles, request.m_files);
        EXPECT_EQ(c.keptFolders, request.m_folders);
    }
}

TEST(ShellRequest, TakesOnlyPlainFullyQualifiedPaths)
{
    struct PathCase {
        const wchar_t* path;
        bool accepted;
    };
    const PathCase cases[] = {
        {L"C:\\", true},
        {L"c:\\", true},
        {L"C:\\data", true},
        {L"C:\\data\\file.txt", true},
        {L"C:\\data\\.hidden", true},
        {L"C:\\data\\a b\\c.d.e", true},
        {L"C:\\data\\dir\\", true},
        {L"\\\\server\\share", true},
        {L"\\\\server\\share\\dir\\file", true},

        {L"", false},
        {L"T:", false},
        {L"C:", false},
        {L"\\", false},
        {L"C:data", false},
        {L"data\\file", false},
        {L"file.txt", false},
        {L".", false},
        {L" C:\\data", false},
        {L"C:\\a\\..", false},
        {L"C:\\a\\..\\b", false},
        {L"C:\\a\\.", false},
        {L"C:\\a\\.\\b", false},
        {L"C:\\a ", false},
        {L"C:\\a.", false},
        {L"C:\\a\\b. . ", false},
        {L"C:\\a\\\\b", false},
        {L"C:\\dir\\CON", false},
        {L"C:\\dir\\nul", false},
        {L"C:\\dir\\com1", false},
        {L"C:/data", false},
        {L"C:\\data/file", false},
        {L"C:\\data\\*", false},
        {L"C:\\data\\a?c", false},
        {L"C:\\data\\a<b", false},
        {L"C:\\data\\a\"b", false},
        {L"C:\\data\\a|b", false},
        {L"C:\\data\\a:stream", false},
        {L"C:\\data\\a\tb", false},
        {L"1:\\data", false},
        {L"\\\\?\\C:\\data", false},
        {L"\\\\.\\C:", false},
        {L"\\\\.\\PhysicalDrive0", false},
        {L"\\??\\C:\\data", false},
        {L"\\\\server", false},
        {L"\\\\server\\", false},
        {L"\\\\\\share", false},
        {L"\\\\server\\share\\..\\other", false},
    };
    for (const PathCase& c : cases) {
        SCOPED_TRACE(testing::Message() << "path \"" << std::string(c.path, c.path + wcslen(c.path)) << "\"");
        EXPECT_EQ(c.accepted, IsAcceptedRequestPath(c.path));
    }
}

TEST(ShellRequest, CountsDriveRootsAmongFoldersOnly)
{
    EXPECT_EQ(0u, CountDriveRoots({}));
    EXPECT_EQ(1u, CountDriveRoots({L"C:\\"}));
    EXPECT_EQ(2u, CountDriveRoots({L"C:\\", L"C:\\data", L"D:\\"}));
    EXPECT_EQ(0u, CountDriveRoots({L"C:\\a", L"\\\\s\\sh"}));

    // A three-character file path names a file, not a drive: a request reads it into the file list.
    const Bytes bytes = Encode({L"C:\\"}, {L"D:\\"});
    ShellRequest request;
    ASSERT_EQ(RequestFault::None, ParseShellRequest(bytes.data(), bytes.size(), request));
    EXPECT_EQ(1u, CountDriveRoots(request.m_folders));
}

TEST(ShellRequest, SingleItemOnlyForExactlyOneItem)
{
    struct SingleCase {
        PathList files, folders;
        std::wstring path;
        bool isFolder;
    };
    const SingleCase cases[] = {
        {{}, {}, L"", false},
        {{L"C:\\f"}, {}, L"C:\\f", false},
        {{}, {L"C:\\d"}, L"C:\\d", true},
        {{}, {L"C:\\"}, L"C:\\", true},
        {{L"C:\\f"}, {L"C:\\d"}, L"", false},
        {{L"C:\\f", L"C:\\g"}, {}, L"", false},
        {{}, {L"C:\\d", L"C:\\e"}, L"", false},
    };
    for (const SingleCase& c : cases) {
        const SingleItem item = GetSingleItem(c.files, c.folders);
        EXPECT_EQ(c.path, item.m_path);
        EXPECT_EQ(c.isFolder, item.m_isFolder);
    }
}

TEST(ShellRequest, ModeByCommandLine)
{
    struct ModeCase {
        const wchar_t* commandLine;
        StartMode mode;
    };
    const ModeCase cases[] = {
        {nullptr, StartMode::SettingsWindow},
        {L"", StartMode::SettingsWindow},
        {L"-minimized", StartMode::SettingsWindowHidden},
        {L"-MINIMIZED", StartMode::SettingsWindowHidden},
        {L"-Minimized", StartMode::SettingsWindowHidden},
        {L"/restart", StartMode::SettingsWindowHidden},
        {L"/RESTART", StartMode::SettingsWindowHidden},
        {L"-minimized ", StartMode::Request},
        {L"\"-minimized\"", StartMode::Request},
        {L" ", StartMode::Request},
        {L"/restart -minimized", StartMode::Request},
        {L"PellumarRequest-1", StartMode::Request},
    };
    for (const ModeCase& c : cases)
        EXPECT_EQ(c.mode, ChooseStartMode(c.commandLine)) << (c.commandLine ? "given" : "null");
}

namespace {

std::wstring FreshName(const wchar_t* what)
{
    static int serial = 0;
    return std::wstring(L"PellumarTest-") + what + L"-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
           std::to_wstring(++serial);
}

}

TEST(ShellRequest, RealMappingIsAcknowledgedAndReadOnce)
{
    const std::wstring name = FreshName(L"plain");
    const Bytes bytes = Encode({L"C:\\data\\a"}, {L"C:\\data\\d"}, false, 3);
    HANDLE mapping = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 4096, name.c_str());
    ASSERT_TRUE(mapping);
    auto* view = static_cast<uint8_t*>(MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, 0));
    ASSERT_TRUE(view);
    std::copy(bytes.begin(), bytes.end(), view);

    ShellRequest request;
    EXPECT_EQ(RequestReadResult::Read, ReadShellRequest(name.c_str(), request));
    EXPECT_EQ(1, view[0]);
    EXPECT_EQ(PathList{L"C:\\data\\a"}, request.m_files);
    EXPECT_EQ(PathList{L"C:\\data\\d"}, request.m_folders);
    // Only byte 0 is written.
    EXPECT_TRUE(std::equal(bytes.begin() + 1, bytes.end(), view + 1));

    UnmapViewOfFile(view);
    CloseHandle(mapping);
    EXPECT_EQ(RequestReadResult::OpenFailed, ReadShellRequest(name.c_str(), request));
}

TEST(ShellRequest, MappingShorterThanItsCountsIsAcknowledgedAndRefused)
{
    // One page holding a request whose file count promises far more records than the page holds; the
    // last record's path runs up to the end of the page without a NUL.
    const std::wstring name = FreshName(L"short");
    SYSTEM_INFO system;
    GetSystemInfo(&system);
    const size_t page = system.dwPageSize;
    HANDLE mapping = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, static_cast<DWORD>(page),
                                        name.c_str());
    ASSERT_TRUE(mapping);
    auto* view = static_cast<uint8_t*>(MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, 0));
    ASSERT_TRUE(view);
    Bytes bytes = Cat(Header(1000), Record(L"C:\\data\\a"));
    bytes = Cat(bytes, Count(0x7FFFFFFF));
    while (bytes.size() < page)
        bytes.push_back('x');
    std::copy(bytes.begin(), bytes.begin() + page, view);

    EXPECT_EQ(page, CommittedViewSize(view));
    ShellRequest request;
    EXPECT_EQ(RequestReadResult::Refused, ReadShellRequest(name.c_str(), request));
    EXPECT_EQ(1, view[0]);
    EXPECT_TRUE(request.m_files.empty());
    UnmapViewOfFile(view);
    CloseHandle(mapping);
}

TEST(ShellRequest, ReservedSectionIsReadWithinItsCommittedPage)
{
    SYSTEM_INFO system;
    GetSystemInfo(&system);
    const size_t page = system.dwPageSize;
    const size_t reserved = 16 * static_cast<size_t>(system.dwAllocationGranularity);

    for (bool fitsInPage : {true, false}) {
        SCOPED_TRACE(fitsInPage ? "request within the committed page" : "request running into reserved pages");
        const std::wstring name = FreshName(L"reserved");
        HANDLE mapping = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE | SEC_RESERVE, 0,
                                            static_cast<DWORD>(reserved), name.c_str());
        ASSERT_TRUE(mapping);
        auto* view = static_cast<uint8_t*>(MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, 0));
        ASSERT_TRUE(view);
        ASSERT_TRUE(VirtualAlloc(view, page, MEM_COMMIT, PAGE_READWRITE));

        Bytes bytes;
        if (fitsInPage) {
            bytes = Encode({L"C:\\data\\a"}, {});
        } else {
            // A record whose advance points into the reserved pages.
            bytes = Cat(Header(2), Cat(RawRecord(static_cast<uint32_t>(page * 2), L"C:\\data\\a"), Count(0)));
        }
        std::copy(bytes.begin(), bytes.end(), view);

        EXPECT_EQ(page, CommittedViewSize(view));
        ShellRequest request;
        EXPECT_EQ(fitsInPage ? RequestReadResult::Read : RequestReadResult::Refused,
                  ReadShellRequest(name.c_str(), request));
        EXPECT_EQ(1, view[0]);
        if (fitsInPage) {
            EXPECT_EQ(PathList{L"C:\\data\\a"}, request.m_files);
        }
        UnmapViewOfFile(view);
        CloseHandle(mapping);
    }
}
