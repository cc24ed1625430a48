#include "upgrader_dlg.h"

#include <cstdio>
#include <cstdlib>

#include "download/download.h"

namespace {

// The ports offered, probed in this order when the dialog comes up.
const char* const kPortNames[] = {"COM1", "COM2",  "COM3",  "COM4",  "COM5",  "COM6",  "COM7",  "COM8",
                                  "COM9", "COM10", "COM11", "COM12", "COM13", "COM14", "COM15", "COM16"};
const char kNoPort[] = "NONE";

const char kMsgOpenFailed[] = "Failed initializing port.";
const char kMsgThreadFailed[] = "COM Port Thrd error !!!";
const char kMsgCloseDuringRun[] = "A download is under way. Closing now can leave the box unusable.\n\nClose anyway?";

// The image chooser: ".ssu" files first, any file on request.
const char kImageFilter[] = "ssu Files|*.ssu|All Files(*.*)|*.*||";
const char kImageInitialName[] = "*.ssu";

constexpr SIZE_T kWorkerStackSize = 0x40000;
// How often the shutdown wait looks for a worker's box to close.
constexpr DWORD kDismissIntervalMs = 50;
// How long a cancelled worker may take to end its run on its own, with the
// port still open for its cancel frame.
constexpr DWORD kCancelGraceMs = 2000;

}  // namespace

CUpgraderDlg::CUpgraderDlg(CWnd* pParent) : CDialog(IDD_MAIN, pParent) {
    m_hIcon = ::LoadIconA(AfxGetInstanceHandle(), MAKEINTRESOURCEA(IDR_MAINFRAME));
}

// The worker has called EndRun, its last use of the dialog, before any path
// can get here with a run started (Enter and Esc are ignored while it runs,
// the system Close waits for it), so only its handle is left to close. Enter
// and Esc end the dialog with the port still open: the reader reads the
// handle through m_hComm, so it is stopped and waited for here, before this
// object and then the process's static objects go.
CUpgraderDlg::~CUpgraderDlg() { ClosePort(); }

void CUpgraderDlg::DoDataExchange(CDataExchange* pDX) {
    CDialog::DoDataExchange(pDX);
    DDX_Control(pDX, IDC_PROGRESS, m_Progress);
    DDX_Control(pDX, IDC_PORT, m_PortCombo);
}

BEGIN_MESSAGE_MAP(CUpgraderDlg, CDialog)
ON_WM_SYSCOMMAND()
ON_WM_PAINT()
ON_WM_QUERYDRAGICON()
ON_MESSAGE(WM_KELVORA_REPORT_SYSTEM_MENU, OnReportSystemMenu)
ON_BN_CLICKED(IDC_OPEN, OnOpen)
ON_BN_CLICKED(IDC_CLOSE, OnClose)
ON_BN_CLICKED(IDC_DOWNLOAD, OnDownload)
END_MESSAGE_MAP()

BOOL CUpgraderDlg::OnInitDialog() {
    CDialog::OnInitDialog();

    // The About entry goes last in the system menu, after a separator.
    if (CMenu* pSysMenu = GetSystemMenu(FALSE); pSysMenu != nullptr) {
        char szAboutMenu[256] = {};
        ::LoadStringA(AfxGetInstanceHandle(), IDS_ABOUTBOX, szAboutMenu, sizeof szAboutMenu);
        if (szAboutMenu[0] != '\0') {
            pSysMenu->AppendMenu(MF_SEPARATOR);
            pSysMenu->AppendMenu(MF_STRING, IDM_ABOUTBOX, szAboutMenu);
        }
    }

    SetIcon(m_hIcon, TRUE);
    SetIcon(m_hIcon, FALSE);

    GetDlgItem(IDC_OPEN)->EnableWindow(TRUE);
    GetDlgItem(IDC_CLOSE)->EnableWindow(FALSE);

    m_pStatusWnd = GetDlgItem(IDC_STATUS);
    m_bPortOpen = false;

    // The list is built once: ports freed later do not appear.
    int nCount = 0;
    for (const char* pName : kPortNames) {
        if (PortProbe(pName) == 0) {
            m_PortCombo.InsertString(nCount, pName);
            ++nCount;
        }
    }
    if (nCount == 0) {
        m_PortCombo.InsertString(0, kNoPort);
    }
    m_PortCombo.SetCurSel(0);
    return TRUE;
}

bool CUpgraderDlg::OpenSelectedPort() {
    // Always a list item's text: what was typed into the edit field clears
    // the selection and gives an empty name.
    std::string strItem;
    const int nSel = m_PortCombo.GetCurSel();
    if (nSel != CB_ERR) {
        m_PortCombo.GetLBText(nSel, strItem);
    }
    char szName[256];
    std::snprintf(szName, sizeof szName, "%s", strItem.c_str());

    if (m_bPortOpen) {
        return false;
    }
    g_bStopThread = 0;
    if (SerialOpen(&m_hComm, szName) == 0) {
        m_bPortOpen = true;
        return true;
    }
    AfxMessageBox(kMsgOpenFailed, MB_OK);
    return false;
}

