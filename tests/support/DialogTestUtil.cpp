#include "DialogTestUtil.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <memory>

DialogTemplateBuilder::DialogTemplateBuilder(const wchar_t* title, short cx, short cy, DWORD style, DWORD exStyle,
                                             const wchar_t* font, WORD pointSize, bool extended)
    : m_title(title ? title : L""), m_font(font ? font : L""), m_hasFont(font != nullptr), m_extended(extended),
      m_pointSize(pointSize), m_style(style), m_exStyle(exStyle), m_cx(cx), m_cy(cy)
{
}

DialogTemplateBuilder& DialogTemplateBuilder::Add(WORD classAtom, int id, const wchar_t* text, DWORD style, short x,
                                                  short y, short cx, short cy, DWORD exStyle)
{
    m_items.push_back(Item{ style | WS_CHILD, exStyle, x, y, cx, cy, id, classAtom, L"", text ? text : L"" });
    m_dirty = true;
    return *this;
}

DialogTemplateBuilder& DialogTemplateBuilder::Add(const wchar_t* className, int id, const wchar_t* text, DWORD style,
                                                  short x, short y, short cx, short cy, DWORD exStyle)
{
    m_items.push_back(Item{ style | WS_CHILD, exStyle, x, y, cx, cy, id, 0, className ? className : L"", text ? text : L"" });
    m_dirty = true;
    return *this;
}

void DialogTemplateBuilder::Build()
{
    std::vector<BYTE>& b = m_bytes;
    b.clear();
    auto put = [&b](const void* p, size_t n) {
        const BYTE* q = static_cast<const BYTE*>(p);
        b.insert(b.end(), q, q + n);
    };
    auto word = [&put](WORD w) { put(&w, 2); };
    auto dword = [&put](DWORD d) { put(&d, 4); };
    auto str = [&put](const std::wstring& s) { put(s.c_str(), (s.size() + 1) * 2); };
    auto align = [&b] { while (b.size() % 4) b.push_back(0); };

    DWORD style = m_style | (m_hasFont ? DS_SETFONT : 0);
    if (m_extended) {
        word(1);
        word(0xFFFF);
        dword(0);           // help id
        dword(m_exStyle);
        dword(style);
    } else {
        dword(style);
        dword(m_exStyle);
    }
    word(static_cast<WORD>(m_items.size()));
    word(0); word(0); word(static_cast<WORD>(m_cx)); word(static_cast<WORD>(m_cy));
    word(0);                // no menu
    word(0);                // default class
    str(m_title);
    if (m_hasFont) {
        word(m_pointSize);
        if (m_extended) {
            word(FW_NORMAL);
            b.push_back(0);  // italic
            b.push_back(DEFAULT_CHARSET);
        }
        str(m_font);
    }
    align();
    m_itemsOffset = b.size();
    for (size_t i = 0; i < m_items.size(); ++i) {
        const Item& it = m_items[i];
        align();
        if (m_extended) {
            dword(0);
            dword(it.exStyle);
            dword(it.style);
        } else {
            dword(it.style);
            dword(it.exStyle);
        }
        word(static_cast<WORD>(it.x)); word(static_cast<WORD>(it.y));
        word(static_cast<WORD>(it.cx)); word(static_cast<WORD>(it.cy));
        if (m_extended)
            dword(static_cast<DWORD>(it.id));
        else
            word(static_cast<WORD>(it.id));
        if (it.atom) {
            word(0xFFFF);
            word(it.atom);
        } else {
            str(it.className);
        }
        str(it.text);
        word(0);            // no creation data
    }
    m_dirty = false;
}

const DLGTEMPLATE* DialogTemplateBuilder::Get()
{
    return reinterpret_cast<const DLGTEMPLATE*>(Bytes().data());
}

const std::vector<BYTE>& DialogTemplateBuilder::Bytes()
{
    if (m_dirty)
        Build();
    return m_bytes;
}

