// Test entry point: gives this process private names for every object shared
// with other processes, so that tests running in parallel never meet.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "platform/platform.h"

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    const std::string prefix = "tarvik-test-" + std::to_string(::getpid()) + "-";
    tarvik::plat::SetObjectNamePrefix(prefix.c_str());
    const int result = RUN_ALL_TESTS();
    // What this process's shared objects leave behind on a POSIX system.
    tarvik::plat::MappingRemove("Commonm_filemap");
    tarvik::plat::NamedMutexRemove("CommonMutex");
    return result;
}
