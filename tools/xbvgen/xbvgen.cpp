// xbvgen: writes production-test firmware files (XBV) for the simulated chip.
//
//   xbvgen [options] OUTPUT.xbv
//
// Run without arguments for the list of options.
#include "options.h"
#include "xbvbuilder.h"

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

using namespace devsim::ptimage;

void Usage()
{
    std::fprintf(stderr,
                 "usage: xbvgen [options] OUTPUT.xbv\n"
                 "  --build-id N          build id of the firmware (default 2603)\n"
                 "  --build-text TEXT     build-id text (\"IBIS\" item)\n"
                 "  --no-build-text       leave the build-id text out\n"
                 "  --cs-version N        CS keys version (default 5)\n"
                 "  --cs-words N          CS keys block length in words, version included (default 24)\n"
                 "  --api-version N       firmware API version, 32 bits (default 0x00020001)\n"
                 "  --size WORDS          code words from word 0 (default 0x2000)\n"
                 "  --block WORDS         words per firmware block (default 0x1000)\n"
                 "  --table-format F      production-test table: pair, triple, redirect, fixed, short (default fixed)\n"
                 "  --table-space N       its memory space (default 4)\n"
                 "  --table-word N        its word address (default 0x100)\n"
                 "  --main-format F       main firmware table at word 0x9FDC: fixed or short (default fixed)\n"
                 "  --main-build-id N     build id of the main firmware (default: the build id)\n"
                 "  --no-sltp             leave the lookup-table location out\n"
                 "  --omit-entry N        leave entry N (9-14) out of the production-test table\n"
                 "  --no-start            no start entry: the entry point is word 0\n"
                 "  --behaviour B         normal, silent, alive, wrong-ready:ANSWER, answer:COMMAND:ANSWER\n"
                 "  --delay POLLS         answer every command after POLLS polls\n"
                 "  --tx-per-poll N       packets sent between two TX counter reads (default 25)\n"
                 "  --rx-per-poll N       packets received between two RX counter reads (default 7)\n"
                 "  --xbv-version N       format version in \"VERF\" (default 1)\n"
                 "Numbers are decimal or 0x-prefixed hexadecimal.\n");
}

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

bool ParseBehaviour(const std::string& aText, fixtures::PtFirmwareSpec& aSpec)
{
    uint32_t a = 0, b = 0;
    if (aText == "normal") {
        aSpec.behaviour = kNormal;
    } else if (aText == "silent") {
        aSpec.behaviour = kSilent;
    } else if (aText == "alive") {
        aSpec.behaviour = kAliveOnly;
    } else if (aText.rfind("wrong-ready:", 0) == 0 && Number(aText.substr(12), 0xFFFF, a)) {
        aSpec.behaviour = kWrongReady;
        aSpec.behaviourAnswer = static_cast<uint16_t>(a);
    } else if (aText.rfind("answer:", 0) == 0) {
        std::string rest = aText.substr(7);
        size_t colon = rest.find(':');
        if (colon == std::string::npos || !Number(rest.substr(0, colon), 0x7FFF, a) ||
            !Number(rest.substr(colon + 1), 0xFFFF, b))
            return false;
        aSpec.behaviour = kAnswerCode;
        aSpec.behaviourCommand = static_cast<uint16_t>(a);
        aSpec.behaviourAnswer = static_cast<uint16_t>(b);
    } else {
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv)
{
    fixtures::PtFirmwareSpec plan;
    std::string output;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        std::string value = i + 1 < argc ? argv[i + 1] : "";
        uint32_t n = 0;
        bool ok = true;
        bool takesValue = true;
        if (arg == "--build-id") {
            ok = Number(value, 0xFFFF, n);
            plan.buildId = static_cast<uint16_t>(n);
        } else if (arg == "--build-text") {
            plan.buildIdText = value;
        } else if (arg == "--no-build-text") {
            plan.withBuildIdText = false;
            takesValue = false;
        } else if (arg == "--cs-version") {
            ok = Number(value, 0xFFFF, n);
            plan.csKeysVersion = static_cast<uint16_t>(n);
        } else if (arg == "--cs-words") {
            ok = Number(value, 0x100, n) && n > 0;
            plan.csKeysWords = static_cast<uint16_t>(n);
        } else if (arg == "--api-version") {
            ok = Number(value, 0xFFFFFFFFu, n);
            plan.apiVersion = n;
        } else if (arg == "--size") {
            ok = Number(value, 0x9000, n);
            plan.firmwareWords = n;
        } else if (arg == "--block") {
            ok = Number(value, 0x8000, n) && n > 0;
            plan.blockWords = n;
        } else if (arg == "--table-format") {
            ok = ParseFormat(value, plan.ptestFormat);
        } else if (arg == "--table-space") {
            ok = Number(value, 0xFF, n);
            plan.ptestSpace = n;
        } else if (arg == "--table-word") {
            ok = Number(value, 0x7FFFFF, n);
            plan.ptestWord = n;
        } else if (arg == "--main-format") {
            ok = ParseFormat(value, plan.mainFormat) &&
                 (plan.mainFormat == kFixedTable || plan.mainFormat == kShortFixedTable);
        } else if (arg == "--main-build-id") {
            ok = Number(value, 0xFFFF, n);
            plan.mainBuildId = static_cast<int32_t>(n);
        } else if (arg == "--no-sltp") {
            plan.withSltp = false;
            takesValue = false;
        } else if (arg == "--omit-entry") {
            ok = Number(value, 14, n) && n >= 9;
            plan.omitEntries.push_back(static_cast<uint16_t>(n));
        } else if (arg == "--no-start") {
            plan.withStart = false;
            takesValue = false;
        } else if (arg == "--behaviour") {
            ok = ParseBehaviour(value, plan);
        } else if (arg == "--delay") {
            ok = Number(value, 0xFFFF, n);
            plan.answerDelay = static_cast<uint16_t>(n);
        } else if (arg == "--tx-per-poll") {
            ok = Number(value, 0xFFFF, n);
            plan.txPerPoll = static_cast<uint16_t>(n);
        } else if (arg == "--rx-per-poll") {
            ok = Number(value, 0xFFFF, n);
            plan.rxPerPoll = static_cast<uint16_t>(n);
        } else if (arg == "--xbv-version") {
            ok = Number(value, 0xFFFF, n);
            plan.xbvVersion = static_cast<uint16_t>(n);
        } else if (!arg.empty() && arg[0] != '-' && output.empty()) {
            output = arg;
            takesValue = false;
        } else {
            Usage();
            return 2;
        }
        if (takesValue && i + 1 >= argc) ok = false;
        if (!ok) {
            std::fprintf(stderr, "xbvgen: bad value for %s\n", arg.c_str());
            return 2;
        }
        if (takesValue) ++i;
    }
    if (output.empty()) {
        Usage();
        return 2;
    }
    if (!fixtures::WriteBytes(output, fixtures::BuildPtFirmware(plan))) {
        std::fprintf(stderr, "xbvgen: cannot write %s\n", output.c_str());
        return 1;
    }
    return 0;
}
