// The operator's web view over a scripted station, for the browser test and
// for trying the page by hand:
//
//   webview_demo [--listen HOST:PORT] [--token TOKEN] [--slots N] [--step-ms MS] [--report-url URL]
//
// Prints "webview_demo: listening on http://HOST:PORT/" once it listens, and
// ends (status 0) a moment after a stop from the page, once every unit has
// ended. What a serial does:
//
//   not SN- and 4 to 12 of 0-9 A-Z   refused: the serial pattern
//   running on another slot          refused: "SN-... is running on slot N"
//   SN-Q...                          refused: quarantined after 5 attempts
//   SN-F...                          FAIL at tx_power (below its limit)
//   SN-E...                          ERROR at xtal_cal (the tester does not answer)
//   SN-M...                          PASS, tx_power marginal
//   SN-S...                          PASS, slowly: from tx_power on, each step 50 times as long
//   any other                        PASS
#include "web/webview.h"
#include "web_fake_station.h"

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using station::web::SlotView;
using station::web::StationView;
using Clock = std::chrono::steady_clock;

struct StepScript {
    const char* name;
    const char* value;
    const char* limit;
};

const StepScript kSteps[] = {
    {"open", "", ""},
    {"firmware_load", "", ""},
    {"xtal_cal", "trim 31, +0.8 ppm", "-10 to 10 ppm"},
    {"tx_power", "4.03 dBm", "-20 to 10 dBm"},
    {"tx_freq", "+12.5 kHz", "-150 to 150 kHz"},
    {"rx_per", "0.08 %", "0 to 1 %"},
    {"cs_write", "", ""},
};

// SN- and 4 to 12 of 0-9 A-Z.
bool MatchesPattern(const std::string& aSerial)
{
    if (aSerial.size() < 7 || aSerial.size() > 15 || aSerial.compare(0, 3, "SN-") != 0) return false;
    for (size_t i = 3; i < aSerial.size(); ++i) {
        const char c = aSerial[i];
        if (!(c >= '0' && c <= '9') && !(c >= 'A' && c <= 'Z')) return false;
    }
    return true;
}

class ScriptedStation : public ViewedStation {
public:
    ScriptedStation(int aSlots, std::chrono::milliseconds aStep, const std::string& aReportUrl)
        : ViewedStation("demo-station", aSlots), mStep(aStep)
    {
        mView.shift.reportUrl = aReportUrl;
    }

    ~ScriptedStation() override
    {
        Stop();
        for (auto& unit : mUnits) unit.join();
    }

    StationView Snapshot() override
    {
        std::lock_guard<std::mutex> lock(mMutex);
        StationView view = mView;
        const auto now = Clock::now();
        for (auto& slot : view.slots) {
            if (slot.state == "running") {
                slot.elapsed = std::chrono::duration<double>(now - mStarted[slot.slot]).count();
            }
        }
        return view;
    }

    std::string SubmitSerial(int aSlot, const std::string& aSerial) override
    {
        std::lock_guard<std::mutex> lock(mMutex);
        if (mView.stopping) return "the station is stopping";
        SlotView* slot = nullptr;
        for (auto& view : mView.slots) {
            if (view.slot == aSlot) slot = &view;
            if (view.state == "running" && view.serial == aSerial) {
                return aSerial + " is running on slot " + std::to_string(view.slot);
            }
        }
        if (!slot) return "the station has no slot " + std::to_string(aSlot);
        if (slot->state == "running") return "slot " + std::to_string(aSlot) + " is testing " + slot->serial;
        if (!MatchesPattern(aSerial)) {
            return "the serial \"" + aSerial + "\" does not match the pattern SN-[0-9A-Z]{4,12}";
        }
        if (aSerial.compare(0, 4, "SN-Q") == 0) return aSerial + " is quarantined after 5 attempts";
        slot->state = "running";
        slot->serial = aSerial;
        slot->step = "";
        slot->value = slot->limit = slot->outcome = slot->text = slot->address = "";
        slot->marginal = false;
        slot->elapsed = 0;
        slot->steps.clear();
        mStarted[aSlot] = Clock::now();
        Changed();
        mUnits.emplace_back([this, aSlot, aSerial] { Run(aSlot, aSerial); });
        return "";
    }

    void Stop() override
    {
        std::lock_guard<std::mutex> lock(mMutex);
        if (mView.stopping) return;
        mView.stopping = true;
        Changed();
    }

    // Waits for a stop and for every unit to end.
    void WaitUntilStopped()
    {
        std::unique_lock<std::mutex> lock(mMutex);
        mChanged.wait(lock, [&] {
            if (!mView.stopping) return false;
            for (const auto& slot : mView.slots) {
                if (slot.state == "running") return false;
            }
            return true;
        });
    }

private:
    SlotView& SlotOf(int aSlot)
    {
        for (auto& view : mView.slots) {
            if (view.slot == aSlot) return view;
        }
        std::abort();
    }

