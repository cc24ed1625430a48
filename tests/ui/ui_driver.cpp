// Drives KelvoraUpgrader.exe from outside, as an operator would: finds the
// main dialog by its caption, reads its controls, clicks its buttons, reads
// and answers the message boxes and the file chooser it opens. Runs under the
// same Wine session as the application. One case per run:
//
//   ui_driver.exe CASE [ARGS...]
//
// Prints "ok CASE" and exits 0, or one line "FAIL CASE: what differed" and
// exits 1. Cases and their arguments are listed in kCases below.
#include <windows.h>
#include <commctrl.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace {

const char kMainCaption[] = "KelvoraHD Upgrader Ver 0.03";
// The caption of the application's message boxes: its executable's name.
const char* g_pAppName = "KelvoraUpgrader";
const char kAboutCaption[] = "About KelvoraUpgrader";

constexpr int kIdPort = 1000;
constexpr int kIdOpen = 1001;
constexpr int kIdClose = 1002;
constexpr int kIdProgress = 1003;
constexpr int kIdDownload = 1004;
constexpr int kIdStatus = 1005;
constexpr int kIdAboutMenu = 0x0010;
// Answered by the application only when KELVORA_UI_TEST_REPORT names a file.
constexpr UINT kMsgReportSystemMenu = WM_APP + 0x0100;
// The file chooser's file name field (combo box or edit) and type list.
constexpr int kIdChooserName = 0x47C;
constexpr int kIdChooserNameEdit = 0x480;
constexpr int kIdChooserTypes = 0x470;

const char kMsgOpenPort[] = "Open COM Port !!!";
const char kMsgPowerOff[] = "Power off STB !!!";
const char kMsgRestart[] = "First press OK, and restart STB !!!";
const char kMsgError1[] = "Error 1 !!!";
const char kMsgRefused[] = "Download Failure !!! \n\n SSU file incorrect !!!!";
const char kMsgCompleted[] =
    "Download Complted !!!\n\nPlease wait till STB rebooting automatically and don't power off..";
const char kMsgOpenFailed[] = "Failed initializing port.";

std::string g_case;
HWND g_hDlg = nullptr;
HANDLE g_hProcess = nullptr;

[[noreturn]] void Fail(const char* pFormat, ...) {
    char szLine[2048];
    va_list args;
    va_start(args, pFormat);
    std::vsnprintf(szLine, sizeof szLine, pFormat, args);
    va_end(args);
    std::printf("FAIL %s: %s\n", g_case.c_str(), szLine);
    std::fflush(stdout);
    std::exit(1);
}

// Shows a text with its line breaks visible, for failure lines.
std::string Show(const std::string& text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else {
            out += c;
        }
    }
    return out + "\"";
}

// Polls until the condition holds; fails with the description after timeoutMs.
void WaitUntil(const std::function<bool()>& condition, DWORD timeoutMs, const char* pWhat) {
    const DWORD start = GetTickCount();
    while (!condition()) {
        if (GetTickCount() - start > timeoutMs) {
            Fail("timed out after %lu ms waiting for %s", static_cast<unsigned long>(timeoutMs), pWhat);
        }
        Sleep(5);
    }
}

std::string ClassOf(HWND hWnd) {
    char szClass[64] = {};
    GetClassNameA(hWnd, szClass, sizeof szClass);
    return szClass;
}

std::string WindowText(HWND hWnd) {
    char szText[1024] = {};
    DWORD_PTR result = 0;
    if (!SendMessageTimeoutA(hWnd, WM_GETTEXT, sizeof szText, reinterpret_cast<LPARAM>(szText), SMTO_BLOCK, 3000,
                             &result)) {
        // A box that closed while we looked at it has no text any more.
        if (!IsWindow(hWnd)) {
            return "";
        }
        const DWORD tid = GetWindowThreadProcessId(hWnd, nullptr);
        Fail("window %p (class %s, %s thread) does not answer WM_GETTEXT", static_cast<void*>(hWnd),
             ClassOf(hWnd).c_str(), tid == GetWindowThreadProcessId(g_hDlg, nullptr) ? "the dialog's" : "another");
    }
    return szText;
}

LRESULT Ask(HWND hWnd, UINT message, WPARAM wParam = 0, LPARAM lParam = 0) {
    DWORD_PTR result = 0;
    if (!SendMessageTimeoutA(hWnd, message, wParam, lParam, SMTO_BLOCK, 3000, &result)) {
        Fail("window %p does not answer message 0x%X", static_cast<void*>(hWnd), message);
    }
    return static_cast<LRESULT>(result);
}

HWND Item(HWND hParent, int id) {
    HWND hItem = GetDlgItem(hParent, id);
    if (hItem == nullptr) {
        Fail("control %d not found", id);
    }
    return hItem;
}

bool Enabled(int id) { return IsWindowEnabled(Item(g_hDlg, id)) != FALSE; }

std::string Status() { return WindowText(Item(g_hDlg, kIdStatus)); }

// Posted, not sent: the click may open a modal box, which must not block us.
void Click(HWND hParent, int id) {
    PostMessageA(hParent, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(hParent, id)));
}

void SysCommand(WPARAM nCommand) { PostMessageA(g_hDlg, WM_SYSCOMMAND, nCommand, 0); }

// The combo box's items, read as UTF-16 (what Wine hands across processes).
std::vector<std::string> ComboItems(HWND hCombo) {
    std::vector<std::string> items;
    const LRESULT count = Ask(hCombo, CB_GETCOUNT);
    for (LRESULT i = 0; i < count; ++i) {
        wchar_t szItem[256] = {};
        DWORD_PTR result = 0;
        SendMessageTimeoutW(hCombo, CB_GETLBTEXT, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(szItem), SMTO_BLOCK,
                            3000, &result);
        char szAnsi[256] = {};
        WideCharToMultiByte(CP_ACP, 0, szItem, -1, szAnsi, sizeof szAnsi, nullptr, nullptr);
        items.emplace_back(szAnsi);
    }
    return items;
}

