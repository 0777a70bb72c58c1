#include "plan.h"

#include "csimage.h"
#include "keydb.h"

#include <toml++/toml.h>

#include <cctype>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>

namespace station {

namespace {

class PlanError {
public:
    PlanError(const std::string& aPath) : mPath(aPath) {}
    bool operator()(int aLine, const std::string& aText)
    {
        mText = mPath + ":" + std::to_string(aLine) + ": " + aText;
        return false;
    }
    bool operator()(const toml::node& aNode, const std::string& aText)
    {
        return (*this)(static_cast<int>(aNode.source().begin.line), aText);
    }
    const std::string& text() const { return mText; }

private:
    std::string mPath;
    std::string mText;
};

int LineOf(const toml::node& aNode)
{
    return static_cast<int>(aNode.source().begin.line);
}

std::string Resolve(const std::string& aValue, const std::string& aPlanDir, const std::string& aBinDir)
{
    std::string value = aValue;
    const std::string bin = "{bin}";
    size_t at = value.find(bin);
    while (at != std::string::npos) {
        value.replace(at, bin.size(), aBinDir);
        at = value.find(bin, at + aBinDir.size());
    }
    std::filesystem::path p(value);
    if (p.is_relative()) p = std::filesystem::path(aPlanDir) / p;
    return p.lexically_normal().string();
}

bool Integer(const toml::node& aNode, uint32_t aMax, uint32_t& aValue)
{
    const auto* v = aNode.as_integer();
    if (v == nullptr || v->get() < 0 || static_cast<uint64_t>(v->get()) > aMax) return false;
    aValue = static_cast<uint32_t>(v->get());
    return true;
}

std::optional<double> Number(const toml::node& aNode)
{
    if (const auto* i = aNode.as_integer()) return static_cast<double>(i->get());
    if (const auto* f = aNode.as_floating_point()) return f->get();
    return std::nullopt;
}

// The first "{...}" in aText that is not one of aKnown; "" when there is none.
std::string UnknownPlaceholder(std::string aText, const std::vector<std::string>& aKnown)
{
    for (const std::string& k : aKnown)
        for (size_t at = aText.find(k); at != std::string::npos; at = aText.find(k, at)) aText.erase(at, k.size());
    const size_t open = aText.find('{');
    if (open == std::string::npos) return "";
    const size_t close = aText.find('}', open);
    return close == std::string::npos ? aText.substr(open) : aText.substr(open, close - open + 1);
}

// A firmware file is an XBV file: a sequence of chunks (a four-character
// id, a 32-bit little-endian size, the body) with an XBV1 chunk among them
// whose size fits the file. The library reads the rest.
bool LooksLikeXbv(const std::string& aPath, std::string& aError)
{
    std::ifstream in(aPath, std::ios::binary);
    in.seekg(0, std::ios::end);
    const std::streamoff size = in.tellg();
    in.seekg(0);
    std::streamoff at = 0;
    for (int chunk = 0; in && at + 8 <= size && chunk < 1024; ++chunk) {
        unsigned char header[8];
        if (!in.read(reinterpret_cast<char*>(header), 8)) break;
        const uint32_t length = header[4] | header[5] << 8 | header[6] << 16 | static_cast<uint32_t>(header[7]) << 24;
        if (at + 8 + static_cast<std::streamoff>(length) > size) break;
        if (std::string(reinterpret_cast<char*>(header), 4) == "XBV1") return true;
        at += 8 + static_cast<std::streamoff>(length);
        in.seekg(at);
    }
    aError = "the firmware \"" + aPath + "\" is not an XBV file";
    return false;
}

// A blank-device image is an XUV or IMG file the library can load.
bool LooksLikeImage(const std::string& aPath, std::string& aError)
{
    std::string extension = std::filesystem::path(aPath).extension().string();
    for (char& c : extension) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    std::vector<uint16_t> words;
    std::string why;
    if ((extension != ".xuv" && extension != ".img") || !ReadXuvWords(aPath, words, why) || words.size() < 7) {
        aError = "the blank image \"" + aPath + "\" is not an XUV or IMG image";
        return false;
    }
    return true;
}

// A limit table: its unit, bounds and marginal band, finite numbers.
// aName is how texts call it ("limit", "limits.offset").
bool ReadLimit(const toml::node& aNode, int aLine, const std::string& aName, Limit& aLimit, PlanError& aError)
{
    const auto* table = aNode.as_table();
    if (table == nullptr) return aError(aLine, "\"" + aName + "\" must be a table with unit, low and high");
    for (auto&& [key, value] : *table) {
        const std::string name(key.str());
        if (name == "unit") {
            if (!value.is_string()) return aError(value, "\"" + aName + ".unit\" must be a string");
            aLimit.unit = value.as_string()->get();
        } else if (name == "low" || name == "high" || name == "marginal_low" || name == "marginal_high") {
            // nan would pass every comparison and inf is no bound.
            auto v = Number(value);
            if (!v || !std::isfinite(*v)) return aError(value, "\"" + aName + "." + name + "\" must be a number");
            (name == "low" ? aLimit.low : name == "high" ? aLimit.high : name == "marginal_low" ? aLimit.marginalLow
                                                                                                  : aLimit.marginalHigh) = v;
        } else {
            return aError(static_cast<int>(key.source().begin.line), "unknown entry \"" + aName + "." + name + "\"");
        }
    }
    // (A step's single "limit" has its low above its high reported with the step.)
    if (aName != "limit" && aLimit.low && aLimit.high && *aLimit.low > *aLimit.high)
        return aError(aLine, "\"" + aName + "\" has low above high");
    if ((aLimit.marginalLow && ((aLimit.low && *aLimit.marginalLow < *aLimit.low) || (aLimit.high && *aLimit.marginalLow > *aLimit.high))) ||
        (aLimit.marginalHigh && ((aLimit.high && *aLimit.marginalHigh > *aLimit.high) || (aLimit.low && *aLimit.marginalHigh < *aLimit.low))) ||
        (aLimit.marginalLow && aLimit.marginalHigh && *aLimit.marginalLow > *aLimit.marginalHigh))
        return aError(aLine, "the marginal band of \"" + aName + "\" must lie inside its low and high");
    return true;
}

// "low and high", "low" or "high": what a rule needs.
std::string Needs(LimitRule aRule)
{
    return aRule == LimitRule::Both ? "low and high" : aRule == LimitRule::Low ? "low" : "high";
}

// The limits table of a step's measures.
bool ReadLimits(const toml::node& aNode, int aLine, Step& aStep, PlanError& aError)
{
    const auto* table = aNode.as_table();
    if (table == nullptr) return aError(aLine, "\"limits\" must be a table of the step's measures");
    for (auto&& [key, value] : *table) {
        const std::string name(key.str());
        const int line = static_cast<int>(key.source().begin.line);
        const MeasureDef* measure = FindMeasure(*aStep.row, name);
        if (measure == nullptr || measure->limit == LimitRule::None)
            return aError(line, "step \"" + std::string(aStep.row->name) + "\" has no limit \"" + name + "\"");
        Limit limit;
        if (!ReadLimit(value, line, "limits." + name, limit, aError)) return false;
        if (!limit.unit.empty() && limit.unit != measure->unit)
            return aError(line, "\"limits." + name + "\" is in " + measure->unit + ", not in " + limit.unit);
        limit.unit = measure->unit;
        aStep.limits[name] = limit;
    }
    return true;
}

// One parameter of a step, checked against its row.
bool ReadParam(const ParamDef& aLayout, const toml::node& aValue, Step& aStep, PlanError& aError)
{
    const std::string name = aLayout.name;
    switch (aLayout.kind) {
    case ParamDef::Kind::Flag:
        if (!aValue.is_boolean()) return aError(aValue, "\"" + name + "\" must be true or false");
        aStep.numbers[name] = aValue.as_boolean()->get() ? 1 : 0;
        return true;
    case ParamDef::Kind::PortName:
        if (!aValue.is_string() || aValue.as_string()->get().empty())
            return aError(aValue, "\"" + name + "\" must be a port name");
        if (const std::string p = UnknownPlaceholder(aValue.as_string()->get(), {"{slot}", "{bin}"}); !p.empty())
            return aError(aValue, "\"" + name + "\" names an unknown placeholder " + p);
        aStep.texts[name] = aValue.as_string()->get();
        return true;
    case ParamDef::Kind::Real: {
        const auto v = Number(aValue);
        if (!v || !std::isfinite(*v) || *v < aLayout.min || *v > aLayout.max) {
            char text[96];
            std::snprintf(text, sizeof text, "\"%s\" must be a number from %g to %g", aLayout.name, aLayout.min, aLayout.max);
            return aError(aValue, text);
        }
        aStep.numbers[name] = *v;
        return true;
    }
    case ParamDef::Kind::Number: {
        const uint32_t max = static_cast<uint32_t>(aLayout.max);
        const uint32_t min = static_cast<uint32_t>(aLayout.min);
        uint32_t v = 0;
        if (!Integer(aValue, max, v) || v < min) {
            if (min > 0)
                return aError(aValue, "\"" + name + "\" must be from " + std::to_string(min) + " to " + std::to_string(max));
            return aError(aValue, "\"" + name + "\" must be a number from 0 to " + std::to_string(max));
        }
        aStep.numbers[name] = v;
        return true;
    }
    }
    return false;
}

// One [[step]] table, read through its type's row.
bool ReadStep(const toml::table& aTable, const PlanContext& aContext, Step& aStep, PlanError& aError)
{
    const int line = LineOf(aTable);
    const toml::node* typeNode = aTable.get("type");
    if (typeNode == nullptr || !typeNode->is_string()) return aError(line, "the step has no \"type\"");
    const StepRow* row = FindStepRow(typeNode->as_string()->get());
    if (row == nullptr) return aError(*typeNode, "unknown step \"" + typeNode->as_string()->get() + "\"");
    aStep.row = row;
    aStep.line = LineOf(*typeNode);
    aStep.name = row->name;
    for (const ParamDef& p : row->params)
        if (p.kind != ParamDef::Kind::PortName) aStep.numbers[p.name] = p.fallback;
    for (auto&& [key, node] : aTable) {
        const std::string k(key.str());
        const int keyLine = static_cast<int>(key.source().begin.line);
        if (k == "type") continue;
        if (k == "name") {
            if (!node.is_string()) return aError(keyLine, "\"name\" must be a string");
            aStep.name = node.as_string()->get();
            continue;
        }
        if (k == "limit") {
            if (row->limit == LimitRule::None) return aError(keyLine, std::string("step \"") + row->name + "\" takes no limit");
            Limit limit;
            if (!ReadLimit(node, keyLine, "limit", limit, aError)) return false;
            if (limit.unit.empty()) return aError(keyLine, "the limit has no \"unit\"");
            aStep.limit = limit;
            continue;
        }
        if (k == "limits") {
            if (row->measures.empty()) return aError(keyLine, std::string("step \"") + row->name + "\" takes no limits");
            if (!ReadLimits(node, keyLine, aStep, aError)) return false;
            continue;
        }
        const ParamDef* param = FindParam(*row, k);
        if (param == nullptr) return aError(keyLine, "step \"" + std::string(row->name) + "\" has no parameter \"" + k + "\"");
        if (!ReadParam(*param, node, aStep, aError)) return false;
        aStep.given.insert(k);
    }
    if (row->limit != LimitRule::None) {
        const bool low = row->limit == LimitRule::Low || row->limit == LimitRule::Both;
        const bool high = row->limit == LimitRule::High || row->limit == LimitRule::Both;
        const std::string needs = low && high ? "low and high" : low ? "low" : "high";
        if (!aStep.limit) return aError(aStep.line, "step \"" + aStep.name + "\" needs a limit (unit, " + needs + ")");
        if (low && !aStep.limit->low) return aError(aStep.line, "the limit of step \"" + aStep.name + "\" needs \"low\"");
        if (high && !aStep.limit->high) return aError(aStep.line, "the limit of step \"" + aStep.name + "\" needs \"high\"");
        if (aStep.limit->low && aStep.limit->high && *aStep.limit->low > *aStep.limit->high)
            return aError(aStep.line, "the limit of step \"" + aStep.name + "\" has low above high");
    }
    for (const MeasureDef& m : row->measures) {
        if (m.limit == LimitRule::None) continue;
        auto limit = aStep.limits.find(m.name);
        const bool low = m.limit == LimitRule::Low || m.limit == LimitRule::Both;
        const bool high = m.limit == LimitRule::High || m.limit == LimitRule::Both;
        if (limit == aStep.limits.end() || (low && !limit->second.low) || (high && !limit->second.high))
            return aError(aStep.line, "step \"" + aStep.name + "\" needs \"limits." + m.name + "\" with " + Needs(m.limit) +
                                          " (" + m.unit + ")");
    }
    if (row->check != nullptr) {
        const std::string problem = row->check(aStep, aContext);
        if (!problem.empty()) return aError(aStep.line, problem);
    }
    return true;
}

// The order: tests need the firmware; the CS write stops the firmware, so
// tests come before it, or after the read-back and a firmware load of
// their own (to check what the CS now holds); a calibration comes before
// the CS write that stores it; the address is written after the tests and
// read back before it is committed.
bool CheckOrder(const std::vector<Step>& aSteps, PlanError& aError)
{
    bool csRead = false, firmware = false, loadedBefore = false, loadedAfter = false, csWrite = false, readBack = false;
    for (const Step& step : aSteps) {
        auto once = [&](bool& aSeen) {
            if (aSeen) return aError(step.line, "step \"" + std::string(step.row->name) + "\" is given twice");
            aSeen = true;
            return true;
        };
        const bool between = csWrite && !readBack;
        switch (step.row->place) {
        case StepPlace::CsRead:
            if (!once(csRead)) return false;
            if (loadedBefore) return aError(step.line, "\"cs_read\" must come before \"firmware_load\"");
            break;
        case StepPlace::FirmwareLoad:
            if (between) return aError(step.line, "\"firmware_load\" must come before \"cs_write\" or after \"read_back\"");
            if (!once(readBack ? loadedAfter : loadedBefore)) return false;
            if (step.Flag("cs_keys") && !csRead)
                return aError(step.line, "\"firmware_load\" with cs_keys needs \"cs_read\" before it");
            firmware = true;
            break;
        case StepPlace::CsWrite:
            if (!once(csWrite)) return false;
            if (!csRead) return aError(step.line, "\"cs_write\" needs \"cs_read\" before it");
            firmware = false;  // the CS write stops the firmware
            break;
        case StepPlace::ReadBack:
            if (!once(readBack)) return false;
            if (!csWrite) return aError(step.line, "\"read_back\" needs \"cs_write\" before it");
            break;
        case StepPlace::Test:
        case StepPlace::Calibration:
            if (between || (csWrite && step.row->place == StepPlace::Calibration))
                return aError(step.line, "step \"" + step.name + "\" must come before \"cs_write\"");
            if (!firmware) return aError(step.line, "step \"" + step.name + "\" needs \"firmware_load\" before it");
            break;
        }
    }
    if (csWrite && !readBack) return aError(1, "a plan with \"cs_write\" needs \"read_back\" after it");
    return true;
}

}  // namespace

std::string UartPort(const Step& aStep, int aSlot, const std::string& aBinDir)
{
    std::string port = aStep.Text("port");
    for (const auto& [from, to] : {std::pair<std::string, std::string>{"{slot}", std::to_string(aSlot)}, {"{bin}", aBinDir}})
        for (size_t at = port.find(from); at != std::string::npos; at = port.find(from, at + to.size()))
            port.replace(at, from.size(), to);
    return port;
}

bool LoadPlan(const std::string& aPath, const std::string& aBinDir, Plan& aPlan, std::string& aError)
{
    aPlan = Plan();
    aPlan.path = aPath;
    PlanError error(aPath);
    auto fail = [&](auto&&... aArgs) {
        error(aArgs...);
        aError = error.text();
        return false;
    };
    std::error_code ec;
    if (!std::filesystem::is_regular_file(aPath, ec)) {
        aError = "the plan \"" + aPath + "\" does not exist";
        return false;
    }
    toml::table root;
    try {
        root = toml::parse_file(aPath);
    } catch (const toml::parse_error& e) {
        return fail(static_cast<int>(e.source().begin.line), std::string(e.description()));
    } catch (...) {
        aError = "the plan \"" + aPath + "\" cannot be read";
        return false;
    }
    const std::string planDir = std::filesystem::path(aPath).parent_path().string();

    // Top-level entries.
    const std::set<std::string> known = {"name", "firmware", "blank_image", "key_database", "nvm",
                                         "cs_version", "address", "keys", "step"};
    for (auto&& [key, node] : root) {
        if (known.count(std::string(key.str())) == 0)
            return fail(static_cast<int>(key.source().begin.line), "unknown entry \"" + std::string(key.str()) + "\"");
    }
    auto requireFile = [&](const char* aKey, std::string& aOut, bool aRequired, const std::string& aDefault) {
        const toml::node* node = root.get(aKey);
        if (node == nullptr) {
            if (aRequired) return fail(1, std::string("\"") + aKey + "\" is missing");
            aOut = Resolve(aDefault, planDir, aBinDir);
            if (!std::filesystem::is_regular_file(aOut, ec))
                return fail(1, std::string("\"") + aKey + "\" is not given and \"" + aOut + "\" does not exist");
            return true;
        }
        if (!node->is_string()) return fail(*node, std::string("\"") + aKey + "\" must be a file name");
        aOut = Resolve(node->as_string()->get(), planDir, aBinDir);
        const std::string placeholder = UnknownPlaceholder(node->as_string()->get(), {"{bin}"});
        if (!placeholder.empty())
            return fail(*node, std::string("\"") + aKey + "\" names an unknown placeholder " + placeholder);
        if (!std::filesystem::is_regular_file(aOut, ec))
            return fail(*node, std::string("the file \"") + aOut + "\" does not exist");
        return true;
    };
    auto lineOf = [&](const char* aKey) {
        const toml::node* n = root.get(aKey);
        return n != nullptr ? LineOf(*n) : 1;
    };
    if (const toml::node* n = root.get("name")) {
        if (!n->is_string()) return fail(*n, "\"name\" must be a string");
        aPlan.name = n->as_string()->get();
    }
    if (!requireFile("firmware", aPlan.firmware, true, "")) return false;
    if (!requireFile("blank_image", aPlan.blankImage, true, "")) return false;
    if (!requireFile("key_database", aPlan.keyDatabase, false, "{bin}/cskey_db.xml")) return false;
    // The files must be what the plan says they are, before any DUT is touched.
    std::string fileError;
    if (!LooksLikeXbv(aPlan.firmware, fileError)) return fail(lineOf("firmware"), fileError);
    if (!LooksLikeImage(aPlan.blankImage, fileError)) return fail(lineOf("blank_image"), fileError);
    if (const toml::node* n = root.get("nvm")) {
        const auto* s = n->as_string();
        if (s == nullptr || (s->get() != "eeprom" && s->get() != "spi_flash"))
            return fail(*n, "\"nvm\" must be \"eeprom\" or \"spi_flash\"");
        aPlan.nvm = s->get() == "eeprom" ? 1 : 2;
    }
    KeyDatabase database;
    std::string dbError;
    if (!LoadKeyDatabase(aPlan.keyDatabase, database, dbError)) {
        const toml::node* n = root.get("key_database");
        return fail(n != nullptr ? LineOf(*n) : 1, dbError);
    }
    {
        const toml::node* n = root.get("cs_version");
        uint32_t v = 0;
        if (n == nullptr) return fail(1, "\"cs_version\" is missing");
        if (!Integer(*n, 0xFFFF, v)) return fail(*n, "\"cs_version\" must be a number from 0 to 65535");
        if (database.builds.count(v) == 0)
            return fail(*n, "the key database has no CS version " + std::to_string(v));
        aPlan.csVersion = static_cast<uint16_t>(v);
        // The station writes the address into this key.
        const KeyInfo* address = database.Find(v, "BLUETOOTH_ADDRESS");
        if (address == nullptr || address->length != 4)
            return fail(*n, "the key database has no BLUETOOTH_ADDRESS of 4 words in CS version " + std::to_string(v));
        aPlan.addressOffset = address->offset;
        if (const KeyInfo* trim = database.Find(v, "CRYSTAL_TRIM"); trim != nullptr && trim->length == 1) aPlan.trimKey = *trim;
    }
    {
        const toml::node* n = root.get("address");
        if (n == nullptr || !n->is_table()) return fail(n != nullptr ? LineOf(*n) : 1, "\"[address]\" with nap and uap is missing");
        const toml::table& t = *n->as_table();
        for (auto&& [key, node] : t) {
            if (key.str() != "nap" && key.str() != "uap")
                return fail(static_cast<int>(key.source().begin.line), "unknown entry \"address." + std::string(key.str()) + "\"");
        }
        uint32_t nap = 0, uap = 0;
        const toml::node* napNode = t.get("nap");
        const toml::node* uapNode = t.get("uap");
        if (napNode == nullptr || !Integer(*napNode, 0xFFFF, nap))
            return fail(napNode != nullptr ? LineOf(*napNode) : LineOf(*n), "\"address.nap\" must be a number from 0 to 0xFFFF");
        if (uapNode == nullptr || !Integer(*uapNode, 0xFF, uap))
            return fail(uapNode != nullptr ? LineOf(*uapNode) : LineOf(*n), "\"address.uap\" must be a number from 0 to 0xFF");
        aPlan.nap = static_cast<uint16_t>(nap);
        aPlan.uap = static_cast<uint8_t>(uap);
    }
    if (const toml::node* n = root.get("keys")) {
        if (!n->is_table()) return fail(*n, "\"[keys]\" must be a table of key names");
        for (auto&& [key, node] : *n->as_table()) {
            const std::string name(key.str());
            const int line = static_cast<int>(key.source().begin.line);
            const KeyInfo* info = database.Find(aPlan.csVersion, name);
            if (info == nullptr)
                return fail(line, "unknown key \"" + name + "\" (CS version " + std::to_string(aPlan.csVersion) + ")");
            if (Upper(name) == "BLUETOOTH_ADDRESS")
                return fail(line, "BLUETOOTH_ADDRESS comes from the address store, not from the plan");
            PlanKey planKey;
            planKey.name = info->name;
            planKey.offset = info->offset;
            std::vector<const toml::node*> values;
            if (const auto* array = node.as_array()) {
                for (const toml::node& element : *array) values.push_back(&element);
            } else {
                values.push_back(&node);
            }
            if (values.size() != info->length)
                return fail(line, "key \"" + name + "\" has " + std::to_string(info->length) + " words, the plan gives " +
                                      std::to_string(values.size()));
            for (const toml::node* v : values) {
                uint32_t word = 0;
                if (!Integer(*v, 0xFFFF, word) || word < info->min || word > info->max)
                    return fail(*v, "key \"" + name + "\" takes values from " + std::to_string(info->min) + " to " +
                                        std::to_string(info->max));
                planKey.words.push_back(static_cast<uint16_t>(word));
            }
            aPlan.keys.push_back(planKey);
        }
    }

    const toml::node* stepsNode = root.get("step");
    if (stepsNode == nullptr || !stepsNode->is_array_of_tables() || stepsNode->as_array()->empty())
        return fail(stepsNode != nullptr ? LineOf(*stepsNode) : 1, "the plan has no \"[[step]]\"");
    const PlanContext context{database, aPlan.csVersion};
    for (const toml::node& element : *stepsNode->as_array()) {
        Step step;
        if (!ReadStep(*element.as_table(), context, step, error)) {
            aError = error.text();
            return false;
        }
        aPlan.steps.push_back(step);
    }
    if (!CheckOrder(aPlan.steps, error)) {
        aError = error.text();
        return false;
    }
    return true;
}

}  // namespace station
