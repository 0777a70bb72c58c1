// A transport call that fails with a result other than 1 (failcode=2 of the
// simulated transport) ends every mailbox step just as a 1 does.
#include "mailboxfailures.h"
#include "simdut.h"

namespace {

class TransportResultTest : public LoadedDutTest {
protected:
    std::string TransportOptions() const override { return "failcode=2"; }
};

TEST_F(TransportResultTest, AnyNonZeroResultFailsTheMailboxStep)
{
    // Radio transmit running, then the packet count: command word write,
    // command word reads, alive tick read, answer read and result read.
    ASSERT_EQ(NVT_OK, nvtRadTxStart(handle, 0, 37, 0, 0)) << Text();
    std::vector<MailboxFailure> cases = MailboxCommandFailures();
    cases.push_back({false, 4, NVT_ERR_READ_FAILED, "Failed to read results from DUT"});
    for (const MailboxFailure& c : cases) {
        SCOPED_TRACE(c.text);
        const devsim::Counters& n = chip->counters();
        if (c.write)
            chip->FailWriteAt(n.writes + c.nth);
        else
            chip->FailReadAt(n.reads + c.nth);
        uint16_t packets = 0xEEEE;
        EXPECT_EQ(c.code, nvtRadTxGetPkts(handle, &packets));
        EXPECT_EQ(c.text, Text());
        EXPECT_EQ(0xEEEE, packets);  // nothing delivered, nothing stored
        chip->FailWriteAt(0);
        chip->FailReadAt(0);
    }
    uint16_t packets = 0;
    EXPECT_EQ(NVT_OK, nvtRadTxGetPkts(handle, &packets)) << Text();
}

}  // namespace