std::string Join(const std::vector<std::string>& items) {
    std::string out = "[";
    for (const std::string& item : items) {
        if (out.size() > 1) {
            out += ',';
        }
        out += Show(item);
    }
    out += ']';
    return out;
}

// ---------------------------------------------------------------------------
// Finding the dialog and the boxes it owns.

void FindMainDialog() {
    WaitUntil([] { return (g_hDlg = FindWindowA("#32770", kMainCaption)) != nullptr && IsWindowVisible(g_hDlg); },
              20000, "the main dialog");
    DWORD pid = 0;
    GetWindowThreadProcessId(g_hDlg, &pid);
    g_hProcess = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    if (g_hProcess == nullptr) {
        Fail("cannot open the application's process %lu", static_cast<unsigned long>(pid));
    }
    // The port list is filled in the dialog's initialisation; wait for it.
    WaitUntil([] { return Ask(Item(g_hDlg, kIdPort), CB_GETCOUNT) > 0; }, 5000, "the port list");
}

// Top-level dialog windows owned by the main dialog: message boxes, the
// chooser, the About box.
std::vector<HWND> OwnedBoxes() {
    std::vector<HWND> boxes;
    EnumWindows(
        [](HWND hWnd, LPARAM lParam) -> BOOL {
            if (hWnd != g_hDlg && IsWindowVisible(hWnd) && GetWindow(hWnd, GW_OWNER) == g_hDlg &&
                ClassOf(hWnd) == "#32770") {
                reinterpret_cast<std::vector<HWND>*>(lParam)->push_back(hWnd);
            }
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&boxes));
    return boxes;
}

// The static text of a message box (the one static that is not its icon).
std::string BoxText(HWND hBox) {
    std::string text;
    for (HWND hChild = GetWindow(hBox, GW_CHILD); hChild != nullptr; hChild = GetWindow(hChild, GW_HWNDNEXT)) {
        const LONG style = GetWindowLongA(hChild, GWL_STYLE);
        if (ClassOf(hChild) == "Static" && (style & SS_TYPEMASK) != SS_ICON) {
            const std::string childText = WindowText(hChild);
            if (!childText.empty()) {
                text = childText;
            }
        }
    }
    return text;
}

bool BoxHasIcon(HWND hBox) {
    for (HWND hChild = GetWindow(hBox, GW_CHILD); hChild != nullptr; hChild = GetWindow(hChild, GW_HWNDNEXT)) {
        if (ClassOf(hChild) == "Static" && (GetWindowLongA(hChild, GWL_STYLE) & SS_TYPEMASK) == SS_ICON &&
            IsWindowVisible(hChild) && Ask(hChild, STM_GETICON) != 0) {
            return true;
        }
    }
    return false;
}

bool IsChooser(HWND hBox) {
    return GetDlgItem(hBox, kIdChooserName) != nullptr || GetDlgItem(hBox, kIdChooserNameEdit) != nullptr;
}

// Waits for the one box the dialog should show now, checks caption and
// text, and returns it. Between polls, pWhile (if given) records what the
// dialog shows.
HWND ExpectBox(const char* pText, const char* pCaption, DWORD timeoutMs,
               const std::function<void()>& pWhile = nullptr) {
    HWND hBox = nullptr;
    const std::string what = std::string("the box ") + Show(pText);
    WaitUntil(
        [&] {
            if (pWhile) {
                pWhile();
            }
            if (WaitForSingleObject(g_hProcess, 0) == WAIT_OBJECT_0) {
                Fail("the application ended while waiting for %s", what.c_str());
            }
            const std::vector<HWND> boxes = OwnedBoxes();
            hBox = boxes.empty() ? nullptr : boxes.front();
            return hBox != nullptr;
        },
        timeoutMs, what.c_str());
    // The box is shown before its text is set in some systems: settle.
    WaitUntil([&] { return !BoxText(hBox).empty() || IsChooser(hBox); }, 2000, "the box's text");
    if (IsChooser(hBox)) {
        Fail("expected the box %s, got the file chooser", Show(pText).c_str());
    }
    const std::string text = BoxText(hBox);
    const std::string caption = WindowText(hBox);
    if (text != pText) {
        Fail("box text %s, expected %s", Show(text).c_str(), Show(pText).c_str());
    }
    if (caption != pCaption) {
        Fail("box %s has caption %s, expected %s", Show(text).c_str(), Show(caption).c_str(), Show(pCaption).c_str());
    }
    return hBox;
}

void Answer(HWND hBox, int id) {
    Click(hBox, id);
    WaitUntil([&] { return !IsWindow(hBox) || !IsWindowVisible(hBox); }, 5000, "the box to close");
}

void AnswerOk(HWND hBox) { Answer(hBox, IDOK); }

void ExpectNoBox(const char* pWhen) {
    const std::vector<HWND> boxes = OwnedBoxes();
    if (!boxes.empty()) {
        Fail("%s: unexpected box %s %s", pWhen, Show(WindowText(boxes.front())).c_str(),
             Show(BoxText(boxes.front())).c_str());
    }
}

void ExpectButtons(bool bOpen, bool bClose, bool bDownload, const char* pWhen) {
    WaitUntil(
        [&] { return Enabled(kIdOpen) == bOpen && Enabled(kIdClose) == bClose && Enabled(kIdDownload) == bDownload; },
        3000, pWhen);
}

void ExpectExit(const char* pWhat) {
    if (WaitForSingleObject(g_hProcess, 10000) != WAIT_OBJECT_0) {
        const std::vector<HWND> boxes = OwnedBoxes();
        Fail("the application did not end after %s%s%s", pWhat,
             boxes.empty() ? "" : "; a box is up: ", boxes.empty() ? "" : Show(BoxText(boxes.front())).c_str());
    }
    DWORD code = 0;
    GetExitCodeProcess(g_hProcess, &code);
    if (code != 0) {
        Fail("the application ended with code 0x%lX after %s", static_cast<unsigned long>(code), pWhat);
    }
}

// ---------------------------------------------------------------------------
// Real key presses: they go to the window with the focus in the foreground
// window, and through the dialog's own keyboard handling.

