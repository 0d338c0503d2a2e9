// The template-font rewrite, on template bytes, and the hook every dialog is created through.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "DialogTestUtil.h"
#include "framework/Framework.h"

namespace {

struct RewriteCase {
    bool extended;
    const wchar_t* oldFace;   // nullptr: the template has no font
    const wchar_t* newFace;
    WORD newSize;
};

DialogTemplateBuilder ThreeItems(const RewriteCase& c)
{
    DialogTemplateBuilder b(L"Rewrite", 180, 70, WS_POPUP | WS_CAPTION | DS_MODALFRAME, 0, c.oldFace, 8, c.extended);
    b.Add(DialogTemplateBuilder::kButton, IDOK, L"OK", BS_DEFPUSHBUTTON | WS_VISIBLE | WS_TABSTOP, 60, 50, 50, 14)
        .Add(DialogTemplateBuilder::kStatic, 1007, L"Name:", SS_LEFT | WS_VISIBLE, 5, 5, 100, 8)
        .Add(L"msctls_progress32", 1011, L"", WS_VISIBLE | WS_BORDER, 5, 20, 150, 10);
    return b;
}

class FontRewrite : public ::testing::TestWithParam<RewriteCase> {};

}

TEST_P(FontRewrite, ReplacesTheFontAndKeepsEveryItemByteForByte)
{
    const RewriteCase& c = GetParam();
    DialogTemplateBuilder builder = ThreeItems(c);
    const std::vector<BYTE> original = builder.Bytes();
    const size_t itemsOffset = builder.ItemsOffset();
    const std::vector<BYTE> items(original.begin() + static_cast<ptrdiff_t>(itemsOffset), original.end());

    ASSERT_EQ(original.size(), CDialogTemplate::GetTemplateSize(builder.Get()));
    CDialogTemplate templ(builder.Get());
    ASSERT_EQ(original.size(), templ.Size());
    CString face;
    WORD size = 0;
    EXPECT_EQ(c.oldFace != nullptr, templ.GetFont(face, size) != FALSE);

    ASSERT_TRUE(templ.SetFont(c.newFace, c.newSize));
    ASSERT_TRUE(templ.GetFont(face, size));
    EXPECT_STREQ(c.newFace, face.GetString());
    EXPECT_EQ(c.newSize, size);
    EXPECT_EQ(c.extended, templ.IsExtended());

    // The header gained DS_SETFONT (when it lacked it) and the items follow, 4-aligned and unchanged.
    const BYTE* bytes = templ.Data();
    DWORD style = 0;
    std::memcpy(&style, bytes + (c.extended ? 12 : 0), 4);
    EXPECT_TRUE(style & DS_SETFONT);
    ASSERT_GE(templ.Size(), items.size());
    size_t newItemsOffset = templ.Size() - items.size();
    EXPECT_EQ(0u, newItemsOffset % 4);
    EXPECT_EQ(0, std::memcmp(bytes + newItemsOffset, items.data(), items.size()));

    // What the dialog manager makes of the copy: every control, with its text, and the new font.
    HGLOBAL block = templ.Detach();
    ASSERT_NE(nullptr, block);
    EXPECT_EQ(0u, templ.Size());
    HWND dialog = CreatePlainDialog(static_cast<const DLGTEMPLATE*>(block));
    ASSERT_NE(nullptr, dialog);
    wchar_t text[32] = {};
    ::GetDlgItemTextW(dialog, 1007, text, 32);
    EXPECT_STREQ(L"Name:", text);
    ::GetDlgItemTextW(dialog, IDOK, text, 32);
    EXPECT_STREQ(L"OK", text);
    EXPECT_NE(nullptr, ::GetDlgItem(dialog, 1011));
    LOGFONTW font{};
    HFONT hFont = reinterpret_cast<HFONT>(::SendMessageW(dialog, WM_GETFONT, 0, 0));
    ASSERT_NE(nullptr, hFont);
    ::GetObjectW(hFont, sizeof(font), &font);
    EXPECT_STREQ(c.newFace, font.lfFaceName);
    ::DestroyWindow(dialog);
    ::GlobalFree(block);
}

