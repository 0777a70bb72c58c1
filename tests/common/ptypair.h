// A pseudo-terminal made by a test: the serial-port code opens the slave
// path, the test plays the far end on the master side.
#ifndef TESTS_RADIO_PTYPAIR_H
#define TESTS_RADIO_PTYPAIR_H

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>

class PtyPair {
public:
    PtyPair()
    {
        mMaster = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (mMaster < 0) return;
        char name[128];
        if (grantpt(mMaster) != 0 || unlockpt(mMaster) != 0 || ptsname_r(mMaster, name, sizeof(name)) != 0)
            return;
        mSlaveName = name;
    }
    ~PtyPair()
    {
        if (mMaster >= 0) close(mMaster);
    }
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    bool ok() const { return !mSlaveName.empty(); }
    const std::string& slaveName() const { return mSlaveName; }

    void Send(const std::string& aBytes)
    {
        ssize_t n = write(mMaster, aBytes.data(), aBytes.size());
        (void)n;
    }

    // What arrived on the master side within aTimeoutMs.
    std::string Receive(int aTimeoutMs = 500, size_t aWant = 4)
    {
        std::string got;
        while (got.size() < aWant) {
            pollfd p{mMaster, POLLIN, 0};
            if (poll(&p, 1, aTimeoutMs) <= 0 || (p.revents & POLLIN) == 0) break;
            char buffer[64];
            ssize_t n = read(mMaster, buffer, sizeof(buffer));
            if (n <= 0) break;
            got.append(buffer, static_cast<size_t>(n));
        }
        return got;
    }

private:
    int mMaster = -1;
    std::string mSlaveName;
};

// Number of open descriptors of this process.
inline int OpenDescriptors()
{
    int count = 0;
    DIR* dir = opendir("/proc/self/fd");
    if (dir == nullptr) return -1;
    while (dirent* entry = readdir(dir)) {
        if (entry->d_name[0] != '.') ++count;
    }
    closedir(dir);
    return count - 1;  // the directory stream itself
}

#endif
