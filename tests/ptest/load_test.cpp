// Download and start of the production-test firmware through the public
// interface, on the simulated chip.
#include "simdut.h"

using FirmwareLoadTest = SimDutTest;

using devsim::ptimage::kAliveOnly;
using devsim::ptimage::kSilent;
using devsim::ptimage::kWrongReady;

TEST_F(FirmwareLoadTest, LoadStartsTheFirmwareAndFillsTheQueries)
{
    Open();
    fixtures::PtFirmwareLayout plan;
    plan.apiVersion = 0x00030007;
    ASSERT_EQ(Load(plan), NVT_OK) << Text();

    uint32_t api = 0;
    EXPECT_EQ(nvtGetPtFwApiVersion(handle, &api), NVT_OK);
    EXPECT_EQ(api, 0x00030007u);
    uint16_t buildId = 0;
    EXPECT_EQ(nvtGetPtFwBuildId(handle, nullptr, &buildId), NVT_OK);
    EXPECT_EQ(buildId, plan.buildId);
    uint16_t csVersion = 0;
    EXPECT_EQ(nvtGetPtFwCsVersion(handle, nullptr, &csVersion), NVT_OK);
    EXPECT_EQ(csVersion, plan.csKeysVersion);
    char text[64];
    uint16_t length = sizeof(text);
    EXPECT_EQ(nvtGetPtFwBuildInfo(handle, nullptr, &length, text), NVT_OK);
    EXPECT_STREQ(text, plan.buildIdText.c_str());
    EXPECT_EQ(length, sizeof(text));

    // The firmware was asked for its build id exactly once, without parameters.
    ASSERT_NE(Firmware(), nullptr);
    ASSERT_EQ(Firmware()->log().size(), 1u);
    EXPECT_EQ(Firmware()->log()[0].code, 0x0200);
    EXPECT_EQ(chip->variables()["SPI_FAST_RESET"], "FASTER");
    // The whole image landed in RAM and the program counter names its entry.
    EXPECT_EQ(chip->Peek(4, 0xFFE9), 0);
    EXPECT_EQ(chip->Peek(4, 0xFFEA), plan.startWord);
}

TEST_F(FirmwareLoadTest, StartTimeoutsRunOnTheFakeClock)
{
    // A silent firmware is caught by the alive timeout, one that only ticks
    // by the overall timeout; either way the handle stays without firmware.
    const struct {
        uint16_t behaviour;
        const char* text;
        uint64_t ms;
    } cases[] = {
        {kSilent, "Firmware initialisation timed out: Operation timed out (no 'alive' indication from firmware)", 3000},
        {kAliveOnly, "Firmware initialisation timed out: Operation timed out (no response)", 20000},
    };
    Open();
    for (const auto& c : cases) {
        nvtclock::ScopedFakeClock clock;
        fixtures::PtFirmwareLayout plan;
        plan.behaviour = c.behaviour;
        EXPECT_EQ(Load(plan), NVT_ERR_FW_TIMEOUT);
        EXPECT_EQ(Text(), c.text);
        EXPECT_GE(clock->NowMs(), c.ms);
        EXPECT_LT(clock->NowMs(), c.ms + 100);
        uint32_t api = 0;
        EXPECT_EQ(nvtGetPtFwApiVersion(handle, &api), NVT_ERR_SEQUENCE);
    }
}

TEST_F(FirmwareLoadTest, WrongReadyAnswerIsShownInUpperCaseHex)
{
    Open();
    fixtures::PtFirmwareLayout plan;
    plan.behaviour = kWrongReady;
    plan.behaviourAnswer = 0x8000;
    EXPECT_EQ(Load(plan), NVT_ERR_FW_INIT_FAILED);
    EXPECT_EQ(Text(), "Firmware failed to initialise correctly (response: 0x8000)");
}

