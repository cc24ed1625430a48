// What the command line needs from the platform: is a stream a terminal, the
// operator's Ctrl-C, a wait for Enter that Ctrl-C can end, the system's reason
// why a file cannot be opened, and the process's own resource use.
// terminal_posix.cpp and terminal_win32.cpp implement it; the build picks one.
#pragma once

#include <functional>
#include <string>

bool StdinIsTerminal();
bool StdoutIsTerminal();
// Lets stdout take the cursor and erase sequences a redrawn display uses;
// false when the console cannot.
bool TerminalEnableRedraw();
// Columns of the terminal on stdout; 80 when it cannot be told.
int TerminalColumns();
// Lines of the terminal on stdout; 24 when it cannot be told.
int TerminalRows();

// Installs the handler for Ctrl-C and for the other requests to end that
// arrive the same way: SIGTERM and SIGHUP (a closed terminal) on POSIX,
// Ctrl-Break and the console's close, log-off and shutdown events on
// Windows. The first raises the flag that InterruptRequested reports: the
// runs send their cancel frames, the records are written and the ports
// closed before the process exits. A later one only shortens the wait for
// the workers (InterruptRepeated); none ends the process outright. On POSIX
// it also lets a write beyond the file-size limit fail (EFBIG) instead of
// ending the process (SIGXFSZ), so a record that does not fit is reported.
void InterruptInstall();
// Written by the signal or console-control handler, read by the waiting
// threads.
bool InterruptRequested();
// A second Ctrl-C or signal came.
bool InterruptRepeated();
// The exit status of an interrupted run, as a shell gives it for the first
// signal: 130 for SIGINT, 143 for SIGTERM, 129 for SIGHUP; 130 on Windows.
int InterruptExitStatus();

enum class EnterWait { Pressed, Stopped };
// Waits until the operator presses Enter on stdin or stop() gives true
// (asked about every few tens of milliseconds). End of input counts as Enter.
// What was typed before the wait began is discarded, so that an Enter typed
// ahead never answers a prompt the operator has not read.
EnterWait WaitForEnter(const std::function<bool()>& stop);

// The text of the last C runtime error (errno).
std::string LastErrorText();

// One line of the process's own resource use: open descriptors and resident
// memory on Linux, handles and working set on Windows.
std::string ProcessResourcesText();

// Open descriptors (handles on Windows) and live threads of this process,
// for the resource report that tests and soaks read.
int ProcessDescriptorCount();
int ProcessThreadCount();
