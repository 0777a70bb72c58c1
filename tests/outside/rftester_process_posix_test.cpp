// The rftester program as a station bench runs it: started as its own
// process, it reports where it listens, serves a chip opened through the
// public library with the ordering a station relies on, refuses bad
// command lines, and ends on SIGTERM.
#include "rftesterfixture.h"
#include "simdut.h"

#include <gtest/gtest.h>

#include <cmath>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

extern char** environ;

namespace {

// A child process with its standard output (and error) on a pipe.
class Child {
public:
    explicit Child(std::vector<std::string> aArguments)
    {
        aArguments.insert(aArguments.begin(), NVT_RFTESTER_PROGRAM);
        int fds[2];
        if (pipe(fds) != 0) return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
        posix_spawn_file_actions_adddup2(&actions, fds[1], 2);
        posix_spawn_file_actions_addclose(&actions, fds[0]);
        std::vector<char*> argv;
        for (std::string& a : aArguments) argv.push_back(&a[0]);
        argv.push_back(nullptr);
        if (posix_spawn(&mPid, argv[0], &actions, nullptr, argv.data(), environ) != 0) mPid = -1;
        posix_spawn_file_actions_destroy(&actions);
        close(fds[1]);
        mOut = fds[0];
    }
    ~Child()
    {
        if (mPid > 0) {
            kill(mPid, SIGKILL);
            waitpid(mPid, nullptr, 0);
        }
        if (mOut >= 0) close(mOut);
    }

    // One line of output; empty after 10 s or at the end.
    std::string Line()
    {
        std::string line;
        for (;;) {
            pollfd p{mOut, POLLIN, 0};
            if (poll(&p, 1, 10000) <= 0) return line;
            char c = 0;
            if (read(mOut, &c, 1) != 1 || c == '\n') return line;
            line += c;
        }
    }

    // Sends a signal and gives the exit status (-1 when it did not end normally).
    int Wait(int aSignal = 0)
    {
        if (aSignal != 0) kill(mPid, aSignal);
        int status = 0;
        waitpid(mPid, &status, 0);
        mPid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    // The TCP port of the "listening on HOST:PORT" line.
    uint16_t ListeningPort()
    {
        const std::string line = Line();
        const std::string prefix = "rftester: listening on 127.0.0.1:";
        EXPECT_EQ(0u, line.rfind(prefix, 0)) << line;
        return static_cast<uint16_t>(std::stoi(line.substr(prefix.size())));
    }

private:
    pid_t mPid = -1;
    int mOut = -1;
};

TEST(RfTesterProgram, ReportsWhereItListensAndEndsOnSigterm)
{
    testsupport::ScratchDir scratch;
    const std::string ready = scratch.File("tester.ready");
    Child tester({"--listen", "127.0.0.1:0", "--ports", "2", "--ready-file", ready});
    const std::string line = tester.Line();
    EXPECT_EQ(0u, line.rfind("rftester: listening on 127.0.0.1:", 0)) << line;
    EXPECT_NE(std::string::npos, line.find(" with 2 RF ports")) << line;
    const std::string address = line.substr(std::string("rftester: listening on ").size(),
                                            line.find(" with") - std::string("rftester: listening on ").size());
    EXPECT_EQ(address + "\n", testsupport::ReadWholeFile(ready));
    rftest::LineClient client(static_cast<uint16_t>(std::stoi(address.substr(address.find(':') + 1))));
    EXPECT_EQ("NivoraTest,rftester,0,1.0", client.Query("*IDN?"));
    EXPECT_EQ(0, tester.Wait(SIGTERM));
}

TEST(RfTesterProgram, RefusesBadCommandLinesAndABusyAddress)
{
    EXPECT_EQ(2, Child({"--ports", "0"}).Wait());
    EXPECT_EQ(2, Child({"--listen", "nowhere"}).Wait());

    Child first({"--listen", "127.0.0.1:0"});
    const uint16_t port = first.ListeningPort();
    Child second({"--listen", "127.0.0.1:" + std::to_string(port)});
    EXPECT_EQ(0u, second.Line().rfind("rftester: cannot listen on 127.0.0.1:" + std::to_string(port) + " (", 0));
    EXPECT_EQ(1, second.Wait());
}

// What a station relies on, with the tester in a process of its own: a
// start has reached the tester when it returns; *OPC? after INIT:GEN
// answers once the chip's counter holds the packets; after a stop nothing
// is on air.
class RfTesterProcessOrdering : public SimDutTest {
protected:
    nvtclock::ScopedFakeClock clock;
};

TEST_F(RfTesterProcessOrdering, StartsStopsAndGeneratorRunsAreSeenInOrder)
{
    Child tester({"--listen", "127.0.0.1:0", "--seed", "3"});
    const uint16_t port = tester.ListeningPort();
    Open("sim:rfseed=21,sens_dbm=-92,rf=127.0.0.1:" + std::to_string(port) + "/2");
    ASSERT_EQ(NVT_OK, Load()) << Text();
    rftest::LineClient client(port);
    client.Send("ROUT:PORT 2;:CONF:CHAN 12");
    for (int round = 0; round < 20; ++round) {
        ASSERT_EQ(NVT_OK, nvtRadCwStart(handle, 12, 0));
        EXPECT_FALSE(std::isnan(client.Number("READ:FREQ:OFFS?"))) << round;
        ASSERT_EQ(NVT_OK, nvtRadTxStart(handle, 12, 37, 0, 100));
        EXPECT_FALSE(std::isnan(client.Number("READ:FREQ:DRIF?"))) << round;
        ASSERT_EQ(NVT_OK, nvtRadStop(handle));
        EXPECT_EQ("9.91E37", client.Query("READ:POW?")) << round;

        ASSERT_EQ(NVT_OK, nvtRadRxStart(handle, 12));
        EXPECT_EQ("1", client.Query("SOUR:POW -70;PACK:COUN 250;:INIT:GEN;*OPC?"));
        uint16_t packets = 0;
        ASSERT_EQ(NVT_OK, nvtRadRxGetPkts(handle, &packets)) << Text();
        EXPECT_EQ(250, packets) << round;
        ASSERT_EQ(NVT_OK, nvtRadStop(handle));
    }
    client.Send("*CLS");
    EXPECT_EQ("0,\"No error\"", client.Query("SYST:ERR?"));
}

}  // namespace
