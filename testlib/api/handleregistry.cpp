#include "api/handleregistry.h"

#include <algorithm>

int32_t CHandleRegistry::Add(CDeviceHandle* aObject)
{
    if (aObject == nullptr) return 1;
    if (mEntries.size() >= kMaxHandles) return 2;
    mEntries.push_back(aObject);
    return 0;
}

bool CHandleRegistry::Contains(const void* aObject) const
{
    if (aObject == nullptr) return false;
    return std::find(mEntries.begin(), mEntries.end(), aObject) != mEntries.end();
}

int32_t CHandleRegistry::Remove(CDeviceHandle* aObject)
{
    if (aObject == nullptr) return 1;
    size_t before = mEntries.size();
    mEntries.erase(std::remove(mEntries.begin(), mEntries.end(), aObject), mEntries.end());
    return before - mEntries.size() == 1 ? 0 : 3;
}

CHandleRegistry& CHandleRegistry::Instance()
{
    // Destroyed when the library is unloaded; handles still in it are not
    // closed then.
    static CHandleRegistry registry;
    return registry;
}
