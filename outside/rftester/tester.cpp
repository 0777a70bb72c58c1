// The simulated RF tester (see tester.h).
#include "tester.h"

#include "rflinkwire.h"
#include "scpi.h"
#include "simrandom.h"

#include <chrono>
#include <cmath>
#include <deque>
#include <functional>

namespace rftester {

namespace {

using asio::ip::tcp;
using rflinkwire::Emission;
using rflinkwire::Mode;

// Longest program message; a longer one is dropped with -223.
constexpr size_t kMaxMessage = 4096;
constexpr size_t kMaxConnections = 64;
// Lines a cabled chip may leave unread before its cable is pulled.
constexpr size_t kMaxQueuedLinkLines = 1024;

// Settings a session starts with and *RST returns to.
constexpr unsigned kDefaultPort = 1;
constexpr unsigned kDefaultChannel = 0;
constexpr double kDefaultLevelDbm = -70.0;
constexpr double kMinLevelDbm = -120.0;
constexpr double kMaxLevelDbm = 0.0;
constexpr int64_t kDefaultPackets = 1500;
constexpr int64_t kMaxPackets = 65535;

enum Command {
    kIdn,
    kRst,
    kCls,
    kOpcQuery,
    kWai,
    kSystemError,
    kPort,
    kPortQuery,
    kChannel,
    kChannelQuery,
    kReadPower,
    kReadOffset,
    kReadDrift,
    kLevel,
    kLevelQuery,
    kPackets,
    kPacketsQuery,
    kInitGenerator,
};

struct CommandInfo {
    const char* pattern;
    const char* canonical;  // the name faults are given by
    Command id;
};

const CommandInfo kCommands[] = {
    {"*IDN?", "*IDN?", kIdn},
    {"*RST", "*RST", kRst},
    {"*CLS", "*CLS", kCls},
    {"*OPC?", "*OPC?", kOpcQuery},
    {"*WAI", "*WAI", kWai},
    {"SYSTem:ERRor[:NEXT]?", "SYST:ERR?", kSystemError},
    {"ROUTe:PORT", "ROUT:PORT", kPort},
    {"ROUTe:PORT?", "ROUT:PORT?", kPortQuery},
    {"CONFigure:CHANnel", "CONF:CHAN", kChannel},
    {"CONFigure:CHANnel?", "CONF:CHAN?", kChannelQuery},
    {"READ:POWer?", "READ:POW?", kReadPower},
    {"READ:FREQuency:OFFSet?", "READ:FREQ:OFFS?", kReadOffset},
    {"READ:FREQuency:DRIFt?", "READ:FREQ:DRIF?", kReadDrift},
    {"SOURce:POWer", "SOUR:POW", kLevel},
    {"SOURce:POWer?", "SOUR:POW?", kLevelQuery},
    {"SOURce:PACKet:COUNt", "SOUR:PACK:COUN", kPackets},
    {"SOURce:PACKet:COUNt?", "SOUR:PACK:COUN?", kPacketsQuery},
    {"INITiate:GENerator", "INIT:GEN", kInitGenerator},
};

const CommandInfo& Info(int aId)
{
    for (const CommandInfo& info : kCommands)
        if (info.id == aId) return info;
    return kCommands[0];
}

class Connection;

}  // namespace

struct Tester::Impl {
    Impl(asio::io_context& aIo, const TesterConfig& aConfig) : io(aIo), config(aConfig), acceptor(aIo)
    {
        for (const CommandInfo& info : kCommands) commands.Add(info.pattern, info.id);
        // A tester has at least one port, so the sessions' port 1 exists.
        const unsigned count = config.ports == 0 ? 1 : config.ports;
        for (unsigned i = 0; i < count; ++i)
            ports.push_back(Port{{}, Emission(), simrandom::Random(simrandom::Mix(config.seed, i + 1))});
    }

    void Accept();

    struct Port {
        std::weak_ptr<Connection> chip;  // the cabled chip
        Emission emission;               // what it sends now
        simrandom::Random noise;
    };

