// A small window framework over plain Win32 (the ANSI calls): the application
// object, windows, modal dialogs with message maps and control binding, the
// combo box and progress bar, the open-file chooser, the application message
// box and the help command. Only what the upgrader's two dialogs use; the
// class and function names are the familiar ones so that dialog code reads as
// usual.
#pragma once

#include <windows.h>
#include <commctrl.h>
#include <commdlg.h>

#include <map>
#include <memory>
#include <mutex>
#include <string>

class CCmdTarget;
class CWnd;

// The help command (F1 anywhere in the program's windows).
#ifndef ID_HELP
#define ID_HELP 0xE146
#endif

// ---------------------------------------------------------------------------
// Message maps: a table per class, chained to the base class's table. An entry
// matches a message (and, for WM_COMMAND, a notification code and control id)
// and calls a handler of the class through a small generated thunk. Windows
// and the application object have maps; a command that a dialog's map chain
// leaves unhandled goes on to the application's.

struct AFX_MSGMAP_ENTRY {
    UINT nMessage;
    UINT nCode;  // WM_COMMAND only: notification code
    UINT nID;    // WM_COMMAND only: control or command id
    LRESULT (*pfnCall)(CCmdTarget& target, WPARAM wParam, LPARAM lParam);
};

struct AFX_MSGMAP {
    const AFX_MSGMAP* (*pfnGetBaseMap)();
    const AFX_MSGMAP_ENTRY* lpEntries;  // ends with an entry whose pfnCall is null
};

// clang-format off
#define DECLARE_MESSAGE_MAP()                     \
protected:                                        \
    static const AFX_MSGMAP* GetThisMessageMap(); \
    const AFX_MSGMAP* GetMessageMap() const override;

#define BEGIN_MESSAGE_MAP(theClass, baseClass)                                        \
    const AFX_MSGMAP* theClass::GetMessageMap() const { return GetThisMessageMap(); } \
    const AFX_MSGMAP* theClass::GetThisMessageMap() {                                 \
        using ThisClass = theClass;                                                   \
        using TheBaseClass = baseClass;                                               \
        static const AFX_MSGMAP_ENTRY entries[] = {
#define END_MESSAGE_MAP()                                                             \
    {0, 0, 0, nullptr}};                                                              \
    static const AFX_MSGMAP messageMap = {&TheBaseClass::GetThisMessageMap, entries}; \
    return &messageMap;                                                               \
    }

#define ON_COMMAND(id, memberFxn)                                                         \
    {WM_COMMAND, 0, static_cast<UINT>(id), [](CCmdTarget& w, WPARAM, LPARAM) -> LRESULT { \
         static_cast<ThisClass&>(w).memberFxn();                                          \
         return 0;                                                                        \
     }},
#define ON_BN_CLICKED(id, memberFxn)                                                               \
    {WM_COMMAND, BN_CLICKED, static_cast<UINT>(id), [](CCmdTarget& w, WPARAM, LPARAM) -> LRESULT { \
         static_cast<ThisClass&>(w).memberFxn();                                                   \
         return 0;                                                                                 \
     }},
#define ON_WM_SYSCOMMAND()                                                             \
    {WM_SYSCOMMAND, 0, 0, [](CCmdTarget& w, WPARAM wParam, LPARAM lParam) -> LRESULT { \
         static_cast<ThisClass&>(w).OnSysCommand(static_cast<UINT>(wParam), lParam);   \
         return 0;                                                                     \
     }},
#define ON_WM_PAINT()                                               \
    {WM_PAINT, 0, 0, [](CCmdTarget& w, WPARAM, LPARAM) -> LRESULT { \
         static_cast<ThisClass&>(w).OnPaint();                      \
         return 0;                                                  \
     }},
// A message of the application's own (WM_APP range): LRESULT memberFxn(WPARAM, LPARAM).
#define ON_MESSAGE(message, memberFxn)                                                              \
    {static_cast<UINT>(message), 0, 0, [](CCmdTarget& w, WPARAM wParam, LPARAM lParam) -> LRESULT { \
         return static_cast<ThisClass&>(w).memberFxn(wParam, lParam);                               \
     }},
