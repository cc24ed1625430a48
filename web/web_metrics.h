// What the station's /metrics tells a Prometheus scraper: downloads by port
// and end, bytes sent, transfer times, which slots are running. Built from
// the station's own counters when scraped; the scraper does the aggregating.
#pragma once

#include <string>

#include "station/station.h"

struct WebSettings;

// /metrics in the text format 0.0.4, from the station's counters now.
std::string MetricsText(const Station& station, const WebSettings& settings);
