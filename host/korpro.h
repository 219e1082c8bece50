// The host runtime library KORPRO: the logging function and the ten Kor5
// functions the driver imports by name. Nothing else of the host is used.
#pragma once

#include <cstdint>

#if defined(__GNUC__)
#define KORPRO_PRINTF_FORMAT __attribute__((format(printf, 2, 3)))
#else
#define KORPRO_PRINTF_FORMAT
#endif

// The simulated runtime exports these; the driver only imports them.
#if defined(_WIN32) && defined(KORPRO_BUILDING)
#define KORPRO_API __declspec(dllexport)
#elif defined(_WIN32)
#define KORPRO_API __declspec(dllimport)
#elif defined(KORPRO_BUILDING)
#define KORPRO_API __attribute__((visibility("default")))
#else
#define KORPRO_API
#endif

extern "C" {

KORPRO_API int32_t err(int32_t level, const char* format, ...) KORPRO_PRINTF_FORMAT;

KORPRO_API uint32_t Kor5GetGateId(uint32_t zero, const char* name, uint16_t* gateId);
KORPRO_API uint32_t Kor5MkClient(const char* name, uint32_t one, uint32_t zero, uint8_t* clientId);
KORPRO_API uint32_t Kor5RqGateMsg(uint8_t clientId, uint32_t count, const uint32_t* gateIds, uint32_t five);
KORPRO_API uint32_t Kor5WaitMsg(uint8_t clientId, void* message /* 28 bytes */, uint32_t timeout);
KORPRO_API uint32_t Kor5RmClient(uint8_t clientId);
KORPRO_API uint32_t Kor5PutGateVal(uint32_t zero, uint32_t gateId, uint32_t one, double value, uint32_t zero2,
                                   uint32_t zero3);
KORPRO_API uint32_t Kor5StartAlert(uint32_t zero, const char* source, const char* text, uint16_t severity,
                                   uint32_t flags, uint16_t zone, uint32_t zero2, uint32_t attributes,
                                   uint32_t zero3, uint32_t zero4, uint32_t one, uint32_t ffff,
                                   uint32_t* alertId);
KORPRO_API uint32_t Kor5VfiOpen(uint32_t zero, uint32_t zero2, uint32_t one, uint32_t zero3, const void* filter,
                                uint32_t* handle);
KORPRO_API uint32_t Kor5VfiRead(uint32_t handle, uint32_t* count, void* records);
KORPRO_API uint32_t Kor5VfiClose(uint32_t handle);

}  // extern "C"

// Log levels the driver uses.
constexpr int32_t kLogRetry = 8;
constexpr int32_t kLogError = 32;
constexpr int32_t kLogInfo = 64;
