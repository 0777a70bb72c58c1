// The state half of a station for the web view's tests and its demo: the
// station's own, with a plan and a fixture named.
#ifndef NVT_TESTS_STATION_WEB_FAKE_STATION_H
#define NVT_TESTS_STATION_WEB_FAKE_STATION_H

#include "web/viewed_station.h"

#include <string>

class ViewedStation : public station::web::ViewedStation {
public:
    ViewedStation(const std::string& aName, int aSlots) : station::web::ViewedStation(aName, aSlots)
    {
        mView.plan = "plans/sim.toml";
        mView.fixture = "plans/sim-fixture.toml";
    }
};

#endif
