// Checks the value ranges of test parameters and reports violations in the
// handle's last-error record.
#ifndef NVT_PTEST_PARAMVALIDATOR_H
#define NVT_PTEST_PARAMVALIDATOR_H

class CLastError;

class CParamValidator {
public:
    explicit CParamValidator(CLastError& aLastError) : mLastError(aLastError) {}

private:
    CLastError& mLastError;
};

#endif
