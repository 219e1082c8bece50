// The host's records that cross the VpiMain boundary. On the 32-bit target
// they have the host's fixed offsets; a 64-bit build keeps the field order
// with native pointers and natural alignment.
#pragma once

#include <cstddef>
#include <cstdint>

struct VpiCallBlock {
    void* context;
    uint32_t operationCode;
    uint32_t driverNumber;
    uint32_t reserved;
    void* parameters;
};

struct VpiInfo {
    uint32_t typeCode;
    const char* shortName;
    const char* banner;
    uint32_t contextSize;
    uint32_t classCode;
    uint16_t defaultBaudRate;
    uint16_t defaultDataBits;
    uint16_t defaultStopBits;
    uint16_t defaultParity;
    uint32_t extraWord;
};

struct ColdStartParams {
    char portName[12];
    uint32_t portEnabled;
    uint32_t reserved;
    uint16_t baudRate;
    uint16_t dataBits;
    uint16_t stopBits;
    uint16_t parity;
};

struct GateAddress {
    const char* address;
    uint32_t word1;
    uint32_t gateType;
    uint32_t word3;
    int32_t word4;
    int32_t word5;
    int32_t word6;
    int32_t word7;
    int32_t word8;
};

struct GateWrite {
    const char* address;
    uint32_t words1to9[9];
    const void* value;
};

extern "C" {
using VpiMainFunction = int32_t (*)(VpiCallBlock*);
}

#if defined(__SIZEOF_POINTER__) && __SIZEOF_POINTER__ == 4
static_assert(offsetof(VpiCallBlock, operationCode) == 4);
static_assert(offsetof(VpiCallBlock, driverNumber) == 8);
static_assert(offsetof(VpiCallBlock, parameters) == 16);
static_assert(sizeof(VpiCallBlock) == 20);

static_assert(offsetof(VpiInfo, shortName) == 4);
static_assert(offsetof(VpiInfo, banner) == 8);
static_assert(offsetof(VpiInfo, contextSize) == 12);
static_assert(offsetof(VpiInfo, classCode) == 16);
static_assert(offsetof(VpiInfo, defaultBaudRate) == 20);
static_assert(offsetof(VpiInfo, defaultDataBits) == 22);
static_assert(offsetof(VpiInfo, defaultStopBits) == 24);
static_assert(offsetof(VpiInfo, defaultParity) == 26);
static_assert(offsetof(VpiInfo, extraWord) == 28);
static_assert(sizeof(VpiInfo) == 32);

static_assert(offsetof(GateAddress, gateType) == 8);
static_assert(offsetof(GateAddress, word4) == 16);
static_assert(offsetof(GateAddress, word7) == 28);
static_assert(offsetof(GateAddress, word8) == 32);

static_assert(offsetof(GateWrite, value) == 40);
#endif

static_assert(offsetof(ColdStartParams, portEnabled) == 12);
static_assert(offsetof(ColdStartParams, baudRate) == 20);
static_assert(offsetof(ColdStartParams, dataBits) == 22);
static_assert(offsetof(ColdStartParams, stopBits) == 24);
static_assert(offsetof(ColdStartParams, parity) == 26);
