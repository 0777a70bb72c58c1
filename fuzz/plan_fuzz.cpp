// Fuzz target of the station's test plan reader: any bytes as a plan file,
// read and checked by LoadPlan. The plan reader works on files, so each
// input is written to plan.toml in a folder of this run that also holds the
// files a plan names ({bin}/sim_ptest.xbv, {bin}/sim_blank.xuv, only their
// presence is checked) and a small key database of CS version 13 with the
// keys the real plans write. A rejected plan must come with an error text;
// an accepted one must have steps, keys with words, and limits the station
// can use.
#include "plan.h"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>

#include <unistd.h>

namespace {

const char kKeyDatabase[] = R"(<?xml version="1.0" encoding="UTF-8"?>
<PSKEY_DATABASE>
  <BUILD BUILD_ID="13">
    <KEY NAME="BLUETOOTH_ADDRESS" ID="1" OFFSET="1" LENGTH="4" MIN="0" MAX="65535"/>
    <KEY NAME="CRYSTAL_TRIM" ID="2" OFFSET="5" LENGTH="1" MIN="0" MAX="63"/>
    <KEY NAME="DEVICE_NAME" ID="4" OFFSET="7" LENGTH="3" MIN="0" MAX="65535"/>
    <KEY NAME="PRODUCT_ID" ID="9" OFFSET="10" LENGTH="1" MIN="0" MAX="65535"/>
    <KEY NAME="PRODUCT_VERSION" ID="10" OFFSET="11" LENGTH="1"/>
  </BUILD>
  <BUILD BUILD_ID="14">
    <KEY NAME="CRYSTAL_TRIM" ID="2" OFFSET="5" LENGTH="1" MIN="8" MAX="40"/>
  </BUILD>
</PSKEY_DATABASE>
)";

std::string gDir;

void RemoveDir()
{
    std::error_code ec;
    if (!gDir.empty()) std::filesystem::remove_all(gDir, ec);
}

bool WriteFile(const std::string& aPath, const void* aData, size_t aSize)
{
    std::ofstream out(aPath, std::ios::binary | std::ios::trunc);
    out.write(static_cast<const char*>(aData), static_cast<std::streamsize>(aSize));
    return static_cast<bool>(out.flush());
}

// The folder of this run, made once: a temporary folder of its own so that
// parallel runs (and -jobs / -workers) never share a plan file.
const std::string& Dir()
{
    if (gDir.empty()) {
        std::string pattern = (std::filesystem::temp_directory_path() / "plan_fuzz.XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) {
            std::perror("plan_fuzz: mkdtemp");
            std::abort();
        }
        gDir = pattern;
        std::atexit(RemoveDir);
        const char nothing = 0;
        if (!WriteFile(gDir + "/cskey_db.xml", kKeyDatabase, sizeof kKeyDatabase - 1) ||
            !WriteFile(gDir + "/sim_ptest.xbv", &nothing, 1) || !WriteFile(gDir + "/sim_blank.xuv", &nothing, 1)) {
            std::perror("plan_fuzz: cannot write the plan's files");
            std::abort();
        }
    }
    return gDir;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* aData, size_t aSize)
{
    const std::string& dir = Dir();
    const std::string path = dir + "/plan.toml";
    if (!WriteFile(path, aData, aSize)) std::abort();
    station::Plan plan;
    std::string error;
    const bool ok = station::LoadPlan(path, dir, plan, error);
    // PLAN_FUZZ_PRINT=1 prints each verdict, to see what a corpus file tests.
    static const bool print = std::getenv("PLAN_FUZZ_PRINT") != nullptr;
    if (print) std::fprintf(stderr, "plan_fuzz: %s\n", ok ? "accepted" : error.c_str());
    if (!ok) {
        if (error.empty()) std::abort();  // a rejected plan always says why
        return 0;
    }
    if (plan.steps.empty() || plan.csVersion == 0) std::abort();
    for (const station::PlanKey& key : plan.keys) {
        if (key.words.empty()) std::abort();
    }
    for (const station::Step& step : plan.steps) {
        if (step.row == nullptr || station::FindStepRow(step.row->name) != step.row) std::abort();
        // Every parameter holds a value its row allows.
        for (const station::ParamDef& p : step.row->params) {
            if (p.kind == station::ParamDef::Kind::PortName) continue;
            const auto it = step.numbers.find(p.name);
            if (it == step.numbers.end() || it->second < p.min || it->second > p.max) std::abort();
        }
        // The station compares measurements with the limits and counts the
        // polls of a transmit burst up to its high limit: an accepted limit
        // is a finite number, and a poll limit a count.
        if (!step.limit) continue;
        for (const auto& bound : {step.limit->low, step.limit->high})
            if (bound && !std::isfinite(*bound)) std::abort();
        if (std::string(step.row->name) == "tx_burst" &&
            (!step.limit->high || *step.limit->high < 0 || *step.limit->high > 4294967295.0))
            std::abort();
    }
    return 0;
}
