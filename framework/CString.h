#pragma once
// A UTF-16 string class in the manner of the classic Windows frameworks' CString: a value type with
// resource loading, printf-style formatting and the usual search and slice operations.
#include <windows.h>

#include <cstdarg>
#include <string>
#include <string_view>
#include <type_traits>

class CString;
class CStringA;

// What Format hands to the C runtime for one argument: numbers, characters and pointers as they are, a
// string literal as its address, and a CString or CStringA as its text (see the overloads below the
// classes). Any other class type is refused at compile time: it cannot travel through "...".
template <class T>
auto AfxFormatArg(const T& value)
{
    if constexpr (std::is_array_v<T>) {
        return static_cast<const std::remove_extent_t<T>*>(value);
    } else {
        static_assert(std::is_scalar_v<T>, "Format takes numbers, characters, pointers and CString texts only");
        return value;
    }
}

class CString {
public:
    CString() = default;
    CString(const wchar_t* text) : m_text(text ? text : L"") {}
    CString(const wchar_t* text, int length) : m_text(text ? std::wstring(text, length > 0 ? length : 0) : std::wstring()) {}
    CString(wchar_t ch, int repeat = 1) : m_text(repeat > 0 ? repeat : 0, ch) {}
    CString(const std::wstring& text) : m_text(text) {}
    // From a byte string in the ANSI code page.
    explicit CString(const char* text);
    explicit CString(const class CStringA& text);
    CString(std::wstring&& text) : m_text(std::move(text)) {}
    CString(const CString&) = default;
    CString(CString&&) noexcept = default;
    CString& operator=(const CString&) = default;
    CString& operator=(CString&&) noexcept = default;
    CString& operator=(const wchar_t* text) { m_text = text ? text : L""; return *this; }
    CString& operator=(wchar_t ch) { m_text.assign(1, ch); return *this; }
    CString& operator=(const std::wstring& text) { m_text = text; return *this; }

    // Loads string-table entry id from the resource module (the program's own by default). False, and an
    // empty string, when the entry does not exist.
    BOOL LoadString(UINT id);
    BOOL LoadString(HINSTANCE module, UINT id);

    // Formats with the C runtime's wide printf rules (msvcrt: %s is a wide string, %S narrow, %I64d and
    // %lld 64-bit). A CString argument stands for its text, as %s wants it. A format that cannot be applied
    // leaves an empty string; Format with a string-table id whose entry is missing as well.
    template <class... Args>
    void Format(const wchar_t* format, const Args&... args)
    {
        FormatArgs(format, AfxFormatArg(args)...);
    }
    template <class... Args>
    void Format(UINT formatId, const Args&... args)
    {
        CString format;
        if (format.LoadString(formatId))
            FormatArgs(format.GetString(), AfxFormatArg(args)...);
        else
            Empty();
    }
    template <class... Args>
    void AppendFormat(const wchar_t* format, const Args&... args)
    {
        CString tail;
        tail.FormatArgs(format, AfxFormatArg(args)...);
        m_text += tail.m_text;
    }
    void FormatV(const wchar_t* format, va_list args);

    int GetLength() const { return static_cast<int>(m_text.size()); }
    bool IsEmpty() const { return m_text.empty(); }
    void Empty() { m_text.clear(); }
    const wchar_t* GetString() const { return m_text.c_str(); }
    operator const wchar_t*() const { return m_text.c_str(); }
    const std::wstring& Str() const { return m_text; }
    wchar_t GetAt(int index) const { return m_text.at(static_cast<size_t>(index)); }
    void SetAt(int index, wchar_t ch) { m_text.at(static_cast<size_t>(index)) = ch; }
    wchar_t operator[](int index) const { return GetAt(index); }

    CString& operator+=(const CString& other) { m_text += other.m_text; return *this; }
    CString& operator+=(const wchar_t* text) { if (text) m_text += text; return *this; }
    CString& operator+=(wchar_t ch) { m_text += ch; return *this; }
    void Append(const wchar_t* text, int length) { if (text && length > 0) m_text.append(text, length); }

    friend CString operator+(const CString& a, const CString& b) { return CString(a.m_text + b.m_text); }
    friend CString operator+(const CString& a, const wchar_t* b) { CString r(a); r += b; return r; }
    friend CString operator+(const wchar_t* a, const CString& b) { CString r(a); r += b; return r; }
    friend CString operator+(const CString& a, wchar_t b) { CString r(a); r += b; return r; }
    friend CString operator+(wchar_t a, const CString& b) { CString r(a); r += b; return r; }

