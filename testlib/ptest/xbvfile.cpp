#include "ptest/xbvfile.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>

namespace {

// Nesting deeper than this is not a firmware file; refusing it keeps the
// recursive parse and the tree's destruction within a small stack.
constexpr uint32_t kMaxDepth = 64;
// Budget of the top-level chunk sequence: a file never needs more bytes.
constexpr uint64_t kTopBudget = 0x80000000ull;
// Largest body of an info item or an unknown chunk.
constexpr uint32_t kMaxWordChunkBytes = 65536;
constexpr size_t kFirstReadSize = 1024;

char Lower(char aChar)
{
    return (aChar >= 'A' && aChar <= 'Z') ? static_cast<char>(aChar - 'A' + 'a') : aChar;
}

void CopyTag(char (&aOut)[5], const char* aTag)
{
    for (int i = 0; i < 4; ++i) aOut[i] = aTag != nullptr ? aTag[i] : ' ';
    aOut[4] = '\0';
}

void PutU16(std::vector<uint8_t>& aOut, uint16_t aValue)
{
    aOut.push_back(static_cast<uint8_t>(aValue & 0xFF));
    aOut.push_back(static_cast<uint8_t>(aValue >> 8));
}

void PutU32(std::vector<uint8_t>& aOut, uint32_t aValue)
{
    PutU16(aOut, static_cast<uint16_t>(aValue & 0xFFFF));
    PutU16(aOut, static_cast<uint16_t>(aValue >> 16));
}

const char* const kInfoIds[] = {"IBIN", "IBIS", "ICMT", "ICOP", "ICRO"};

}  // namespace

int32_t XbvKindOf(const char* aId)
{
    if (XbvTagEquals(aId, "XBV1")) return kXbvRoot;
    if (XbvTagEquals(aId, "VERF")) return kXbvVerf;
    if (XbvTagEquals(aId, "LIST")) return kXbvList;
    if (XbvTagEquals(aId, "FWDL")) return kXbvFwdl;
    if (XbvTagEquals(aId, "SLTP")) return kXbvSltp;
    if (XbvTagEquals(aId, "VMEQ")) return kXbvVmeq;
    for (const char* info : kInfoIds)
        if (XbvTagEquals(aId, info)) return kXbvInfo;
    return kXbvOther;
}

bool XbvTagEquals(const char* aTag, const char* aOther)
{
    for (int i = 0; i < 4; ++i)
        if (Lower(aTag[i]) != Lower(aOther[i])) return false;
    return true;
}

// --- Chunks -------------------------------------------------------------

XbvChunk::XbvChunk(const char* aId)
{
    CopyTag(mId, aId);
}

XbvChunk::~XbvChunk()
{
    // Unlink the sibling chain first and delete it one node at a time, so a
    // list of many thousands of chunks does not recurse once per node.
    std::unique_ptr<XbvChunk> next = std::move(mNext);
    while (next) {
        std::unique_ptr<XbvChunk> after = std::move(next->mNext);
        next.reset();
        next = std::move(after);
    }
}

uint32_t XbvChunk::WriteBody(std::vector<uint8_t>*) const
{
    return 0;
}

uint32_t XbvChunkVerf::WriteBody(std::vector<uint8_t>* aOut) const
{
    if (aOut != nullptr) PutU16(*aOut, mVersion);
    return 2;
}

XbvChunkList::XbvChunkList(const char* aId, const char* aType) : XbvChunk(aId)
{
    CopyTag(mType, aType);
}

uint32_t XbvChunkList::WriteBody(std::vector<uint8_t>* aOut) const
{
    if (aOut != nullptr) aOut->insert(aOut->end(), mType, mType + 4);
    return 4;
}

uint32_t XbvChunkSltp::WriteBody(std::vector<uint8_t>* aOut) const
{
    if (aOut != nullptr) PutU32(*aOut, mValue);
    return 4;
}

uint32_t XbvChunkVmeq::WriteBody(std::vector<uint8_t>* aOut) const
{
    if (aOut != nullptr) {
        PutU32(*aOut, mValue);
        PutU16(*aOut, mFirst);
        PutU16(*aOut, mSecond);
    }
    return 8;
}

int32_t XbvChunkGeneral::Kind() const
{
    return XbvKindOf(Id()) == kXbvInfo ? kXbvInfo : kXbvOther;
}

uint32_t XbvChunkGeneral::WriteBody(std::vector<uint8_t>* aOut) const
{
    if (aOut != nullptr)
        for (uint16_t w : mWords) PutU16(*aOut, w);
    return WordCount() * 2;
}

uint32_t XbvChunkFwdl::WriteBody(std::vector<uint8_t>* aOut) const
{
    if (aOut != nullptr) PutU32(*aOut, mAddress);
    return 4 + XbvChunkGeneral::WriteBody(aOut);
}

