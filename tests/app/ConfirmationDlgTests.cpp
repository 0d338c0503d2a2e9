// The confirmation dialogs run for real under Wine: real files and folders in a temporary folder, the
// real shell icons, message boxes seen and pressed by a timer of the test thread.
#include <gtest/gtest.h>

#include <windows.h>
#include <commctrl.h>
#include <commoncontrols.h>
#include <shellapi.h>

#include <functional>
#include <map>
#include <string>

#include "DialogWatch.h"
#include "ImportPatch.h"
#include "JobTestUtil.h"
#include "TempDir.h"
#include "app/jobs/ConfirmDeletionDlg.h"
#include "app/jobs/RecycleBinConfirmationDlg.h"
#include "app/res/resource.h"

namespace {

std::wstring ItemText(HWND dialog, int id)
{
    wchar_t text[512] = {};
    GetDlgItemTextW(dialog, id, text, 512);
    return text;
}

// What a dialog showed, read once it is up, before the test presses a button.
struct Shown {
    bool seen = false;
    std::map<int, std::wstring> texts;
    bool emblem = false;          // control 1005 holds an icon
    bool shellIcon = false;       // control 1016 holds an icon
    bool shellIconVisible = false;
    SIZE client{};
};

template <class Dlg>
INT_PTR RunAndRead(Dlg& dlg, Shown& shown, int press, std::vector<ThreadMessageBox>* boxes = nullptr)
{
    DialogWatch watch([&] { return dlg.m_hWnd; });
    watch.m_onTick = [&](HWND dialog) {
        if (shown.seen || !IsWindowVisible(dialog))
            return;
        shown.seen = true;
        for (int id : {IDC_CONFIRM_QUESTION, IDC_CONFIRM_NAME, IDC_CONFIRM_DATE})
            if (GetDlgItem(dialog, id))
                shown.texts[id] = ItemText(dialog, id);
        shown.emblem = SendDlgItemMessageW(dialog, IDC_CONFIRM_ICON, STM_GETICON, 0, 0) != 0;
        shown.shellIcon = SendDlgItemMessageW(dialog, IDC_CONFIRM_SHELL_ICON, STM_GETICON, 0, 0) != 0;
        shown.shellIconVisible = IsWindowVisible(GetDlgItem(dialog, IDC_CONFIRM_SHELL_ICON)) != FALSE;
        RECT r;
        GetClientRect(dialog, &r);
        shown.client = {r.right, r.bottom};
        PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(press, BN_CLICKED), 0);
    };
    const INT_PTR result = dlg.DoModal();
    if (boxes)
        *boxes = watch.m_boxes;
    return result;
}

// The local time of a file time, by another road than the dialog's.
std::wstring LocalText(const FILETIME& utc)
{
    FILETIME local;
    SYSTEMTIME st;
    FileTimeToLocalFileTime(&utc, &local);
    FileTimeToSystemTime(&local, &st);
    wchar_t text[64];
    swprintf(text, 64, L"%02d/%02d/%d %02d:%02d", st.wMonth, st.wDay, st.wYear, st.wHour, st.wMinute);
    return text;
}

FILETIME TimesOf(const std::wstring& path, bool creation)
{
    HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                           FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    FILETIME created = {}, accessed = {}, written = {};
    GetFileTime(h, &created, &accessed, &written);
    CloseHandle(h);
    return creation ? created : written;
}

class ConfirmationTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(m_dir.IsValid()); }
    TempDir m_dir{L"pellumar-confirm"};
};

TEST_F(ConfirmationTest, SeveralItemsShowOnlyTheirNumber)
{
    for (UINT count : {2u, 57u}) {
        CConfirmDeletionDlg dlg(L"", FALSE, count, FALSE);
        Shown shown;
        EXPECT_EQ(IDOK, RunAndRead(dlg, shown, IDOK));
        ASSERT_TRUE(shown.seen);
        EXPECT_EQ(L"Are you sure you want to delete these " + std::to_wstring(count) + L" items ?",
                  shown.texts[IDC_CONFIRM_QUESTION]);
        EXPECT_EQ(0u, shown.texts.count(IDC_CONFIRM_NAME));  // template 130 has no name line
    }
    // A count of 0 (which no caller passes) still takes the several-items road of its template.
    CConfirmDeletionDlg none(L"", FALSE, 0, FALSE);
    Shown shown;
    EXPECT_EQ(IDCANCEL, RunAndRead(none, shown, IDCANCEL));
    EXPECT_EQ(L"Are you sure you want to delete these 0 items ?", shown.texts[IDC_CONFIRM_QUESTION]);
}

