// Internal records of the card simulator, shared by its source files.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "cardsim/cardsim.h"
#include "simcrypto.h"

namespace vorn::cardsim {

// Card object types as they travel in tag 83 of 84 48.
inline constexpr std::uint8_t kTypePublicKey = 0x01;
inline constexpr std::uint8_t kTypePrivateKey = 0x02;
inline constexpr std::uint8_t kTypeSecretKey = 0x03;
inline constexpr std::uint8_t kTypeCertificate = 0x04;
inline constexpr std::uint8_t kTypeData = 0x05;
inline constexpr std::uint8_t kTypeAttributeList = 0x06;

struct Object {
  std::uint8_t map = 0;   // the object-map byte (kind byte); 0: number free
  std::uint8_t type = 0;  // kType* (never kTypeAttributeList)
  std::uint8_t alg = 0;   // algorithm byte of a key
  bool has_attrs = false;
  Bytes attrs;            // the attribute list as the host wrote it
  Bytes value;
  bool used() const { return map != 0; }
  bool is_private() const { return (map & 0x08) != 0; }  // access class bit 3
};

struct PinRef {
  std::array<std::uint8_t, 8> block{};
  std::uint8_t tries = 3;
  bool has_puk = false;
  std::array<std::uint8_t, 8> puk{};
  std::uint8_t puk_tries = 3;
};

inline constexpr std::uint8_t kMaxTries = 3;
// Card memory for files, values and attribute lists.
inline constexpr std::size_t kCardMemory = 96 * 1024;
inline constexpr std::size_t kMaxObjectBytes = 16 * 1024;

struct Persistent {
  Bytes atr;
  crypto::Key16 sign_key{};
  crypto::Key16 ciph_key{};
  std::array<std::uint8_t, 16> ident{};
  std::uint8_t pin_state = 4;
  PinRef user;  // reference 0x11 with its PUK
  PinRef so;    // reference 0x0A
  Bytes pin_cache_file;   // 0FCF
  Bytes token_info_file;  // 5032
  std::array<std::array<Object, kObjectsPerApp>, 2> objects{};
};

// Attribute list helpers: big-endian directory, values concatenated.
struct Attr {
  std::uint16_t type;
  Bytes value;
};
Bytes attr_list(const std::vector<Attr>& attrs);
Bytes u32le(std::uint32_t v);

// Card file text <-> persistent state.
std::string state_to_text(const Persistent& p);
bool state_from_text(std::string_view text, Persistent* p, std::string* err);
// Fills a fresh personalisation; false with *err on bad options.
bool perso_fill(const PersoOptions& o, Persistent* p, std::string* err);
// Adds the demo objects (key pair + certificate in each application).
bool perso_demo(Persistent* p, std::string* err);
// Adds a certificate object (map 11) with the certificate attribute set to
// application app (1 or 2) in its first free number.
bool perso_add_certificate(Persistent* p, int app, std::span<const std::uint8_t> der, std::string* err);

}  // namespace vorn::cardsim