TEST_F(FirmwareLoadTest, FileAndTableFailuresReportMinus34)
{
    nvtclock::ScopedFakeClock clock;
    Open();
    fixtures::PtFirmwareLayout noSltp;
    noSltp.withSltp = false;
    EXPECT_EQ(Load(noSltp), NVT_ERR_FW_FILE);
    EXPECT_EQ(Text(), "Failed to locate the lookup table");

    // Missing entries are reported in the order 9, 10, 11, 12, 13.
    const struct {
        std::vector<uint16_t> omit;
        const char* text;
    } missing[] = {
        {{12}, "Results pointer missing"},
        {{13, 9}, "Command location pointer missing"},
        {{11, 13}, "Parameters pointer missing"},
        {{10}, "Alive tick pointer missing"},
        {{13}, "Build ID missing"},
    };
    for (const auto& m : missing) {
        fixtures::PtFirmwareLayout plan;
        plan.omitEntries = m.omit;
        EXPECT_EQ(Load(plan), NVT_ERR_FW_FILE);
        EXPECT_EQ(Text(), m.text);
    }

    fixtures::PtFirmwareLayout shortTable;
    shortTable.ptestFormat = devsim::ptimage::kShortFixedTable;  // holds keys 1 to 3 only
    EXPECT_EQ(Load(shortTable), NVT_ERR_FW_FILE);
    EXPECT_EQ(Text(), "Command location pointer missing");

    fixtures::PtFirmwareLayout triples;
    triples.ptestFormat = devsim::ptimage::kTripleListRedirected;  // magic 0x793D: not a fixed table
    EXPECT_EQ(Load(triples), NVT_ERR_FW_FILE);
    EXPECT_EQ(Text(), "Failed to read the ptest lookup table");

    fixtures::PtFirmwareLayout noMain;
    noMain.mainWord = 0x9000;
    uint64_t slept = clock->SleptMs();
    EXPECT_EQ(Load(noMain), NVT_ERR_FW_FILE);
    EXPECT_EQ(Text(), "Failed to read the firmware lookup table");
    EXPECT_EQ(clock->SleptMs() - slept, 300u);

    fixtures::PtFirmwareLayout mismatch;
    mismatch.mainBuildId = 17;
    EXPECT_EQ(Load(mismatch), NVT_ERR_FW_FILE);
    EXPECT_EQ(Text(), "Firmware contains mismatched build ids (main: 17, ptest: 2603)");

    EXPECT_EQ(nvtLoadPtFirmware(handle, Bytes({}), 0), NVT_ERR_FW_FILE);
    EXPECT_EQ(Text(), "Error reading XBV file (" + files.back()->path() + " corrupt)");
    EXPECT_EQ(nvtLoadPtFirmware(handle, "/nonexistent/fw.xbv", 0), NVT_ERR_FW_FILE);
    EXPECT_EQ(Text(), "Error reading XBV file (Couldn't open /nonexistent/fw.xbv)");
    // None of this left the firmware-loaded state.
    uint32_t api = 0;
    EXPECT_EQ(nvtGetPtFwApiVersion(handle, &api), NVT_ERR_SEQUENCE);
}

