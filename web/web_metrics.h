// What the station's /metrics tells a Prometheus scraper: downloads by port
// and end, bytes sent, transfer times, which slots are running. Counters only
// grow; the scraper does the aggregating.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <utility>

#include "station/station.h"

struct WebSettings;

// Counts ended runs as the station reports them (from the slots' threads);
// the web server's thread renders the text.
class WebMetrics : public StationListener {
public:
    void RunEnded(const SlotSnapshot& slot) override;

    // The text format 0.0.4.
    std::string Text(const Station& station, const WebSettings& settings) const;

    // Upper bounds of the transfer time histogram's buckets, in seconds.
    static constexpr std::array<double, 11> kBuckets = {5, 10, 30, 60, 120, 300, 600, 900, 1200, 1800, 3600};

private:
    mutable std::mutex m_mutex;  // guards what follows; written by slot threads, read by the server
    std::map<std::pair<unsigned, std::string>, std::uint64_t> m_downloads;  // (slot, end) -> runs
    std::map<unsigned, std::uint64_t> m_bytesEnded;                          // slot -> bytes of ended runs
    std::map<unsigned, unsigned> m_lastEndedRun;                             // slot -> run counted last
    std::array<std::uint64_t, kBuckets.size()> m_bucketCounts{};
    std::uint64_t m_transfers = 0;
    double m_transferSeconds = 0;
};
