#include "FoundNames.h"

#include <cwchar>

DWORD CheckFoundName(const wchar_t* name)
{
    if (!name || name[0] == L'\0')
        return ERROR_INVALID_NAME;
    if ((name[0] == L'.' && name[1] == L'\0') || (name[0] == L'.' && name[1] == L'.' && name[2] == L'\0'))
        return ERROR_INVALID_NAME;
    for (const wchar_t* c = name; *c; ++c) {
        if (*c < 0x20 || std::wcschr(L"\\/:*?<>\"|", *c))
            return ERROR_INVALID_NAME;
    }
    return ERROR_SUCCESS;
}

namespace {

const wchar_t kLiteralPrefix[] = L"\\\\?\\";
const wchar_t kLiteralUncPrefix[] = L"\\\\?\\UNC\\";

// The literal form of a folder named plainly: what the plain rules make of it, prefixed.
std::wstring LiteralFolder(const std::wstring& folder)
{
    if (IsLiteralPath(folder))
        return folder;
    std::wstring full = FullPathOf(folder);
    if (full.empty())
        full = folder;
    if (full.compare(0, 4, L"\\\\.\\") == 0)
        return kLiteralPrefix + full.substr(4);
    if (full.compare(0, 2, L"\\\\") == 0)
        return kLiteralUncPrefix + full.substr(2);
    return kLiteralPrefix + full;
}

std::wstring Joined(const std::wstring& folder, const wchar_t* name)
{
    std::wstring joined(folder);
    if (joined.empty() || joined.back() != L'\\')
        joined += L'\\';
    if (name)
        joined += name;
    return joined;
}

}  // namespace

bool IsLiteralPath(const std::wstring& path)
{
    return path.compare(0, 4, kLiteralPrefix) == 0;
}

std::wstring ShownPath(const std::wstring& path)
{
    if (path.compare(0, 8, kLiteralUncPrefix) == 0)
        return L"\\\\" + path.substr(8);
    if (IsLiteralPath(path))
        return path.substr(4);
    return path;
}

bool JoinFoundName(const std::wstring& folder, const wchar_t* name, std::wstring* path, DWORD* error)
{
    const std::wstring plain = Joined(folder, name);
    const DWORD check = CheckFoundName(name);
    *error = check;
    if (check != ERROR_SUCCESS) {
        *path = ShownPath(plain);
        return false;
    }
    // Plain when the plain rules leave the path exactly as it stands: then it names this entry.
    if (!IsLiteralPath(folder) && FullPathOf(plain) == plain)
        *path = plain;
    else
        *path = Joined(LiteralFolder(folder), name);
    return true;
}

std::wstring PlainAncestor(const std::wstring& folder)
{
    std::wstring candidate = ShownPath(folder);
    while (candidate.size() > 3 && FullPathOf(candidate) != candidate) {
        const size_t slash = candidate.find_last_of(L'\\');
        if (slash == std::wstring::npos || slash < 2)
            break;
        candidate.resize(slash == 2 ? 3 : slash);  // "X:\" keeps its backslash
    }
    return candidate;
}

std::wstring FullPathOf(const std::wstring& path)
{
    DWORD size = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (size == 0)
        return std::wstring();
    std::wstring full(size, L'\0');
    size = GetFullPathNameW(path.c_str(), size, full.data(), nullptr);
    if (size == 0 || size >= full.size())
        return std::wstring();
    full.resize(size);
    return full;
}