TEST_F(ConfirmationTest, OneItemShowsItsNameIconQuestionAndLocalDate)
{
    const std::wstring file = m_dir.WriteFile(L"123456789012345678901234567890.txt", 10, 'a');
    const std::wstring folder = m_dir.MakeFolder(L"Folder");
    ASSERT_FALSE(file.empty());
    ASSERT_FALSE(folder.empty());
    // A last-write time of its own, 7 March 2024 09:05 local time.
    SYSTEMTIME local = {2024, 3, 4, 7, 9, 5, 0, 0};
    FILETIME localTime, written;
    SystemTimeToFileTime(&local, &localTime);
    LocalFileTimeToFileTime(&localTime, &written);
    HANDLE h = CreateFileW(file.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_TRUE(SetFileTime(h, nullptr, nullptr, &written));
    CloseHandle(h);

    const struct {
        std::wstring path;
        BOOL folder, freeSpace;
        std::wstring name, question, date;
    } cases[] = {
        {file, FALSE, FALSE, L"123456789012345678901234567890...",
         L"Are you sure you want to permanenlty delete this file ?", L"Date modified : 03/07/2024 09:05"},
        {folder, TRUE, FALSE, L"Folder", L"Are you sure you want to delete this folder ?",
         L"Date created : " + LocalText(TimesOf(folder, true))},
        {L"C:\\", TRUE, FALSE, L"C:\\", L"Are you sure you want to delete this drive ?",
         L"Date created : " + LocalText(TimesOf(L"C:\\", true))},
        {L"C:\\", TRUE, TRUE, L"C:\\", L"Are you sure you want to shred the free space in this drive ?",
         L"Date created : " + LocalText(TimesOf(L"C:\\", true))},
    };
    for (const auto& c : cases) {
        CConfirmDeletionDlg dlg(c.path.c_str(), c.folder, 1, c.freeSpace);
        Shown shown;
        std::vector<ThreadMessageBox> boxes;
        EXPECT_EQ(IDCANCEL, RunAndRead(dlg, shown, IDCANCEL, &boxes));
        ASSERT_TRUE(shown.seen) << c.path;
        EXPECT_TRUE(boxes.empty());
        EXPECT_EQ(c.name, shown.texts[IDC_CONFIRM_NAME]);
        EXPECT_EQ(c.question, shown.texts[IDC_CONFIRM_QUESTION]);
        // Wine gives a folder the time of its last change as its creation time, and other test programs
        // change C:\ meanwhile: the root's time may have moved on while the dialog ran.
        const std::wstring now = L"Date created : " + LocalText(TimesOf(c.path, true));
        if (shown.texts[IDC_CONFIRM_DATE] != now) {
            EXPECT_EQ(c.date, shown.texts[IDC_CONFIRM_DATE]);
        }
        EXPECT_TRUE(shown.emblem);
        EXPECT_TRUE(shown.shellIcon);
        EXPECT_TRUE(Exists(c.path));
    }
}

TEST_F(ConfirmationTest, AnItemThatCannotBeOpenedIsExplainedAndCancelledUnseen)
{
    const std::wstring held = m_dir.WriteFile(L"held.txt", 10, 'a');
    HANDLE handle = CreateFileW(held.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, handle);
    const std::wstring missing = m_dir.Join(L"gone.txt");
    const std::wstring missingFolder = m_dir.Join(L"gone");
    const struct {
        std::wstring path;
        BOOL folder;
        std::wstring text;
        bool icon;
    } cases[] = {
        {held, FALSE,
         L"The action can't be completed because the file " + held +
             L" is open by another application. Close the file and try again",
         false},
        {missing, FALSE, L"Failed to delete file " + missing + L" error : [2]", true},
        {missingFolder, TRUE, L"Failed to delete folder " + missingFolder + L" error : [2]", true},
    };
    for (const auto& c : cases) {
        CConfirmDeletionDlg dlg(c.path.c_str(), c.folder, 1, FALSE);
        Shown shown;
        std::vector<ThreadMessageBox> boxes;
        EXPECT_EQ(IDCANCEL, RunAndRead(dlg, shown, IDOK, &boxes));
        EXPECT_FALSE(shown.seen) << c.path;  // never shown
        ASSERT_EQ(1u, boxes.size()) << c.path;
        EXPECT_EQ(c.text, boxes[0].text);
        EXPECT_EQ(c.icon, boxes[0].hasIcon);
    }
    CloseHandle(handle);
}

// Wine follows links even when asked not to (FILE_FLAG_OPEN_REPARSE_POINT is ignored), so a dangling link
// cannot be opened there at all. The fake acts as Windows does: the link itself opens with the flag (here
// a stand-in file), and following it fails as its target is gone.
ImportPatch<decltype(::CreateFileW)>* g_create = nullptr;
std::wstring g_link, g_standIn;
HANDLE WINAPI FakeCreateFile(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES sa, DWORD disposition,
                             DWORD flags, HANDLE templ)
{
    if (g_link != name)
        return g_create->Original()(name, access, share, sa, disposition, flags, templ);
    if (!(flags & FILE_FLAG_OPEN_REPARSE_POINT)) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    return g_create->Original()(g_standIn.c_str(), access, share, sa, disposition, flags & ~FILE_FLAG_OPEN_REPARSE_POINT,
                                templ);
}

TEST_F(ConfirmationTest, ADanglingLinkCanBeConfirmed)
{
    g_link = m_dir.Join(L"link-to-nothing");
    g_standIn = m_dir.WriteFile(L"stand-in", 1, 'a');
    ImportPatch<decltype(::CreateFileW)> create("CreateFileW", &FakeCreateFile);
    ASSERT_TRUE(create.IsActive());
    g_create = &create;
    for (BOOL folder : {FALSE, TRUE}) {
        CConfirmDeletionDlg dlg(g_link.c_str(), folder, 1, FALSE);
        Shown shown;
        std::vector<ThreadMessageBox> boxes;
        EXPECT_EQ(IDOK, RunAndRead(dlg, shown, IDOK, &boxes));
        EXPECT_TRUE(shown.seen);
        EXPECT_TRUE(boxes.empty());
        EXPECT_EQ(L"link-to-nothing", shown.texts[IDC_CONFIRM_NAME]);
    }
}

// Wine always has the system image list: the fake refuses it.
HRESULT WINAPI NoImageList(int, REFIID, void** out)
{
    *out = nullptr;
    return E_FAIL;
}

TEST_F(ConfirmationTest, WithoutTheSystemImageListTheShellIconStaysEmpty)
{
    const std::wstring file = m_dir.WriteFile(L"a.txt", 10, 'a');
    ImportPatch<decltype(::SHGetImageList)> images("SHGetImageList", &NoImageList);
    ASSERT_TRUE(images.IsActive());
    CConfirmDeletionDlg dlg(file.c_str(), FALSE, 1, FALSE);
    Shown shown;
    EXPECT_EQ(IDOK, RunAndRead(dlg, shown, IDOK));
    EXPECT_TRUE(shown.seen);
    EXPECT_FALSE(shown.shellIcon);
    EXPECT_TRUE(shown.shellIconVisible);  // left as the template has it
    EXPECT_TRUE(shown.emblem);
    EXPECT_EQ(L"a.txt", shown.texts[IDC_CONFIRM_NAME]);
}

// Wine's image list always gives its icons: this one refuses every icon, and counts its references.
class RefusingImageList : public IImageList {
public:
    LONG m_refs = 1;
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** out) override { *out = nullptr; return E_NOINTERFACE; }
    ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(++m_refs); }
    ULONG STDMETHODCALLTYPE Release() override { return static_cast<ULONG>(--m_refs); }
    HRESULT STDMETHODCALLTYPE GetIcon(int, UINT, HICON* icon) override { *icon = nullptr; return E_FAIL; }
    HRESULT STDMETHODCALLTYPE Add(HBITMAP, HBITMAP, int*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE ReplaceIcon(int, HICON, int*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetOverlayImage(int, int) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Replace(int, HBITMAP, HBITMAP) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE AddMasked(HBITMAP, COLORREF, int*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Draw(IMAGELISTDRAWPARAMS*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Remove(int) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetImageInfo(int, IMAGEINFO*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Copy(int, IUnknown*, int, UINT) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Merge(int, IUnknown*, int, int, int, REFIID, void**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Clone(REFIID, void**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetImageRect(int, RECT*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetIconSize(int*, int*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetIconSize(int, int) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetImageCount(int*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetImageCount(UINT) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetBkColor(COLORREF, COLORREF*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetBkColor(COLORREF*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE BeginDrag(int, int, int) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE EndDrag() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE DragEnter(HWND, int, int) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE DragLeave(HWND) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE DragMove(int, int) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetDragCursorImage(IUnknown*, int, int, int) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE DragShowNolock(WINBOOL) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetDragImage(POINT*, POINT*, REFIID, void**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetItemFlags(int, DWORD*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetOverlayImage(int, int*) override { return E_NOTIMPL; }
};
RefusingImageList g_refusingList;
HRESULT WINAPI GiveRefusingList(int, REFIID, void** out)
{
    g_refusingList.AddRef();
    *out = &g_refusingList;
    return S_OK;
}

TEST_F(ConfirmationTest, AShellIconThatCannotBeHadHidesItsControlAndTheListIsReleased)
{
    const std::wstring file = m_dir.WriteFile(L"a.txt", 10, 'a');
    ImportPatch<decltype(::SHGetImageList)> images("SHGetImageList", &GiveRefusingList);
    ASSERT_TRUE(images.IsActive());
    CConfirmDeletionDlg dlg(file.c_str(), FALSE, 1, FALSE);
    Shown shown;
    EXPECT_EQ(IDOK, RunAndRead(dlg, shown, IDOK));
    EXPECT_TRUE(shown.seen);
    EXPECT_FALSE(shown.shellIconVisible);
    EXPECT_TRUE(shown.emblem);
    EXPECT_EQ(1, g_refusingList.m_refs);  // the reference the dialog was given, given back
}

TEST_F(ConfirmationTest, TheRecycleBinDialogAsksItsQuestionWithBothIcons)
{
    for (int press : {IDOK, IDCANCEL}) {
        CRecycleBinConfirmationDlg dlg;
        bool seen = false;
        std::wstring question, text;
        bool emblem = false, bin = false;
        DialogWatch watch([&] { return dlg.m_hWnd; });
        watch.m_onTick = [&](HWND dialog) {
            if (seen || !IsWindowVisible(dialog))
                return;
            seen = true;
            question = ItemText(dialog, IDC_RECYCLE_BIN_QUESTION);
            text = ItemText(dialog, IDC_RECYCLE_BIN_TEXT);
            emblem = SendDlgItemMessageW(dialog, IDC_RECYCLE_BIN_EMBLEM, STM_GETICON, 0, 0) != 0;
            bin = SendDlgItemMessageW(dialog, IDC_RECYCLE_BIN_PICTURE, STM_GETICON, 0, 0) != 0;
            wchar_t title[64] = {};
            GetWindowTextW(dialog, title, 64);
            EXPECT_STREQ(L"Empty Recycle Bin", title);
            PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(press, BN_CLICKED), 0);
        };
        EXPECT_EQ(press, dlg.DoModal());
        EXPECT_TRUE(seen);
        EXPECT_EQ(L"Do you want to permanently shred your recycle bin contents ?", question);
        EXPECT_EQ(L"Recycle Bin contents", text);
        EXPECT_TRUE(emblem);
        EXPECT_TRUE(bin);
    }
}

}  // namespace
