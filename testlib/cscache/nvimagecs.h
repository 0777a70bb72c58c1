// The configuration-store (CS) block of an NVM image: block 0 of the image
// header, a run of 16-bit words whose word 0 is the CS version. Keys lie at
// word offsets that the key database gives for that version.
//
// Loading from and saving to KEYR key files is added next to the KEYR
// object (two further overloads of Load and Save).
#ifndef NVT_CSCACHE_NVIMAGECS_H
#define NVT_CSCACHE_NVIMAGECS_H

#include "cscache/csstatus.h"

#include <cstdint>
#include <vector>

class CTarget;
class CNvImageHdr;
class CKeyrObject;
class CNvImageCache;

class CNvImageCs {
public:
    CNvImageCs();
    virtual ~CNvImageCs();

    // Reads block 0 as the header describes it; clears the modified flag
    // whatever the outcome.
    virtual int32_t Load(CTarget& aTarget, CNvImageHdr& aHeader);
    // Rebuilds the data from a KEYR file through the engine's key writes;
    // clears the modified flag whatever the outcome (keyrfile.cpp).
    virtual int32_t Load(CKeyrObject& aKeyrObject, CNvImageCache& aCache);
    // Writes all data words at block 0's location; clears the modified flag
    // when the write succeeded.
    virtual int32_t Save(CTarget& aTarget, CNvImageHdr& aHeader);
    // Turns the data into the KEYR file's entries and writes the file;
    // clears the modified flag on 0 or 1 (keyrfile.cpp).
    virtual int32_t Save(CKeyrObject& aKeyrObject);
    // Word 0; kCsNothingThere when nothing is cached.
    virtual int32_t GetVersion(uint16_t& aVersion);
    // aLength words from aOffset. A zero length gives kCsInvalidLength; a
    // range that does not lie inside the data gives kCsNothingThere. On
    // failure aDestArray is empty.
    virtual int32_t ReadData(uint16_t aOffset, uint16_t aLength, std::vector<uint16_t>& aDestArray);
    // All data words.
    virtual int32_t ReadData(std::vector<uint16_t>& aDestData);
    // Grows the data with zero words to hold aOffset + n words, then stores
    // the words; changed words set the modified flag. An empty source gives
    // kCsInvalidLength (after growing).
    virtual int32_t WriteData(uint16_t aOffset, const std::vector<uint16_t>& aSrcArray);
    virtual bool IsDataModified();
    virtual bool IsPopulated();
    // Empties the data; the modified flag stays.
    virtual void Clear();
    // Takes the data and the modified flag of aOther.
    void CopyFrom(const CNvImageCs& aOther);

    CNvImageCs(const CNvImageCs&) = delete;
    CNvImageCs& operator=(const CNvImageCs&) = delete;

protected:
    std::vector<uint16_t> mData;
    bool mModified = false;
};

#endif
