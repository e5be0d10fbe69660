// Fuzzes PKCS11_VORN through its exported entry points: the input is a
// program of calls (C_Initialize .. C_Finalize, sessions, login, find,
// get/set attribute, create/destroy, encrypt/decrypt in parts, digest, sign,
// verify, key generation, wrap/unwrap/derive, the CI_* PIN calls, card
// removal and reset) with the arguments it chooses: lengths (near
// (CK_ULONG)-1 and beyond 4 GiB included), null and short buffers,
// templates and mechanism parameters. The card is a simulated demo card in
// process; this file also stands in for the PC/SC calls of the module.
//
// Buffers: every buffer the module may read or write is really as large as
// the length passed with it (capped at kCap), except
//  - input lengths beyond kCap, passed with a small buffer only where the
//    module must refuse the length before reading (PIN and PUK lengths,
//    RSA data limits, fixed-size attributes and mechanism parameters, and
//    symmetric parts whose output cannot fit the honest output buffer), and
//  - output capacities beyond kCap, passed with kCap + kSlack bytes behind
//    them: no answer of the module can be longer than that.
// Anything the sanitizers catch is therefore the module's fault. The target
// also traps on answers no module may give: more object handles than room,
// a private object's attributes read in a public session, a command longer
// than one short APDU.
#include <winscard.h>

#include <unistd.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "cardlayer.h"
#include "cardsim/cardsim.h"
#include "mech_params.h"
#include "p11.h"
#include "vorn_p11_ext.h"

namespace {

constexpr std::size_t kCap = 64 * 1024;
constexpr std::size_t kSlack = 4096;
constexpr char kReaders[] = "Fuzz Reader 00 00\0";  // a multi-string: one name
constexpr SCARDCONTEXT kContext = 0x5C;
constexpr char kImage[] = "PKCS11_VORN";

// ---------------------------------------------------------------------------
// The card and the PC/SC stand-in.

struct Reader {
  std::unique_ptr<vorn::cardsim::Card> card;
  bool present = true;
  std::map<SCARDHANDLE, bool> handles;  // open handles; true: a reset not yet reported
  SCARDHANDLE next = 0x100;
};
Reader g_reader;

void card_reset() {
  if (g_reader.card) g_reader.card->reset();
  for (auto& h : g_reader.handles) h.second = true;
}

}  // namespace

extern "C" {

LONG SCardEstablishContext(DWORD, LPCVOID, LPCVOID, LPSCARDCONTEXT ctx) {
  if (ctx == nullptr) return SCARD_E_INVALID_PARAMETER;
  *ctx = kContext;
  return SCARD_S_SUCCESS;
}

LONG SCardReleaseContext(SCARDCONTEXT ctx) {
  return ctx == kContext ? SCARD_S_SUCCESS : SCARD_E_INVALID_HANDLE;
}

LONG SCardListReaders(SCARDCONTEXT, LPCSTR, LPSTR readers, LPDWORD len) {
  if (len == nullptr) return SCARD_E_INVALID_PARAMETER;
  if (readers != nullptr) {
    if (*len < sizeof kReaders) return SCARD_E_INSUFFICIENT_BUFFER;
    std::memcpy(readers, kReaders, sizeof kReaders);
  }
  *len = sizeof kReaders;
  return SCARD_S_SUCCESS;
}

LONG SCardConnect(SCARDCONTEXT, LPCSTR reader, DWORD, DWORD, LPSCARDHANDLE handle, LPDWORD proto) {
  if (reader == nullptr || handle == nullptr || std::strcmp(reader, kReaders) != 0) {
    return SCARD_E_UNKNOWN_READER;
  }
  if (!g_reader.present) return SCARD_E_NO_SMARTCARD;
  *handle = g_reader.next++;
  g_reader.handles[*handle] = false;
  if (proto != nullptr) *proto = SCARD_PROTOCOL_T0;
  return SCARD_S_SUCCESS;
}

LONG SCardReconnect(SCARDHANDLE h, DWORD, DWORD, DWORD init, LPDWORD proto) {
  auto it = g_reader.handles.find(h);
  if (it == g_reader.handles.end()) return SCARD_E_INVALID_HANDLE;
  if (!g_reader.present) return SCARD_E_NO_SMARTCARD;
  if (init != SCARD_LEAVE_CARD) card_reset();
  it->second = false;
  if (proto != nullptr) *proto = SCARD_PROTOCOL_T0;
  return SCARD_S_SUCCESS;
}

LONG SCardDisconnect(SCARDHANDLE h, DWORD) {
  return g_reader.handles.erase(h) == 1 ? SCARD_S_SUCCESS : SCARD_E_INVALID_HANDLE;
}

LONG SCardBeginTransaction(SCARDHANDLE h) {
  auto it = g_reader.handles.find(h);
  if (it == g_reader.handles.end()) return SCARD_E_INVALID_HANDLE;
  if (!g_reader.present) return SCARD_W_REMOVED_CARD;
  if (it->second) return SCARD_W_RESET_CARD;
  return SCARD_S_SUCCESS;
}

LONG SCardEndTransaction(SCARDHANDLE h, DWORD) {
  return g_reader.handles.count(h) == 1 ? SCARD_S_SUCCESS : SCARD_E_INVALID_HANDLE;
}

LONG SCardStatus(SCARDHANDLE h, LPSTR name, LPDWORD name_len, LPDWORD state, LPDWORD proto,
                 LPBYTE atr, LPDWORD atr_len) {
  auto it = g_reader.handles.find(h);
  if (it == g_reader.handles.end()) return SCARD_E_INVALID_HANDLE;
  if (!g_reader.present) return SCARD_W_REMOVED_CARD;
  if (it->second) return SCARD_W_RESET_CARD;
  if (name_len != nullptr) {
    if (name != nullptr) {
      if (*name_len < sizeof kReaders) return SCARD_E_INSUFFICIENT_BUFFER;
      std::memcpy(name, kReaders, sizeof kReaders);
    }
    *name_len = sizeof kReaders;
  }
  if (state != nullptr) *state = SCARD_PRESENT | SCARD_POWERED | SCARD_SPECIFIC;
  if (proto != nullptr) *proto = SCARD_PROTOCOL_T0;
  if (atr_len != nullptr) {
    const auto& a = g_reader.card->atr();
    if (atr != nullptr) {
      if (*atr_len < a.size()) return SCARD_E_INSUFFICIENT_BUFFER;
      std::memcpy(atr, a.data(), a.size());
    }
    *atr_len = static_cast<DWORD>(a.size());
  }
  return SCARD_S_SUCCESS;
}

LONG SCardTransmit(SCARDHANDLE h, const SCARD_IO_REQUEST*, LPCBYTE send, DWORD send_len,
                   SCARD_IO_REQUEST*, LPBYTE recv, LPDWORD recv_len) {
  auto it = g_reader.handles.find(h);
  if (it == g_reader.handles.end()) return SCARD_E_INVALID_HANDLE;
  if (!g_reader.present) return SCARD_W_REMOVED_CARD;
  if (it->second) return SCARD_W_RESET_CARD;
  if (send == nullptr || recv == nullptr || recv_len == nullptr) return SCARD_E_INVALID_PARAMETER;
  // The size of one short APDU exchange; a longer command is a module bug.
  if (send_len > 261) __builtin_trap();
  auto out = g_reader.card->process(std::span<const std::uint8_t>(send, send_len));
  if (out.response.size() > *recv_len) return SCARD_E_INSUFFICIENT_BUFFER;
  std::memcpy(recv, out.response.data(), out.response.size());
  *recv_len = static_cast<DWORD>(out.response.size());
  return SCARD_S_SUCCESS;
}

}  // extern "C"

