// Checks on the update address and on the downloaded installer, and its start.
#include "app/UpdateFile.h"

#include <windows.h>
#include <shellapi.h>
#include <softpub.h>
#include <wincrypt.h>
#include <wintrust.h>
#include <msi.h>
#include <msiquery.h>
#include <wininet.h>

#include <iterator>
#include <string>

#include "app/PackageDigest.h"
#include "libcommon/ProductNames.h"

namespace {

// What a runnable update file must not be: a folder, a device or a link.
constexpr DWORD kNotPlainFile = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE | FILE_ATTRIBUTE_REPARSE_POINT;

// The host and port of an authority "host[:port]" (an IPv6 host in brackets). An absent or empty port is
// defaultPort. False when the port is not a number from 1 to 65535.
bool SplitAuthority(const CString& authority, USHORT defaultPort, CString* host, USHORT* port)
{
    int colon = authority.ReverseFind(L':');
    if (colon >= 0 && authority.Find(L']', colon) >= 0)
        colon = -1;   // a colon of an IPv6 host
    *host = colon < 0 ? authority : authority.Left(colon);
    *port = defaultPort;
    if (colon < 0)
        return true;
    const CString digits = authority.Mid(colon + 1);
    if (digits.IsEmpty())
        return true;
    unsigned long value = 0;
    for (int i = 0; i < digits.GetLength(); ++i) {
        if (digits[i] < L'0' || digits[i] > L'9')
            return false;
        value = value * 10 + static_cast<unsigned long>(digits[i] - L'0');
        if (value > 65535)
            return false;
    }
    if (value == 0)
        return false;
    *port = static_cast<USHORT>(value);
    return true;
}

bool EndsWithNoCase(const CString& text, const wchar_t* tail)
{
    const int n = static_cast<int>(wcslen(tail));
    return text.GetLength() >= n && text.Right(n).CompareNoCase(tail) == 0;
}

// True when the certificate's SubjectPublicKeyInfo (DER) hashes with SHA-256 to keySha256 (hex digits).
bool CarriesKey(PCCERT_CONTEXT cert, const char* keySha256)
{
    if (!cert || !cert->pCertInfo || !keySha256 || strlen(keySha256) != 64)
        return false;
    BYTE* encoded = nullptr;
    DWORD encodedSize = 0;
    if (!::CryptEncodeObjectEx(X509_ASN_ENCODING, X509_PUBLIC_KEY_INFO, &cert->pCertInfo->SubjectPublicKeyInfo,
                               CRYPT_ENCODE_ALLOC_FLAG, nullptr, &encoded, &encodedSize))
        return false;
    BYTE hash[32] = {};
    DWORD hashSize = sizeof(hash);
    const BOOL hashed = ::CryptHashCertificate2(L"SHA256", 0, nullptr, encoded, encodedSize, hash, &hashSize);
    ::LocalFree(encoded);
    if (!hashed || hashSize != sizeof(hash))
        return false;
    static const char digits[] = "0123456789abcdef";
    for (DWORD i = 0; i < hashSize; ++i) {
        const char high = digits[hash[i] >> 4], low = digits[hash[i] & 15];
        if (static_cast<char>(tolower(keySha256[2 * i])) != high || static_cast<char>(tolower(keySha256[2 * i + 1])) != low)
            return false;
    }
    return true;
}

bool ExeVersion(const CString& path, ProductVersion* version)
{
    DWORD ignored = 0;
    const DWORD size = ::GetFileVersionInfoSizeW(path, &ignored);
    if (size == 0)
        return false;
    std::string block(size, '\0');
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT fixedSize = 0;
    if (!::GetFileVersionInfoW(path, 0, size, block.data()) ||
        !::VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&fixed), &fixedSize) || !fixed ||
        fixedSize < sizeof(VS_FIXEDFILEINFO) || fixed->dwSignature != 0xFEEF04BD)
        return false;
    version->major = HIWORD(fixed->dwProductVersionMS);
    version->minor = LOWORD(fixed->dwProductVersionMS);
    version->build = HIWORD(fixed->dwProductVersionLS);
    return true;
}

bool MsiVersion(const CString& path, ProductVersion* version)
{
    MSIHANDLE database = 0, view = 0, record = 0;
    bool found = false;
    if (::MsiOpenDatabaseW(path, MSIDBOPEN_READONLY, &database) == ERROR_SUCCESS &&
        ::MsiDatabaseOpenViewW(database, L"SELECT `Value` FROM `Property` WHERE `Property` = 'ProductVersion'", &view) ==
            ERROR_SUCCESS &&
        ::MsiViewExecute(view, 0) == ERROR_SUCCESS && ::MsiViewFetch(view, &record) == ERROR_SUCCESS) {
        wchar_t text[64] = {};
        DWORD length = 64;
        if (::MsiRecordGetStringW(record, 1, text, &length) == ERROR_SUCCESS) {
            CStringA bytes(text);
            found = ParseVersionString(version, bytes) != FALSE;
        }
    }
    for (MSIHANDLE handle : { record, view, database })
        if (handle)
            ::MsiCloseHandle(handle);
    return found;
}

