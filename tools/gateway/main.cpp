// Entry point of tamblo-gateway, the reference gateway client: command line, set-up, event loop.
#include <signal.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "GatewayTool.h"
#include "Log.h"
#include "Options.h"

int main(int argc, char** argv) {
    const ParsedOptions parsed = parseOptions(std::vector<std::string>(argv, argv + argc));
    switch (parsed.outcome) {
        case OptionsOutcome::Help:
            std::fputs(usageText(argv[0]).c_str(), stdout);
            return 0;
        case OptionsOutcome::Error:
            std::fprintf(stderr, "tamblo-gateway: %s\nTry '%s --help'.\n", parsed.message.c_str(),
                         argv[0]);
            return 2;
        case OptionsOutcome::Run:
            break;
    }
    gateway_log::setVerbosity(parsed.options.verbosity);
    signal(SIGPIPE, SIG_IGN);

    // Heap: the tool holds its packet buffers (about 800 KiB) inline.
    auto tool = std::make_unique<GatewayTool>(parsed.options);
    std::string error;
    if (!tool->open(&error)) {
        gateway_log::line("%s", error.c_str());
        return 1;
    }
    return tool->run();
}
