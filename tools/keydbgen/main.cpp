// keydbgen: writes CS key database files.
//
//   keydbgen --sample OUT.xml                 the sample database of the simulated chip
//   keydbgen --builds N --keys M [--first B] OUT.xml   a generated database
#include "keydbgen.h"
#include "options.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

int Usage()
{
    std::fprintf(stderr,
                 "usage: keydbgen --sample OUT.xml\n"
                 "       keydbgen --builds N --keys M [--first B] OUT.xml\n");
    return 2;
}

bool Number(const char* aText, uint64_t aMax, uint16_t& aValue)
{
    uint64_t v = 0;
    if (!devsim::ParseNumber(aText, aMax, v)) return false;
    aValue = static_cast<uint16_t>(v);
    return true;
}

}  // namespace

int main(int argc, char** argv)
{
    bool sample = false;
    uint16_t builds = 0, keys = 0, first = 1;
    std::string out;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--sample") {
            sample = true;
        } else if (arg == "--builds" && hasValue) {
            if (!Number(argv[++i], 32768, builds)) return Usage();
        } else if (arg == "--keys" && hasValue) {
            if (!Number(argv[++i], 65535, keys)) return Usage();
        } else if (arg == "--first" && hasValue) {
            if (!Number(argv[++i], 65535, first)) return Usage();
        } else if (!arg.empty() && arg[0] != '-' && out.empty()) {
            out = arg;
        } else {
            return Usage();
        }
    }
    if (out.empty() || (!sample && (builds == 0 || keys == 0))) return Usage();
    const keydbgen::Database db = sample ? keydbgen::Sample() : keydbgen::Generated(builds, keys, first);
    if (!keydbgen::WriteFile(out, keydbgen::ToXml(db))) {
        std::fprintf(stderr, "keydbgen: cannot write %s\n", out.c_str());
        return 1;
    }
    return 0;
}
