#pragma once
// Helpers of the update tests: a feed text, the WinINet seam that sends the feed's port-80 connection to
// the test server, running steps inside a dialog's modal loop, and the stand-in installer started for real.
#include <windows.h>
#include <wininet.h>

#include <functional>
#include <string>
#include <vector>

#include "DialogTestUtil.h"
#include "ImportPatch.h"

namespace updtest {

// A feed offering version with the download address url and the feature lines.
std::string FeedText(const std::string& version, const std::string& url,
                     const std::vector<std::string>& features = {});

// The checker always connects to port 80; the feed tests serve it from a port of their own. While the
// object lives, InternetConnectW and Winsock's connect to port 80 go to 127.0.0.1:port instead (whatever
// host was named; GetAddrInfoW resolves every name to 127.0.0.1), the handles InternetOpenW,
// InternetConnectW and HttpOpenRequestW hand out are counted against their closes, and the threads that
// the program's own code starts with CreateThread while a session is open (a check's exchange runs on
// two) are kept track of.
class RedirectPort80 {
public:
    explicit RedirectPort80(USHORT port);
    ~RedirectPort80();
    bool IsActive() const;
    // Handles handed out, and whether each was closed exactly once.
    int Opened() const;
    bool EachClosedOnce() const;
    // No handle closed more than once (one still held by a check's thread may be open yet).
    bool NoneClosedTwice() const;
    // The port the checker asked for last on its way to the feed's server.
    INTERNET_PORT RequestedPort() const;
    // The port of the last connection that WinINet was asked to make to 127.0.0.1 itself: the check's own
    // relay, the address under which WinINet would keep the answer in the Internet cache.
    INTERNET_PORT RelayPort() const;
    // Waits (at most timeoutMs) until every thread counted above has ended. A check's exchange may outlast
    // the check by moments, and a check made while one lives starts none: a test that makes checks one
    // after another waits for this between them. False when one still runs.
    bool ThreadsEnded(DWORD timeoutMs = 60000) const;
};

// Runs action from the running modal loop once pred() holds (polled every 20 ms, for at most timeoutMs;
// then onTimeout runs instead, if given).
void RunWhen(std::function<bool()> pred, std::function<void()> action, DWORD timeoutMs = 10000,
             std::function<void()> onTimeout = nullptr);

// Steps run one after another from whatever message loop runs (modal loops, message boxes): each waits
// for its condition (polled every 20 ms), then acts. A step whose condition does not come within the
// time-out records its name in Failed() and runs the script's give-up action instead of the rest.
class StepScript {
public:
    StepScript& Step(const char* name, std::function<bool()> until, std::function<void()> action);
    StepScript& Step(const char* name, std::function<void()> action) { return Step(name, [] { return true; }, action); }
    void Start(std::function<void()> giveUp, DWORD stepTimeoutMs = 10000);
    const std::string& Failed() const { return m_failed; }
    bool Finished() const { return m_next == m_steps.size() && m_failed.empty(); }

private:
    void Poll();
    struct Entry {
        std::string name;
        std::function<bool()> until;
        std::function<void()> action;
    };
    std::vector<Entry> m_steps;
    size_t m_next = 0;
    ULONGLONG m_deadline = 0;
    DWORD m_timeout = 10000;
    std::function<void()> m_giveUp;
    std::string m_failed;
};

// The stand-in installer's environment for one real start (tests/app/UpdateStandIn.cpp), set while the
// object lives: the stand-in reports the bytes it reads from its own file into a file of dir, sets an
// event once it has, then waits for Go(). The object's end lets a stand-in still waiting go.
class StandInRun {
public:
    explicit StandInRun(const std::wstring& dir);
    ~StandInRun();
    StandInRun(const StandInRun&) = delete;
    StandInRun& operator=(const StandInRun&) = delete;

    // True once the stand-in has reported; false when process ended first or a minute passed.
    bool WaitUntilRead(HANDLE process) const;
    // The bytes it reported (empty before it has).
    std::string Reported() const;
    // Lets it end.
    void Go() const { ::SetEvent(m_go); }

private:
    std::wstring m_report;
    HANDLE m_read = nullptr;
    HANDLE m_go = nullptr;
};

// Every way another program of the user has of putting other bytes at path: replacing it with the file
// swap, renaming it away (and putting swap's bytes there), deleting it (the same), writing bytes over it.
// The names of the ways that worked ("replaced", "renamed away", "deleted", "written over").
std::vector<std::string> TrySwaps(const std::wstring& path, const std::wstring& swap, const std::wstring& aside,
                                  const std::string& bytes);

// True when the Internet cache holds an entry of url made at or after since (a file time, as
// GetSystemTimeAsFileTime gives): its file was made then. The prefix's cache outlives the test programs,
// and an address may have been used before.
bool CacheEntryMadeSince(const std::wstring& url, ULONGLONG since);

// The whole contents of a file, read with every sharing allowed (empty when it cannot be opened).
std::string ReadAllBytes(const std::wstring& path);

}
