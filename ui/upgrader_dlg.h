// The main dialog: the port list, Open, Close and Download, the status line
// and the progress bar. It is also the download worker's front end: the
// worker, on its own thread, shows its messages and the file chooser owned
// by this dialog and changes the status line, progress bar and Download
// button through window messages that the GUI thread handles.
#pragma once

#include <atomic>

#include "download/front_end.h"
#include "framework/framework.h"
#include "res/resource.h"
#include "serial/serial_port.h"

// Asks the dialog to write its system menu into the file that the
// environment variable KELVORA_UI_TEST_REPORT names: one line per item,
// "separator" or "item ID TEXT" with the id in hexadecimal. Answered only
// when that variable is set, which the UI tests do; another process cannot
// read a window's menu under Wine. The result is 1 when the file was written.
#define WM_KELVORA_REPORT_SYSTEM_MENU (WM_APP + 0x0100)

// Owns a kernel handle; closes it when replaced or destroyed.
class CHandle {
public:
    CHandle() = default;
    CHandle(const CHandle&) = delete;
    CHandle& operator=(const CHandle&) = delete;
    ~CHandle() { Reset(nullptr); }
    void Reset(HANDLE h) {
        if (m_h != nullptr) {
            ::CloseHandle(m_h);
        }
        m_h = h;
    }
    HANDLE Get() const { return m_h; }

private:
    HANDLE m_h = nullptr;
};

class CUpgraderDlg : public CDialog, public FrontEnd {
public:
    explicit CUpgraderDlg(CWnd* pParent = nullptr);
    ~CUpgraderDlg() override;

    // Written by the GUI thread (Open, Close, system Close); read by the
    // worker when a run starts.
    std::atomic<bool> m_bPortOpen{false};
    CWnd* m_pStatusWnd = nullptr;
    // Written by SerialOpen through its address on the GUI thread; read by
    // the reader thread through the same address and by the worker.
    PortHandle m_hComm = kInvalidPort;
    CProgressCtrl m_Progress;
    CComboBox m_PortCombo;
    HICON m_hIcon = nullptr;

    // The worker's front end; every call comes from the worker's thread.
    bool PortOpen() override;
    PortHandle PortHandleNow() override;
    void ShowMessage(const char* pText) override;
    void SetStatus(const char* pText) override;
    void SetProgressRange(int low, int high) override;
    void SetProgressPos(int pos) override;
    void EnableDownload(bool bEnable) override;
    bool ChooseImage(std::string& path) override;
    bool CancelRequested() override;

protected:
    void DoDataExchange(CDataExchange* pDX) override;
    BOOL OnInitDialog() override;
    // Enter and Esc: ignored while a download runs, so that a flash is
    // never cut in half by a stray key.
    void OnOK() override;
    void OnCancel() override;

    void OnSysCommand(UINT nID, LPARAM lParam);
    void OnPaint();
    HCURSOR OnQueryDragIcon();
    LRESULT OnReportSystemMenu(WPARAM, LPARAM);
    void OnOpen();
    void OnClose();
    void OnDownload();
    bool OpenSelectedPort();

    DECLARE_MESSAGE_MAP()

private:
    // What modal window the worker has up, so that a cancel can close it.
    enum class WorkerModal { None, Message, Chooser };

    static DWORD WINAPI WorkerMain(LPVOID pParam);
    // Asks whether to close while a run is under way; true for Yes.
    bool ConfirmCloseDuringRun();
    // Cancels the run, closes the port and waits, still handling messages,
    // until the worker has ended.
    void StopRunAndWait();
    // Waits for the worker's thread, handling messages; true once it ended.
    bool WaitForWorker(DWORD timeoutMs);
    void DismissWorkerModal();
    static BOOL CALLBACK PostToWorkerDialog(HWND hWnd, LPARAM nCommand);
    void ClosePort();

    CHandle m_hWorker;            // GUI thread only
    DWORD m_dwWorkerId = 0;       // GUI thread only
    bool m_bAskingClose = false;  // GUI thread only
    // Written by the GUI thread when the operator closes during a run (and
    // cleared before a run starts); read by the worker.
    std::atomic<bool> m_bCancel{false};
    // Written by the worker around its modal windows; read by the GUI thread.
    std::atomic<WorkerModal> m_workerModal{WorkerModal::None};
};

// The About box, opened from the system menu.
class CAboutDlg : public CDialog {
public:
    CAboutDlg() : CDialog(IDD_ABOUTBOX) {}
};
