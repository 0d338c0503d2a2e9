#include "framework/CString.h"

#include <cstdio>
#include <cstring>
#include <cwchar>
#include <cwctype>
#include <vector>

#include "framework/Module.h"

BOOL CString::LoadString(UINT id)
{
    return LoadString(FrameworkResourceHandle(), id);
}

BOOL CString::LoadString(HINSTANCE module, UINT id)
{
    // With a zero length LoadStringW hands out a read-only pointer into the resource itself, which also
    // gives the exact length (string-table entries are not terminated there).
    const wchar_t* text = nullptr;
    int length = ::LoadStringW(module, id, reinterpret_cast<LPWSTR>(&text), 0);
    if (length <= 0 || !text) {
        m_text.clear();
        return FALSE;
    }
    m_text.assign(text, static_cast<size_t>(length));
    return TRUE;
}

void CString::FormatV(const wchar_t* format, va_list args)
{
    m_text.clear();
    if (!format)
        return;
    // msvcrt's _vsnwprintf returns -1 when the buffer is too small; grow until it fits.
    std::vector<wchar_t> buffer(256);
    for (;;) {
        va_list copy;
        va_copy(copy, args);
        int written = _vsnwprintf(buffer.data(), buffer.size() - 1, format, copy);
        va_end(copy);
        if (written >= 0 && static_cast<size_t>(written) < buffer.size()) {
            m_text.assign(buffer.data(), static_cast<size_t>(written));
            return;
        }
        if (buffer.size() >= (64u << 20))
            return;   // a format that never fits: leave the string empty rather than run out of memory
        buffer.resize(buffer.size() * 2);
    }
}

void CString::FormatArgs(const wchar_t* format, ...)
{
    va_list args;
    va_start(args, format);
    FormatV(format, args);
    va_end(args);
}

int CString::Compare(const wchar_t* other) const
{
    return wcscmp(m_text.c_str(), other ? other : L"");
}

int CString::CompareNoCase(const wchar_t* other) const
{
    return _wcsicmp(m_text.c_str(), other ? other : L"");
}

CString CString::Left(int count) const
{
    if (count <= 0)
        return CString();
    return CString(m_text.substr(0, static_cast<size_t>(count)));
}

CString CString::Right(int count) const
{
    if (count <= 0)
        return CString();
    if (count >= GetLength())
        return *this;
    return CString(m_text.substr(m_text.size() - static_cast<size_t>(count)));
}

CString CString::Mid(int first) const
{
    return Mid(first, GetLength());
}

CString CString::Mid(int first, int count) const
{
    if (first < 0)
        first = 0;
    if (count <= 0 || first >= GetLength())
        return CString();
    return CString(m_text.substr(static_cast<size_t>(first), static_cast<size_t>(count)));
}

int CString::Find(wchar_t ch, int start) const
{
    if (start < 0 || start >= GetLength())
        return -1;
    size_t at = m_text.find(ch, static_cast<size_t>(start));
    return at == std::wstring::npos ? -1 : static_cast<int>(at);
}

int CString::Find(const wchar_t* sub, int start) const
{
    if (!sub || start < 0 || start > GetLength())
        return -1;
    size_t at = m_text.find(sub, static_cast<size_t>(start));
    return at == std::wstring::npos ? -1 : static_cast<int>(at);
}

int CString::ReverseFind(wchar_t ch) const
{
    size_t at = m_text.rfind(ch);
    return at == std::wstring::npos ? -1 : static_cast<int>(at);
}

int CString::FindOneOf(const wchar_t* set) const
{
    if (!set || !*set)
        return -1;
    size_t at = m_text.find_first_of(set);
    return at == std::wstring::npos ? -1 : static_cast<int>(at);
}

int CString::Replace(wchar_t oldCh, wchar_t newCh)
{
    int count = 0;
    for (wchar_t& c : m_text) {
        if (c == oldCh) {
            c = newCh;
            ++count;
        }
    }
    return count;
}

int CString::Replace(const wchar_t* oldText, const wchar_t* newText)
{
    if (!oldText || !*oldText)
        return 0;
    std::wstring from(oldText), to(newText ? newText : L"");
    int count = 0;
    size_t at = 0;
    while ((at = m_text.find(from, at)) != std::wstring::npos) {
        m_text.replace(at, from.size(), to);
        at += to.size();
        ++count;
    }
    return count;
}

int CString::Insert(int index, const wchar_t* text)
{
    if (index < 0)
        index = 0;
    if (index > GetLength())
        index = GetLength();
    if (text)
        m_text.insert(static_cast<size_t>(index), text);
    return GetLength();
}

int CString::Delete(int index, int count)
{
    if (index < 0)
        index = 0;
    if (count > 0 && index < GetLength())
        m_text.erase(static_cast<size_t>(index), static_cast<size_t>(count));
    return GetLength();
}

int CString::Remove(wchar_t ch)
{
    int before = GetLength();
    std::erase(m_text, ch);
    return before - GetLength();
}

CString& CString::MakeUpper()
{
    if (!m_text.empty())
        ::CharUpperBuffW(m_text.data(), static_cast<DWORD>(m_text.size()));
    return *this;
}

CString& CString::MakeLower()
{
    if (!m_text.empty())
        ::CharLowerBuffW(m_text.data(), static_cast<DWORD>(m_text.size()));
    return *this;
}

