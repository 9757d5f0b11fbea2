// Test entry point: gives this process private names for every object shared
// with other processes, so that tests running in parallel never meet. Started
// as a child of a test (tests/child_process.h), it runs that child's role
// instead.
#include <gtest/gtest.h>

#include <string>

#include "child_process.h"
#include "platform/platform.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace {
unsigned long ProcessId() {
#if defined(_WIN32)
    return GetCurrentProcessId();
#else
    return static_cast<unsigned long>(::getpid());
#endif
}
}  // namespace

int main(int argc, char** argv) {
    int exitCode = 0;
    if (tarvik::testchild::RunRole(argc, argv, &exitCode)) {
        return exitCode;
    }
    ::testing::InitGoogleTest(&argc, argv);
    const std::string prefix = "tarvik-test-" + std::to_string(ProcessId()) + "-";
    tarvik::plat::SetObjectNamePrefix(prefix.c_str());
    return RUN_ALL_TESTS();
}