void PressKey(WORD vk) {
    INPUT keys[2] = {};
    keys[0].type = INPUT_KEYBOARD;
    keys[0].ki.wVk = vk;
    keys[1] = keys[0];
    keys[1].ki.dwFlags = KEYEVENTF_KEYUP;
    if (SendInput(2, keys, sizeof(INPUT)) != 2) {
        Fail("cannot send key 0x%X", vk);
    }
}

// The window with the keyboard focus in the dialog's thread.
HWND Focus() {
    GUITHREADINFO info{};
    info.cbSize = sizeof info;
    if (!GetGUIThreadInfo(GetWindowThreadProcessId(g_hDlg, nullptr), &info)) {
        return nullptr;
    }
    return info.hwndFocus;
}

void ExpectFocus(int id, const char* pWhen) {
    // The port list's focus is in its edit field, a child of the combo box.
    HWND hWant = Item(g_hDlg, id);
    WaitUntil(
        [&] {
            HWND hFocus = Focus();
            return hFocus != nullptr && (hFocus == hWant || GetParent(hFocus) == hWant);
        },
        5000, pWhen);
}

// ---------------------------------------------------------------------------
// Following a download.

struct Observed {
    std::vector<std::string> statuses;  // each change of the status line
    bool bDownloadDisabledSeen = false;
    int progressHigh = -1;
    int progressPos = -1;
};

void Sample(Observed& seen) {
    const std::string status = Status();
    if (seen.statuses.empty() || seen.statuses.back() != status) {
        seen.statuses.push_back(status);
    }
    if (!Enabled(kIdDownload)) {
        seen.bDownloadDisabledSeen = true;
    }
    HWND hProgress = Item(g_hDlg, kIdProgress);
    seen.progressHigh = static_cast<int>(Ask(hProgress, PBM_GETRANGE, FALSE, 0));
    seen.progressPos = static_cast<int>(Ask(hProgress, PBM_GETPOS));
}

// Index of the first status after 'from' equal to text, or -1.
int FindStatus(const Observed& seen, const char* pText, int from = 0) {
    for (int i = from; i < static_cast<int>(seen.statuses.size()); ++i) {
        if (seen.statuses[i] == pText) {
            return i;
        }
    }
    return -1;
}

std::string AllStatuses(const Observed& seen) { return Join(seen.statuses); }

// Checks the "sent / length" texts seen: all for the same length, multiples
// of 1024, rising. (Polling can miss some; that the whole image arrived is
// checked on the box's side.)
void ExpectTransferStatuses(const Observed& seen, int length) {
    int last = 0;
    int count = 0;
    for (const std::string& status : seen.statuses) {
        int sent = 0;
        int total = 0;
        char tail = 0;
        if (std::sscanf(status.c_str(), "%d / %d%c", &sent, &total, &tail) != 2) {
            continue;
        }
        if (total != length || sent % 1024 != 0 || sent <= last ||
            status != std::to_string(sent) + " / " + std::to_string(total)) {
            Fail("transfer status %s out of line (length %d, previous %d)", Show(status).c_str(), length, last);
        }
        last = sent;
        ++count;
    }
    if (count < 2) {
        Fail("fewer than two transfer statuses seen: %s", AllStatuses(seen).c_str());
    }
}

void OpenPort(int index) {
    Ask(Item(g_hDlg, kIdPort), CB_SETCURSEL, static_cast<WPARAM>(index));
    Click(g_hDlg, kIdOpen);
    ExpectButtons(false, true, true, "Open to disable Open and enable Close");
}

// Presses Download, answers the power-off prompt, picks the image in the
// chooser. pBeforeChooser runs while the power-off prompt is up.
void StartDownload(const char* pImagePath, const std::function<void()>& pBeforeChooser = nullptr) {
    Click(g_hDlg, kIdDownload);
    HWND hBox = ExpectBox(kMsgPowerOff, g_pAppName, 5000);
    if (pBeforeChooser) {
        pBeforeChooser();
    }
    AnswerOk(hBox);

    HWND hChooser = nullptr;
    WaitUntil(
        [&] {
            const std::vector<HWND> boxes = OwnedBoxes();
            hChooser = boxes.empty() ? nullptr : boxes.front();
            return hChooser != nullptr && IsChooser(hChooser);
        },
        10000, "the file chooser");
    HWND hName = GetDlgItem(hChooser, kIdChooserName);
    if (hName == nullptr) {
        hName = Item(hChooser, kIdChooserNameEdit);
    }
    const std::string initialName = WindowText(hName);
    if (initialName != "*.ssu") {
        Fail("chooser file name starts as %s, expected \"*.ssu\"", Show(initialName).c_str());
    }
    const std::vector<std::string> types = ComboItems(Item(hChooser, kIdChooserTypes));
    if (types != std::vector<std::string>{"ssu Files", "All Files(*.*)"}) {
        Fail("chooser file types %s", Join(types).c_str());
    }
    Ask(hName, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(pImagePath));
    Click(hChooser, IDOK);
    WaitUntil([&] { return !IsWindow(hChooser) || !IsWindowVisible(hChooser); }, 10000, "the chooser to close");
}

// The worker ends the run right after it enables Download again; a system
// Close before that asks first, as during a run.
void CloseAfterRun(const char* pWhat) {
    Sleep(300);
    SysCommand(SC_CLOSE);
    ExpectExit(pWhat);
}

// Answers the restart prompt and follows the run until its final box.
HWND RunToFinalBox(const char* pFinalText, Observed& seen, DWORD timeoutMs,
                   const std::function<void(Observed&)>& pOnSample = nullptr) {
    HWND hBox = ExpectBox(kMsgRestart, g_pAppName, 10000);
    if (Status() != "start") {
        Fail("status %s at the restart prompt, expected \"start\"", Show(Status()).c_str());
    }
    if (!Enabled(kIdDownload)) {
        Fail("Download disabled before the restart prompt was answered");
    }
    AnswerOk(hBox);
    hBox = ExpectBox(pFinalText, g_pAppName, timeoutMs, [&] {
        Sample(seen);
        if (pOnSample) {
            pOnSample(seen);
        }
    });
    Sample(seen);
    if (Enabled(kIdDownload)) {
        Fail("Download enabled while the final box is up");
    }
    if (!seen.bDownloadDisabledSeen) {
        Fail("Download never disabled during the run");
    }
    AnswerOk(hBox);
    WaitUntil([] { return Enabled(kIdDownload); }, 5000, "Download to be enabled after the final box");
    return hBox;
}

