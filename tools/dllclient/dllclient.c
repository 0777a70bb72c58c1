/* The smallest test-station client of NivoraTest.dll, in plain C. It is
 * built two ways: bound at load time through the import library, or (with
 * NVT_CLIENT_LOAD_LIBRARY) loading the DLL with LoadLibrary and finding the
 * exports by their undecorated names with GetProcAddress.
 *
 *   dllclient [transport]      (default "sim")
 *
 * Prints the library version and the result of nvtOpen on the transport;
 * exits with 0 when the version is 1.3.0.68 and the open succeeded.
 */
#include "nivoratest.h"

#include <stdio.h>
#include <windows.h>

typedef int32_t(NVT_CALL *GetVersionFn)(uint8_t *, uint8_t *, uint8_t *, uint8_t *);
typedef int32_t(NVT_CALL *OpenFn)(const char *, const char *, NvtHandle *);
typedef const char *(NVT_CALL *GetLastErrorFn)(NvtHandle);
typedef int32_t(NVT_CALL *CloseFn)(NvtHandle);

int main(int argc, char **argv)
{
    const char *transport = argc > 1 ? argv[1] : "sim";
    GetVersionFn getVersion;
    OpenFn openFn;
    GetLastErrorFn getLastError;
    CloseFn closeFn;
    uint8_t major = 0, minor = 0, release = 0, build = 0;
    NvtHandle handle = NULL;
    int32_t result;

#if defined(NVT_CLIENT_LOAD_LIBRARY)
    HMODULE library = LoadLibraryA("NivoraTest.dll");
    if (library == NULL) {
        printf("LoadLibrary(NivoraTest.dll) failed: %lu\n", (unsigned long)GetLastError());
        return 2;
    }
    getVersion = (GetVersionFn)(void *)GetProcAddress(library, "nvtGetVersion");
    openFn = (OpenFn)(void *)GetProcAddress(library, "nvtOpen");
    getLastError = (GetLastErrorFn)(void *)GetProcAddress(library, "nvtGetLastError");
    closeFn = (CloseFn)(void *)GetProcAddress(library, "nvtClose");
    if (getVersion == NULL || openFn == NULL || getLastError == NULL || closeFn == NULL) {
        printf("an export is missing under its undecorated name\n");
        return 2;
    }
#else
    getVersion = nvtGetVersion;
    openFn = nvtOpen;
    getLastError = nvtGetLastError;
    closeFn = nvtClose;
#endif

    getVersion(&major, &minor, &release, &build);
    printf("NivoraTest %u.%u.%u.%u\n", major, minor, release, build);
    result = openFn(transport, NULL, &handle);
    printf("nvtOpen(\"%s\") = %ld%s%s\n", transport, (long)result, result != 0 ? ": " : "",
           result != 0 ? getLastError(handle) : "");
    if (handle != NULL)
        closeFn(handle);
#if defined(NVT_CLIENT_LOAD_LIBRARY)
    FreeLibrary(library);
#endif
    return (major == 1 && minor == 3 && release == 0 && build == 68 && result == 0) ? 0 : 1;
}