void CUpgraderDlg::OnOpen() {
    if (OpenSelectedPort()) {
        GetDlgItem(IDC_OPEN)->EnableWindow(FALSE);
        GetDlgItem(IDC_CLOSE)->EnableWindow(TRUE);
    }
    UpdateData(TRUE);
}

void CUpgraderDlg::ClosePort() {
    if (m_bPortOpen) {
        // The flag first: the reader ends at its next turn; SerialClose
        // waits for it so that the next Open starts the only reader.
        g_bStopThread = 1;
        SerialClose(m_hComm);
        m_bPortOpen = false;
    }
}

void CUpgraderDlg::OnClose() {
    GetDlgItem(IDC_OPEN)->EnableWindow(TRUE);
    GetDlgItem(IDC_CLOSE)->EnableWindow(FALSE);
    ClosePort();
}

DWORD WINAPI CUpgraderDlg::WorkerMain(LPVOID pParam) { return DownloadThread(*static_cast<CUpgraderDlg*>(pParam)); }

void CUpgraderDlg::OnDownload() {
    if (!m_bPortOpen) {
        MessageBox(kMsgOpenPort, nullptr, MB_OK);
        return;
    }
    // One worker at a time: a press during a run does nothing.
    if (!TryBeginRun()) {
        return;
    }
    m_bCancel.store(false, std::memory_order_release);
    DWORD dwThreadId = 0;
    HANDLE hThread = ::CreateThread(nullptr, kWorkerStackSize, &CUpgraderDlg::WorkerMain, this, 0, &dwThreadId);
    if (hThread == nullptr) {
        EndRun();
        MessageBox(kMsgThreadFailed, nullptr, MB_OK);
        return;
    }
    // Kept only for the wait when the operator closes during a run.
    m_hWorker.Reset(hThread);
    m_dwWorkerId = dwThreadId;
}

void CUpgraderDlg::OnOK() {
    if (RunActive()) {
        return;
    }
    CDialog::OnOK();
}

void CUpgraderDlg::OnCancel() {
    if (RunActive()) {
        return;
    }
    CDialog::OnCancel();
}

bool CUpgraderDlg::ConfirmCloseDuringRun() {
    return MessageBox(kMsgCloseDuringRun, nullptr, MB_YESNO | MB_ICONWARNING | MB_DEFBUTTON2) == IDYES;
}

void CUpgraderDlg::OnSysCommand(UINT nID, LPARAM lParam) {
    if ((nID & 0xFFF0) == IDM_ABOUTBOX) {
        CAboutDlg dlgAbout;
        dlgAbout.DoModal();
        return;
    }
    if (nID == SC_CLOSE && RunActive()) {
        // A second Close while the question is up is not asked again.
        if (m_bAskingClose) {
            return;
        }
        m_bAskingClose = true;
        const bool bClose = ConfirmCloseDuringRun();
        m_bAskingClose = false;
        if (!bClose) {
            return;
        }
        StopRunAndWait();
    }
    if (nID == SC_CLOSE) {
        ClosePort();
    }
    CDialog::OnSysCommand(nID, lParam);
}

void CUpgraderDlg::StopRunAndWait() {
    m_bCancel.store(true, std::memory_order_release);
    // The worker ends its run at its next poll and tells the box with a
    // cancel frame, so the port stays open for that while. A worker stuck
    // in a write that never drains gives up once the port is closing.
    ::EnableWindow(m_hWnd, FALSE);
    if (!WaitForWorker(kCancelGraceMs)) {
        ClosePort();
        WaitForWorker(INFINITE);
    }
    ClosePort();
    ::EnableWindow(m_hWnd, TRUE);
}

bool CUpgraderDlg::WaitForWorker(DWORD timeoutMs) {
    HANDLE hWorker = m_hWorker.Get();
    if (hWorker == nullptr) {
        return true;
    }
    // The worker may be inside a SendMessage to this window or up in one of
    // its boxes: keep handling messages, and close its boxes, until it ends.
    // The dialog is disabled meanwhile, so no input reaches it.
    const DWORD start = ::GetTickCount();
    for (;;) {
        DismissWorkerModal();
        const DWORD dwWait = ::MsgWaitForMultipleObjects(1, &hWorker, FALSE, kDismissIntervalMs, QS_ALLINPUT);
        if (dwWait == WAIT_OBJECT_0) {
            return true;
        }
        if (timeoutMs != INFINITE && ::GetTickCount() - start >= timeoutMs) {
            return false;
        }
        MSG msg;
        while (::PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
            if (msg.message == WM_QUIT) {
                ::PostQuitMessage(static_cast<int>(msg.wParam));
                break;
            }
            ::TranslateMessage(&msg);
            ::DispatchMessageA(&msg);
        }
    }
}