// ---------------------------------------------------------------------------
// The layout of the main dialog, checked on the live windows.

struct ExpectedControl {
    int id;
    const char* pClass;
    const char* pText;  // null: not compared
    // The whole style, WS_CHILD aside, compared exactly: a wrong type
    // (BS_PUSHBUTTON is 0, CBS_DROPDOWN a part of CBS_DROPDOWNLIST) and an
    // extra bit (CBS_SORT, PBS_SMOOTH) both differ.
    DWORD style;
    DWORD systemBits;  // bits the control changes on its own window
    int x, y, cx, cy;  // cy of the combo box: its height with the list dropped
};

// Template order is z-order and tab order.
const ExpectedControl kMainControls[] = {
    {IDOK, "Button", "OK", BS_DEFPUSHBUTTON | WS_TABSTOP, 0, 249, 15, 50, 14},
    {IDCANCEL, "Button", "Cancel", BS_PUSHBUTTON | WS_TABSTOP, 0, 250, 39, 50, 14},
    {-1, "Button", "Update", BS_GROUPBOX | WS_VISIBLE, 0, 15, 62, 287, 64},
    // The combo box passes WS_VSCROLL on to its drop-down list when created.
    {kIdPort, "ComboBox", nullptr, CBS_DROPDOWN | WS_VSCROLL | WS_TABSTOP | WS_VISIBLE, WS_VSCROLL, 39, 28, 62, 53},
    {kIdOpen, "Button", "Open", BS_PUSHBUTTON | WS_TABSTOP | WS_VISIBLE, 0, 137, 27, 45, 18},
    // Disabled at start by the dialog, not by its template.
    {kIdClose, "Button", "Close", BS_PUSHBUTTON | WS_TABSTOP | WS_VISIBLE | WS_DISABLED, 0, 209, 27, 45, 18},
    // The progress bar takes WS_BORDER off its window and draws the frame itself.
    {kIdProgress, "msctls_progress32", "Progress1", WS_BORDER | WS_VISIBLE, WS_BORDER, 30, 100, 259, 16},
    {kIdDownload, "Button", "Download", BS_PUSHBUTTON | WS_TABSTOP | WS_VISIBLE, 0, 233, 75, 55, 19},
    // The edit control takes WS_BORDER off too when it has no WS_EX_CLIENTEDGE.
    {kIdStatus, "Edit", "", ES_CENTER | ES_AUTOHSCROLL | WS_DISABLED | WS_BORDER | WS_TABSTOP | WS_VISIBLE, WS_BORDER,
     30, 77, 145, 14},
    {-1, "Button", "COM Port", BS_GROUPBOX | WS_VISIBLE, 0, 15, 7, 286, 48},
};

// Maps dialog units to pixels for the dialog font, through a hidden dialog
// of our own with the same font.
RECT DialogUnitsToPixels(int x, int y, int cx, int cy) {
    struct alignas(4) {
        DLGTEMPLATE dt;
        WORD menu, windowClass, title, pointSize;
        wchar_t face[14];
    } tmpl{};
    tmpl.dt.style = WS_POPUP | DS_SETFONT;
    tmpl.dt.cx = 10;
    tmpl.dt.cy = 10;
    tmpl.pointSize = 8;
    std::memcpy(tmpl.face, L"MS Sans Serif", sizeof(L"MS Sans Serif"));
    HWND hProbe = CreateDialogIndirectParamA(
        GetModuleHandleA(nullptr), &tmpl.dt, nullptr, [](HWND, UINT, WPARAM, LPARAM) -> INT_PTR { return FALSE; }, 0);
    if (hProbe == nullptr) {
        Fail("cannot create the dialog-unit probe");
    }
    RECT rect{x, y, x + cx, y + cy};
    MapDialogRect(hProbe, &rect);
    DestroyWindow(hProbe);
    return rect;
}

bool Near(LONG a, LONG b) { return a - b <= 1 && b - a <= 1; }

