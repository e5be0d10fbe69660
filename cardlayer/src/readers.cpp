// The deliverables' view of the PC/SC readers: the reader list, the
// presence probe and the card's serial.
#include <cstring>

#include "cardlayer.h"

namespace {

// The reader reports a card in it (Windows: a state value, pcsc-lite: bits).
bool state_has_card(DWORD state) {
#if defined(_WIN32)
  return state >= SCARD_PRESENT;
#else
  return (state & SCARD_PRESENT) != 0;
#endif
}

}  // namespace

vorn_rv card_list_readers(SCARDCONTEXT ctx, std::vector<std::string>* names) {
  if (names == nullptr) return CARDERR_BAD_ARG;
  names->clear();
  DWORD size = 0;
#ifdef _WIN32
  LONG rv = SCardListReadersA(ctx, nullptr, nullptr, &size);
#else
  LONG rv = SCardListReaders(ctx, nullptr, nullptr, &size);
#endif
  if (rv != SCARD_S_SUCCESS) return static_cast<vorn_rv>(rv);
  // Room beyond the size asked for, so that the list always ends in zeros.
  std::vector<char> buf(size + 10, '\0');
#ifdef _WIN32
  rv = SCardListReadersA(ctx, nullptr, buf.data(), &size);
#else
  rv = SCardListReaders(ctx, nullptr, buf.data(), &size);
#endif
  if (rv != SCARD_S_SUCCESS) return static_cast<vorn_rv>(rv);
  for (const char* p = buf.data(); *p != '\0' && names->size() < CARD_MAX_READERS; p += std::strlen(p) + 1)
    names->emplace_back(p);
  return VORN_OK;
}

vorn_rv card_status(SCARDHANDLE handle, CardProbe* out) {
  if (out == nullptr) return CARDERR_BAD_ARG;
  out->present = false;
  out->vorn = false;
  std::uint8_t atr[64];
  DWORD atr_len = sizeof atr;
  DWORD state = 0;
  DWORD proto = 0;
  DWORD name_len = 0;
#ifdef _WIN32
  LONG rv = SCardStatusA(handle, nullptr, &name_len, &state, &proto, atr, &atr_len);
#else
  LONG rv = SCardStatus(handle, nullptr, &name_len, &state, &proto, atr, &atr_len);
#endif
  if (rv != SCARD_S_SUCCESS) return static_cast<vorn_rv>(rv);
  out->present = state_has_card(state);
  out->vorn = card_atr_has_vorn(atr, atr_len);
  return VORN_OK;
}

vorn_rv card_probe(SCARDCONTEXT ctx, const char* reader, CardProbe* out) {
  if (out == nullptr) return CARDERR_BAD_ARG;
  *out = CardProbe{};
  SCARDHANDLE h = 0;
  vorn_rv rv = card_connect(ctx, reader, &h);
  if (rv != VORN_OK) return rv;
  out->connected = true;
  rv = card_status(h, out);
  SCardDisconnect(h, SCARD_LEAVE_CARD);
  return rv;
}

void card_serial_hex(const std::uint8_t* id16, std::uint8_t* out16) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  for (int i = 0; i < 8; ++i) {
    out16[2 * i] = static_cast<std::uint8_t>(kHex[id16[8 + i] >> 4]);
    out16[2 * i + 1] = static_cast<std::uint8_t>(kHex[id16[8 + i] & 0x0F]);
  }
}

vorn_rv card_read_serial(std::uint32_t reader_key, SCARDHANDLE handle, std::uint8_t* out16) {
  if (out16 == nullptr) return CARDERR_BAD_ARG;
  std::uint8_t id[16];
  DWORD len = sizeof id;
  const vorn_rv rv = card_get_data(reader_key, handle, CARD_DATA_ID, id, &len);
  if (rv != VORN_OK) return rv;
  // Only a whole identification item says which card this is.
  if (len != sizeof id) return CARDERR_BAD_LENGTH;
  card_serial_hex(id, out16);
  return VORN_OK;
}
