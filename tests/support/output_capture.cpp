#include "output_capture.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <stdexcept>

#include "base/output.h"

void OutputCapture::Start()
{
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe2 failed");
    readEnd = ends[0];
    writeEnd = ends[1];
    drainer = std::thread([this] {
        char block[4096];
        for (ssize_t n; (n = read(readEnd, block, sizeof block)) > 0 || (n < 0 && errno == EINTR);)
            collected.append(block, static_cast<size_t>(std::max<ssize_t>(n, 0)));
    });
    SetOutputDescriptor(writeEnd);
}

void OutputCapture::Stop()
{
    if (writeEnd < 0)
        return;
    SetOutputDescriptor(STDOUT_FILENO);
    close(writeEnd);
    writeEnd = -1;
    drainer.join();
    close(readEnd);
    readEnd = -1;
}

std::string OutputCapture::Text()
{
    Stop();
    return collected;
}

std::string OutputCapture::Take()
{
    // Closing the pipe is the only way to know that the drainer has read everything.
    Stop();
    std::string text;
    text.swap(collected);
    Start();
    return text;
}