// --- Parsing ------------------------------------------------------------

// A read position over a byte range; every read checks the bytes left.
struct XbvFile::Cursor {
    const uint8_t* data;
    size_t size;
    size_t pos;

    size_t Left() const { return size - pos; }
    bool Tag(char (&aOut)[5])
    {
        if (Left() < 4) return false;
        for (int i = 0; i < 4; ++i) aOut[i] = static_cast<char>(data[pos + i]);
        aOut[4] = '\0';
        pos += 4;
        return true;
    }
    bool U16(uint16_t& aValue)
    {
        if (Left() < 2) return false;
        aValue = static_cast<uint16_t>(data[pos] | (data[pos + 1] << 8));
        pos += 2;
        return true;
    }
    bool U32(uint32_t& aValue)
    {
        uint16_t lo = 0, hi = 0;
        if (Left() < 4) return false;
        U16(lo);
        U16(hi);
        aValue = static_cast<uint32_t>(lo) | (static_cast<uint32_t>(hi) << 16);
        return true;
    }
    // Reads the rest of the range as words; false when the count is odd or
    // memory runs out (aOutOfMemory set).
    bool Words(std::vector<uint16_t>& aWords, bool& aOutOfMemory)
    {
        if (Left() % 2 != 0) return false;
        try {
            aWords.resize(Left() / 2);
        } catch (const std::bad_alloc&) {
            aOutOfMemory = true;
            return false;
        }
        for (uint16_t& w : aWords) U16(w);
        return true;
    }
};

XbvFile::XbvFile(const char* aPath)
{
    mMessage[0] = '\0';
    std::FILE* file = aPath != nullptr ? std::fopen(aPath, "rb") : nullptr;
    if (file == nullptr) {
        mError = kCannotOpen;
        SetMessage(aPath);
        return;
    }
    std::vector<uint8_t> buffer;
    size_t used = 0;
    size_t capacity = kFirstReadSize;
    for (;;) {
        try {
            buffer.resize(capacity);
        } catch (const std::bad_alloc&) {
            mError = kOutOfMemory;
            break;
        }
        size_t got = std::fread(buffer.data() + used, 1, capacity - used, file);
        used += got;
        if (used < capacity) break;  // end of file (or a read error)
        if (capacity >= kTopBudget) break;  // nothing beyond this can be part of the file
        capacity *= 2;
    }
    // A path that opens but cannot be read (a directory) could not be
    // opened as a file: it is not a corrupt one.
    if (mError == kNoError && std::ferror(file) != 0) mError = kCannotOpen;
    std::fclose(file);
    if (mError == kNoError) Parse(buffer.data(), used);
    std::vector<uint8_t>().swap(buffer);
    if (mError != kNoError) SetMessage(aPath);
}

XbvFile::XbvFile(const uint8_t* aData, size_t aSize, const char* aName)
{
    mMessage[0] = '\0';
    Parse(aSize != 0 ? aData : nullptr, aData != nullptr ? aSize : 0);
    if (mError != kNoError) SetMessage(aName);
}

XbvFile::~XbvFile() = default;

void XbvFile::Parse(const uint8_t* aData, size_t aSize)
{
    Cursor cursor{aData, aSize, 0};
    std::unique_ptr<XbvChunk> head;
    if (!ParseSequence(cursor, kTopBudget, 0, head)) {
        if (mError == kNoError) mError = kCorrupt;
        return;
    }
    // A chunk sequence without an "XBV1" chunk ran out of bytes above, so a
    // successful top-level parse always ends with one.
    mChunks = std::move(head);
    FindStructure();
}

bool XbvFile::ParseSequence(Cursor& aCursor, uint64_t aBudget, uint32_t aDepth,
                            std::unique_ptr<XbvChunk>& aHead)
{
    aHead.reset();
    XbvChunk* tail = nullptr;
    auto fail = [&]() {
        if (mError == kNoError) mError = kCorrupt;
        aHead.reset();
        return false;
    };
    if (aDepth > kMaxDepth) return fail();
    while (aBudget > 0) {
        char id[5];
        uint32_t size = 0;
        if (!aCursor.Tag(id) || !aCursor.U32(size)) return fail();
        if (static_cast<uint64_t>(size) + 8 > aBudget) return fail();
        aBudget -= static_cast<uint64_t>(size) + 8;
        // The body must be in the buffer; its reader sees exactly the body,
        // and the next chunk starts right after it.
        if (size > aCursor.Left()) return fail();
        Cursor body{aCursor.data + aCursor.pos, size, 0};
        aCursor.pos += size;
        std::unique_ptr<XbvChunk> node = MakeNode(id, body, aDepth);
        if (XbvKindOf(id) == kXbvRoot) aBudget = 0;  // nothing after "XBV1" is read
        if (mError != kNoError) return fail();
        if (!node) {
            // A broken chunk that the budget allowed as the last one is
            // dropped and the sequence ends with the chunks before it, as
            // the format allows; but a chunk the download needs makes the
            // file corrupt, so no firmware ever loads with a part missing.
            if (aBudget == 0 && !NeededForDownload(id, body)) break;
            return fail();
        }
        XbvChunk* raw = node.get();
        if (tail == nullptr)
            aHead = std::move(node);
        else
            tail->SetNext(std::move(node));
        tail = raw;
    }
    return true;
}

