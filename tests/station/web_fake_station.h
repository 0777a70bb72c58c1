// The state half of a station for the web view's tests and its demo: a
// view of some slots waiting for serials, its version, and the wait for a
// change. What a serial and the stop do is the deriving class's.
#ifndef NVT_TESTS_STATION_WEB_FAKE_STATION_H
#define NVT_TESTS_STATION_WEB_FAKE_STATION_H

#include "web/webview.h"

#include <condition_variable>
#include <mutex>
#include <string>

class ViewedStation : public station::web::Controller {
public:
    ViewedStation(const std::string& aName, int aSlots)
    {
        mView.station = aName;
        mView.plan = "plans/sim.toml";
        mView.fixture = "plans/sim-fixture.toml";
        for (int slot = 1; slot <= aSlots; ++slot) {
            station::web::SlotView view;
            view.slot = slot;
            view.state = "waiting";
            mView.slots.push_back(view);
        }
    }

    station::web::StationView Snapshot() override
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
    station::web::StationView mView;
    uint64_t mVersion = 1;
};

#endif
