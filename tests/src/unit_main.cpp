// The unit tests' entry: a server built by a test starts its worker zygote from this binary,
// which then runs as the zygote instead of as the tests.
#include <gtest/gtest.h>

#include "worker/WorkerZygote.h"
#include "worker/videorecorder.h"

int main(int argc, char** argv) {
    if (const std::optional<int> status = runWorkerZygoteIfAsked(argc, argv, &videoRecorder)) {
        return *status;
    }
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
