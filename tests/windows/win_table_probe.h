// Exports of win_table_probe.dll (see win_table_probe.cpp).
#pragma once
#include <windows.h>
#include <winscard.h>

#include <cstdint>

#include "cardlayer.h"

#ifdef VORN_TABLE_PROBE_BUILD
#define VORN_PROBE_API extern "C" __declspec(dllexport)
#else
#define VORN_PROBE_API extern "C" __declspec(dllimport)
#endif

VORN_PROBE_API vorn_rv probe_open(const char* image);
VORN_PROBE_API vorn_rv probe_read_slot(unsigned index, CardSlot* out);
VORN_PROBE_API void probe_attach(SCARDHANDLE handle, std::uint32_t reader_key);
VORN_PROBE_API void probe_detach(SCARDHANDLE handle, std::uint32_t reader_key);
VORN_PROBE_API vorn_rv probe_open_channel(std::uint32_t reader_key, SCARDHANDLE handle, std::uint8_t app);
VORN_PROBE_API std::uint8_t probe_channel_state(std::uint32_t reader_key, SCARDHANDLE handle);
VORN_PROBE_API std::uint8_t probe_channel_app(std::uint32_t reader_key, SCARDHANDLE handle);
VORN_PROBE_API int probe_session_key(std::uint32_t reader_key, SCARDHANDLE handle, std::uint8_t* out16);
VORN_PROBE_API vorn_rv probe_get_data(std::uint32_t reader_key, SCARDHANDLE handle, std::uint8_t p1,
                                      std::uint8_t* buf, DWORD* len);