bool XbvFile::NeededForDownload(const char* aId, const Cursor& aBody)
{
    switch (XbvKindOf(aId)) {
    case kXbvRoot:
    case kXbvFwdl:
    case kXbvSltp:
        return true;
    case kXbvList:
        // The firmware list; a list whose type cannot be read may be it.
        return aBody.size < 4 || std::memcmp(aBody.data, "FW  ", 4) == 0;
    default:
        return false;  // info items, version, unknown chunks
    }
}

std::unique_ptr<XbvChunk> XbvFile::MakeNode(const char* aId, Cursor& aBody, uint32_t aDepth)
{
    bool outOfMemory = false;
    std::unique_ptr<XbvChunk> node;
    switch (XbvKindOf(aId)) {
    case kXbvRoot: {
        std::unique_ptr<XbvChunk> children;
        if (!ParseSequence(aBody, aBody.size, aDepth + 1, children)) return nullptr;
        node.reset(new (std::nothrow) XbvChunk(aId));
        if (node) node->SetFirstChild(std::move(children));
        break;
    }
    case kXbvVerf: {
        uint16_t version = 0;
        if (!aBody.U16(version)) return nullptr;
        if (version > 255) {
            mError = kVersionTooNew;
            return nullptr;
        }
        node.reset(new (std::nothrow) XbvChunkVerf(aId, version));
        break;
    }
    case kXbvList: {
        char type[5];
        if (!aBody.Tag(type)) return nullptr;
        Cursor inner{aBody.data + aBody.pos, aBody.Left(), 0};
        std::unique_ptr<XbvChunk> children;
        if (!ParseSequence(inner, inner.size, aDepth + 1, children)) return nullptr;
        node.reset(new (std::nothrow) XbvChunkList(aId, type));
        if (node) node->SetFirstChild(std::move(children));
        break;
    }
    case kXbvFwdl: {
        uint32_t address = 0;
        if (aBody.size < 6 || aBody.size % 2 != 0 || !aBody.U32(address)) return nullptr;
        std::vector<uint16_t> words;
        if (!aBody.Words(words, outOfMemory)) {
            if (outOfMemory) mError = kOutOfMemory;
            return nullptr;
        }
        node.reset(new (std::nothrow) XbvChunkFwdl(aId, address, std::move(words)));
        break;
    }
    case kXbvSltp: {
        uint32_t value = 0;
        if (!aBody.U32(value)) return nullptr;
        node.reset(new (std::nothrow) XbvChunkSltp(aId, value));
        break;
    }
    case kXbvVmeq: {
        uint32_t value = 0;
        uint16_t first = 0, second = 0;
        if (!aBody.U32(value) || !aBody.U16(first) || !aBody.U16(second)) return nullptr;
        node.reset(new (std::nothrow) XbvChunkVmeq(aId, value, first, second));
        break;
    }
    default: {  // info items and unknown ids: words
        if (aBody.size > kMaxWordChunkBytes) return nullptr;
        std::vector<uint16_t> words;
        if (!aBody.Words(words, outOfMemory)) {
            if (outOfMemory) mError = kOutOfMemory;
            return nullptr;
        }
        node.reset(new (std::nothrow) XbvChunkGeneral(aId, std::move(words)));
        break;
    }
    }
    if (!node && mError == kNoError) mError = kOutOfMemory;  // the node itself was not allocated
    return node;
}

void XbvFile::FindStructure()
{
    const XbvChunk* root = nullptr;
    for (const XbvChunk* c = mChunks.get(); c != nullptr; c = c->Next())
        if (c->Kind() == kXbvRoot) {
            root = c;
            break;
        }
    if (root == nullptr) return;
    auto isNamed = [](const XbvChunk* aChunk, const char* aTag) {
        if (aChunk->IdIs(aTag)) return true;
        auto list = dynamic_cast<const XbvChunkList*>(aChunk);
        return list != nullptr && list->TypeIs(aTag);
    };
    for (const XbvChunk* c = root->FirstChild(); c != nullptr; c = c->Next())
        if (isNamed(c, "FW  ")) {
            mFirmware = c;
            break;
        }
    if (mFirmware == nullptr) return;
    for (const XbvChunk* c = mFirmware->FirstChild(); c != nullptr; c = c->Next()) {
        if (mInfo == nullptr && isNamed(c, "INFO")) mInfo = c;
        if (c->Kind() == kXbvFwdl) mBlocks.push_back(static_cast<const XbvChunkFwdl*>(c));
    }
}