bool SameVersion(const ProductVersion& a, const ProductVersion& b)
{
    return a.major == b.major && a.minor == b.minor && a.build == b.build;
}

}

bool GetAddressServer(const CString& url, CString* host, USHORT* port)
{
    CString lower(url);
    lower.MakeLower();
    int schemeLength = 0;
    USHORT defaultPort = 0;
    if (lower.Find(L"http://") == 0) {
        schemeLength = 7;
        defaultPort = INTERNET_DEFAULT_HTTP_PORT;
    } else if (lower.Find(L"https://") == 0) {
        schemeLength = 8;
        defaultPort = INTERNET_DEFAULT_HTTPS_PORT;
    } else
        return false;
    CString rest = url.Mid(schemeLength);
    int end = rest.FindOneOf(L"/?#");
    CString authority = end < 0 ? rest : rest.Left(end);
    if (authority.Find(L'@') >= 0)
        return false;
    return SplitAuthority(authority, defaultPort, host, port) && !host->IsEmpty();
}

bool IsAllowedDownloadUrl(const CString& url, const CString& feedHost)
{
    if (url.Find(L'\\') >= 0)
        return false;
    for (int i = 0; i < url.GetLength(); ++i)
        if (url[i] < 0x21 || url[i] == 0x7F)
            return false;   // blanks and control characters belong in no address we start
    // The feed is fetched over http, from port 80 unless its host names another.
    CString host, expected;
    USHORT port = 0, feedPort = 0;
    if (!GetAddressServer(url, &host, &port) ||
        !SplitAuthority(feedHost, INTERNET_DEFAULT_HTTP_PORT, &expected, &feedPort))
        return false;
    if (expected.IsEmpty() || host.CompareNoCase(expected) != 0)
        return false;
    // The same server: the feed's port, or for https the host's own https port.
    const bool https = CString(url).MakeLower().Find(L"https://") == 0;
    return port == feedPort || (https && port == INTERNET_DEFAULT_HTTPS_PORT);
}

bool IsRunnableUpdateFile(const CString& path)
{
    if (path.IsEmpty() || !(EndsWithNoCase(path, L".exe") || EndsWithNoCase(path, L".msi")))
        return false;
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!::GetFileAttributesExW(path, GetFileExInfoStandard, &data))
        return false;
    return (data.dwFileAttributes & kNotPlainFile) == 0;
}

bool HasPublisherSignature(const CString& path, HANDLE file, const wchar_t* publisher, const char* keySha256)
{
    // Without the caller's handle the checks below share one of their own, so they read the same bytes.
    if (!file) {
        HANDLE own = ::CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (own == INVALID_HANDLE_VALUE)
            return false;
        const bool signedByPublisher = HasPublisherSignature(path, own, publisher, keySha256);
        ::CloseHandle(own);
        return signedByPublisher;
    }
    // A package's signature is bound to its bytes here as well: WinVerifyTrust does not compare an .msi's
    // digest under Wine, so a signature moved onto another package would pass it. The digest is checked
    // before the system reads the package, as a damaged one can keep Wine's reader of it busy for good.
    if (EndsWithNoCase(path, L".msi") && !PackageMatchesItsSignature(file))
        return false;
    WINTRUST_FILE_INFO fileInfo{};
    fileInfo.cbStruct = sizeof(fileInfo);
    fileInfo.pcwszFilePath = path;
    fileInfo.hFile = file;
    WINTRUST_DATA data{};
    data.cbStruct = sizeof(data);
    data.dwUIChoice = WTD_UI_NONE;
    // Every certificate of the chain but its root is checked for revocation, fetching what is not cached.
    data.fdwRevocationChecks = WTD_REVOKE_WHOLECHAIN;
    data.dwProvFlags = WTD_REVOCATION_CHECK_CHAIN_EXCLUDE_ROOT;
    data.dwUnionChoice = WTD_CHOICE_FILE;
    data.pFile = &fileInfo;
    data.dwStateAction = WTD_STATEACTION_VERIFY;
    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;

    bool trusted = ::WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data) == ERROR_SUCCESS;
    if (trusted) {
        // The signer's certificate is the first of the first signer's chain: it must bear the makers' name
        // and carry the makers' key (a name alone is had from any authority, or from no authority at all).
        trusted = false;
        CRYPT_PROVIDER_DATA* provider = ::WTHelperProvDataFromStateData(data.hWVTStateData);
        CRYPT_PROVIDER_SGNR* signer = provider ? ::WTHelperGetProvSignerFromChain(provider, 0, FALSE, 0) : nullptr;
        CRYPT_PROVIDER_CERT* cert = signer ? ::WTHelperGetProvCertFromChain(signer, 0) : nullptr;
        if (cert && cert->pCert) {
            wchar_t name[256] = {};
            if (::CertGetNameStringW(cert->pCert, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, name, 256) > 1)
                trusted = wcscmp(name, publisher) == 0 && CarriesKey(cert->pCert, keySha256);
        }
    }
    data.dwStateAction = WTD_STATEACTION_CLOSE;
    ::WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
    return trusted;
}

