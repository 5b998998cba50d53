// prometheus_text - the rules of the Prometheus text format that a metrics
// file must follow, as a checker for the tests
#pragma once

#include <string>
#include <vector>

// ExpositionProblems - every broken rule, empty when the text follows them
// all: "\n" line ends including the last, one HELP and one TYPE per metric
// ahead of its samples, each metric's samples in one group, no timestamps,
// names with the "velmora_" prefix, counters ending in "_total", histogram
// buckets in increasing "le" order ending with "+Inf" equal to "_count",
// and "_sum" and "_count" for every histogram.
std::vector<std::string> ExpositionProblems(const std::string& text);
