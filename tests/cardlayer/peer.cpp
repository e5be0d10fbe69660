// Second process of the shared-channel test: attaches to the card in the
// reader named on the command line, reports what the shared table shows,
// sends one command under whatever channel is open, and detaches.
//   cardlayer_peer IMAGE READER
// Output lines: "attach ref=N state=S app=A key=HEX", "getdata rv=HEX len=N",
// "detach ref=N state=S".
#include <cstdio>
#include <string>

#include "cardlayer.h"

namespace {

std::string hex(const std::uint8_t* p, std::size_t n) {
  std::string s;
  char b[3];
  for (std::size_t i = 0; i < n; ++i) {
    std::snprintf(b, sizeof b, "%02X", p[i]);
    s += b;
  }
  return s;
}

bool find_slot(std::uint32_t key, CardSlot* out) {
  for (unsigned i = 0; i < CARD_TABLE_SLOTS; ++i) {
    if (card_table_read(i, out) == VORN_OK && out->readerKey == key) return true;
  }
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: cardlayer_peer IMAGE READER\n");
    return 2;
  }
  if (card_table_open(argv[1]) != VORN_OK) return 3;
  SCARDCONTEXT ctx = 0;
  if (SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &ctx) != SCARD_S_SUCCESS) return 4;
  SCARDHANDLE h = 0;
  if (card_connect(ctx, argv[2], &h) != VORN_OK || card_begin(h) != VORN_OK) return 5;
  const std::uint32_t key = 0;
  card_attach(h, key);
  CardSlot s{};
  if (!find_slot(key, &s)) return 6;
  std::printf("attach ref=%u state=%u app=%u key=%s\n", s.refCount, s.channelState, s.channelApp,
              hex(s.sessionKey, 16).c_str());
  std::uint8_t map[40];
  DWORD len = sizeof map;
  vorn_rv rv = card_get_data(key, h, CARD_DATA_OBJ_MAP, map, &len);
  std::printf("getdata rv=%08X len=%lu\n", rv, static_cast<unsigned long>(len));
  card_detach(h, key);
  if (!find_slot(key, &s)) return 7;
  std::printf("detach ref=%u state=%u\n", s.refCount, s.channelState);
  std::fflush(stdout);
  card_end(h);
  SCardDisconnect(h, SCARD_LEAVE_CARD);
  SCardReleaseContext(ctx);
  card_table_close();
  return 0;
}
