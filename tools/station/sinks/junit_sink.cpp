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
#include <filesystem>
#include <map>

XERCES_CPP_NAMESPACE_USE

namespace station {

namespace {

// Text that XML 1.0 can hold: bytes that are not UTF-8 become U+FFFD, and
// characters XML does not allow (control characters a device or a library
// text may carry) are written as \xNN, so that one odd text never costs
// the run its report.
std::string XmlSafe(const std::string& aText)
{
    std::string out;
    size_t i = 0;
    while (i < aText.size()) {
        const auto c = static_cast<unsigned char>(aText[i]);
        uint32_t code = 0;
        size_t length = 0;
        if (c < 0x80) code = c, length = 1;
        else if ((c & 0xE0) == 0xC0) code = c & 0x1F, length = 2;
        else if ((c & 0xF0) == 0xE0) code = c & 0x0F, length = 3;
        else if ((c & 0xF8) == 0xF0) code = c & 0x07, length = 4;
        bool valid = length > 0 && i + length <= aText.size();
        for (size_t k = 1; valid && k < length; ++k) {
            const auto next = static_cast<unsigned char>(aText[i + k]);
            valid = (next & 0xC0) == 0x80;
            code = code << 6 | (next & 0x3F);
        }
        // Overlong forms, surrogates and values past U+10FFFF are not UTF-8.
        static const uint32_t kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
        valid = valid && code >= kLeast[length] && code <= 0x10FFFF && (code < 0xD800 || code > 0xDFFF);
        if (!valid) {
            out += "\xEF\xBF\xBD";
            ++i;
            continue;
        }
        const bool allowed = code == 0x09 || code == 0x0A || code == 0x0D || (code >= 0x20 && code != 0x7F && code < 0xFFFE);
        if (allowed) {
            out.append(aText, i, length);
        } else {
            char escaped[12];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", static_cast<unsigned>(code));
            out += escaped;
        }
        i += length;
    }
    return out;
}

// XML text from UTF-8, released with the object.
class Xml {
public:
    explicit Xml(const std::string& aText) : mText(XMLString::transcode(XmlSafe(aText).c_str())) {}
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
    std::string Name() const override { return mWritten ? mPath : ""; }
    bool Add(const Record&, std::string&) override { return true; }
    bool Close(const std::vector<Record>& aRecords, std::string& aError) override
    {
        mWritten = WriteJunit(mPath, mSuiteName, aRecords, aError);
        if (!mWritten) {
            // The previous run's file must not pass for this run's.
            std::error_code ec;
            if (std::filesystem::remove(mPath, ec)) aError += "; the previous " + mPath + " is removed";
        }
        return mWritten;
    }

private:
    std::string mPath;
    std::string mSuiteName;
    bool mWritten = false;
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
