#include "OutputCapture.hxx"

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <stdexcept>

#include <unistd.h>

namespace Quillomark::Testing {

namespace {

void flushAll() {
    std::cout.flush();
    std::cerr.flush();
    std::fflush(nullptr);
}

}  // namespace

OutputCapture::OutputCapture(int fd) : fd(fd), saved(-1), file(-1) {
    char name[] = "/tmp/qmsoa-output-XXXXXX";
    file = mkstemp(name);
    if (file < 0) throw std::runtime_error("cannot make a file for the captured output");
    unlink(name);
    flushAll();
    saved = dup(fd);
    dup2(file, fd);
}

OutputCapture::~OutputCapture() { finish(); }

std::string OutputCapture::finish() {
    if (file < 0) return "";
    flushAll();
    dup2(saved, fd);
    close(saved);
    std::string captured;
    char buffer[4096];
    off_t offset = 0;
    for (ssize_t n; (n = pread(file, buffer, sizeof buffer, offset)) > 0; offset += n) {
        captured.append(buffer, static_cast<std::size_t>(n));
    }
    close(file);
    file = -1;
    return captured;
}

}  // namespace Quillomark::Testing
