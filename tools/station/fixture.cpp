#include "fixture.h"

#include <toml++/toml.h>

#include <filesystem>
#include <set>

namespace station {

namespace {

std::string Fill(std::string aText, const std::vector<std::pair<std::string, std::string>>& aValues)
{
    for (const auto& [from, to] : aValues)
        for (size_t at = aText.find(from); at != std::string::npos; at = aText.find(from, at + to.size()))
            aText.replace(at, from.size(), to);
    return aText;
}

}  // namespace

bool LoadFixture(const std::string& aPath, const std::string& aBinDir, const std::string& aTesterAddress,
                 Fixture& aFixture, std::string& aError)
{
    aFixture = Fixture();
    aFixture.path = aPath;
    auto fail = [&](int aLine, const std::string& aText) {
        aError = aPath + ":" + std::to_string(aLine) + ": " + aText;
        return false;
    };
    auto lineOf = [](const toml::node& aNode) { return static_cast<int>(aNode.source().begin.line); };
    std::error_code ec;
    if (!std::filesystem::is_regular_file(aPath, ec)) {
        aError = "the fixture \"" + aPath + "\" does not exist";
        return false;
    }
    toml::table root;
    try {
        root = toml::parse_file(aPath);
    } catch (const toml::parse_error& e) {
        return fail(static_cast<int>(e.source().begin.line), std::string(e.description()));
    } catch (...) {
        aError = "the fixture \"" + aPath + "\" cannot be read";
        return false;
    }
    for (auto&& [key, node] : root) {
        const std::string k(key.str());
        if (k != "tester" && k != "slot") return fail(static_cast<int>(key.source().begin.line), "unknown entry \"" + k + "\"");
    }
    std::string testerAddress;
    if (const toml::node* t = root.get("tester")) {
        const toml::table* table = t->as_table();
        if (table == nullptr) return fail(lineOf(*t), "\"[tester]\" must be a table");
        TesterSpec spec;
        for (auto&& [key, node] : *table) {
            const std::string k(key.str());
            if ((k != "address" && k != "identity") || !node.is_string())
                return fail(static_cast<int>(key.source().begin.line),
                            k == "address" || k == "identity" ? "\"tester." + k + "\" must be a text"
                                                              : "unknown entry \"tester." + k + "\"");
            (k == "address" ? spec.address : spec.identity) = node.as_string()->get();
        }
        if (!aTesterAddress.empty()) spec.address = aTesterAddress;
        if (spec.address.empty()) return fail(lineOf(*t), "\"[tester]\" needs an \"address\" (HOST:PORT)");
        testerAddress = spec.address;
        aFixture.tester = spec;
    }
    const toml::node* slotsNode = root.get("slot");
    if (slotsNode == nullptr || !slotsNode->is_array_of_tables() || slotsNode->as_array()->empty())
        return fail(slotsNode != nullptr ? lineOf(*slotsNode) : 1, "the fixture has no \"[[slot]]\"");
    std::set<std::string> transports, uarts;
    std::set<int64_t> rfPorts;
    int number = 0;
    for (const toml::node& element : *slotsNode->as_array()) {
        const toml::table& t = *element.as_table();
        ++number;
        const std::vector<std::pair<std::string, std::string>> values = {
            {"{bin}", aBinDir}, {"{slot}", std::to_string(number)}, {"{tester}", testerAddress}};
        FixtureSlot slot;
        for (auto&& [key, node] : t) {
            const std::string k(key.str());
            const int line = static_cast<int>(key.source().begin.line);
            if (k == "transport" || k == "uart") {
                if (!node.is_string() || node.as_string()->get().empty()) return fail(line, "\"" + k + "\" must be a text");
                (k == "transport" ? slot.transport : slot.uart) = Fill(node.as_string()->get(), values);
            } else if (k == "rf_port") {
                const auto* v = node.as_integer();
                if (v == nullptr || v->get() < 1 || v->get() > 64) return fail(line, "\"rf_port\" must be a number from 1 to 64");
                slot.rfPort = static_cast<int>(v->get());
            } else {
                return fail(line, "unknown entry \"slot." + k + "\"");
            }
        }
        const int line = lineOf(t);
        if (slot.transport.empty()) return fail(line, "slot " + std::to_string(number) + " has no \"transport\"");
        if (!transports.insert(slot.transport).second)
            return fail(line, "slot " + std::to_string(number) + " has the transport of another slot");
        if (!slot.uart.empty() && !uarts.insert(slot.uart).second)
            return fail(line, "slot " + std::to_string(number) + " has the UART port \"" + slot.uart + "\" of another slot");
        if (slot.rfPort != 0) {
            if (!aFixture.tester) return fail(line, "slot " + std::to_string(number) + " has an RF port, but the fixture no [tester]");
            if (!rfPorts.insert(slot.rfPort).second)
                return fail(line, "slot " + std::to_string(number) + " has the RF port " + std::to_string(slot.rfPort) +
                                      " of another slot");
        }
        aFixture.slots.push_back(slot);
    }
    return true;
}

Fixture AdHocFixture(const std::vector<std::string>& aTransports)
{
    Fixture fixture;
    for (const std::string& t : aTransports) fixture.slots.push_back({t, "", 0});
    return fixture;
}

}  // namespace station
