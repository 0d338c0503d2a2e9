#pragma once
// What the program accepts before it downloads or starts an update: nothing from the network is started
// unverified.
#include <windows.h>

#include "app/VersionChecker.h"
#include "framework/CString.h"

// The publisher an update installer must be signed by (the subject name of its signing certificate).
inline constexpr wchar_t kUpdatePublisherName[] = L"Corvane Software Ltd";

// True for an http:// or https:// address on feedHost (host names compared without case) and on the feed's
// port (feedHost's own, else 80; an absent port is the scheme's default, so http://host and http://host:80
// are one place), or an https:// address on the host's port 443; with no user name, no backslash and no
// blank. Everything else (another port, file:, UNC, plain paths, other schemes) is refused.
bool IsAllowedDownloadUrl(const CString& url, const CString& feedHost);

// True when path names an existing regular file (no folder, device or link) ending in .exe or .msi.
bool IsRunnableUpdateFile(const CString& path);

// True when the file's Authenticode signature verifies (no UI, whole chain, revocation checked where the
// system can) and its signer's certificate is named publisher and carries the key whose SubjectPublicKeyInfo
// hashes (SHA-256) to keySha256 (64 hex digits). file: an open handle of path that the check reads, or
// nullptr to let the check open path itself.
bool HasPublisherSignature(const CString& path, HANDLE file, const wchar_t* publisher, const char* keySha256);

// The installer's own version: the product version of an .exe's version resource (major, minor, build),
// or the ProductVersion property of an .msi. False when the file has none.
bool GetInstallerVersion(const CString& path, ProductVersion* version);

// Starts the downloaded installer with "open" when it passes every check, on the same bytes it was checked
// on: it is held open against writing, renaming and deletion from before the checks until the start has
// returned. The checks: a runnable file (above), the makers' signature (kUpdatePublisherName and
// kMakersSigningKeySha256), and its own version equal to offered and newer than running. True when it was
// started.
bool StartDownloadedUpdate(const CString& path, const ProductVersion& offered, const ProductVersion& running);