size_t DialogTemplateBuilder::ItemsOffset()
{
    Bytes();
    return m_itemsOffset;
}

// ---- scheduled actions --------------------------------------------------------------------------------

namespace {
std::map<UINT_PTR, std::function<void()>>& Actions()
{
    static std::map<UINT_PTR, std::function<void()>> actions;
    return actions;
}

void CALLBACK OnActionTimer(HWND, UINT, UINT_PTR id, DWORD)
{
    ::KillTimer(nullptr, id);
    auto& actions = Actions();
    auto it = actions.find(id);
    if (it == actions.end())
        return;
    std::function<void()> action = std::move(it->second);
    actions.erase(it);
    RunChecked(action);
}

bool g_quitPosted = false;

// Takes the quit that a failed check posted off the queue at the end of its test, with the actions still
// scheduled, so that the next test starts with loops that run.
class QuitDrain : public ::testing::EmptyTestEventListener {
    void OnTestEnd(const ::testing::TestInfo&) override
    {
        if (!g_quitPosted)
            return;
        g_quitPosted = false;
        CancelScheduledActions();
        MSG msg;
        while (::PeekMessageW(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE)) {
        }
    }
};
}

namespace {
thread_local int t_checksRunning = 0;

bool IsCrash(DWORD code)
{
    switch (code) {
    case EXCEPTION_ACCESS_VIOLATION:
    case EXCEPTION_ILLEGAL_INSTRUCTION:
    case EXCEPTION_PRIV_INSTRUCTION:
    case EXCEPTION_INT_DIVIDE_BY_ZERO:
    case EXCEPTION_STACK_OVERFLOW:
    case EXCEPTION_ARRAY_BOUNDS_EXCEEDED:
    case EXCEPTION_DATATYPE_MISALIGNMENT:
    case EXCEPTION_IN_PAGE_ERROR:
    case 0xC0000374:   // heap corruption
        return true;
    default:
        return false;
    }
}

// The dispatch of a timer's callback takes a crash in it as handled, and the modal loop around it runs on:
// the test would wait for its dialog until the test program is killed, and say nothing of the crash. A
// crash in a check says where it happened and ends the program at once instead.
LONG CALLBACK EndOnCrashInCheck(EXCEPTION_POINTERS* exception)
{
    const EXCEPTION_RECORD* record = exception->ExceptionRecord;
    if (t_checksRunning == 0 || !IsCrash(record->ExceptionCode))
        return EXCEPTION_CONTINUE_SEARCH;
    HMODULE module = nullptr;
    char name[MAX_PATH] = "?";
    if (::GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                             static_cast<LPCSTR>(record->ExceptionAddress), &module))
        ::GetModuleFileNameA(module, name, MAX_PATH);
    const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
    std::fprintf(stderr, "\n%s.%s: crash 0x%08lx at %s+0x%llx inside a check run from a message loop; the test "
                 "program ends here.\n", test ? test->test_suite_name() : "?", test ? test->name() : "?",
                 static_cast<unsigned long>(record->ExceptionCode), name,
                 static_cast<unsigned long long>(reinterpret_cast<ULONG_PTR>(record->ExceptionAddress) -
                                                 reinterpret_cast<ULONG_PTR>(module)));
    std::fflush(stdout);
    std::fflush(stderr);
    ::TerminateProcess(::GetCurrentProcess(), 3);
    return EXCEPTION_CONTINUE_SEARCH;
}
}

void RunChecked(const std::function<void()>& check)
{
    static PVOID crashHandler = ::AddVectoredExceptionHandler(1, &EndOnCrashInCheck);
    (void)crashHandler;
    struct Running {
        Running() { ++t_checksRunning; }
        ~Running() { --t_checksRunning; }
    };
    {
        Running running;
        check();
    }
    if (!::testing::Test::HasFatalFailure())
        return;
    static bool drainAdded = false;
    if (!drainAdded) {
        drainAdded = true;
        ::testing::UnitTest::GetInstance()->listeners().Append(new QuitDrain);
    }
    g_quitPosted = true;
    CancelScheduledActions();
    ::PostQuitMessage(1);
}

