#include "scheduling/queue.h"

#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <list>
#include <memory>
#include <new>

#include "config/settings.h"
#include "protocol/output.h"
#include "protocol/process.h"
#include "protocol/text.h"
#include "rating/scan.h"

threadPoolItem threadsPool[kPoolSlots];
PluginMutex queueMutex;
PluginMutex theScanMutex;

namespace {

constexpr size_t kMinimumStackSize = 1048576;

// The queue holds waiting, running and finished entries in arrival order.
// Entries are claimed strictly in order, so the taken ones form a prefix and
// nextWaiting (the first untaken entry) spares each claim a walk over them.
Immortal<std::list<queueItem_t>> fileQueue;       // guarded by queueMutex
auto nextWaiting = fileQueue->end();              // guarded by queueMutex

// Idle threads sleep on theScanCond until wakeSeq moves (a request arrived,
// taking resumed) or their stop is requested; a thread notes wakeSeq before it
// looks at the queue, so a request queued meanwhile is never slept through.
Immortal<std::condition_variable_any> theScanCond;
uint64_t wakeSeq = 0;                             // guarded by theScanMutex

// A slot written off (stuck or crashed scan) may get a new thread at the next
// reload while the old one still runs; the generation tells the old thread
// that the slot is no longer its own.
std::atomic<uint64_t> slotGeneration[kPoolSlots];

void WakeThreads(bool all)
{
    {
        PluginLock lock(theScanMutex);
        wakeSeq++;
    }
    if (all)
        theScanCond->notify_all();
    else
        theScanCond->notify_one();
}

uint64_t CurrentWakeSeq()
{
    PluginLock lock(theScanMutex);
    return wakeSeq;
}

queueItem_t* ClaimNextRequest()
{
    PluginLock lock(queueMutex);
    if (enqueuePause.load() || nextWaiting == fileQueue->end())
        return nullptr;
    queueItem_t* item = &*nextWaiting;
    item->taken = true;
    ++nextWaiting;
    return item;
}

void LetGo(threadPoolItem& slot, uint64_t generation, queueItem_t* item)
{
    PluginLock lock(queueMutex);
    if (slotGeneration[slot.threadNumber].load() == generation)
        slot.currentItem.store(nullptr);
    item->done = true;
}

struct ThreadStart {
    threadPoolItem* slot;
    uint64_t generation;
};

void* threadProc(void* argument)
{
    const std::unique_ptr<ThreadStart> owned(static_cast<ThreadStart*>(argument));
    const ThreadStart start = *owned;
    threadPoolItem& slot = *start.slot;
    const int number = slot.threadNumber;
    auto ownsSlot = [&] { return slotGeneration[number].load() == start.generation; };

    DebugMsg("Thread#%d started\n", number);
    for (;;) {
        if (!ownsSlot())
            return nullptr;
        slot.currentItem.store(nullptr);
        slot.busy.store(true);
        const uint64_t seen = CurrentWakeSeq();
        if (queueItem_t* item = ClaimNextRequest()) {
            slot.scanStart.store(Now());
            slot.currentItem.store(item);
            DebugMsg("Thread#%d scanning: %s %s\n", number, item->requestId, item->fileName);
            ScanFile(*item);
            LetGo(slot, start.generation, item);
            continue;
        }
        slot.busy.store(false);
        DebugMsg("Thread#%d free\n", number);
        {
            std::unique_lock<PluginMutex> lock(theScanMutex);
            theScanCond->wait(lock, [&] { return wakeSeq != seen || slot.stopRequest.load() || !ownsSlot(); });
        }
        if (slot.stopRequest.load() || !ownsSlot())
            break;
    }
    if (ownsSlot())
        slot.alive.store(false);
    DebugMsg("Thread#%d ended\n", number);
    return nullptr;
}

}  // namespace

void EnqueueFile(const char* requestId, const char* path)
{
    if (strlen(requestId) >= static_cast<size_t>(kRequestIdSize)) {
        PrintMsg("%s FAILURE Request id too long, at most %d characters\n", requestId, kRequestIdSize - 1);
        return;
    }
    if (strlen(path) >= static_cast<size_t>(kFileNameSize)) {
        PrintMsg("%s FAILURE Unable to access file: %s, errno=%d\n", requestId, path, ENAMETOOLONG);
        return;
    }
    if (access(path, F_OK) != 0) {
        PrintMsg("%s FAILURE Unable to access file: %s, errno=%d\n", requestId, path, errno);
        return;
    }
    try {
        PluginLock lock(queueMutex);
        queueItem_t& item = fileQueue->emplace_back();
        strnncpy(item.requestId, requestId, kRequestIdSize);
        strnncpy(item.fileName, path, kFileNameSize);
        if (nextWaiting == fileQueue->end())
            nextWaiting = std::prev(fileQueue->end());
    } catch (const std::bad_alloc&) {
        PrintMsg("%s FAILURE malloc error, errno=%d\n", requestId, ENOMEM);
        return;
    }
    WakeThreads(false);
    DebugMsg("enqueued %s %s\n", requestId, path);
}

