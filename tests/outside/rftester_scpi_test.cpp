// The simulated RF tester as an SCPI client and a chip's cable see it: the
// command tree in short and long forms, the error queue with the standard
// codes, sessions of their own per client, measurements only of what is on
// the channel, the generator and *OPC?, and the faults tests can ask for.
#include "rflinkwire.h"
#include "rftesterfixture.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <string>
#include <vector>

namespace {

using rftest::InProcessTester;
using rftest::LineClient;

constexpr const char* kNoError = "0,\"No error\"";

// A chip's cable made by hand: the hello, then EMIT lines.
class FakeChip {
public:
    FakeChip(uint16_t aPort, unsigned aRfPort) : link(aPort)
    {
        EXPECT_EQ("OK 4", link.Query("@RFLINK 1 PORT " + std::to_string(aRfPort)));
    }
    void Emit(const rflinkwire::Emission& aEmission)
    {
        const std::string line = rflinkwire::EmitLine(++seq, aEmission);
        EXPECT_EQ("ACK " + std::to_string(seq), link.Query(line.substr(0, line.size() - 1)));
    }
    void Carrier(double aHz, double aDbm) { Emit({rflinkwire::Mode::Carrier, aHz, aDbm, 0}); }

    LineClient link;
    uint64_t seq = 0;
};

// The next entry of the error queue starts with aPrefix, and it was the only one.
void ExpectOnlyError(LineClient& aClient, const std::string& aPrefix, const std::string& aWhat)
{
    const std::string entry = aClient.Query("SYST:ERR?");
    EXPECT_EQ(0u, entry.rfind(aPrefix, 0)) << aWhat << " gave " << entry;
    EXPECT_EQ(kNoError, aClient.Query("SYST:ERR?")) << aWhat;
}

TEST(RfTesterScpi, CommonCommandsAndTheDefaultsResetReturnsTo)
{
    InProcessTester tester;
    LineClient client(tester.port());
    EXPECT_EQ("NivoraTest,rftester,0,1.0", client.Query("*IDN?"));
    EXPECT_EQ("1", client.Query("*OPC?"));
    EXPECT_EQ("1;0;-70;1500", client.Query("ROUT:PORT?;:CONF:CHAN?;:SOUR:POW?;:SOUR:PACK:COUN?"));
    client.Send("ROUT:PORT 3;:CONF:CHAN 7;:SOUR:POW -50.5;:SOUR:PACK:COUN 10");
    EXPECT_EQ("3;7;-50.5;10", client.Query("ROUT:PORT?;:CONF:CHAN?;:SOUR:POW?;:SOUR:PACK:COUN?"));
    client.Send("*RST");
    EXPECT_EQ("1;0;-70;1500", client.Query("ROUT:PORT?;:CONF:CHAN?;:SOUR:POW?;:SOUR:PACK:COUN?"));

    // *CLS empties the queue; *RST does not.
    client.Send("NO:SUCH");
    client.Send("*RST");
    EXPECT_EQ(0u, client.Query("SYST:ERR?").rfind("-113,", 0));
    client.Send("NO:SUCH");
    client.Send("*CLS");
    EXPECT_EQ(kNoError, client.Query("SYST:ERR?"));
}

TEST(RfTesterScpi, LongAndShortFormsAnyCaseAndCompoundMessages)
{
    InProcessTester tester;
    LineClient client(tester.port());
    client.Send("ROUTe:PORT 2");
    EXPECT_EQ("2", client.Query("route:port?"));
    // A header without a colon continues the previous path, else starts at the root.
    EXPECT_EQ("39", client.Query(":CONFIGURE:CHANNEL 39;CHAN?"));
    EXPECT_EQ("-80;10", client.Query("SOUR:PACK:COUN 10;:SOURCE:POWER -80;POW?;PACK:COUN?"));
    EXPECT_EQ("4;2", client.Query("conf:chan 4;chan?;ROUT:PORT?"));
    EXPECT_EQ("-120;0;-70", client.Query("sour:pow MIN;pow?;pow MAXIMUM;pow?;pow def;pow?"));
    EXPECT_EQ(kNoError, client.Query("SYSTem:ERRor:NEXT?"));
}

TEST(RfTesterScpi, ErrorsGoToTheQueueWithTheStandardCodesAndTexts)
{
    InProcessTester tester;
    LineClient client(tester.port());
    struct Case {
        const char* command;
        const char* entry;
    };
    const Case cases[] = {
        {"FOO:BAR", "-113,\"Undefined header;FOO:BAR\""},
        {"READ:POW", "-113,\"Undefined header"},  // a query-only header as a command
        {"ROUT:PORT? 1", "-108,\"Parameter not allowed"},
        {"ROUT:PORT 5", "-222,\"Data out of range;ROUT:PORT 5\""},
        {"ROUT:PORT 0", "-222,\"Data out of range"},
        {"CONF:CHAN 40", "-222,\"Data out of range"},
        {"SOUR:POW 1", "-222,\"Data out of range"},
        {"SOUR:PACK:COUN 0", "-222,\"Data out of range"},
        {"SOUR:PACK:COUN 65536", "-222,\"Data out of range"},
        {"ROUT:PORT", "-109,\"Missing parameter;ROUT:PORT\""},
        {"ROUT:PORT 1,2", "-108,\"Parameter not allowed"},
        {"*RST 1", "-108,\"Parameter not allowed"},
        {"ROUT:PORT abc", "-104,\"Data type error"},
        {"CONF:CHAN nan", "-104,\"Data type error"},
        {"CONF:CHAN 1.5", "-224,\"Illegal parameter value"},
        {"SOUR:POW -70DBM", "-131,\"Invalid suffix"},
        {"ROUT::PORT 1", "-102,\"Syntax error"},
        {"ROUT:PORT 1,", "-102,\"Syntax error"},
    };
    for (const Case& c : cases) {
        client.Send(c.command);
        ExpectOnlyError(client, c.entry, c.command);
    }
    // Refused values changed nothing.
    EXPECT_EQ("1;0;-70;1500", client.Query("ROUT:PORT?;:CONF:CHAN?;:SOUR:POW?;:SOUR:PACK:COUN?"));

    // A header that cannot be read ends its message; a bad value skips its command only.
    client.Send("FOO;ROUT:PORT 2");
    client.Send("CONF:CHAN 99;:ROUT:PORT 3");
    EXPECT_EQ("3", client.Query("ROUT:PORT?"));
    EXPECT_EQ(0u, client.Query("SYST:ERR?").rfind("-113,", 0));
    EXPECT_EQ(0u, client.Query("SYST:ERR?").rfind("-222,", 0));

    // A quote in a refused text cannot break the entry's string.
    client.Send("ROUT:PORT \"a\"\"b\"");
    EXPECT_EQ("-104,\"Data type error;ROUT:PORT \"\"a\"\"\"\"b\"\"\"", client.Query("SYST:ERR?"));
}

TEST(RfTesterScpi, AFullQueueEndsInQueueOverflowAndAnOverlongMessageIsDropped)
{
    InProcessTester tester;
    LineClient client(tester.port());
    for (int i = 0; i < 20; ++i) client.Send("BAD" + std::to_string(i));
    for (int i = 0; i < 15; ++i)
        EXPECT_EQ("-113,\"Undefined header;BAD" + std::to_string(i) + "\"", client.Query("SYST:ERR?"));
    EXPECT_EQ("-350,\"Queue overflow\"", client.Query("SYST:ERR?"));
    EXPECT_EQ(kNoError, client.Query("SYST:ERR?"));

    client.Send("ROUT:PORT 2;" + std::string(10000, 'x') + ";ROUT:PORT 3");
    EXPECT_EQ("1", client.Query("ROUT:PORT?"));
    ExpectOnlyError(client, "-223,\"Too much data", "an over-long message");
}

TEST(RfTesterScpi, MeasurementsSeeOnlyWhatTheChipOnThePortSendsOnTheChannel)
{
    InProcessTester tester;
    LineClient client(tester.port());
    // Nothing cabled: an execution error and the "not a number" answer.
    EXPECT_EQ("9.91E37", client.Query("READ:POW?"));
    ExpectOnlyError(client, "-200,\"Execution error;nothing transmitting at port 1\"", "nothing cabled");

    FakeChip chip(tester.port(), 1);
    EXPECT_EQ("9.91E37", client.Query("READ:FREQ:OFFS?"));
    ExpectOnlyError(client, "-200,\"Execution error;nothing transmitting", "a silent chip");

    chip.Carrier(rflinkwire::ChannelHz(5) + 12345.0, 4.5);
    client.Send("CONF:CHAN 5");
    EXPECT_NEAR(12345.0, client.Number("READ:FREQ:OFFS?"), 600);
    EXPECT_NEAR(4.5, client.Number("READ:POW?"), 0.6);
    EXPECT_EQ("9.91E37", client.Query("READ:FREQ:DRIF?"));
    ExpectOnlyError(client, "-200,\"Execution error;no burst at port 1 (a carrier has no drift)\"",
                    "drift of a carrier");

    chip.Emit({rflinkwire::Mode::Burst, rflinkwire::ChannelHz(5) - 20000.0, -3.0, 7000.0});
    EXPECT_NEAR(-20000.0, client.Number("READ:FREQ:OFFS?"), 600);
    EXPECT_NEAR(7000.0, client.Number("READ:FREQ:DRIF?"), 1200);
    EXPECT_NEAR(-3.0, client.Number("READ:POW?"), 0.6);

    // Another channel than the configured one shows nothing.
    client.Send("CONF:CHAN 6");
    EXPECT_EQ("9.91E37;9.91E37", client.Query("READ:POW?;READ:FREQ:OFFS?"));
    EXPECT_EQ("-200,\"Execution error;no signal on channel 6 (2414 MHz) at port 1\"", client.Query("SYST:ERR?"));
    ExpectOnlyError(client, "-200,\"Execution error;no signal on channel 6", "other channel");

    chip.Emit(rflinkwire::Emission());
    client.Send("CONF:CHAN 5");
    EXPECT_EQ("9.91E37", client.Query("READ:POW?"));
    ExpectOnlyError(client, "-200,", "after OFF");

    // A chip whose cable is pulled sends nothing any more.
    chip.Carrier(rflinkwire::ChannelHz(5), 0.0);
    chip.link.Close();
    LineClient sync(tester.port());
    EXPECT_EQ("1", sync.Query("*OPC?"));
    EXPECT_EQ("9.91E37", client.Query("READ:POW?"));
}

TEST(RfTesterScpi, NoiseHasItsDocumentedSizeAndFollowsTheSeed)
{
    auto readings = [](uint64_t aSeed) {
        rftester::TesterConfig config;
        config.seed = aSeed;
        InProcessTester tester(config);
        FakeChip chip(tester.port(), 2);
        chip.Carrier(rflinkwire::ChannelHz(0) + 1000.0, 2.0);
        LineClient client(tester.port());
        client.Send("ROUT:PORT 2");
        std::vector<double> values;
        for (int i = 0; i < 200; ++i) values.push_back(client.Number("READ:FREQ:OFFS?"));
        return values;
    };
    const std::vector<double> a = readings(11);
    EXPECT_EQ(a, readings(11));
    EXPECT_NE(a, readings(12));
    double sum = 0, squares = 0;
    for (double v : a) sum += v;
    const double mean = sum / a.size();
    for (double v : a) squares += (v - mean) * (v - mean);
    const double sigma = std::sqrt(squares / (a.size() - 1));
    EXPECT_NEAR(1000.0, mean, 4 * rftester::kFrequencyNoiseHz / std::sqrt(200.0));
    EXPECT_GT(sigma, 0.75 * rftester::kFrequencyNoiseHz);
    EXPECT_LT(sigma, 1.25 * rftester::kFrequencyNoiseHz);
}

TEST(RfTesterScpi, EachClientKeepsItsOwnPortSettingsAndErrors)
{
    InProcessTester tester;
    FakeChip one(tester.port(), 1), two(tester.port(), 2);
    one.Carrier(rflinkwire::ChannelHz(3), -10.0);
    two.Carrier(rflinkwire::ChannelHz(3), 6.0);
    LineClient a(tester.port()), b(tester.port());
    a.Send("ROUT:PORT 1;:CONF:CHAN 3");
    b.Send("ROUT:PORT 2;:CONF:CHAN 3");
    EXPECT_NEAR(-10.0, a.Number("READ:POW?"), 0.6);
    EXPECT_NEAR(6.0, b.Number("READ:POW?"), 0.6);
    EXPECT_EQ("1", a.Query("ROUT:PORT?"));
    a.Send("NO:SUCH");
    EXPECT_EQ(kNoError, b.Query("SYST:ERR?"));
    EXPECT_EQ(0u, a.Query("SYST:ERR?").rfind("-113,", 0));
}

TEST(RfTesterScpi, TheGeneratorReachesThePortsChipAndOpcWaitsUntilItCounted)
{
    InProcessTester tester;
    FakeChip chip(tester.port(), 2);
    LineClient client(tester.port());
    client.Send("ROUT:PORT 2;:CONF:CHAN 7;:SOUR:POW -65.5;:SOUR:PACK:COUN 100;:INIT:GEN");
    const std::vector<std::string> gen = rflinkwire::Words(chip.link.Read());
    rflinkwire::GeneratorRun run;
    ASSERT_TRUE(rflinkwire::ParseGen(gen, run));
    EXPECT_EQ(7u, run.channel);
    EXPECT_EQ(-65.5, run.levelDbm);
    EXPECT_EQ(100u, run.count);

    // Until the chip has counted, *OPC? holds its answer, and a second run is ignored.
    client.Send("INIT:GEN;*OPC?");
    EXPECT_EQ("<timeout>", client.Read(std::chrono::milliseconds(100)));
    chip.link.Send("RCVD " + std::to_string(run.seq) + " 97");
    EXPECT_EQ("1", client.Read());
    ExpectOnlyError(client, "-213,\"Init ignored", "a second run");

    // *WAI waits the same way; a chip that goes away ends the run.
    client.Send("INIT:GEN;*WAI;*IDN?");
    ASSERT_TRUE(rflinkwire::ParseGen(rflinkwire::Words(chip.link.Read()), run));
    EXPECT_EQ("<timeout>", client.Read(std::chrono::milliseconds(100)));
    chip.link.Close();
    EXPECT_EQ("NivoraTest,rftester,0,1.0", client.Read());

    // No chip on the port: the packets go nowhere and the run ends at once.
    EXPECT_EQ("1", client.Query("INIT:GEN;*OPC?"));
    EXPECT_EQ(kNoError, client.Query("SYST:ERR?"));
}

TEST(RfTesterScpi, TheCableHandshakeRefusesAMissingPortAndANewChipReplacesTheOld)
{
    InProcessTester tester;
    LineClient bad(tester.port());
    EXPECT_EQ("ERR RF port 5 does not exist (this tester has ports 1 to 4)", bad.Query("@RFLINK 1 PORT 5"));
    EXPECT_EQ("<closed>", bad.Query("EMIT 1 OFF"));
    LineClient garbled(tester.port());
    EXPECT_EQ(0u, garbled.Query("@RFLINK 2 PORT 1").rfind("ERR RF port request not understood", 0));

    FakeChip old(tester.port(), 3);
    old.Carrier(rflinkwire::ChannelHz(0), 1.0);
    FakeChip fresh(tester.port(), 3);
    EXPECT_EQ("<closed>", old.link.Read());
    LineClient client(tester.port());
    client.Send("ROUT:PORT 3");
    EXPECT_EQ("9.91E37", client.Query("READ:POW?"));
    fresh.Carrier(rflinkwire::ChannelHz(0), 2.0);
    EXPECT_NEAR(2.0, client.Number("READ:POW?"), 0.6);

    // A cable that speaks anything but the link protocol is pulled.
    fresh.link.Send("HELLO");
    EXPECT_EQ("<closed>", fresh.link.Read());
}

TEST(RfTesterScpi, FaultsForClientTestsAndTheModelledDelays)
{
    rftester::TesterConfig config;
    config.identity = "Other,Instrument,1,2";
    config.failOn = {"INIT:GEN"};
    config.dropOn = {"READ:POW?"};
    config.measureMs = 150;
    InProcessTester tester(config);
    LineClient client(tester.port());
    EXPECT_EQ("Other,Instrument,1,2", client.Query("*IDN?"));
    client.Send("INITiate:GENerator");
    ExpectOnlyError(client, "-200,\"Execution error;injected fault on INIT:GEN\"", "fail-on");

    // A measurement takes its time without holding up another client.
    LineClient other(tester.port());
    const auto start = std::chrono::steady_clock::now();
    client.Send("READ:FREQ:OFFS?");
    EXPECT_EQ("Other,Instrument,1,2", other.Query("*IDN?"));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(140));
    EXPECT_EQ("9.91E37", client.Read());
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(150));

    EXPECT_EQ("<closed>", client.Query("READ:POW?"));
}

}  // namespace
