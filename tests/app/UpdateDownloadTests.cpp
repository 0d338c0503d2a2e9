// The update download against answers that do not end where they should, on a real HTTP server on
// 127.0.0.1: bodies without a length, endless chunks, a gzip bomb, lengths that do not hold, Cancel. Each
// must end near its cap, close its connection and leave neither a file nor an entry in the Internet
// cache. And the address check of the download and of its redirects.
#include <winsock2.h>

#include <gtest/gtest.h>

#include <commctrl.h>
#include <shlobj.h>
#include <wininet.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "DialogTestUtil.h"
#include "LoopbackHttpServer.h"
#include "UpdateTestUtil.h"
#include "app/UpdateFile.h"
#include "app/VersionUpdaterDlg.h"

using namespace updtest;
using Send = LoopbackHttpServer::Send;

namespace {

constexpr size_t kMiB = 1024 * 1024;

// ---- the Internet cache, as the test sees it ----------------------------------------------------------

std::wstring CacheRoot()
{
    wchar_t path[MAX_PATH] = {};
    if (FAILED(::SHGetFolderPathW(nullptr, CSIDL_INTERNET_CACHE, nullptr, SHGFP_TYPE_CURRENT, path)))
        return std::wstring();
    return path;
}

// The files below folder whose names begin with stem (without case): the cache names its files after
// the address's file name. Each test's addresses use a stem of their own.
void FindNamed(const std::wstring& folder, const std::wstring& stem, std::vector<std::pair<std::wstring, ULONGLONG>>* found)
{
    WIN32_FIND_DATAW data;
    HANDLE find = ::FindFirstFileW((folder + L"\\*").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE)
        return;
    do {
        const std::wstring name = data.cFileName;
        if (name == L"." || name == L"..")
            continue;
        if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
            FindNamed(folder + L"\\" + name, stem, found);
        else if (name.size() >= stem.size() && _wcsnicmp(name.c_str(), stem.c_str(), stem.size()) == 0)
            found->emplace_back(folder + L"\\" + name,
                                (static_cast<ULONGLONG>(data.nFileSizeHigh) << 32) | data.nFileSizeLow);
    } while (::FindNextFileW(find, &data));
    ::FindClose(find);
}

std::vector<std::pair<std::wstring, ULONGLONG>> CacheFilesNamed(const std::wstring& stem)
{
    std::vector<std::pair<std::wstring, ULONGLONG>> found;
    FindNamed(CacheRoot(), stem, &found);
    return found;
}

// The stem's cache files that hold data. An empty one may stay: the download cannot tell its own empty
// reservation from another program's download of the same name that has just begun, and leaves both.
std::vector<std::pair<std::wstring, ULONGLONG>> CacheFilesWithDataNamed(const std::wstring& stem)
{
    std::vector<std::pair<std::wstring, ULONGLONG>> found = CacheFilesNamed(stem);
    found.erase(std::remove_if(found.begin(), found.end(), [](const auto& file) { return file.second == 0; }),
                found.end());
    return found;
}

std::string Names(const std::vector<std::pair<std::wstring, ULONGLONG>>& files)
{
    std::string text;
    for (auto& file : files)
        text += std::string(CStringA(file.first.c_str()).GetString()) + " (" + std::to_string(file.second) + ") ";
    return text;
}

bool HasCacheEntry(const std::wstring& url)
{
    DWORD size = 0;
    if (::GetUrlCacheEntryInfoW(url.c_str(), nullptr, &size))
        return true;
    return ::GetLastError() == ERROR_INSUFFICIENT_BUFFER;
}

// The largest any of the stem's cache files grew to while it lived, looked at every few milliseconds.
class CacheGrowth {
public:
    explicit CacheGrowth(const std::wstring& stem) : m_stem(stem)
    {
        m_thread = std::thread([this] {
            while (!m_stop) {
                for (auto& file : CacheFilesNamed(m_stem))
                    if (file.second > m_largest)
                        m_largest = file.second;
                ::Sleep(2);
            }
        });
    }
    ~CacheGrowth() { Stop(); }
    ULONGLONG Stop()
    {
        m_stop = true;
        if (m_thread.joinable())
            m_thread.join();
        return m_largest;
    }

private:
    std::wstring m_stem;
    std::atomic<bool> m_stop{ false };
    std::atomic<ULONGLONG> m_largest{ 0 };
    std::thread m_thread;
};

// ---- the dialog ---------------------------------------------------------------------------------------

class UpdaterUnderTest : public CVersionUpdaterDlg {
public:
    using CVersionUpdaterDlg::CVersionUpdaterDlg;
    std::weak_ptr<DownloadTask> Task() const { return m_task; }
};

struct DownloadTest : ::testing::Test {
    void SetUp() override
    {
        INITCOMMONCONTROLSEX icc{ sizeof(icc), ICC_WIN95_CLASSES };
        ::InitCommonControlsEx(&icc);
        ASSERT_TRUE(server.IsListening());
        ASSERT_FALSE(CacheRoot().empty());
        info.m_version = { 1, 2, 3 };
        info.m_feedHost = (L"127.0.0.1:" + std::to_wstring(server.Port())).c_str();
    }
    void TearDown() override { CancelScheduledActions(); }

