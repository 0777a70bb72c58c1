#include "ptest/session.h"

#include "ptest/connection.h"
#include "nivoratest.h"
#include "ptest/paramvalidator.h"

CPtSession::CPtSession(CLastError& aLastError)
    : mLastError(aLastError), mValidator(new CParamValidator(aLastError))
{
}

CPtSession::~CPtSession()
{
    Close();
}

int32_t CPtSession::Open(QlkTransport aTransport)
{
    if (int32_t rc = OpenStream(aTransport, mLastError, mStream)) return rc;
    mOpen = true;
    return NVT_OK;
}

void CPtSession::Close()
{
    if (mOpen) CloseStream(mStream);
    mOpen = false;
}

const CXapHelper& CPtSession::Chip() const
{
    return mOpen ? StreamChip(mStream) : SupportedChip();
}

CMailbox CPtSession::Mailbox()
{
    return CMailbox(mStream, mLastError, mTables.commandLocation, mTables.aliveTick, mTables.parameters,
                    mTables.results);
}

int32_t CPtSession::Query(uint16_t aCommand, uint32_t aCount, uint16_t* aResults)
{
    CMailbox mailbox = Mailbox();
    if (int32_t rc = mailbox.SendCommand(aCommand)) return rc;
    return mailbox.ReadResults(aCount, aResults);
}
