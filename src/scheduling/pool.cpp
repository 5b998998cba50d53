#include "scheduling/pool.h"

#include <signal.h>

#include <algorithm>
#include <cstring>
#include <mutex>

#include "base/output.h"

namespace {

constexpr size_t kMinimumStackSize = 1048576;
// Room for the crash handler when the crash is a stack overflow.
constexpr size_t kAlternateStackSize = 65536;

thread_local Worker* currentWorker = nullptr;

struct ThreadStart {
    ScanningPool* pool;
    std::shared_ptr<Worker> worker;
};

}  // namespace

ScanningPool::ScanningPool(RequestHandler requestHandler) : handler(std::move(requestHandler)) {}

Worker* ScanningPool::WorkerOfThisThread() { return currentWorker; }

bool ScanningPool::EnqueueFile(std::string_view id, std::string_view path)
{
    // A NUL would end the record early; the request line cannot hold one.
    // FileRequest::Assign cuts overlong ids and paths when the record is taken.
    id = id.substr(0, id.find('\0'));
    path = path.substr(0, path.find('\0'));
    bool wake;
    {
        std::lock_guard lock(mutex);
        try {
            // Drop the records already taken once they are the larger part,
            // so a queue that never runs empty does not grow for ever.
            if (head > 0 && head >= pending.size() - head) {
                pending.erase(0, head);
                head = 0;
            }
            pending.reserve(pending.size() + id.size() + path.size() + 2);
        } catch (const std::bad_alloc&) {
            return false;
        }
        pending.append(id).push_back('\0');
        pending.append(path).push_back('\0');
        queued++;
        wake = idleThreads > 0 && !paused;
    }
    if (wake)
        wakeup.notify_one();
    return true;
}

bool ScanningPool::PopRequest(FileRequest& into)
{
    if (paused || queued == 0)
        return false;
    const char* id = pending.data() + head;
    const size_t idLength = strlen(id);
    const char* path = id + idLength + 1;
    const size_t pathLength = strlen(path);
    into.Assign(std::string_view(id, idLength), std::string_view(path, pathLength));
    head += idLength + pathLength + 2;
    if (--queued == 0) {
        pending.clear();
        head = 0;
    }
    return true;
}

void* ScanningPool::ThreadMain(void* argument)
{
    std::unique_ptr<ThreadStart> start(static_cast<ThreadStart*>(argument));
    const std::shared_ptr<Worker> worker = std::move(start->worker);
    ScanningPool* pool = start->pool;
    start.reset();
    // The alternate stack stays with the thread for good: a crashed thread is
    // parked on it and never returns.
    const auto alternateStack = std::make_unique<char[]>(kAlternateStackSize);
    stack_t stack{};
    stack.ss_sp = alternateStack.get();
    stack.ss_size = kAlternateStackSize;
    sigaltstack(&stack, nullptr);
    currentWorker = worker.get();
    pool->Run(worker);
    stack.ss_flags = SS_DISABLE;
    sigaltstack(&stack, nullptr);
    return nullptr;
}

void ScanningPool::Run(const std::shared_ptr<Worker>& worker)
{
    Worker& me = *worker;
    DebugMsg("Thread#%d started\n", me.number);
    std::unique_lock lock(mutex);
    for (;;) {
        if (me.stopRequest || me.writtenOff)
            break;
        if (!PopRequest(me.request)) {
            idleThreads++;
            wakeup.wait(lock, [&] { return me.stopRequest || me.writtenOff || (!paused && queued > 0); });
            idleThreads--;
            continue;
        }
        me.busy = true;
        me.scanStart = MonotonicSeconds();
        lock.unlock();
        DebugMsg("Thread#%d scanning: %s %s\n", me.number, me.request.Id(), me.request.Path());
        handler(me.request);
        lock.lock();
        me.busy = false;
    }
    std::erase(counted, worker);
    std::erase(living, worker);
    lock.unlock();
    wakeup.notify_all();
    DebugMsg("Thread#%d ended\n", me.number);
}

bool ScanningPool::StartWorker(int slot)
{
    auto worker = std::make_shared<Worker>();
    worker->number = slot;
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    size_t stackSize = 0;
    pthread_attr_getstacksize(&attributes, &stackSize);
    if (stackSize < kMinimumStackSize)
        pthread_attr_setstacksize(&attributes, kMinimumStackSize);
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    auto start = std::make_unique<ThreadStart>(ThreadStart{this, worker});
    pthread_t thread;
    const int error = pthread_create(&thread, &attributes, ThreadMain, start.get());
    pthread_attr_destroy(&attributes);
    if (error != 0) {
        PrintMsg("* FAILURE Unable to launch thread #%d, errCode=%d\n", slot, error);
        return false;
    }
    start.release();  // the new thread owns it now
    slots[slot] = worker;
    living.push_back(worker);
    counted.push_back(std::move(worker));
    return true;
}