TEST_F(FirmwareLoadTest, SequenceAndArgumentChecks)
{
    NvtHandle absent = nullptr;
    ASSERT_EQ(nvtOpen("sim:present=0", nullptr, &absent), NVT_ERR_CONNECTION);
    fixtures::PtFirmwareLayout plan;
    EXPECT_EQ(nvtLoadPtFirmware(absent, File(plan), 0), NVT_ERR_SEQUENCE);
    EXPECT_STREQ(nvtGetLastError(absent), "Invalid sequence: Must be connected");
    // The file queries need no connection and no loaded firmware.
    uint16_t buildId = 0;
    EXPECT_EQ(nvtGetPtFwBuildId(absent, File(plan), &buildId), NVT_OK);
    EXPECT_EQ(buildId, 2603);
    nvtClose(absent);

    Open();
    EXPECT_EQ(nvtLoadPtFirmware(handle, nullptr, 0), NVT_ERR_INVALID_PARAM);
    EXPECT_EQ(Text(), "Invalid parameter(s)");
    uint16_t value = 0;
    EXPECT_EQ(nvtGetPtFwBuildId(handle, nullptr, &value), NVT_ERR_SEQUENCE);
    EXPECT_EQ(Text(), "Invalid sequence: Ptest firmware must be loaded");
    EXPECT_EQ(nvtGetPtFwCsVersion(handle, nullptr, &value), NVT_ERR_SEQUENCE);
    EXPECT_EQ(nvtGetPtFwBuildId(handle, File(plan), nullptr), NVT_ERR_INVALID_PARAM);
    uint32_t api = 0;
    EXPECT_EQ(nvtGetPtFwApiVersion(handle, &api), NVT_ERR_SEQUENCE);
    char text[4];
    uint16_t length = sizeof(text);
    EXPECT_EQ(nvtGetPtFwBuildInfo(handle, nullptr, &length, text), NVT_ERR_SEQUENCE);
    EXPECT_EQ(length, 0);
    ASSERT_EQ(Load(plan), NVT_OK);
    EXPECT_EQ(nvtGetPtFwApiVersion(handle, nullptr), NVT_ERR_INVALID_PARAM);
}

TEST_F(FirmwareLoadTest, QueriesWithAPathOnAConnectedHandle)
{
    Open();
    fixtures::PtFirmwareLayout plan;
    plan.buildId = 4711;
    plan.csKeysVersion = 9;
    plan.buildIdText = "ptest 9";
    const char* path = File(plan);
    uint16_t value = 0;
    EXPECT_EQ(nvtGetPtFwBuildId(handle, path, &value), NVT_OK);
    EXPECT_EQ(value, 4711);
    EXPECT_EQ(nvtGetPtFwCsVersion(handle, path, &value), NVT_OK);
    EXPECT_EQ(value, 9);

    // A buffer one short: -11 and the needed length.
    char text[16];
    uint16_t length = 5;
    EXPECT_EQ(nvtGetPtFwBuildInfo(handle, path, &length, text), NVT_ERR_BUFFER_TOO_SMALL);
    EXPECT_EQ(length, 8);
    EXPECT_EQ(Text(), "The given character buffer length is too small to store the build ID string");
    length = 8;
    EXPECT_EQ(nvtGetPtFwBuildInfo(handle, path, &length, text), NVT_OK);
    EXPECT_STREQ(text, "ptest 9");
    EXPECT_EQ(length, 8);

    length = 0;
    EXPECT_EQ(nvtGetPtFwBuildInfo(handle, path, &length, text), NVT_ERR_INVALID_PARAM);
    length = 16;
    EXPECT_EQ(nvtGetPtFwBuildInfo(handle, path, &length, nullptr), NVT_ERR_INVALID_PARAM);
    EXPECT_EQ(length, 0);

    plan.withBuildIdText = false;
    length = 16;
    const char* bare = File(plan);
    EXPECT_EQ(nvtGetPtFwBuildInfo(handle, bare, &length, text), NVT_ERR_FW_FILE);
    EXPECT_EQ(Text().rfind("Error reading build ID from XBV file (", 0), 0u);
    EXPECT_EQ(Text().back(), ')');
    EXPECT_EQ(length, 0);
    // Loaded without a build-id text, the handle reports the placeholder.
    ASSERT_EQ(nvtLoadPtFirmware(handle, bare, 0), NVT_OK);
    char loaded[64];
    length = sizeof(loaded);
    EXPECT_EQ(nvtGetPtFwBuildInfo(handle, nullptr, &length, loaded), NVT_OK);
    EXPECT_STREQ(loaded, "Failed to get firmware build ID string");
}

