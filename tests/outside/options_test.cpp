// The transport string of the simulated chip: one number grammar, and each
// option landing in the record of its concern.
#include "options.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace {

using devsim::Options;
using devsim::ParseNumber;
using devsim::ParseTransport;

uint64_t Number(const std::string& aText, uint64_t aMax = UINT64_MAX)
{
    uint64_t value = 12345;
    EXPECT_TRUE(ParseNumber(aText, aMax, value)) << aText;
    return value;
}

TEST(NumberGrammar, DecimalOrHexWithPrefixNeverOctal)
{
    EXPECT_EQ(10u, Number("10"));
    EXPECT_EQ(10u, Number("010"));
    EXPECT_EQ(8u, Number("0008"));
    EXPECT_EQ(0u, Number("0"));
    EXPECT_EQ(0x1Fu, Number("0x1f"));
    EXPECT_EQ(0x1Fu, Number("0X1F"));
    EXPECT_EQ(0x10u, Number("0x010"));
    EXPECT_EQ(UINT64_MAX, Number("18446744073709551615"));
    EXPECT_EQ(UINT64_MAX, Number("0xFFFFFFFFFFFFFFFF"));
    EXPECT_EQ(0xFFFFu, Number("65535", 0xFFFF));
}

TEST(NumberGrammar, AnythingElseIsRefusedAndLeavesTheValue)
{
    for (const char* bad : {"", "0x", "x10", "1f", "0x1g", "08x", " 1", "1 ", "+1", "-1", "1.0", "0b1",
                            "18446744073709551616", "0x10000000000000000"}) {
        uint64_t value = 7;
        EXPECT_FALSE(ParseNumber(bad, UINT64_MAX, value)) << bad;
        EXPECT_EQ(7u, value) << bad;
    }
    uint64_t value = 7;
    EXPECT_FALSE(ParseNumber("65536", 0xFFFF, value));
    EXPECT_FALSE(ParseNumber("0x10000", 0xFFFF, value));
    EXPECT_EQ(7u, value);
}

Options Parse(const std::string& aTransport)
{
    Options options;
    std::string error;
    EXPECT_TRUE(ParseTransport(aTransport.c_str(), options, error)) << aTransport << ": " << error;
    return options;
}

std::string Refusal(const std::string& aTransport)
{
    Options options;
    std::string error;
    EXPECT_FALSE(ParseTransport(aTransport.c_str(), options, error)) << aTransport;
    return error;
}

TEST(TransportOptions, EachOptionLandsInTheRecordOfItsConcern)
{
    const Options o = Parse(
        "sim:chip=010,id1=0x1234,id2=4660,identified=0,name=dut-1,latency=5,failread=3,failwrite=0x10,"
        "resetfail=1,fwfault=alive+ready:0x0BAD+answer:0x0303:0x8001+delay:07,uart=garble,nvm=/tmp/x,"
        "eeprom=0x400,flash=2048,e2fail=write:2,flashfail=burn,flashbusy=010,uartline=COM10+COM11");
    EXPECT_EQ(10, o.identity.chip);
    EXPECT_EQ(0x1234, o.identity.id1);
    EXPECT_EQ(0x1234, o.identity.id2);
    EXPECT_FALSE(o.identity.identified);
    EXPECT_TRUE(o.identity.present);
    EXPECT_EQ("dut-1", o.identity.name);
    EXPECT_EQ(5u, o.transport.latencyUs);
    EXPECT_EQ(3u, o.transport.failRead);
    EXPECT_EQ(16u, o.transport.failWrite);
    EXPECT_TRUE(o.transport.resetFails);
    EXPECT_FALSE(o.firmware.silent);
    EXPECT_TRUE(o.firmware.aliveOnly);
    EXPECT_EQ(0x0BAD, o.firmware.readyAnswer.value_or(0));
    ASSERT_EQ(1u, o.firmware.answers.count(0x0303));
    EXPECT_EQ(0x8001, o.firmware.answers.at(0x0303));
    EXPECT_EQ(7u, o.firmware.answerDelay.value_or(0));
    EXPECT_EQ(devsim::UartMode::Garble, o.uart.mode);
    EXPECT_EQ("COM10,COM11", o.uart.line);
    EXPECT_EQ("/tmp/x", o.nvm.dir);
    EXPECT_EQ(0x400u, o.nvm.eepromWords);
    EXPECT_EQ(2048u, o.nvm.flashWords);
    ASSERT_TRUE(o.nvm.eepromFault);
    EXPECT_EQ(devsim::NvmOperation::EepromWrite, o.nvm.eepromFault->operation);
    EXPECT_EQ(2u, o.nvm.eepromFault->nth);
    ASSERT_TRUE(o.nvm.flashFault);
    EXPECT_EQ(devsim::NvmOperation::FlashBurn, o.nvm.flashFault->operation);
    EXPECT_EQ(0u, o.nvm.flashFault->nth);
    EXPECT_EQ(10u, o.nvm.flashBusyPolls);
    EXPECT_FALSE(o.nvm.flashStuck);
}

TEST(TransportOptions, PlainSimGivesTheDefaultsAndLaterOptionsWin)
{
    const Options d = Parse("sim");
    EXPECT_EQ(29, d.identity.chip);
    EXPECT_EQ(0x012B, d.identity.id1);
    EXPECT_EQ(0x4B2D, d.identity.id2);
    EXPECT_FALSE(d.firmware.readyAnswer);
    EXPECT_FALSE(d.nvm.eepromFault);
    EXPECT_EQ(2u, d.nvm.flashBusyPolls);
    EXPECT_EQ(devsim::UartMode::Echo, d.uart.mode);

    const Options o = Parse("sim:,chip=3,,chip=4,flashbusy=stuck,e2fail=read,e2fail=size:1");
    EXPECT_EQ(4, o.identity.chip);
    EXPECT_TRUE(o.nvm.flashStuck);
    ASSERT_TRUE(o.nvm.eepromFault);
    EXPECT_EQ(devsim::NvmOperation::EepromSize, o.nvm.eepromFault->operation);
}

