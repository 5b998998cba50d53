// pool - the queue of FILE requests and the pool of scanning threads
//
// ScanningPool::EnqueueFile          queue a request (main thread)
// ScanningPool::StartScanningThreads bring the pool to exactly n threads that
//                                    take requests; false when a thread
//                                    cannot be created
// ScanningPool::StopScanningThreads  ask every thread to end; wait up to a
//                                    second for each
// ScanningPool::PauseTaking, ResumeTaking  no request is taken while paused
// ScanningPool::WaitForThreads       the shutdown and reload wait: at most 60
//                                    one-second rounds for running scans
// ScanningPool::CountActiveThreads   threads running a scan
// ScanningPool::ForEachRunningScan   visit the running scans, writing off
//                                    those the visitor gives up (the watchdog)
// ScanningPool::WriteOffWorker       give a worker's thread up (stuck or
//                                    crashed); with replace, its slot gets a
//                                    new thread at once
// ScanningPool::WorkerOfThisThread   the worker that the calling thread runs
// ScanningPool::QueueLength          requests waiting
// ScanningPool::DropQueued           the ids of the requests waiting, which
//                                    leave the queue (the shutdown rejects them)
// ScanningPool::ForEachHeldRequest   visit the request of every thread that
//                                    holds one, written-off threads included
//                                    (the shutdown answers what is still open)
//
// The pool runs a request handler that it is given and knows nothing of what
// the handler does.  Each thread owns its Worker (shared with the pool while
// the pool counts it), so a thread that outlives its slot - a stuck scan, a
// thread still busy when a reload restarts the pool - only ever writes its
// own Worker, and a new thread in the slot has a Worker of its own.  One
// mutex and one condition variable guard the queue, the workers and the idle
// wait; an idle thread is woken only when it has something to do.
#pragma once

#include <pthread.h>

#include <condition_variable>
#include <ctime>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "base/system.h"
#include "protocol/request.h"

constexpr int kPoolSlots = 100;

// Worker - one scanning thread's state; its fields are guarded by the pool's mutex.
struct Worker {
    int number = 0;             // its slot
    bool stopRequest = false;
    bool busy = false;          // running the handler
    bool writtenOff = false;    // the pool no longer counts it
    int64_t scanStart = 0;      // monotonic seconds
    FileRequest request;        // written by its own thread while not busy
};

class ScanningPool {
public:
    using RequestHandler = std::function<void(FileRequest&)>;

    explicit ScanningPool(RequestHandler handler);
    ScanningPool(const ScanningPool&) = delete;
    ScanningPool& operator=(const ScanningPool&) = delete;

    // EnqueueFile - false when there is no room for the request (the caller answers).
    bool EnqueueFile(std::string_view id, std::string_view path);
    // StartScanningThreads - false ("* FAILURE Unable to launch thread ...")
    // when a thread cannot be created; the threads made so far run.
    bool StartScanningThreads(int count);
    void StopScanningThreads();
    void PauseTaking();
    void ResumeTaking();
    void WaitForThreads();
    int CountActiveThreads();
    // ForEachRunningScan - visit returns true to write the worker off at once,
// in the same hold of the lock (its thread then takes no further request).
void ForEachRunningScan(const std::function<bool(Worker& worker)>& visit);
    void WriteOffWorker(Worker& worker, bool replace);
    static Worker* WorkerOfThisThread();
    int QueueLength();
    std::vector<std::string> DropQueued();
    void ForEachHeldRequest(const std::function<void(FileRequest& request)>& visit);

private:
    static void* ThreadMain(void* argument);
    void Run(const std::shared_ptr<Worker>& worker);
    bool StartWorker(int slot);  // caller holds mutex
    bool PopRequest(FileRequest& into);  // caller holds mutex

    RequestHandler handler;
    GuardedMutex mutex;
    std::condition_variable_any wakeup;  // idle threads, and a stop waiting for threads to end
    // The queue: "id\0path\0" records one after another, so that a burst of
    // requests costs the length of their lines, not a fixed entry each.
    std::string pending;                 // guarded by mutex
    size_t head = 0;                      // offset of the oldest record
    size_t queued = 0;
    bool paused = false;
    int idleThreads = 0;
    int wanted = 0;                       // threads asked for by the last start
    std::shared_ptr<Worker> slots[kPoolSlots];
    std::vector<std::shared_ptr<Worker>> counted;  // every worker not written off, until its thread ends
    std::vector<std::shared_ptr<Worker>> living;   // every worker whose thread has not ended
};
