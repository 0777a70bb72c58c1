// The exported functions: each looks its handle up in the registry and
// forwards to the handle's operation. No exception leaves an export: out of
// memory gives -4, any other exception -1 with a text that says so.
#include "nivoratest.h"

#include "api/devicehandle.h"
#include "api/handleregistry.h"
#include "ptest/connection.h"

#include <exception>
#include <memory>
#include <new>
#include <string>

namespace {

const char kInvalidHandleText[] = "The NivoraTest handle is invalid (nvtOpen must be called first).";

CDeviceHandle* Lookup(NvtHandle aHandle)
{
    if (!CHandleRegistry::Instance().Contains(aHandle)) return nullptr;
    return static_cast<CDeviceHandle*>(aHandle);
}

// Stores the text of an exception that ended an export in the handle, when
// there is one, and returns the export's result code.
int32_t Caught(CDeviceHandle* aDevice, const char* aExport, int32_t aCode, const char* aWhat) noexcept
{
    if (aDevice == nullptr) return aCode;
    try {
        if (aCode == NVT_ERR_OUT_OF_MEMORY) {
            aDevice->lastError.SetErrorCode(aCode);
        } else {
            std::string text = std::string("Internal error in ") + aExport;
            if (aWhat != nullptr && *aWhat != '\0') text += std::string(" (") + aWhat + ")";
            aDevice->lastError.SetError(aCode, text);
        }
    } catch (...) {
        // No memory left even for the text: the result code alone must do.
    }
    return aCode;
}

// Runs the body of an export and turns any exception into a result code.
template <class TBody>
int32_t Guarded(CDeviceHandle* aDevice, const char* aExport, TBody aBody) noexcept
{
    try {
        return aBody();
    } catch (const std::bad_alloc&) {
        return Caught(aDevice, aExport, NVT_ERR_OUT_OF_MEMORY, nullptr);
    } catch (const std::exception& e) {
        return Caught(aDevice, aExport, NVT_ERR_GENERAL, e.what());
    } catch (...) {
        return Caught(aDevice, aExport, NVT_ERR_GENERAL, nullptr);
    }
}

}  // namespace

// Forwards a call to the handle's operation, or returns -3 for an invalid handle.
#define NVT_FORWARD(handle, call)                                                 \
    do {                                                                          \
        CDeviceHandle* device = Lookup(handle);                                   \
        if (device == nullptr) return NVT_ERR_INVALID_HANDLE;                     \
        return Guarded(device, __func__, [&]() -> int32_t { return device->call; }); \
    } while (0)

