// Records: JSON round trip, JSON Lines appends, JUnit XML and CSV.
#include "records.h"
#include "sinks/sink.h"
#include "sha256.h"
#include "support.h"

#include <gtest/gtest.h>

using namespace stationtest;

namespace {

station::Record Sample()
{
    station::Record r;
    r.runId = "run-1";
    r.station = "line 3";
    r.slot = 2;
    r.address = "005B:02:000010";
    r.addressSource = station::AddressSource::New;
    r.outcome = station::Outcome::Fail;
    r.text = "rx_count: 3 is below 5 packets";
    r.steps.push_back({"open", "0x4B2D", "", {}, {}, station::Outcome::Pass, 1.5, 0, "", {}});
    r.steps.push_back({"rx_count", "3", "packets", 5.0, {}, station::Outcome::Fail, 0.2, 0, "3 is below 5 packets, \"quoted\"", {}});
    r.steps.push_back({"uart", "", "", {}, {}, station::Outcome::Error, 0.1, -1, "=cmd|' /C calc'!A0", {}});
    return r;
}

}  // namespace

TEST(Records, JsonRoundTripKeepsEveryField)
{
    const station::Record r = Sample();
    station::Record back;
    ASSERT_TRUE(station::FromJson(station::ToJson(r), back));
    EXPECT_EQ(station::ToJson(back), station::ToJson(r));
    EXPECT_TRUE(station::ToJson(r)["steps"][0]["low"].is_null());
    EXPECT_FALSE(station::FromJson(nlohmann::json::parse(R"({"run_id": 3})"), back));
}

TEST(Records, JsonLinesAppendWholeLinesAndJunitAndCsvAreWellFormed)
{
    TempDir dir;
    std::string error;
    station::Record r = Sample();
    r.text = std::string("bad bytes \xff\xfe end");  // a device text that is not UTF-8
    ASSERT_TRUE(station::AppendJsonLine(dir / "r.jsonl", station::ToJson(r), error)) << error;
    ASSERT_TRUE(station::AppendJsonLine(dir / "r.jsonl", station::ToJson(Sample()), error)) << error;
    const auto records = ReadJsonl(dir / "r.jsonl");
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[1].steps[1].text, "3 is below 5 packets, \"quoted\"");
    EXPECT_EQ(records[0].outcome, station::Outcome::Fail);

    ASSERT_TRUE(station::WriteJunit(dir / "junit.xml", "run", {Sample()}, error)) << error;
    const std::string xml = ReadText(dir / "junit.xml");
    EXPECT_NE(xml.find("<testsuites errors=\"1\" failures=\"1\" name=\"run\" tests=\"3\">"), std::string::npos) << xml;
    EXPECT_NE(xml.find("message=\"value 3 packets: 3 is below 5 packets, &quot;quoted&quot;\""), std::string::npos) << xml;
    // No temporary file is left beside it.
    size_t files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path())) files += entry.path().filename() != "r.jsonl";
    EXPECT_EQ(files, 1u);

    ASSERT_TRUE(station::WriteCsv(dir / "r.csv", {Sample()}, error)) << error;
    const std::string csv = ReadText(dir / "r.csv");
    EXPECT_NE(csv.find(",rx_count,3,packets,5,,FAIL,0.200,0,\"3 is below 5 packets, \"\"quoted\"\"\"\r\n"), std::string::npos) << csv;
    // A text a spreadsheet would run as a formula is defused.
    EXPECT_NE(csv.find(",'=cmd|' /C calc'!A0\r\n"), std::string::npos) << csv;
}

TEST(Records, EveryCellASpreadsheetWouldRunIsDefusedAndNumbersStayNumbers)
{
    for (const auto& [cell, written] : std::vector<std::pair<std::string, std::string>>{
             {"=1+1", "'=1+1"}, {"+A1", "'+A1"}, {"-A1", "'-A1"}, {"@SUM(A1)", "'@SUM(A1)"}, {"\tx", "'\tx"},
             {"\r=x", "\"'\r=x\""}, {"-70", "-70"}, {"+4.5", "+4.5"}, {"-", "'-"}, {"plain", "plain"}, {"", ""}})
        EXPECT_EQ(station::CsvField(cell), written) << cell;
}

TEST(Records, JunitHoldsAnyDeviceTextAsWellFormedXml)
{
    // Control characters and bytes that are not UTF-8 (a library or device
    // text) must not cost the run its report.
    TempDir dir;
    std::string error;
    station::Record r = Sample();
    r.steps[1].text = std::string("bad\x01text \xff\xfe \x1b[2J end");
    ASSERT_TRUE(station::WriteJunit(dir / "junit.xml", "run\x07", {r}, error)) << error;
    const std::string xml = ReadText(dir / "junit.xml");
    EXPECT_NE(xml.find("bad\\x01text \xEF\xBF\xBD\xEF\xBF\xBD \\x1B[2J end"), std::string::npos) << xml;
    EXPECT_NE(xml.find("name=\"run\\x07\""), std::string::npos) << xml;
}

TEST(Records, Sha256OfKnownInputs)
{
    EXPECT_EQ(station::Sha256Hex({}), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    const std::string abc = "abc";
    EXPECT_EQ(station::Sha256Hex(std::vector<uint8_t>(abc.begin(), abc.end())),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    const std::string two = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
    EXPECT_EQ(station::Sha256Hex(std::vector<uint8_t>(two.begin(), two.end())),
              "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
}
