#include "scheduling/controller.h"

#include <pthread.h>

#include <string>
#include <vector>

#include "config/settings.h"
#include "protocol/output.h"
#include "protocol/process.h"
#include "reports/daily.h"
#include "reports/events.h"
#include "scheduling/queue.h"
#include "stats/record.h"

int MaxScanningTime = 1200;

namespace {

struct GivenUpScan {
    int slot;
    std::string requestId;
    std::string fileName;
};

void* ControllerThreadStart(void*)
{
    ControllerThreadProc();
    return nullptr;
}

}  // namespace

void LaunchControllerThread()
{
    pthread_t thread;
    int error = pthread_create(&thread, nullptr, ControllerThreadStart, nullptr);
    if (error != 0) {
        PrintMsg("FAILURE Unable to launch a thread, errCode=%d\n", error);
        ExitProcess(1);
    }
    pthread_detach(thread);
}

void ControllerThreadProc()
{
    DebugMsg("Control Thread started\n");
    while (!quitRequest.load()) {
        ControllerPass(Now());
        xSleep(1);
    }
    DebugMsg("Control Thread ended\n");
}

void ControllerPass(time_t now)
{
    CleanQueue();

    // The answer is claimed while queueMutex keeps the entry alive; a scan
    // that answered first is not given up, and one that answers later writes
    // its result with the id "*".
    std::vector<GivenUpScan> givenUp;
    ForEachRunningScan([&](int slot, queueItem_t& item) {
        if (now > threadsPool[slot].scanStart.load() + MaxScanningTime && ClaimAnswer(item))
            givenUp.push_back({slot, item.requestId, item.fileName});
    });
    for (const GivenUpScan& scan : givenUp) {
        PrintMsg("* timed-out while scanning %s, we'll quit\n", scan.fileName.c_str());
        EventReportProblem("Timed-out (>%d sec) while scanning %s\n", MaxScanningTime, scan.fileName.c_str());
        PrintMsg("%s REJECTED timed-out, we'll try again later\n", scan.requestId.c_str());
        if (CurrentSettings()->onProblemMode == OnProblemQuit) {
            PrintMsg("* will quit immediately\n");
            ExitProcess(1);
        }
        quitRequest.store(true);
        WriteOffSlot(scan.slot);
    }

    SampleConcurrency(CountActiveThreads());
    GenerateDailyReport(false);
}

void WaitForThreads()
{
    PrintMsg("* SpamAssassin plugin shutdown sequence initiated\n");
    for (int round = 0; round < 60; round++) {
        int active = CountActiveThreads();
        if (active == 0)
            break;
        PrintMsg("* Waiting for %d thread(s) to finish\n", active);
        xSleep(1);
        CleanQueue();
    }
}
