// The request a worker started as a program of its own reads (the Windows
// station's workers): it carries the slot, the run's record and the plan's
// path, and a plan that changed after the run started is refused.
#include "plan.h"
#include "sha256.h"
#include "support.h"
#include "worker.h"

#include <gtest/gtest.h>

using namespace stationtest;

namespace {

struct Request {
    station::Plan plan;
    station::RunRequest run;
};

void MakeRequest(const TempDir& aDir, Request& aRequest)
{
    const std::string path = WritePlan(aDir, "plan");
    std::string error;
    ASSERT_TRUE(station::LoadPlan(path, BinDir(), aRequest.plan, error)) << error;
    aRequest.run.plan = &aRequest.plan;
    aRequest.run.duts = {"sim:name=one", "sim:name=two,latency=5"};
    aRequest.run.storeUrl = aDir / "store.db";
    aRequest.run.binDir = BinDir();
    aRequest.run.repair = true;
    aRequest.run.base.runId = "run-1";
    aRequest.run.base.station = "line 3";
    aRequest.run.base.operatorName = "\xE5\xBC\xA0";  // UTF-8 passes through
    aRequest.run.base.planSha256 = station::Sha256OfFile(path);
}

}  // namespace

TEST(WorkerRequest, CarriesTheSlotAndTheRunAndLoadsThePlanAgain)
{
    TempDir dir;
    Request r;
    MakeRequest(dir, r);
    station::WorkerRequest parsed;
    std::string error;
    ASSERT_TRUE(station::ParseWorkerRequest(station::WorkerRequestLine(r.run, 2), parsed, error)) << error;
    EXPECT_EQ(parsed.slot, 2);
    ASSERT_EQ(parsed.request.duts.size(), 2u);
    EXPECT_EQ(parsed.request.duts[1], "sim:name=two,latency=5");
    EXPECT_EQ(parsed.request.storeUrl, r.run.storeUrl);
    EXPECT_EQ(parsed.request.binDir, r.run.binDir);
    EXPECT_TRUE(parsed.request.repair);
    EXPECT_EQ(parsed.request.base.runId, "run-1");
    EXPECT_EQ(parsed.request.base.station, "line 3");
    EXPECT_EQ(parsed.request.base.operatorName, "\xE5\xBC\xA0");
    ASSERT_EQ(parsed.request.plan, &parsed.plan);
    EXPECT_EQ(parsed.plan.path, r.plan.path);
    EXPECT_EQ(parsed.plan.steps.size(), r.plan.steps.size());
}

TEST(WorkerRequest, AChangedPlanAndBrokenRequestsAreRefusedWithAText)
{
    TempDir dir;
    Request r;
    MakeRequest(dir, r);
    const std::string line = station::WorkerRequestLine(r.run, 1);
    WriteText(r.plan.path, ReadText(r.plan.path) + "\n# edited during the run\n");
    station::WorkerRequest parsed;
    std::string error;
    EXPECT_FALSE(station::ParseWorkerRequest(line, parsed, error));
    EXPECT_NE(error.find("changed after the run started"), std::string::npos) << error;

    for (const std::string& bad : {std::string("not json"), std::string("[1]"), std::string("{\"slot\":1}"),
                                  line.substr(0, line.size() / 2)}) {
        station::WorkerRequest p;
        EXPECT_FALSE(station::ParseWorkerRequest(bad, p, error)) << bad;
        EXPECT_EQ(error.rfind("bad worker request (", 0), 0u) << error;
    }
    std::string zero = line;
    zero.replace(zero.find("\"slot\":1"), 8, "\"slot\":0");
    station::WorkerRequest p;
    EXPECT_FALSE(station::ParseWorkerRequest(zero, p, error));
    EXPECT_NE(error.find("slot 0 out of range"), std::string::npos) << error;
}
