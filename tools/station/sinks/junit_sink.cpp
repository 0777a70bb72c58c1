// JUnit XML: one test suite per slot and one test case per step, written
// once the run has ended, by temporary file and rename.
#include "sinks/sink.h"

#include "platform.h"

#include <xercesc/dom/DOM.hpp>
#include <xercesc/framework/MemBufFormatTarget.hpp>
#include <xercesc/util/PlatformUtils.hpp>
#include <xercesc/util/XMLString.hpp>
#include <xercesc/util/XMLUni.hpp>

#include <cstdio>
#include <map>

XERCES_CPP_NAMESPACE_USE

namespace station {

namespace {

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

class Junit : public Sink {
public:
    Junit(const std::string& aPath, const std::string& aSuiteName) : mPath(aPath), mSuiteName(aSuiteName) {}
    std::string Name() const override { return mPath; }
    bool Add(const Record&, std::string&) override { return true; }
    bool Close(const std::vector<Record>& aRecords, std::string& aError) override
    {
        return WriteJunit(mPath, mSuiteName, aRecords, aError);
    }

private:
    std::string mPath;
    std::string mSuiteName;
};

}  // namespace

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
                     {"outcome", OutcomeText(r.outcome)}, {"firmware_sha256", r.firmwareSha256}}) {
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
                if (s.outcome == Outcome::Fail || s.outcome == Outcome::Error) {
                    DOMElement* f = doc->createElement(Xml(s.outcome == Outcome::Fail ? "failure" : "error"));
                    f->setAttribute(Xml("message"), Xml(message));
                    f->setAttribute(Xml("type"), Xml(std::to_string(s.code)));
                    tc->appendChild(f);
                    (s.outcome == Outcome::Fail ? suiteFailures : suiteErrors)++;
                } else if (s.outcome == Outcome::Abort) {
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

std::unique_ptr<Sink> JunitSink(const std::string& aPath, const std::string& aSuiteName)
{
    return std::make_unique<Junit>(aPath, aSuiteName);
}

}  // namespace station