CString& CString::TrimLeft()
{
    size_t at = 0;
    while (at < m_text.size() && iswspace(m_text[at]))
        ++at;
    m_text.erase(0, at);
    return *this;
}

CString& CString::TrimRight()
{
    size_t end = m_text.size();
    while (end > 0 && iswspace(m_text[end - 1]))
        --end;
    m_text.resize(end);
    return *this;
}

CString& CString::Trim()
{
    TrimRight();
    return TrimLeft();
}

CString& CString::TrimRight(wchar_t ch)
{
    size_t end = m_text.size();
    while (end > 0 && m_text[end - 1] == ch)
        --end;
    m_text.resize(end);
    return *this;
}

CString& CString::TrimLeft(wchar_t ch)
{
    size_t at = 0;
    while (at < m_text.size() && m_text[at] == ch)
        ++at;
    m_text.erase(0, at);
    return *this;
}

wchar_t* CString::GetBuffer(int minLength)
{
    if (minLength > GetLength())
        m_text.resize(static_cast<size_t>(minLength));
    return m_text.data();
}

wchar_t* CString::GetBufferSetLength(int length)
{
    m_text.resize(length > 0 ? static_cast<size_t>(length) : 0);
    return m_text.data();
}

void CString::ReleaseBuffer(int length)
{
    if (length < 0) {
        size_t end = m_text.find(L'\0');
        if (end != std::wstring::npos)
            m_text.resize(end);
    } else if (static_cast<size_t>(length) <= m_text.size()) {
        m_text.resize(static_cast<size_t>(length));
    }
}

// ---- conversions ----------------------------------------------------------------------------------------

namespace {
std::wstring Widen(const char* text, int length)
{
    if (!text || length <= 0)
        return std::wstring();
    int needed = ::MultiByteToWideChar(CP_ACP, 0, text, length, nullptr, 0);
    std::wstring out(needed > 0 ? static_cast<size_t>(needed) : 0, L'\0');
    if (needed > 0)
        ::MultiByteToWideChar(CP_ACP, 0, text, length, out.data(), needed);
    return out;
}

std::string Narrow(const wchar_t* text, int length)
{
    if (!text || length <= 0)
        return std::string();
    int needed = ::WideCharToMultiByte(CP_ACP, 0, text, length, nullptr, 0, nullptr, nullptr);
    std::string out(needed > 0 ? static_cast<size_t>(needed) : 0, '\0');
    if (needed > 0)
        ::WideCharToMultiByte(CP_ACP, 0, text, length, out.data(), needed, nullptr, nullptr);
    return out;
}
}

CString::CString(const char* text) : m_text(Widen(text, text ? static_cast<int>(strlen(text)) : 0)) {}

CString::CString(const CStringA& text) : m_text(Widen(text.GetString(), text.GetLength())) {}

CStringA::CStringA(const CString& text) : m_text(Narrow(text.GetString(), text.GetLength())) {}

CStringA::CStringA(const wchar_t* text) : m_text(Narrow(text, text ? static_cast<int>(wcslen(text)) : 0)) {}

// ---- CStringA ---------------------------------------------------------------------------------------------

void CStringA::FormatV(const char* format, va_list args)
{
    m_text.clear();
    if (!format)
        return;
    std::vector<char> buffer(256);
    for (;;) {
        va_list copy;
        va_copy(copy, args);
        int written = _vsnprintf(buffer.data(), buffer.size() - 1, format, copy);
        va_end(copy);
        if (written >= 0 && static_cast<size_t>(written) < buffer.size()) {
            m_text.assign(buffer.data(), static_cast<size_t>(written));
            return;
        }
        if (buffer.size() >= (64u << 20))
            return;
        buffer.resize(buffer.size() * 2);
    }
}

void CStringA::FormatArgs(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    FormatV(format, args);
    va_end(args);
}

CStringA CStringA::Left(int count) const
{
    if (count <= 0)
        return CStringA();
    return CStringA(m_text.substr(0, static_cast<size_t>(count)));
}

CStringA CStringA::Mid(int first, int count) const
{
    if (first < 0)
        first = 0;
    if (first >= GetLength() || count == 0)
        return CStringA();
    if (count < 0)
        return CStringA(m_text.substr(static_cast<size_t>(first)));
    return CStringA(m_text.substr(static_cast<size_t>(first), static_cast<size_t>(count)));
}

int CStringA::Find(const char* sub, int start) const
{
    if (!sub || start < 0 || start > GetLength())
        return -1;
    size_t at = m_text.find(sub, static_cast<size_t>(start));
    return at == std::string::npos ? -1 : static_cast<int>(at);
}

int CStringA::Find(char ch, int start) const
{
    if (start < 0 || start >= GetLength())
        return -1;
    size_t at = m_text.find(ch, static_cast<size_t>(start));
    return at == std::string::npos ? -1 : static_cast<int>(at);
}

char* CStringA::GetBuffer(int minLength)
{
    if (minLength > GetLength())
        m_text.resize(static_cast<size_t>(minLength));
    return m_text.data();
}

char* CStringA::GetBufferSetLength(int length)
{
    m_text.resize(length > 0 ? static_cast<size_t>(length) : 0);
    return m_text.data();
}

void CStringA::ReleaseBuffer(int length)
{
    if (length < 0) {
        size_t end = m_text.find('\0');
        if (end != std::string::npos)
            m_text.resize(end);
    } else if (static_cast<size_t>(length) <= m_text.size()) {
        m_text.resize(static_cast<size_t>(length));
    }
}
