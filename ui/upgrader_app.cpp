#include "upgrader_app.h"

#include "upgrader_dlg.h"

// The one application object. It is given no name, so message boxes carry
// the executable's file name without its extension.
CUpgraderApp theApp;

BOOL CUpgraderApp::InitInstance() {
    AfxEnableControlContainer();
    Enable3dControls();
    CUpgraderDlg dlg;
    m_pMainWnd = &dlg;
    // Ending with OK or Cancel makes no difference: the program ends.
    dlg.DoModal();
    m_pMainWnd = nullptr;
    return FALSE;
}