namespace {

// ---------------------------------------------------------------------------
// The input and the values drawn from it.

class Input {
 public:
  Input(const std::uint8_t* d, std::size_t n) : d_(d), n_(n) {}
  bool empty() const { return pos_ >= n_; }
  std::uint8_t u8() { return pos_ < n_ ? d_[pos_++] : 0; }
  std::uint32_t u32() {
    std::uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v |= static_cast<std::uint32_t>(u8()) << (8 * i);
    return v;
  }
  CK_ULONG ulong() { return static_cast<CK_ULONG>(u32()) | (static_cast<CK_ULONG>(u32()) << 32); }
  // Fills `out` with the next input bytes (as far as they go) and a pattern.
  void fill(std::uint8_t* out, std::size_t n) {
    std::size_t take = std::min<std::size_t>(u8(), n);
    for (std::size_t i = 0; i < n; ++i) {
      out[i] = i < take ? u8() : static_cast<std::uint8_t>(i * 31 + 7);
    }
  }

 private:
  const std::uint8_t* d_;
  std::size_t n_;
  std::size_t pos_ = 0;
};

constexpr CK_ULONG kBig = ~static_cast<CK_ULONG>(0);
const CK_ULONG kSpecialLens[] = {
    4096, 65535, 65536, 65537, 0x7FFFFFFF, 0x80000000, 0xFFFFFFF0, 0xFFFFFFFE, 0xFFFFFFFF,
    0x100000000ULL, 0x100000001ULL, 0x100000008ULL, 0x100000010ULL, 0x100000080ULL, 0x100000100ULL,
    kBig, kBig - 1, kBig - 7, kBig - 15, kBig - 16, kBig - 127, kBig - 255, 0x8000000000000000ULL,
    0x8000000000000010ULL, 0x7FFFFFFFFFFFFFFFULL};

// A length as a caller might pass it: mostly small, sometimes anything.
CK_ULONG draw_len(Input& in) {
  const std::uint8_t b = in.u8();
  if (b < 0x80) return b;
  if (b < 0xC0) return (static_cast<CK_ULONG>(b & 0x3F) << 8) | in.u8();
  if (b < 0xF0) return kSpecialLens[(b - 0xC0) % (sizeof kSpecialLens / sizeof kSpecialLens[0])];
  return in.ulong();
}

// Memory owned by the harness for one call; freed at the end of the call
// program so that pointers handed to the module stay valid while it may
// still hold them (C_FindObjectsInit templates, mechanism parameters).
struct Arena {
  std::deque<std::vector<std::uint8_t>> blocks;
  std::uint8_t* get(std::size_t n) {
    blocks.emplace_back(n == 0 ? 1 : n, 0);
    return blocks.back().data();
  }
};

// Input data: returns the pointer and sets *len. `huge_ok`: the module must
// refuse a length beyond kCap before reading, so it may come with a small
// buffer; otherwise the length is cut to what can honestly be allocated.
std::uint8_t* in_data(Input& in, Arena& a, bool huge_ok, CK_ULONG* len) {
  const std::uint8_t how = in.u8();
  CK_ULONG n = how % 8 == 7 ? kSpecialLens[in.u8() % (sizeof kSpecialLens / sizeof kSpecialLens[0])]
                            : draw_len(in);
  if (how % 16 == 0) {
    *len = n;
    return nullptr;  // a null pointer with any length
  }
  if (n > kCap) {
    if (!huge_ok) n &= 0xFFF;
    if (n > kCap) {
      *len = n;
      std::uint8_t* p = a.get(64);
      in.fill(p, 64);
      return p;
    }
  }
  std::uint8_t* p = a.get(n);
  in.fill(p, n);
  *len = n;
  return p;
}

// An output buffer and its length word: null length pointer, null buffer
// (size query), an honest capacity, or a huge capacity with kCap + kSlack
// bytes behind it.
struct Out {
  std::uint8_t* buf = nullptr;
  CK_ULONG len = 0;
  CK_ULONG* plen = nullptr;
};
Out out_buf(Input& in, Arena& a) {
  Out o;
  const std::uint8_t how = in.u8() % 16;
  o.plen = how == 0 ? nullptr : &o.len;
  o.len = draw_len(in);
  if (how == 1) return o;  // size query
  const std::size_t n = o.len > kCap ? kCap + kSlack : o.len;
  o.buf = a.get(n);
  return o;
}

// PINs and PUKs: the card's right ones, wrong ones, or anything; lengths
// outside 4..8 must be refused before the PIN is read.
std::uint8_t* pin(Input& in, Arena& a, CK_ULONG* len) {
  static const char* const kPins[] = {"1234", "12345678", "0000", "4321", "123", "123456789"};
  const std::uint8_t b = in.u8() % 8;
  if (b < 6) {
    const std::size_t n = std::strlen(kPins[b]);
    std::uint8_t* p = a.get(n);
    std::memcpy(p, kPins[b], n);
    *len = n;
    return p;
  }
  if (b == 6) {
    std::uint8_t* p = a.get(8);
    std::memcpy(p, "1234", 4);
    *len = kSpecialLens[in.u8() % (sizeof kSpecialLens / sizeof kSpecialLens[0])];
    return p;
  }
  return in_data(in, a, false, len);
}

// ---------------------------------------------------------------------------
// Attribute templates and mechanisms.

enum class Fixed : std::uint8_t { kNo, kUlong, kBool, kDate };
struct AttrType {
  CK_ATTRIBUTE_TYPE type;
  Fixed fixed;
};
const AttrType kTypes[] = {
    {CKA_CLASS, Fixed::kUlong}, {CKA_KEY_TYPE, Fixed::kUlong}, {CKA_TOKEN, Fixed::kBool},
    {CKA_PRIVATE, Fixed::kBool}, {CKA_LABEL, Fixed::kNo}, {CKA_ID, Fixed::kNo},
    {CKA_VALUE, Fixed::kNo}, {CKA_VALUE_LEN, Fixed::kUlong}, {CKA_MODULUS, Fixed::kNo},
    {CKA_MODULUS_BITS, Fixed::kUlong}, {CKA_PUBLIC_EXPONENT, Fixed::kNo}, {CKA_ENCRYPT, Fixed::kBool},
    {CKA_DECRYPT, Fixed::kBool}, {CKA_SIGN, Fixed::kBool}, {CKA_VERIFY, Fixed::kBool},
    {CKA_WRAP, Fixed::kBool}, {CKA_UNWRAP, Fixed::kBool}, {CKA_SENSITIVE, Fixed::kBool},
    {CKA_EXTRACTABLE, Fixed::kBool}, {CKA_MODIFIABLE, Fixed::kBool}, {CKA_SUBJECT, Fixed::kNo},
    {CKA_ISSUER, Fixed::kNo}, {CKA_SERIAL_NUMBER, Fixed::kNo}, {CKA_CERTIFICATE_TYPE, Fixed::kUlong},
    {CKA_APPLICATION, Fixed::kNo}, {CKA_PRIVATE_EXPONENT, Fixed::kNo}, {CKA_PRIME_1, Fixed::kNo},
    {CKA_PRIME_2, Fixed::kNo}, {CKA_EXPONENT_1, Fixed::kNo}, {CKA_EXPONENT_2, Fixed::kNo},
    {CKA_COEFFICIENT, Fixed::kNo}, {CKA_START_DATE, Fixed::kDate}, {CKA_DERIVE, Fixed::kBool},
    {CKA_LOCAL, Fixed::kBool}, {CKA_KEY_GEN_MECHANISM, Fixed::kUlong}, {CKA_ALWAYS_SENSITIVE, Fixed::kBool},
    {CKA_NEVER_EXTRACTABLE, Fixed::kBool}, {CKA_TRUSTED, Fixed::kBool}, {CKA_OBJECT_ID, Fixed::kNo},
    {0x8004, Fixed::kNo}, {CKA_VALUE_BITS, Fixed::kUlong}, {CKA_HW_FEATURE_TYPE, Fixed::kNo},
};
const CK_ULONG kUlongs[] = {CKO_DATA, CKO_CERTIFICATE, CKO_PUBLIC_KEY, CKO_PRIVATE_KEY, CKO_SECRET_KEY,
                            CKK_RSA, CKK_GENERIC_SECRET, CKK_RC2, CKK_RC4, CKK_DES, CKK_DES2, CKK_DES3,
                            CKK_AES, 8, 16, 24, 32, 48, 1024, 2048, 0xFFFFFFFF, kBig};

// A template the module reads (find, create, set, generate, unwrap, derive).
CK_ATTRIBUTE* in_template(Input& in, Arena& a, CK_ULONG* count) {
  const std::uint8_t c = in.u8();
  *count = c % 12;
  if (c >= 0xF0) return nullptr;  // null template with any count
  auto* t = reinterpret_cast<CK_ATTRIBUTE*>(a.get(sizeof(CK_ATTRIBUTE) * (*count + 1)));
  for (CK_ULONG i = 0; i < *count; ++i) {
    const AttrType& at = kTypes[in.u8() % (sizeof kTypes / sizeof kTypes[0])];
    t[i].type = at.type;
    const std::uint8_t how = in.u8() % 8;
    if (how <= 2 && at.fixed == Fixed::kUlong) {
      auto* v = reinterpret_cast<CK_ULONG*>(a.get(sizeof(CK_ULONG)));
      *v = how == 2 ? in.ulong() : kUlongs[in.u8() % (sizeof kUlongs / sizeof kUlongs[0])];
      t[i].pValue = v;
      t[i].ulValueLen = sizeof(CK_ULONG);
    } else if (how <= 2 && at.fixed == Fixed::kBool) {
      std::uint8_t* v = a.get(1);
      *v = how == 2 ? in.u8() : static_cast<std::uint8_t>(how);
      t[i].pValue = v;
      t[i].ulValueLen = 1;
    } else if (how == 3 && at.fixed != Fixed::kNo) {
      // A fixed-size attribute with a wrong or huge length: checked first.
      t[i].pValue = a.get(16);
      t[i].ulValueLen = draw_len(in);
      if (t[i].ulValueLen <= kCap && t[i].ulValueLen > 16) t[i].pValue = a.get(t[i].ulValueLen);
    } else if (how == 4) {
      t[i].pValue = nullptr;
      t[i].ulValueLen = in.u8() % 2 == 0 ? 0 : draw_len(in);
    } else if (how == 5) {
      static const CK_ULONG kKeyLens[] = {5, 8, 16, 24, 32, 48, 128, 256};
      const CK_ULONG n = kKeyLens[in.u8() % 8];
      std::uint8_t* v = a.get(n);
      in.fill(v, n);
      t[i].pValue = v;
      t[i].ulValueLen = n;
    } else {
      CK_ULONG n = draw_len(in) & 0x1FFF;  // honest, up to 8 KiB
      std::uint8_t* v = a.get(n);
      in.fill(v, n);
      t[i].pValue = v;
      t[i].ulValueLen = n;
    }
  }
  return t;
}

// A template the module writes (C_GetAttributeValue).
CK_ATTRIBUTE* out_template(Input& in, Arena& a, CK_ULONG* count) {
  const std::uint8_t c = in.u8();
  *count = c % 12;
  if (c >= 0xF0) return nullptr;
  auto* t = reinterpret_cast<CK_ATTRIBUTE*>(a.get(sizeof(CK_ATTRIBUTE) * (*count + 1)));
  for (CK_ULONG i = 0; i < *count; ++i) {
    const std::uint8_t pick = in.u8();
    t[i].type = pick == 0xFF ? in.u32() : kTypes[pick % (sizeof kTypes / sizeof kTypes[0])].type;
    t[i].ulValueLen = draw_len(in);
    if (in.u8() % 4 == 0) {
      t[i].pValue = nullptr;  // size query
    } else {
      t[i].pValue = a.get(t[i].ulValueLen > kCap ? kCap + kSlack : t[i].ulValueLen);
    }
  }
  return t;
}

const CK_MECHANISM_TYPE kMechs[] = {
    CKM_RSA_PKCS, CKM_RC2_ECB, CKM_RC2_CBC, CKM_RC2_CBC_PAD, CKM_RC4, CKM_DES_ECB, CKM_DES_CBC,
    CKM_DES_CBC_PAD, CKM_DES3_ECB, CKM_DES3_CBC, CKM_DES3_CBC_PAD, CKM_AES_ECB, CKM_AES_CBC,
    CKM_AES_CBC_PAD, CKM_MD5, CKM_SHA_1, CKM_SHA256, CKM_AES_KEY_GEN, CKM_DES_KEY_GEN,
    CKM_DES2_KEY_GEN, CKM_DES3_KEY_GEN, CKM_RC2_KEY_GEN, CKM_RC4_KEY_GEN, CKM_RSA_PKCS_KEY_PAIR_GEN,
    CKM_SSL3_PRE_MASTER_KEY_GEN, CKM_SSL3_MASTER_KEY_DERIVE, CKM_SSL3_KEY_AND_MAC_DERIVE,
    CKM_SHA1_RSA_PKCS, CKM_RSA_X_509, 0x80000000};

// The parameter the mechanism expects, built in the arena; its size in *len.
void* natural_param(Input& in, Arena& a, CK_MECHANISM_TYPE m, CK_ULONG* len) {
  switch (m) {
    case CKM_RC2_ECB: {
      auto* p = reinterpret_cast<p11::Rc2Params*>(a.get(sizeof(p11::Rc2Params)));
      *p = in.u8() % 2 == 0 ? 128 : in.ulong();
      *len = sizeof *p;
      return p;
    }
    case CKM_RC2_CBC:
    case CKM_RC2_CBC_PAD: {
      auto* p = reinterpret_cast<p11::Rc2CbcParams*>(a.get(sizeof(p11::Rc2CbcParams)));
      p->ulEffectiveBits = in.u8() % 2 == 0 ? 128 : in.ulong();
      in.fill(p->iv, 8);
      *len = sizeof *p;
      return p;
    }
    case CKM_DES_CBC: case CKM_DES_CBC_PAD: case CKM_DES3_CBC: case CKM_DES3_CBC_PAD:
    case CKM_AES_CBC: case CKM_AES_CBC_PAD: {
      *len = (m == CKM_AES_CBC || m == CKM_AES_CBC_PAD) ? 16 : 8;
      std::uint8_t* p = a.get(*len);
      in.fill(p, *len);
      return p;
    }
    case CKM_SSL3_PRE_MASTER_KEY_GEN: {
      auto* v = reinterpret_cast<CK_VERSION*>(a.get(sizeof(CK_VERSION)));
      v->major = 3;
      v->minor = in.u8();
      *len = sizeof *v;
      return v;
    }
    case CKM_SSL3_MASTER_KEY_DERIVE:
    case CKM_SSL3_KEY_AND_MAC_DERIVE: {
      p11::Ssl3RandomData r{};
      r.ulClientRandomLen = in.u8() % 2 == 0 ? 32 : in.u8();
      r.pClientRandom = in.u8() % 8 == 0 ? nullptr : a.get(r.ulClientRandomLen);
      if (r.pClientRandom != nullptr) in.fill(r.pClientRandom, r.ulClientRandomLen);
      r.ulServerRandomLen = in.u8() % 2 == 0 ? 32 : in.u8();
      r.pServerRandom = in.u8() % 8 == 0 ? nullptr : a.get(r.ulServerRandomLen);
      if (r.pServerRandom != nullptr) in.fill(r.pServerRandom, r.ulServerRandomLen);
      if (m == CKM_SSL3_MASTER_KEY_DERIVE) {
        auto* p = reinterpret_cast<p11::Ssl3MasterKeyDeriveParams*>(a.get(sizeof(p11::Ssl3MasterKeyDeriveParams)));
        p->RandomInfo = r;
        p->pVersion = in.u8() % 4 == 0 ? nullptr : reinterpret_cast<CK_VERSION*>(a.get(sizeof(CK_VERSION)));
        *len = sizeof *p;
        return p;
      }
      auto* p = reinterpret_cast<p11::Ssl3KeyMatParams*>(a.get(sizeof(p11::Ssl3KeyMatParams)));
      static const CK_ULONG kBits[] = {0, 40, 64, 128, 160, 192, 256};
      p->ulMacSizeInBits = kBits[in.u8() % 7];
      p->ulKeySizeInBits = kBits[in.u8() % 7];
      p->ulIVSizeInBits = kBits[in.u8() % 7];  // the IV buffers below hold 256 bits
      p->bIsExport = in.u8() % 2;
      p->RandomInfo = r;
      if (in.u8() % 8 != 0) {
        auto* o = reinterpret_cast<p11::Ssl3KeyMatOut*>(a.get(sizeof(p11::Ssl3KeyMatOut)));
        o->pIVClient = in.u8() % 8 == 0 ? nullptr : a.get(32);
        o->pIVServer = in.u8() % 8 == 0 ? nullptr : a.get(32);
        p->pReturnedKeyMaterial = o;
      } else {
        p->pReturnedKeyMaterial = nullptr;
      }
      *len = sizeof *p;
      return p;
    }
    default:
      *len = 0;
      return nullptr;
  }
}

CK_MECHANISM* mechanism(Input& in, Arena& a) {
  const std::uint8_t pick = in.u8();
  if (pick == 0xFF) return nullptr;
  auto* m = reinterpret_cast<CK_MECHANISM*>(a.get(sizeof(CK_MECHANISM)));
  m->mechanism = pick == 0xFE ? in.ulong() : kMechs[pick % (sizeof kMechs / sizeof kMechs[0])];
  CK_ULONG n = 0;
  void* p = natural_param(in, a, m->mechanism, &n);
  switch (in.u8() % 8) {
    case 0:  // none
      m->pParameter = nullptr;
      m->ulParameterLen = 0;
      break;
    case 1:  // null with a length
      m->pParameter = nullptr;
      m->ulParameterLen = draw_len(in);
      break;
    case 2: {  // a wrong length, the buffer as large as it says (or the
               // natural one behind a huge length: parameter sizes are fixed)
      CK_ULONG len = draw_len(in);
      m->ulParameterLen = len;
      if (len <= kCap) {
        std::uint8_t* b = a.get(std::max<CK_ULONG>(len, n));
        if (p != nullptr) std::memcpy(b, p, n);
        m->pParameter = b;
      } else {
        m->pParameter = p != nullptr ? p : a.get(64);
      }
      break;
    }
    default:
      m->pParameter = p;
      m->ulParameterLen = n;
      break;
  }
  return m;
}

bool is_rsa(CK_MECHANISM_TYPE m) { return m == CKM_RSA_PKCS; }

// ---------------------------------------------------------------------------
// The call program.

struct Program {
  explicit Program(Input& input) : in(input) {}
  Input& in;
  bool trace = std::getenv("FUZZ_P11_TRACE") != nullptr;
  Arena arena;
  CK_FUNCTION_LIST* f = nullptr;
  VornFunctionList* x = nullptr;
  std::vector<CK_SESSION_HANDLE> sessions;
  std::vector<CK_OBJECT_HANDLE> objects;
  std::map<CK_SESSION_HANDLE, CK_MECHANISM_TYPE> enc, dec;

