// keydbgen: writes CS key database files.
//
//   keydbgen --sample OUT.xml                 the sample database of the simulated chip
//   keydbgen --builds N --keys M [--first B] OUT.xml   a generated database
#include "keydbgen.h"
#include "numberoption.h"

#include <cstdio>
#include <string>

int main(int argc, char** argv)
{
    CLI::App app{"Writes CS key database files"};
    bool sample = false;
    uint16_t builds = 0, keys = 0, first = 1;
    std::string out;
    auto* sampleFlag = app.add_flag("--sample", sample, "the sample database of the simulated chip");
    auto* buildsOption = fixtures::AddNumber(app, "--builds", builds, "number of builds", 1, 32768);
    auto* keysOption = fixtures::AddNumber(app, "--keys", keys, "keys per build", 1, 65535);
    fixtures::AddNumber(app, "--first", first, "first build id");
    app.add_option("output", out, "OUT.xml")->required();
    sampleFlag->excludes(buildsOption)->excludes(keysOption);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        const int rc = app.exit(e);
        return rc == 0 ? 0 : 2;
    }
    if (!sample && (builds == 0 || keys == 0)) {
        std::fprintf(stderr, "keydbgen: give --sample, or --builds and --keys\n%s", app.help().c_str());
        return 2;
    }
    const keydbgen::Database db = sample ? keydbgen::Sample() : keydbgen::Generated(builds, keys, first);
    if (!keydbgen::WriteFile(out, keydbgen::ToXml(db))) {
        std::fprintf(stderr, "keydbgen: cannot write %s\n", out.c_str());
        return 1;
    }
    return 0;
}
