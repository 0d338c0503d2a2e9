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

bool JoinFoundName(const std::wstring& folder, const wchar_t* name, std::wstring* path, DWORD* error)
{
    std::wstring joined(folder);
    if (joined.empty() || joined.back() != L'\\')
        joined += L'\\';
    if (name)
        joined += name;
    *path = joined;
    const DWORD check = CheckFoundName(name);
    *error = check;
    return check == ERROR_SUCCESS;
}
