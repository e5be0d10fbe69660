// Slots and tokens: the reader scan, presence probe, same-card check, token
// refresh, set-up and teardown, and the slot, token and mechanism queries.
#include <algorithm>
#include <cstring>

#include "cardlayer.h"
#include "entry.h"
#include "module.h"

namespace p11 {

namespace {

constexpr CK_FLAGS kSlotFlags = CKF_REMOVABLE_DEVICE | CKF_HW_SLOT;  // 6

constexpr CK_FLAGS kKeyOps = CKF_HW | CKF_ENCRYPT | CKF_DECRYPT | CKF_WRAP | CKF_UNWRAP;  // 0x60301
constexpr CK_FLAGS kGen = CKF_HW | CKF_GENERATE;                                             // 0x8001
constexpr CK_FLAGS kDigest = CKF_HW | CKF_DIGEST;                                            // 0x401
constexpr CK_FLAGS kDerive = CKF_HW | CKF_DERIVE;                                            // 0x80001
constexpr CK_FLAGS kSignVerify = CKF_HW | CKF_SIGN | CKF_VERIFY;                             // 0x2801

const std::array<MechRow, kMechRows> kMechanisms = {{
    {CKM_RSA_PKCS_KEY_PAIR_GEN, {1024, 2048, CKF_HW | CKF_GENERATE_KEY_PAIR}, 0},
    {CKM_RSA_PKCS,
     {1024, 2048,
      CKF_HW | CKF_ENCRYPT | CKF_DECRYPT | CKF_SIGN | CKF_VERIFY | CKF_WRAP | CKF_UNWRAP},
     0},
    {CKM_RC2_KEY_GEN, {1, 1024, kGen}, CKK_RC2},
    {CKM_RC2_ECB, {1, 1024, kKeyOps}, CKK_RC2},
    {CKM_RC2_CBC, {1, 1024, kKeyOps}, CKK_RC2},
    {CKM_RC2_CBC_PAD, {1, 1024, kKeyOps}, CKK_RC2},
    {CKM_RC4_KEY_GEN, {1, 192, kGen}, CKK_RC4},
    {CKM_RC4, {1, 192, CKF_HW | CKF_ENCRYPT | CKF_DECRYPT}, CKK_RC4},
    {CKM_DES_KEY_GEN, {8, 8, kGen}, CKK_DES},
    {CKM_DES_ECB, {8, 8, kKeyOps}, CKK_DES},
    {CKM_DES_CBC, {8, 8, kKeyOps}, CKK_DES},
    {CKM_DES_CBC_PAD, {8, 8, kKeyOps}, CKK_DES},
    {CKM_DES2_KEY_GEN, {16, 16, kGen}, CKK_DES2},
    {CKM_DES3_KEY_GEN, {24, 24, kGen}, CKK_DES3},
    {CKM_DES3_ECB, {16, 24, kKeyOps}, CKK_DES3},
    {CKM_DES3_CBC, {16, 24, kKeyOps}, CKK_DES3},
    {CKM_DES3_CBC_PAD, {16, 24, kKeyOps}, CKK_DES3},
    {CKM_AES_KEY_GEN, {16, 32, kGen}, CKK_AES},
    {CKM_AES_ECB, {16, 32, kKeyOps}, CKK_AES},
    {CKM_AES_CBC, {16, 32, kKeyOps}, CKK_AES},
    {CKM_AES_CBC_PAD, {16, 32, kKeyOps}, CKK_AES},
    {CKM_MD5, {0, 0, kDigest}, CKK_VENDOR_DEFINED},
    {CKM_SHA_1, {0, 0, kDigest}, CKK_VENDOR_DEFINED},
    {CKM_SHA256, {0, 0, kDigest}, CKK_VENDOR_DEFINED},
    {CKM_SSL3_PRE_MASTER_KEY_GEN, {48, 48, kGen}, CKK_GENERIC_SECRET},
    {CKM_SSL3_MASTER_KEY_DERIVE, {48, 48, kDerive}, CKK_GENERIC_SECRET},
    {CKM_SSL3_KEY_AND_MAC_DERIVE, {0, 0, kDerive}, CKK_GENERIC_SECRET},
    // Extension rows, after the module's own 27: what TLS 1.3 clients
    // (RSA-PSS over a raw private-key operation) and hash-and-sign callers
    // ask for. Card keys sign on the card, session keys in software.
    {CKM_RSA_X_509, {1024, 2048, kSignVerify}, 0},
    {CKM_RSA_PKCS_PSS, {1024, 2048, kSignVerify}, 0},
    {CKM_SHA1_RSA_PKCS, {1024, 2048, kSignVerify}, 0},
    {CKM_SHA256_RSA_PKCS, {1024, 2048, kSignVerify}, 0},
    {CKM_SHA384_RSA_PKCS, {1024, 2048, kSignVerify}, 0},
    {CKM_SHA512_RSA_PKCS, {1024, 2048, kSignVerify}, 0},
    {CKM_SHA256_RSA_PKCS_PSS, {1024, 2048, kSignVerify}, 0},
    {CKM_SHA384_RSA_PKCS_PSS, {1024, 2048, kSignVerify}, 0},
    {CKM_SHA512_RSA_PKCS_PSS, {1024, 2048, kSignVerify}, 0},
    {CKM_SHA384, {0, 0, kDigest}, CKK_VENDOR_DEFINED},
    {CKM_SHA512, {0, 0, kDigest}, CKK_VENDOR_DEFINED},
}};

// Resets the token part of the slot record.
void token_part_reset(Slot& slot) {
  for (auto& o : slot.objects) o.reset();
  slot.card = 0;
  slot.token = CK_TOKEN_INFO{};
  slot.mechs = {};
  slot.mech_count = 0;
  for (auto& s : slot.sessions) s = Session{};
  slot.login = kNobody;
  slot_pin_forget(slot);
}

// Parses the token information file (tag, one length byte, content).
void parse_token_info(Slot& slot, const BYTE* buf, DWORD len) {
  CK_TOKEN_INFO& t = slot.token;
  DWORD pos = 0;
  while (pos < len) {
    BYTE tag = buf[pos];
    if (tag != 0x03 && tag != 0x0C && tag != 0x80) {
      ++pos;
      continue;
    }
    if (pos + 1 >= len) break;
    DWORD l = buf[pos + 1];
    const BYTE* c = buf + pos + 2;
    if (pos + 2 + l > len) break;  // an item running past the file ends the scan
    if (tag == 0x03 && l != 0) {
      t.flags = 0;
      if (l >= 2) {
        if (c[1] & 0x80) t.flags |= CKF_WRITE_PROTECTED;
        if (c[1] & 0x40) t.flags |= CKF_LOGIN_REQUIRED;
        if (c[1] & 0x20) t.flags |= CKF_RNG;
      }
    } else if (tag == 0x0C) {
      std::memset(t.manufacturerID, ' ', sizeof t.manufacturerID);
      std::memcpy(t.manufacturerID, c, std::min<DWORD>(l, 31));
    } else if (tag == 0x80 && l >= 4) {
      t.hardwareVersion.major = c[0];
      t.hardwareVersion.minor = c[1];
      t.firmwareVersion.major = c[2];
      t.firmwareVersion.minor = c[3];
      // Label: the text, a blank, then the reader name, cut at 31 bytes; the
      // 32nd byte stays a blank.
      std::string label(reinterpret_cast<const char*>(c + 4), l - 4);
      if (label.size() < 31) label += " " + slot.reader;
      if (label.size() > 31) label.resize(31);
      blank_copy(t.label, sizeof t.label, label);
    }
    pos += l + 2;
  }
}

}  // namespace

const std::array<MechRow, kMechRows>& mechanism_table() { return kMechanisms; }

void blank_copy(CK_UTF8CHAR* dst, std::size_t cap, const std::string& text) {
  std::memset(dst, ' ', cap);
  std::memcpy(dst, text.data(), std::min(cap, text.size()));
}

std::uint32_t slot_key(const Slot& slot) { return static_cast<std::uint32_t>(slot_id(slot)); }

CK_ULONG slot_id(const Slot& slot) {
  return static_cast<CK_ULONG>(&slot - mod().slots.data());
}

// Is a VORN card in the slot's reader? Connects and disconnects again.
static CK_RV presence_probe(Slot& slot) {
  CardProbe p;
  const vorn_rv rv = card_probe(slot.context, slot.reader.c_str(), &p);
  if (!p.connected) {
    if (rv == static_cast<vorn_rv>(SCARD_W_REMOVED_CARD)) return CKR_DEVICE_REMOVED;
    // An empty reader is no device fault.
    if (rv == static_cast<vorn_rv>(SCARD_E_NO_SMARTCARD)) return CKR_TOKEN_NOT_PRESENT;
    return CKR_DEVICE_ERROR;
  }
  if (rv != VORN_OK) return CKR_DEVICE_ERROR;
  if (!p.present) return CKR_DEVICE_REMOVED;
  if (!p.vorn) return CKR_TOKEN_NOT_RECOGNIZED;
  return CKR_OK;
}

// Is the card behind the slot's handle still the token's card?
static CK_RV same_card_check(Slot& slot) {
  LONG rv = SCardBeginTransaction(slot.card);
  if (rv == SCARD_S_SUCCESS) {
    SCardEndTransaction(slot.card, SCARD_LEAVE_CARD);
    return CKR_OK;
  }
  if (rv == static_cast<LONG>(SCARD_W_REMOVED_CARD)) return CKR_DEVICE_REMOVED;
  if (rv != static_cast<LONG>(SCARD_W_RESET_CARD) && rv != static_cast<LONG>(SCARD_E_INVALID_VALUE))
    return CKR_DEVICE_ERROR;
  DWORD proto = 0;
  if (SCardReconnect(slot.card, SCARD_SHARE_SHARED, SCARD_PROTOCOL_T0, SCARD_LEAVE_CARD, &proto) !=
      SCARD_S_SUCCESS)
    return CKR_DEVICE_ERROR;
  if (rv == static_cast<LONG>(SCARD_W_RESET_CARD)) return CKR_OK;
  CK_UTF8CHAR serial[16];
  // A card-layer code is no PKCS#11 value.
  if (card_read_serial(slot_key(slot), slot.card, serial) != VORN_OK) return CKR_DEVICE_ERROR;
  return std::memcmp(serial, slot.token.serialNumber, 16) == 0 ? CKR_OK : CKR_DEVICE_REMOVED;
}

CK_RV token_setup(Slot& slot) {
  Guard g(kLockSetup);
  token_part_reset(slot);
  SCARDHANDLE h = 0;
  vorn_rv crv = card_connect(slot.context, slot.reader.c_str(), &h);
  if (crv != VORN_OK) return ckr_of(Fail::Card, crv);
  crv = card_begin(h);
  if (crv != VORN_OK) {
    SCardDisconnect(h, SCARD_LEAVE_CARD);
    return ckr_of(Fail::Card, crv);
  }
  const std::uint32_t key = slot_key(slot);
  card_attach(h, key);
  sm_channel_reset(h, key);
  slot.card = h;
  // A failed step leaves the slot without a token; the connection is not kept.
  auto fail = [&](vorn_rv code) {
    card_detach(h, key);
    card_end(h);
    SCardDisconnect(h, SCARD_LEAVE_CARD);
    token_part_reset(slot);
    return ckr_of(Fail::Card, code);
  };

  card_read_serial(key, h, slot.token.serialNumber);  // no serial: the field stays blank
  crv = card_select_file(key, h, CARD_FILE_MF, nullptr, nullptr);
  if (crv != VORN_OK) return fail(crv);
  // Without the token information the write protection and the login
  // requirement are unknown: no token rather than one that claims neither.
  std::vector<BYTE> file(1000);
  DWORD len = static_cast<DWORD>(file.size());
  crv = card_read_binary(key, h, CARD_FILE_TOKEN_INFO, 0, 0, file.data(), &len);
  if (crv != VORN_OK) return fail(crv);
  parse_token_info(slot, file.data(), std::min<DWORD>(len, 1000));
  BYTE pin_state = 0;
  len = 1;
  crv = card_get_data(key, h, CARD_DATA_PIN_STATE, &pin_state, &len);
  if (crv != VORN_OK) return fail(crv);
  if (pin_state == 3) slot.token.flags |= CKF_TOKEN_INITIALIZED | CKF_USER_PIN_TO_BE_CHANGED;
  if (pin_state == 4) slot.token.flags |= CKF_TOKEN_INITIALIZED | CKF_USER_PIN_INITIALIZED;
  CK_TOKEN_INFO& t = slot.token;
  std::memset(t.model, ' ', sizeof t.model);  // blank-padded text field
  t.ulMaxSessionCount = kMaxSessions;
  t.ulMaxRwSessionCount = kMaxSessions;
  t.ulSessionCount = 0;
  t.ulRwSessionCount = 0;
  t.ulMaxPinLen = 8;
  t.ulMinPinLen = 4;
  t.ulTotalPublicMemory = CK_UNAVAILABLE_INFORMATION;
  t.ulFreePublicMemory = CK_UNAVAILABLE_INFORMATION;
  t.ulTotalPrivateMemory = CK_UNAVAILABLE_INFORMATION;
  t.ulFreePrivateMemory = CK_UNAVAILABLE_INFORMATION;
  // Text fields the card did not fill are blanks, never zero bytes.
  if (t.label[0] == 0) std::memset(t.label, ' ', sizeof t.label);
  if (t.manufacturerID[0] == 0) std::memset(t.manufacturerID, ' ', sizeof t.manufacturerID);
  if (t.serialNumber[0] == 0) std::memset(t.serialNumber, ' ', sizeof t.serialNumber);
  slot.mechs = kMechanisms;
  slot.mech_count = kMechRows;
  slot.info.flags |= CKF_TOKEN_PRESENT;
  slot.login = kNobody;
  slot_pin_forget(slot);
  card_end(h);
  return CKR_OK;
}

void token_teardown(Slot& slot) {
  Guard g(kLockTeardown);
  if (slot.token_present() || slot.card != 0) {
    for (auto& s : slot.sessions) {
      if (s.handle != 0) session_close(s.handle);
    }
  }
  objects_drop_token(slot);
  slot.info.flags &= ~static_cast<CK_FLAGS>(CKF_TOKEN_PRESENT);
  if (slot.card != 0) {
    card_detach(slot.card, slot_key(slot));
    SCardDisconnect(slot.card, SCARD_LEAVE_CARD);
  }
  token_part_reset(slot);
}

// The slot's own connection still answers for a VORN card that was neither
// removed nor reset since the token was set up. Then the presence probe and
// the same-card check cannot fail, and the refresh needs one PC/SC call
// instead of five; in every other case the full probe and check run.
static bool token_unchanged(Slot& slot) {
  CardProbe p;
  return card_status(slot.card, &p) == VORN_OK && p.present && p.vorn;
}

CK_RV token_refresh(Slot& slot) {
  Guard g(kLockRefresh);
  if (slot.token_present()) {
    if (slot.card != 0 && token_unchanged(slot)) return CKR_OK;
    CK_RV rv = presence_probe(slot);
    if (rv != CKR_OK) {
      token_teardown(slot);
      return rv == CKR_TOKEN_NOT_RECOGNIZED || rv == CKR_TOKEN_NOT_PRESENT ? CKR_DEVICE_ERROR : rv;
    }
    rv = same_card_check(slot);
    if (rv == CKR_DEVICE_REMOVED) {
      token_teardown(slot);
      token_setup(slot);
    }
    return rv;
  }
  if (presence_probe(slot) == CKR_OK) {
    token_setup(slot);
    return CKR_SLOT_ID_INVALID;
  }
  return CKR_TOKEN_NOT_PRESENT;
}

CK_RV reader_scan() {
  Module& m = mod();
  SCARDCONTEXT ctx = 0;
  LONG rv = SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &ctx);
  if (rv != SCARD_S_SUCCESS) return ckr_of(Fail::Card, static_cast<vorn_rv>(rv));
  std::vector<std::string> names;
  const vorn_rv lrv = card_list_readers(ctx, &names);
  if (lrv != VORN_OK) {
    SCardReleaseContext(ctx);
    return ckr_of(Fail::Card, lrv);
  }
  static_assert(kMaxSlots == CARD_MAX_READERS);
  m.slot_count = 0;
  CK_ULONG taken = 0;
  for (const std::string& name : names) {
    Slot& slot = m.slots[taken];
    token_part_reset(slot);
    slot.info = CK_SLOT_INFO{};
    slot.reader = name;
    // slotDescription shows the reader name blank-padded; reader keeps the
    // exact name for the PC/SC calls, whatever its length.
    blank_copy(slot.info.slotDescription, sizeof slot.info.slotDescription, slot.reader);
    std::memset(slot.info.manufacturerID, ' ', sizeof slot.info.manufacturerID);
    slot.in_use = true;
    slot.info.flags = kSlotFlags;
    slot.info.hardwareVersion = {1, 0};
    slot.info.firmwareVersion = {1, 0};
    slot.context = ctx;
    ++taken;

    // A card whose set-up fails leaves its slot without a token; the
    // other readers are set up all the same.
    CardProbe probe;
    if (card_probe(ctx, name.c_str(), &probe) == VORN_OK && probe.present && probe.vorn) token_setup(slot);
  }
  m.slot_count = taken;
  return CKR_OK;
}

