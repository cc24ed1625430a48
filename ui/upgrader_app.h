// The application object: runs the main dialog modally as the main window
// and ends the program when the dialog ends.
#pragma once

#include "framework/framework.h"

class CUpgraderApp : public CWinApp {
public:
    BOOL InitInstance() override;
};
