// Interface of the Quorlink transport library as NivoraTest binds it.
//
// A stream is an unsigned 32-bit handle to one device under test. Memory is
// addressed with a GenericPointer (memory space, byte address); chip word
// addresses become byte addresses by doubling. Every result of 0 means
// success unless an operation says otherwise.
#ifndef QUORLINK_H
#define QUORLINK_H

#include <cstdint>

#if defined(_WIN32)
#  if defined(QUORLINK_BUILD)
#    define QLK_API __declspec(dllexport)
#  else
#    define QLK_API __declspec(dllimport)
#  endif
#else
#  define QLK_API __attribute__((visibility("default")))
#endif

struct GenericPointer {
    uint32_t space;    // memory space
    uint32_t address;  // byte address within the space
};

// Chip description of an open stream.
class QLK_API CXapHelper {
public:
    uint16_t firstId = 0;     // first identification word
    uint16_t secondId = 0;    // second identification word
    uint8_t identified = 0;   // nonzero: the transport recognised the chip
    int32_t chipIndex = 0;    // row of the chip table
};

// The transport value given to nvtOpen: a transport string such as "sim" or
// "sim:chip=29,nvm=/tmp/dut". On 32-bit Windows it is a 32-bit value.
typedef const char* QlkTransport;

extern "C" {

// Opens a stream to the transport named by aTransport. 0 = open.
QLK_API int32_t qlk_stream_open(uint32_t* aStream, QlkTransport aTransport);
QLK_API void qlk_stream_close(uint32_t aStream);

// Text of the last failure of the calling process. aReserved must be 0.
QLK_API int32_t qlk_get_last_error(int32_t aReserved, const char** aText);

// Lists the available transports. aBuffer receives the transport names, each
// terminated by a NUL, the list ended by one more NUL, but only when the whole
// list fits in aBufferSize bytes; nothing is written otherwise. *aCount (when
// not null) receives the number of transports and *aNeeded (when not null)
// the buffer size in bytes the list needs. Returns 0 when the list was
// written, 1 when the buffer is null or too small, 2 for a null aBuffer with
// a nonzero size.
QLK_API int32_t qlk_enumerate_strings(char* aBuffer, uintptr_t aBufferSize,
                                      uintptr_t* aCount, uintptr_t* aNeeded);

}  // extern "C"

// Chip description of an open stream; a stream that is not open gives a
// description with chip index 0 and no identification.
QLK_API const CXapHelper& qlk_stream_xap_helper(uint32_t aStream);

extern "C" {

QLK_API int32_t qlk_stream_setvar(uint32_t aStream, const char* aName, const char* aValue);
QLK_API int32_t qlk_stream_xap_reset_and_stop(uint32_t aStream);
QLK_API int32_t qlk_stream_xap_go(uint32_t aStream);

// Reads one word of memory space 4 at a word address, verified. 0 = read.
QLK_API int32_t qlk_stream_read_verify(uint32_t aStream, uint16_t aWordAddress, uint16_t* aWord);

// The readgp/writegp operations return 0 on success and 1 on failure.
QLK_API int32_t qlk_stream_readgp(uint32_t aStream, GenericPointer aWhere, uint16_t* aWord);
QLK_API int32_t qlk_stream_readgp_verify(uint32_t aStream, GenericPointer aWhere, uint16_t* aWord);
QLK_API int32_t qlk_stream_readgp_block_verify(uint32_t aStream, GenericPointer aWhere,
                                               uint32_t aCount, uint16_t* aWords);
QLK_API int32_t qlk_stream_writegp_verify(uint32_t aStream, GenericPointer aWhere, uint16_t aWord);
QLK_API int32_t qlk_stream_writegp_block_verify(uint32_t aStream, GenericPointer aWhere,
                                                uint32_t aCount, const uint16_t* aWords);

}  // extern "C"

#endif
