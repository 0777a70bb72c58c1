// Reader of XBV firmware containers: a tree of tagged chunks holding the
// firmware's memory blocks, the location of its lookup table and a few text
// items such as the build-id string.
//
// A file is read whole into memory and parsed into a chunk tree that keeps
// its own copies of all data. Every size and count in the file is checked
// against the bytes that are really there before it is used, so a truncated
// or hostile file is reported as corrupt and never read past its end.
#ifndef NVT_PTEST_XBVFILE_H
#define NVT_PTEST_XBVFILE_H

#include "ptest/memoryreader.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

// Chunk kinds by id.
enum XbvChunkKind : int32_t {
    kXbvOther = 0,  // any other id: words
    kXbvRoot = 1,   // "XBV1"
    kXbvVerf = 2,   // "VERF": format version
    kXbvList = 3,   // "LIST": list type and children
    kXbvFwdl = 4,   // "FWDL": firmware block
    kXbvSltp = 5,   // "SLTP": lookup-table location
    kXbvVmeq = 6,   // "VMEQ"
    kXbvInfo = 7,   // "IBIN", "IBIS", "ICMT", "ICOP", "ICRO": text items
};

// The kind a chunk id stands for (ids compare without regard to case).
int32_t XbvKindOf(const char* aId);
// Case-insensitive comparison of two four-character tags.
bool XbvTagEquals(const char* aTag, const char* aOther);

// One node of the chunk tree. Destroying a node destroys its following
// siblings and its children, without recursing along the sibling chain.
class XbvChunk {
public:
    explicit XbvChunk(const char* aId);
    virtual ~XbvChunk();
    XbvChunk(const XbvChunk&) = delete;
    XbvChunk& operator=(const XbvChunk&) = delete;

    // Appends the body to aOut when given; returns the body size in bytes.
    virtual uint32_t WriteBody(std::vector<uint8_t>* aOut) const;
    virtual int32_t Kind() const { return kXbvRoot; }

    const char* Id() const { return mId; }
    bool IdIs(const char* aTag) const { return XbvTagEquals(mId, aTag); }
    XbvChunk* FirstChild() const { return mFirstChild.get(); }
    XbvChunk* Next() const { return mNext.get(); }

    void SetFirstChild(std::unique_ptr<XbvChunk> aChild) { mFirstChild = std::move(aChild); }
    void SetNext(std::unique_ptr<XbvChunk> aNext) { mNext = std::move(aNext); }

private:
    char mId[5];
    std::unique_ptr<XbvChunk> mFirstChild;
    std::unique_ptr<XbvChunk> mNext;
};

class XbvChunkVerf : public XbvChunk {
public:
    XbvChunkVerf(const char* aId, uint16_t aVersion) : XbvChunk(aId), mVersion(aVersion) {}
    uint32_t WriteBody(std::vector<uint8_t>* aOut) const override;
    int32_t Kind() const override { return kXbvVerf; }
    uint16_t Version() const { return mVersion; }

private:
    uint16_t mVersion;
};

class XbvChunkList : public XbvChunk {
public:
    XbvChunkList(const char* aId, const char* aType);
    uint32_t WriteBody(std::vector<uint8_t>* aOut) const override;
    int32_t Kind() const override { return kXbvList; }
    const char* Type() const { return mType; }
    bool TypeIs(const char* aTag) const { return XbvTagEquals(mType, aTag); }

private:
    char mType[5];
};

class XbvChunkSltp : public XbvChunk {
public:
    XbvChunkSltp(const char* aId, uint32_t aValue) : XbvChunk(aId), mValue(aValue) {}
    uint32_t WriteBody(std::vector<uint8_t>* aOut) const override;
    int32_t Kind() const override { return kXbvSltp; }
    uint32_t Value() const { return mValue; }

private:
    uint32_t mValue;
};

class XbvChunkVmeq : public XbvChunk {
public:
    XbvChunkVmeq(const char* aId, uint32_t aValue, uint16_t aFirst, uint16_t aSecond)
        : XbvChunk(aId), mValue(aValue), mFirst(aFirst), mSecond(aSecond) {}
    uint32_t WriteBody(std::vector<uint8_t>* aOut) const override;
    int32_t Kind() const override { return kXbvVmeq; }
    uint32_t Value() const { return mValue; }
    uint16_t First() const { return mFirst; }
    uint16_t Second() const { return mSecond; }

private:
    uint32_t mValue;
    uint16_t mFirst;
    uint16_t mSecond;
};