void CUpgraderDlg::DismissWorkerModal() {
    const WorkerModal modal = m_workerModal.load(std::memory_order_acquire);
    if (modal == WorkerModal::None) {
        return;
    }
    // A message box is answered with OK, the chooser with Cancel.
    const WPARAM nCommand = modal == WorkerModal::Message ? IDOK : IDCANCEL;
    ::EnumThreadWindows(m_dwWorkerId, &CUpgraderDlg::PostToWorkerDialog, static_cast<LPARAM>(nCommand));
}

BOOL CALLBACK CUpgraderDlg::PostToWorkerDialog(HWND hWnd, LPARAM nCommand) {
    char szClass[16] = {};
    ::GetClassNameA(hWnd, szClass, sizeof szClass);
    if (lstrcmpA(szClass, "#32770") == 0 && ::IsWindowVisible(hWnd)) {
        ::PostMessageA(hWnd, WM_COMMAND, static_cast<WPARAM>(nCommand), 0);
    }
    return TRUE;
}

void CUpgraderDlg::OnPaint() {
    if (IsIconic()) {
        CPaintDC dc(this);
        SendMessage(WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc.GetSafeHdc()), 0);
        // Centred in the client area; integer division truncates toward
        // zero, also for a client area smaller than the icon.
        const int cxIcon = ::GetSystemMetrics(SM_CXICON);
        const int cyIcon = ::GetSystemMetrics(SM_CYICON);
        RECT rect;
        GetClientRect(&rect);
        const int x = (rect.right - rect.left - cxIcon + 1) / 2;
        const int y = (rect.bottom - rect.top - cyIcon + 1) / 2;
        dc.DrawIcon(x, y, m_hIcon);
    } else {
        CDialog::OnPaint();
    }
}

HCURSOR CUpgraderDlg::OnQueryDragIcon() { return static_cast<HCURSOR>(m_hIcon); }

LRESULT CUpgraderDlg::OnReportSystemMenu(WPARAM, LPARAM) {
    const char* pPath = std::getenv("KELVORA_UI_TEST_REPORT");
    HMENU hMenu = ::GetSystemMenu(m_hWnd, FALSE);
    if (pPath == nullptr || pPath[0] == '\0' || hMenu == nullptr) {
        return 0;
    }
    std::FILE* pFile = std::fopen(pPath, "w");
    if (pFile == nullptr) {
        return 0;
    }
    const int nCount = ::GetMenuItemCount(hMenu);
    for (int i = 0; i < nCount; ++i) {
        char szText[256] = {};
        MENUITEMINFOA info{};
        info.cbSize = sizeof info;
        info.fMask = MIIM_FTYPE | MIIM_ID | MIIM_STRING;
        info.dwTypeData = szText;
        info.cch = sizeof szText;
        if (!::GetMenuItemInfoA(hMenu, static_cast<UINT>(i), TRUE, &info)) {
            std::fprintf(pFile, "unreadable\n");
        } else if ((info.fType & MFT_SEPARATOR) != 0) {
            std::fprintf(pFile, "separator\n");
        } else {
            std::fprintf(pFile, "item 0x%04X %s\n", info.wID, szText);
        }
    }
    return std::fclose(pFile) == 0 ? 1 : 0;
}

// ---------------------------------------------------------------------------
// The worker's front end. Control changes are sent messages: each is done by
// the GUI thread before the call returns.

bool CUpgraderDlg::PortOpen() { return m_bPortOpen.load(std::memory_order_acquire); }

PortHandle CUpgraderDlg::PortHandleNow() { return m_hComm; }

void CUpgraderDlg::ShowMessage(const char* pText) {
    // A cancelled run shows nothing more: the dialog is about to go.
    if (CancelRequested()) {
        return;
    }
    m_workerModal.store(WorkerModal::Message, std::memory_order_release);
    MessageBox(pText, nullptr, MB_OK);
    m_workerModal.store(WorkerModal::None, std::memory_order_release);
}

void CUpgraderDlg::SetStatus(const char* pText) { m_pStatusWnd->SetWindowText(pText); }

void CUpgraderDlg::SetProgressRange(int low, int high) {
    m_Progress.SendMessage(PBM_SETRANGE32, static_cast<WPARAM>(low), static_cast<LPARAM>(high));
}

void CUpgraderDlg::SetProgressPos(int pos) { m_Progress.SendMessage(PBM_SETPOS, static_cast<WPARAM>(pos), 0); }

void CUpgraderDlg::EnableDownload(bool bEnable) { GetDlgItem(IDC_DOWNLOAD)->EnableWindow(bEnable ? TRUE : FALSE); }

bool CUpgraderDlg::ChooseImage(std::string& path) {
    if (CancelRequested()) {
        return false;
    }
    CFileDialog dlgFile(TRUE, "", kImageInitialName, OFN_OVERWRITEPROMPT, kImageFilter);
    m_workerModal.store(WorkerModal::Chooser, std::memory_order_release);
    const INT_PTR nResult = dlgFile.DoModal();
    m_workerModal.store(WorkerModal::None, std::memory_order_release);
    if (nResult != IDOK) {
        return false;
    }
    path = dlgFile.GetPathName();
    return true;
}

bool CUpgraderDlg::CancelRequested() { return m_bCancel.load(std::memory_order_acquire); }
