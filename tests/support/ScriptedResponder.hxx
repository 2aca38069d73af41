#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <utility>
#include <vector>

namespace Quillomark::Testing {

// The script of a test server: it answers each call with the next reply
// queued by `push`, then, when the queue is empty, with the fallback (a
// fixed reply or a function of the call). Every call is recorded. The
// server's threads answer while the test thread scripts and inspects, so
// every member takes the lock. Any server (HTTP, the IIOP gateway, ...) can
// pair it with its own call and reply types.
template <class Call, class Reply>
class ScriptedResponder {
public:
    using Responder = std::function<Reply(const Call&)>;

    void push(Reply reply) {
        std::lock_guard<std::mutex> lock(mutex);
        queued.push_back(std::move(reply));
    }

    void setFallback(Reply reply) {
        setFallback(Responder([reply](const Call&) { return reply; }));
    }
    void setFallback(Responder responder) {
        std::lock_guard<std::mutex> lock(mutex);
        fallback = std::move(responder);
    }

    // Records the call and returns its reply.
    Reply answer(const Call& call) {
        Responder responder;
        {
            std::lock_guard<std::mutex> lock(mutex);
            recorded.push_back(call);
            arrived.notify_all();
            if (!queued.empty()) {
                Reply reply = std::move(queued.front());
                queued.pop_front();
                return reply;
            }
            responder = fallback;
        }
        // Outside the lock: a responder may inspect the script itself.
        return responder ? responder(call) : Reply();
    }

    std::vector<Call> calls() const {
        std::lock_guard<std::mutex> lock(mutex);
        return recorded;
    }
    std::size_t callCount() const {
        std::lock_guard<std::mutex> lock(mutex);
        return recorded.size();
    }
    void clearCalls() {
        std::lock_guard<std::mutex> lock(mutex);
        recorded.clear();
    }
    // Waits until at least `count` calls were recorded; false on time-out.
    bool waitForCalls(std::size_t count, std::chrono::milliseconds timeout) {
        std::unique_lock<std::mutex> lock(mutex);
        return arrived.wait_for(lock, timeout, [&] { return recorded.size() >= count; });
    }

private:
    mutable std::mutex mutex;
    std::condition_variable arrived;
    std::deque<Reply> queued;
    Responder fallback;
    std::vector<Call> recorded;
};

}  // namespace Quillomark::Testing