    // A name of this run: the prefix's cache outlives the test program.
    std::wstring Stem(const std::wstring& name) const
    {
        return name + L"-" + std::to_wstring(::GetCurrentProcessId()) + L"-" + std::to_wstring(m_started) + L"-";
    }

    // Serves answer at a path of its own (Stem(name) + a number + ".exe") and offers it.
    std::string Offer(const std::wstring& name, const LoopbackHttpServer::Answer& answer)
    {
        const std::wstring path = L"/" + Stem(name) + std::to_wstring(++m_paths) + L".exe";
        url = server.Url(path);
        info.m_downloadUrl = url.c_str();
        const std::string narrow(CStringA(path.c_str()).GetString());
        server.Set(narrow, answer);
        return narrow;
    }

    // Runs the dialog, presses Upgrade and, when given, runs during(dlg) from its loop once the transfer
    // has begun (begun() holds). The dialog's result; task: the download's task, to see it let go.
    INT_PTR Download(ULONG limit, std::weak_ptr<DownloadTask>* task = nullptr, std::function<bool()> begun = nullptr,
                     std::function<void(UpdaterUnderTest&)> during = nullptr)
    {
        UpdaterUnderTest dlg(&info);
        dlg.SetDownloadLimit(limit);
        RunWhen([&] { return dlg.m_hWnd && dlg.IsWindowVisible(); }, [&] {
            ::SendMessageW(dlg.m_hWnd, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
            if (task)
                *task = dlg.Task();
            if (during)
                RunWhen(begun, [&] { during(dlg); }, 10000, [&] { dlg.EndDialog(-5); });
        }, 5000, [&] { dlg.EndDialog(-5); });
        RunSoon(60000, [&] { dlg.EndDialog(-6); });
        const INT_PTR result = dlg.DoModal();
        CancelScheduledActions();
        EXPECT_TRUE(dlg.GetLocalPath().IsEmpty()) << CStringA(dlg.GetLocalPath()).GetString();
        return result;
    }

    // After a download that produced nothing: its thread lets go, the server sees its connection end,
    // and neither a file with data nor an entry of the address stays in the cache.
    void ExpectNothingLeft(const std::wstring& name, const std::string& path, const std::weak_ptr<DownloadTask>& task)
    {
        const std::wstring stem = Stem(name);
        EXPECT_TRUE(PumpUntil([&] { return task.expired(); }, 15000)) << "the download thread ends";
        EXPECT_TRUE(PumpUntil([&] { return server.Ended(path) >= server.Requests(path); }, 10000))
            << "the server still sends " << path;
        EXPECT_EQ(Names(CacheFilesWithDataNamed(stem)), "");
        EXPECT_FALSE(HasCacheEntry(url));
    }

    LoopbackHttpServer server;
    CUpdateInfo info;
    std::wstring url;
    int m_paths = 0;
    ULONGLONG m_started = ::GetTickCount64();
};

LoopbackHttpServer::Answer Answer(Send send, size_t limitBytes = 0, std::string body = "", long long announce = -1)
{
    LoopbackHttpServer::Answer a;
    a.send = send;
    a.limitBytes = limitBytes;
    a.body = std::move(body);
    a.announce = announce;
    return a;
}

std::string InstallerBytes(size_t size)
{
    std::string bytes = "MZ";
    while (bytes.size() < size)
        bytes += static_cast<char>('a' + bytes.size() % 26);
    return bytes;
}

}

TEST(LoopbackGzip, TheZerosStreamHoldsItsLengthAndEndsWithItsTrailer)
{
    // The stream's own bookkeeping (the deflate decoding itself is what the download tests show).
    for (size_t zeros : { size_t(1), size_t(2), size_t(259), size_t(1000), size_t(3 * kMiB) }) {
        std::string stream;
        ASSERT_TRUE(LoopbackHttpServer::GzipZerosSend(zeros, [&](const std::string& piece) {
            stream += piece;
            return true;
        }));
        EXPECT_EQ(stream.size(), LoopbackHttpServer::GzipZerosLength(zeros)) << zeros;
        const unsigned char* tail = reinterpret_cast<const unsigned char*>(stream.data() + stream.size() - 4);
        EXPECT_EQ(tail[0] | tail[1] << 8 | tail[2] << 16 | static_cast<unsigned>(tail[3]) << 24, static_cast<unsigned>(zeros));
    }
}

TEST_F(DownloadTest, BodiesPastASmallCapEndThereAndLeaveNothing)
{
    const ULONG cap = 1 * kMiB;
    // slack: what may arrive between two looks at the transfer, a few milliseconds apart: measured up to
    // 5.5 MB past the cap with every core kept busy (a piece of a gzip body decodes to megabytes at once).
    // Without the cap the cache file takes the whole body, 1 GiB.
    struct Case {
        const char* name;
        LoopbackHttpServer::Answer answer;
        size_t slack;
    };
    const Case cases[] = {
        { "no length", Answer(Send::Flood, 1024 * kMiB), 32 * kMiB },
        { "endless chunks", Answer(Send::FloodChunked, 1024 * kMiB), 32 * kMiB },
        { "gzip of 1 GiB of zeros", Answer(Send::GzipZeros, 1024 * kMiB), 64 * kMiB },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = Offer(L"capped", c.answer);
        CacheGrowth growth(Stem(L"capped"));
        std::weak_ptr<DownloadTask> task;
        EXPECT_EQ(Download(cap, &task), IDCANCEL);
        ExpectNothingLeft(L"capped", path, task);
        const ULONGLONG largest = growth.Stop();
        printf("[ figures ] %s: cache file at most %llu bytes, server sent %zu bytes\n", c.name, largest, server.Sent(path));
        EXPECT_LE(largest, cap + c.slack);
        EXPECT_LE(server.Sent(path), 64 * kMiB);
    }
}

TEST_F(DownloadTest, TheProductsCapHolds)
{
    struct Case {
        const char* name;
        LoopbackHttpServer::Answer answer;
        size_t slack;   // as above
    };
    const Case cases[] = {
        { "no length", Answer(Send::Flood, 2 * size_t(DownloadTask::kMaxBytes)), 64 * kMiB },
        // Up to 23 MB past the cap measured with every core kept busy; without the cap, the whole body.
        { "gzip of 2 GiB of zeros", Answer(Send::GzipZeros, 2048 * kMiB), 96 * kMiB },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = Offer(L"product", c.answer);
        CacheGrowth growth(Stem(L"product"));
        std::weak_ptr<DownloadTask> task;
        EXPECT_EQ(Download(DownloadTask::kMaxBytes, &task), IDCANCEL);
        ExpectNothingLeft(L"product", path, task);
        const ULONGLONG largest = growth.Stop();
        printf("[ figures ] %s: cache file at most %llu bytes\n", c.name, largest);
        EXPECT_LE(largest, DownloadTask::kMaxBytes + c.slack);
    }
}

TEST_F(DownloadTest, CancelEndsTheTransferAndLeavesNothing)
{
    struct Case {
        const char* name;
        LoopbackHttpServer::Answer answer;
        bool flowing;   // data arrives (progress reports come) when Cancel is pressed
    };
    const Case cases[] = {
        { "body without end", Answer(Send::Flood), true },
        { "chunks without end", Answer(Send::FloodChunked), true },
        // The moniker reports no progress: only an abort from outside ends it.
        { "a body that never comes", Answer(Send::Silent, 0, InstallerBytes(5000)), false },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = Offer(L"cancelled", c.answer);
        std::weak_ptr<DownloadTask> task;
        ULONGLONG cancelledAt = 0;
        auto begun = [&] {
            if (c.flowing)
                return server.Sent(path) >= 4 * kMiB;
            // The answer's head has come: the transfer waits for its body.
            const std::shared_ptr<DownloadTask> held = task.lock();
            return server.Requests(path) == 1 && held && held->HttpStatus() == HTTP_STATUS_OK;
        };
        EXPECT_EQ(Download(DownloadTask::kMaxBytes, &task, begun, [&](UpdaterUnderTest& dlg) {
            cancelledAt = ::GetTickCount64();
            ::SendMessageW(dlg.m_hWnd, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
        }), IDCANCEL);
        ASSERT_NE(cancelledAt, 0u);
        EXPECT_TRUE(PumpUntil([&] { return server.Ended(path) == 1; }, 5000)) << "the connection still stands";
        if (server.Ended(path) == 1)
            printf("[ figures ] %s: connection ended %llu ms after Cancel, %zu bytes sent\n", c.name,
                   server.EndedAt(path) - cancelledAt, server.Sent(path));
        ExpectNothingLeft(L"cancelled", path, task);
    }
}

TEST_F(DownloadTest, LengthsThatDoNotHoldFailAndLeaveNothing)
{
    struct Case {
        const char* name;
        LoopbackHttpServer::Answer answer;
    };
    const Case cases[] = {
        // 2^32 + 97: read as 32 bits this is the body's own length.
        { "announced 4294967393, 97 bytes sent", Answer(Send::Whole, 0, InstallerBytes(97), 4294967393LL) },
        { "shorter than announced", Answer(Send::Whole, 0, InstallerBytes(500), 1000) },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = Offer(L"short", c.answer);
        std::weak_ptr<DownloadTask> task;
        EXPECT_EQ(Download(DownloadTask::kMaxBytes, &task), IDCANCEL);
        EXPECT_TRUE(PumpUntil([&] { return task.expired(); }, 15000));
        EXPECT_EQ(Names(CacheFilesWithDataNamed(Stem(L"short"))), "");
        EXPECT_FALSE(HasCacheEntry(url));
    }
}

namespace {

// When the binding stops, Wine's moniker fills the file it reserved for the result with a copy of the
// transfer's file (CopyFileW, in urlmon), also for a transfer that failed; WinINet's reader of the aborted
// transfer may still be writing to the transfer's file then, so that the copy holds fewer bytes than the
// transfer's file ends up with. A busy machine shows that now and then; the fake of urlmon's CopyFileW
// makes it happen every time: the real copy, then 8 KiB more in the transfer's file.
ImportPatch<decltype(::CopyFileW)>* g_copy = nullptr;
std::atomic<int> g_grownAfterCopy{ 0 };
BOOL WINAPI CopyThenTheTransferGrows(LPCWSTR from, LPCWSTR to, BOOL failIfExists)
{
    const BOOL copied = g_copy->Original()(from, to, failIfExists);
    HANDLE h = ::CreateFileW(from, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                             OPEN_EXISTING, 0, nullptr);
    if (h != INVALID_HANDLE_VALUE) {
        const std::string more(8192, 'x');
        DWORD written = 0;
        if (::WriteFile(h, more.data(), static_cast<DWORD>(more.size()), &written, nullptr) && written == more.size())
            ++g_grownAfterCopy;
        ::CloseHandle(h);
    }
    return copied;
}

}

TEST_F(DownloadTest, TheResultsCopyOfATransferThatGrewAfterItIsRemovedToo)
{
    ImportPatch<decltype(::CopyFileW)> copy("CopyFileW", &CopyThenTheTransferGrows, nullptr, ::GetModuleHandleW(L"urlmon.dll"));
    g_copy = &copy;
    ASSERT_TRUE(copy.IsActive());
    g_grownAfterCopy = 0;
    const std::string path = Offer(L"grown", Answer(Send::Flood, 64 * kMiB));
    std::weak_ptr<DownloadTask> task;
    EXPECT_EQ(Download(64 * 1024, &task), IDCANCEL);
    ExpectNothingLeft(L"grown", path, task);
    EXPECT_EQ(g_grownAfterCopy, 1) << "the result's copy was made once, from a transfer's file that then grew";
}

TEST_F(DownloadTest, DownloadsOfTheSameFileNameKeepToTheirOwnFiles)
{
    // The clean-up takes only what the failed download made, and the checks look only at the download's
    // own file: the good file has its entry.
    const std::string bytes = InstallerBytes(3000);
    const std::string path = Offer(L"good", Answer(Send::Whole, 0, bytes));
    UpdaterUnderTest dlg(&info);
    RunWhen([&] { return dlg.m_hWnd && dlg.IsWindowVisible(); },
            [&] { ::SendMessageW(dlg.m_hWnd, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0); }, 5000,
            [&] { dlg.EndDialog(-5); });
    RunSoon(20000, [&] { dlg.EndDialog(-6); });
    ASSERT_EQ(dlg.DoModal(), IDOK);
    CancelScheduledActions();
    const CString good = dlg.GetLocalPath();

    // The same file name in another folder of the server, cut off past a small cap.
    const std::string other = "/elsewhere" + path;
    server.Set(other, Answer(Send::Flood, 64 * kMiB));
    url = server.Url(std::wstring(CString(other.c_str()).GetString()));
    info.m_downloadUrl = url.c_str();
    // Another program's download of the same name has just begun beside it: its file, still empty, has
    // no entry yet. It is not this download's to remove.
    std::wstring begun(good.GetString());
    begun = begun.substr(0, begun.find_last_of(L'[')) + L"[7].exe";
    HANDLE made = ::CreateFileW(begun.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                 nullptr, CREATE_NEW, 0, nullptr);
    ASSERT_NE(made, INVALID_HANDLE_VALUE) << CStringA(begun.c_str()).GetString();
    ::CloseHandle(made);
    std::weak_ptr<DownloadTask> task;
    EXPECT_EQ(Download(64 * 1024, &task), IDCANCEL);
    EXPECT_TRUE(PumpUntil([&] { return task.expired(); }, 15000));
    EXPECT_NE(::GetFileAttributesW(begun.c_str()), INVALID_FILE_ATTRIBUTES) << "another download's file was removed";
    ::DeleteFileW(begun.c_str());

    const auto files = CacheFilesWithDataNamed(Stem(L"good"));
    bool found = false;
    for (auto& file : files)
        found = found || (_wcsicmp(file.first.c_str(), good) == 0 && file.second == bytes.size());
    EXPECT_TRUE(found) << Names(files);
    EXPECT_EQ(files.size(), 1u) << Names(files);

    // And a shorter file of the same name from a third folder is not held to the good file's size while
    // it arrives.
    const std::string third = "/third" + path;
    const std::string shorter = InstallerBytes(500);
    server.Set(third, { 200, shorter, Send::Drip, 1 });
    url = server.Url(std::wstring(CString(third.c_str()).GetString()));
    info.m_downloadUrl = url.c_str();
    UpdaterUnderTest again(&info);
    RunWhen([&] { return again.m_hWnd && again.IsWindowVisible(); },
            [&] { ::SendMessageW(again.m_hWnd, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0); }, 5000,
            [&] { again.EndDialog(-5); });
    RunSoon(20000, [&] { again.EndDialog(-6); });
    EXPECT_EQ(again.DoModal(), IDOK);
    CancelScheduledActions();
}

// ---- the address check --------------------------------------------------------------------------------

TEST(DownloadAddress, OnlyTheFeedsHostAndPort)
{
    struct Case {
        const wchar_t* url;
        const wchar_t* feedHost;
        bool allowed;
    };
    const Case cases[] = {
        { L"http://www.corvane.example/setup.exe", L"www.corvane.example", true },
        // An absent port is the scheme's default: http://host and http://host:80 are one place.
        { L"http://www.corvane.example:80/setup.exe", L"www.corvane.example", true },
        { L"HTTP://WWW.CORVANE.EXAMPLE:080/setup.exe", L"www.corvane.example", true },
        { L"http://www.corvane.example:/setup.exe", L"www.corvane.example", true },
        { L"http://www.corvane.example/setup.exe", L"www.corvane.example:80", true },
        { L"http://www.Corvane.example:8080/setup.exe", L"WWW.corvane.EXAMPLE:8080", true },
        // https is the same site's secure address, on its own default port.
        { L"https://www.corvane.example/setup.exe", L"www.corvane.example", true },
        { L"https://www.corvane.example:443/setup.exe", L"www.corvane.example", true },
        // Another port of the same host is another server.
        { L"http://www.corvane.example:8080/setup.exe", L"www.corvane.example", false },
        { L"http://www.corvane.example:443/setup.exe", L"www.corvane.example", false },
        { L"http://www.corvane.example/setup.exe", L"www.corvane.example:8080", false },
        { L"https://www.corvane.example:8443/setup.exe", L"www.corvane.example", false },
        { L"http://www.corvane.example:65616/setup.exe", L"www.corvane.example", false },   // 80 + 65536
        { L"http://www.corvane.example:4294967376/setup.exe", L"www.corvane.example", false },   // 80 + 2^32
        { L"http://www.corvane.example:-80/setup.exe", L"www.corvane.example", false },
        { L"http://www.corvane.example:80:80/setup.exe", L"www.corvane.example", false },
        // Another host, a user name, other schemes, backslashes, blanks.
        { L"http://other.example/setup.exe", L"www.corvane.example", false },
        { L"http://www.corvane.example@other.example/setup.exe", L"www.corvane.example", false },
        { L"http://x@www.corvane.example/setup.exe", L"www.corvane.example", false },
        { L"http://www.corvane.example:80@other.example/setup.exe", L"www.corvane.example", false },
        { L"ftp://www.corvane.example/setup.exe", L"www.corvane.example", false },
        { L"file://www.corvane.example/setup.exe", L"www.corvane.example", false },
        { L"http://www.corvane.example\\setup.exe", L"www.corvane.example", false },
        { L"http://www.corvane.example/set up.exe", L"www.corvane.example", false },
        { L"http://www.corvane.example/setup.exe", L"", false },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << CStringA(c.url).GetString() << " from " << CStringA(c.feedHost).GetString());
        EXPECT_EQ(IsAllowedDownloadUrl(c.url, c.feedHost), c.allowed);
    }
}

TEST(DownloadAddress, OneRedirectAtMostAndOnlyToTheFeedsPlace)
{
    // The status callback's checks in the order the moniker reports them.
    DownloadTask task(nullptr, L"http://www.corvane.example/setup.exe", L"www.corvane.example");
    EXPECT_TRUE(task.AcceptRequest());
    EXPECT_TRUE(task.AcceptRedirect(L"http://www.corvane.example:80/dl/setup.exe"));
    EXPECT_TRUE(task.AcceptRequest());
    EXPECT_FALSE(task.AcceptRedirect(L"http://www.corvane.example/again/setup.exe")) << "a second redirect";

    DownloadTask elsewhere(nullptr, L"http://www.corvane.example/setup.exe", L"www.corvane.example");
    EXPECT_TRUE(elsewhere.AcceptRequest());
    EXPECT_FALSE(elsewhere.AcceptRedirect(L"http://www.corvane.example:8080/setup.exe"));

    DownloadTask unannounced(nullptr, L"http://www.corvane.example/setup.exe", L"www.corvane.example");
    EXPECT_TRUE(unannounced.AcceptRequest());
    EXPECT_FALSE(unannounced.AcceptRequest()) << "a second request that no redirect announced";
}
