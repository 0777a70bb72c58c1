// Targets: the places an NVM image is read from or written to.
//
// CTarget is a store of 16-bit words at 16-bit word addresses. The range
// operations are built on the one-word operations that each kind of target
// provides. CFileTarget keeps the whole image in memory as an XVImage and
// loads or saves it as a memory-image text file; CXUVTarget and CIMGTarget
// are its two flavours (word or byte addresses in the file). Device targets
// derive from CTarget in their own files.
//
// A target serves one operation: the engine creates it, calls Initialise,
// reads or writes words, calls Flush when it wrote, and deletes it.
#ifndef NVT_CSCACHE_TARGETS_H
#define NVT_CSCACHE_TARGETS_H

#include "cscache/csstatus.h"
#include "cscache/xvimage.h"

#include <cstdint>
#include <string>
#include <vector>

class CTarget {
public:
    CTarget();
    virtual ~CTarget();

    // Replaces aDataOut with the words from aBegin up to (not including)
    // aEnd, stopping at Size(). A failed one-word read ends the range with
    // that read's status (its word is still appended); fewer words than
    // asked gives kCsNothingThere, reported with the words that were
    // missing.
    virtual int32_t Read(uint16_t aBegin, uint16_t aEnd, std::vector<uint16_t>& aDataOut);
    virtual int32_t Read(uint16_t aAddress, uint16_t& aWord) = 0;
    // Writes the words one by one from aStartAddress, wrapping at 65536, and
    // returns the status of the last word (0 for no words). At most 65535
    // words are written.
    virtual int32_t Write(uint16_t aStartAddress, const std::vector<uint16_t>& aDataIn);
    virtual int32_t Write(uint16_t aAddress, uint16_t aWord) = 0;
    // Makes the writes permanent; the base target has nothing to do.
    virtual int32_t Flush();
    // Number of words the target holds.
    virtual int32_t Size() = 0;
    // Whether Flush puts every write since the target was initialised in
    // place at once, so that no order of writes can leave a mix (a file
    // replaced by rename). A device takes its writes one by one; the engine
    // then orders them (see CNvImageCache::Save).
    virtual bool FlushReplacesAtOnce() const { return false; }
    // How failure texts name the target ("the file 'a.xuv'").
    virtual std::string Describe() const { return "the target"; }

    CTarget(const CTarget&) = delete;
    CTarget& operator=(const CTarget&) = delete;
};

class CFileTarget : public CTarget {
public:
    ~CFileTarget() override;

    using CTarget::Read;
    using CTarget::Write;
    // The image word at aAddress. An address beyond the image gives 0xFFFF
    // and kCsNothingThere.
    int32_t Read(uint16_t aAddress, uint16_t& aWord) override;
    // Sets the image word, growing the image when needed; always 0.
    int32_t Write(uint16_t aAddress, uint16_t aWord) override;
    // Writes the image to the file (base 0, six address digits) through a
    // temporary file renamed over the old one, so a failure keeps the old
    // file. 14 when the file cannot be written, 1 when the system may have
    // redirected it.
    int32_t Flush() override;
    int32_t Size() override;
    bool FlushReplacesAtOnce() const override { return true; }
    std::string Describe() const override { return "the file '" + mFilename + "'"; }

    // For reading: loads the whole file (the first address in it becomes
    // word 0); 13 when it cannot be read or holds no data line. For writing:
    // checks that the file can be written (14 if not) without changing an
    // existing file; the image stays empty.
    virtual int32_t Initialise(const std::string& aFilename, bool aInitialiseForWrite);

    const XVImage& GetImage() const { return mImage; }
    const std::string& Filename() const { return mFilename; }

protected:
    // aByteAddressed: the file's addresses are byte addresses.
    explicit CFileTarget(bool aByteAddressed);

    std::string mFilename;
    XVImage mImage;

private:
    bool mByteAddressed;
};

// Files whose addresses are word addresses (".XUV").
class CXUVTarget : public CFileTarget {
public:
    CXUVTarget() : CFileTarget(false) {}
    // CFileTarget::Initialise with word addresses, traced under its own name.
    int32_t Initialise(const std::string& aFilename, bool aInitialiseForWrite) override;
};

// Files whose addresses are byte addresses, twice the word address (".IMG").
class CIMGTarget : public CFileTarget {
public:
    CIMGTarget() : CFileTarget(true) {}
    // CFileTarget::Initialise with byte addresses, traced under its own name.
    int32_t Initialise(const std::string& aFilename, bool aInitialiseForWrite) override;
};

#endif
