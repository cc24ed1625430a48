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
    // shown is called for each event; missed when events were logged that
    // the log no longer held when they were asked for (the front end then
    // shows the state from the snapshots). Neither may call Pump.
    StationFeed(const Station& station, std::function<void(const LoggedEvent&)> shown,
                std::function<void()> missed = nullptr);
    // Hands on what is still to come, then stops following.
    ~StationFeed();
    StationFeed(const StationFeed&) = delete;
    StationFeed& operator=(const StationFeed&) = delete;

    // Hands on, on the caller's thread, every event logged so far that was
    // not yet handed on.
    void Pump();

private:
    void Follow();

    const Station& m_station;
    const std::function<void(const LoggedEvent&)> m_shown;
    const std::function<void()> m_missed;

    std::mutex m_pumpMutex;  // one pump at a time; guards m_last
    std::uint64_t m_last = 0;

    std::mutex m_wakeMutex;  // guards what follows
    std::condition_variable m_wake;
    bool m_bNews = false;
    bool m_bEnd = false;

    unsigned m_subscription = 0;
    std::thread m_thread;
};
