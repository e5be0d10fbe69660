// PKCS11_VORN: the module's records and the helpers shared by its parts.
//
// One Module per process: the lock callbacks and their 22 handles, the
// counters and the 10-slot table. A Slot is a PC/SC reader; its token part
// (objects, card handle, token info, mechanisms, sessions, login, held PIN)
// is reset whenever the token goes away. See docs/pkcs11.md.
#pragma once
#include <winscard.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "crypt_state.h"
#include "p11.h"
#include "vorn/result.h"
#include "vorn/secure.h"

class CardOperation;  // cardlayer.h

namespace p11 {

inline constexpr CK_ULONG kMaxSlots = 10;
inline constexpr CK_ULONG kMaxSessions = 10;
inline constexpr std::size_t kTokenObjects = 79;
inline constexpr std::size_t kSessionObjects = 10;
inline constexpr std::size_t kAttrRows = 63;
// The mechanism table: the 27 rows of the module's own table, then the
// extension rows today's clients need (raw RSA, RSA-PSS, hash-and-sign,
// SHA-384/512 digests; see docs/pkcs11.md).
inline constexpr std::size_t kBaseMechRows = 27;
inline constexpr std::size_t kMechRows = kBaseMechRows + 11;
inline constexpr CK_ULONG kNobody = 100;  // login state: nobody logged in

// Module flags.
inline constexpr std::uint32_t kFlagInitialised = 1u << 0;
inline constexpr std::uint32_t kFlagNoLocking = 1u << 1;
inline constexpr std::uint32_t kFlagListFilled = 1u << 2;

// The 22 lock handles; the module lock first, the inner locks after it.
enum LockId : int {
  kLockModule = 0,
  kLockSessionLookup,
  kLockRefresh,
  kLockSetup,
  kLockTeardown,
  kLockSessionClose,
  kLockObjectLookup,
  kLockObjectHandle,
  kLockTemplateCopy,
  kLockObjectBuild,
  kLockAttrLookup,
  kLockSignOp,
  kLockVerifyOp,
  kLockEncryptOp,
  kLockDecryptOp,
  kLockDigestOp,
  kLockRandom,
  kLockKeyGen,
  kLockWrap,
  kLockUnwrap,
  kLockDerive,
  kLockSpare,
  kLockCount  // 22
};
static_assert(kLockCount == 22);

// A value block owned by an attribute set, in wiping storage because key
// material lives in the same blocks. Present with length 0 is present.
class Value {
 public:
  Value() = default;
  Value(const void* p, std::size_t n) { assign(p, n); }
  Value(const Value&) = delete;
  Value& operator=(const Value&) = delete;
  Value(Value&& o) noexcept : bytes_(std::move(o.bytes_)), present_(o.present_) { o.clear(); }
  Value& operator=(Value&& o) noexcept {
    if (this != &o) {
      bytes_ = std::move(o.bytes_);
      present_ = o.present_;
      o.clear();
    }
    return *this;
  }
  ~Value() = default;

  void assign(const void* p, std::size_t n) {
    clear();
    bytes_.assign(static_cast<const std::uint8_t*>(p), static_cast<const std::uint8_t*>(p) + n);
    present_ = true;
  }
  // Frees the block (the allocator wipes it) and marks the value absent.
  void clear() {
    vorn::SecureBytes().swap(bytes_);
    present_ = false;
  }
  bool present() const { return present_; }
  std::size_t size() const { return bytes_.size(); }
  const std::uint8_t* data() const { return bytes_.data(); }
  std::uint8_t* data() { return bytes_.data(); }

 private:
  vorn::SecureBytes bytes_;
  bool present_ = false;
};

// One object's attributes: one place per row of the attribute table.
struct AttrSet {
  std::array<Value, kAttrRows> rows;
};

// Object entry of the token table or a session table.
struct Object {
  std::unique_ptr<AttrSet> attrs;  // null: free, or listed but not loaded yet
  CK_OBJECT_HANDLE handle = 0;
  std::uint32_t card_id = 0;  // 0: exists only in the module
  std::uint8_t kind = 0;      // bits 16-23 of card_id

  bool used() const { return handle != 0; }
  void reset() {
    attrs.reset();
    handle = 0;
    card_id = 0;
    kind = 0;
  }
};

// A signing or verification context. The PSS rows carry their digest, the
// MGF1 digest (software digest ids) and the salt length from the
// mechanism's parameters.
struct OpContext {
  bool active = false;
  CK_MECHANISM_TYPE mechanism = 0;
  CK_OBJECT_HANDLE key = 0;
  std::uint8_t pss_hash = 0;
  std::uint8_t pss_mgf_hash = 0;
  std::uint32_t pss_salt = 0;
};

struct SearchAttr {
  CK_ATTRIBUTE_TYPE type = 0;
  Value value;
};

struct Search {
  bool active = false;
  std::vector<SearchAttr> templ;
  std::vector<CK_OBJECT_HANDLE> results;
  std::size_t pos = 0;
};

// Session record. Contexts of later operations are added here.
struct Session {
  CK_SESSION_HANDLE handle = 0;  // 0: place free
  CK_SESSION_INFO info{};
  std::array<Object, kSessionObjects> objects;
  Search search;
  OpContext sign;
  OpContext verify;
  CryptContext encrypt;  // crypt.cpp
  CryptContext decrypt;
  DigestContext digest;  // digest.cpp
};

struct MechRow {
  CK_MECHANISM_TYPE type;
  CK_MECHANISM_INFO info;
  CK_KEY_TYPE key_type;  // the module table's key type for this mechanism
};

struct Slot {
  SCARDCONTEXT context = 0;
  bool in_use = false;
  CK_SLOT_INFO info{};
  std::string reader;  // the PC/SC reader name, as listed, for every connect