bool GetInstallerVersion(const CString& path, ProductVersion* version)
{
    ProductVersion found;
    const bool ok = EndsWithNoCase(path, L".msi") ? MsiVersion(path, &found) : ExeVersion(path, &found);
    if (ok)
        *version = found;
    return ok;
}

void CStartedUpdate::OnProcessEnded(void* context, BOOLEAN)
{
    const CStartedUpdate* self = static_cast<const CStartedUpdate*>(context);
    ::PostMessageW(self->m_window, self->m_message, 0, 0);
}

bool CStartedUpdate::PostWhenEnded(HWND window, UINT message)
{
    if (!m_process || m_wait)
        return false;
    m_window = window;
    m_message = message;
    HANDLE wait = nullptr;
    if (!::RegisterWaitForSingleObject(&wait, m_process, &CStartedUpdate::OnProcessEnded, this, INFINITE,
                                       WT_EXECUTEONLYONCE))
        return false;
    m_wait = wait;
    return true;
}

void CStartedUpdate::Release()
{
    // INVALID_HANDLE_VALUE: returns once a callback under way has finished, so it never runs on a gone object.
    if (m_wait)
        ::UnregisterWaitEx(m_wait, INVALID_HANDLE_VALUE);
    for (HANDLE* handle : { &m_process, &m_file })
        if (*handle) {
            ::CloseHandle(*handle);
            *handle = nullptr;
        }
    m_wait = nullptr;
}

namespace {

// The path the open file has now, in the form a start takes ("C:\dir\name", "\\server\share\name"),
// when that path names this very file (same volume and file index); empty otherwise. A folder on the way
// may have been renamed since the file was opened: on Windows the file's own path follows the rename
// (which NTFS refuses while the file is open anyway); Wine allows the rename and keeps the old path, which
// then names another file or none, and is refused here.
CString CurrentPathOf(HANDLE file, const BY_HANDLE_FILE_INFORMATION& held)
{
    wchar_t buffer[MAX_PATH * 4] = {};
    const DWORD length = ::GetFinalPathNameByHandleW(file, buffer, static_cast<DWORD>(std::size(buffer)),
                                                     FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (length == 0 || length >= std::size(buffer))
        return CString();
    CString path(buffer);
    if (path.Find(L"\\\\?\\UNC\\") == 0)
        path = CString(L"\\\\") + path.Mid(8);
    else if (path.Find(L"\\\\?\\") == 0)
        path = path.Mid(4);
    HANDLE named = ::CreateFileW(path, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                 nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (named == INVALID_HANDLE_VALUE)
        return CString();
    BY_HANDLE_FILE_INFORMATION found{};
    const bool same = ::GetFileInformationByHandle(named, &found) &&
                      found.dwVolumeSerialNumber == held.dwVolumeSerialNumber &&
                      found.nFileIndexHigh == held.nFileIndexHigh && found.nFileIndexLow == held.nFileIndexLow;
    ::CloseHandle(named);
    return same ? path : CString();
}

}

bool StartDownloadedUpdate(const CString& path, const ProductVersion& offered, const ProductVersion& running,
                           CStartedUpdate* started)
{
    if (!started)
        return false;
    started->Release();
    if (!IsRunnableUpdateFile(path))
        return false;
    // Held from here until the installer has ended (CStartedUpdate): while this handle is open nobody can
    // write, rename or delete the file, so what is started is what was checked. Links are opened as
    // themselves and refused.
    HANDLE file = ::CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    BY_HANDLE_FILE_INFORMATION held{};
    ProductVersion own;
    HANDLE process = nullptr;
    if (::GetFileInformationByHandle(file, &held) && (held.dwFileAttributes & kNotPlainFile) == 0 &&
        HasPublisherSignature(path, file, kUpdatePublisherName, kMakersSigningKeySha256) &&
        GetInstallerVersion(path, &own) && SameVersion(own, offered) && !IsUpToDate(running, own)) {
        const CString current = CurrentPathOf(file, held);
        SHELLEXECUTEINFOW start{};
        start.cbSize = sizeof(start);
        start.fMask = SEE_MASK_NOCLOSEPROCESS;
        start.lpVerb = L"open";
        start.lpFile = current;
        start.nShow = SW_SHOWMAXIMIZED;
        if (!current.IsEmpty() && ::ShellExecuteExW(&start))
            process = start.hProcess;
    }
    if (!process) {
        ::CloseHandle(file);
        return false;
    }
    started->m_file = file;
    started->m_process = process;
    return true;
}
