#pragma once
// What the program accepts before it downloads or starts an update: nothing from the network is started
// unverified.
#include <windows.h>

#include "app/VersionChecker.h"
#include "framework/CString.h"

// The publisher an update installer must be signed by (the subject name of its signing certificate).
inline constexpr wchar_t kUpdatePublisherName[] = L"Corvane Software Ltd";

// The server an http:// or https:// address names: its host (an IPv6 host keeps its brackets) and port
// (the scheme's default when it names none, or an empty one). False for other schemes, an address with a
// user name, or a port that is not a number from 1 to 65535.
bool GetAddressServer(const CString& url, CString* host, USHORT* port);

// True for an http:// or https:// address on feedHost (host names compared without case) and on the feed's
// port (feedHost's own, else 80; an absent port is the scheme's default, so http://host and http://host:80
// are one place), or an https:// address on the host's port 443; with no user name, no backslash and no
// blank. Everything else (another port, file:, UNC, plain paths, other schemes) is refused.
bool IsAllowedDownloadUrl(const CString& url, const CString& feedHost);

// True when path names an existing regular file (no folder, device or link) ending in .exe or .msi.
bool IsRunnableUpdateFile(const CString& path);

// True when the file's Authenticode signature verifies (no UI, whole chain, revocation checked where the
// system can) and its signer's certificate is named publisher and carries the key whose SubjectPublicKeyInfo
// hashes (SHA-256) to keySha256 (64 hex digits). An .msi must in addition be a compound file whose own
// digest, computed here, is the one its signature holds. file: an open handle of path that the checks read,
// or nullptr to let the check open path itself (shared against writing while it runs).
bool HasPublisherSignature(const CString& path, HANDLE file, const wchar_t* publisher, const char* keySha256);

// The installer's own version: the product version of an .exe's version resource (major, minor, build),
// or the ProductVersion property of an .msi. False when the file has none.
bool GetInstallerVersion(const CString& path, ProductVersion* version);

// A started update installer and the hold on the file it was started from: the file stays open against
// writing, renaming and deletion until Release (or the object goes), which belongs after the installer's
// process has ended, since an installer (msiexec above all) opens its file after its start has returned.
class CStartedUpdate {
public:
    CStartedUpdate() = default;
    ~CStartedUpdate() { Release(); }
    CStartedUpdate(const CStartedUpdate&) = delete;
    CStartedUpdate& operator=(const CStartedUpdate&) = delete;

    // True from a successful StartDownloadedUpdate until Release.
    bool IsHeld() const { return m_process != nullptr; }
    // The installer's process (owned here), or nullptr.
    HANDLE Process() const { return m_process; }
    // Posts message (wParam and lParam 0) to window once, from a thread-pool wait, when the installer's
    // process has ended. False when nothing is held or the wait cannot be registered.
    bool PostWhenEnded(HWND window, UINT message);
    // Stops the wait (waiting for a post under way), then closes the process and the file.
    void Release();

private:
    friend bool StartDownloadedUpdate(const CString&, const ProductVersion&, const ProductVersion&, CStartedUpdate*);
    static void CALLBACK OnProcessEnded(void* context, BOOLEAN timedOut);

    HANDLE m_file = nullptr;      // the checked file, shared for reading only
    HANDLE m_process = nullptr;   // the installer, from ShellExecuteExW
    HANDLE m_wait = nullptr;      // the registered wait on m_process, or nullptr
    HWND m_window = nullptr;      // where OnProcessEnded posts m_message
    UINT m_message = 0;
};

// Starts the downloaded installer with "open" when it passes every check, on the same bytes it was checked
// on: it is held open against writing, renaming and deletion from before the checks, and handed on to
// started, which keeps holding it while the installer runs. The checks: a runnable file (above), the
// makers' signature (kUpdatePublisherName and kMakersSigningKeySha256), and its own version equal to
// offered and newer than running. Right before the start the held handle's own path is asked for and must
// name the held file (a folder on the way renamed meanwhile fails the start); the installer is started by
// that path. True when it was started with a process to wait for; a start without one (the shell handed
// the file to something already running, which may read it whenever it likes) counts as failed, and
// nothing is held.
bool StartDownloadedUpdate(const CString& path, const ProductVersion& offered, const ProductVersion& running,
                           CStartedUpdate* started);
