#include <gtest/gtest.h>

#include <cstdlib>

int main(int argc, char** argv) {
    // libcurl honours the proxy variables; tests talk to loopback servers only.
    for (const char* name : {"http_proxy", "https_proxy", "HTTP_PROXY", "HTTPS_PROXY", "ALL_PROXY",
                             "all_proxy", "no_proxy", "NO_PROXY"}) {
        unsetenv(name);
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
