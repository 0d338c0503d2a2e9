#pragma once
// The update check: fetches the makers' XML update feed over HTTP (WinINet) and turns it into a record of
// the offered version, its installer's address and its feature lines.
//
// Feed:  <anyRoot>
//          <Win32> <text/> <version>1.2.3</version> <url>http://host/setup.exe</url> </Win32>
//          <Features> <line>...</line> ... </Features>          (optional)
//        </anyRoot>
// Only "Win32" and "Features" are matched by name (case-sensitively); the Win32 items are taken by
// position. The feed is network input: it is capped in size and nesting before TinyXML sees it.
#include <windows.h>
#include <wininet.h>

#include <cstddef>
#include <memory>
#include <vector>

#include "framework/CString.h"

// A version as (major, minor, build), compared in that order.
struct ProductVersion {
    int major = 0;
    int minor = 0;
    int build = 0;
};
// True when running is the same as offered or newer: (major, minor, build) compared in order.
bool IsUpToDate(const ProductVersion& running, const ProductVersion& offered);

// Reads "major.minor.build" into *version: pieces split at '.', empty pieces skipped, each read as a
// signed decimal (leading blanks and a sign accepted, reading stops at the first non-digit, no digits
// give 0, values clamped to the 32-bit range). FALSE with fewer than three pieces (text nullptr
// included); pieces after the third are ignored.
BOOL ParseVersionString(ProductVersion* version, const char* text);

// Feed text (bytes) as UTF-16: UTF-8 when the bytes are valid UTF-8, else the thread's ANSI code page.
CString DecodeFeedText(const char* text);

// The parsed feed.
class CUpdateInfo {
public:
    std::vector<CString> m_features;   // feature lines in feed order
    ProductVersion m_version;          // offered version; 0.0.0 until parsed
    CString m_downloadUrl;             // address of the new version's installer
    BOOL m_upToDate = FALSE;           // set by Check: the running version is at least the offered one
    CString m_feedHost;                // host the feed came from: the only host a download may come from
};

class CVersionChecker {
public:
    // Bounds of one check. The defaults are the program's; tests shorten the times.
    struct Limits {
        DWORD stepTimeoutMs = 5000;      // connect, send and each receive
        DWORD connectRetries = 2;
        DWORD deadlineMs = 20000;        // the whole exchange: connect, send, headers and body
        size_t maxBodyBytes = 64 * 1024; // a longer body is refused
        int maxNesting = 32;             // deeper element nesting is refused before it is parsed
    };

    explicit CVersionChecker(const wchar_t* feedUrl);
    ~CVersionChecker();
    CVersionChecker(const CVersionChecker&) = delete;
    CVersionChecker& operator=(const CVersionChecker&) = delete;

    void SetLimits(const Limits& limits) { m_limits = limits; }

    // Fetches and parses the feed. Takes over session (an InternetOpenW handle) and closes it, whatever
    // the outcome. The record (owned by the checker, valid until it is destroyed or the next check) comes
    // back only from an HTTP 200 answer read to its end within the deadline and parsed; nullptr for every
    // failure. The exchange runs on threads of its own, and answers the calling thread's messages while
    // it waits (so a window of that thread stays responsive). WinINet's connection goes through a relay
    // inside the program, which alone connects to the server (directly, on port 80): it takes at most
    // a bounded count of bytes from the server and resets both connections at the deadline, so the
    // exchange ends then whatever the server does, and Check returns by the deadline and the moment the
    // threads take to end (a second at most). While an earlier exchange still lives, Check starts none
    // and returns nullptr at once.
    CUpdateInfo* Check(const ProductVersion& running, HINTERNET session);

    // Parses feed text (NUL-terminated bytes). TRUE: m_pInfo holds the new record; FALSE: none.
    BOOL ParseFeed(const char* text);
    CUpdateInfo* GetInfo() const { return m_pInfo.get(); }

    // The feed address without "http://": the part before the first "/" and the rest from that "/" on;
    // both empty when there is no "/".
    CString GetServerName() const;
    CString GetObjectPath() const;

    // True when the element nesting of text, as TinyXML would read it, may go deeper than maxDepth. The
    // count is an upper bound of the parser's depth (comments, CDATA, declarations, other markup and
    // quoted attribute values do not nest; an end tag at the top lowers nothing); a declaration in any
    // form but plain name="value" pairs is counted as too deep, since the parser's end of it is unsure.
    static bool NestsDeeperThan(const char* text, int maxDepth);

private:
    CString m_strFeedUrl;
    std::unique_ptr<CUpdateInfo> m_pInfo;
    Limits m_limits;
};
