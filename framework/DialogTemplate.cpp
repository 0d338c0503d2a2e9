#include "framework/DialogTemplate.h"

#include <cstring>

#include "framework/Module.h"

// Layout of the header, as the dialog manager reads it:
//   classic:  style(4) exStyle(4) cItems(2) x y cx cy (2 each)                        = 18 bytes
//   extended: dlgVer(2)=1 signature(2)=0xFFFF helpId(4) exStyle(4) style(4) cItems(2) x y cx cy = 26 bytes
//   then menu, class (each: 0x0000, or 0xFFFF + ordinal, or a NUL-terminated string), title (string),
//   and with DS_SETFONT: pointSize(2) [extended: weight(2) italic(1) charset(1)] faceName (string).
//   Items start at 4-byte boundaries:
//   classic item:  style(4) exStyle(4) x y cx cy (2 each) id(2)                       = 18 bytes
//   extended item: helpId(4) exStyle(4) style(4) x y cx cy (2 each) id(4)             = 24 bytes
//   then class (0xFFFF + ordinal or string), title (0xFFFF + ordinal or string), extra count(2) + data.

namespace {

struct Reader {
    const BYTE* base;
    size_t size;   // SIZE_MAX when unknown
    size_t at = 0;
    bool ok = true;

    bool Need(size_t n)
    {
        if (!ok || n > size || at > size - n)
            ok = false;
        return ok;
    }
    WORD Word()
    {
        if (!Need(2))
            return 0;
        WORD w;
        std::memcpy(&w, base + at, 2);
        at += 2;
        return w;
    }
    void Skip(size_t n)
    {
        if (Need(n))
            at += n;
    }
    // A string of NUL-terminated UTF-16 units.
    void String()
    {
        while (ok && Word() != 0) {}
    }
    // 0x0000, 0xFFFF + ordinal, or a string.
    void StringOrOrdinal()
    {
        if (!Need(2))
            return;
        WORD first;
        std::memcpy(&first, base + at, 2);
        if (first == 0xFFFF)
            Skip(4);
        else
            String();
    }
    void Align4()
    {
        size_t aligned = (at + 3) & ~static_cast<size_t>(3);
        at = aligned;   // an aligned end may pass the size: the next read fails
    }
};

bool IsExtendedTemplate(const BYTE* p, size_t size)
{
    if (size < 4)
        return false;
    WORD ver, sig;
    std::memcpy(&ver, p, 2);
    std::memcpy(&sig, p + 2, 2);
    return ver == 1 && sig == 0xFFFF;
}

struct Layout {
    bool extended = false;
    DWORD style = 0;
    size_t styleOffset = 0;
    size_t fontOffset = 0;    // where the font fields start (or would start)
    size_t fontEnd = 0;       // end of the font fields (== fontOffset without a font)
    size_t itemsOffset = 0;   // first item (4-aligned)
    size_t end = 0;           // total size
    WORD pointSize = 0;
    std::wstring face;
    bool ok = false;
};

Layout Parse(const BYTE* p, size_t size)
{
    Layout l;
    Reader r{ p, size };
    l.extended = IsExtendedTemplate(p, size);
    WORD items = 0;
    if (l.extended) {
        r.Skip(4 + 4 + 4);   // version and signature, help id, extended style
        l.styleOffset = r.at;
        if (!r.Need(4))
            return l;
        std::memcpy(&l.style, p + r.at, 4);
        r.Skip(4);
        items = r.Word();
        r.Skip(8);
    } else {
        l.styleOffset = 0;
        if (!r.Need(4))
            return l;
        std::memcpy(&l.style, p, 4);
        r.Skip(8);
        items = r.Word();
        r.Skip(8);
    }
    r.StringOrOrdinal();   // menu
    r.StringOrOrdinal();   // class
    r.String();            // title
    l.fontOffset = r.at;
    if (l.style & DS_SETFONT) {
        l.pointSize = r.Word();
        if (l.extended)
            r.Skip(4);
        size_t faceStart = r.at;
        r.String();
        if (r.ok && r.at >= faceStart + 2) {
            l.face.assign(reinterpret_cast<const wchar_t*>(p + faceStart), (r.at - faceStart) / 2 - 1);
        }
    }
    l.fontEnd = r.at;
    r.Align4();
    l.itemsOffset = r.at;
    for (WORD i = 0; i < items && r.ok; ++i) {
        if (i > 0)
            r.Align4();
        r.Skip(l.extended ? 24 : 18);
        r.StringOrOrdinal();   // class
        r.StringOrOrdinal();   // title
        WORD extra = r.Word();
        r.Skip(extra);
    }
    if (items == 0)
        r.at = l.fontEnd;
    l.end = r.at;
    l.ok = r.ok && l.end <= size;
    return l;
}

}

