#pragma once

#include <string>

namespace Quillomark::Testing {

// Sends everything written to a file descriptor (1 for standard output, 2
// for standard error), also by C stdio and by other libraries, into a
// temporary file until finish() or the end of the object. A test failure
// reported meanwhile is never swallowed: its message goes to the real
// standard output at once, and what was captured follows it when the
// capture ends.
class OutputCapture {
public:
    explicit OutputCapture(int fd);
    ~OutputCapture();
    OutputCapture(const OutputCapture&) = delete;
    OutputCapture& operator=(const OutputCapture&) = delete;

    // Restores the descriptor and returns what was written to it.
    std::string finish();

private:
    friend class CapturedFailures;
    int fd;
    int saved;
    int file;
    bool failed = false;  // a test failure was reported during the capture
};

}  // namespace Quillomark::Testing
