#include "OutputCapture.hxx"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <mutex>
#include <stdexcept>
#include <vector>

#include <unistd.h>

namespace Quillomark::Testing {

namespace {

void flushAll() {
    std::cout.flush();
    std::cerr.flush();
    std::fflush(nullptr);
}

void writeAll(int fd, const std::string& text) {
    for (std::size_t done = 0; done < text.size();) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n <= 0) return;
        done += static_cast<std::size_t>(n);
    }
}

}  // namespace

// GoogleTest prints a failure on standard output as it is reported, so a
// capture of standard output would keep it from the test's output. This
// listener writes each failure to where standard output went before the
// first capture of it that is still in force, and marks the captures in
// force, which then pass on what they caught.
class CapturedFailures : public ::testing::EmptyTestEventListener {
public:
    static CapturedFailures& instance() {
        static CapturedFailures* const listener = [] {
            auto* made = new CapturedFailures;
            ::testing::UnitTest::GetInstance()->listeners().Append(made);  // takes it over
            return made;
        }();
        return *listener;
    }

    void begin(OutputCapture* capture) {
        std::lock_guard<std::mutex> guard(lock);
        captures.push_back(capture);
    }

    void end(OutputCapture* capture) {
        std::lock_guard<std::mutex> guard(lock);
        captures.erase(std::remove(captures.begin(), captures.end(), capture), captures.end());
    }

    void OnTestPartResult(const ::testing::TestPartResult& result) override {
        if (!result.failed()) return;
        std::lock_guard<std::mutex> guard(lock);
        int realOutput = -1;
        for (OutputCapture* capture : captures) {
            capture->failed = true;
            if (capture->fd == 1 && realOutput < 0) realOutput = capture->saved;
        }
        if (realOutput < 0) return;  // the printer's own line is not captured
        const std::string where = result.file_name() == nullptr
                                      ? std::string()
                                      : std::string(result.file_name()) + ":" +
                                            std::to_string(result.line_number()) + ": ";
        writeAll(realOutput, where + "Failure (reported while standard output was captured)\n" +
                                 result.message() + "\n");
    }

private:
    std::mutex lock;
    std::vector<OutputCapture*> captures;  // in the order they began
};

OutputCapture::OutputCapture(int fd) : fd(fd), saved(-1), file(-1) {
    char name[] = "/tmp/qmsoa-output-XXXXXX";
    file = mkstemp(name);
    if (file < 0) throw std::runtime_error("cannot make a file for the captured output");
    unlink(name);
    flushAll();
    saved = dup(fd);
    dup2(file, fd);
    CapturedFailures::instance().begin(this);
}

OutputCapture::~OutputCapture() { finish(); }

std::string OutputCapture::finish() {
    if (file < 0) return "";
    flushAll();
    CapturedFailures::instance().end(this);
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
    if (failed) {
        // What the code printed may tell why the test failed.
        writeAll(fd, "---- captured on descriptor " + std::to_string(fd) +
                         " while the test failed:\n" + captured + "---- end of capture\n");
    }
    return captured;
}

}  // namespace Quillomark::Testing
