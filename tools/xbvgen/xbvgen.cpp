// xbvgen: writes production-test firmware files (XBV) for the simulated chip.
//
//   xbvgen [options] OUTPUT.xbv
//
// Run with --help for the list of options.
#include "keydbgen.h"
#include "numberoption.h"
#include "xbvbuilder.h"

#include <CLI/CLI.hpp>

#include <cstdio>
#include <string>
#include <vector>

namespace {

using namespace devsim::ptimage;

// A number for the behaviour texts: decimal or 0x-hexadecimal, at most aMax.
bool Number(const std::string& aText, uint32_t aMax, uint32_t& aValue)
{
    uint64_t v = 0;
    if (!devsim::ParseNumber(aText, aMax, v)) return false;
    aValue = static_cast<uint32_t>(v);
    return true;
}

bool ParseFormat(const std::string& aText, uint16_t& aFormat)
{
    if (aText == "pair") aFormat = kPairList;
    else if (aText == "triple") aFormat = kTripleList;
    else if (aText == "redirect") aFormat = kTripleListRedirected;
    else if (aText == "fixed") aFormat = kFixedTable;
    else if (aText == "short") aFormat = kShortFixedTable;
    else return false;
    return true;
}

bool ParseBehaviour(const std::string& aText, fixtures::PtFirmwareLayout& aLayout)
{
    uint32_t a = 0, b = 0;
    if (aText == "normal") {
        aLayout.behaviour = kNormal;
    } else if (aText == "silent") {
        aLayout.behaviour = kSilent;
    } else if (aText == "alive") {
        aLayout.behaviour = kAliveOnly;
    } else if (aText.rfind("wrong-ready:", 0) == 0 && Number(aText.substr(12), 0xFFFF, a)) {
        aLayout.behaviour = kWrongReady;
        aLayout.behaviourAnswer = static_cast<uint16_t>(a);
    } else if (aText.rfind("answer:", 0) == 0) {
        std::string rest = aText.substr(7);
        size_t colon = rest.find(':');
        if (colon == std::string::npos || !Number(rest.substr(0, colon), 0x7FFF, a) ||
            !Number(rest.substr(colon + 1), 0xFFFF, b))
            return false;
        aLayout.behaviour = kAnswerCode;
        aLayout.behaviourCommand = static_cast<uint16_t>(a);
        aLayout.behaviourAnswer = static_cast<uint16_t>(b);
    } else {
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv)
{
    fixtures::PtFirmwareLayout plan;
    // The CS keys block of the sample key database's newest build, so that
    // a default firmware takes the CS keys of a default image.
    plan.csKeysVersion = keydbgen::kSampleBuildNew;
    plan.csKeysWords = keydbgen::kSampleBuildNewCsWords;
    std::string output, tableFormat, mainFormat, behaviour;
    std::vector<uint16_t> omit;
    bool noBuildText = false, noSltp = false, noStart = false;
    uint32_t mainBuildId = 0;

    CLI::App app{"Writes production-test firmware files (XBV) for the simulated chip"};
    fixtures::AddNumber(app, "--build-id", plan.buildId, "build id of the firmware");
    app.add_option("--build-text", plan.buildIdText, "build-id text (\"IBIS\" item)")->capture_default_str();
    app.add_flag("--no-build-text", noBuildText, "leave the build-id text out");
    fixtures::AddNumber(app, "--cs-version", plan.csKeysVersion, "CS keys version (default: the sample key database's newest)");
    fixtures::AddNumber(app, "--cs-words", plan.csKeysWords, "CS keys block length in words, version included", 1, 0x100);
    fixtures::AddNumber(app, "--api-version", plan.apiVersion, "firmware API version, 32 bits");
    fixtures::AddNumber(app, "--size", plan.firmwareWords, "code words from word 0", 0, 0x9000);
    fixtures::AddNumber(app, "--block", plan.blockWords, "words per firmware block", 1, 0x8000);
    app.add_option("--table-format", tableFormat, "production-test table: pair, triple, redirect, fixed, short (default fixed)")
        ->check(CLI::IsMember({"pair", "triple", "redirect", "fixed", "short"}));
    fixtures::AddNumber(app, "--table-space", plan.ptestSpace, "its memory space", 0, 0xFF);
    fixtures::AddNumber(app, "--table-word", plan.ptestWord, "its word address", 0, 0x7FFFFF);
    app.add_option("--main-format", mainFormat, "main firmware table at word 0x9FDC: fixed or short (default fixed)")
        ->check(CLI::IsMember({"fixed", "short"}));
    auto* mainId = fixtures::AddNumber(app, "--main-build-id", mainBuildId, "build id of the main firmware (default: the build id)", 0, 0xFFFF);
    app.add_flag("--no-sltp", noSltp, "leave the lookup-table location out");
    fixtures::AddNumbers(app, "--omit-entry", omit, "leave entry N (9-14) out of the production-test table", 9, 14);
    app.add_flag("--no-start", noStart, "no start entry: the entry point is word 0");
    app.add_option("--behaviour", behaviour, "normal, silent, alive, wrong-ready:ANSWER, answer:COMMAND:ANSWER");
    fixtures::AddNumber(app, "--delay", plan.answerDelay, "answer every command after POLLS polls");
    fixtures::AddNumber(app, "--tx-per-poll", plan.txPerPoll, "packets sent between two TX counter reads");
    fixtures::AddNumber(app, "--rx-per-poll", plan.rxPerPoll, "packets received between two RX counter reads");
    fixtures::AddNumber(app, "--xbv-version", plan.xbvVersion, "format version in \"VERF\"");
    app.add_option("output", output, "OUTPUT.xbv")->required();
    app.footer("Numbers are decimal or 0x-prefixed hexadecimal.");
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        const int rc = app.exit(e);
        return rc == 0 ? 0 : 2;
    }
    if (noBuildText) plan.withBuildIdText = false;
    if (noSltp) plan.withSltp = false;
    if (noStart) plan.withStart = false;
    if (!tableFormat.empty()) ParseFormat(tableFormat, plan.ptestFormat);
    if (!mainFormat.empty()) ParseFormat(mainFormat, plan.mainFormat);
    if (*mainId) plan.mainBuildId = static_cast<int32_t>(mainBuildId);
    plan.omitEntries = omit;
    if (!behaviour.empty() && !ParseBehaviour(behaviour, plan)) {
        std::fprintf(stderr, "xbvgen: bad value for --behaviour\n");
        return 2;
    }
    if (!fixtures::WriteBytes(output, fixtures::BuildPtFirmware(plan))) {
        std::fprintf(stderr, "xbvgen: cannot write %s\n", output.c_str());
        return 1;
    }
    return 0;
}