    asio::io_context& io;
    TesterConfig config;
    tcp::acceptor acceptor;
    scpi::CommandTable commands;
    std::vector<Port> ports;
    std::set<std::shared_ptr<Connection>> connections;
    uint64_t nextGeneratorSeq = 1;
    bool stopped = false;
    // Set by the tester that owns this; connections keep it alive.
    std::weak_ptr<Impl> self;
};

namespace {

// One TCP connection: an SCPI client, or a chip's cable once its first
// line is the link's hello.
class Connection : public std::enable_shared_from_this<Connection> {
public:
    Connection(std::shared_ptr<Tester::Impl> aTester, tcp::socket aSocket)
        : mTester(std::move(aTester)), mSocket(std::move(aSocket)), mTimer(mTester->io)
    {
        std::error_code ignored;
        mSocket.set_option(tcp::no_delay(true), ignored);
    }

    void Start() { ReadLine(); }
    void Close();

    // Chip side: sends a generator run; aDone runs when the chip has
    // counted it or the cable is gone.
    void SendGenerator(const rflinkwire::GeneratorRun& aRun, std::function<void()> aDone)
    {
        mGenerators[aRun.seq] = std::move(aDone);
        SendLink(rflinkwire::GenLine(aRun));
    }

private:
    enum class Kind { Unknown, Client, Chip };
    // Whether the command was answered now or the session waits for a
    // timer or the generator.
    enum class Flow { Continue, Wait };

    void ReadLine();
    void OnLine(std::string aLine);

    // The chip's cable.
    void OnHello(const std::vector<std::string>& aWords);
    void OnLinkLine(const std::vector<std::string>& aWords);
    void SendLink(std::string aLine);
    void WriteLink();

    // The SCPI session.
    void RunMessage(const std::string& aLine);
    void Next();
    void Answer();
    Flow Execute(Command aId, const scpi::Unit& aUnit);
    bool NoParameters(const scpi::Unit& aUnit);
    bool OneParameter(const scpi::Unit& aUnit);
    Flow Measure(Command aId);
    std::string Measurement(Command aId);
    Flow StartGenerator();
    void GeneratorDone();
    int Resolve(const scpi::Unit& aUnit);

    std::shared_ptr<Tester::Impl> mTester;
    tcp::socket mSocket;
    asio::streambuf mInput{kMaxMessage};
    asio::steady_timer mTimer;
    Kind mKind = Kind::Unknown;
    bool mClosed = false;

    // Chip cable.
    unsigned mCablePort = 0;  // from 1; 0 before the hello
    std::deque<std::string> mLinkOut;
    std::map<uint64_t, std::function<void()>> mGenerators;

