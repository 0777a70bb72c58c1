#include "fixture.h"

#include <toml++/toml.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
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

// A token as a header carries it: printable ASCII without blanks.
bool PlainToken(const std::string& aToken)
{
    for (unsigned char c : aToken)
        if (c <= 0x20 || c >= 0x7F) return false;
    return !aToken.empty();
}

template <class Fail>
bool ReadMes(const toml::node& aNode, const std::string& aPath, Fixture& aFixture, const Fail& aFail)
{
    const int tableLine = static_cast<int>(aNode.source().begin.line);
    const toml::table* table = aNode.as_table();
    if (table == nullptr) return aFail(tableLine, "\"[mes]\" must be a table");
    mes::MesConfig config;
    std::string tokenFile;
    for (auto&& [key, node] : *table) {
        const std::string k(key.str());
        const int line = static_cast<int>(key.source().begin.line);
        if (k == "url" || k == "token" || k == "token_file" || k == "operation") {
            if (!node.is_string() || node.as_string()->get().empty()) return aFail(line, "\"mes." + k + "\" must be a text");
            const std::string text = node.as_string()->get();
            (k == "url" ? config.url : k == "token" ? config.token : k == "token_file" ? tokenFile : config.operation) = text;
        } else if (k == "timeout_ms" || k == "retry_first_ms" || k == "retry_max_ms") {
            const auto* v = node.as_integer();
            if (v == nullptr || v->get() < 1 || v->get() > 3600000)
                return aFail(line, "\"mes." + k + "\" must be a number of milliseconds from 1 to 3600000");
            const std::chrono::milliseconds ms(v->get());
            (k == "timeout_ms" ? config.timeout : k == "retry_first_ms" ? aFixture.mesRetry.first : aFixture.mesRetry.cap) = ms;
        } else {
            return aFail(line, "unknown entry \"mes." + k + "\"");
        }
    }
    std::string error;
    if (config.url.empty()) return aFail(tableLine, "\"[mes]\" needs a \"url\"");
    if (!mes::CheckUrl(config.url, error)) return aFail(tableLine, "\"mes.url\": " + error);
    if (!config.token.empty() && !tokenFile.empty()) return aFail(tableLine, "\"mes.token\" and \"mes.token_file\" together");
    if (!tokenFile.empty()) {
        // Relative to the fixture; the file holds the token and at most a line end.
        std::filesystem::path file(tokenFile);
        if (file.is_relative()) file = std::filesystem::path(aPath).parent_path() / file;
        std::ifstream in(file, std::ios::binary);
        if (!in.is_open()) return aFail(tableLine, "the MES token file \"" + file.string() + "\" cannot be read");
        std::string text;
        char buffer[512];
        while (in.read(buffer, sizeof buffer) || in.gcount() > 0) {
            text.append(buffer, static_cast<size_t>(in.gcount()));
            if (text.size() > 4096) break;
        }
        if (in.bad()) return aFail(tableLine, "the MES token file \"" + file.string() + "\" cannot be read");
        if (text.size() > 4096) return aFail(tableLine, "the MES token file \"" + file.string() + "\" is too long for a token");
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
        if (text.empty()) return aFail(tableLine, "the MES token file \"" + file.string() + "\" is empty");
        config.token = text;
    }
    // The token is never quoted: it is a secret.
    if (!config.token.empty() && !PlainToken(config.token))
        return aFail(tableLine, "the MES token must be printable ASCII without blanks");
    if (aFixture.mesRetry.cap < aFixture.mesRetry.first)
        return aFail(tableLine, "\"mes.retry_max_ms\" is shorter than \"mes.retry_first_ms\"");
    aFixture.mes = config;
    return true;
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
        const int line = static_cast<int>(key.source().begin.line);
        if (k == "serial_pattern") {
            if (!node.is_string() || node.as_string()->get().empty()) return fail(line, "\"serial_pattern\" must be a text");
            aFixture.serialPattern = node.as_string()->get();
            try {
                std::regex check(aFixture.serialPattern, std::regex::ECMAScript);
            } catch (const std::regex_error& e) {
                return fail(line, "\"serial_pattern\" is not a regular expression (" + std::string(e.what()) + ")");
            }
        } else if (k == "max_attempts") {
            const auto* v = node.as_integer();
            if (v == nullptr || v->get() < 1 || v->get() > 1000) return fail(line, "\"max_attempts\" must be a number from 1 to 1000");
            aFixture.maxAttempts = static_cast<int>(v->get());
        } else if (k == "mes") {
            if (!ReadMes(node, aPath, aFixture, fail)) return false;
        } else if (k != "tester" && k != "slot") {
            return fail(line, "unknown entry \"" + k + "\"");
        }
    }
    std::string testerAddress;
    if (const toml::node* t = root.get("tester")) {
        const toml::table* table = t->as_table();
        if (table == nullptr) return fail(lineOf(*t), "\"[tester]\" must be a table");
        TesterSetup tester;
        for (auto&& [key, node] : *table) {
            const std::string k(key.str());
            if ((k != "address" && k != "identity") || !node.is_string())
                return fail(static_cast<int>(key.source().begin.line),
                            k == "address" || k == "identity" ? "\"tester." + k + "\" must be a text"
                                                              : "unknown entry \"tester." + k + "\"");
            (k == "address" ? tester.address : tester.identity) = node.as_string()->get();
        }
        if (!aTesterAddress.empty()) tester.address = aTesterAddress;
        if (tester.address.empty()) return fail(lineOf(*t), "\"[tester]\" needs an \"address\" (HOST:PORT)");
        testerAddress = tester.address;
        aFixture.tester = tester;
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
