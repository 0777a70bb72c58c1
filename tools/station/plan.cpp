#include "plan.h"

#include "keydb.h"

#include <toml++/toml.h>

#include <cmath>
#include <filesystem>
#include <map>
#include <set>

namespace station {

namespace {

struct StepKind {
    StepType type;
    const char* name;
    bool needsFirmware;
    const char* limitNeeds;  // "" no limit; "low", "high" or "both"
    std::set<std::string> parameters;
};

// The step parameters that are a plain number up to a highest value.
struct NumberParameter {
    const char* name;
    uint32_t max;
    uint32_t Step::*field;
};
const NumberParameter kNumberParameters[] = {
    {"channel", 0xFF, &Step::channel},     {"frequency_mhz", 0xFFFF, &Step::frequencyMhz},
    {"length", 0xFF, &Step::length},       {"payload", 0xFF, &Step::payload},
    {"packets", 0xFFFF, &Step::packets},   {"poll_ms", 1000, &Step::pollMs},
    {"mask", 0xFFFFFFFFu, &Step::mask},    {"levels", 0xFFFFFFFFu, &Step::levels},
    {"led", 0xFFFFFFFFu, &Step::led},      {"mode", 3, &Step::mode},
    {"brightness", 100, &Step::brightness}, {"baud", 0xFFFFFFFFu, &Step::baud},
};

const std::vector<StepKind>& Kinds()
{
    static const std::vector<StepKind> kinds = {
        {StepType::CsRead, "cs_read", false, "", {}},
        {StepType::FirmwareLoad, "firmware_load", false, "", {"cs_keys"}},
        {StepType::XtalTrim, "xtal_trim", true, "", {"value"}},
        {StepType::Carrier, "carrier", true, "", {"channel", "frequency_mhz"}},
        {StepType::TxBurst, "tx_burst", true, "high", {"channel", "length", "payload", "packets", "poll_ms"}},
        {StepType::RxCount, "rx_count", true, "low", {"channel", "reads"}},
        {StepType::Pio, "pio", true, "", {"mask", "levels"}},
        {StepType::Aio, "aio", true, "both", {"channel", "value"}},
        {StepType::Led, "led", true, "", {"led", "mode", "value", "brightness"}},
        {StepType::Uart, "uart", true, "", {"port", "baud"}},
        {StepType::CsWrite, "cs_write", false, "", {}},
        {StepType::ReadBack, "read_back", false, "", {}},
    };
    return kinds;
}

const StepKind* KindByName(const std::string& aName)
{
    for (const StepKind& k : Kinds())
        if (aName == k.name) return &k;
    return nullptr;
}

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

}  // namespace

const char* StepTypeName(StepType aType)
{
    for (const StepKind& k : Kinds())
        if (k.type == aType) return k.name;
    return "?";
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
        if (!std::filesystem::is_regular_file(aOut, ec))
            return fail(*node, std::string("the file \"") + aOut + "\" does not exist");
        return true;
    };
    if (const toml::node* n = root.get("name")) {
        if (!n->is_string()) return fail(*n, "\"name\" must be a string");
        aPlan.name = n->as_string()->get();
    }
    if (!requireFile("firmware", aPlan.firmware, true, "")) return false;
    if (!requireFile("blank_image", aPlan.blankImage, true, "")) return false;
    if (!requireFile("key_database", aPlan.keyDatabase, false, "{bin}/cskey_db.xml")) return false;
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
    for (const toml::node& element : *stepsNode->as_array()) {
        const toml::table& t = *element.as_table();
        const int line = LineOf(t);
        const toml::node* typeNode = t.get("type");
        if (typeNode == nullptr || !typeNode->is_string()) return fail(line, "the step has no \"type\"");
        const StepKind* kind = KindByName(typeNode->as_string()->get());
        if (kind == nullptr) return fail(*typeNode, "unknown step \"" + typeNode->as_string()->get() + "\"");
        Step step;
        step.type = kind->type;
        step.line = LineOf(*typeNode);
        step.name = kind->name;
        for (auto&& [key, node] : t) {
            const std::string k(key.str());
            const int keyLine = static_cast<int>(key.source().begin.line);
            if (k == "type") continue;
            if (k == "name") {
                if (!node.is_string()) return fail(keyLine, "\"name\" must be a string");
                step.name = node.as_string()->get();
                continue;
            }
            if (k == "limit") {
                if (*kind->limitNeeds == '\0') return fail(keyLine, std::string("step \"") + kind->name + "\" takes no limit");
                const auto* lt = node.as_table();
                if (lt == nullptr) return fail(keyLine, "\"limit\" must be a table with unit, low and high");
                Limit limit;
                for (auto&& [lk, lv] : *lt) {
                    const std::string name(lk.str());
                    if (name == "unit") {
                        if (!lv.is_string()) return fail(lv, "\"limit.unit\" must be a string");
                        limit.unit = lv.as_string()->get();
                    } else if (name == "low" || name == "high") {
                        // nan would pass every comparison and inf is no bound.
                        auto v = Number(lv);
                        if (!v || !std::isfinite(*v)) return fail(lv, "\"limit." + name + "\" must be a number");
                        (name == "low" ? limit.low : limit.high) = v;
                    } else {
                        return fail(static_cast<int>(lk.source().begin.line), "unknown entry \"limit." + name + "\"");
                    }
                }
                if (limit.unit.empty()) return fail(keyLine, "the limit has no \"unit\"");
                step.limit = limit;
                continue;
            }
            if (kind->parameters.count(k) == 0)
                return fail(keyLine, "step \"" + std::string(kind->name) + "\" has no parameter \"" + k + "\"");
            uint32_t v = 0;
            // A lambda cannot capture a structured binding before C++20 (clang
            // rejects it), so the value gets a plain reference.
            const toml::node& value = node;
            auto number = [&](uint32_t aMax, uint32_t& aOut) {
                if (!Integer(value, aMax, v))
                    return fail(value, "\"" + k + "\" must be a number from 0 to " + std::to_string(aMax));
                aOut = v;
                return true;
            };
            bool ok = true;
            if (k == "cs_keys") {
                if (!node.is_boolean()) return fail(node, "\"cs_keys\" must be true or false");
                step.csKeys = node.as_boolean()->get();
            } else if (k == "port") {
                if (!node.is_string() || node.as_string()->get().empty()) return fail(node, "\"port\" must be a port name");
                step.port = node.as_string()->get();
            } else if (k == "value") {
                ok = number(0xFFFF, step.type == StepType::Led ? step.ledValue : step.value);
            } else if (k == "reads") {
                ok = number(1000, step.reads) && step.reads > 0 ? true : fail(node, "\"reads\" must be from 1 to 1000");
            } else {
                for (const NumberParameter& n : kNumberParameters)
                    if (k == n.name) ok = number(n.max, step.*n.field);
            }
            if (!ok) return false;
        }
        const std::string needs = kind->limitNeeds;
        if (!needs.empty()) {
            if (!step.limit) return fail(step.line, "step \"" + step.name + "\" needs a limit (unit, " +
                                                        (needs == "both" ? std::string("low and high") : needs) + ")");
            if ((needs == "low" || needs == "both") && !step.limit->low)
                return fail(step.line, "the limit of step \"" + step.name + "\" needs \"low\"");
            if ((needs == "high" || needs == "both") && !step.limit->high)
                return fail(step.line, "the limit of step \"" + step.name + "\" needs \"high\"");
            if (step.limit->low && step.limit->high && *step.limit->low > *step.limit->high)
                return fail(step.line, "the limit of step \"" + step.name + "\" has low above high");
            // The burst is polled up to the high limit: a count.
            if (step.type == StepType::TxBurst && (*step.limit->high < 0 || *step.limit->high > 4294967295.0))
                return fail(step.line, "the limit of step \"" + step.name + "\" needs \"high\" from 0 to 4294967295");
        }
        if (step.type == StepType::Uart && step.port.empty()) return fail(step.line, "step \"uart\" needs a \"port\"");
        if (step.type == StepType::Carrier && !t.contains("channel") && !t.contains("frequency_mhz"))
            return fail(step.line, "step \"carrier\" needs \"channel\" or \"frequency_mhz\"");
        aPlan.steps.push_back(step);
    }

