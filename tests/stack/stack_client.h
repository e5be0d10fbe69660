// A small PC/SC test client for the real-stack tests: it reaches the
// simulator through libpcsclite -> pcscd -> vpcd, and computes everything
// the secure channel needs on its own with OpenSSL's libcrypto, so the
// simulator is checked against an independent host side.
//
// Every test program runs under tools/with-vornenv, which provides
// PCSCLITE_CSOCK_NAME, VORNENV_DIR, VORNENV_TOOL, VORNENV_READER_<i>,
// VORN_CARDSIM and VORN_DEMO_CARD_<i>.
#pragma once

#include <winscard.h>

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace stacktest {

using Bytes = std::vector<std::uint8_t>;
using Key16 = std::array<std::uint8_t, 16>;

// "00 A4 04 04" or "00A40404" -> bytes; aborts the test on bad hex.
Bytes H(std::string_view hex);
std::string Hex(std::span<const std::uint8_t> b);
Bytes Cat(std::initializer_list<std::span<const std::uint8_t>> parts);
std::uint16_t Sw(const Bytes& rsp);          // last two bytes
Bytes Data(const Bytes& rsp);                // all but the last two bytes

// Environment of the stack the test runs in.
std::string Env(const char* name);           // "" when unset
std::string ReaderName(int index);           // VORNENV_READER_<index>
std::string StackFile(const std::string& name);  // $VORNENV_DIR/name
std::string TracePath(int reader);
// Runs a program, returns its exit status; output is appended to *out.
int Run(const std::vector<std::string>& argv, std::string* out = nullptr);
int Vornenv(const std::vector<std::string>& args, std::string* out = nullptr);
int Cardsim(const std::vector<std::string>& args, std::string* out = nullptr);
std::vector<std::string> ReadLines(const std::string& path);

// One connected card (shared mode, T=0) in one reader.
class Card {
 public:
  explicit Card(int reader_index);
  explicit Card(const std::string& reader_name);
  ~Card();
  Card(const Card&) = delete;
  Card& operator=(const Card&) = delete;

  bool ok() const { return handle_ != 0; }
  LONG connect_rv() const { return connect_rv_; }
  // Response bytes including the status word; empty on a PC/SC error,
  // which is kept in last_rv().
  Bytes Transmit(const Bytes& apdu);
  LONG last_rv() const { return last_rv_; }
  Bytes Atr();
  // SCardReconnect with SCARD_RESET_CARD (vpcd passes the reset on) or
  // SCARD_UNPOWER_CARD.
  LONG Reconnect(DWORD init);
  // 00 C0 00 00 le in plain.
  Bytes GetResponse(std::uint8_t le);
  // Sends the command; on 61 xx fetches the answer with plain GET RESPONSE
  // (chaining while 61 yy comes back). Returns data + final SW.
  Bytes TransmitChained(const Bytes& apdu);

 private:
  void Connect(const std::string& name);
  SCARDCONTEXT ctx_ = 0;
  SCARDHANDLE handle_ = 0;
  LONG connect_rv_ = 0;
  LONG last_rv_ = 0;
};

// Host side of the secure channel, computed with libcrypto.
Bytes Sha1(std::span<const std::uint8_t> data);
Bytes Des3Ecb(const Key16& key, std::span<const std::uint8_t> block8, bool encrypt);
Bytes AesEcb(const Key16& key, std::span<const std::uint8_t> data, bool encrypt);
// 4-byte MAC: pad with q bytes of q (1..8), two-key 3DES CBC, zero IV,
// first four bytes of the last block.
Bytes SmMac(const Key16& session, std::span<const std::uint8_t> data);

struct Channel {
  Key16 session{};
  // Plain APDU -> wrapped APDU.
  Bytes Wrap(const Bytes& plain) const;
  // Wrapped response (data, MAC, SW) -> plain data + SW; nullopt when the MAC
  // does not verify or the response is malformed.
  std::optional<Bytes> Unwrap(const Bytes& wire) const;
};

// The record of one mutual authentication, for the tests to assert on.
struct OpenResult {
  Bytes rsp_4c;        // answer to 80 4C (61 xx expected)
  Bytes get_response;  // GET RESPONSE data + SW
  Bytes cmd_4e;        // the 80 4E command sent
  Bytes rsp_4e;        // its answer
  Bytes rc;            // card random, deciphered
  bool card_cryptogram_ok = false;
  Channel channel;
};

Key16 ChannelKey(int app);  // 1 AP-SIGN, 2 AP-CIPH, from this build's personalisation
Bytes Aid(int app);

// Selects the application by AID in plain (00 A4 04 04), expects 61 xx.
Bytes SelectApp(Card& card, int app);
// 80 4C with rh, GET RESPONSE, 80 4E with rh2. Does not select.
OpenResult OpenChannel(Card& card, const Key16& key, const Bytes& rh, const Bytes& rh2);
// Select + open with random challenges; ADD_FAILUREs and returns nullopt when
// anything is off.
std::optional<Channel> SelectAndOpen(Card& card, int app);

// Sends one command under the channel the way the host's transport does:
// wraps it; for B0, B2, 84 and CA expects 61 xx and fetches and unwraps the
// answer with 04 C0; for other commands a 61 xx answer is fetched with 04 C0
// and unwrapped too (with chaining). Returns plain data + SW; a response
// whose MAC does not verify yields {0xFF, 0xFF, 0x6F, 0x4D} ("MAC" marker)
// and sets *mac_failed.
Bytes SmSend(Card& card, const Channel& ch, const Bytes& plain, bool* mac_failed = nullptr);

// One line of a simulator trace ("N APDU cmd=.. rsp=.. [pcmd=..] [prsp=..]").
struct TraceEntry {
  std::string kind;  // "APDU" or "POWER"
  std::string cmd, rsp, pcmd, prsp, rest;
};
std::vector<TraceEntry> ReadTrace(int reader);
// Entries appended to the trace since `mark` (= the size of an earlier read).
std::vector<TraceEntry> TraceSince(int reader, std::size_t mark);

// A freshly personalised card file in the stack directory (extra options are
// passed to `vorn-cardsim personalise`), inserted into `reader` after the
// reader is emptied. Returns the file path; ADD_FAILUREs on error.
std::string InsertFreshCard(int reader, const std::string& name, const std::vector<std::string>& options = {});
// Writes the simulator fault file of a reader (read before each command).
void SetFaults(int reader, const std::string& text);

// PIN block: ASCII padded with FF to 8 bytes.
Bytes PinBlock(std::string_view pin);

// Attribute list helpers (big-endian directory form).
struct Attr {
  std::uint16_t type;
  Bytes value;
};
Bytes EncodeAttrs(const std::vector<Attr>& attrs);
std::optional<std::vector<Attr>> DecodeAttrs(const Bytes& list);

}  // namespace stacktest