extern "C" {

NVT_API int32_t NVT_CALL nvtOpen(const char* transport, const char* csKeyDbPath, NvtHandle* handle)
{
    // Without a place for the handle nothing is opened, and that has always counted as success.
    if (handle == nullptr) return NVT_OK;
    *handle = nullptr;
    CDeviceHandle* device = nullptr;
    const int32_t rc = Guarded(nullptr, __func__, [&device]() -> int32_t {
        std::unique_ptr<CDeviceHandle> created(new CDeviceHandle);
        if (CHandleRegistry::Instance().Add(created.get()) != 0) return NVT_ERR_GENERAL;
        device = created.release();
        return NVT_OK;
    });
    if (rc != NVT_OK) return rc;
    *handle = device;
    return Guarded(device, __func__, [&]() -> int32_t { return device->Connect(transport, csKeyDbPath); });
}

NVT_API int32_t NVT_CALL nvtClose(NvtHandle handle)
{
    CDeviceHandle* device = Lookup(handle);
    if (device == nullptr) return NVT_ERR_INVALID_HANDLE;
    CHandleRegistry::Instance().Remove(device);
    return Guarded(nullptr, __func__, [device]() -> int32_t {
        delete device;
        return NVT_OK;
    });
}

NVT_API int32_t NVT_CALL nvtGetVersion(uint8_t* major, uint8_t* minor, uint8_t* release, uint8_t* build)
{
    if (major != nullptr) *major = 1;
    if (minor != nullptr) *minor = 3;
    if (release != nullptr) *release = 0;
    if (build != nullptr) *build = 68;
    return NVT_OK;
}

NVT_API int32_t NVT_CALL nvtGetTransports(char* buffer, uintptr_t bufferSize, uintptr_t* count, uintptr_t* needed)
{
    return Guarded(nullptr, __func__,
                   [&]() -> int32_t { return ListTransports(buffer, bufferSize, count, needed); });
}

NVT_API const char* NVT_CALL nvtGetLastError(NvtHandle handle)
{
    // Neither the lookup nor the text can throw.
    CDeviceHandle* device = Lookup(handle);
    return device == nullptr ? kInvalidHandleText : device->LastErrorText();
}

NVT_API int32_t NVT_CALL nvtGetChipId(NvtHandle handle, uint16_t* chipId)
{
    NVT_FORWARD(handle, GetChipId(chipId));
}

NVT_API int32_t NVT_CALL nvtLoadPtFirmware(NvtHandle handle, const char* xbvPath, uint8_t loadCsKeys)
{
    NVT_FORWARD(handle, LoadPtFirmware(xbvPath, loadCsKeys != 0));
}

NVT_API int32_t NVT_CALL nvtGetPtFwBuildInfo(NvtHandle handle, const char* xbvPath, uint16_t* length, char* buffer)
{
    NVT_FORWARD(handle, GetPtFwBuildInfo(xbvPath, length, buffer));
}

NVT_API int32_t NVT_CALL nvtGetPtFwBuildId(NvtHandle handle, const char* xbvPath, uint16_t* buildId)
{
    NVT_FORWARD(handle, GetPtFwBuildId(xbvPath, buildId));
}

NVT_API int32_t NVT_CALL nvtGetPtFwCsVersion(NvtHandle handle, const char* xbvPath, uint16_t* csVersion)
{
    NVT_FORWARD(handle, GetPtFwCsVersion(xbvPath, csVersion));
}

NVT_API int32_t NVT_CALL nvtGetPtFwApiVersion(NvtHandle handle, uint32_t* apiVersion)
{
    NVT_FORWARD(handle, GetPtFwApiVersion(apiVersion));
}

NVT_API int32_t NVT_CALL nvtRadSetXtalTrim(NvtHandle handle, uint16_t xtalTrim)
{
    NVT_FORWARD(handle, RadSetXtalTrim(xtalTrim));
}

NVT_API int32_t NVT_CALL nvtRadCwStart(NvtHandle handle, uint8_t channel, uint16_t frequencyMhz)
{
    NVT_FORWARD(handle, RadCwStart(channel, frequencyMhz));
}

NVT_API int32_t NVT_CALL nvtRadStop(NvtHandle handle)
{
    NVT_FORWARD(handle, RadStop());
}

NVT_API int32_t NVT_CALL nvtRadTxStart(NvtHandle handle, uint8_t channel, uint8_t txLength, uint8_t payloadType, uint16_t packetCount)
{
    NVT_FORWARD(handle, RadTxStart(channel, txLength, payloadType, packetCount));
}

NVT_API int32_t NVT_CALL nvtRadTxGetPkts(NvtHandle handle, uint16_t* packets)
{
    NVT_FORWARD(handle, RadTxGetPkts(packets));
}

NVT_API int32_t NVT_CALL nvtRadRxStart(NvtHandle handle, uint8_t channel)
{
    NVT_FORWARD(handle, RadRxStart(channel));
}

NVT_API int32_t NVT_CALL nvtRadRxGetPkts(NvtHandle handle, uint16_t* packets)
{
    NVT_FORWARD(handle, RadRxGetPkts(packets));
}

NVT_API int32_t NVT_CALL nvtPioAssign(NvtHandle handle, uint32_t pioWordA, uint32_t pioWordB)
{
    NVT_FORWARD(handle, PioAssign(pioWordA, pioWordB));
}

NVT_API int32_t NVT_CALL nvtPioGet(NvtHandle handle, uint32_t* pioWordA, uint32_t* pioWordB)
{
    NVT_FORWARD(handle, PioGet(pioWordA, pioWordB));
}

NVT_API int32_t NVT_CALL nvtPioSet(NvtHandle handle, uint32_t pioWordA, uint32_t pioWordB)
{
    NVT_FORWARD(handle, PioSet(pioWordA, pioWordB));
}

NVT_API int32_t NVT_CALL nvtLedSet(NvtHandle handle, uint32_t ledWord, uint8_t ledMode, uint16_t ledValue, uint8_t ledBrightness)
{
    NVT_FORWARD(handle, LedSet(ledWord, ledMode, ledValue, ledBrightness));
}

NVT_API int32_t NVT_CALL nvtAioSet(NvtHandle handle, uint8_t aioChannel, uint16_t aioValue)
{
    NVT_FORWARD(handle, AioSet(aioChannel, aioValue));
}

NVT_API int32_t NVT_CALL nvtAioGet(NvtHandle handle, uint8_t aioChannel, uint16_t* aioValue)
{
    NVT_FORWARD(handle, AioGet(aioChannel, aioValue));
}

NVT_API int32_t NVT_CALL nvtUartLbTest(NvtHandle handle, const char* comPort, uint32_t baudRate)
{
    NVT_FORWARD(handle, UartLbTest(comPort, baudRate));
}

NVT_API int32_t NVT_CALL nvtCsCacheReadFromChip(NvtHandle handle, uint32_t nvmType, uint8_t csOnly)
{
    NVT_FORWARD(handle, CsCacheReadFromChip(nvmType, csOnly != 0));
}

NVT_API int32_t NVT_CALL nvtCsCacheWriteToChip(NvtHandle handle, uint32_t nvmType, uint8_t csOnly)
{
    NVT_FORWARD(handle, CsCacheWriteToChip(nvmType, csOnly != 0));
}

NVT_API int32_t NVT_CALL nvtCsCacheReadFromFile(NvtHandle handle, const char* path)
{
    NVT_FORWARD(handle, CsCacheReadFromFile(path));
}

NVT_API int32_t NVT_CALL nvtCsCacheWriteToFile(NvtHandle handle, const char* path)
{
    NVT_FORWARD(handle, CsCacheWriteToFile(path));
}

NVT_API int32_t NVT_CALL nvtCsCacheReadItem(NvtHandle handle, const char* keyName, uint16_t* data, uint16_t* length)
{
    NVT_FORWARD(handle, CsCacheReadItem(keyName, data, length));
}

NVT_API int32_t NVT_CALL nvtCsCacheWriteItem(NvtHandle handle, const char* keyName, uint16_t* data, uint16_t* length)
{
    NVT_FORWARD(handle, CsCacheWriteItem(keyName, data, length));
}

NVT_API int32_t NVT_CALL nvtCsCacheGetVersion(NvtHandle handle, uint16_t* csVersion)
{
    NVT_FORWARD(handle, CsCacheGetVersion(csVersion));
}

NVT_API int32_t NVT_CALL nvtCsCacheFileMerge(NvtHandle handle, const char* path, uint32_t flags)
{
    NVT_FORWARD(handle, CsCacheFileMerge(path, flags));
}

}  // extern "C"
