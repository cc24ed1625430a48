#include "framework/framework.h"

#include <algorithm>

namespace {

CWinApp* g_pApp = nullptr;  // set by the one application object's constructor

}  // namespace

// ---------------------------------------------------------------------------
// CCmdTarget

const AFX_MSGMAP* CCmdTarget::GetThisMessageMap() {
    static const AFX_MSGMAP_ENTRY entries[] = {{0, 0, 0, nullptr}};
    static const AFX_MSGMAP messageMap = {nullptr, entries};
    return &messageMap;
}

const AFX_MSGMAP* CCmdTarget::GetMessageMap() const { return GetThisMessageMap(); }

bool CCmdTarget::Dispatch(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* pResult) {
    const UINT nCode = HIWORD(wParam);
    const UINT nID = LOWORD(wParam);
    for (const AFX_MSGMAP* pMap = GetMessageMap(); pMap != nullptr;
         pMap = pMap->pfnGetBaseMap != nullptr ? pMap->pfnGetBaseMap() : nullptr) {
        for (const AFX_MSGMAP_ENTRY* pEntry = pMap->lpEntries; pEntry->pfnCall != nullptr; ++pEntry) {
            if (pEntry->nMessage != message) {
                continue;
            }
            if (message == WM_COMMAND && (pEntry->nCode != nCode || pEntry->nID != nID)) {
                continue;
            }
            // A handler may run a modal loop that dispatches further
            // messages, so the default request is kept per call.
            const bool bOuterDefault = m_bDefault;
            m_bDefault = false;
            *pResult = pEntry->pfnCall(*this, wParam, lParam);
            const bool bWantDefault = m_bDefault;
            m_bDefault = bOuterDefault;
            return !bWantDefault;
        }
    }
    return false;
}

// ---------------------------------------------------------------------------
// CMenu, CWnd

BOOL CMenu::AppendMenu(UINT nFlags, UINT_PTR nIDNewItem, LPCSTR lpszNewItem) {
    return ::AppendMenuA(m_hMenu, nFlags, nIDNewItem, lpszNewItem);
}

BEGIN_MESSAGE_MAP(CWnd, CCmdTarget)
ON_WM_HELPINFO()
END_MESSAGE_MAP()

BOOL CWnd::OnHelpInfo(HELPINFO*) {
    // Controls hand WM_HELP on to their parent themselves, so only a
    // top-level window acts on it; with a modifier held it is no help request.
    CWnd* pMain = AfxGetMainWnd();
    if ((::GetWindowLongA(m_hWnd, GWL_STYLE) & WS_CHILD) != 0 || pMain == nullptr || pMain->m_hWnd == nullptr ||
        ::GetKeyState(VK_SHIFT) < 0 || ::GetKeyState(VK_CONTROL) < 0 || ::GetKeyState(VK_MENU) < 0) {
        Default();
        return FALSE;
    }
    pMain->SendMessage(WM_COMMAND, ID_HELP);
    return TRUE;
}

CWnd* CWnd::GetDlgItem(int nID) {
    HWND hChild = ::GetDlgItem(m_hWnd, nID);
    if (hChild == nullptr) {
        return nullptr;
    }
    std::lock_guard<std::mutex> lock(m_childrenLock);
    std::unique_ptr<CWnd>& pChild = m_children[nID];
    if (!pChild) {
        pChild = std::make_unique<CWnd>();
    }
    pChild->m_hWnd = hChild;
    return pChild.get();
}

BOOL CWnd::EnableWindow(BOOL bEnable) { return ::EnableWindow(m_hWnd, bEnable); }

void CWnd::SetWindowText(LPCSTR lpszString) { ::SetWindowTextA(m_hWnd, lpszString); }

int CWnd::MessageBox(LPCSTR lpszText, LPCSTR lpszCaption, UINT nType) {
    return ::MessageBoxA(m_hWnd, lpszText, lpszCaption != nullptr ? lpszCaption : AfxGetAppName(), nType);
}

LRESULT CWnd::SendMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    return ::SendMessageA(m_hWnd, message, wParam, lParam);
}

CMenu* CWnd::GetSystemMenu(BOOL bRevert) {
    m_sysMenu.m_hMenu = ::GetSystemMenu(m_hWnd, bRevert);
    return m_sysMenu.m_hMenu != nullptr ? &m_sysMenu : nullptr;
}

HICON CWnd::SetIcon(HICON hIcon, BOOL bBigIcon) {
    return reinterpret_cast<HICON>(
        SendMessage(WM_SETICON, bBigIcon ? ICON_BIG : ICON_SMALL, reinterpret_cast<LPARAM>(hIcon)));
}