bool ScanningPool::StartScanningThreads(int count)
{
    count = std::clamp(count, 0, kPoolSlots);
    bool started = true;
    {
        std::lock_guard lock(mutex);
        wanted = count;
        for (int i = 0; i < kPoolSlots; i++) {
            std::shared_ptr<Worker>& slot = slots[i];
            if (i >= count) {
                // Above the new count: the thread ends at its next idle moment
                // and is counted as running until then.
                if (slot)
                    slot->stopRequest = true;
                slot.reset();
                continue;
            }
            // A thread still busy from before a stop keeps its stop request;
            // the slot gets a thread that takes requests now.
            if ((!slot || slot->stopRequest || slot->writtenOff) && started)
                started = StartWorker(i);
        }
    }
    wakeup.notify_all();
    return started;
}

void ScanningPool::StopScanningThreads()
{
    std::unique_lock lock(mutex);
    for (const std::shared_ptr<Worker>& worker : counted)
        worker->stopRequest = true;
    lock.unlock();
    wakeup.notify_all();
    lock.lock();
    // Give each thread up to a second to end; a stuck one is not waited for longer.
    const std::vector<std::shared_ptr<Worker>> stopping = counted;
    for (const std::shared_ptr<Worker>& worker : stopping)
        wakeup.wait_for(lock, std::chrono::seconds(1), [&] {
            return std::find(counted.begin(), counted.end(), worker) == counted.end();
        });
}

void ScanningPool::PauseTaking()
{
    std::lock_guard lock(mutex);
    paused = true;
}

void ScanningPool::ResumeTaking()
{
    {
        std::lock_guard lock(mutex);
        paused = false;
    }
    wakeup.notify_all();
}

void ScanningPool::WaitForThreads()
{
    PrintMsg("* SpamAssassin plugin shutdown sequence initiated\n");
    for (int round = 0; round < 60; round++) {
        const int active = CountActiveThreads();
        if (active == 0)
            break;
        PrintMsg("* Waiting for %d thread(s) to finish\n", active);
        xSleep(1);
    }
}

int ScanningPool::CountActiveThreads()
{
    std::lock_guard lock(mutex);
    return static_cast<int>(std::count_if(counted.begin(), counted.end(), [](const auto& w) { return w->busy; }));
}

void ScanningPool::ForEachRunningScan(const std::function<bool(Worker& worker)>& visit)
{
    std::lock_guard lock(mutex);
    std::vector<std::shared_ptr<Worker>> givenUp;
    for (const std::shared_ptr<Worker>& worker : counted)
        if (worker->busy && visit(*worker))
            givenUp.push_back(worker);
    for (const std::shared_ptr<Worker>& worker : givenUp) {
        worker->writtenOff = true;
        std::erase(counted, worker);
        if (slots[worker->number] == worker)
            slots[worker->number].reset();
    }
}

void ScanningPool::WriteOffWorker(Worker& worker, bool replace)
{
    {
        std::lock_guard lock(mutex);
        worker.writtenOff = true;
        std::erase_if(counted, [&](const auto& w) { return w.get() == &worker; });
        const int slot = worker.number;
        if (slots[slot].get() == &worker) {
            slots[slot].reset();
            if (replace && slot < wanted)
                (void)StartWorker(slot);  // a slot left empty runs one thread short until the next reload
        }
    }
    wakeup.notify_all();
}

int ScanningPool::QueueLength()
{
    std::lock_guard lock(mutex);
    return static_cast<int>(queued);
}

std::vector<std::string> ScanningPool::DropQueued()
{
    std::vector<std::string> ids;
    std::lock_guard lock(mutex);
    for (size_t at = head; queued > 0; queued--) {
        const char* id = pending.data() + at;
        const size_t idLength = strlen(id);
        const size_t pathLength = strlen(id + idLength + 1);
        // The id as the request would carry it, cut to its field.
        ids.emplace_back(id, std::min<size_t>(idLength, kRequestIdSize - 1));
        at += idLength + pathLength + 2;
    }
    pending.clear();
    head = 0;
    return ids;
}

void ScanningPool::ForEachHeldRequest(const std::function<void(FileRequest& request)>& visit)
{
    std::lock_guard lock(mutex);
    for (const std::shared_ptr<Worker>& worker : living)
        if (worker->busy)
            visit(worker->request);
}