  CK_SESSION_HANDLE session() {
    const std::uint8_t b = in.u8();
    if (!sessions.empty() && b < 0xF0) return sessions[b % sessions.size()];
    return b == 0xFF ? in.ulong() : b & 0x0F;
  }
  CK_OBJECT_HANDLE object() {
    const std::uint8_t b = in.u8();
    if (!objects.empty() && b < 0xF0) return objects[b % objects.size()];
    return b == 0xFF ? in.ulong() : b & 0x0F;
  }
  CK_SLOT_ID slot() {
    const std::uint8_t b = in.u8();
    return b < 0xF0 ? 0 : b == 0xFF ? in.ulong() : b & 0x0F;
  }
  // Private objects are the user's: a session in a public state must not
  // read their attributes (and so cannot even learn CKA_PRIVATE true).
  void check_private(CK_SESSION_HANDLE s, CK_OBJECT_HANDLE o) {
    CK_SESSION_INFO info{};
    if (f->C_GetSessionInfo(s, &info) != CKR_OK) return;
    if (info.state != CKS_RO_PUBLIC_SESSION && info.state != CKS_RW_PUBLIC_SESSION) return;
    CK_BBOOL priv = CK_FALSE;
    CK_ATTRIBUTE t{CKA_PRIVATE, &priv, sizeof priv};
    if (f->C_GetAttributeValue(s, o, &t, 1) == CKR_OK && priv == CK_TRUE) {
      if (trace) std::fprintf(stderr, "private object %lu read in session state %lu\n", o, info.state);
      __builtin_trap();
    }
  }
  void keep_object(CK_RV rv, CK_OBJECT_HANDLE h) {
    if (rv == CKR_OK && objects.size() < 256) objects.push_back(h);
  }

