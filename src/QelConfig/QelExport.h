// File: QelExport.h
//
// QELCONFIG_API marks what libQelConfig exports. Everything else in the library is hidden.
#pragma once

#if defined(_WIN32)
#if defined(QELCONFIG_BUILDING)
#define QELCONFIG_API __declspec(dllexport)
#else
#define QELCONFIG_API __declspec(dllimport)
#endif
#else
#define QELCONFIG_API __attribute__((visibility("default")))
#endif