void ExpectMainLayout() {
    const std::string caption = WindowText(g_hDlg);
    if (caption != kMainCaption) {
        Fail("caption %s", Show(caption).c_str());
    }
    const LONG style = GetWindowLongA(g_hDlg, GWL_STYLE);
    const LONG required = WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME;
    if ((style & required) != required || (style & (WS_MINIMIZEBOX | WS_MAXIMIZEBOX | WS_THICKFRAME)) != 0) {
        Fail("dialog style 0x%08lX", static_cast<unsigned long>(style));
    }
    if ((GetWindowLongA(g_hDlg, GWL_EXSTYLE) & WS_EX_APPWINDOW) == 0) {
        Fail("dialog lacks WS_EX_APPWINDOW");
    }
    RECT client;
    GetClientRect(g_hDlg, &client);
    const RECT want = DialogUnitsToPixels(0, 0, 319, 144);
    if (!Near(client.right, want.right) || !Near(client.bottom, want.bottom)) {
        Fail("client area %ldx%ld px, expected %ldx%ld", client.right, client.bottom, want.right, want.bottom);
    }

    HWND hChild = GetWindow(g_hDlg, GW_CHILD);
    for (const ExpectedControl& control : kMainControls) {
        if (hChild == nullptr) {
            Fail("control %d %s missing", control.id, control.pText != nullptr ? control.pText : "");
        }
        const int id = GetDlgCtrlID(hChild);
        const std::string className = ClassOf(hChild);
        const DWORD childStyle = static_cast<DWORD>(GetWindowLongA(hChild, GWL_STYLE));
        if (static_cast<int>(static_cast<short>(id)) != control.id ||
            lstrcmpiA(className.c_str(), control.pClass) != 0) {
            Fail("control in place of id %d is id %d class %s", control.id, id, className.c_str());
        }
        const DWORD wantStyle = WS_CHILD | control.style;
        if (((childStyle ^ wantStyle) & ~control.systemBits) != 0) {
            Fail("control %d style 0x%08lX, expected 0x%08lX (differing bits 0x%08lX)", control.id,
                 static_cast<unsigned long>(childStyle), static_cast<unsigned long>(wantStyle),
                 static_cast<unsigned long>((childStyle ^ wantStyle) & ~control.systemBits));
        }
        if (control.pText != nullptr) {
            const std::string text = WindowText(hChild);
            if (text != control.pText) {
                Fail("control %d text %s, expected %s", control.id, Show(text).c_str(), Show(control.pText).c_str());
            }
        }
        RECT rect;
        GetWindowRect(hChild, &rect);
        MapWindowPoints(nullptr, g_hDlg, reinterpret_cast<POINT*>(&rect), 2);
        const RECT wantRect = DialogUnitsToPixels(control.x, control.y, control.cx, control.cy);
        // The combo box's window is its closed height; the template's height
        // is the one with the list dropped.
        if (control.id == kIdPort) {
            RECT dropped{};
            Ask(hChild, CB_GETDROPPEDCONTROLRECT, 0, reinterpret_cast<LPARAM>(&dropped));
            // Windows's rectangle reaches the list's bottom. Wine's starts at
            // the combo box's top but is only as high as the list, which it
            // makes the template's height less its own idea of the closed
            // height, 2 px more than the window it shows.
            const LONG droppedHeight = dropped.bottom - dropped.top;
            const LONG wantHeight = wantRect.bottom - wantRect.top;
            const LONG wineHeight = droppedHeight + rect.bottom - rect.top;
            if (!Near(droppedHeight, wantHeight) && (wineHeight > wantHeight || wineHeight < wantHeight - 2)) {
                Fail("port list %ld px high when dropped (%ld closed), expected %ld", droppedHeight,
                     rect.bottom - rect.top, wantHeight);
            }
            rect.bottom = wantRect.bottom;
        }
        if (!Near(rect.left, wantRect.left) || !Near(rect.top, wantRect.top) || !Near(rect.right, wantRect.right) ||
            !Near(rect.bottom, wantRect.bottom)) {
            Fail("control %d at %ld,%ld-%ld,%ld px, expected %ld,%ld-%ld,%ld", control.id, rect.left, rect.top,
                 rect.right, rect.bottom, wantRect.left, wantRect.top, wantRect.right, wantRect.bottom);
        }
        hChild = GetWindow(hChild, GW_HWNDNEXT);
    }
    if (hChild != nullptr) {
        Fail("extra control id %d after the last one", GetDlgCtrlID(hChild));
    }
}

// The system menu ends with a separator and the About item, as the
// application reports it (KELVORA_UI_TEST_REPORT names the report file).
void ExpectSystemMenu() {
    const char* pReport = std::getenv("KELVORA_UI_TEST_REPORT");
    if (pReport == nullptr) {
        Fail("KELVORA_UI_TEST_REPORT is not set");
    }
    DeleteFileA(pReport);
    if (Ask(g_hDlg, kMsgReportSystemMenu) != 1) {
        Fail("the application did not report its system menu");
    }
    std::vector<std::string> items;
    if (FILE* pFile = std::fopen(pReport, "r")) {
        char szLine[512];
        while (std::fgets(szLine, sizeof szLine, pFile) != nullptr) {
            items.emplace_back(szLine, std::strcspn(szLine, "\r\n"));
        }
        std::fclose(pFile);
    }
    // The system's own items (Move, Close) come first.
    if (items.size() < 3 || items[items.size() - 2] != "separator" ||
        items.back() != "item 0x0010 &About KelvoraUpgrader...") {
        Fail("system menu %s, expected it to end with a separator and \"item 0x0010 &About KelvoraUpgrader...\"",
             Join(items).c_str());
    }
}

void ExpectAboutBox() {
    SysCommand(kIdAboutMenu);
    HWND hAbout = nullptr;
    WaitUntil(
        [&] {
            const std::vector<HWND> boxes = OwnedBoxes();
            hAbout = boxes.empty() ? nullptr : boxes.front();
            return hAbout != nullptr;
        },
        5000, "the About box");
    const std::string caption = WindowText(hAbout);
    const std::string text = BoxText(hAbout);
    if (caption != kAboutCaption || text != "KelvoraUpgrader Version 1.0") {
        Fail("About box %s with text %s", Show(caption).c_str(), Show(text).c_str());
    }
    if (!BoxHasIcon(hAbout)) {
        Fail("About box shows no icon");
    }
    if (IsWindowEnabled(g_hDlg)) {
        Fail("main dialog takes input while the About box is up");
    }
    AnswerOk(hAbout);
    WaitUntil([] { return IsWindowEnabled(g_hDlg) != FALSE; }, 3000, "the main dialog to be enabled again");
}

// ---------------------------------------------------------------------------
// The cases.

// ports NAME...: the list holds exactly these names, the first selected; the
// layout, the About box; the system Close with no run ends the program.
void CasePorts(const std::vector<std::string>& args) {
    FindMainDialog();
    const std::vector<std::string> items = ComboItems(Item(g_hDlg, kIdPort));
    if (items != args) {
        Fail("port list %s, expected %s", Join(items).c_str(), Join(args).c_str());
    }
    if (Ask(Item(g_hDlg, kIdPort), CB_GETCURSEL) != 0) {
        Fail("port list selection %ld, expected 0", static_cast<long>(Ask(Item(g_hDlg, kIdPort), CB_GETCURSEL)));
    }
    const std::string shown = WindowText(Item(g_hDlg, kIdPort));
    if (shown != args.front()) {
        Fail("port list shows %s", Show(shown).c_str());
    }
    ExpectMainLayout();
    ExpectButtons(true, false, true, "Open enabled, Close disabled, Download enabled at start");
    ExpectSystemMenu();
    ExpectAboutBox();
    SysCommand(SC_CLOSE);
    ExpectExit("the system Close");
}

