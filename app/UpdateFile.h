#pragma once
// What the program accepts before it downloads or starts an update: nothing from the network is started
// unverified.
#include "framework/CString.h"

// The publisher an update installer must be signed by (the subject name of its signing certificate).
inline constexpr wchar_t kUpdatePublisherName[] = L"Corvane Software Ltd";

// True for an http:// or https:// address on feedHost (host names compared without case, any port), with
// no user name and no backslash; everything else (file:, UNC, plain paths, other schemes) is refused.
bool IsAllowedDownloadUrl(const CString& url, const CString& feedHost);

// True when path names an existing regular file (no folder, device or link) ending in .exe or .msi.
bool IsRunnableUpdateFile(const CString& path);

// True when the file's Authenticode signature verifies (no UI, whole chain) and its signer is publisher.
bool HasPublisherSignature(const CString& path, const wchar_t* publisher);

// Checks the downloaded file as above and starts it with "open"; true when it was started.
bool StartDownloadedUpdate(const CString& path);
