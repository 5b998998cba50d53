// headers - the verdict header text of a rating and the ADDHEADER reply
//
// PrintResult      count the rating and answer the request with its headers
// BuildHeaderText  the header text of a rating (pure)
// ScoreBarLength   the number of X in the score bar
#pragma once

#include <string>
#include <vector>

#include "config/settings.h"
#include "protocol/request.h"

void PrintResult(queueItem_t& item, int rating);
void PrintResult(queueItem_t& item, int rating, const Settings& settings);
std::string BuildHeaderText(const Settings& settings, int rating);
int ScoreBarLength(const std::vector<int>& scoreRange, int rating);
