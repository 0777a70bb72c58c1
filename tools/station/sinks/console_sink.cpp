// The console: one line per DUT once the run has ended, its outcome, slot,
// address and why it did not pass, and below it what its steps measured.
#include "sinks/sink.h"

#include "text.h"

namespace station {

namespace {

class Console : public Sink {
public:
    explicit Console(std::FILE* aOut) : mOut(aOut) {}
    std::string Name() const override { return ""; }
    bool Add(const Record&, std::string&) override { return true; }
    bool Close(const std::vector<Record>& aRecords, std::string&) override
    {
        for (const Record& r : aRecords) {
            std::fprintf(mOut, "%-5s slot %d  %s%s%s\n", OutcomeText(r.outcome), r.slot,
                         r.address.empty() ? "-" : r.address.c_str(),
                         r.addressSource == AddressSource::Retest ? " (retest, kept)" : "",
                         r.text.empty() ? "" : ("  " + TerminalSafe(r.text)).c_str());
            std::string measured;
            for (const StepRecord& step : r.steps) {
                for (const Measurement& m : step.measurements) {
                    char value[32];
                    std::snprintf(value, sizeof value, "%.4g", m.value);
                    measured += (measured.empty() ? "" : ", ") + step.name + "." + m.name + " " + value +
                                (m.unit.empty() ? "" : " " + m.unit) + (m.marginal ? " (marginal)" : "");
                }
            }
            if (!measured.empty()) std::fprintf(mOut, "      %s\n", TerminalSafe(measured).c_str());
        }
        return true;
    }

private:
    std::FILE* mOut;
};

}  // namespace

std::unique_ptr<Sink> ConsoleSink(std::FILE* aOut)
{
    return std::make_unique<Console>(aOut);
}

}  // namespace station
