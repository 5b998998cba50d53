// output_capture - points the plugin's output channel at a pipe while a test
// runs the code in-process, and collects every line written
#pragma once

#include <string>
#include <thread>
#include <vector>

class OutputCapture {
public:
    OutputCapture();
    ~OutputCapture();
    OutputCapture(const OutputCapture&) = delete;
    OutputCapture& operator=(const OutputCapture&) = delete;

    // Finish - give the channel back to standard output; everything written.
    const std::string& Finish();
    std::vector<std::string> Lines();  // Finish, split after each line feed

private:
    int readEnd = -1;
    int writeEnd = -1;
    std::thread reader;
    std::string text;
    bool finished = false;
};
