// VpiMain is the library's one exported symbol.
#pragma once

#if defined(_WIN32)
#define TELDRV_EXPORT __declspec(dllexport)
#else
#define TELDRV_EXPORT __attribute__((visibility("default")))
#endif
