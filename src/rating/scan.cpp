#include "rating/scan.h"

#include "rating/headers.h"
#include "stats/record.h"

// placeholder until the message scan exists: every request gets the rating 0
void ScanFile(queueItem_t& item)
{
    PrintResult(item, 0);
    CountHandledRequest(0);
}
bool ReadFile2(const char*, std::string&, unsigned long&) { return false; }
unsigned long FindEnvelopeLength(const char*) { return 0; }
void ParseEnvelope(const char*, int) {}
int RatingOf(double, double) { return 0; }
void BuildCheckRequest(std::string&, const char*) {}
