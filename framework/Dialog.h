#pragma once
// Dialogs: data exchange, the control-container hook that may rewrite a template before it is created,
// and modal dialogs run by the framework's own modal loop.
#include <windows.h>

#include "framework/Wnd.h"

// Binds dialog controls to members (DoDataExchange).
class CDataExchange {
public:
    CDataExchange(CWnd* pDlgWnd, BOOL bSaveAndValidate) : m_bSaveAndValidate(bSaveAndValidate), m_pDlgWnd(pDlgWnd) {}
    BOOL m_bSaveAndValidate;
    CWnd* m_pDlgWnd;
    BOOL m_bFailed = FALSE;   // a control could not be bound
};

// Subclasses the dialog's control nIDC with rControl the first time (later calls keep the binding).
void DDX_Control(CDataExchange* pDX, int nIDC, CWnd& rControl);
// Check state of a check box into or out of value (0, 1, 2).
void DDX_Check(CDataExchange* pDX, int nIDC, int& value);

// What the control-container manager hands back from PreCreateDialog: a template of its own making, freed
// by PostCreateDialog once the dialog exists (GlobalFree of its handle).
struct _AFX_OCC_DIALOG_INFO {
    DLGTEMPLATE* m_pNewTemplate = nullptr;
};

// The hook every dialog of the framework is created through. The base gives the template back unchanged;
// a program installs its own manager with AfxEnableControlContainer to rewrite templates.
class COccManager : public CObject {
public:
    ~COccManager() override = default;
    virtual const DLGTEMPLATE* PreCreateDialog(_AFX_OCC_DIALOG_INFO* pOccDialogInfo, const DLGTEMPLATE* pOrigTemplate);
    virtual void PostCreateDialog(_AFX_OCC_DIALOG_INFO* pOccDialogInfo);
};

// Makes pManager the hook of every later dialog (the caller keeps it alive); nullptr gives the base one.
void AfxEnableControlContainer(COccManager* pManager = nullptr);
COccManager* AfxGetOccManager();

class CDialog : public CWnd {
    DECLARE_DYNAMIC(CDialog)
public:
    CDialog() = default;
    explicit CDialog(UINT nIDTemplate, CWnd* pParentWnd = nullptr);
    explicit CDialog(const wchar_t* lpszTemplateName, CWnd* pParentWnd = nullptr);
    ~CDialog() override;

    // A template in memory instead of a resource (kept by the caller while the dialog runs).
    BOOL InitModalIndirect(const DLGTEMPLATE* lpDialogTemplate, CWnd* pParentWnd = nullptr);

    // Creates the dialog from its template (through the control-container hook), runs the modal loop
    // until EndDialog and destroys the window. The result is EndDialog's value, -1 when the dialog could
    // not be created. The loop shows a dialog that is still invisible when it first runs out of messages.
    virtual INT_PTR DoModal();
    // Ends the modal loop with nResult; from a handler of this dialog or of any window, also while a
    // nested loop (a message box, another dialog) runs: this loop ends once control returns to it.
    void EndDialog(int nResult);

    virtual BOOL OnInitDialog();
    virtual void OnOK();
    virtual void OnCancel();

    BOOL PreTranslateMessage(MSG* pMsg) override;
    // Commands the dialog does not handle go on to the application object.
    BOOL OnCmdMsg(UINT nID, int nCode, WPARAM wParam, LPARAM lParam, LRESULT* pResult) override;

    // True while DoModal's loop runs for this dialog.
    BOOL IsModalLoopRunning() const { return m_continueModal; }

protected:
    LRESULT HandleInitDialog(WPARAM wParam, LPARAM lParam);
    void PostNcDestroy() override;

    UINT m_nIDTemplate = 0;
    const wchar_t* m_lpszTemplateName = nullptr;
    const DLGTEMPLATE* m_lpDialogTemplate = nullptr;
    CWnd* m_pParentWnd = nullptr;
    INT_PTR m_nModalResult = -1;

    DECLARE_MESSAGE_MAP()

private:
    HWND ChooseOwner() const;
    void RunModalLoop();

    bool m_continueModal = false;
    CDialog* m_outerModal = nullptr;   // the modal dialog that ran when this one started
};

// The dialog base of the program's dialogs (nothing beyond CDialog is needed here).
class CDialogEx : public CDialog {
    DECLARE_DYNAMIC(CDialogEx)
public:
    CDialogEx() = default;
    explicit CDialogEx(UINT nIDTemplate, CWnd* pParentWnd = nullptr) : CDialog(nIDTemplate, pParentWnd) {}
    explicit CDialogEx(const wchar_t* lpszTemplateName, CWnd* pParentWnd = nullptr) : CDialog(lpszTemplateName, pParentWnd) {}
};

// The innermost modal dialog running on the calling thread, or nullptr.
CDialog* AfxGetModalDialog();