  // Token part: reset when the token goes away.
  std::array<Object, kTokenObjects> objects;
  SCARDHANDLE card = 0;
  CK_TOKEN_INFO token{};
  std::array<MechRow, kMechRows> mechs{};
  std::uint32_t mech_count = 0;
  std::array<Session, kMaxSessions> sessions;
  CK_ULONG login = kNobody;
  bool pin_held = false;
  vorn::Secret<8> pin;

  bool token_present() const { return (info.flags & CKF_TOKEN_PRESENT) != 0; }
};

struct Module {
  std::uint32_t flags = 0;
  CK_CREATEMUTEX create_mutex = nullptr;
  CK_DESTROYMUTEX destroy_mutex = nullptr;
  CK_LOCKMUTEX lock_mutex = nullptr;
  CK_UNLOCKMUTEX unlock_mutex = nullptr;
  std::array<void*, kLockCount> locks{};
  CK_ULONG slot_count = 0;
  CK_ULONG handle_counter = 0;
  CK_ULONG sessions_opened = 0;
  CK_ULONG object_counter = 0;
  std::array<Slot, kMaxSlots> slots;

  bool initialised() const { return (flags & kFlagInitialised) != 0; }
};

Module& mod();

// Takes one of the 22 locks for a scope when callbacks are in use.
class Guard {
 public:
  explicit Guard(LockId id);
  Guard(const Guard&) = delete;
  Guard& operator=(const Guard&) = delete;
  ~Guard();

 private:
  void* handle_ = nullptr;
};

// Frame helpers (slots.cpp).
std::uint32_t slot_key(const Slot& slot);
CK_ULONG slot_id(const Slot& slot);
CK_RV reader_scan();
CK_RV token_refresh(Slot& slot);
CK_RV token_setup(Slot& slot);
void token_teardown(Slot& slot);

const std::array<MechRow, kMechRows>& mechanism_table();
void blank_copy(CK_UTF8CHAR* dst, std::size_t cap, const std::string& text);

// Sessions (session.cpp).
CK_RV session_lookup(CK_SESSION_HANDLE h, Slot** slot, Session** sess);
CK_RV session_close(CK_SESSION_HANDLE h);
// The slot's card operations: begin takes the PC/SC transaction alone; open
// opens the channel of `app` and, while a user is logged in, verifies the
// held PIN there (CKR_DEVICE_ERROR on failure); close closes the channel and
// logs the held PIN's reference out again (CKR_DEVICE_ERROR when that
// logout fails). Every open is followed by its close, failed or not.
vorn_rv slot_op_begin(CardOperation& op, const Slot& slot);
CK_RV slot_op_open(CardOperation& op, const Slot& slot, std::uint8_t app);
CK_RV slot_op_close(CardOperation& op);
void slot_pin_forget(Slot& slot);
void sessions_to_public(Slot& slot);
bool logged_in(const Slot& slot);

// Object store (objects.cpp).
inline constexpr int kRowClass = 4;
int attr_row(CK_ATTRIBUTE_TYPE type);
CK_RV objects_load(Slot& slot);
void objects_drop_token(Slot& slot);
void objects_drop_session(Session& sess);
CK_RV object_lookup(CK_OBJECT_HANDLE h, Slot** slot, Object** obj);
// The key of an operation's init: a private key without the login answers
// CKR_USER_NOT_LOGGED_IN, any other failed lookup the entry point's `invalid`.
inline CK_RV key_lookup(CK_OBJECT_HANDLE h, Slot** slot, Object** obj, CK_RV invalid) {
  const CK_RV rv = object_lookup(h, slot, obj);
  if (rv == CKR_OK || rv == CKR_USER_NOT_LOGGED_IN) return rv;
  return invalid;
}
const Value* attr_get(const Object& obj, CK_ATTRIBUTE_TYPE type);
bool attr_bool(const Object& obj, CK_ATTRIBUTE_TYPE type, bool* value);  // false when absent
bool attr_ulong(const Object& obj, CK_ATTRIBUTE_TYPE type, CK_ULONG* value);
CK_RV object_read_value(Slot& slot, Object& obj);
std::uint8_t object_app(const Object& obj);

}  // namespace p11
