#include "station/station_feed.h"

#include <vector>

void StationFeed::Start(const Station& station, std::function<void(const LoggedEvent&)> shown,
                        std::function<void()> missed) {
    {
        std::lock_guard<std::mutex> lock(m_pumpMutex);
        m_pStation = &station;
        m_shown = std::move(shown);
        m_missed = std::move(missed);
    }
    // From the station's first event on: a feed set up after some were
    // logged shows those first.
    m_subscription = station.Subscribe([this] {
        std::lock_guard<std::mutex> lock(m_wakeMutex);
        m_bNews = true;
        m_wake.notify_one();
    });
    m_thread = std::thread(&StationFeed::Follow, this);
}

void StationFeed::Stop() {
    if (!m_thread.joinable()) {
        return;
    }
    m_pStation->Unsubscribe(m_subscription);
    {
        std::lock_guard<std::mutex> lock(m_wakeMutex);
        m_bEnd = true;
    }
    m_wake.notify_one();
    m_thread.join();
    Pump();
    std::lock_guard<std::mutex> lock(m_pumpMutex);
    m_pStation = nullptr;
}

void StationFeed::Pump() {
    std::lock_guard<std::mutex> lock(m_pumpMutex);
    if (m_pStation == nullptr) {
        return;
    }
    bool bMissed = false;
    const std::vector<LoggedEvent> events = m_pStation->Since(m_last, bMissed);
    // Id 0 is before the first event: only events gone from the log are missed.
    if (bMissed && m_last != 0 && m_missed) {
        m_missed();
    }
    for (const LoggedEvent& event : events) {
        m_shown(event);
        m_last = event.id;
    }
}

void StationFeed::Follow() {
    std::unique_lock<std::mutex> lock(m_wakeMutex);
    for (;;) {
        m_wake.wait(lock, [this] { return m_bNews || m_bEnd; });
        if (m_bEnd) {
            return;
        }
        m_bNews = false;
        lock.unlock();
        Pump();
        lock.lock();
    }
}
