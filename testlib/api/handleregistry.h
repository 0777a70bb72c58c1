// Process-wide list of the live device handles (at most 100).
#ifndef NVT_API_HANDLEREGISTRY_H
#define NVT_API_HANDLEREGISTRY_H

#include <cstddef>
#include <cstdint>
#include <vector>

class CDeviceHandle;

class CHandleRegistry {
public:
    static constexpr size_t kMaxHandles = 100;

    // 0 added, 1 null object, 2 registry full.
    int32_t Add(CDeviceHandle* aObject);
    bool Contains(const void* aObject) const;
    // 0 exactly one entry removed, 1 null object, 3 otherwise.
    int32_t Remove(CDeviceHandle* aObject);
    size_t Size() const { return mEntries.size(); }

    static CHandleRegistry& Instance();

private:
    std::vector<CDeviceHandle*> mEntries;
};

#endif
