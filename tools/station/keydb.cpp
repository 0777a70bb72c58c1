#include "keydb.h"

#include <xercesc/dom/DOM.hpp>
#include <xercesc/parsers/XercesDOMParser.hpp>
#include <xercesc/sax/HandlerBase.hpp>
#include <xercesc/util/PlatformUtils.hpp>
#include <xercesc/util/XMLString.hpp>

#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <memory>

XERCES_CPP_NAMESPACE_USE

namespace station {

namespace {

std::string Text(const XMLCh* aText)
{
    if (aText == nullptr) return std::string();
    char* bytes = XMLString::transcode(aText);
    std::string text(bytes != nullptr ? bytes : "");
    XMLString::release(&bytes);
    return text;
}

std::string Attribute(DOMElement* aElement, const char* aName)
{
    XMLCh* name = XMLString::transcode(aName);
    std::string value = Text(aElement->getAttribute(name));
    XMLString::release(&name);
    return value;
}

// The library reads the database's numbers as decimal from 0 to 65535
// (leading white space and a '+' allowed): the station reads them alike, so
// that it checks a plan against the builds and limits the library will use
// ("013" is 13, and "0x0D" no number).
bool Number(const std::string& aText, uint32_t& aValue)
{
    size_t i = aText.find_first_not_of(" \t\n\v\f\r");
    if (i == std::string::npos) return false;
    if (aText[i] == '+') ++i;
    if (i == aText.size()) return false;
    uint32_t value = 0;
    for (; i < aText.size(); ++i) {
        const char c = aText[i];
        if (c < '0' || c > '9') return false;
        value = value * 10 + static_cast<uint32_t>(c - '0');
        if (value > 0xFFFF) return false;
    }
    aValue = value;
    return true;
}

}  // namespace

std::string Upper(std::string aText)
{
    for (char& c : aText) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return aText;
}

const KeyInfo* KeyDatabase::Find(uint32_t aBuild, const std::string& aName) const
{
    auto build = builds.find(aBuild);
    if (build == builds.end()) return nullptr;
    auto key = build->second.find(Upper(aName));
    return key == build->second.end() ? nullptr : &key->second;
}

bool LoadKeyDatabase(const std::string& aPath, KeyDatabase& aDatabase, std::string& aError)
{
    aDatabase = KeyDatabase();
    std::error_code ec;
    if (!std::filesystem::is_regular_file(aPath, ec)) {
        aError = "the key database \"" + aPath + "\" does not exist";
        return false;
    }
    try {
        XMLPlatformUtils::Initialize();
    } catch (...) {
        aError = "the XML parser cannot start";
        return false;
    }
    try {
        XercesDOMParser parser;
        parser.setValidationScheme(XercesDOMParser::Val_Never);
        parser.setDoNamespaces(false);
        parser.setLoadExternalDTD(false);
        parser.setCreateEntityReferenceNodes(false);
        HandlerBase errors;
        parser.setErrorHandler(&errors);
        parser.parse(aPath.c_str());
        DOMDocument* document = parser.getDocument();
        DOMElement* root = document != nullptr ? document->getDocumentElement() : nullptr;
        if (root == nullptr || Text(root->getTagName()) != "PSKEY_DATABASE") {
            aError = "\"" + aPath + "\" is not a CS key database";
            return false;
        }
        for (DOMNode* b = root->getFirstChild(); b != nullptr; b = b->getNextSibling()) {
            if (b->getNodeType() != DOMNode::ELEMENT_NODE) continue;
            auto* build = static_cast<DOMElement*>(b);
            if (Text(build->getTagName()) != "BUILD") continue;
            uint32_t id = 0;
            if (!Number(Attribute(build, "BUILD_ID"), id)) continue;
            auto& keys = aDatabase.builds[id];
            for (DOMNode* k = build->getFirstChild(); k != nullptr; k = k->getNextSibling()) {
                if (k->getNodeType() != DOMNode::ELEMENT_NODE) continue;
                auto* key = static_cast<DOMElement*>(k);
                if (Text(key->getTagName()) != "KEY") continue;
                KeyInfo info;
                info.name = Attribute(key, "NAME");
                if (info.name.empty() || !Number(Attribute(key, "LENGTH"), info.length)) continue;
                uint32_t v = 0;
                if (Number(Attribute(key, "OFFSET"), v)) info.offset = v;
                if (Number(Attribute(key, "MIN"), v)) info.min = v;
                if (Number(Attribute(key, "MAX"), v)) info.max = v;
                keys[Upper(info.name)] = info;
            }
        }
    } catch (const XMLException&) {
        aError = "the key database \"" + aPath + "\" cannot be parsed";
        return false;
    } catch (const SAXParseException& e) {
        aError = "the key database \"" + aPath + "\" cannot be parsed (line " +
                 std::to_string(e.getLineNumber()) + ": " + Text(e.getMessage()) + ")";
        return false;
    } catch (const DOMException&) {
        aError = "the key database \"" + aPath + "\" cannot be parsed";
        return false;
    } catch (...) {
        aError = "the key database \"" + aPath + "\" cannot be parsed";
        return false;
    }
    if (aDatabase.builds.empty()) {
        aError = "the key database \"" + aPath + "\" holds no builds";
        return false;
    }
    return true;
}

}  // namespace station
