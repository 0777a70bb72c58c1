#include "records.h"

#include "platform.h"

#include <xercesc/dom/DOM.hpp>
#include <xercesc/framework/MemBufFormatTarget.hpp>
#include <xercesc/util/PlatformUtils.hpp>
#include <xercesc/util/XMLString.hpp>
#include <xercesc/util/XMLUni.hpp>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>

XERCES_CPP_NAMESPACE_USE

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

// XML text from UTF-8, released with the object.
class Xml {
public:
    explicit Xml(const std::string& aText) : mText(XMLString::transcode(aText.c_str())) {}
    ~Xml() { XMLString::release(&mText); }
    operator const XMLCh*() const { return mText; }

private:
    XMLCh* mText;
};

std::string Number(double aValue)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.3f", aValue);
    return text;
}

}  // namespace

nlohmann::json ToJson(const Record& aRecord)
{
    nlohmann::json steps = nlohmann::json::array();
    for (const StepRecord& s : aRecord.steps) {
        steps.push_back({{"name", s.name}, {"value", s.value}, {"unit", s.unit}, {"low", Optional(s.low)},
                         {"high", Optional(s.high)}, {"outcome", s.outcome}, {"ms", s.ms}, {"code", s.code},
                         {"text", s.text}});
    }
    return {{"run_id", aRecord.runId},
            {"station", aRecord.station},
            {"slot", aRecord.slot},
            {"transport", aRecord.transport},
            {"operator", aRecord.operatorName},
            {"serial", aRecord.serial},
            {"address", aRecord.address},
            {"address_source", aRecord.addressSource},
            {"repair", aRecord.repair},
            {"library_version", aRecord.libraryVersion},
            {"firmware_build_id", aRecord.firmwareBuildId},
            {"firmware_sha256", aRecord.firmwareSha256},
            {"key_database_sha256", aRecord.keyDatabaseSha256},
            {"plan", aRecord.plan},
            {"plan_sha256", aRecord.planSha256},
            {"started", aRecord.started},
            {"ended", aRecord.ended},
            {"outcome", aRecord.outcome},
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
        aRecord.addressSource = aJson.value("address_source", "");
        aRecord.repair = aJson.value("repair", false);
        aRecord.libraryVersion = aJson.value("library_version", "");
        aRecord.firmwareBuildId = aJson.value("firmware_build_id", -1);
        aRecord.firmwareSha256 = aJson.value("firmware_sha256", "");
        aRecord.keyDatabaseSha256 = aJson.value("key_database_sha256", "");
        aRecord.plan = aJson.value("plan", "");
        aRecord.planSha256 = aJson.value("plan_sha256", "");
        aRecord.started = aJson.value("started", "");
        aRecord.ended = aJson.value("ended", "");
        aRecord.outcome = aJson.at("outcome").get<std::string>();
        aRecord.text = aJson.value("text", "");
        for (const auto& s : aJson.at("steps")) {
            StepRecord step;
            step.name = s.at("name").get<std::string>();
            step.value = s.value("value", "");
            step.unit = s.value("unit", "");
            step.low = OptionalOf(s.value("low", nlohmann::json()));
            step.high = OptionalOf(s.value("high", nlohmann::json()));
            step.outcome = s.value("outcome", "");
            step.ms = s.value("ms", 0.0);
            step.code = s.value("code", 0);
            step.text = s.value("text", "");
            aRecord.steps.push_back(step);
        }
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

bool AppendJsonLine(const std::string& aPath, const nlohmann::json& aJson, std::string& aError)
{
    // Replacement characters instead of an exception for bytes that are not
    // UTF-8 (a library text is outside input).
    const std::string line = aJson.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
    return AppendDurably(aPath, line, aError);
}

bool WriteJunit(const std::string& aPath, const std::string& aSuiteName, const std::vector<Record>& aRecords,
                std::string& aError)
{
    try {
        XMLPlatformUtils::Initialize();
    } catch (...) {
        aError = "the XML library cannot start";
        return false;
    }
    std::string xml;
    try {
        DOMImplementation* impl = DOMImplementationRegistry::getDOMImplementation(Xml("LS"));
        DOMDocument* doc = impl->createDocument(nullptr, Xml("testsuites"), nullptr);
        DOMElement* root = doc->getDocumentElement();
        root->setAttribute(Xml("name"), Xml(aSuiteName));
        int tests = 0, failures = 0, errors = 0;
        for (const Record& r : aRecords) {
            DOMElement* suite = doc->createElement(Xml("testsuite"));
            root->appendChild(suite);
            suite->setAttribute(Xml("name"), Xml("slot " + std::to_string(r.slot) + (r.serial.empty() ? "" : " " + r.serial)));
            suite->setAttribute(Xml("timestamp"), Xml(r.started));
            int suiteFailures = 0, suiteErrors = 0, suiteSkipped = 0;
            double total = 0;
            DOMElement* properties = doc->createElement(Xml("properties"));
            suite->appendChild(properties);
            for (const auto& [name, value] : std::map<std::string, std::string>{
                     {"run_id", r.runId}, {"station", r.station}, {"transport", r.transport},
                     {"operator", r.operatorName}, {"serial", r.serial}, {"address", r.address},
                     {"outcome", r.outcome}, {"firmware_sha256", r.firmwareSha256}}) {
                DOMElement* p = doc->createElement(Xml("property"));
                p->setAttribute(Xml("name"), Xml(name));
                p->setAttribute(Xml("value"), Xml(value));
                properties->appendChild(p);
            }
            for (const StepRecord& s : r.steps) {
                DOMElement* tc = doc->createElement(Xml("testcase"));
                suite->appendChild(tc);
                tc->setAttribute(Xml("classname"), Xml("slot" + std::to_string(r.slot)));
                tc->setAttribute(Xml("name"), Xml(s.name));
                tc->setAttribute(Xml("time"), Xml(Number(s.ms / 1000.0)));
                total += s.ms / 1000.0;
                std::string message = s.text;
                if (!s.value.empty()) message = "value " + s.value + (s.unit.empty() ? "" : " " + s.unit) +
                                                (message.empty() ? "" : ": " + message);
                if (s.outcome == "FAIL" || s.outcome == "ERROR") {
                    DOMElement* f = doc->createElement(Xml(s.outcome == "FAIL" ? "failure" : "error"));
                    f->setAttribute(Xml("message"), Xml(message));
                    f->setAttribute(Xml("type"), Xml(std::to_string(s.code)));
                    tc->appendChild(f);
                    (s.outcome == "FAIL" ? suiteFailures : suiteErrors)++;
                } else if (s.outcome == "ABORT") {
                    DOMElement* f = doc->createElement(Xml("skipped"));
                    f->setAttribute(Xml("message"), Xml("aborted by the operator"));
                    tc->appendChild(f);
                    ++suiteSkipped;
                } else if (!message.empty()) {
                    DOMElement* out = doc->createElement(Xml("system-out"));
                    out->appendChild(doc->createTextNode(Xml(message)));
                    tc->appendChild(out);
                }
            }
            suite->setAttribute(Xml("tests"), Xml(std::to_string(r.steps.size())));
            suite->setAttribute(Xml("failures"), Xml(std::to_string(suiteFailures)));
            suite->setAttribute(Xml("errors"), Xml(std::to_string(suiteErrors)));
            suite->setAttribute(Xml("skipped"), Xml(std::to_string(suiteSkipped)));
            suite->setAttribute(Xml("time"), Xml(Number(total)));
            tests += static_cast<int>(r.steps.size());
            failures += suiteFailures;
            errors += suiteErrors;
        }
        root->setAttribute(Xml("tests"), Xml(std::to_string(tests)));
        root->setAttribute(Xml("failures"), Xml(std::to_string(failures)));
        root->setAttribute(Xml("errors"), Xml(std::to_string(errors)));

        DOMLSSerializer* serializer = static_cast<DOMImplementationLS*>(impl)->createLSSerializer();
        if (serializer->getDomConfig()->canSetParameter(XMLUni::fgDOMWRTFormatPrettyPrint, true))
            serializer->getDomConfig()->setParameter(XMLUni::fgDOMWRTFormatPrettyPrint, true);
        MemBufFormatTarget target;
        DOMLSOutput* output = static_cast<DOMImplementationLS*>(impl)->createLSOutput();
        output->setByteStream(&target);
        output->setEncoding(Xml("UTF-8"));
        const bool written = serializer->write(doc, output);
        xml.assign(reinterpret_cast<const char*>(target.getRawBuffer()), target.getLen());
        output->release();
        serializer->release();
        doc->release();
        if (!written) {
            aError = "cannot serialise the JUnit document";
            return false;
        }
    } catch (...) {
        aError = "cannot build the JUnit document";
        return false;
    }
    return WriteFileAtomically(aPath, xml, aError);
}

std::string CsvField(const std::string& aText)
{
    // A spreadsheet would run a field that starts with one of these as a
    // formula; the texts come from devices and files, so they are defused.
    const std::string text = !aText.empty() && aText[0] != '\0' && std::strchr("=+@\t", aText[0]) != nullptr ? "'" + aText : aText;
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
                                 CsvField(r.addressSource) + "," + (r.repair ? "yes" : "no") + "," + r.outcome + "," +
                                 r.started + "," + r.ended + "," + CsvField(r.libraryVersion) + "," +
                                 std::to_string(r.firmwareBuildId) + "," + r.firmwareSha256 + "," +
                                 r.keyDatabaseSha256 + "," + r.planSha256 + ",";
        if (r.steps.empty()) csv += head + ",,,,,,,," + CsvField(r.text) + "\r\n";
        for (const StepRecord& s : r.steps) {
            csv += head + CsvField(s.name) + "," + CsvField(s.value) + "," + CsvField(s.unit) + "," + opt(s.low) + "," +
                   opt(s.high) + "," + s.outcome + "," + Number(s.ms) + "," + std::to_string(s.code) + "," +
                   CsvField(s.text) + "\r\n";
        }
    }
    return WriteFileAtomically(aPath, csv, aError);
}

}  // namespace station
