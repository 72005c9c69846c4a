// For targets that build a whole server: the server starts its worker zygote from this
// binary, and that run becomes the zygote instead of fuzzing.
#include <cstdlib>

#include "FuzzTarget.h"
#include "worker/WorkerZygote.h"
#include "worker/videorecorder.h"

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    if (const std::optional<int> status = runWorkerZygoteIfAsked(*argc, *argv, &videoRecorder)) {
        std::exit(*status);
    }
    return 0;
}