#define ON_WM_HELPINFO()                                                                    \
    {WM_HELP, 0, 0, [](CCmdTarget& w, WPARAM, LPARAM lParam) -> LRESULT {                   \
         return static_cast<ThisClass&>(w).OnHelpInfo(reinterpret_cast<HELPINFO*>(lParam)); \
     }},
#define ON_WM_QUERYDRAGICON()                                                            \
    {WM_QUERYDRAGICON, 0, 0, [](CCmdTarget& w, WPARAM, LPARAM) -> LRESULT {              \
         return reinterpret_cast<LRESULT>(static_cast<ThisClass&>(w).OnQueryDragIcon()); \
     }},

// clang-format on

// ---------------------------------------------------------------------------
// Command targets: whatever has a message map.

class CCmdTarget {
public:
    CCmdTarget() = default;
    CCmdTarget(const CCmdTarget&) = delete;
    CCmdTarget& operator=(const CCmdTarget&) = delete;
    virtual ~CCmdTarget() = default;

    // Looks the message up in the map chain. Gives false when no entry
    // handled it or the handler asked for the default handling.
    bool Dispatch(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* pResult);

protected:
    static const AFX_MSGMAP* GetThisMessageMap();
    virtual const AFX_MSGMAP* GetMessageMap() const;

    // Asks for the system's own handling of the message being handled.
    void Default() { m_bDefault = true; }

private:
    bool m_bDefault = false;  // GUI thread only
};

// ---------------------------------------------------------------------------
// Windows.

class CMenu {
public:
    HMENU m_hMenu = nullptr;
    BOOL AppendMenu(UINT nFlags, UINT_PTR nIDNewItem = 0, LPCSTR lpszNewItem = nullptr);
};

class CDataExchange {
public:
    CDataExchange(CWnd* pDlgWnd, BOOL bSaveAndValidate) : m_bSaveAndValidate(bSaveAndValidate), m_pDlgWnd(pDlgWnd) {}
    BOOL m_bSaveAndValidate;  // TRUE: from the controls; FALSE: into them
    CWnd* m_pDlgWnd;
};

class CWnd : public CCmdTarget {
public:
    HWND m_hWnd = nullptr;
    HWND GetSafeHwnd() const { return m_hWnd; }

    // The wrapper of a child control, kept for this window's lifetime so the
    // pointer may be held. Callable from any thread.
    CWnd* GetDlgItem(int nID);
    BOOL EnableWindow(BOOL bEnable = TRUE);
    void SetWindowText(LPCSTR lpszString);
    // Caption null: the application's name.
    int MessageBox(LPCSTR lpszText, LPCSTR lpszCaption = nullptr, UINT nType = MB_OK);
    LRESULT SendMessage(UINT message, WPARAM wParam = 0, LPARAM lParam = 0);
    CMenu* GetSystemMenu(BOOL bRevert);
    HICON SetIcon(HICON hIcon, BOOL bBigIcon);
    BOOL IsIconic() const { return ::IsIconic(m_hWnd); }
    void GetClientRect(LPRECT lpRect) const { ::GetClientRect(m_hWnd, lpRect); }

    BOOL UpdateData(BOOL bSaveAndValidate = TRUE);

protected:
    virtual void DoDataExchange(CDataExchange*) {}

    void OnSysCommand(UINT, LPARAM) { Default(); }
    void OnPaint() { Default(); }
    // F1 in a top-level window of the program: the main window is sent the
    // help command, which its map chain passes on to the application.
    BOOL OnHelpInfo(HELPINFO* pHelpInfo);

    DECLARE_MESSAGE_MAP()

private:
    CMenu m_sysMenu;
    std::mutex m_childrenLock;  // GetDlgItem is called from the worker as well
    std::map<int, std::unique_ptr<CWnd>> m_children;
};

// Binds a control of the dialog to its wrapper (once).
void DDX_Control(CDataExchange* pDX, int nIDC, CWnd& rControl);

class CDialog : public CWnd {
public:
    explicit CDialog(UINT nIDTemplate, CWnd* pParentWnd = nullptr)
        : m_nIDTemplate(nIDTemplate), m_pParentWnd(pParentWnd) {}