    friend bool operator==(const CString& a, const CString& b) { return a.m_text == b.m_text; }
    friend bool operator==(const CString& a, const wchar_t* b) { return a.m_text == (b ? b : L""); }
    friend bool operator!=(const CString& a, const CString& b) { return !(a == b); }
    friend bool operator!=(const CString& a, const wchar_t* b) { return !(a == b); }
    friend bool operator<(const CString& a, const CString& b) { return a.m_text < b.m_text; }

    // Ordinal comparisons: <0, 0, >0.
    int Compare(const wchar_t* other) const;
    int CompareNoCase(const wchar_t* other) const;

    // Slices clamp their arguments to the string, as the classic class does.
    CString Left(int count) const;
    CString Right(int count) const;
    CString Mid(int first) const;
    CString Mid(int first, int count) const;

    // Index of the first match at or after start, -1 when there is none.
    int Find(wchar_t ch, int start = 0) const;
    int Find(const wchar_t* sub, int start = 0) const;
    int ReverseFind(wchar_t ch) const;
    int FindOneOf(const wchar_t* set) const;

    // Number of replacements made.
    int Replace(wchar_t oldCh, wchar_t newCh);
    int Replace(const wchar_t* oldText, const wchar_t* newText);
    int Insert(int index, const wchar_t* text);
    int Delete(int index, int count = 1);
    int Remove(wchar_t ch);

    CString& MakeUpper();
    CString& MakeLower();
    CString& Trim();
    CString& TrimLeft();
    CString& TrimRight();
    CString& TrimRight(wchar_t ch);
    CString& TrimLeft(wchar_t ch);

    // Direct buffer access: GetBuffer(n) gives room for n characters plus the terminator; ReleaseBuffer
    // cuts the string at the terminator (length -1) or at the given length.
    wchar_t* GetBuffer(int minLength = 0);
    wchar_t* GetBufferSetLength(int length);
    void ReleaseBuffer(int length = -1);

private:
    void FormatArgs(const wchar_t* format, ...);

    std::wstring m_text;
};

// A byte string (the update feed's bytes, narrow API texts), in the manner of CString.
class CStringA {
public:
    CStringA() = default;
    CStringA(const char* text) : m_text(text ? text : "") {}
    CStringA(const char* text, int length) : m_text(text ? std::string(text, length > 0 ? length : 0) : std::string()) {}
    CStringA(const std::string& text) : m_text(text) {}
    // From a UTF-16 string, converted to the ANSI code page.
    explicit CStringA(const CString& text);
    explicit CStringA(const wchar_t* text);

    // Formats with the C runtime's narrow printf rules (msvcrt: %s narrow, %I64d 64-bit); a CStringA
    // argument stands for its text.
    template <class... Args>
    void Format(const char* format, const Args&... args)
    {
        FormatArgs(format, AfxFormatArg(args)...);
    }
    void FormatV(const char* format, va_list args);

    int GetLength() const { return static_cast<int>(m_text.size()); }
    bool IsEmpty() const { return m_text.empty(); }
    void Empty() { m_text.clear(); }
    const char* GetString() const { return m_text.c_str(); }
    operator const char*() const { return m_text.c_str(); }
    const std::string& Str() const { return m_text; }

    CStringA& operator+=(const CStringA& other) { m_text += other.m_text; return *this; }
    CStringA& operator+=(const char* text) { if (text) m_text += text; return *this; }
    CStringA& operator+=(char ch) { m_text += ch; return *this; }
    void Append(const char* text, int length) { if (text && length > 0) m_text.append(text, length); }
    friend CStringA operator+(const CStringA& a, const CStringA& b) { return CStringA(a.m_text + b.m_text); }
    friend bool operator==(const CStringA& a, const CStringA& b) { return a.m_text == b.m_text; }
    friend bool operator==(const CStringA& a, const char* b) { return a.m_text == (b ? b : ""); }
    friend bool operator!=(const CStringA& a, const CStringA& b) { return !(a == b); }

    CStringA Left(int count) const;
    CStringA Mid(int first, int count = -1) const;
    int Find(const char* sub, int start = 0) const;
    int Find(char ch, int start = 0) const;

    char* GetBuffer(int minLength = 0);
    char* GetBufferSetLength(int length);
    void ReleaseBuffer(int length = -1);

private:
    void FormatArgs(const char* format, ...);

    std::string m_text;
};

inline const wchar_t* AfxFormatArg(const CString& text) { return text.GetString(); }
inline const char* AfxFormatArg(const CStringA& text) { return text.GetString(); }
