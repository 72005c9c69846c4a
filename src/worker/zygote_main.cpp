// tamblo-zygote: the proxy workers' image. The server starts it as its worker zygote; it
// holds the worker's code without the media, database and metrics libraries, so that each
// worker forked from it copies and tears down a fraction of what the server's image maps.
#include <cstdio>
#include <optional>

#include "worker/WorkerZygote.h"

int main(int argc, char** argv) {
    if (const std::optional<int> status = runWorkerZygoteIfAsked(argc, argv, nullptr)) {
        return *status;
    }
    std::fprintf(stderr, "%s: started by TambloServer as its worker zygote, not by hand\n",
                 argc > 0 ? argv[0] : "tamblo-zygote");
    return 2;
}