// Checks shared by the slot-based queries; on success *out is the slot.
static CK_RV slot_checks(CK_SLOT_ID id, Slot** out) {
  Module& m = mod();
  if (id >= kMaxSlots) return CKR_SLOT_ID_INVALID;
  if (m.slot_count == 0) return CKR_GENERAL_ERROR;
  if (!m.slots[id].in_use) return CKR_SLOT_ID_INVALID;
  *out = &m.slots[id];
  return CKR_OK;
}

// The mechanism queries' start: the caller's count or info pointer, the
// slot checks and the token refresh.
static CK_RV mech_query_entry(const void* answer, CK_SLOT_ID id, Slot** out) {
  if (answer == nullptr) return CKR_ARGUMENTS_BAD;
  const CK_RV rv = slot_checks(id, out);
  if (rv != CKR_OK) return rv;
  return token_refresh(**out);
}

}  // namespace p11

using namespace p11;

static CK_RV C_GetSlotList_body(CK_BBOOL tokenPresent, CK_SLOT_ID_PTR pSlotList,
                                    CK_ULONG_PTR pulCount) {
  Module& m = mod();
  if (pulCount == nullptr) return CKR_ARGUMENTS_BAD;
  if (m.slot_count == 0) return CKR_GENERAL_ERROR;
  std::vector<CK_SLOT_ID> ids;
  for (CK_ULONG i = 0; i < kMaxSlots; ++i) {
    Slot& slot = m.slots[i];
    if (!slot.in_use) continue;
    if (tokenPresent) {
      if (slot.token_present()) {
        if (presence_probe(slot) != CKR_OK) {
          token_teardown(slot);
          continue;
        }
        if (same_card_check(slot) == CKR_DEVICE_REMOVED) {
          token_teardown(slot);
          token_setup(slot);
        }
      } else {
        if (presence_probe(slot) != CKR_OK) continue;
        token_setup(slot);
      }
      // A card whose set-up failed is no token.
      if (!slot.token_present()) continue;
    }
    ids.push_back(i);
  }
  if (pSlotList != nullptr) {
    if (*pulCount < ids.size()) {
      *pulCount = ids.size();
      return CKR_BUFFER_TOO_SMALL;
    }
    std::copy(ids.begin(), ids.end(), pSlotList);
  }
  *pulCount = ids.size();
  return CKR_OK;
}

