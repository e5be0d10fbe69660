// The VORN card simulator: a card object that takes command APDUs and gives
// response APDUs (status word included), with its persistent state in one
// file, a trace of every command, and fault injection for tests.
//
//   auto card = vorn::cardsim::Card::personalise(opts);   // a fresh card
//   card->save("card.vcs");
//   auto again = vorn::cardsim::Card::load("card.vcs", &err);
//   again->power_on();
//   Bytes rsp = again->transmit(cmd);                        // ... 90 00
//
// Card behaviour (status words, access rules) is written down in
// docs/card.md; the program, state file, trace and fault formats in
// docs/cardsim.md.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "vorn/result.h"

namespace vorn::cardsim {

using Bytes = std::vector<std::uint8_t>;

// 3B 7F 94 00 00 80 31 80 71 90 67 "VORN" 31 2E 30 90 00
inline constexpr std::array<std::uint8_t, 20> kDefaultAtr{
    0x3B, 0x7F, 0x94, 0x00, 0x00, 0x80, 0x31, 0x80, 0x71, 0x90,
    0x67, 0x56, 0x4F, 0x52, 0x4E, 0x31, 0x2E, 0x30, 0x90, 0x00};

// Application identifiers (A0 00 00 00 63 + the application name).
inline constexpr std::array<std::uint8_t, 12> kAidSign{
    0xA0, 0x00, 0x00, 0x00, 0x63, 0x41, 0x50, 0x2D, 0x53, 0x49, 0x47, 0x4E};
inline constexpr std::array<std::uint8_t, 12> kAidCiph{
    0xA0, 0x00, 0x00, 0x00, 0x63, 0x41, 0x50, 0x2D, 0x43, 0x49, 0x50, 0x48};

inline constexpr std::uint8_t kAppSign = 1;  // AP-SIGN
inline constexpr std::uint8_t kAppCiph = 2;  // AP-CIPH
inline constexpr std::size_t kObjectsPerApp = 40;

// Everything a card gets when it is personalised.
struct PersoOptions {
  std::array<std::uint8_t, 8> serial{};  // card serial (GET DATA 01 bytes 8-15)
  bool serial_given = false;             // false: 8 random bytes
  std::string label = "VORN card";
  std::string manufacturer = "Grupo K.ROS";
  Bytes flags{0x60};                     // token-information bit string content
  std::string pin = "1234";              // user PIN, reference 0x11 (4-8 chars)
  std::string puk = "12345678";          // its unblocking code (4-8 chars)
  std::string so_pin;                    // reference 0x0A; empty: same as the PUK
  std::uint8_t pin_state = 4;            // 3: PIN still to be changed, 4: PIN set
  Bytes atr{kDefaultAtr.begin(), kDefaultAtr.end()};
  // The application keys and the PIN-cache key; default: this build's
  // personalisation (<vorn/personalisation.h>).
  std::array<std::uint8_t, 16> sign_channel_key{};
  std::array<std::uint8_t, 16> ciph_channel_key{};
  std::array<std::uint8_t, 16> pin_cache_key{};
  bool keys_given = false;
};

// Defaults of the demo card.
PersoOptions demo_defaults();

// A fault to inject (see docs/cardsim.md for the file format).
enum class FaultKind : std::uint8_t {
  kStatus,    // answer INS with a chosen status word, without executing it
  kBadMac,    // flip a MAC byte of the next enciphered answer (04 C0) of INS
  kTruncate,  // cut the response to INS to `length` bytes
  kDelay,     // wait `delay_ms` before answering INS
  kDrop,      // drop the connection after receiving INS, without answering
  kEndless,   // GET RESPONSE of INS's answer: an empty or 1-byte piece and 61 00, for ever
};

struct Fault {
  FaultKind kind = FaultKind::kStatus;
  int ins = -1;                 // -1: any instruction
  std::uint16_t sw = 0x6F00;    // kStatus
  std::uint32_t length = 0;     // kTruncate
  std::uint32_t delay_ms = 0;   // kDelay
  int piece = -1;               // kEndless: -1 an empty piece, else the one byte of each piece
  int remaining = -1;           // -1: every time; else how many more times
};

// Parses a fault file. Returns VORN_OK or CARDERR_BAD_ARG with *err set to
// "line N: reason".
vorn_rv faults_parse(std::string_view text, std::vector<Fault>* out, std::string* err);

// What the connection should do with one command.
struct Outcome {
  Bytes response;               // data + SW (may be truncated by a fault)
  std::uint32_t delay_ms = 0;   // wait before sending it
  bool drop = false;            // close the connection instead of answering
};

// Source of the card's random bytes (challenges, key generation seeds are
// OpenSSL's own). Default: the OS CSPRNG.
using RandomSource = std::function<void(std::uint8_t* out, std::size_t len)>;
// One trace line, without the newline.
using TraceSink = std::function<void(std::string_view line)>;

class Card {
 public:
  ~Card();
  Card(const Card&) = delete;
  Card& operator=(const Card&) = delete;

  // A freshly personalised card (empty applications, object 40 of AP-CIPH
  // reserved for the container map). Null with *err on bad options.
  static std::unique_ptr<Card> personalise(const PersoOptions& opts, std::string* err);
  // Personalised card plus the demo content: an RSA-2048 key pair with a
  // self-signed certificate in each application.
  static std::unique_ptr<Card> demo(const PersoOptions& opts, std::string* err);
  // Loads a card file. Null with *err when it is missing or malformed.
  static std::unique_ptr<Card> load(const std::string& path, std::string* err);
  // Parses the text of a card file (for tests and the fuzzer).
  static std::unique_ptr<Card> from_text(std::string_view text, std::string* err);

  // Writes the state atomically (temp file, fsync, rename). From then on the
  // card saves itself to `path` after every persistent change.
  vorn_rv save(const std::string& path);
  // The persistent state as text (the card file's contents).
  std::string to_text() const;
  // Puts one more certificate (DER, RSA key) on the card: a certificate
  // object in the first free number of application app (1 or 2) with the
  // attribute list a host writes for certificates. CARDERR_BAD_ARG with
  // *err when it is no such certificate or the application is full.
  vorn_rv add_certificate(int app, std::span<const std::uint8_t> der, std::string* err);

  const Bytes& atr() const;
  void power_on();
  void power_off();
  void reset();
  bool powered() const;

  // One command APDU in, the response (data + SW) out. Never throws.
  Bytes transmit(std::span<const std::uint8_t> command);
  // The same with connection-level fault outcomes (delay, drop).
  Outcome process(std::span<const std::uint8_t> command);

  void set_trace(TraceSink sink);
  void set_random(RandomSource source);
  void set_faults(std::vector<Fault> faults);

  // Read-only views for tests.
  std::uint8_t selected_app() const;     // 0 master file, 1 AP-SIGN, 2 AP-CIPH
  std::uint8_t channel_app() const;      // 0 closed, else the channel's app
  bool pin_verified(std::uint8_t ref) const;
  std::array<std::uint8_t, 40> object_map(std::uint8_t app) const;

 private:
  struct State;
  explicit Card(std::unique_ptr<State> s);
  std::unique_ptr<State> s_;
};

// Hex helpers shared by the program and the tests ("0A1B" <-> bytes).
std::string to_hex(std::span<const std::uint8_t> b);
bool from_hex(std::string_view hex, Bytes* out);

}  // namespace vorn::cardsim