  void initialize() {
    CK_C_INITIALIZE_ARGS args{};
    switch (in.u8() % 4) {
      case 0: f->C_Initialize(nullptr); break;
      case 1: args.flags = CKF_OS_LOCKING_OK; f->C_Initialize(&args); break;
      case 2: args.flags = static_cast<CK_FLAGS>(in.ulong()); f->C_Initialize(&args); break;
      default: args.pReserved = &args; f->C_Initialize(&args); break;
    }
  }

  // One call; false ends the program.
  bool step() {
    Arena& a = arena;
    const std::uint8_t op = in.u8() % 48;
    if (trace) std::fprintf(stderr, "op %u\n", static_cast<unsigned>(op));
    switch (op) {
      case 0: {
        CK_INFO info;
        f->C_GetInfo(in.u8() % 8 == 0 ? nullptr : &info);
        break;
      }
      case 1: {
        CK_SLOT_ID ids[16];
        CK_ULONG n = in.u8() % 4 == 0 ? draw_len(in) : 16;
        if (n > 16) n = in.u8() % 2 == 0 ? 16 : n;  // a huge count: the module writes only its slots
        const std::uint8_t how = in.u8() % 4;
        f->C_GetSlotList(in.u8() % 2, how == 0 ? nullptr : ids, how == 1 ? nullptr : &n);
        break;
      }
      case 2: {
        CK_SLOT_INFO info;
        f->C_GetSlotInfo(slot(), in.u8() % 8 == 0 ? nullptr : &info);
        break;
      }
      case 3: {
        CK_TOKEN_INFO info;
        f->C_GetTokenInfo(slot(), in.u8() % 8 == 0 ? nullptr : &info);
        break;
      }
      case 4: {
        CK_MECHANISM_TYPE list[256];
        CK_ULONG n = draw_len(in);
        if (n > 256 && n <= kCap) n = 256;
        const std::uint8_t how = in.u8() % 4;
        f->C_GetMechanismList(slot(), how == 0 ? nullptr : list, how == 1 ? nullptr : &n);
        break;
      }
      case 5: {
        CK_MECHANISM_INFO info;
        const std::uint8_t pick = in.u8();
        f->C_GetMechanismInfo(slot(), pick == 0xFF ? in.ulong() : kMechs[pick % (sizeof kMechs / sizeof kMechs[0])],
                              in.u8() % 8 == 0 ? nullptr : &info);
        break;
      }
      case 6: {
        CK_SESSION_HANDLE h = 0;
        const std::uint8_t how = in.u8();
        CK_FLAGS flags = CKF_SERIAL_SESSION | ((how & 1) != 0 ? CKF_RW_SESSION : 0);
        if (how >= 0xF0) flags = in.ulong();
        const CK_RV rv = f->C_OpenSession(slot(), flags, nullptr, nullptr, how % 16 == 2 ? nullptr : &h);
        if (rv == CKR_OK && sessions.size() < 64) sessions.push_back(h);
        break;
      }
      case 7: f->C_CloseSession(session()); break;
      case 8: f->C_CloseAllSessions(slot()); break;
      case 9: {
        CK_SESSION_INFO info;
        f->C_GetSessionInfo(session(), in.u8() % 8 == 0 ? nullptr : &info);
        break;
      }
      case 10: {
        const CK_SESSION_HANDLE s = session();
        const std::uint8_t u = in.u8() % 5;
        const CK_USER_TYPE who = u < 2 ? CKU_USER : u == 2 ? CKU_SO : u == 3 ? 2 : in.ulong();
        CK_ULONG n = 0;
        std::uint8_t* p = pin(in, a, &n);
        f->C_Login(s, who, p, n);
        break;
      }
      case 11: f->C_Logout(session()); break;
      case 12: {
        const CK_SESSION_HANDLE s = session();
        CK_ULONG n1 = 0, n2 = 0;
        std::uint8_t* p1 = pin(in, a, &n1);
        std::uint8_t* p2 = pin(in, a, &n2);
        f->C_SetPIN(s, p1, n1, p2, n2);
        break;
      }
      case 13: {
        const CK_SESSION_HANDLE s = session();
        CK_ULONG n = 0;
        std::uint8_t* p = pin(in, a, &n);
        f->C_InitPIN(s, p, n);
        break;
      }
      case 14: {
        const CK_SESSION_HANDLE s = session();
        CK_ULONG n = 0;
        CK_ATTRIBUTE* t = in_template(in, a, &n);
        f->C_FindObjectsInit(s, t, n);
        break;
      }
      case 15: {
        const CK_SESSION_HANDLE s = session();
        std::vector<CK_OBJECT_HANDLE> found(1024);
        CK_ULONG max = draw_len(in);
        if (max > 1024 && in.u8() % 2 == 0) max = 1024;  // else huge: the module writes what it found
        CK_ULONG n = 0;
        const std::uint8_t how = in.u8() % 8;
        const CK_RV rv = f->C_FindObjects(s, how == 0 ? nullptr : found.data(), max, how == 1 ? nullptr : &n);
        if (rv == CKR_OK && how > 1) {
          if (n > std::min<CK_ULONG>(max, 1024)) __builtin_trap();  // more handles than room
          for (CK_ULONG i = 0; i < n; ++i) {
            keep_object(CKR_OK, found[i]);
            check_private(s, found[i]);
          }
        }
        break;
      }
      case 16: f->C_FindObjectsFinal(session()); break;
      case 17: {
        const CK_SESSION_HANDLE s = session();
        const CK_OBJECT_HANDLE o = object();
        CK_ULONG n = 0;
        CK_ATTRIBUTE* t = out_template(in, a, &n);
        if (f->C_GetAttributeValue(s, o, t, n) == CKR_OK && n > 0) check_private(s, o);
        break;
      }
      case 18: {
        const CK_SESSION_HANDLE s = session();
        const CK_OBJECT_HANDLE o = object();
        CK_ULONG n = 0;
        CK_ATTRIBUTE* t = in_template(in, a, &n);
        f->C_SetAttributeValue(s, o, t, n);
        break;
      }
      case 19: {
        const CK_SESSION_HANDLE s = session();
        CK_ULONG n = 0;
        CK_ATTRIBUTE* t = in_template(in, a, &n);
        CK_OBJECT_HANDLE h = 0;
        const bool null_out = in.u8() % 16 == 0;
        keep_object(f->C_CreateObject(s, t, n, null_out ? nullptr : &h), h);
        break;
      }
      case 20: f->C_DestroyObject(session(), object()); break;
      case 21:
      case 25: {
        const CK_SESSION_HANDLE s = session();
        CK_MECHANISM* m = mechanism(in, a);
        const CK_OBJECT_HANDLE k = object();
        const CK_RV rv = op == 21 ? f->C_EncryptInit(s, m, k) : f->C_DecryptInit(s, m, k);
        if (rv == CKR_OK && m != nullptr) (op == 21 ? enc : dec)[s] = m->mechanism;
        break;
      }
      case 22:
      case 23:
      case 26:
      case 27: {
        const bool encrypt = op == 22 || op == 23;
        const bool update = op == 23 || op == 27;
        const CK_SESSION_HANDLE s = session();
        auto& known = encrypt ? enc : dec;
        const auto it = known.find(s);
        Out o = out_buf(in, a);
        // A part too long for the honest output buffer must be refused
        // before it is read; so must RSA data beyond k - 11 when encrypting.
        // RSA decryption may legitimately read any multiple of k.
        const bool honest_out = o.buf != nullptr && o.plen != nullptr && o.len <= kCap;
        const bool rsa = it != known.end() && is_rsa(it->second);
        const bool huge_ok = it != known.end() && honest_out && (!rsa || (encrypt && !update));
        CK_ULONG n = 0;
        std::uint8_t* d = in_data(in, a, huge_ok, &n);
        if (encrypt) {
          update ? f->C_EncryptUpdate(s, d, n, o.buf, o.plen) : f->C_Encrypt(s, d, n, o.buf, o.plen);
        } else {
          update ? f->C_DecryptUpdate(s, d, n, o.buf, o.plen) : f->C_Decrypt(s, d, n, o.buf, o.plen);
        }
        break;
      }
      case 24:
      case 28: {
        const CK_SESSION_HANDLE s = session();
        Out o = out_buf(in, a);
        op == 24 ? f->C_EncryptFinal(s, o.buf, o.plen) : f->C_DecryptFinal(s, o.buf, o.plen);
        break;
      }
      case 29: {
        const CK_SESSION_HANDLE s = session();
        f->C_DigestInit(s, mechanism(in, a));
        break;
      }
      case 30: {
        const CK_SESSION_HANDLE s = session();
        CK_ULONG n = 0;
        std::uint8_t* d = in_data(in, a, false, &n);
        Out o = out_buf(in, a);
        f->C_Digest(s, d, n, o.buf, o.plen);
        break;
      }
      case 31: {
        const CK_SESSION_HANDLE s = session();
        CK_ULONG n = 0;
        std::uint8_t* d = in_data(in, a, false, &n);
        f->C_DigestUpdate(s, d, n);
        break;
      }
      case 32: {
        const CK_SESSION_HANDLE s = session();
        Out o = out_buf(in, a);
        f->C_DigestFinal(s, o.buf, o.plen);
        break;
      }
      case 33:
      case 35: {
        const CK_SESSION_HANDLE s = session();
        CK_MECHANISM* m = mechanism(in, a);
        const CK_OBJECT_HANDLE k = object();
        op == 33 ? f->C_SignInit(s, m, k) : f->C_VerifyInit(s, m, k);
        break;
      }
      case 34: {
        // The one signing mechanism is CKM_RSA_PKCS: data beyond k - 11 is
        // refused before it is read.
        const CK_SESSION_HANDLE s = session();
        Out o = out_buf(in, a);
        CK_ULONG n = 0;
        std::uint8_t* d = in_data(in, a, true, &n);
        f->C_Sign(s, d, n, o.buf, o.plen);
        break;
      }
      case 36: {
        const CK_SESSION_HANDLE s = session();
        CK_ULONG n = 0, sn = 0;
        std::uint8_t* d = in_data(in, a, true, &n);
        std::uint8_t* sig = in_data(in, a, true, &sn);
        f->C_Verify(s, d, n, sig, sn);
        break;
      }
      case 37: {
        const CK_SESSION_HANDLE s = session();
        CK_MECHANISM* m = mechanism(in, a);
        CK_ULONG n = 0;
        CK_ATTRIBUTE* t = in_template(in, a, &n);
        CK_OBJECT_HANDLE h = 0;
        keep_object(f->C_GenerateKey(s, m, t, n, in.u8() % 16 == 0 ? nullptr : &h), h);
        break;
      }
      case 38: {
        // Key-pair generation is slow on the card: only every 4th time.
        if (in.u8() % 4 != 0) break;
        const CK_SESSION_HANDLE s = session();
        CK_MECHANISM* m = mechanism(in, a);
        CK_ULONG n1 = 0, n2 = 0;
        CK_ATTRIBUTE* pub = in_template(in, a, &n1);
        CK_ATTRIBUTE* priv = in_template(in, a, &n2);
        CK_OBJECT_HANDLE h1 = 0, h2 = 0;
        const CK_RV rv = f->C_GenerateKeyPair(s, m, pub, n1, priv, n2, &h1, &h2);
        keep_object(rv, h1);
        keep_object(rv, h2);
        break;
      }
      case 39: {
        const CK_SESSION_HANDLE s = session();
        CK_MECHANISM* m = mechanism(in, a);
        const CK_OBJECT_HANDLE wk = object();
        const CK_OBJECT_HANDLE k = object();
        Out o = out_buf(in, a);
        f->C_WrapKey(s, m, wk, k, o.buf, o.plen);
        break;
      }
      case 40: {
        const CK_SESSION_HANDLE s = session();
        CK_MECHANISM* m = mechanism(in, a);
        const CK_OBJECT_HANDLE uk = object();
        CK_ULONG n = 0, tn = 0;
        std::uint8_t* d = in_data(in, a, false, &n);
        CK_ATTRIBUTE* t = in_template(in, a, &tn);
        CK_OBJECT_HANDLE h = 0;
        keep_object(f->C_UnwrapKey(s, m, uk, d, n, t, tn, in.u8() % 16 == 0 ? nullptr : &h), h);
        break;
      }
      case 41: {
        const CK_SESSION_HANDLE s = session();
        CK_MECHANISM* m = mechanism(in, a);
        const CK_OBJECT_HANDLE base = object();
        CK_ULONG tn = 0;
        CK_ATTRIBUTE* t = in_template(in, a, &tn);
        CK_OBJECT_HANDLE h = 0;
        keep_object(f->C_DeriveKey(s, m, base, t, tn, in.u8() % 16 == 0 ? nullptr : &h), h);
        if (m != nullptr && m->mechanism == CKM_SSL3_KEY_AND_MAC_DERIVE && m->pParameter != nullptr &&
            m->ulParameterLen == sizeof(p11::Ssl3KeyMatParams)) {
          auto* p = static_cast<p11::Ssl3KeyMatParams*>(m->pParameter);
          if (p->pReturnedKeyMaterial != nullptr) {
            keep_object(CKR_OK, p->pReturnedKeyMaterial->hClientKey);
            keep_object(CKR_OK, p->pReturnedKeyMaterial->hServerKey);
          }
        }
        break;
      }
      case 42: {
        const CK_SESSION_HANDLE s = session();
        CK_ULONG n = draw_len(in) & 0x1FFF;  // the module writes all of it
        std::uint8_t* p = in.u8() % 16 == 0 ? nullptr : a.get(n);
        if (in.u8() % 2 == 0) {
          f->C_GenerateRandom(s, p, n);
        } else {
          if (p != nullptr) in.fill(p, n);
          f->C_SeedRandom(s, p, n);
        }
        break;
      }
      case 43: {
        const CK_SESSION_HANDLE s = session();
        CK_BYTE tries = 0;
        const std::uint8_t how = in.u8() % 4;
        CK_BYTE* p = how == 0 ? nullptr : &tries;
        how % 2 == 0 ? x->CI_GetLeftTriesPIN(s, p) : x->CI_GetLeftTriesPUK(s, p);
        break;
      }
      case 44: {
        const CK_SESSION_HANDLE s = session();
        CK_ULONG n1 = 0, n2 = 0;
        std::uint8_t* p1 = pin(in, a, &n1);
        std::uint8_t* p2 = pin(in, a, &n2);
        in.u8() % 2 == 0 ? x->CI_SetPUK(s, p1, n1, p2, n2) : x->CI_UnblockPIN(s, p1, n1, p2, n2);
        break;
      }
      case 45: {
        // The card leaves the reader, comes back, or is reset.
        switch (in.u8() % 3) {
          case 0: g_reader.present = false; break;
          case 1: g_reader.present = true; break;
          default: card_reset(); break;
        }
        break;
      }
      case 46: {
        f->C_Finalize(in.u8() % 8 == 0 ? &arena : nullptr);
        sessions.clear();
        objects.clear();
        enc.clear();
        dec.clear();
        initialize();
        break;
      }
      default: {
        // Functions the module does not offer answer at once.
        const CK_SESSION_HANDLE s = session();
        CK_ULONG n = 0;
        f->C_SignUpdate(s, nullptr, 0);
        f->C_GetOperationState(s, nullptr, &n);
        f->C_GetFunctionStatus(s);
        f->C_CancelFunction(s);
        break;
      }
    }
    return true;
  }
};

std::string& card_text() {
  static std::string text;
  return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string err;
  if (card_text().empty()) {
    // A private card-table name for this process, and the demo card (two
    // RSA-2048 key pairs: made once, then copied from its text).
    static const std::string sock = "/nonexistent/vorn-fuzz-p11-" + std::to_string(getpid());
    setenv("PCSCLITE_CSOCK_NAME", sock.c_str(), 1);
    vorn::cardsim::PersoOptions o = vorn::cardsim::demo_defaults();
    o.serial_given = true;
    auto demo = vorn::cardsim::Card::demo(o, &err);
    if (!demo) __builtin_trap();
    card_text() = demo->to_text();
  }
  g_reader.card = vorn::cardsim::Card::from_text(card_text(), &err);
  if (!g_reader.card) __builtin_trap();
  std::uint32_t counter = 0;
  g_reader.card->set_random([&counter](std::uint8_t* out, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<std::uint8_t>(++counter * 167);
  });
  if (std::getenv("FUZZ_P11_TRACE") != nullptr) {
    // For triage: the card's APDU trace on stderr.
    g_reader.card->set_trace([](std::string_view line) { std::fprintf(stderr, "%.*s\n", static_cast<int>(line.size()), line.data()); });
  }
  g_reader.card->power_on();
  g_reader.present = true;

  Input in(data, size);
  Program p(in);
  CK_FUNCTION_LIST* list = nullptr;
  if (C_GetFunctionList(&list) != CKR_OK || list == nullptr) __builtin_trap();
  p.f = list;
  p.x = reinterpret_cast<VornFunctionList*>(list);
  p.initialize();
  for (int i = 0; i < 96 && !in.empty(); ++i) p.step();
  p.f->C_Finalize(nullptr);

  // Leave nothing behind for the next input: no card, no table.
  card_table_close();
  card_table_unlink(kImage);
  g_reader.handles.clear();
  g_reader.card.reset();
  return 0;
}
