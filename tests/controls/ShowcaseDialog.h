#pragma once
// The program's progress-window template with both controls bound and given their pictures as the
// progress window gives them: each button its icon loaded twice, the picture its shredder animation.
// Used by the controls' dialog tests and by the screenshot program.
#include <windows.h>

#include <functional>

#include "app/res/resource.h"
#include "controls/AnimatedPicture.h"
#include "controls/IconButton.h"
#include "framework/Framework.h"

class ShowcaseDialog : public CDialogEx {
public:
    ShowcaseDialog(UINT templateId, UINT animationId) : CDialogEx(templateId), m_animationId(animationId) {}

    CIconButton m_cancelButton, m_pauseButton;
    CAnimatedPicture m_picture;
    bool m_animationLoaded = false;
    std::function<void(ShowcaseDialog&)> m_onInit;   // runs at the end of OnInitDialog

    static HICON LoadButtonIcon(UINT id)
    {
        return static_cast<HICON>(::LoadImageW(AfxGetResourceHandle(), MAKEINTRESOURCEW(id), IMAGE_ICON, 0, 0, 0));
    }

protected:
    void DoDataExchange(CDataExchange* pDX) override
    {
        DDX_Control(pDX, IDC_PAUSE, m_pauseButton);
        DDX_Control(pDX, IDCANCEL, m_cancelButton);
        DDX_Control(pDX, IDC_ANIMATION, m_picture);
    }
    BOOL OnInitDialog() override
    {
        CDialogEx::OnInitDialog();
        m_pauseButton.SetIcon(LoadButtonIcon(IDI_PAUSE), LoadButtonIcon(IDI_PAUSE));
        m_cancelButton.SetIcon(LoadButtonIcon(IDI_CANCEL), LoadButtonIcon(IDI_CANCEL));
        HRSRC gif = ::FindResourceW(AfxGetResourceHandle(), MAKEINTRESOURCEW(m_animationId), L"GIF");
        if (gif)
            m_animationLoaded = m_picture.LoadFromResource(AfxGetResourceHandle(), gif);
        m_picture.Draw();
        if (m_onInit)
            m_onInit(*this);
        return TRUE;
    }

private:
    UINT m_animationId;
};
