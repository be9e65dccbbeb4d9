// ampsim: the amplifier's side of the serial line, for testing the panel without the hardware.
#include <cstdio>
#include <string>
#include <vector>

#include "sim/App.h"
#include "sim/Options.h"
#include "sim/Text.h"

int main(int argc, char** argv)
{
    sim::Options options;
    std::string error;
    const std::vector<std::string> args(argv + 1, argv + argc);
    switch (sim::ParseOptions(args, options, error)) {
    case sim::ParseStatus::kHelp:
        std::fputs(sim::HelpText().c_str(), stdout);
        return 0;
    case sim::ParseStatus::kVersion:
        std::puts("ampsim " AMPSIM_VERSION);
        return 0;
    case sim::ParseStatus::kBad:
        std::fprintf(stderr, "ampsim: error: %s\nTry 'ampsim --help'.\n", sim::PrintableText(error).c_str());
        return 2;
    case sim::ParseStatus::kRun:
        break;
    }
    sim::App app(options);
    return app.Run();
}