static CK_RV C_GetSlotInfo_body(CK_SLOT_ID slotID, CK_SLOT_INFO_PTR pInfo) {
  Module& m = mod();
  if (pInfo == nullptr) return CKR_ARGUMENTS_BAD;
  if (m.slot_count == 0) return CKR_GENERAL_ERROR;
  if (slotID >= kMaxSlots || !m.slots[slotID].in_use) return CKR_SLOT_ID_INVALID;
  Slot& slot = m.slots[slotID];
  token_refresh(slot);
  *pInfo = slot.info;
  return CKR_OK;
}

static CK_RV C_GetTokenInfo_body(CK_SLOT_ID slotID, CK_TOKEN_INFO_PTR pInfo) {
  if (pInfo == nullptr) return CKR_ARGUMENTS_BAD;
  Slot* slot = nullptr;
  CK_RV rv = slot_checks(slotID, &slot);
  if (rv != CKR_OK) return rv;
  if (slot->token_present()) {
    rv = presence_probe(*slot);
    if (rv != CKR_OK) {
      token_teardown(*slot);
      return rv;
    }
    rv = same_card_check(*slot);
    if (rv == CKR_DEVICE_REMOVED) {
      token_teardown(*slot);
      token_setup(*slot);
      rv = CKR_OK;
    } else if (rv != CKR_OK) {
      return rv;
    }
    *pInfo = slot->token;
    return rv;
  }
  rv = presence_probe(*slot);
  // A VORN card whose set-up fails is reported, not shown as an empty token.
  if (rv == CKR_OK && token_setup(*slot) != CKR_OK) rv = CKR_DEVICE_ERROR;
  *pInfo = slot->token;
  return rv;
}