    // Ends the unit with aOutcome; counts it in the shift.
    void End(SlotView& aSlot, const std::string& aOutcome, const std::string& aText)
    {
        aSlot.state = "done";
        aSlot.outcome = aOutcome;
        aSlot.text = aText;
        aSlot.elapsed = std::chrono::duration<double>(Clock::now() - mStarted[aSlot.slot]).count();
        auto& shift = mView.shift;
        ++shift.tested;
        if (aOutcome == "PASS") ++shift.passed;
        if (aOutcome == "FAIL") ++shift.failed;
        if (aOutcome == "ERROR") ++shift.errors;
        if (aOutcome == "ABORT") ++shift.aborted;
        if (++mAttempts[aSlot.serial] == 1 && aOutcome == "PASS") ++mFirstPass;
        shift.firstPassYield = static_cast<double>(mFirstPass) / shift.tested;
        Changed();
    }

    void Run(int aSlot, const std::string& aSerial)
    {
        bool slow = false;
        const char kind = aSerial.size() > 3 ? aSerial[3] : '0';
        std::unique_lock<std::mutex> lock(mMutex);
        for (const auto& script : kSteps) {
            slow = slow || (kind == 'S' && std::strcmp(script.name, "tx_power") == 0);
            const auto step = slow ? mStep * 50 : mStep;
            {
                SlotView& slot = SlotOf(aSlot);
                slot.step = script.name;
                slot.steps.push_back({script.name, "", ""});
                Changed();
            }
            if (mChanged.wait_for(lock, step, [&] { return mView.stopping; })) {
                SlotView& slot = SlotOf(aSlot);
                slot.steps.back().outcome = "ABORT";
                End(slot, "ABORT", "stopped by the operator");
                return;
            }
            SlotView& slot = SlotOf(aSlot);
            auto& line = slot.steps.back();
            std::string value = script.value;
            if (std::strcmp(script.name, "cs_write") == 0) {
                char address[32];
                std::snprintf(address, sizeof address, "005B:02:%06X", 0x100 + ++mAddresses);
                value = slot.address = address;
            }
            if (std::strcmp(script.name, "xtal_cal") == 0 && kind == 'E') {
                line.outcome = "ERROR";
                End(slot, "ERROR", "xtal_cal: the tester at 127.0.0.1:5025 does not answer (no answer within 5000 ms)");
                return;
            }
            if (std::strcmp(script.name, "tx_power") == 0 && kind == 'F') value = "-24.51 dBm";
            if (std::strcmp(script.name, "tx_power") == 0 && kind == 'M') value = "9.42 dBm";
            line.value = value;
            if (*script.limit) {
                slot.value = value;
                slot.limit = script.limit;
                slot.marginal = kind == 'M' && std::strcmp(script.name, "tx_power") == 0;
            }
            if (std::strcmp(script.name, "tx_power") == 0 && kind == 'F') {
                line.outcome = "FAIL";
                End(slot, "FAIL", "tx_power: -24.51 dBm is below its limit of -20 dBm");
                return;
            }
            line.outcome = "PASS";
            Changed();
        }
        SlotView& slot = SlotOf(aSlot);
        slot.step = "";
        End(slot, "PASS", "");
    }

    std::chrono::milliseconds mStep;
    std::map<int, Clock::time_point> mStarted;
    std::map<std::string, int> mAttempts;
    int mFirstPass = 0;
    int mAddresses = 0;
    std::vector<std::thread> mUnits;
};

}  // namespace

int main(int argc, char** argv)
{
    std::string listen = "127.0.0.1:0", token,
                reportUrl = "https://mes.line.example/reports/yield?station=demo-station";
    int slots = 2;
    long stepMs = 120;
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        if (i + 1 >= argc) {
            std::fprintf(stderr, "webview_demo: %s needs a value\n", option.c_str());
            return 2;
        }
        const std::string value = argv[++i];
        if (option == "--listen") {
            listen = value;
        } else if (option == "--token") {
            token = value;
        } else if (option == "--slots") {
            slots = std::atoi(value.c_str());
        } else if (option == "--step-ms") {
            stepMs = std::atol(value.c_str());
        } else if (option == "--report-url") {
            reportUrl = value;
        } else {
            std::fprintf(stderr, "webview_demo: unknown option %s\n", option.c_str());
            return 2;
        }
    }
    if (slots < 1 || slots > 16 || stepMs < 1 || stepMs > 60000) {
        std::fprintf(stderr, "webview_demo: --slots takes 1 to 16, --step-ms 1 to 60000\n");
        return 2;
    }
    ScriptedStation station(slots, std::chrono::milliseconds(stepMs), reportUrl);
    station::web::WebServer server;
    std::string error;
    if (!server.Start(listen, token, station, error)) {
        std::fprintf(stderr, "webview_demo: %s\n", error.c_str());
        return 2;
    }
    std::printf("webview_demo: listening on http://%s/\n", server.Address().c_str());
    std::fflush(stdout);
    station.WaitUntilStopped();
    // The pages see the stop and the aborted units before the server goes.
    server.Drain(std::chrono::seconds(2));
    server.Close();
    std::printf("webview_demo: stopped\n");
    return 0;
}