INSTANTIATE_TEST_SUITE_P(
    Templates, FontRewrite,
    ::testing::Values(RewriteCase{ true, L"MS Shell Dlg", L"Tahoma", 9 },        // longer name, odd length
                      RewriteCase{ true, L"MS Shell Dlg", L"Arial", 12 },        // shorter name
                      RewriteCase{ true, nullptr, L"Tahoma", 8 },                // no font yet
                      RewriteCase{ false, L"MS Shell Dlg", L"Segoe UI", 9 },     // classic template
                      RewriteCase{ false, nullptr, L"Tahoma", 10 }));

TEST(DialogTemplate, RefusesTruncatedTemplates)
{
    DialogTemplateBuilder builder = ThreeItems(RewriteCase{ true, L"MS Shell Dlg", L"x", 8 });
    const std::vector<BYTE>& bytes = builder.Bytes();
    CDialogTemplate templ;
    for (size_t cut : { size_t{ 1 }, size_t{ 7 }, bytes.size() / 2, size_t{ 20 }, size_t{ 3 } }) {
        EXPECT_FALSE(templ.SetTemplate(builder.Get(), static_cast<UINT>(bytes.size() - cut))) << "cut " << cut;
        EXPECT_FALSE(templ.SetFont(L"Tahoma", 9));
    }
    EXPECT_TRUE(templ.SetTemplate(builder.Get(), static_cast<UINT>(bytes.size())));
}

TEST(DialogTemplate, LoadsAResourceTemplate)
{
    CDialogTemplate templ;
    ASSERT_TRUE(templ.Load(MAKEINTRESOURCEW(9100)));
    CString face;
    WORD size = 0;
    ASSERT_TRUE(templ.GetFont(face, size));
    EXPECT_STREQ(L"MS Shell Dlg", face.GetString());
    EXPECT_EQ(8, size);
    EXPECT_FALSE(templ.Load(MAKEINTRESOURCEW(8888)));
}

namespace {

// A hook of the kind a program installs: every dialog is created with another font.
class FontHook : public COccManager {
public:
    int m_pre = 0, m_post = 0;
    bool m_freedOnPost = false;
    const DLGTEMPLATE* PreCreateDialog(_AFX_OCC_DIALOG_INFO* info, const DLGTEMPLATE* orig) override
    {
        ++m_pre;
        const DLGTEMPLATE* result = COccManager::PreCreateDialog(info, orig);
        CDialogTemplate copy(result);
        copy.SetFont(L"Tahoma", 11);
        info->m_pNewTemplate = static_cast<DLGTEMPLATE*>(copy.Detach());
        return info->m_pNewTemplate;
    }
    void PostCreateDialog(_AFX_OCC_DIALOG_INFO* info) override
    {
        ++m_post;
        COccManager::PostCreateDialog(info);
        m_freedOnPost = info->m_pNewTemplate == nullptr;
    }
};

class FontProbe : public CDialogEx {
public:
    using CDialogEx::CDialogEx;
    CString m_face;
    BOOL OnInitDialog() override
    {
        CDialogEx::OnInitDialog();
        LOGFONTW font{};
        ::GetObjectW(reinterpret_cast<HFONT>(SendMessage(WM_GETFONT)), sizeof(font), &font);
        m_face = font.lfFaceName;
        EndDialog(IDOK);
        return TRUE;
    }
};

}

TEST(DialogTemplate, EveryDialogPassesThroughTheInstalledHook)
{
    FontHook hook;
    AfxEnableControlContainer(&hook);
    FontProbe fromResource(9100u);
    EXPECT_EQ(IDOK, fromResource.DoModal());
    DialogTemplateBuilder builder = ThreeItems(RewriteCase{ true, L"MS Shell Dlg", L"x", 8 });
    FontProbe fromMemory;
    fromMemory.InitModalIndirect(builder.Get());
    EXPECT_EQ(IDOK, fromMemory.DoModal());
    AfxEnableControlContainer(nullptr);   // back to the base hook for the other tests

    EXPECT_EQ(2, hook.m_pre);
    EXPECT_EQ(2, hook.m_post);
    EXPECT_TRUE(hook.m_freedOnPost);
    EXPECT_STREQ(L"Tahoma", fromResource.m_face.GetString());
    EXPECT_STREQ(L"Tahoma", fromMemory.m_face.GetString());

    FontProbe plain(9100u);
    EXPECT_EQ(IDOK, plain.DoModal());
    EXPECT_STREQ(L"MS Shell Dlg", plain.m_face.GetString());
}
