// orvanasim: a simulated GNSS receiver on a TCP port, a pseudo-terminal or an emulated USB bus, for
// tests, the demo and the benchmarks. `orvanasim --help` lists the options; receiver.h describes
// the replies, output_list.h the containers and their payload, block_transfer.h the file transfer
// frames.

#include <cstdio>
#include <string>
#include <vector>

#include "apps/orvanasim/options.h"
#include "apps/orvanasim/serve.h"
#include "apps/orvanasim/sim_log.h"
#include "platform/signals.h"

int main(int argc, char** argv) {
    using namespace orvana::sim;
    std::vector<std::string> args(argv + 1, argv + argc);
    for (const auto& a : args) {
        if (a == "--help" || a == "-h") {
            std::fputs(UsageText(), stdout);
            return 0;
        }
    }
    Options options;
    std::string error;
    if (!ParseOptions(args, &options, &error)) {
        std::fprintf(stderr, "orvanasim: %s\n%s", error.c_str(), UsageText());
        return 2;
    }
    orvana::platform::BlockTerminationSignals(/*with_switches=*/true);
    Transcript transcript;
    if (!options.transcript.empty() && !transcript.Open(options.transcript)) {
        std::fprintf(stderr, "orvanasim: cannot open transcript %s\n", options.transcript.c_str());
        return 1;
    }
    Transcript* t = options.transcript.empty() ? nullptr : &transcript;
    if (options.tcp) return ServeTcp(options, t);
    return options.usb_serial.empty() ? ServePty(options, t) : ServeUsb(options, t);
}
