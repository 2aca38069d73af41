#pragma once

#include <string>

namespace Quillomark::Testing {

// Sends everything written to a file descriptor (1 for standard output, 2
// for standard error), also by C stdio and by other libraries, into a
// temporary file until finish() or the end of the object. Test failures
// reported meanwhile are captured as well: check after finish().
class OutputCapture {
public:
    explicit OutputCapture(int fd);
    ~OutputCapture();
    OutputCapture(const OutputCapture&) = delete;
    OutputCapture& operator=(const OutputCapture&) = delete;

    // Restores the descriptor and returns what was written to it.
    std::string finish();

private:
    int fd;
    int saved;
    int file;
};

}  // namespace Quillomark::Testing