TEST_F(FirmwareLoadTest, DeviceFailuresDuringTheLoad)
{
    fixtures::PtFirmwareLayout plan;
    plan.firmwareWords = 0x3000;  // three blocks of code
    Open("sim:resetfail=1");
    EXPECT_EQ(Load(plan), NVT_ERR_STOP_FAILED);
    EXPECT_EQ(Text(), "Failed to reset and stop the chip (the processor did not stop after reset)");
    nvtClose(handle);
    handle = nullptr;

    // A failing block write: the other blocks are still written.
    Open("sim:failwrite=2");
    EXPECT_EQ(Load(plan), NVT_ERR_WRITE_FAILED);
    EXPECT_EQ(Text(), "Failed to write firmware to DUT");
    const uint64_t blocks = fixtures::PtFirmwareContent(plan).memory.Blocks(plan.blockWords).size();
    EXPECT_EQ(chip->counters().writes, blocks);
    EXPECT_FALSE(chip->running());

    // Program counter: both writes are made before the failure is reported.
    chip->ClearCounters();
    chip->FailWriteAt(blocks + 1);
    EXPECT_EQ(Load(plan), NVT_ERR_WRITE_FAILED);
    EXPECT_EQ(Text(), "Firmware download failed: Failed to set Program Counter");
    EXPECT_EQ(chip->counters().writes, blocks + 2);

    // The reads after the start: response, then API version.
    chip->ClearCounters();
    chip->FailWriteAt(0);
    chip->FailReadAt(3);
    EXPECT_EQ(Load(plan), NVT_ERR_READ_FAILED);
    EXPECT_EQ(Text(), "Failed to read firmware initialisation response");
    chip->ClearCounters();
    chip->FailReadAt(4);
    EXPECT_EQ(Load(plan), NVT_ERR_READ_FAILED);
    EXPECT_EQ(Text(), "Failed to read firmware API version");
    chip->FailReadAt(0);
    EXPECT_EQ(Load(plan), NVT_OK);
}

TEST_F(FirmwareLoadTest, CsKeysNeedTheCsCache)
{
    Open();
    fixtures::PtFirmwareLayout plan;
    // Nothing read into the cache yet: no keys to copy, and no firmware started.
    EXPECT_EQ(Load(plan, true), NVT_ERR_CS_NOT_INIT);
    EXPECT_FALSE(chip->running());
    chip->ClearCounters();
    chip->FailReadAt(1);
    EXPECT_EQ(Load(plan, true), NVT_ERR_READ_FAILED);
    EXPECT_EQ(Text(), "Firmware download failed: Failed to read ptest firmware CS keys version number");
}

TEST_F(FirmwareLoadTest, VariantsOfTheImage)
{
    nvtclock::ScopedFakeClock clock;
    Open();
    // Without a start entry the entry point is word 0.
    fixtures::PtFirmwareLayout noStart;
    noStart.withStart = false;
    ASSERT_EQ(Load(noStart), NVT_OK) << Text();
    EXPECT_EQ(chip->Peek(4, 0xFFEA), 0);
    // The main table as a short fixed table, a 32 KiB-word image in small blocks.
    fixtures::PtFirmwareLayout big;
    big.mainFormat = devsim::ptimage::kShortFixedTable;
    big.firmwareWords = 0x8000;
    big.blockWords = 0x800;
    ASSERT_EQ(Load(big), NVT_OK) << Text();
    // A firmware that answers its start after three polls.
    fixtures::PtFirmwareLayout slow;
    slow.answerDelay = 3;
    uint64_t slept = clock->SleptMs();
    ASSERT_EQ(Load(slow), NVT_OK) << Text();
    EXPECT_EQ(clock->SleptMs() - slept, 20u);
    // A load over a running firmware starts the new one.
    uint16_t id = 0;
    ASSERT_EQ(nvtGetPtFwBuildId(handle, nullptr, &id), NVT_OK);
    EXPECT_EQ(id, slow.buildId);
}
