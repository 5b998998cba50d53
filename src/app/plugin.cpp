#include "app/plugin.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "base/output.h"
#include "config/settings.h"
#include "rating/headers.h"
#include "rating/scan.h"
#include "reports/events.h"

Plugin::Plugin() : pool([this](FileRequest& request) { HandleFileRequest(request); })
{
    if (pipe2(wakePipe, O_CLOEXEC) != 0) {
        PrintMsg("* FAILURE Unable to create a pipe, errno=%d\n", errno);
        ExitProcess(1);
    }
}

bool Plugin::IdentityOf(const char* path, FileIdentity& identity)
{
    struct stat status;
    if (stat(path, &status) != 0)
        return false;
    identity = {path, status.st_size, static_cast<long>(status.st_mtim.tv_sec), status.st_mtim.tv_nsec};
    return true;
}

void Plugin::HandleFileRequest(FileRequest& request)
{
    const std::shared_ptr<const Settings> settings = CurrentSettings();
    // The host retries a message whose scan crashed; rating it again would
    // crash again, one thread after another.
    if (crashes.load() > 0) {
        FileIdentity identity;
        bool crashedBefore = false;
        if (IdentityOf(request.Path(), identity)) {
            std::lock_guard lock(crashMutex);
            crashedBefore = crashedFiles.count(identity) != 0;
        }
        if (crashedBefore) {
            PrintMsg("* %s crashed a scan before, answered without rating\n", request.Path());
            EventReportProblem("%s crashed a scan before.\nIt was answered with rating 0, without a scan",
                               request.Path());
            PrintResult(request, 0, *settings);
            return;
        }
    }
    ScanFile(request, *settings, senders, statistics);
}

void Plugin::RequestShutdown()
{
    shutdownRequested.store(true);
    const char wake = 'Q';
    ssize_t ignored = write(wakePipe[1], &wake, 1);
    (void)ignored;
}

int Plugin::RememberCrash(const char* path)
{
    FileIdentity identity;
    if (path != nullptr && IdentityOf(path, identity)) {
        std::lock_guard lock(crashMutex);
        crashedFiles.insert(identity);
    }
    return ++crashes;
}