CDialogTemplate::CDialogTemplate(const DLGTEMPLATE* pTemplate)
{
    UINT size = GetTemplateSize(pTemplate);
    if (size)
        SetTemplate(pTemplate, size);
}

CDialogTemplate::~CDialogTemplate() = default;

UINT CDialogTemplate::GetTemplateSize(const DLGTEMPLATE* pTemplate)
{
    if (!pTemplate)
        return 0;
    Layout l = Parse(reinterpret_cast<const BYTE*>(pTemplate), SIZE_MAX / 2);
    return l.ok ? static_cast<UINT>(l.end) : 0;
}

BOOL CDialogTemplate::SetTemplate(const DLGTEMPLATE* pTemplate, UINT cb)
{
    m_bytes.clear();
    if (!pTemplate || cb == 0)
        return FALSE;
    const BYTE* p = reinterpret_cast<const BYTE*>(pTemplate);
    if (!Parse(p, cb).ok)
        return FALSE;
    m_bytes.assign(p, p + cb);
    m_dwTemplateSize = cb;
    return TRUE;
}

BOOL CDialogTemplate::Load(const wchar_t* lpDialogTemplateID)
{
    HINSTANCE module = FrameworkResourceHandle();
    HRSRC found = ::FindResourceW(module, lpDialogTemplateID, RT_DIALOG);
    if (!found)
        return FALSE;
    HGLOBAL loaded = ::LoadResource(module, found);
    DWORD size = ::SizeofResource(module, found);
    const void* data = loaded ? ::LockResource(loaded) : nullptr;
    if (!data || size == 0)
        return FALSE;
    return SetTemplate(static_cast<const DLGTEMPLATE*>(data), size);
}

bool CDialogTemplate::IsExtended() const
{
    return IsExtendedTemplate(m_bytes.data(), m_bytes.size());
}

BOOL CDialogTemplate::GetFont(const DLGTEMPLATE* pTemplate, CString& strFaceName, WORD& nFontSize)
{
    if (!pTemplate)
        return FALSE;
    Layout l = Parse(reinterpret_cast<const BYTE*>(pTemplate), SIZE_MAX / 2);
    if (!l.ok || !(l.style & DS_SETFONT))
        return FALSE;
    strFaceName = l.face;
    nFontSize = l.pointSize;
    return TRUE;
}

BOOL CDialogTemplate::GetFont(CString& strFaceName, WORD& nFontSize) const
{
    if (m_bytes.empty())
        return FALSE;
    Layout l = Parse(m_bytes.data(), m_bytes.size());
    if (!l.ok || !(l.style & DS_SETFONT))
        return FALSE;
    strFaceName = l.face;
    nFontSize = l.pointSize;
    return TRUE;
}

BOOL CDialogTemplate::SetFont(const wchar_t* lpFaceName, WORD nFontSize)
{
    if (m_bytes.empty() || !lpFaceName)
        return FALSE;
    Layout l = Parse(m_bytes.data(), m_bytes.size());
    if (!l.ok)
        return FALSE;

    std::vector<BYTE> out(m_bytes.begin(), m_bytes.begin() + static_cast<ptrdiff_t>(l.fontOffset));
    DWORD style = l.style | DS_SETFONT;
    std::memcpy(out.data() + l.styleOffset, &style, 4);

    auto put = [&out](const void* data, size_t n) {
        const BYTE* b = static_cast<const BYTE*>(data);
        out.insert(out.end(), b, b + n);
    };
    put(&nFontSize, 2);
    if (l.extended) {
        // Keep weight, italic and character set when the template had a font; else normal, upright, default.
        BYTE extra[4] = { 0, 0, 0, DEFAULT_CHARSET };
        if (l.style & DS_SETFONT)
            std::memcpy(extra, m_bytes.data() + l.fontOffset + 2, 4);
        put(extra, 4);
    }
    put(lpFaceName, (wcslen(lpFaceName) + 1) * sizeof(wchar_t));
    while (out.size() % 4)
        out.push_back(0);
    if (l.end > l.itemsOffset)
        out.insert(out.end(), m_bytes.begin() + static_cast<ptrdiff_t>(l.itemsOffset),
                   m_bytes.begin() + static_cast<ptrdiff_t>(l.end));
    m_bytes.swap(out);
    m_dwTemplateSize = static_cast<DWORD>(m_bytes.size());
    return TRUE;
}

HGLOBAL CDialogTemplate::Detach()
{
    if (m_bytes.empty())
        return nullptr;
    HGLOBAL block = ::GlobalAlloc(GMEM_FIXED, m_bytes.size());
    if (!block)
        return nullptr;
    std::memcpy(block, m_bytes.data(), m_bytes.size());
    m_bytes.clear();
    m_dwTemplateSize = 0;
    return block;
}
