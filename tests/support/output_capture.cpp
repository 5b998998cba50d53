#include "output_capture.h"

#include <fcntl.h>
#include <unistd.h>

#include <stdexcept>

#include "protocol/output.h"

OutputCapture::OutputCapture()
{
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    readEnd = ends[0];
    writeEnd = ends[1];
    // A reader drains the pipe, so that writers never block on a full pipe.
    reader = std::thread([this] {
        char buffer[65536];
        ssize_t n;
        while ((n = read(readEnd, buffer, sizeof buffer)) > 0)
            text.append(buffer, static_cast<size_t>(n));
    });
    SetOutputDescriptor(writeEnd);
}

OutputCapture::~OutputCapture() { Finish(); }

const std::string& OutputCapture::Finish()
{
    if (!finished) {
        finished = true;
        SetOutputDescriptor(STDOUT_FILENO);
        close(writeEnd);
        reader.join();
        close(readEnd);
    }
    return text;
}

std::vector<std::string> OutputCapture::Lines()
{
    std::vector<std::string> lines;
    const std::string& all = Finish();
    size_t start = 0;
    while (start < all.size()) {
        size_t end = all.find('\n', start);
        end = end == std::string::npos ? all.size() : end + 1;
        lines.push_back(all.substr(start, end - start));
        start = end;
    }
    return lines;
}
