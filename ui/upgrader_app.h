// The application object: runs the main dialog modally as the main window
// and ends the program when the dialog ends. Its map sends the help command
// (F1) to the framework's help box.
#pragma once

#include "framework/framework.h"

class CUpgraderApp : public CWinApp {
public:
    BOOL InitInstance() override;

    DECLARE_MESSAGE_MAP()
};
