#pragma once

// Runs work on a thread of a small stack, so that a recursion that grows
// with its input shows as a crash at sizes a test can afford, and a loop
// that replaced it passes at any size.

#include <gtest/gtest.h>

#include <pthread.h>

#include <cstddef>
#include <functional>

namespace Quillomark::Testing {

inline void onStackOf(std::size_t bytes, const std::function<void()>& work) {
    pthread_attr_t attributes;
    ASSERT_EQ(pthread_attr_init(&attributes), 0);
    ASSERT_EQ(pthread_attr_setstacksize(&attributes, bytes), 0);
    pthread_t thread;
    auto run = [](void* argument) -> void* {
        (*static_cast<const std::function<void()>*>(argument))();
        return nullptr;
    };
    const int started =
        pthread_create(&thread, &attributes, run, const_cast<std::function<void()>*>(&work));
    pthread_attr_destroy(&attributes);
    ASSERT_EQ(started, 0);
    pthread_join(thread, nullptr);
}

}  // namespace Quillomark::Testing
