// PC/SC connection helpers shared by the deliverables.
#include "internal.h"

vorn_rv card_connect(SCARDCONTEXT ctx, const char* reader, SCARDHANDLE* handle) {
  if (reader == nullptr || handle == nullptr) return CARDERR_BAD_ARG;
  DWORD protocol = 0;
#ifdef _WIN32
  LONG rv = SCardConnectA(ctx, reader, SCARD_SHARE_SHARED, SCARD_PROTOCOL_T0, handle, &protocol);
#else
  LONG rv = SCardConnect(ctx, reader, SCARD_SHARE_SHARED, SCARD_PROTOCOL_T0, handle, &protocol);
#endif
  return static_cast<vorn_rv>(rv);
}

vorn_rv card_begin(SCARDHANDLE handle) {
  LONG rv = SCardBeginTransaction(handle);
  if (static_cast<vorn_rv>(rv) == static_cast<vorn_rv>(SCARD_W_RESET_CARD)) {
    DWORD protocol = 0;
    rv = SCardReconnect(handle, SCARD_SHARE_SHARED, SCARD_PROTOCOL_T0, SCARD_LEAVE_CARD, &protocol);
    if (rv != SCARD_S_SUCCESS) return static_cast<vorn_rv>(rv);
    rv = SCardBeginTransaction(handle);
  }
  return static_cast<vorn_rv>(rv);
}

vorn_rv card_end(SCARDHANDLE handle) {
  return static_cast<vorn_rv>(SCardEndTransaction(handle, SCARD_LEAVE_CARD));
}

vorn_rv card_read_atr(SCARDHANDLE handle, std::uint8_t* atr, DWORD* len) {
  if (atr == nullptr || len == nullptr) return CARDERR_BAD_ARG;
  DWORD state = 0, protocol = 0;
  std::uint8_t buf[64];
  DWORD blen = sizeof buf;
#ifdef _WIN32
  LONG rv = SCardStatusA(handle, nullptr, nullptr, &state, &protocol, buf, &blen);
#else
  LONG rv = SCardStatus(handle, nullptr, nullptr, &state, &protocol, buf, &blen);
#endif
  if (rv != SCARD_S_SUCCESS) return static_cast<vorn_rv>(rv);
  if (*len < blen) {
    *len = blen;
    return CARDERR_BUFFER_TOO_SMALL;
  }
  for (DWORD i = 0; i < blen; ++i) atr[i] = buf[i];
  *len = blen;
  return VORN_OK;
}
