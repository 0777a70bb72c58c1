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

bool Number(const std::string& aText, uint32_t& aValue)
{
    if (aText.empty() || aText.size() > 10) return false;
    char* end = nullptr;
    const unsigned long long v = std::strtoull(aText.c_str(), &end, 0);
    if (*end != '\0' || v > 0xFFFFFFFFull || aText[0] == '-') return false;
    aValue = static_cast<uint32_t>(v);
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