static CK_RV C_GetMechanismList_body(CK_SLOT_ID slotID, CK_MECHANISM_TYPE_PTR pMechanismList,
                                         CK_ULONG_PTR pulCount) {
  Slot* slot = nullptr;
  const CK_RV rv = mech_query_entry(pulCount, slotID, &slot);
  if (rv != CKR_OK) return rv;
  const CK_ULONG n = slot->mech_count;
  if (pMechanismList == nullptr) {
    *pulCount = n;
    return CKR_OK;
  }
  if (*pulCount < n) {
    *pulCount = n;
    return CKR_BUFFER_TOO_SMALL;
  }
  for (CK_ULONG i = 0; i < n; ++i) pMechanismList[i] = slot->mechs[i].type;
  *pulCount = n;
  return CKR_OK;
}

static CK_RV C_GetMechanismInfo_body(CK_SLOT_ID slotID, CK_MECHANISM_TYPE type,
                                         CK_MECHANISM_INFO_PTR pInfo) {
  Slot* slot = nullptr;
  const CK_RV rv = mech_query_entry(pInfo, slotID, &slot);
  if (rv != CKR_OK) return rv;
  for (CK_ULONG i = 0; i < slot->mech_count; ++i) {
    if (slot->mechs[i].type == type) {
      *pInfo = slot->mechs[i].info;
      return CKR_OK;
    }
  }
  return CKR_MECHANISM_INVALID;
}