BOOL CWnd::UpdateData(BOOL bSaveAndValidate) {
    CDataExchange dx(this, bSaveAndValidate);
    DoDataExchange(&dx);
    return TRUE;
}

void DDX_Control(CDataExchange* pDX, int nIDC, CWnd& rControl) {
    if (rControl.m_hWnd == nullptr) {
        rControl.m_hWnd = ::GetDlgItem(pDX->m_pDlgWnd->m_hWnd, nIDC);
    }
}

// ---------------------------------------------------------------------------
// CDialog

BEGIN_MESSAGE_MAP(CDialog, CWnd)
ON_COMMAND(IDOK, OnOK)
ON_COMMAND(IDCANCEL, OnCancel)
END_MESSAGE_MAP()

INT_PTR CDialog::DoModal() {
    HWND hOwner = nullptr;
    if (m_pParentWnd != nullptr) {
        hOwner = m_pParentWnd->m_hWnd;
    } else if (CWnd* pMain = AfxGetMainWnd(); pMain != nullptr && pMain != this) {
        hOwner = pMain->m_hWnd;
    }
    const INT_PTR nResult = ::DialogBoxParamA(AfxGetInstanceHandle(), MAKEINTRESOURCEA(m_nIDTemplate), hOwner,
                                              &CDialog::DialogProc, reinterpret_cast<LPARAM>(this));
    m_hWnd = nullptr;
    return nResult;
}

BOOL CDialog::OnInitDialog() {
    UpdateData(FALSE);
    return TRUE;
}

void CDialog::OnOK() {
    UpdateData(TRUE);
    EndDialog(IDOK);
}

void CDialog::OnCancel() { EndDialog(IDCANCEL); }

INT_PTR CALLBACK CDialog::DialogProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_INITDIALOG) {
        auto* pDlg = reinterpret_cast<CDialog*>(lParam);
        ::SetWindowLongPtrA(hWnd, DWLP_USER, lParam);
        pDlg->m_hWnd = hWnd;
        return pDlg->OnInitDialog();
    }
    auto* pDlg = reinterpret_cast<CDialog*>(::GetWindowLongPtrA(hWnd, DWLP_USER));
    if (pDlg == nullptr) {
        return FALSE;
    }
    LRESULT result = 0;
    // A command the dialog's map chain leaves is the application's.
    if (!pDlg->Dispatch(message, wParam, lParam, &result) &&
        (message != WM_COMMAND || AfxGetApp() == nullptr || !AfxGetApp()->Dispatch(message, wParam, lParam, &result))) {
        return FALSE;
    }
    // These few messages return their result directly; all others through
    // the dialog's message result.
    switch (message) {
        case WM_QUERYDRAGICON:
        case WM_CTLCOLORMSGBOX:
        case WM_CTLCOLOREDIT:
        case WM_CTLCOLORLISTBOX:
        case WM_CTLCOLORBTN:
        case WM_CTLCOLORDLG:
        case WM_CTLCOLORSCROLLBAR:
        case WM_CTLCOLORSTATIC:
        case WM_COMPAREITEM:
        case WM_VKEYTOITEM:
        case WM_CHARTOITEM:
            return static_cast<INT_PTR>(result);
        default:
            ::SetWindowLongPtrA(hWnd, DWLP_MSGRESULT, result);
            return TRUE;
    }
}

// ---------------------------------------------------------------------------
// Controls

int CComboBox::GetCurSel() { return static_cast<int>(SendMessage(CB_GETCURSEL)); }

int CComboBox::SetCurSel(int nSelect) { return static_cast<int>(SendMessage(CB_SETCURSEL, nSelect)); }

int CComboBox::InsertString(int nIndex, LPCSTR lpszString) {
    return static_cast<int>(SendMessage(CB_INSERTSTRING, nIndex, reinterpret_cast<LPARAM>(lpszString)));
}

void CComboBox::GetLBText(int nIndex, std::string& rString) {
    const LRESULT nLength = SendMessage(CB_GETLBTEXTLEN, nIndex);
    if (nLength == CB_ERR) {
        rString.clear();
        return;
    }
    rString.assign(static_cast<std::size_t>(nLength) + 1, '\0');
    const LRESULT nCopied = SendMessage(CB_GETLBTEXT, nIndex, reinterpret_cast<LPARAM>(rString.data()));
    rString.resize(nCopied == CB_ERR ? 0 : static_cast<std::size_t>(nCopied));
}

CPaintDC::CPaintDC(CWnd* pWnd) : m_hWnd(pWnd->m_hWnd), m_hDC(::BeginPaint(m_hWnd, &m_ps)) {}

// ---------------------------------------------------------------------------
// CFileDialog

