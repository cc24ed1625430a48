#include "upgrader_app.h"

#include <string>

#include "upgrader_dlg.h"

// The one application object. It is given no name, so message boxes carry
// the executable's file name without its extension.
CUpgraderApp theApp;

namespace {

// What F1 shows: the version, and where the instructions are (the packages
// put README.md beside the executable).
std::string HelpText() {
    char szPath[MAX_PATH * 4] = {};
    ::GetModuleFileNameA(nullptr, szPath, sizeof szPath);
    std::string folder(szPath);
    const std::size_t slash = folder.find_last_of("\\/");
    folder.erase(slash == std::string::npos ? 0 : slash);
    return "KelvoraUpgrader " KELVORA_VERSION "\n\nHow to use it: README.md, in this program's folder\n" + folder;
}

}  // namespace

BEGIN_MESSAGE_MAP(CUpgraderApp, CWinApp)
ON_COMMAND(ID_HELP, OnHelp)
END_MESSAGE_MAP()

BOOL CUpgraderApp::InitInstance() {
    AfxEnableControlContainer();
    Enable3dControls();
    m_strHelpText = HelpText();
    CUpgraderDlg dlg;
    m_pMainWnd = &dlg;
    // Ending with OK or Cancel makes no difference: the program ends.
    dlg.DoModal();
    m_pMainWnd = nullptr;
    return FALSE;
}
