#pragma once
// Helpers of the job-thread tests: running a job the way its owner does, and Unix symbolic links in the
// Wine prefix for the life of an object (Wine shows a Unix link to a folder as a folder with
// FILE_ATTRIBUTE_REPARSE_POINT).
#include <windows.h>

#include <string>
#include <vector>

#include "ImportPatch.h"
#include "UnixSide.h"
#include "app/jobs/Thread.h"

// Resumes the job as the owner does (m_running true when the resume works) and waits for its thread to
// end. false when it could not be resumed or did not end within timeoutMs.
bool RunJobToEnd(Thread& job, DWORD timeoutMs = 60000);

// A Unix link for the life of the object (declare it after the TempDir that holds it).
class ScopedUnixLink {
public:
    ScopedUnixLink(const std::wstring& link, const std::wstring& target)
        : m_link(link), m_made(MakeUnixLink(link, target)) {}
    ~ScopedUnixLink() { RemoveUnixLink(m_link); }
    ScopedUnixLink(const ScopedUnixLink&) = delete;
    ScopedUnixLink& operator=(const ScopedUnixLink&) = delete;
    bool IsMade() const { return m_made; }

private:
    std::wstring m_link;
    bool m_made;
};

// The entries of a folder (no "." and ".."), in the order the file system gives them.
std::vector<std::wstring> ListFolder(const std::wstring& folder);
bool Exists(const std::wstring& path);
// Creates the folder and its missing parents; false on failure.
bool MakeFolders(const std::wstring& path);
// Creates a file of size bytes of fill; false on failure.
bool MakeFile(const std::wstring& path, size_t size, char fill = 'x');

// A folder that a hostile program exchanges for a link while a job walks it: at a chosen point of the
// folder's listing, folder and link (a Unix link elsewhere, pointing outside the job's selection) trade
// names atomically on the Unix side, so that the folder's name leads through the link from then on. For
// the life of the object the test program's FindFirstFileW and FindNextFileW are seams (every call passes on).
class ExchangeDuringListing {
public:
    enum class When {
        BeforeListing,     // just before the folder's search begins (after any check made before it)
        AfterFirstFile,    // when the job asks its search for the entry after the first file
    };
    ExchangeDuringListing(const std::wstring& folder, const std::wstring& link, When when);
    ~ExchangeDuringListing();
    ExchangeDuringListing(const ExchangeDuringListing&) = delete;
    ExchangeDuringListing& operator=(const ExchangeDuringListing&) = delete;

    bool IsActive() const { return m_first.IsActive() && m_next.IsActive(); }
    // Whether the exchange was made (and seen to be made).
    bool Exchanged() const;

private:
    ImportPatch<decltype(::FindFirstFileW)> m_first;
    ImportPatch<decltype(::FindNextFileW)> m_next;
};
