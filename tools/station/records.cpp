#include "records.h"

#include "platform.h"

#include <cstdio>
#include <cstring>

namespace station {

namespace {

nlohmann::json Optional(const std::optional<double>& aValue)
{
    return aValue ? nlohmann::json(*aValue) : nlohmann::json(nullptr);
}

std::optional<double> OptionalOf(const nlohmann::json& aJson)
{
    return aJson.is_number() ? std::optional<double>(aJson.get<double>()) : std::nullopt;
}

std::string Number(double aValue)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.3f", aValue);
    return text;
}

const Outcome kOutcomes[] = {Outcome::Pass, Outcome::Fail, Outcome::Error, Outcome::Abort};
const AddressSource kSources[] = {AddressSource::None, AddressSource::New, AddressSource::Retest};

}  // namespace

const char* OutcomeText(Outcome aOutcome)
{
    switch (aOutcome) {
    case Outcome::Pass: return "PASS";
    case Outcome::Fail: return "FAIL";
    case Outcome::Error: return "ERROR";
    case Outcome::Abort: return "ABORT";
    }
    return "ERROR";
}

bool OutcomeFromText(const std::string& aText, Outcome& aOutcome)
{
    for (Outcome o : kOutcomes) {
        if (aText == OutcomeText(o)) {
            aOutcome = o;
            return true;
        }
    }
    return false;
}

const char* AddressSourceText(AddressSource aSource)
{
    switch (aSource) {
    case AddressSource::None: return "";
    case AddressSource::New: return "new";
    case AddressSource::Retest: return "retest";
    }
    return "";
}

bool AddressSourceFromText(const std::string& aText, AddressSource& aSource)
{
    for (AddressSource s : kSources) {
        if (aText == AddressSourceText(s)) {
            aSource = s;
            return true;
        }
    }
    return false;
}

nlohmann::json ToJson(const Record& aRecord)
{
    nlohmann::json steps = nlohmann::json::array();
    for (const StepRecord& s : aRecord.steps) {
        nlohmann::json step = {{"name", s.name}, {"value", s.value}, {"unit", s.unit}, {"low", Optional(s.low)},
                               {"high", Optional(s.high)}, {"outcome", OutcomeText(s.outcome)}, {"ms", s.ms},
                               {"code", s.code}, {"text", s.text}};
        if (!s.measurements.empty()) {
            nlohmann::json measurements = nlohmann::json::array();
            for (const Measurement& m : s.measurements)
                measurements.push_back({{"name", m.name}, {"value", m.value}, {"unit", m.unit}, {"low", Optional(m.low)},
                                        {"high", Optional(m.high)}, {"marginal_low", Optional(m.marginalLow)},
                                        {"marginal_high", Optional(m.marginalHigh)}, {"marginal", m.marginal},
                                        {"outcome", OutcomeText(m.outcome)}});
            step["measurements"] = measurements;
        }
        steps.push_back(step);
    }
    return {{"run_id", aRecord.runId},
            {"station", aRecord.station},
            {"slot", aRecord.slot},
            {"transport", aRecord.transport},
            {"operator", aRecord.operatorName},
            {"serial", aRecord.serial},
            {"address", aRecord.address},
            {"address_source", AddressSourceText(aRecord.addressSource)},
            {"repair", aRecord.repair},
            {"library_version", aRecord.libraryVersion},
            {"firmware_build_id", aRecord.firmwareBuildId},
            {"firmware_sha256", aRecord.firmwareSha256},
            {"key_database_sha256", aRecord.keyDatabaseSha256},
            {"plan", aRecord.plan},
            {"plan_name", aRecord.planName},
            {"plan_sha256", aRecord.planSha256},
            {"started", aRecord.started},
            {"ended", aRecord.ended},
            {"outcome", OutcomeText(aRecord.outcome)},
            {"text", aRecord.text},
            {"steps", steps}};
}