    // Runs the dialog modally; its owner is the parent given, else the
    // application's main window. Returns the EndDialog result.
    virtual INT_PTR DoModal();
    void EndDialog(int nResult) { ::EndDialog(m_hWnd, nResult); }

protected:
    virtual BOOL OnInitDialog();
    virtual void OnOK();
    virtual void OnCancel();

    DECLARE_MESSAGE_MAP()

private:
    static INT_PTR CALLBACK DialogProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam);
    UINT m_nIDTemplate;
    CWnd* m_pParentWnd;
};

class CComboBox : public CWnd {
public:
    int GetCurSel();
    int SetCurSel(int nSelect);
    int InsertString(int nIndex, LPCSTR lpszString);
    void GetLBText(int nIndex, std::string& rString);
};

// Range and position are set with PBM_SETRANGE32 and PBM_SETPOS through
// SendMessage.
class CProgressCtrl : public CWnd {};

class CPaintDC {
public:
    explicit CPaintDC(CWnd* pWnd);
    CPaintDC(const CPaintDC&) = delete;
    CPaintDC& operator=(const CPaintDC&) = delete;
    ~CPaintDC() { ::EndPaint(m_hWnd, &m_ps); }
    HDC GetSafeHdc() const { return m_hDC; }
    BOOL DrawIcon(int x, int y, HICON hIcon) { return ::DrawIcon(m_hDC, x, y, hIcon); }

private:
    HWND m_hWnd;
    PAINTSTRUCT m_ps{};
    HDC m_hDC;
};

// The open (or save) file chooser. The filter is "text|pattern|...||".
class CFileDialog {
public:
    CFileDialog(BOOL bOpenFileDialog, LPCSTR lpszDefExt = nullptr, LPCSTR lpszFileName = nullptr,
                DWORD dwFlags = OFN_HIDEREADONLY | OFN_OVERWRITEPROMPT, LPCSTR lpszFilter = nullptr,
                CWnd* pParentWnd = nullptr);
    // IDOK when a file was chosen, IDCANCEL otherwise.
    INT_PTR DoModal();
    std::string GetPathName() const { return m_szFile; }

private:
    BOOL m_bOpenFileDialog;
    std::string m_strDefExt;
    std::string m_strFilter;  // '|' turned into '\0'
    DWORD m_dwFlags;
    CWnd* m_pParentWnd;
    char m_szFile[MAX_PATH * 4] = {};
};

// ---------------------------------------------------------------------------
// The application.

class CWinApp : public CCmdTarget {
public:
    // No name: the executable's file name without its extension is used.
    explicit CWinApp(LPCSTR lpszAppName = nullptr);
    ~CWinApp() override;

    virtual BOOL InitInstance() { return TRUE; }
    // Three-dimensional control drawing: every control of this layer draws
    // itself that way already, so there is nothing to switch on.
    BOOL Enable3dControls() { return TRUE; }
    // The message loop, entered only when InitInstance gives TRUE.
    virtual int Run();
    virtual int ExitInstance() { return 0; }
    // The help command's handler, for an application's map: shows
    // m_strHelpText in the application message box; nothing when it is empty.
    void OnHelp();

    CWnd* m_pMainWnd = nullptr;  // set on the GUI thread before any worker starts
    std::string m_strAppName;
    std::string m_strHelpText;  // set by the application before its windows run
    HINSTANCE m_hInstance = nullptr;
};

// Container support for ActiveX controls: the dialogs hold none, so this
// layer has nothing to set up; kept so start-up reads as it always has.
inline void AfxEnableControlContainer() {}

CWinApp* AfxGetApp();
CWnd* AfxGetMainWnd();
LPCSTR AfxGetAppName();
HINSTANCE AfxGetInstanceHandle();
// A message box owned by the main window with the application's name as its
// caption; the warning icon is added when the type names no icon.
int AfxMessageBox(LPCSTR lpszText, UINT nType = MB_OK);
// The program's start: initialises, calls InitInstance and ends when it
// gives FALSE.
int AfxWinMain(HINSTANCE hInstance);