    // SCPI session settings and state.
    unsigned mPort = kDefaultPort;
    unsigned mChannel = kDefaultChannel;
    double mLevelDbm = kDefaultLevelDbm;
    int64_t mPackets = kDefaultPackets;
    scpi::ErrorQueue mErrors;
    bool mDiscarding = false;         // the rest of an over-long message
    std::vector<std::string> mUnits;  // of the message being run
    size_t mNext = 0;
    std::vector<std::string> mPath;  // the header path of the previous command
    std::vector<std::string> mResponses;
    bool mGeneratorRunning = false;
    bool mWaitingForGenerator = false;
    bool mAnswerOpc = false;  // *OPC? (not *WAI) waits
};

void Connection::Close()
{
    if (mClosed) return;
    mClosed = true;
    auto self = shared_from_this();
    std::error_code ignored;
    mSocket.shutdown(tcp::socket::shutdown_both, ignored);
    mSocket.close(ignored);
    mTimer.cancel();
    if (mKind == Kind::Chip && mCablePort != 0) {
        Tester::Impl::Port& port = mTester->ports[mCablePort - 1];
        if (port.chip.lock() == self) {
            port.chip.reset();
            port.emission = Emission();
        }
    }
    // Generator runs to a chip that is gone are over: nobody counts them.
    for (auto& run : mGenerators) asio::post(mTester->io, std::move(run.second));
    mGenerators.clear();
    mTester->connections.erase(self);
}

void Connection::ReadLine()
{
    auto self = shared_from_this();
    asio::async_read_until(mSocket, mInput, '\n', [this, self](const std::error_code& aError, size_t aLength) {
        if (mClosed) return;
        if (aError == asio::error::not_found && mKind != Kind::Chip) {
            // A message longer than the input buffer: dropped up to its end.
            mInput.consume(mInput.size());
            if (!mDiscarding) mErrors.Push(scpi::kTooMuchData, "program message longer than 4096 bytes");
            mDiscarding = true;
            mKind = Kind::Client;
            ReadLine();
            return;
        }
        if (aError) {
            Close();
            return;
        }
        std::string line(asio::buffers_begin(mInput.data()), asio::buffers_begin(mInput.data()) + aLength);
        mInput.consume(aLength);
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
        OnLine(std::move(line));
    });
}

void Connection::OnLine(std::string aLine)
{
    if (mKind == Kind::Unknown) {
        const std::vector<std::string> words = rflinkwire::Words(aLine);
        if (!words.empty() && words[0] == rflinkwire::kHello) {
            mKind = Kind::Chip;
            OnHello(words);
            return;
        }
        mKind = Kind::Client;
    }
    if (mKind == Kind::Chip) {
        if (aLine.size() > rflinkwire::kMaxLine) {
            Close();
            return;
        }
        OnLinkLine(rflinkwire::Words(aLine));
        return;
    }
    if (mDiscarding) {
        mDiscarding = false;
        ReadLine();
        return;
    }
    RunMessage(aLine);
}

void Connection::OnHello(const std::vector<std::string>& aWords)
{
    unsigned port = 0;
    const size_t count = mTester->ports.size();
    if (!rflinkwire::ParseHello(aWords, port) || port == 0 || port > count) {
        const std::string what =
            port == 0 ? std::string("request not understood") : std::to_string(port) + " does not exist";
        SendLink("ERR RF port " + what + " (this tester has ports 1 to " + std::to_string(count) + ")\n");
        // The answer goes out, then the connection ends with the next read.
        mKind = Kind::Chip;
        mCablePort = 0;
        ReadLine();
        return;
    }
    Tester::Impl::Port& slot = mTester->ports[port - 1];
    // A new chip on a port replaces the one cabled before (a DUT that was
    // opened again, or swapped in the fixture).
    if (auto old = slot.chip.lock()) old->Close();
    slot.chip = shared_from_this();
    slot.emission = Emission();
    mCablePort = port;
    SendLink("OK " + std::to_string(count) + "\n");
    ReadLine();
}

void Connection::OnLinkLine(const std::vector<std::string>& aWords)
{
    if (mCablePort == 0) {
        // Refused at the hello: nothing more is taken from it.
        Close();
        return;
    }
    uint64_t seq = 0, received = 0;
    Emission emission;
    if (rflinkwire::ParseEmit(aWords, seq, emission)) {
        mTester->ports[mCablePort - 1].emission = emission;
        SendLink(rflinkwire::AckLine(seq));
    } else if (rflinkwire::ParseReply(aWords, "RCVD", seq, received)) {
        auto run = mGenerators.find(seq);
        if (run != mGenerators.end()) {
            asio::post(mTester->io, std::move(run->second));
            mGenerators.erase(run);
        }
    } else {
        Close();
        return;
    }
    ReadLine();
}

void Connection::SendLink(std::string aLine)
{
    if (mClosed) return;
    if (mLinkOut.size() >= kMaxQueuedLinkLines) {
        Close();
        return;
    }
    mLinkOut.push_back(std::move(aLine));
    if (mLinkOut.size() == 1) WriteLink();
}

void Connection::WriteLink()
{
    auto self = shared_from_this();
    asio::async_write(mSocket, asio::buffer(mLinkOut.front()), [this, self](const std::error_code& aError, size_t) {
        if (mClosed) return;
        if (aError) {
            Close();
            return;
        }
        mLinkOut.pop_front();
        if (!mLinkOut.empty()) WriteLink();
    });
}

void Connection::RunMessage(const std::string& aLine)
{
    mUnits = scpi::SplitUnits(aLine);
    mNext = 0;
    mPath.clear();
    mResponses.clear();
    Next();
}

int Connection::Resolve(const scpi::Unit& aUnit)
{
    const scpi::CommandTable& table = mTester->commands;
    if (aUnit.common) return table.Find(true, aUnit.nodes, aUnit.query);
    // A header without a leading colon continues the previous command's
    // path ("ROUT:PORT 2;PORT?"); when that names nothing it is read from
    // the root ("ROUT:PORT 2;CONF:CHAN 5").
    int id = -1;
    if (!aUnit.absolute && !mPath.empty()) {
        std::vector<std::string> nodes = mPath;
        nodes.insert(nodes.end(), aUnit.nodes.begin(), aUnit.nodes.end());
        id = table.Find(false, nodes, aUnit.query);
        if (id >= 0) {
            mPath = nodes;
            mPath.pop_back();
            return id;
        }
    }
    id = table.Find(false, aUnit.nodes, aUnit.query);
    if (id >= 0) {
        mPath = aUnit.nodes;
        mPath.pop_back();
    }
    return id;
}

void Connection::Next()
{
    while (!mClosed && mNext < mUnits.size()) {
        const std::string& text = mUnits[mNext++];
        scpi::Unit unit;
        int error = scpi::kNoError;
        int id = -1;
        if (!scpi::ParseUnit(text, unit, error)) {
            mErrors.Push(error, text);
        } else if ((id = Resolve(unit)) < 0) {
            mErrors.Push(scpi::kUndefinedHeader, scpi::HeaderText(unit));
        }
        if (id < 0) {
            // A header that cannot be read ends the message.
            mNext = mUnits.size();
            break;
        }
        const CommandInfo& info = Info(id);
        if (mTester->config.dropOn.count(info.canonical) != 0) {
            Close();
            return;
        }
        if (mTester->config.failOn.count(info.canonical) != 0) {
            mErrors.Push(scpi::kExecutionError, std::string("injected fault on ") + info.canonical);
            if (unit.query) mResponses.push_back(scpi::kNotANumber);
            continue;
        }
        if (Execute(info.id, unit) == Flow::Wait) return;
    }
    if (!mClosed) Answer();
}

// Sends the answers of a message (joined by ';'), then reads the next one;
// a message without a query reads on at once.
void Connection::Answer()
{
    if (mResponses.empty()) {
        ReadLine();
        return;
    }
    std::string text;
    for (size_t i = 0; i < mResponses.size(); ++i) text += (i == 0 ? "" : ";") + mResponses[i];
    mResponses.clear();
    auto out = std::make_shared<std::string>(text + "\n");
    auto self = shared_from_this();
    asio::async_write(mSocket, asio::buffer(*out), [this, self, out](const std::error_code& aError, size_t) {
        if (mClosed) return;
        if (aError) {
            Close();
            return;
        }
        ReadLine();
    });
}

bool Connection::NoParameters(const scpi::Unit& aUnit)
{
    if (aUnit.params.empty()) return true;
    mErrors.Push(scpi::kParameterNotAllowed, scpi::HeaderText(aUnit));
    return false;
}

bool Connection::OneParameter(const scpi::Unit& aUnit)
{
    if (aUnit.params.empty()) {
        mErrors.Push(scpi::kMissingParameter, scpi::HeaderText(aUnit));
        return false;
    }
    if (aUnit.params.size() > 1) {
        mErrors.Push(scpi::kParameterNotAllowed, scpi::HeaderText(aUnit));
        return false;
    }
    return true;
}

Connection::Flow Connection::Execute(Command aId, const scpi::Unit& aUnit)
{
    const bool setting = aId == kPort || aId == kChannel || aId == kLevel || aId == kPackets;
    if (setting ? !OneParameter(aUnit) : !NoParameters(aUnit)) return Flow::Continue;
    const std::string header = scpi::HeaderText(aUnit);
    int64_t whole = 0;
    double real = 0;
    int error = scpi::kNoError;
    switch (aId) {
    case kIdn: mResponses.push_back(mTester->config.identity); break;
    case kRst:
        mPort = kDefaultPort;
        mChannel = kDefaultChannel;
        mLevelDbm = kDefaultLevelDbm;
        mPackets = kDefaultPackets;
        break;
    case kCls: mErrors.Clear(); break;
    case kOpcQuery:
    case kWai:
        if (mGeneratorRunning) {
            mWaitingForGenerator = true;
            mAnswerOpc = aId == kOpcQuery;
            return Flow::Wait;
        }
        if (aId == kOpcQuery) mResponses.push_back("1");
        break;
    case kSystemError: mResponses.push_back(mErrors.Pop()); break;
    case kPort:
        error =
            scpi::ParseInteger(aUnit.params[0], 1, static_cast<int64_t>(mTester->ports.size()), kDefaultPort, whole);
        if (error == scpi::kNoError) mPort = static_cast<unsigned>(whole);
        break;
    case kPortQuery: mResponses.push_back(std::to_string(mPort)); break;
    case kChannel:
        error = scpi::ParseInteger(aUnit.params[0], 0, rflinkwire::kChannels - 1, kDefaultChannel, whole);
        if (error == scpi::kNoError) mChannel = static_cast<unsigned>(whole);
        break;
    case kChannelQuery: mResponses.push_back(std::to_string(mChannel)); break;
    case kReadPower:
    case kReadOffset:
    case kReadDrift: return Measure(aId);
    case kLevel:
        error = scpi::ParseReal(aUnit.params[0], kMinLevelDbm, kMaxLevelDbm, kDefaultLevelDbm, real);
        if (error == scpi::kNoError) mLevelDbm = real;
        break;
    case kLevelQuery: mResponses.push_back(rflinkwire::Number(mLevelDbm)); break;
    case kPackets:
        error = scpi::ParseInteger(aUnit.params[0], 1, kMaxPackets, kDefaultPackets, whole);
        if (error == scpi::kNoError) mPackets = whole;
        break;
    case kPacketsQuery: mResponses.push_back(std::to_string(mPackets)); break;
    case kInitGenerator: return StartGenerator();
    }
    if (error != scpi::kNoError) mErrors.Push(error, header + " " + aUnit.params[0]);
    return Flow::Continue;
}

Connection::Flow Connection::Measure(Command aId)
{
    if (mTester->config.measureMs == 0) {
        mResponses.push_back(Measurement(aId));
        return Flow::Continue;
    }
    // The measurement takes its time; what is on air at its end counts.
    auto self = shared_from_this();
    mTimer.expires_after(std::chrono::milliseconds(mTester->config.measureMs));
    mTimer.async_wait([this, self, aId](const std::error_code& aError) {
        if (aError || mClosed) return;
        mResponses.push_back(Measurement(aId));
        Next();
    });
    return Flow::Wait;
}

std::string Connection::Measurement(Command aId)
{
    Tester::Impl::Port& port = mTester->ports[mPort - 1];
    const Emission& e = port.emission;
    const std::string where = " at port " + std::to_string(mPort);
    if (e.mode == Mode::Off) {
        mErrors.Push(scpi::kExecutionError, "nothing transmitting" + where);
        return scpi::kNotANumber;
    }
    const double offset = e.frequencyHz - rflinkwire::ChannelHz(mChannel);
    if (std::fabs(offset) >= kCaptureHz) {
        mErrors.Push(scpi::kExecutionError, "no signal on channel " + std::to_string(mChannel) + " (" +
                                                std::to_string(2402 + 2 * mChannel) + " MHz)" + where);
        return scpi::kNotANumber;
    }
    switch (aId) {
    case kReadPower: return scpi::Fixed(e.powerDbm + kPowerNoiseDb * port.noise.Gaussian(), 2);
    case kReadOffset: return scpi::Fixed(offset + kFrequencyNoiseHz * port.noise.Gaussian(), 1);
    default:
        if (e.mode != Mode::Burst) {
            mErrors.Push(scpi::kExecutionError, "no burst" + where + " (a carrier has no drift)");
            return scpi::kNotANumber;
        }
        return scpi::Fixed(e.driftHz + kDriftNoiseHz * port.noise.Gaussian(), 1);
    }
}

Connection::Flow Connection::StartGenerator()
{
    if (mGeneratorRunning) {
        mErrors.Push(scpi::kInitIgnored, "the generator is still running");
        return Flow::Continue;
    }
    mGeneratorRunning = true;
    // The run is over when the chip has counted it (or there is no chip)
    // and, with a packet time, when the last packet is out.
    auto parts = std::make_shared<int>(2);
    auto self = shared_from_this();
    auto partDone = [this, self, parts] {
        if (--*parts == 0) GeneratorDone();
    };

    rflinkwire::GeneratorRun run;
    run.seq = mTester->nextGeneratorSeq++;
    run.channel = mChannel;
    run.levelDbm = mLevelDbm;
    run.count = static_cast<uint32_t>(mPackets);
    if (auto chip = mTester->ports[mPort - 1].chip.lock()) {
        chip->SendGenerator(run, partDone);
    } else {
        asio::post(mTester->io, partDone);
    }

    const uint64_t airUs = static_cast<uint64_t>(mTester->config.packetUs) * run.count;
    if (airUs == 0) {
        asio::post(mTester->io, partDone);
    } else {
        auto timer = std::make_shared<asio::steady_timer>(mTester->io, std::chrono::microseconds(airUs));
        timer->async_wait([timer, partDone](const std::error_code&) { partDone(); });
    }
    return Flow::Continue;
}

void Connection::GeneratorDone()
{
    mGeneratorRunning = false;
    if (!mWaitingForGenerator || mClosed) return;
    mWaitingForGenerator = false;
    if (mAnswerOpc) mResponses.push_back("1");
    Next();
}

}  // namespace

void Tester::Impl::Accept()
{
    auto keep = self.lock();
    acceptor.async_accept([this, keep](const std::error_code& aError, tcp::socket aSocket) {
        if (stopped) return;
        if (!aError) {
            if (connections.size() >= kMaxConnections) {
                std::error_code ignored;
                aSocket.close(ignored);
            } else {
                auto connection = std::make_shared<Connection>(keep, std::move(aSocket));
                connections.insert(connection);
                connection->Start();
            }
        }
        Accept();
    });
}

Tester::Tester(asio::io_context& aIo, const TesterConfig& aConfig) : mImpl(new Impl(aIo, aConfig))
{
    mImpl->self = mImpl;
}

Tester::~Tester()
{
    Stop();
}

bool Tester::Listen(const std::string& aHost, uint16_t aPort, std::string& aError)
{
    std::error_code ec;
    const asio::ip::address address = asio::ip::make_address(aHost, ec);
    if (ec) {
        aError = "\"" + aHost + "\" is not an IP address";
        return false;
    }
    const tcp::endpoint endpoint(address, aPort);
    tcp::acceptor& acceptor = mImpl->acceptor;
    acceptor.open(endpoint.protocol(), ec);
#if !defined(_WIN32)
    // A restarted tester takes its port back at once. (On Windows the same
    // option would let two testers share a port, and it is not needed there.)
    if (!ec) acceptor.set_option(tcp::acceptor::reuse_address(true), ec);
#endif
    if (!ec) acceptor.bind(endpoint, ec);
    if (!ec) acceptor.listen(asio::socket_base::max_listen_connections, ec);
    if (ec) {
        aError = "cannot listen on " + aHost + ":" + std::to_string(aPort) + " (" + ec.message() + ")";
        std::error_code ignored;
        acceptor.close(ignored);
        return false;
    }
    mImpl->Accept();
    return true;
}

uint16_t Tester::port() const
{
    std::error_code ec;
    const tcp::endpoint endpoint = mImpl->acceptor.local_endpoint(ec);
    return ec ? 0 : endpoint.port();
}

void Tester::Stop()
{
    Impl& d = *mImpl;
    if (d.stopped) return;
    d.stopped = true;
    std::error_code ignored;
    d.acceptor.close(ignored);
    const auto connections = d.connections;
    for (const auto& connection : connections) connection->Close();
}

bool ParseAddress(const std::string& aText, std::string& aHost, uint16_t& aPort)
{
    const size_t colon = aText.rfind(':');
    if (colon == std::string::npos || colon == 0) return false;
    std::string host = aText.substr(0, colon);
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
    uint64_t port = 0;
    if (host.empty() || !rflinkwire::ParseCount(aText.substr(colon + 1), 0xFFFF, port)) return false;
    aHost = host;
    aPort = static_cast<uint16_t>(port);
    return true;
}

}  // namespace rftester
