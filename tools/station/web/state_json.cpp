#include "web/state_json.h"

#include <cmath>

#include <nlohmann/json.hpp>

namespace station::web {

namespace {

// A number JSON can carry (NaN and infinity cannot).
double Finite(double aValue)
{
    return std::isfinite(aValue) ? aValue : 0.0;
}

}  // namespace

std::string StateJson(const StationView& aView, uint64_t aVersion)
{
    nlohmann::json slots = nlohmann::json::array();
    for (const auto& slot : aView.slots) {
        nlohmann::json steps = nlohmann::json::array();
        for (const auto& step : slot.steps) {
            steps.push_back({{"name", step.name}, {"outcome", step.outcome}, {"value", step.value}});
        }
        slots.push_back({{"slot", slot.slot},
                         {"state", slot.state},
                         {"serial", slot.serial},
                         {"step", slot.step},
                         {"value", slot.value},
                         {"limit", slot.limit},
                         {"marginal", slot.marginal},
                         {"elapsed", Finite(slot.elapsed)},
                         {"outcome", slot.outcome},
                         {"text", slot.text},
                         {"address", slot.address},
                         {"steps", std::move(steps)}});
    }
    const auto& shift = aView.shift;
    const nlohmann::json state = {{"version", aVersion},
                                  {"station", aView.station},
                                  {"plan", aView.plan},
                                  {"fixture", aView.fixture},
                                  {"stopping", aView.stopping},
                                  {"slots", std::move(slots)},
                                  {"shift",
                                   {{"tested", shift.tested},
                                    {"passed", shift.passed},
                                    {"failed", shift.failed},
                                    {"errors", shift.errors},
                                    {"aborted", shift.aborted},
                                    {"first_pass_yield", Finite(shift.firstPassYield)},
                                    {"report_url", shift.reportUrl}}}};
    return state.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace station::web