// The exported functions: the body of each behind the boundary of entry.h.
VORN_P11_EXPORT CK_RV C_GetSlotList(CK_BBOOL tokenPresent, CK_SLOT_ID_PTR pSlotList, CK_ULONG_PTR pulCount) {
  return p11_module([&] { return C_GetSlotList_body(tokenPresent, pSlotList, pulCount); });
}

VORN_P11_EXPORT CK_RV C_GetSlotInfo(CK_SLOT_ID slotID, CK_SLOT_INFO_PTR pInfo) {
  return p11_module([&] { return C_GetSlotInfo_body(slotID, pInfo); });
}

VORN_P11_EXPORT CK_RV C_GetTokenInfo(CK_SLOT_ID slotID, CK_TOKEN_INFO_PTR pInfo) {
  return p11_module([&] { return C_GetTokenInfo_body(slotID, pInfo); });
}

VORN_P11_EXPORT CK_RV C_GetMechanismList(CK_SLOT_ID slotID, CK_MECHANISM_TYPE_PTR pMechanismList, CK_ULONG_PTR pulCount) {
  return p11_module([&] { return C_GetMechanismList_body(slotID, pMechanismList, pulCount); });
}

VORN_P11_EXPORT CK_RV C_GetMechanismInfo(CK_SLOT_ID slotID, CK_MECHANISM_TYPE type, CK_MECHANISM_INFO_PTR pInfo) {
  return p11_module([&] { return C_GetMechanismInfo_body(slotID, type, pInfo); });
}
