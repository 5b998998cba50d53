// headers - the verdict header text of a rating and the ADDHEADER reply
//
// PrintResult      answer the request with the headers of its rating
// BuildHeaderText  the header text of a rating (pure)
// ScoreBarLength   the number of X in the score bar
//
// Called by every scanning thread at once; nothing shared is changed.  The
// reply is built in a buffer that stays with its thread and goes out whole
// through the output channel.
#pragma once

#include <string>
#include <vector>

#include "config/settings.h"
#include "protocol/request.h"

void PrintResult(FileRequest& request, int rating, const Settings& settings);
// BuildHeaderText - into text (replaced).
void BuildHeaderText(const Settings& settings, int rating, std::string& text);
std::string BuildHeaderText(const Settings& settings, int rating);
int ScoreBarLength(const std::vector<int>& scoreRange, int rating);