TEST(TransportOptions, RefusalsSayWhatIsWrong)
{
    EXPECT_EQ("unknown transport \"usb:1\"; available transports: sim, sim:<key>=<value>,...", Refusal("usb:1"));
    EXPECT_EQ("option \"chip\" has no value; available transports: sim, sim:<key>=<value>,...",
              Refusal("sim:chip"));
    EXPECT_EQ("unknown option \"speed\"; available transports: sim, sim:<key>=<value>,...", Refusal("sim:speed=1"));
    EXPECT_EQ("bad value \"-1\" for option \"chip\"", Refusal("sim:chip=-1"));
    EXPECT_EQ("bad value \"2\" for option \"present\"", Refusal("sim:present=2"));
    EXPECT_EQ("bad value \"0x10000\" for option \"id1\"", Refusal("sim:id1=0x10000"));
    EXPECT_EQ("bad value \"0\" for option \"eeprom\"", Refusal("sim:eeprom=0"));
    EXPECT_EQ("bad value \"loud\" for option \"uart\"", Refusal("sim:uart=loud"));
    for (const char* bad : {"COM10", "+COM11", "COM10+"})
        EXPECT_EQ(std::string("bad value \"") + bad + "\" for option \"uartline\"",
                  Refusal(std::string("sim:uartline=") + bad));
    for (const char* bad : {"ready:", "answer:3:0x0001", "answer:0x8000:0x8001", "delay:1000001", "silent+",
                            "silent:1"})
        EXPECT_EQ(std::string("bad value \"") + bad + "\" for option \"fwfault\"",
                  Refusal(std::string("sim:fwfault=") + bad));
    for (const char* bad : {"e2fail=read:", "e2fail=burn", "e2fail=read:1:2", "flashfail=read",
                            "flashbusy=1000000", "flashbusy="})
        EXPECT_NE("", Refusal(std::string("sim:") + bad)) << bad;
}

TEST(TransportOptions, TheRadioIsDrawnFromItsSeedOrPinnedByDecimals)
{
    const Options d = Parse("sim");
    EXPECT_EQ(0u, d.radio.seed);
    EXPECT_FALSE(d.radio.xtalPpm || d.radio.txDbm || d.radio.driftKhz || d.radio.sensDbm);
    EXPECT_EQ("", d.radio.testerHost);

    const Options o = Parse("sim:rfseed=0x10,xtal_ppm=-12.5,tx_dbm=+4,drift_khz=0.25,sens_dbm=-91.75,"
                            "rf=localhost:5025/3");
    EXPECT_EQ(16u, o.radio.seed);
    EXPECT_EQ(-12.5, o.radio.xtalPpm.value_or(0));
    EXPECT_EQ(4.0, o.radio.txDbm.value_or(0));
    EXPECT_EQ(0.25, o.radio.driftKhz.value_or(0));
    EXPECT_EQ(-91.75, o.radio.sensDbm.value_or(0));
    EXPECT_EQ("localhost", o.radio.testerHost);
    EXPECT_EQ(5025, o.radio.testerPort);
    EXPECT_EQ(3u, o.radio.testerRfPort);
    EXPECT_EQ("::1", Parse("sim:rf=[::1]:6000/1").radio.testerHost);
    EXPECT_EQ(200.0, Parse("sim:xtal_ppm=200").radio.xtalPpm.value_or(0));
}

TEST(TransportOptions, RadioValuesThatAreNoPlainNumberOrAbsurdAreRefused)
{
    for (const char* bad : {"nan", "inf", "-inf", "1e3", "0x10", "", "-", "+", ".5", "5.", "1.2.3", " 1",
                            "200.01", "-1000", "12345678901234"})
        EXPECT_EQ(std::string("bad value \"") + bad + "\" for option \"xtal_ppm\" (a decimal number from -200 to 200)",
                  Refusal(std::string("sim:xtal_ppm=") + bad));
    EXPECT_EQ("bad value \"31\" for option \"tx_dbm\" (a decimal number from -40 to 30)", Refusal("sim:tx_dbm=31"));
    EXPECT_EQ("bad value \"-20\" for option \"sens_dbm\" (a decimal number from -130 to -30)",
              Refusal("sim:sens_dbm=-20"));
    EXPECT_NE("", Refusal("sim:drift_khz=-200.5"));
    EXPECT_EQ("bad value \"-1\" for option \"rfseed\" (a number from 0 to 18446744073709551615)",
              Refusal("sim:rfseed=-1"));
    for (const char* bad : {"127.0.0.1:5025", "127.0.0.1/1", ":5025/1", "127.0.0.1:0/1", "127.0.0.1:65536/1",
                            "127.0.0.1:5025/0", "127.0.0.1:5025/256", "127.0.0.1:x/1", "a b:5025/1", "[]:5025/1"})
        EXPECT_EQ(std::string("bad value \"") + bad +
                      "\" for option \"rf\" (HOST:PORT/N with a TCP port from 1 to 65535 and an RF port from 1 to 255)",
                  Refusal(std::string("sim:rf=") + bad));
}

}  // namespace
