// A front end's reading of the station's event log: every event, in the
// order of its id, handed to the front end's function on a thread of the
// feed's own as soon as it is logged. A front end that prints a line of its
// own first calls Pump, so that what the station logged before that line is
// shown before it.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>

#include "station/station.h"

class StationFeed {
public:
    StationFeed() = default;
    ~StationFeed() { Stop(); }
    StationFeed(const StationFeed&) = delete;
    StationFeed& operator=(const StationFeed&) = delete;

    // Follows the station from its first event on. shown is called for each
    // event; missed when events were logged that the log no longer held
    // when they were asked for (the front end then shows the state from the
    // snapshots). Neither may call Pump. Once only.
    void Start(const Station& station, std::function<void(const LoggedEvent&)> shown,
               std::function<void()> missed = nullptr);
    // Hands on what is still to come and stops following; before the
    // station goes.
    void Stop();
    // Hands on, on the caller's thread, every event logged so far that was
    // not yet handed on; nothing when not following.
    void Pump();

private:
    void Follow();

    const Station* m_pStation = nullptr;
    std::function<void(const LoggedEvent&)> m_shown;
    std::function<void()> m_missed;

    std::mutex m_pumpMutex;  // one pump at a time; guards m_last
    std::uint64_t m_last = 0;

    std::mutex m_wakeMutex;  // guards what follows
    std::condition_variable m_wake;
    bool m_bNews = false;
    bool m_bEnd = false;

    unsigned m_subscription = 0;
    std::thread m_thread;
};
