// A DLL image that carries the card layer, as each deliverable does: every
// process that loads this file shares its card state table. The test program
// drives the table through these exports from two processes.
#include "win_table_probe.h"

#include "cardlayer.h"

extern "C" {

vorn_rv probe_open(const char* image) { return card_table_open(image); }

vorn_rv probe_read_slot(unsigned index, CardSlot* out) {
  return card_table_read(index, out);
}

void probe_attach(SCARDHANDLE handle, std::uint32_t reader_key) {
  card_attach(handle, reader_key);
}

void probe_detach(SCARDHANDLE handle, std::uint32_t reader_key) {
  card_detach(handle, reader_key);
}

vorn_rv probe_open_channel(std::uint32_t reader_key, SCARDHANDLE handle, std::uint8_t app) {
  return sm_open_app_channel(reader_key, handle, app);
}

std::uint8_t probe_channel_state(std::uint32_t reader_key, SCARDHANDLE handle) {
  return sm_state_get(reader_key, handle);
}

std::uint8_t probe_channel_app(std::uint32_t reader_key, SCARDHANDLE handle) {
  return sm_app_get(reader_key, handle);
}

int probe_session_key(std::uint32_t reader_key, SCARDHANDLE handle, std::uint8_t* out16) {
  const std::uint8_t* k = sm_key_get(reader_key, handle);
  if (k == nullptr) return 0;
  for (int i = 0; i < 16; ++i) out16[i] = k[i];
  return 1;
}

vorn_rv probe_get_data(std::uint32_t reader_key, SCARDHANDLE handle, std::uint8_t p1,
                                             std::uint8_t* buf, DWORD* len) {
  return card_get_data(reader_key, handle, p1, buf, len);
}

}  // extern "C"
