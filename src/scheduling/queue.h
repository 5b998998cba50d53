// queue - the queue of FILE requests and the pool of scanning threads
//
// EnqueueFile          check and queue a request (main thread)
// StartScanningThreads start a thread for every empty slot below MaxScanningThreads
// StopScanningThreads  ask every pool thread to end and wake them
// ResumeTaking         clear enqueuePause and wake the idle threads
// CleanQueue           free finished entries
// CountActiveThreads   slots that are alive and busy
// ForEachRunningScan   visit the running scans under queueMutex (controller)
// FindSlotOfThread     the pool slot of a thread, or -1
//
// queueMutex guards the list and each entry's claim; it is held only for a
// walk, an append or a clean-up.  Slot fields are atomics that their own
// thread writes and the controller and the crash reaction read.
#pragma once

#include <pthread.h>

#include <atomic>
#include <ctime>
#include <functional>

#include "protocol/request.h"
#include "protocol/system.h"

constexpr int kPoolSlots = 100;

struct threadPoolItem {
    std::atomic<pthread_t> thread{};
    std::atomic<bool> alive{false};
    std::atomic<bool> stopRequest{false};
    std::atomic<bool> busy{false};
    std::atomic<time_t> scanStart{0};
    std::atomic<queueItem_t*> currentItem{nullptr};
    int threadNumber = 0;
};

extern threadPoolItem threadsPool[kPoolSlots];
extern PluginMutex queueMutex;
extern PluginMutex theScanMutex;

void EnqueueFile(const char* requestId, const char* path);
void StartScanningThreads();
void StopScanningThreads();
void ResumeTaking();
void CleanQueue();
int CountActiveThreads();
int FindSlotOfThread(pthread_t thread);

// ForEachRunningScan - call visit(slot, item) for every alive, busy slot with
// a current request, while queueMutex keeps the entries from being freed.
void ForEachRunningScan(const std::function<void(int slot, queueItem_t& item)>& visit);

// FinishRequest - mark an entry done so that CleanQueue frees it.
void FinishRequest(queueItem_t* item);

// WriteOffSlot - the slot's thread is given up (stuck or crashed): the slot
// counts as empty and its thread, should it ever go on, leaves it alone.
void WriteOffSlot(int slot);

// QueueLength - entries in the list (waiting, running and finished).
int QueueLength();
