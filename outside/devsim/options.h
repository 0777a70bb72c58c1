// What a transport string selects, as typed records: one per concern of the
// simulated chip. The string is parsed once, when the stream opens; every
// part of the simulator reads its own record and nothing parses text later.
//
// "sim" alone gives the defaults; "sim:" is followed by comma-separated
// key=value options. Numbers are decimal or hexadecimal with 0x, never
// octal (010 is ten).
#ifndef DEVSIM_OPTIONS_H
#define DEVSIM_OPTIONS_H

#include <cstdint>
#include <map>
#include <optional>
#include <string>

#if defined(_WIN32)
#  define DEVSIM_API
#else
#  define DEVSIM_API __attribute__((visibility("default")))
#endif

namespace devsim {

// The number grammar of the stand-ins and the tools: decimal, or
// hexadecimal after 0x (or 0X); the whole text must be digits and the value
// at most aMax. A leading zero does not make octal. False for anything else.
DEVSIM_API bool ParseNumber(const std::string& aText, uint64_t aMax, uint64_t& aValue);

// Who the chip is, and whether it can be opened at all.
//   chip=N id1=N id2=N identified=0|1 present=0|1 openerror=TEXT name=TEXT
struct IdentityOptions {
    int32_t chip = 29;              // chip index reported to the library
    uint16_t id1 = 0x012B;          // first identification word
    uint16_t id2 = 0x4B2D;          // second identification word
    bool identified = true;         // the transport recognised the chip
    bool present = true;            // false: the open fails, nothing answers
    std::string openError;          // non-empty: the open fails with this text
    std::string name;               // a name tests use to find the chip
};

// What the stand-in transport throws (throw=alloc|error|identify): out of
// memory or an error from every call that reaches the chip, or an error
// from the chip description only.
enum class TransportThrow { None, OutOfMemory, Error, Identification };

// Faults and cost of the transport calls.
//   latency=US failread=N failwrite=N failcode=N resetfail=0|1
//   throw=alloc|error|identify
struct TransportFaults {
    uint32_t latencyUs = 0;         // busy time added to every transport call
    uint64_t failRead = 0;          // the n-th read call fails (0: never)
    uint64_t failWrite = 0;         // the n-th write call fails (0: never)
    int32_t failCode = 1;           // what a memory call failed by the chip returns
    bool resetFails = false;        // reset-and-stop fails
    TransportThrow throws = TransportThrow::None;
};

// How the emulated firmware departs from what its image says.
//   fwfault=ITEM+ITEM...  with ITEM one of silent, alive, ready:ANSWER,
//   answer:COMMAND:ANSWER (ANSWER has bit 15 set), delay:POLLS
struct FirmwareOptions {
    bool silent = false;                     // never answers, no alive tick
    bool aliveOnly = false;                  // ticks, never answers
    std::optional<uint16_t> readyAnswer;     // answer in place of the ready code
    std::map<uint16_t, uint16_t> answers;    // command -> forced answer
    std::optional<uint32_t> answerDelay;     // polls of the command word before an answer
};

// What the chip's UART answers once it was told a rate.
//   uart=echo|short|garble|none uartlink=PATH uartline=PC_PORT+CHIP_PORT (Windows)
enum class UartMode { Echo, Short, Garble, None };
struct UartOptions {
    UartMode mode = UartMode::Echo;
    std::string link;               // a symbolic link made here to the PC side
    std::string line;               // Windows: "PC_PORT,CHIP_PORT", for DEVSIM_UART_PORTS
};

// The EEPROM and SPI flash and their faults.
//   nvm=DIR eeprom=WORDS flash=WORDS e2fail=OP[:N] flashfail=OP[:N]
//   flashbusy=POLLS|stuck   (see nvm.h)
enum class NvmOperation {
    EepromRead, EepromWrite, EepromSize,
    FlashIdentify, FlashInfo, FlashDump, FlashBurn
};
struct NvmFaultOption {
    NvmOperation operation = NvmOperation::EepromRead;
    uint64_t nth = 0;               // the n-th such call fails; 0: every call
};
struct NvmOptions {
    std::string dir;                // backing files of the NVM; empty: in memory
    uint32_t eepromWords = 0x8000;  // EEPROM size in words
    uint32_t flashWords = 0x10000;  // SPI flash size in words
    std::optional<NvmFaultOption> eepromFault;
    std::optional<NvmFaultOption> flashFault;
    uint32_t flashBusyPolls = 2;    // polls a flash job stays busy
    bool flashStuck = false;        // a flash job stays busy until a test ends it
};

// The chip's radio (radio.h) and its cable to a port of the simulated RF
// tester.
//   rfseed=N xtal_ppm=X tx_dbm=X drift_khz=X sens_dbm=X rf=HOST:PORT/N
// The four X are decimal numbers with an optional sign and fraction ("-12.5");
// each pins one value that rfseed would otherwise draw.
struct RadioOptions {
    uint64_t seed = 0;                     // draws the chip's radio (rfseed)
    std::optional<double> xtalPpm;         // crystal error, ppm
    std::optional<double> txDbm;           // output power, dBm
    std::optional<double> driftKhz;        // carrier drift over a burst, kHz
    std::optional<double> sensDbm;         // receiver sensitivity, dBm
    std::string testerHost;                // empty: no tester cabled
    uint16_t testerPort = 0;               // the tester's TCP port
    uint32_t testerRfPort = 0;             // the tester's RF port, from 1
};

struct Options {
    IdentityOptions identity;
    TransportFaults transport;
    FirmwareOptions firmware;
    UartOptions uart;
    NvmOptions nvm;
    RadioOptions radio;
};

// Parses a transport string. Returns false with a text in aError when the
// string does not name the simulated transport or has a bad option.
DEVSIM_API bool ParseTransport(const char* aTransport, Options& aOptions, std::string& aError);

// Text listing the transports that exist, for error messages.
DEVSIM_API const char* TransportList();

}  // namespace devsim

#endif