void RunSoon(DWORD delayMs, std::function<void()> action)
{
    UINT_PTR id = ::SetTimer(nullptr, 0, delayMs ? delayMs : 1, &OnActionTimer);
    if (id)
        Actions()[id] = std::move(action);
}

void CancelScheduledActions()
{
    for (auto& entry : Actions())
        ::KillTimer(nullptr, entry.first);
    Actions().clear();
}

void PumpMessagesFor(DWORD ms)
{
    DWORD start = ::GetTickCount();
    do {
        MSG msg;
        while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            ::TranslateMessage(&msg);
            ::DispatchMessageW(&msg);
        }
        ::MsgWaitForMultipleObjects(0, nullptr, FALSE, 5, QS_ALLINPUT);
    } while (::GetTickCount() - start < ms);
}

bool PumpUntil(const std::function<bool()>& pred, DWORD timeoutMs)
{
    DWORD start = ::GetTickCount();
    while (!pred()) {
        if (::GetTickCount() - start >= timeoutMs)
            return pred();
        MSG msg;
        while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            ::TranslateMessage(&msg);
            ::DispatchMessageW(&msg);
        }
        ::MsgWaitForMultipleObjects(0, nullptr, FALSE, 5, QS_ALLINPUT);
    }
    return true;
}

// ---- message boxes ------------------------------------------------------------------------------------

std::vector<ThreadMessageBox> FindThreadMessageBoxes(HWND exclude)
{
    struct Ctx {
        HWND exclude;
        std::vector<ThreadMessageBox> found;
    } ctx{ exclude, {} };
    ::EnumThreadWindows(::GetCurrentThreadId(), [](HWND hWnd, LPARAM lp) -> BOOL {
        auto* c = reinterpret_cast<Ctx*>(lp);
        wchar_t cls[64] = {};
        ::GetClassNameW(hWnd, cls, 64);
        if (hWnd == c->exclude || wcscmp(cls, L"#32770") != 0 || !::IsWindowVisible(hWnd))
            return TRUE;
        ThreadMessageBox box;
        box.hWnd = hWnd;
        box.owner = ::GetWindow(hWnd, GW_OWNER);
        wchar_t text[1024] = {};
        ::GetWindowTextW(hWnd, text, 1024);
        box.caption = text;
        for (HWND child = ::GetWindow(hWnd, GW_CHILD); child; child = ::GetWindow(child, GW_HWNDNEXT)) {
            ::GetClassNameW(child, cls, 64);
            if (_wcsicmp(cls, L"Static") != 0)
                continue;
            LONG_PTR style = ::GetWindowLongPtrW(child, GWL_STYLE);
            if ((style & SS_TYPEMASK) == SS_ICON) {
                box.hasIcon = box.hasIcon || ::SendMessageW(child, STM_GETICON, 0, 0) != 0;
                continue;
            }
            text[0] = 0;
            ::GetWindowTextW(child, text, 1024);
            if (!text[0])
                continue;
            if (!box.text.empty())
                box.text += L"\n";
            box.text += text;
        }
        c->found.push_back(box);
        return TRUE;
    }, reinterpret_cast<LPARAM>(&ctx));
    return ctx.found;
}

void PressMessageBoxButton(HWND box, int id)
{
    ::PostMessageW(box, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(::GetDlgItem(box, id)));
}

HWND CreatePlainDialog(const DLGTEMPLATE* templ, HWND owner)
{
    return ::CreateDialogIndirectParamW(::GetModuleHandleW(nullptr), templ, owner,
                                        [](HWND, UINT, WPARAM, LPARAM) -> INT_PTR { return FALSE; }, 0);
}