// no-port [NAME]: only "NONE"; Open fails with the application's warning box
// and changes no button. The boxes' caption is NAME, the executable's name
// (KelvoraUpgrader unless given).
void CaseNoPort(const std::vector<std::string>& args) {
    if (!args.empty()) {
        g_pAppName = args[0].c_str();
    }
    FindMainDialog();
    const std::vector<std::string> items = ComboItems(Item(g_hDlg, kIdPort));
    if (items != std::vector<std::string>{"NONE"} || Ask(Item(g_hDlg, kIdPort), CB_GETCURSEL) != 0) {
        Fail("port list %s, expected [\"NONE\"] selected", Join(items).c_str());
    }
    Click(g_hDlg, kIdOpen);
    HWND hBox = ExpectBox(kMsgOpenFailed, g_pAppName, 5000);
    if (!BoxHasIcon(hBox)) {
        Fail("\"Failed initializing port.\" shows no warning icon");
    }
    AnswerOk(hBox);
    ExpectButtons(true, false, true, "the buttons unchanged after a failed Open");
    Click(g_hDlg, kIdDownload);
    AnswerOk(ExpectBox(kMsgOpenPort, g_pAppName, 5000));
    SysCommand(SC_CLOSE);
    ExpectExit("the system Close");
}

// buttons: Download before Open; Open and Close button states; Esc with no
// run ends the program.
void CaseButtons(const std::vector<std::string>&) {
    FindMainDialog();
    ExpectButtons(true, false, true, "the buttons at start");
    Click(g_hDlg, kIdDownload);
    HWND hBox = ExpectBox(kMsgOpenPort, g_pAppName, 5000);
    if (BoxHasIcon(hBox)) {
        Fail("\"Open COM Port !!!\" shows an icon");
    }
    AnswerOk(hBox);
    ExpectNoBox("after Download before Open");
    OpenPort(0);
    // The About box leaves the port as it was.
    ExpectAboutBox();
    ExpectButtons(false, true, true, "the port still open after the About box");
    Click(g_hDlg, kIdClose);
    ExpectButtons(true, false, true, "Close to enable Open and disable Close");
    // Close again (the button is disabled, the command still arrives).
    Click(g_hDlg, kIdClose);
    ExpectButtons(true, false, true, "a second Close to change nothing");
    // Open, Close, Open again: the port is free again after Close.
    OpenPort(0);
    Click(g_hDlg, kIdClose);
    ExpectButtons(true, false, true, "Close after the second Open");
    ExpectNoBox("after Open and Close");
    // A name typed into the port list's edit field is not a list item: with
    // no item selected, Open fails.
    HWND hPort = Item(g_hDlg, kIdPort);
    Ask(hPort, CB_SETCURSEL, static_cast<WPARAM>(-1));
    Ask(hPort, WM_SETTEXT, 0, reinterpret_cast<LPARAM>("COM1"));
    Click(g_hDlg, kIdOpen);
    AnswerOk(ExpectBox(kMsgOpenFailed, g_pAppName, 5000));
    ExpectButtons(true, false, true, "the buttons unchanged after Open with a typed name");
    Click(g_hDlg, IDCANCEL);
    ExpectExit("Esc");
}

// keys enter|esc|tab-enter EXE: real key presses; the focus starts in the
// port list. enter: F1 shows the help box, then Enter ends the program. esc:
// with the port open (by a click, so the focus stays), Esc ends the program.
// tab-enter: Tab moves the focus to Open and Enter presses it.
void CaseKeys(const std::vector<std::string>& args) {
    const std::string& mode = args.at(0);
    FindMainDialog();
    SetForegroundWindow(g_hDlg);
    WaitUntil([] { return GetForegroundWindow() == g_hDlg; }, 5000, "the dialog to come to the front");
    ExpectFocus(kIdPort, "the focus in the port list at start");
    if (mode == "enter") {
        std::string folder = args.at(1);
        folder.erase(folder.find_last_of('\\'));
        const std::string help =
            "KelvoraUpgrader 1.0.0.1\n\nHow to use it: README.md, in this program's folder\n" + folder;
        PressKey(VK_F1);
        HWND hBox = ExpectBox(help.c_str(), g_pAppName, 5000);
        if (!BoxHasIcon(hBox)) {
            Fail("the help box shows no icon");
        }
        AnswerOk(hBox);
        ExpectFocus(kIdPort, "the focus back in the port list after the help box");
        PressKey(VK_RETURN);
        ExpectExit("Enter in the port list");
    } else if (mode == "esc") {
        OpenPort(0);
        ExpectFocus(kIdPort, "the focus still in the port list after Open");
        PressKey(VK_ESCAPE);
        ExpectExit("Esc with the port open");
    } else {
        PressKey(VK_TAB);
        ExpectFocus(kIdOpen, "Tab to move the focus to Open");
        PressKey(VK_RETURN);
        ExpectButtons(false, true, true, "Enter on Open to open the port");
        // Open, disabled with the focus on it, leaves the focus nowhere: Esc
        // does nothing now.
        SysCommand(SC_CLOSE);
        ExpectExit("the system Close");
    }
}