void XbvFile::SetMessage(const char* aPath)
{
    std::string path = aPath != nullptr ? aPath : "";
    std::string text;
    switch (mError) {
    case kNoError: text = ""; break;
    case kOutOfMemory: text = "Out of memory"; break;
    case kCannotOpen: text = "Couldn't open " + path; break;
    case kCorrupt: text = path + " corrupt"; break;
    case kVersionTooNew: text = path + " uses a version later than I know about"; break;
    default: text = "Unknown error"; break;
    }
    size_t n = text.size() < sizeof(mMessage) - 1 ? text.size() : sizeof(mMessage) - 1;
    std::memcpy(mMessage, text.data(), n);
    mMessage[n] = '\0';
}

// --- Queries ------------------------------------------------------------

uint32_t XbvFile::GetSltp() const
{
    if (mFirmware == nullptr) return 0;
    for (const XbvChunk* c = mFirmware->FirstChild(); c != nullptr; c = c->Next())
        if (c->Kind() == kXbvSltp) return static_cast<const XbvChunkSltp*>(c)->Value();
    return 0;
}

const XbvChunkFwdl* XbvFile::NextFirmwareBlock(const XbvChunkFwdl* aAfter) const
{
    if (aAfter == nullptr) {
        mNextBlockHint = 0;
        return mBlocks.empty() ? nullptr : mBlocks.front();
    }
    // Walks in file order are the common case: try the block after the one
    // returned last before searching, so a walk over n blocks costs O(n)
    // even for a hostile file with a huge number of tiny blocks.
    if (mNextBlockHint < mBlocks.size() && mBlocks[mNextBlockHint] == aAfter) {
        ++mNextBlockHint;
        return mNextBlockHint < mBlocks.size() ? mBlocks[mNextBlockHint] : nullptr;
    }
    for (size_t i = 0; i + 1 < mBlocks.size(); ++i) {
        if (mBlocks[i] == aAfter) {
            mNextBlockHint = i + 1;
            return mBlocks[i + 1];
        }
    }
    return nullptr;
}

bool XbvFile::GetInfo(const char* aName, char* aBuffer, uint32_t aLength) const
{
    if (aName == nullptr || aBuffer == nullptr || aLength == 0 || mInfo == nullptr) return false;
    if (std::strlen(aName) != 4 || XbvKindOf(aName) != kXbvInfo) return false;
    // Depth-first search of the info subtree with an explicit stack.
    // The stack pops from the back, so children are pushed in reverse.
    std::vector<const XbvChunk*> pending;
    for (const XbvChunk* c = mInfo->FirstChild(); c != nullptr; c = c->Next()) pending.push_back(c);
    std::reverse(pending.begin(), pending.end());
    while (!pending.empty()) {
        const XbvChunk* c = pending.back();
        pending.pop_back();
        auto item = dynamic_cast<const XbvChunkGeneral*>(c);
        if (item != nullptr && item->Kind() == kXbvInfo && item->IdIs(aName) && item->WordCount() > 0) {
            uint32_t n = item->WordCount() < aLength - 1 ? item->WordCount() : aLength - 1;
            for (uint32_t i = 0; i < n; ++i) aBuffer[i] = static_cast<char>(item->Words()[i] & 0xFF);
            aBuffer[n] = '\0';
            return true;
        }
        size_t mark = pending.size();
        for (const XbvChunk* k = c->FirstChild(); k != nullptr; k = k->Next()) pending.push_back(k);
        std::reverse(pending.begin() + static_cast<std::ptrdiff_t>(mark), pending.end());
    }
    return false;
}

bool XbvFile::ReadGP(uint32_t aSpace, uint32_t aByteAddress, uint16_t aCount, uint16_t* aWords)
{
    if (aWords == nullptr) return aCount == 0;
    for (uint16_t i = 0; i < aCount; ++i) aWords[i] = 0xFFFF;
    const int64_t start = aByteAddress / 2;
    for (const XbvChunkFwdl* block : mBlocks) {
        if (block->Space() != aSpace) continue;
        const int64_t base = block->ByteAddress() / 2;
        const int64_t count = block->WordCount();
        // Result index of block word i is base - start + i; copy the overlap.
        int64_t first = start > base ? start - base : 0;
        int64_t last = start + aCount - base;  // one past the last block word wanted
        if (last > count) last = count;
        for (int64_t i = first; i < last; ++i) aWords[base - start + i] = block->Words()[i];
    }
    return true;
}