CFileDialog::CFileDialog(BOOL bOpenFileDialog, LPCSTR lpszDefExt, LPCSTR lpszFileName, DWORD dwFlags, LPCSTR lpszFilter,
                         CWnd* pParentWnd)
    : m_bOpenFileDialog(bOpenFileDialog),
      m_strDefExt(lpszDefExt != nullptr ? lpszDefExt : ""),
      m_strFilter(lpszFilter != nullptr ? lpszFilter : ""),
      m_dwFlags(dwFlags),
      m_pParentWnd(pParentWnd) {
    std::replace(m_strFilter.begin(), m_strFilter.end(), '|', '\0');
    if (lpszFileName != nullptr) {
        lstrcpynA(m_szFile, lpszFileName, sizeof m_szFile);
    }
}

INT_PTR CFileDialog::DoModal() {
    OPENFILENAMEA ofn{};
    ofn.lStructSize = sizeof ofn;
    CWnd* pOwner = m_pParentWnd != nullptr ? m_pParentWnd : AfxGetMainWnd();
    ofn.hwndOwner = pOwner != nullptr ? pOwner->m_hWnd : nullptr;
    ofn.hInstance = AfxGetInstanceHandle();
    ofn.lpstrFilter = m_strFilter.empty() ? nullptr : m_strFilter.c_str();
    ofn.nFilterIndex = 1;
    ofn.lpstrFile = m_szFile;
    ofn.nMaxFile = sizeof m_szFile;
    // An empty default extension means none is appended.
    ofn.lpstrDefExt = m_strDefExt.empty() ? nullptr : m_strDefExt.c_str();
    ofn.Flags = m_dwFlags | OFN_EXPLORER;
    const BOOL bChosen = m_bOpenFileDialog ? ::GetOpenFileNameA(&ofn) : ::GetSaveFileNameA(&ofn);
    return bChosen ? IDOK : IDCANCEL;
}

// ---------------------------------------------------------------------------
// The application

CWinApp::CWinApp(LPCSTR lpszAppName) {
    if (lpszAppName != nullptr) {
        m_strAppName = lpszAppName;
    }
    g_pApp = this;
}

CWinApp::~CWinApp() {
    if (g_pApp == this) {
        g_pApp = nullptr;
    }
}

void CWinApp::OnHelp() {
    if (!m_strHelpText.empty()) {
        AfxMessageBox(m_strHelpText.c_str(), MB_OK | MB_ICONINFORMATION);
    }
}

int CWinApp::Run() {
    MSG msg;
    while (::GetMessageA(&msg, nullptr, 0, 0) > 0) {
        ::TranslateMessage(&msg);
        ::DispatchMessageA(&msg);
    }
    return ExitInstance();
}

CWinApp* AfxGetApp() { return g_pApp; }

CWnd* AfxGetMainWnd() { return g_pApp != nullptr ? g_pApp->m_pMainWnd : nullptr; }

LPCSTR AfxGetAppName() { return g_pApp != nullptr ? g_pApp->m_strAppName.c_str() : ""; }

HINSTANCE AfxGetInstanceHandle() { return ::GetModuleHandleA(nullptr); }

int AfxMessageBox(LPCSTR lpszText, UINT nType) {
    if ((nType & MB_ICONMASK) == 0) {
        nType |= MB_ICONWARNING;
    }
    CWnd* pMain = AfxGetMainWnd();
    return ::MessageBoxA(pMain != nullptr ? pMain->m_hWnd : nullptr, lpszText, AfxGetAppName(), nType);
}

int AfxWinMain(HINSTANCE hInstance) {
    CWinApp* pApp = AfxGetApp();
    if (pApp == nullptr) {
        return 1;
    }
    pApp->m_hInstance = hInstance;
    if (pApp->m_strAppName.empty()) {
        // The executable's file name without its directory and extension.
        char szPath[MAX_PATH * 4] = {};
        ::GetModuleFileNameA(hInstance, szPath, sizeof szPath);
        std::string name(szPath);
        name.erase(0, name.find_last_of("\\/") + 1);
        if (const std::size_t dot = name.find_last_of('.'); dot != std::string::npos) {
            name.erase(dot);
        }
        pApp->m_strAppName = name;
    }
    INITCOMMONCONTROLSEX icc{sizeof icc, ICC_PROGRESS_CLASS | ICC_STANDARD_CLASSES};
    ::InitCommonControlsEx(&icc);
    if (!pApp->InitInstance()) {
        return pApp->ExitInstance();
    }
    return pApp->Run();
}

int WINAPI WinMain(HINSTANCE hInstance, HINSTANCE, LPSTR, int) { return AfxWinMain(hInstance); }