// download IMAGE LENGTH SHOT_REQUEST: a whole run to the completion box. A
// second Download press while the first run is under way is refused. While
// blocks go out, asks the runner for a screenshot by writing the dialog's
// geometry into SHOT_REQUEST and waits until the runner removes the file.
void CaseDownload(const std::vector<std::string>& args) {
    if (args.size() != 3) {
        Fail("usage: download IMAGE LENGTH SHOT_REQUEST");
    }
    const int length = std::atoi(args[1].c_str());
    FindMainDialog();
    OpenPort(0);
    StartDownload(args[0].c_str(), [] {
        // A second press while the prompt is up. The About command posted
        // behind it is handled after it, so once the About box is up the
        // press has been handled too.
        Click(g_hDlg, kIdDownload);
        SysCommand(kIdAboutMenu);
        HWND hAbout = nullptr;
        WaitUntil(
            [&] {
                for (HWND hBox : OwnedBoxes()) {
                    if (WindowText(hBox) == kAboutCaption) {
                        hAbout = hBox;
                    }
                }
                return hAbout != nullptr;
            },
            5000, "the About box behind the second Download press");
        Sleep(500);  // a second worker, had one started, would be up by now
        const std::vector<HWND> boxes = OwnedBoxes();
        if (boxes.size() != 2) {
            Fail("%zu boxes up after a second Download press, expected the prompt and the About box", boxes.size());
        }
        AnswerOk(hAbout);
    });
    Observed seen;
    bool bShot = false;
    RunToFinalBox(kMsgCompleted, seen, 60000, [&](Observed& now) {
        if (bShot || now.progressHigh <= 0 || now.progressPos * 3 < now.progressHigh) {
            return;
        }
        bShot = true;
        RECT rect;
        GetWindowRect(g_hDlg, &rect);
        if (FILE* pFile = std::fopen(args[2].c_str(), "w")) {
            std::fprintf(pFile, "%ldx%ld+%ld+%ld\n", rect.right - rect.left, rect.bottom - rect.top, rect.left,
                         rect.top);
            std::fclose(pFile);
            const DWORD start = GetTickCount();
            while (GetFileAttributesA(args[2].c_str()) != INVALID_FILE_ATTRIBUTES && GetTickCount() - start < 10000) {
                Sleep(20);
            }
        }
    });
    const int waiting = FindStatus(seen, "Waiting start");
    if (FindStatus(seen, "Check Sync bytes") < 0 || waiting < 0 || FindStatus(seen, "Check Sync bytes") > waiting) {
        Fail("status line never read \"Check Sync bytes\" then \"Waiting start\": %s", AllStatuses(seen).c_str());
    }
    ExpectTransferStatuses(seen, length);
    const std::string last = seen.statuses.back();
    if (last != "Please wait ! Checking image." && last != "Please wait ! Burning image") {
        Fail("status %s at the completion box", Show(last).c_str());
    }
    // The position counts the blocks acknowledged before the one going out.
    const int blocks = length / 1024;
    if (seen.progressHigh != blocks || seen.progressPos != blocks - 1) {
        Fail("progress bar %d of %d at the end, expected %d of %d", seen.progressPos, seen.progressHigh, blocks - 1,
             blocks);
    }
    ExpectNoBox("after the completion box");
    ExpectButtons(false, true, true, "the buttons after the run");
    CloseAfterRun("the system Close after the run");
}

// refuse IMAGE: the loader refuses the image.
void CaseRefuse(const std::vector<std::string>& args) {
    FindMainDialog();
    OpenPort(0);
    StartDownload(args.at(0).c_str());
    Observed seen;
    RunToFinalBox(kMsgRefused, seen, 60000);
    if (seen.statuses.back() != "Update Failure !!!") {
        Fail("status %s at the refusal box", Show(seen.statuses.back()).c_str());
    }
    // With the run over, Enter ends the program again.
    Sleep(300);
    Click(g_hDlg, IDOK);
    ExpectExit("Enter after the refusal");
}

// timeout PORT_INDEX IMAGE: the box never shows its menu.
void CaseTimeout(const std::vector<std::string>& args) {
    FindMainDialog();
    OpenPort(std::atoi(args.at(0).c_str()));
    StartDownload(args.at(1).c_str());
    Observed seen;
    RunToFinalBox(kMsgError1, seen, 30000);
    if (seen.statuses.back() != "Check Sync bytes") {
        Fail("status %s at \"Error 1 !!!\"", Show(seen.statuses.back()).c_str());
    }
    CloseAfterRun("the system Close after the time-out");
}

// close IMAGE: during the transfer, Enter and Esc do nothing; the system
// Close asks first: No lets the transfer go on, Yes ends the program.
void CaseCloseDuringRun(const std::vector<std::string>& args) {
    const char kQuestion[] = "A download is under way. Closing now can leave the box unusable.\n\nClose anyway?";
    FindMainDialog();
    OpenPort(0);
    StartDownload(args.at(0).c_str());
    AnswerOk(ExpectBox(kMsgRestart, g_pAppName, 10000));
    Observed seen;
    WaitUntil(
        [&] {
            Sample(seen);
            return seen.progressPos >= 2;
        },
        30000, "the transfer to begin");
    // Enter and Esc are ignored; the Close question after them shows they
    // were handled without ending the dialog.
    Click(g_hDlg, IDOK);
    Click(g_hDlg, IDCANCEL);
    SysCommand(SC_CLOSE);
    HWND hQuestion = ExpectBox(kQuestion, g_pAppName, 5000);
    Answer(hQuestion, IDNO);
    const int posAfterNo = seen.progressPos;
    WaitUntil(
        [&] {
            Sample(seen);
            return seen.progressPos >= posAfterNo + 2;
        },
        30000, "the transfer to go on after No");
    if (WaitForSingleObject(g_hProcess, 0) == WAIT_OBJECT_0) {
        Fail("the application ended after No");
    }
    SysCommand(SC_CLOSE);
    hQuestion = ExpectBox(kQuestion, g_pAppName, 5000);
    Answer(hQuestion, IDYES);
    ExpectExit("Yes to the Close question");
}