    // The order: tests need the firmware and end before the CS write (which
    // stops the firmware); the address is written after the tests and read
    // back before it is committed.
    bool csRead = false, firmware = false, csWrite = false, readBack = false;
    for (const Step& step : aPlan.steps) {
        const StepKind* kind = KindByName(StepTypeName(step.type));
        auto once = [&](bool& aSeen) {
            if (aSeen) return fail(step.line, "step \"" + std::string(kind->name) + "\" is given twice");
            aSeen = true;
            return true;
        };
        switch (step.type) {
        case StepType::CsRead:
            if (!once(csRead)) return false;
            if (firmware) return fail(step.line, "\"cs_read\" must come before \"firmware_load\"");
            break;
        case StepType::FirmwareLoad:
            if (!once(firmware)) return false;
            if (csWrite) return fail(step.line, "\"firmware_load\" must come before \"cs_write\"");
            if (step.csKeys && !csRead) return fail(step.line, "\"firmware_load\" with cs_keys needs \"cs_read\" before it");
            break;
        case StepType::CsWrite:
            if (!once(csWrite)) return false;
            if (!csRead) return fail(step.line, "\"cs_write\" needs \"cs_read\" before it");
            break;
        case StepType::ReadBack:
            if (!once(readBack)) return false;
            if (!csWrite) return fail(step.line, "\"read_back\" needs \"cs_write\" before it");
            break;
        default:
            if (!firmware) return fail(step.line, "step \"" + step.name + "\" needs \"firmware_load\" before it");
            if (csWrite) return fail(step.line, "step \"" + step.name + "\" must come before \"cs_write\"");
            break;
        }
    }
    if (csWrite && !readBack) return fail(1, "a plan with \"cs_write\" needs \"read_back\" after it");
    return true;
}

}  // namespace station