void StartScanningThreads()
{
    const int count = CurrentSettings()->MaxScanningThreads;
    for (int i = 0; i < count && i < kPoolSlots; i++) {
        threadPoolItem& slot = threadsPool[i];
        if (slot.alive.load())
            continue;
        slot.alive.store(true);
        slot.stopRequest.store(false);
        slot.busy.store(false);
        slot.currentItem.store(nullptr);
        slot.threadNumber = i;
        const uint64_t generation = slotGeneration[i].fetch_add(1) + 1;

        pthread_attr_t attributes;
        pthread_attr_init(&attributes);
        size_t stackSize = 0;
        pthread_attr_getstacksize(&attributes, &stackSize);
        if (stackSize < kMinimumStackSize)
            pthread_attr_setstacksize(&attributes, kMinimumStackSize);
        pthread_t thread;
        auto start = std::make_unique<ThreadStart>(ThreadStart{&slot, generation});
        int error = pthread_create(&thread, &attributes, threadProc, start.get());
        pthread_attr_destroy(&attributes);
        if (error == 0)
            start.release();  // the new thread owns it now
        else {
            PrintMsg("* FAILURE Unable to launch thread #%d, errCode=%d\n", i, error);
            ExitProcess(1);
        }
        slot.thread.store(thread);
        pthread_detach(thread);
    }
}

void StopScanningThreads()
{
    const int count = CurrentSettings()->MaxScanningThreads;
    for (int i = 0; i < count && i < kPoolSlots; i++)
        if (threadsPool[i].alive.load())
            threadsPool[i].stopRequest.store(true);
    WakeThreads(true);
    // Give each thread up to a second to end; a stuck one is not waited for longer.
    for (int i = 0; i < count && i < kPoolSlots; i++) {
        if (!threadsPool[i].alive.load())
            continue;
        WakeThreads(false);
        for (int wait = 0; wait < 100 && threadsPool[i].alive.load(); wait++)
            usleep(10000);
    }
}

void ResumeTaking()
{
    enqueuePause.store(false);
    WakeThreads(true);
}

void CleanQueue()
{
    PluginLock lock(queueMutex);
    for (auto it = fileQueue->begin(); it != fileQueue->end();) {
        if (it->done) {
            if (it == nextWaiting)
                ++nextWaiting;
            it = fileQueue->erase(it);
        } else {
            ++it;
        }
    }
}

int CountActiveThreads()
{
    const int count = CurrentSettings()->MaxScanningThreads;
    int active = 0;
    for (int i = 0; i < count && i < kPoolSlots; i++)
        if (threadsPool[i].alive.load() && threadsPool[i].busy.load())
            active++;
    return active;
}

int FindSlotOfThread(pthread_t thread)
{
    for (int i = 0; i < kPoolSlots; i++)
        if (threadsPool[i].alive.load() && pthread_equal(threadsPool[i].thread.load(), thread))
            return i;
    return -1;
}

void ForEachRunningScan(const std::function<void(int slot, queueItem_t& item)>& visit)
{
    const int count = CurrentSettings()->MaxScanningThreads;
    PluginLock lock(queueMutex);
    for (int i = 0; i < count && i < kPoolSlots; i++) {
        threadPoolItem& slot = threadsPool[i];
        queueItem_t* item = slot.currentItem.load();
        if (slot.alive.load() && slot.busy.load() && item != nullptr)
            visit(i, *item);
    }
}

void WriteOffSlot(int slot)
{
    {
        PluginLock lock(queueMutex);
        slotGeneration[slot].fetch_add(1);
        threadsPool[slot].alive.store(false);
        threadsPool[slot].currentItem.store(nullptr);
    }
    WakeThreads(true);
}

void FinishRequest(queueItem_t* item)
{
    PluginLock lock(queueMutex);
    item->done = true;
}

int QueueLength()
{
    PluginLock lock(queueMutex);
    return static_cast<int>(fileQueue->size());
}
