// headers - the verdict header text of a rating and the ADDHEADER reply
//
// PrintResult      count the rating in the histogram and answer the request
//                  with its headers
// BuildHeaderText  the header text of a rating (pure)
// ScoreBarLength   the number of X in the score bar
//
// Called by every scanning thread at once; the only shared state changed is
// the histogram, under reportMutex.  The reply goes out whole through the
// output channel.
#pragma once

#include <string>
#include <vector>

#include "config/settings.h"
#include "protocol/request.h"

// PrintResult - the scan passes the settings snapshot it started with; the
// short form reads the one in force.
void PrintResult(queueItem_t& item, int rating, const Settings& settings);
void PrintResult(queueItem_t& item, int rating);
std::string BuildHeaderText(const Settings& settings, int rating);
int ScoreBarLength(const std::vector<int>& scoreRange, int rating);
