// Several ports from one command line: one download per port, all at the
// same time, with one image read once and shared by every run.
#pragma once

#include <string>
#include <vector>

#include "cli/options.h"
#include "cli/output_queue.h"

// Opens every port and checks the image (and the record file) before
// anything is sent; runs options.repeat rounds. Gives the exit status.
int BatchDownload(const Options& options, const std::vector<std::string>& ports, OutputQueue& out);
