// The program's resources carry the application manifest that selects version 6 of the common controls
// (the progress bar's marquee and states, the link control). This test program links the same resources,
// so its process starts with the activation context the program gets.
#include <gtest/gtest.h>

#include <algorithm>
#include <cwctype>
#include <string>

#include "framework/Framework.h"

namespace {

std::wstring Lower(std::wstring text)
{
    std::transform(text.begin(), text.end(), text.begin(), [](wchar_t c) { return static_cast<wchar_t>(std::towlower(c)); });
    return text;
}

}

TEST(Manifest, TheProcessManifestAsksForCommonControlsSix)
{
    HRSRC found = ::FindResourceW(nullptr, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24));   // the process manifest
    ASSERT_NE(nullptr, found);
    const char* text = static_cast<const char*>(::LockResource(::LoadResource(nullptr, found)));
    ASSERT_NE(nullptr, text);
    std::string manifest(text, ::SizeofResource(nullptr, found));
    EXPECT_NE(std::string::npos, manifest.find("name=\"Microsoft.Windows.Common-Controls\" version=\"6.0.0.0\""));
    EXPECT_NE(std::string::npos, manifest.find("publicKeyToken=\"6595b64144ccf1df\""));
}

TEST(Manifest, WindowsGetTheSideBySideCommonControls)
{
    INITCOMMONCONTROLSEX icc{ sizeof(icc), ICC_WIN95_CLASSES | ICC_LINK_CLASS };
    ASSERT_TRUE(::InitCommonControlsEx(&icc));
    // Without the manifest the process would use the system folder's version 5 library. (Wine's copy
    // reports 5.81 from DllGetVersion in both places, so the place is what tells them apart.)
    HMODULE comctl = ::GetModuleHandleW(L"comctl32.dll");
    ASSERT_NE(nullptr, comctl);
    wchar_t path[MAX_PATH] = {};
    ::GetModuleFileNameW(comctl, path, MAX_PATH);
    EXPECT_NE(std::wstring::npos, Lower(path).find(L"microsoft.windows.common-controls_6595b64144ccf1df_6."))
        << std::string(path, path + wcslen(path));

    // The controls that need version 6: a marquee progress bar with states, and the link control.
    CProgressCtrl progress;
    HWND bar = ::CreateWindowExW(0, PROGRESS_CLASSW, L"", WS_POPUP | PBS_MARQUEE, 0, 0, 100, 12, nullptr, nullptr,
                                 nullptr, nullptr);
    ASSERT_TRUE(progress.SubclassWindow(bar));
    EXPECT_TRUE(progress.SetMarquee(TRUE, 20));
    EXPECT_NE(0, progress.SetState(PBST_NORMAL));   // the previous state
    progress.DestroyWindow();
    HWND link = ::CreateWindowExW(0, WC_LINK, L"<a>site</a>", WS_POPUP, 0, 0, 100, 12, nullptr, nullptr, nullptr, nullptr);
    EXPECT_NE(nullptr, link);
    ::DestroyWindow(link);
}