// Words of an info item or of a chunk with an id the reader does not know.
class XbvChunkGeneral : public XbvChunk {
public:
    XbvChunkGeneral(const char* aId, std::vector<uint16_t> aWords)
        : XbvChunk(aId), mWords(std::move(aWords)) {}
    uint32_t WriteBody(std::vector<uint8_t>* aOut) const override;
    int32_t Kind() const override;
    uint32_t WordCount() const { return static_cast<uint32_t>(mWords.size()); }
    const uint16_t* Words() const { return mWords.data(); }

private:
    std::vector<uint16_t> mWords;
};

// A firmware block: the words and the packed address they belong at
// (memory space in bits 24-31, byte address in bits 0-23).
class XbvChunkFwdl : public XbvChunkGeneral {
public:
    XbvChunkFwdl(const char* aId, uint32_t aAddress, std::vector<uint16_t> aWords)
        : XbvChunkGeneral(aId, std::move(aWords)), mAddress(aAddress) {}
    uint32_t WriteBody(std::vector<uint8_t>* aOut) const override;
    int32_t Kind() const override { return kXbvFwdl; }
    uint32_t Address() const { return mAddress; }
    uint32_t Space() const { return mAddress >> 24; }
    uint32_t ByteAddress() const { return mAddress & 0xFFFFFFu; }

private:
    uint32_t mAddress;
};

class XbvFile : public IMemoryReaderGP {
public:
    enum Error : int32_t {
        kNoError = 0,
        kOutOfMemory = 1,
        kCannotOpen = 2,
        kCorrupt = 3,
        kVersionTooNew = 4,
    };

    // Reads and parses the file; check ErrorCode() afterwards.
    explicit XbvFile(const char* aPath);
    // Parses a file image already in memory; aName stands for the path in
    // the error message.
    XbvFile(const uint8_t* aData, size_t aSize, const char* aName);
    ~XbvFile() override;
    XbvFile(const XbvFile&) = delete;
    XbvFile& operator=(const XbvFile&) = delete;

    int32_t ErrorCode() const { return mError; }
    // Empty for error 0, else the formatted message (at most 255 characters).
    const char* ErrorMessage() const { return mMessage; }

    // Packed location of the lookup table, 0 when the file has none.
    uint32_t GetSltp() const;
    // The first firmware block after aAfter (the first one for null).
    const XbvChunkFwdl* NextFirmwareBlock(const XbvChunkFwdl* aAfter) const;
    // Copies info item aName ("IBIN", "IBIS", "ICMT", "ICOP" or "ICRO") as a
    // NUL-terminated string of at most aLength - 1 characters.
    bool GetInfo(const char* aName, char* aBuffer, uint32_t aLength) const;
    // Words of the firmware blocks; memory no block covers reads as 0xFFFF.
    bool ReadGP(uint32_t aSpace, uint32_t aByteAddress, uint16_t aCount, uint16_t* aWords) override;

    // The top-level chunk list (for inspection).
    const XbvChunk* Chunks() const { return mChunks.get(); }

private:
    struct Cursor;
    void Parse(const uint8_t* aData, size_t aSize);
    bool ParseSequence(Cursor& aCursor, uint64_t aBudget, uint32_t aDepth,
                       std::unique_ptr<XbvChunk>& aHead);
    std::unique_ptr<XbvChunk> MakeNode(const char* aId, Cursor& aBody, uint32_t aDepth);
    // Whether the firmware download needs a chunk of this id and body: the
    // root, firmware blocks, the start address and the firmware list.
    static bool NeededForDownload(const char* aId, const Cursor& aBody);
    void FindStructure();
    void SetMessage(const char* aPath);

    int32_t mError = kNoError;
    char mMessage[256];
    std::unique_ptr<XbvChunk> mChunks;
    // Shortcuts into the tree, filled after a successful parse.
    const XbvChunk* mFirmware = nullptr;
    const XbvChunk* mInfo = nullptr;
    std::vector<const XbvChunkFwdl*> mBlocks;
    // Position of the block NextFirmwareBlock returned last (a search hint).
    mutable size_t mNextBlockHint = 0;
};

#endif