bool FromJson(const nlohmann::json& aJson, Record& aRecord)
{
    try {
        aRecord = Record();
        aRecord.runId = aJson.at("run_id").get<std::string>();
        aRecord.station = aJson.at("station").get<std::string>();
        aRecord.slot = aJson.at("slot").get<int>();
        aRecord.transport = aJson.value("transport", "");
        aRecord.operatorName = aJson.value("operator", "");
        aRecord.serial = aJson.value("serial", "");
        aRecord.address = aJson.value("address", "");
        if (!AddressSourceFromText(aJson.value("address_source", ""), aRecord.addressSource)) return false;
        aRecord.repair = aJson.value("repair", false);
        aRecord.libraryVersion = aJson.value("library_version", "");
        aRecord.firmwareBuildId = aJson.value("firmware_build_id", -1);
        aRecord.firmwareSha256 = aJson.value("firmware_sha256", "");
        aRecord.keyDatabaseSha256 = aJson.value("key_database_sha256", "");
        aRecord.plan = aJson.value("plan", "");
        aRecord.planName = aJson.value("plan_name", "");
        aRecord.planSha256 = aJson.value("plan_sha256", "");
        aRecord.started = aJson.value("started", "");
        aRecord.ended = aJson.value("ended", "");
        if (!OutcomeFromText(aJson.at("outcome").get<std::string>(), aRecord.outcome)) return false;
        aRecord.text = aJson.value("text", "");
        for (const auto& s : aJson.at("steps")) {
            StepRecord step;
            step.name = s.at("name").get<std::string>();
            step.value = s.value("value", "");
            step.unit = s.value("unit", "");
            step.low = OptionalOf(s.value("low", nlohmann::json()));
            step.high = OptionalOf(s.value("high", nlohmann::json()));
            if (!OutcomeFromText(s.value("outcome", ""), step.outcome)) return false;
            step.ms = s.value("ms", 0.0);
            step.code = s.value("code", 0);
            step.text = s.value("text", "");
            for (const auto& m : s.value("measurements", nlohmann::json::array())) {
                Measurement measurement;
                measurement.name = m.at("name").get<std::string>();
                measurement.value = m.at("value").get<double>();
                measurement.unit = m.value("unit", "");
                measurement.low = OptionalOf(m.value("low", nlohmann::json()));
                measurement.high = OptionalOf(m.value("high", nlohmann::json()));
                measurement.marginalLow = OptionalOf(m.value("marginal_low", nlohmann::json()));
                measurement.marginalHigh = OptionalOf(m.value("marginal_high", nlohmann::json()));
                measurement.marginal = m.value("marginal", false);
                if (!OutcomeFromText(m.value("outcome", ""), measurement.outcome)) return false;
                step.measurements.push_back(measurement);
            }
            aRecord.steps.push_back(step);
        }
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

std::string JsonText(const Record& aRecord)
{
    return ToJson(aRecord).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::string FailingStep(const Record& aRecord)
{
    if (aRecord.outcome == Outcome::Pass) return "";
    for (auto it = aRecord.steps.rbegin(); it != aRecord.steps.rend(); ++it)
        if (it->outcome != Outcome::Pass) return it->name;
    return "";
}

int ExitStatus(const std::vector<Record>& aRecords, bool aKept)
{
    bool failed = false, errored = !aKept, aborted = false;
    for (const Record& r : aRecords) {
        failed |= r.outcome == Outcome::Fail;
        errored |= r.outcome == Outcome::Error;
        aborted |= r.outcome == Outcome::Abort;
    }
    return aborted ? 3 : errored ? 2 : failed ? 1 : 0;
}

namespace {

// A whole number or a decimal fraction, with a sign: a spreadsheet reads it
// as the number it is.
bool IsPlainNumber(const std::string& aText)
{
    size_t i = aText[0] == '-' || aText[0] == '+' ? 1 : 0;
    bool digits = false, point = false;
    for (; i < aText.size(); ++i) {
        if (aText[i] >= '0' && aText[i] <= '9') digits = true;
        else if (aText[i] == '.' && !point) point = true;
        else return false;
    }
    return digits;
}

}  // namespace

std::string CsvField(const std::string& aText)
{
    // A spreadsheet would run a field that starts with one of these as a
    // formula; the texts come from devices and files, so they are defused
    // (a plain number stays a number).
    const bool formula = !aText.empty() && std::strchr("=+-@\t\r", aText[0]) != nullptr && aText[0] != '\0' &&
                         !IsPlainNumber(aText);
    const std::string text = formula ? "'" + aText : aText;
    if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
    std::string quoted = "\"";
    for (char c : text) {
        if (c == '"') quoted += '"';
        quoted += c;
    }
    return quoted + "\"";
}

bool WriteCsv(const std::string& aPath, const std::vector<Record>& aRecords, std::string& aError)
{
    std::string csv =
        "run_id,station,slot,operator,serial,address,address_source,repair,outcome,started,ended,"
        "library_version,firmware_build_id,firmware_sha256,key_database_sha256,plan_sha256,"
        "step,value,unit,low,high,step_outcome,ms,code,text\r\n";
    auto opt = [](const std::optional<double>& aValue) {
        if (!aValue) return std::string();
        char text[32];
        std::snprintf(text, sizeof text, "%g", *aValue);
        return std::string(text);
    };
    for (const Record& r : aRecords) {
        const std::string head = CsvField(r.runId) + "," + CsvField(r.station) + "," + std::to_string(r.slot) + "," +
                                 CsvField(r.operatorName) + "," + CsvField(r.serial) + "," + CsvField(r.address) + "," +
                                 CsvField(AddressSourceText(r.addressSource)) + "," + (r.repair ? "yes" : "no") + "," +
                                 OutcomeText(r.outcome) + "," +
                                 r.started + "," + r.ended + "," + CsvField(r.libraryVersion) + "," +
                                 std::to_string(r.firmwareBuildId) + "," + r.firmwareSha256 + "," +
                                 r.keyDatabaseSha256 + "," + r.planSha256 + ",";
        if (r.steps.empty()) csv += head + ",,,,,,,," + CsvField(r.text) + "\r\n";
        for (const StepRecord& s : r.steps) {
            csv += head + CsvField(s.name) + "," + CsvField(s.value) + "," + CsvField(s.unit) + "," + opt(s.low) + "," +
                   opt(s.high) + "," + OutcomeText(s.outcome) + "," + Number(s.ms) + "," + std::to_string(s.code) + "," +
                   CsvField(s.text) + "\r\n";
        }
    }
    return WriteFileAtomically(aPath, csv, aError);
}

}  // namespace station
