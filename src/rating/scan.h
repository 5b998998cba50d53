// scan - the handling of one queued FILE request, from reading the message
// file to the reply
//
// ScanFile       read, whitelist, rate by spamd, reply, count (scanning threads)
// ReadFile2      the first 1 MiB of a file and its envelope length
// FindEnvelopeLength  where the host's envelope ends ("\n\n", else "\r\n\r\n")
// ParseEnvelope  count the 'S' source and 'R' recipients of a spam message
// RatingOf       spamd's score and threshold as a rating 0..100 (90 = threshold)
// BuildCheckRequest  the CHECK request for a message body
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "protocol/request.h"

constexpr unsigned long kReadLimit = 1048576;

void ScanFile(queueItem_t& item);

// ReadFile2 - false (errno set) when the file cannot be opened or read; text
// then holds nothing.
bool ReadFile2(const char* path, std::string& text, unsigned long& envelopeLength);

unsigned long FindEnvelopeLength(const char* text);
void ParseEnvelope(const char* text, int envelopeLength);
int RatingOf(double score, double threshold);
void BuildCheckRequest(std::string& request, const char* body);
