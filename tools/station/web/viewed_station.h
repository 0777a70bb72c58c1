// The state half of a station the web view shows: the view of its slots,
// a version that grows with every change, and the wait for a change. What a
// serial and the stop do is the deriving class's (the serving station, and
// the fakes of the tests and the demo).
#ifndef NVT_STATION_WEB_VIEWED_STATION_H
#define NVT_STATION_WEB_VIEWED_STATION_H

#include "web/webview.h"

#include <condition_variable>
#include <mutex>
#include <string>

namespace station::web {

class ViewedStation : public Controller {
public:
    // A view of aSlots slots waiting for serials.
    ViewedStation(const std::string& aName, int aSlots)
    {
        mView.station = aName;
        for (int slot = 1; slot <= aSlots; ++slot) {
            SlotView view;
            view.slot = slot;
            view.state = "waiting";
            mView.slots.push_back(view);
        }
    }

    StationView Snapshot() override
    {
        std::lock_guard<std::mutex> lock(mMutex);
        return mView;
    }
    uint64_t Version() override
    {
        std::lock_guard<std::mutex> lock(mMutex);
        return mVersion;
    }
    uint64_t WaitForChange(uint64_t aSince, std::chrono::milliseconds aTimeout) override
    {
        std::unique_lock<std::mutex> lock(mMutex);
        mChanged.wait_for(lock, aTimeout, [&] { return mVersion > aSince; });
        return mVersion;
    }

protected:
    // After a change of mView, with mMutex held: a new version, and the
    // waiters told.
    void Changed()
    {
        ++mVersion;
        mChanged.notify_all();
    }

    std::mutex mMutex;
    std::condition_variable mChanged;
    StationView mView;
    uint64_t mVersion = 1;
};

}  // namespace station::web

#endif
