/*
 * The public header as a C program sees it: compiled as C99, linked against
 * the shared library, calling every export once. With no handle every
 * handle function must return -3; one handle on the simulated chip is then
 * opened, asked for its chip ID and closed. Exit status 0 when every result
 * is the expected one.
 */
#include "nivoratest.h"

#include <stdio.h>
#include <string.h>

static int failures = 0;

static void Expect(const char* what, int32_t got, int32_t expected)
{
    if (got != expected) {
        fprintf(stderr, "%s: got %d, expected %d\n", what, (int)got, (int)expected);
        ++failures;
    }
}

#define NO_HANDLE(call) Expect(#call, call, NVT_ERR_INVALID_HANDLE)

int main(void)
{
    uint8_t major = 0, minor = 0, release = 0, build = 0;
    uintptr_t count = 0, needed = 0;
    char transports[64];
    uint16_t word = 0, length = sizeof(transports);
    uint32_t value = 0, other = 0;
    NvtHandle handle = NULL;
    int32_t rc;

    Expect("nvtGetVersion", nvtGetVersion(&major, &minor, &release, &build), NVT_OK);
    Expect("version", major * 1000000 + minor * 10000 + release * 100 + build, 1030068);

    /* A null buffer of size 0 only reports the sizes. */
    nvtGetTransports(NULL, 0, &count, &needed);
    Expect("transport count", (int32_t)count, 1);
    Expect("nvtGetTransports", nvtGetTransports(transports, sizeof(transports), &count, &needed), NVT_OK);
    Expect("first transport is sim", strcmp(transports, "sim"), 0);

    if (strcmp(nvtGetLastError(NULL), "The NivoraTest handle is invalid (nvtOpen must be called first).") != 0) {
        fprintf(stderr, "nvtGetLastError(NULL): %s\n", nvtGetLastError(NULL));
        ++failures;
    }
    NO_HANDLE(nvtClose(NULL));
    NO_HANDLE(nvtGetChipId(NULL, &word));
    NO_HANDLE(nvtLoadPtFirmware(NULL, "ptest.xbv", 1));
    NO_HANDLE(nvtGetPtFwBuildInfo(NULL, NULL, &length, transports));
    NO_HANDLE(nvtGetPtFwBuildId(NULL, NULL, &word));
    NO_HANDLE(nvtGetPtFwCsVersion(NULL, NULL, &word));
    NO_HANDLE(nvtGetPtFwApiVersion(NULL, &value));
    NO_HANDLE(nvtRadSetXtalTrim(NULL, 10));
    NO_HANDLE(nvtRadCwStart(NULL, 5, 2440));
    NO_HANDLE(nvtRadStop(NULL));
    NO_HANDLE(nvtRadTxStart(NULL, 5, 37, 1, 100));
    NO_HANDLE(nvtRadTxGetPkts(NULL, &word));
    NO_HANDLE(nvtRadRxStart(NULL, 5));
    NO_HANDLE(nvtRadRxGetPkts(NULL, &word));
    NO_HANDLE(nvtPioAssign(NULL, 1u, 2u));
    NO_HANDLE(nvtPioGet(NULL, &value, &other));
    NO_HANDLE(nvtPioSet(NULL, 1u, 2u));
    NO_HANDLE(nvtLedSet(NULL, 1u, 0, 100, 50));
    NO_HANDLE(nvtAioSet(NULL, 0, 512));
    NO_HANDLE(nvtAioGet(NULL, 0, &word));
    NO_HANDLE(nvtUartLbTest(NULL, "/dev/null", 115200u));
    NO_HANDLE(nvtCsCacheReadFromChip(NULL, NVT_NVM_EEPROM, 1));
    NO_HANDLE(nvtCsCacheWriteToChip(NULL, NVT_NVM_SPI_FLASH, 1));
    NO_HANDLE(nvtCsCacheReadFromFile(NULL, "cache.xuv"));
    NO_HANDLE(nvtCsCacheWriteToFile(NULL, "cache.xuv"));
    NO_HANDLE(nvtCsCacheReadItem(NULL, "KEY", &word, &length));
    NO_HANDLE(nvtCsCacheWriteItem(NULL, "KEY", &word, &length));
    NO_HANDLE(nvtCsCacheGetVersion(NULL, &word));
    NO_HANDLE(nvtCsCacheFileMerge(NULL, "cache.xuv", 0u));

    /* The handle is valid even when the key database is missing. */
    rc = nvtOpen("sim", NULL, &handle);
    if (rc != NVT_OK && rc != NVT_ERR_CS_GENERAL) Expect("nvtOpen", rc, NVT_OK);
    Expect("nvtGetChipId", nvtGetChipId(handle, &word), NVT_OK);
    Expect("chip ID", word, 0x4B2D);
    Expect("nvtClose", nvtClose(handle), NVT_OK);

    if (failures == 0) printf("every export answered as expected\n");
    return failures == 0 ? 0 : 1;
}