// close-modal chooser|prompt IMAGE: the system Close while the worker has
// the file chooser or the restart prompt up: the question, Yes, and the
// program ends, the worker's window closed for it.
void CaseCloseInModal(const std::vector<std::string>& args) {
    const char kQuestion[] = "A download is under way. Closing now can leave the box unusable.\n\nClose anyway?";
    const bool bChooser = args.at(0) == "chooser";
    FindMainDialog();
    OpenPort(0);
    Click(g_hDlg, kIdDownload);
    AnswerOk(ExpectBox(kMsgPowerOff, g_pAppName, 5000));
    HWND hModal = nullptr;
    WaitUntil(
        [&] {
            const std::vector<HWND> boxes = OwnedBoxes();
            hModal = boxes.empty() ? nullptr : boxes.front();
            return hModal != nullptr && IsChooser(hModal);
        },
        10000, "the file chooser");
    if (!bChooser) {
        HWND hName = GetDlgItem(hModal, kIdChooserName);
        Ask(hName != nullptr ? hName : Item(hModal, kIdChooserNameEdit), WM_SETTEXT, 0,
            reinterpret_cast<LPARAM>(args.at(1).c_str()));
        Click(hModal, IDOK);
        WaitUntil([&] { return !IsWindow(hModal) || !IsWindowVisible(hModal); }, 10000, "the chooser to close");
        hModal = ExpectBox(kMsgRestart, g_pAppName, 10000);
    }
    SysCommand(SC_CLOSE);
    HWND hQuestion = nullptr;
    WaitUntil(
        [&] {
            for (HWND hBox : OwnedBoxes()) {
                if (hBox != hModal && !IsChooser(hBox) && BoxText(hBox) == kQuestion) {
                    hQuestion = hBox;
                }
            }
            return hQuestion != nullptr;
        },
        5000, "the Close question");
    Answer(hQuestion, IDYES);
    ExpectExit("Yes to the Close question");
}

// version EXE: the version resource read back.
void CaseVersion(const std::vector<std::string>& args) {
    const char* pPath = args.at(0).c_str();
    DWORD dummy = 0;
    const DWORD size = GetFileVersionInfoSizeA(pPath, &dummy);
    if (size == 0) {
        Fail("no version information in %s", pPath);
    }
    std::vector<char> info(size);
    GetFileVersionInfoA(pPath, 0, size, info.data());
    VS_FIXEDFILEINFO* pFixed = nullptr;
    UINT len = 0;
    if (!VerQueryValueA(info.data(), "\\", reinterpret_cast<void**>(&pFixed), &len) || pFixed == nullptr) {
        Fail("no fixed version information");
    }
    if (pFixed->dwFileVersionMS != 0x00010000 || pFixed->dwFileVersionLS != 0x00000001 ||
        pFixed->dwProductVersionMS != 0x00010000 || pFixed->dwProductVersionLS != 0x00000001) {
        Fail("version %lu.%lu.%lu.%lu, expected 1.0.0.1", pFixed->dwFileVersionMS >> 16,
             pFixed->dwFileVersionMS & 0xFFFF, pFixed->dwFileVersionLS >> 16, pFixed->dwFileVersionLS & 0xFFFF);
    }
    if (pFixed->dwFileFlagsMask != 0x3F || pFixed->dwFileFlags != 0 || pFixed->dwFileOS != 4 ||
        pFixed->dwFileType != 1 || pFixed->dwFileSubtype != 0) {
        Fail("fixed info mask 0x%lX flags 0x%lX os %lu type %lu subtype %lu", pFixed->dwFileFlagsMask,
             pFixed->dwFileFlags, pFixed->dwFileOS, pFixed->dwFileType, pFixed->dwFileSubtype);
    }
    WORD* pTranslation = nullptr;
    if (!VerQueryValueA(info.data(), "\\VarFileInfo\\Translation", reinterpret_cast<void**>(&pTranslation), &len) ||
        len != 4 || pTranslation[0] != 0x0409 || pTranslation[1] != 1200) {
        Fail("translation entry missing or not 0x0409/1200");
    }
    const struct {
        const char* pKey;
        const char* pValue;
    } kStrings[] = {
        {"CompanyName", ""},
        {"FileDescription", "KelvoraUpgrader MFC Application"},
        {"FileVersion", "1, 0, 0, 1"},
        {"InternalName", "KelvoraUpgrader"},
        {"LegalTrademarks", ""},
        {"ProductName", "KelvoraUpgrader Application"},
        {"ProductVersion", "1, 0, 0, 1"},
    };
    for (const auto& entry : kStrings) {
        const std::string query = std::string("\\StringFileInfo\\040904B0\\") + entry.pKey;
        char* pValue = nullptr;
        if (!VerQueryValueA(info.data(), query.c_str(), reinterpret_cast<void**>(&pValue), &len)) {
            Fail("string %s missing", entry.pKey);
        }
        const std::string value = pValue != nullptr ? std::string(pValue) : std::string();
        if (value != entry.pValue) {
            Fail("%s is %s, expected %s", entry.pKey, Show(value).c_str(), Show(entry.pValue).c_str());
        }
    }
}

const struct {
    const char* pName;
    void (*pRun)(const std::vector<std::string>& args);
    std::size_t minArgs;
} kCases[] = {
    {"ports", &CasePorts, 1},               // ports NAME...
    {"no-port", &CaseNoPort, 0},            // no-port [NAME]
    {"keys", &CaseKeys, 2},                 // keys enter|esc|tab-enter EXE
    {"buttons", &CaseButtons, 0},           // buttons
    {"download", &CaseDownload, 3},         // download IMAGE LENGTH SHOT_REQUEST
    {"refuse", &CaseRefuse, 1},             // refuse IMAGE
    {"timeout", &CaseTimeout, 2},           // timeout PORT_INDEX IMAGE
    {"close", &CaseCloseDuringRun, 1},      // close IMAGE
    {"close-modal", &CaseCloseInModal, 2},  // close-modal chooser|prompt IMAGE
    {"version", &CaseVersion, 1},           // version EXE
};

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: ui_driver CASE [ARGS...]\n");
        return 2;
    }
    g_case = argv[1];
    const std::vector<std::string> args(argv + 2, argv + argc);
    for (const auto& entry : kCases) {
        if (g_case == entry.pName) {
            if (args.size() < entry.minArgs) {
                Fail("needs %zu arguments", entry.minArgs);
            }
            entry.pRun(args);
            std::printf("ok %s\n", g_case.c_str());
            return 0;
        }
    }
    std::fprintf(stderr, "ui_driver: unknown case %s\n", g_case.c_str());
    return 2;
}
