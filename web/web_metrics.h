// What the station's /metrics tells a Prometheus scraper: downloads by port
// and end, bytes sent, transfer times, which slots are running. Built from
// the station's own counters when scraped; the scraper does the aggregating.
#pragma once

#include <string>

#include "station/station.h"

struct WebSettings;

// The renderer of /metrics. It keeps no counters of its own; it is still a
// listener (that hears nothing) so that a front end may pair it with its
// view as before.
class WebMetrics : public StationListener {
public:
    // The text format 0.0.4, from the station's counters now.
    std::string Text(const Station& station, const WebSettings& settings) const;
};
