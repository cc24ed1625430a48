// A frame of lines kept in place at the bottom of a terminal, under the lines
// that scroll above it: the batch's rows and the station's screen stand on
// it. It draws the frame with cursor moves (up, erase below, erase each line
// before it is written), cuts it to the terminal's width and gives up
// redrawing for good when it grows taller than the terminal (it would scroll,
// and every redraw would leave a copy behind). A thread of its own redraws at
// most ten times a second, and never while stdout has not taken the last
// frame. A line for stderr is written with the frame off the screen; at the
// end the last frame stays and what follows goes below it.
//
// The view's state is guarded by Mutex(): the frame and the due test are
// called with it held, and the view holds it wherever it changes what they
// read. The output queue does every write to stdout.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "cli/output_queue.h"

class TerminalScreen {
public:
    struct Settings {
        bool bRedraw = false;        // a terminal that takes cursor movement
        bool bFollowResize = false;  // the frame fills the terminal: a resize redraws it from the top
    };
    // The frame's lines for the room the terminal has: rows and columns that
    // never wrap or scroll. A line longer than columns is cut.
    using Frame = std::function<std::vector<std::string>(std::size_t rows, std::size_t columns)>;
    // Whether the next tick redraws although nothing was marked dirty.
    using Due = std::function<bool()>;

    TerminalScreen(Settings settings, OutputQueue& out);
    ~TerminalScreen();
    TerminalScreen(const TerminalScreen&) = delete;
    TerminalScreen& operator=(const TerminalScreen&) = delete;

    std::mutex& Mutex() { return m_mutex; }

    // Without the lock.
    // Frames are drawn from here on; on a terminal the redraw thread starts.
    void Start(Frame frame, Due due);
    // Writes on stderr (write, then a flush) with the frame off the screen,
    // after stdout has taken what came before, so that no redraw erases the
    // line. A stdout that takes nothing for a while is not waited for.
    void ToStderr(const std::function<void()>& write);
    // Draws the frame a last time, stops the thread and leaves the cursor
    // below the frame. Nothing is drawn after it.
    void Finish();

    // With Mutex() held.
    // Frames are drawn: false off a terminal, and for good once a frame
    // stopped fitting (the view then tells in plain lines).
    bool Redraws() const { return m_bRedraw; }
    // Text above the frame: the frame is erased, the text written, the frame
    // drawn again below it.
    void Above(const std::string& text);
    // The frame changed: the next tick redraws it.
    void Dirty() { m_bDirty = true; }
    // The next tick comes now.
    void Wake() { m_wake.notify_all(); }
    // Erases the frame and draws it anew, now.
    void Redraw();
    // Takes the frame off the screen until Release (a prompt whose answer's
    // echo must not move it); holds nest.
    void Hold();
    void Release();
    // Since the frame was last drawn.
    std::chrono::steady_clock::duration SinceDraw() const;

private:
    void RedrawLoop();
    // With m_mutex held.
    bool SizeChanged() const;
    void Erase();
    void Draw();

    const Settings m_settings;
    OutputQueue& m_out;
    Frame m_frame;
    Due m_due;

    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_bRedraw = false;
    bool m_bDirty = false;
    bool m_bStopping = false;
    bool m_bFinished = false;
    std::size_t m_holds = 0;         // Hold and ToStderr calls that keep the frame off
    std::size_t m_drawnLines = 0;    // lines on screen above the cursor
    int m_drawnColumns = 0;          // the terminal's size at the last draw
    int m_drawnRows = 0;
    std::chrono::steady_clock::time_point m_lastDraw{};
    std::thread m_redraw;
};
