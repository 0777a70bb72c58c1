// The stub MES program on a free loopback port, for the tests of the MES
// client and of the station that serves.
#ifndef NVT_TESTS_STATION_MES_STUB_PROCESS_H
#define NVT_TESTS_STATION_MES_STUB_PROCESS_H

#include "support.h"

#include <gtest/gtest.h>
#include <httplib.h>
#include <nlohmann/json.hpp>

#include <csignal>
#include <sstream>
#include <string>
#include <vector>
#include <sys/wait.h>
#include <unistd.h>

namespace stationtest {

// The stub MES on a free loopback port, stopped with the object.
class StubProcess {
public:
    explicit StubProcess(const std::vector<std::string>& aArgs = {})
    {
        std::vector<std::string> args = {"--listen", "127.0.0.1:0", "--ready-file", mDir / "ready",
                                         "--log", mDir / "log.jsonl"};
        args.insert(args.end(), aArgs.begin(), aArgs.end());
        mPid = StartProgram(MES_STUB_PROGRAM, args, mDir / "output");
        for (int i = 0; i < 5000 && mAddress.empty(); ++i) {
            mAddress = ReadText(mDir / "ready");
            while (!mAddress.empty() && (mAddress.back() == '\n' || mAddress.back() == '\r')) mAddress.pop_back();
            if (mAddress.empty()) usleep(2000);
        }
    }
    // SIGTERM, and SIGKILL when it has not ended 5 s later: a stub that
    // hangs fails its test instead of holding the whole run.
    ~StubProcess()
    {
        if (mPid <= 0) return;
        kill(mPid, SIGTERM);
        int status = 0;
        for (int i = 0; i < 1000 && waitpid(mPid, &status, WNOHANG) == 0; ++i) usleep(5000);
        if (waitpid(mPid, &status, WNOHANG) == 0) {
            ADD_FAILURE() << "mes_stub did not end on SIGTERM";
            kill(mPid, SIGKILL);
            waitpid(mPid, &status, 0);
        }
    }
    bool ok() const { return !mAddress.empty(); }
    std::string Url(const std::string& aBase = "") const { return "http://" + mAddress + aBase; }
    // GET /results.
    nlohmann::json Results(const std::string& aToken = "") const
    {
        httplib::Client client("http://" + mAddress);
        httplib::Headers headers;
        if (!aToken.empty()) headers.emplace("Authorization", "Bearer " + aToken);
        const auto answer = client.Get("/results", headers);
        return answer && answer->status == 200 ? nlohmann::json::parse(answer->body, nullptr, false) : nlohmann::json();
    }
    // The requests it logged.
    std::vector<nlohmann::json> Log() const
    {
        std::vector<nlohmann::json> lines;
        std::istringstream in(ReadText(mDir / "log.jsonl"));
        for (std::string line; std::getline(in, line);) lines.push_back(nlohmann::json::parse(line, nullptr, false));
        return lines;
    }
    std::string LogText() const { return ReadText(mDir / "log.jsonl"); }

private:
    TempDir mDir;
    pid_t mPid = -1;
    std::string mAddress;
};

}  // namespace stationtest

#endif
