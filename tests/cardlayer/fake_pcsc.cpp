// In-process PC/SC stand-in: these definitions take the place of the
// libpcsclite ones in the fast test program.
#include <winscard.h>

#include <cstring>
#include <map>
#include <mutex>

#include "fake_pcsc.h"

namespace {

struct Plugged {
  vorn::cardsim::Card* card = nullptr;
  std::vector<std::string> lines;
  std::size_t transmits = 0;
  bool removed = false;
};

std::mutex g_mu;
std::map<SCARDHANDLE, Plugged> g_cards;
std::map<SCARDHANDLE, SCARDHANDLE> g_alias;  // second handle -> first

SCARDHANDLE resolve(SCARDHANDLE h) {
  auto it = g_alias.find(h);
  return it == g_alias.end() ? h : it->second;
}

}  // namespace

namespace fake {

void plug(SCARDHANDLE handle, vorn::cardsim::Card* card) {
  std::lock_guard<std::mutex> g(g_mu);
  Plugged& p = g_cards[handle];
  p = Plugged{};
  p.card = card;
  card->set_trace([handle](std::string_view line) {
    // Called under g_mu from SCardTransmit.
    g_cards[handle].lines.emplace_back(line);
  });
}

void alias(SCARDHANDLE second, SCARDHANDLE first) {
  std::lock_guard<std::mutex> g(g_mu);
  g_alias[second] = first;
}

void unplug(SCARDHANDLE handle) {
  std::lock_guard<std::mutex> g(g_mu);
  for (auto it = g_alias.begin(); it != g_alias.end();) {
    it = it->second == handle || it->first == handle ? g_alias.erase(it) : std::next(it);
  }
  auto it = g_cards.find(handle);
  if (it == g_cards.end()) return;
  it->second.card->set_trace(nullptr);
  g_cards.erase(it);
}

std::vector<clt::TraceApdu> trace(SCARDHANDLE handle) {
  std::lock_guard<std::mutex> g(g_mu);
  return clt::parse_trace(g_cards[handle].lines);
}

void clear(SCARDHANDLE handle) {
  std::lock_guard<std::mutex> g(g_mu);
  g_cards[handle].lines.clear();
  g_cards[handle].transmits = 0;
}

std::size_t transmits(SCARDHANDLE handle) {
  std::lock_guard<std::mutex> g(g_mu);
  return g_cards[handle].transmits;
}

}  // namespace fake

extern "C" {

LONG SCardTransmit(SCARDHANDLE handle, const SCARD_IO_REQUEST*, LPCBYTE send, DWORD send_len,
                   SCARD_IO_REQUEST*, LPBYTE recv, LPDWORD recv_len) {
  std::lock_guard<std::mutex> g(g_mu);
  auto it = g_cards.find(resolve(handle));
  if (it == g_cards.end()) return SCARD_E_INVALID_HANDLE;
  Plugged& p = it->second;
  ++p.transmits;
  if (p.removed) return SCARD_W_REMOVED_CARD;
  if (send == nullptr || recv == nullptr || recv_len == nullptr) return SCARD_E_INVALID_PARAMETER;
  vorn::cardsim::Outcome out = p.card->process(std::span<const std::uint8_t>(send, send_len));
  if (out.drop) {
    // The reader lost the card in the middle of the command.
    p.removed = true;
    return SCARD_W_REMOVED_CARD;
  }
  if (out.response.size() > *recv_len) return SCARD_E_INSUFFICIENT_BUFFER;
  std::memcpy(recv, out.response.data(), out.response.size());
  *recv_len = static_cast<DWORD>(out.response.size());
  return SCARD_S_SUCCESS;
}

LONG SCardBeginTransaction(SCARDHANDLE) { return SCARD_S_SUCCESS; }
LONG SCardEndTransaction(SCARDHANDLE, DWORD) { return SCARD_S_SUCCESS; }

}  // extern "C"
