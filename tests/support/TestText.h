#pragma once
// Text conversions the test programs share.
#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

// A narrow text of the ANSI code page (a command-line argument, a build path) as UTF-16.
inline std::wstring Widen(const char* text)
{
    int n = ::MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
    std::wstring result(static_cast<size_t>(n > 0 ? n - 1 : 0), L'\0');
    if (n > 1)
        ::MultiByteToWideChar(CP_ACP, 0, text, -1, result.data(), n);
    return result;
}

// A Linux path of the build as the Wine prefix sees it (Z:\ is the Linux root).
inline std::wstring WinePath(const char* linuxPath)
{
    std::wstring path = L"Z:";
    for (const char* c = linuxPath; *c; ++c)
        path += *c == '/' ? L'\\' : static_cast<wchar_t>(*c);
    return path;
}

// Bytes as upper-case hexadecimal digits, two a byte.
inline std::string Hex(const std::vector<uint8_t>& bytes)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string text;
    for (uint8_t b : bytes) {
        text += digits[b >> 4];
        text += digits[b & 15];
    }
    return text;
}
