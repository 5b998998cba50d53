// output_capture - collects what the plugin's output channel writes while a
// unit test runs, instead of letting it reach the test's standard output.
//
// The channel is pointed at a pipe that a thread drains, so a test may write
// any amount; Text() restores standard output and returns everything written.
#pragma once

#include <string>
#include <thread>

class OutputCapture {
public:
    OutputCapture() { Start(); }
    ~OutputCapture() { Stop(); }
    OutputCapture(const OutputCapture&) = delete;
    OutputCapture& operator=(const OutputCapture&) = delete;

    // Text - stop capturing; everything written since the start.
    std::string Text();
    // Take - what was written since the start or the last Take; capturing goes on.
    std::string Take();

private:
    void Start();
    void Stop();

    int readEnd = -1;
    int writeEnd = -1;
    std::string collected;
    std::thread drainer;
};
