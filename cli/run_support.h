// What the single-port download, the batch and the station of the command
// line share: exit statuses, complaints on stderr, the link's diagnostic
// lines, and the wait for the workers after Ctrl-C.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "station/records.h"

constexpr int kExitCompleted = 0;
constexpr int kExitRunFailed = 1;
constexpr int kExitUsage = 2;
// Ctrl-C; SIGTERM and SIGHUP give their own status (InterruptExitStatus).
constexpr int kExitInterrupted = 130;

// "kelvora-upgrader: <text>" on stderr.
void Complain(const std::string& text);

// The serial link's diagnostic lines ("Serial open ...", "Exit Thrd[...]")
// are for whoever debugs a link: shown with --trace or --verbose only. Set by
// the main thread before any port opens.
void DiagLinesShow(bool bShow);
bool DiagLinesShown();

// While it lives, the diagnostic lines that are shown go to sink (from any
// thread), so that a view puts them between its own lines; after, they are
// dropped.
class DiagLinesTo {
public:
    explicit DiagLinesTo(std::function<void(const std::string& port, const std::string& line)> sink);
    ~DiagLinesTo();
    DiagLinesTo(const DiagLinesTo&) = delete;
    DiagLinesTo& operator=(const DiagLinesTo&) = delete;
};

// Waits, polling, until allDone() gives true. After a Ctrl-C that the
// workers do not answer within a few seconds (one stuck in a write to a line
// that no longer drains), or at once after a second Ctrl-C, calls
// closeUnder() once, to close their ports under them. The workers still
// end their runs and write their records.
void AwaitWorkers(const std::function<bool()>& allDone, const std::function<void()>& closeUnder);
