// Checks on the update address and on the downloaded installer, and its start.
#include "app/UpdateFile.h"

#include <windows.h>
#include <shellapi.h>
#include <softpub.h>
#include <wincrypt.h>
#include <wintrust.h>

namespace {

// The host of an authority "host[:port]", or empty when the port is not all digits.
CString HostOf(const CString& authority)
{
    int colon = authority.Find(L':');
    if (colon < 0)
        return authority;
    CString port = authority.Mid(colon + 1);
    for (int i = 0; i < port.GetLength(); ++i)
        if (port[i] < L'0' || port[i] > L'9')
            return CString();
    return authority.Left(colon);
}

bool EndsWithNoCase(const CString& text, const wchar_t* tail)
{
    const int n = static_cast<int>(wcslen(tail));
    return text.GetLength() >= n && text.Right(n).CompareNoCase(tail) == 0;
}

}

bool IsAllowedDownloadUrl(const CString& url, const CString& feedHost)
{
    CString lower(url);
    lower.MakeLower();
    int schemeLength = 0;
    if (lower.Find(L"http://") == 0)
        schemeLength = 7;
    else if (lower.Find(L"https://") == 0)
        schemeLength = 8;
    else
        return false;
    if (url.Find(L'\\') >= 0)
        return false;
    for (int i = 0; i < url.GetLength(); ++i)
        if (url[i] < 0x21 || url[i] == 0x7F)
            return false;   // blanks and control characters belong in no address we start
    CString rest = url.Mid(schemeLength);
    int end = rest.FindOneOf(L"/?#");
    CString authority = end < 0 ? rest : rest.Left(end);
    if (authority.Find(L'@') >= 0)
        return false;
    CString host = HostOf(authority);
    CString expected = HostOf(feedHost);
    return !host.IsEmpty() && !expected.IsEmpty() && host.CompareNoCase(expected) == 0;
}

bool IsRunnableUpdateFile(const CString& path)
{
    if (path.IsEmpty() || !(EndsWithNoCase(path, L".exe") || EndsWithNoCase(path, L".msi")))
        return false;
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!::GetFileAttributesExW(path, GetFileExInfoStandard, &data))
        return false;
    const DWORD notPlain = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE | FILE_ATTRIBUTE_REPARSE_POINT;
    return (data.dwFileAttributes & notPlain) == 0;
}

bool HasPublisherSignature(const CString& path, const wchar_t* publisher)
{
    WINTRUST_FILE_INFO file{};
    file.cbStruct = sizeof(file);
    file.pcwszFilePath = path;
    WINTRUST_DATA data{};
    data.cbStruct = sizeof(data);
    data.dwUIChoice = WTD_UI_NONE;
    data.fdwRevocationChecks = WTD_REVOKE_NONE;
    data.dwUnionChoice = WTD_CHOICE_FILE;
    data.pFile = &file;
    data.dwStateAction = WTD_STATEACTION_VERIFY;
    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;

    bool trusted = ::WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data) == ERROR_SUCCESS;
    if (trusted) {
        // The signer's certificate is the first of the first signer's chain.
        trusted = false;
        CRYPT_PROVIDER_DATA* provider = ::WTHelperProvDataFromStateData(data.hWVTStateData);
        CRYPT_PROVIDER_SGNR* signer = provider ? ::WTHelperGetProvSignerFromChain(provider, 0, FALSE, 0) : nullptr;
        CRYPT_PROVIDER_CERT* cert = signer ? ::WTHelperGetProvCertFromChain(signer, 0) : nullptr;
        if (cert && cert->pCert) {
            wchar_t name[256] = {};
            if (::CertGetNameStringW(cert->pCert, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, name, 256) > 1)
                trusted = wcscmp(name, publisher) == 0;
        }
    }
    data.dwStateAction = WTD_STATEACTION_CLOSE;
    ::WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
    return trusted;
}

bool StartDownloadedUpdate(const CString& path)
{
    if (!IsRunnableUpdateFile(path) || !HasPublisherSignature(path, kUpdatePublisherName))
        return false;
    HINSTANCE started = ::ShellExecuteW(nullptr, L"open", path, nullptr, nullptr, SW_SHOWMAXIMIZED);
    return reinterpret_cast<INT_PTR>(started) > 32;
}
