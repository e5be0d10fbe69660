// Card access layer of the VORN card: connection and the shared card state
// table, APDU transport, the secure channel, application selects and PIN
// commands, card objects with their attribute lists, and on-card key
// operations.
//
// Conventions for every operation below:
//  - The first two arguments are the reader key (the deliverable's own index
//    0..9 of the reader) and the PC/SC card handle, in that order. The three
//    table operations card_attach, card_detach and sm_channel_reset take the
//    handle first and the reader key second.
//  - Results are 32-bit codes (<vorn/result.h>): 0 success, PC/SC errors
//    passed through, CARDERR_* of the layer, 0x2000SW1SW2 for a refused
//    status word, CARDERR_UNKNOWN (0xFFFFFFFF) for an unknown one.
//  - Lengths are DWORD. "length in/out" means: capacity of the buffer on
//    entry, bytes written (or the needed size with CARDERR_BUFFER_TOO_SMALL)
//    on return.
//  - All card commands must run inside the caller's PC/SC transaction, after
//    card_attach and before card_detach.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#include <winscard.h>
#else
#include <winscard.h>
#endif

#include "vorn/alg.h"
#include "vorn/result.h"

// ---------------------------------------------------------------------------
// Fixed values of the card
// ---------------------------------------------------------------------------

inline constexpr std::uint8_t CARD_APP_NONE = 0;
inline constexpr std::uint8_t CARD_APP_SIGN = 1;  // AP-SIGN
inline constexpr std::uint8_t CARD_APP_CIPH = 2;  // AP-CIPH

inline constexpr std::uint8_t CARD_CHANNEL_CLOSED = 0;
inline constexpr std::uint8_t CARD_CHANNEL_OPEN = 2;

// Direction argument of card_max_chunk.
inline constexpr int CARD_DIR_SEND = 1;  // data sent to the card
inline constexpr int CARD_DIR_RECV = 2;  // data read from the card

// Direction argument of key_crypt.
inline constexpr std::uint8_t KEY_ENCIPHER = 1;
inline constexpr std::uint8_t KEY_DECIPHER = 2;

// PIN references.
inline constexpr std::uint8_t PIN_REF_USER = 0x11;  // user PIN (and its PUK)
inline constexpr std::uint8_t PIN_REF_SO = 0x0A;    // security officer

// Card files.
inline constexpr std::uint16_t CARD_FILE_MF = 0x3F00;
inline constexpr std::uint16_t CARD_FILE_PIN_CACHE = 0x0FCF;
inline constexpr std::uint16_t CARD_FILE_TOKEN_INFO = 0x5032;

// GET DATA items (P1).
inline constexpr std::uint8_t CARD_DATA_ID = 1;       // 16 bytes, serial in 8..15
inline constexpr std::uint8_t CARD_DATA_PIN_STATE = 2; // 1 byte: 3 or 4
inline constexpr std::uint8_t CARD_DATA_OBJ_MAP = 3;  // 40 bytes

// Object handles.
inline constexpr std::uint32_t OBJ_PREFIX_SIGN = 0xF0000000;
inline constexpr std::uint32_t OBJ_PREFIX_CIPH = 0xC0000000;
inline constexpr std::uint32_t OBJ_CONTAINER_MAP = 0xC0000028;  // never listed
inline constexpr std::uint32_t OBJ_MAX_NUMBER = 40;
inline constexpr std::uint32_t OBJ_LIST_CAPACITY = 80;

// Card attribute type of the key identifier (SHA-1 of the RSA modulus).
inline constexpr unsigned long CARD_ATTR_KEY_ID = 0x8004;

// Algorithm identifiers the card knows (vorn/alg.h).
inline constexpr std::uint8_t CARD_ALG_AES128 = VORN_ALG_AES128;
inline constexpr std::uint8_t CARD_ALG_DES = VORN_ALG_DES;
inline constexpr std::uint8_t CARD_ALG_DES2 = VORN_ALG_DES2;
inline constexpr std::uint8_t CARD_ALG_RSA1024 = VORN_ALG_RSA1024;
inline constexpr std::uint8_t CARD_ALG_RSA2048 = VORN_ALG_RSA2048;

// Application identifiers.
inline constexpr std::array<std::uint8_t, 12> kAidSign{0xA0, 0x00, 0x00, 0x00, 0x63, 0x41,
                                                      0x50, 0x2D, 0x53, 0x49, 0x47, 0x4E};
inline constexpr std::array<std::uint8_t, 12> kAidCiph{0xA0, 0x00, 0x00, 0x00, 0x63, 0x41,
                                                      0x50, 0x2D, 0x43, 0x49, 0x50, 0x48};

// ATR of the card and its comparison mask.
inline constexpr std::array<std::uint8_t, 20> kVornAtr{
    0x3B, 0x7F, 0x94, 0x00, 0x00, 0x80, 0x31, 0x80, 0x71, 0x90,
    0x67, 0x56, 0x4F, 0x52, 0x4E, 0x00, 0x00, 0x00, 0x90, 0x00};
inline constexpr std::array<std::uint8_t, 20> kVornAtrMask{
    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0xFF, 0xFF};

// True when the ATR is exactly 20 bytes and equals the pattern under the mask.
bool card_atr_match(const std::uint8_t* atr, DWORD len);
// True when the ATR contains the four letters "VORN" at any position.
bool card_atr_has_vorn(const std::uint8_t* atr, DWORD len);

// ---------------------------------------------------------------------------
// Connection helpers (the deliverables keep their own reader tables)
// ---------------------------------------------------------------------------

// SCardConnect in shared mode with T=0 preferred.
vorn_rv card_connect(SCARDCONTEXT ctx, const char* reader, SCARDHANDLE* handle);
// SCardBeginTransaction; when the card was reset meanwhile, reconnects once
// (shared, T=0, leave card) and begins again.
vorn_rv card_begin(SCARDHANDLE handle);
// SCardEndTransaction leaving the card as it is.
vorn_rv card_end(SCARDHANDLE handle);
// The ATR of the connected card (len in/out).
vorn_rv card_read_atr(SCARDHANDLE handle, std::uint8_t* atr, DWORD* len);

// ---------------------------------------------------------------------------
// Readers: the list, the presence probe and the card's serial
// ---------------------------------------------------------------------------

// A deliverable serves at most this many readers (its reader keys 0..9).
inline constexpr unsigned CARD_MAX_READERS = 10;

// The names of the PC/SC readers in the order listed, at most
// CARD_MAX_READERS of them.
vorn_rv card_list_readers(SCARDCONTEXT ctx, std::vector<std::string>* names);

// What the reader reports for a card.
struct CardProbe {
  bool connected = false;  // card_probe: the connect succeeded
  bool present = false;    // the reader reports a card in it
  bool vorn = false;       // its ATR contains "VORN"
};
// SCardStatus of a connected card: fills present and vorn.
vorn_rv card_status(SCARDHANDLE handle, CardProbe* out);
// Presence probe: connects to the reader (card_connect), card_status,
// disconnects leaving the card. The result is the connect's code while
// connected is false, the status query's code after it.
vorn_rv card_probe(SCARDCONTEXT ctx, const char* reader, CardProbe* out);

// The serial: 16 upper-case hex characters of bytes 8..15 of the 16-byte
// identification item (no terminating zero).
void card_serial_hex(const std::uint8_t* id16, std::uint8_t* out16);
// GET DATA of the identification item and its serial; an item of another
// length than 16 gives CARDERR_BAD_LENGTH. out16 is left as it was on failure.
vorn_rv card_read_serial(std::uint32_t reader_key, SCARDHANDLE handle, std::uint8_t* out16);

// ---------------------------------------------------------------------------
// Card state table: ten slots shared by every process of one image
// ---------------------------------------------------------------------------

inline constexpr unsigned CARD_TABLE_SLOTS = 10;
inline constexpr unsigned CARD_SLOT_HANDLES = 30;
inline constexpr std::uint32_t CARD_SLOT_FREE = 0xFFFFFFFF;

struct CardSlot {
  std::uintptr_t handles[CARD_SLOT_HANDLES];  // 0 marks an empty entry
  std::uint8_t channelState;                  // 0 plain, 2 channel open
  std::uint8_t channelApp;                    // 0 none, 1 AP-SIGN, 2 AP-CIPH
  std::uint8_t sessionKey[16];                // zero while no channel is open
  std::uint32_t refCount;                     // attaches not yet detached
  std::uint32_t readerKey;                    // CARD_SLOT_FREE for a free slot
  std::uint8_t pinCache[8];                   // enciphered PIN block of 0FCF
};
static_assert(sizeof(void*) != 8 || sizeof(CardSlot) == 280, "slot layout");
static_assert(sizeof(void*) != 4 || sizeof(CardSlot) == 156, "slot layout");

// Chooses the table of the deliverable image `image` (letters, digits, '_',
// '-', at most 40 characters). On Linux the table is the file
// "cardtable-<image>" (mode 0600) of the user's private directory
// (<vorn/userdir.h>), and when the process talks to a private PC/SC service
// (PCSCLITE_CSOCK_NAME set) a tag of that socket is appended, so that
// separate PC/SC services never share reader keys. Fails when the directory
// or the file is not the user's alone. A forked child maps the table anew
// (with a lock of its own) on its first use.
// Call before the first card_attach; the first use opens the table of image
// "vorn" when no image was chosen. Calling it again with another name closes
// the previous mapping. On Windows the table is the shared data section of
// the image and the name only selects the lock.
vorn_rv card_table_open(const char* image);
// Unmaps the table of this process (the shared object stays).
void card_table_close();
// Removes the shared object of `image` for the current PC/SC service (tests).
vorn_rv card_table_unlink(const char* image);
// Copies slot `index` (0..9) out of the shared table.
vorn_rv card_table_read(unsigned index, CardSlot* out);
// Holds the table's cross-process lock, the one every claim, join, leave and
// free takes, until card_table_release; the holding thread makes no other
// table call meanwhile. With wait false it answers SCARD_E_TIMEOUT at once
// when another process holds the lock.
vorn_rv card_table_hold(bool wait);
void card_table_release();

// Registers the handle in the slot of the reader key (claiming a free slot
// and loading the PIN cache on first use). Reports nothing.
void card_attach(SCARDHANDLE handle, std::uint32_t reader_key);
// Drops the handle; the last user closes the channel, selects 3F00 and frees
// the slot.
void card_detach(SCARDHANDLE handle, std::uint32_t reader_key);

// Slot accessors; a lookup that fails makes setters do nothing and getters
// return 0 or null. Every getter reads the shared memory anew.
std::uint8_t sm_state_get(std::uint32_t reader_key, SCARDHANDLE handle);
void sm_state_set(std::uint32_t reader_key, SCARDHANDLE handle, std::uint8_t value);
std::uint8_t sm_app_get(std::uint32_t reader_key, SCARDHANDLE handle);
void sm_app_set(std::uint32_t reader_key, SCARDHANDLE handle, std::uint8_t value);
std::uint8_t* sm_key_get(std::uint32_t reader_key, SCARDHANDLE handle);
void sm_key_set(std::uint32_t reader_key, SCARDHANDLE handle, const std::uint8_t* key16);
std::uint8_t* pin_cache_get(std::uint32_t reader_key, SCARDHANDLE handle);
void pin_cache_set(std::uint32_t reader_key, SCARDHANDLE handle, const std::uint8_t* value8);

// This process's flag: 1 after it opened a channel, 0 after it selected an
// application by AID.
std::uint32_t card_channel_opened();

// ---------------------------------------------------------------------------
// APDU transport, status words and files
// ---------------------------------------------------------------------------

// Sends one APDU: in plain while the slot's channel is closed, wrapped and
// unwrapped while it is open. resp_len: capacity in, bytes received (data
// plus SW1 SW2) out. The protocol information is passed to SCardTransmit.
vorn_rv card_transmit(std::uint32_t reader_key, SCARDHANDLE handle, LPCSCARD_IO_REQUEST send_pci,
                      const std::uint8_t* cmd, DWORD cmd_len, LPSCARD_IO_REQUEST recv_pci,
                      std::uint8_t* resp, DWORD* resp_len);

// Error code of a refused status word.
vorn_rv sw_to_error(std::uint8_t sw1, std::uint8_t sw2);

// Largest data field of one APDU for the slot's channel state.
DWORD card_max_chunk(std::uint32_t reader_key, SCARDHANDLE handle, int direction);

// SELECT of a file below 3F00; with fci/fci_len (len in/out) also returns the
// file control information.
vorn_rv card_select_file(std::uint32_t reader_key, SCARDHANDLE handle, std::uint16_t file_id,
                         std::uint8_t* fci, DWORD* fci_len);
// READ BINARY of `length` bytes (0 = whole file) from `offset`. With a null
// buffer returns the file size in *len; otherwise *len is the capacity on
// entry and the count read on return.
vorn_rv card_read_binary(std::uint32_t reader_key, SCARDHANDLE handle, std::uint16_t file_id,
                         std::uint16_t offset, DWORD length, std::uint8_t* buf, DWORD* len);
// UPDATE BINARY of `length` bytes at `offset`.
vorn_rv card_update_binary(std::uint32_t reader_key, SCARDHANDLE handle, std::uint16_t file_id,
                           std::uint16_t offset, DWORD length, const std::uint8_t* data);
// GET DATA item p1 (1, 2 or 3); *len in/out.
vorn_rv card_get_data(std::uint32_t reader_key, SCARDHANDLE handle, std::uint8_t p1,
                      std::uint8_t* buf, DWORD* len);

// ---------------------------------------------------------------------------
// Applications and secure channel
// ---------------------------------------------------------------------------

// SELECT by AID (00 A4 04 04); the card's 61 xx closes any open channel.
// With resp/resp_len (in/out) also returns the control information.
vorn_rv card_select_aid(std::uint32_t reader_key, SCARDHANDLE handle, const std::uint8_t* aid,
                        DWORD aid_len, std::uint8_t* resp, DWORD* resp_len);
// Channel-closing select (04 A4 04 4C, wrapped under the open channel).
vorn_rv card_select_aid_sm(std::uint32_t reader_key, SCARDHANDLE handle, const std::uint8_t* aid,
                           DWORD aid_len);

// Mutual authentication for application 1 or 2 (already selected).
vorn_rv sm_open_channel(std::uint32_t reader_key, SCARDHANDLE handle, std::uint8_t app);
// Select the application and open its channel.
vorn_rv sm_open_app_channel(std::uint32_t reader_key, SCARDHANDLE handle, std::uint8_t app);
// Close the channel, select 3F00 and clear the slot's channel fields.
void sm_channel_reset(SCARDHANDLE handle, std::uint32_t reader_key);
// Make sure the channel of the object's application is open.
vorn_rv sm_select_for_object(std::uint32_t reader_key, SCARDHANDLE handle, std::uint32_t object);
// 4-byte MAC under the slot's session key.
void sm_mac(std::uint32_t reader_key, SCARDHANDLE handle, const std::uint8_t* data, DWORD len,
            std::uint8_t* mac4);
// 1 when the MAC of the data equals mac4, 0 otherwise.
int sm_mac_check(std::uint32_t reader_key, SCARDHANDLE handle, const std::uint8_t* data,
                 DWORD len, const std::uint8_t* mac4);

// Pure secure-messaging steps under a given session key (used by the
// transport; exposed for vectors and fuzzing).
// MAC of `len` bytes.
vorn_rv sm_mac_key(const std::uint8_t* key16, const std::uint8_t* data, DWORD len,
                   std::uint8_t* mac4);
// Wraps a short APDU; out_len in/out (needs cmd_len + 20 bytes at most).
vorn_rv sm_wrap(const std::uint8_t* key16, const std::uint8_t* cmd, DWORD cmd_len,
                std::uint8_t* out, DWORD* out_len);
// Unwraps a response in place: resp holds *len bytes (data, 4 MAC bytes,
// SW1 SW2); on success *len becomes the plain data length plus 2.
vorn_rv sm_unwrap(const std::uint8_t* key16, std::uint8_t* resp, DWORD* len);

// ---------------------------------------------------------------------------
// PIN commands and the PIN cache
// ---------------------------------------------------------------------------

// Builds the 8-byte PIN block (characters padded with FF). PINs of 1..8
// characters; longer or empty ones give CARDERR_BAD_ARG.
vorn_rv pin_make_block(const char* pin, DWORD len, std::uint8_t* block8);

vorn_rv pin_verify_raw(std::uint32_t reader_key, SCARDHANDLE handle, std::uint8_t ref,
                       const std::uint8_t* pin8, std::uint8_t* tries);
vorn_rv pin_verify(std::uint32_t reader_key, SCARDHANDLE handle, std::uint8_t ref,
                   const std::uint8_t* pin8, std::uint8_t* tries);
vorn_rv pin_logout(std::uint32_t reader_key, SCARDHANDLE handle, std::uint8_t ref);
vorn_rv pin_change_raw(std::uint32_t reader_key, SCARDHANDLE handle, std::uint8_t p1,
                       std::uint8_t ref, const std::uint8_t* old8, const std::uint8_t* new8,
                       std::uint8_t* tries);
vorn_rv pin_change(std::uint32_t reader_key, SCARDHANDLE handle, std::uint8_t p1, std::uint8_t ref,
                   const std::uint8_t* old8, const std::uint8_t* new8, std::uint8_t* tries);
vorn_rv pin_unblock_raw(std::uint32_t reader_key, SCARDHANDLE handle, std::uint8_t ref,
                        const std::uint8_t* puk8, const std::uint8_t* new8, std::uint8_t* tries);
vorn_rv pin_unblock(std::uint32_t reader_key, SCARDHANDLE handle, std::uint8_t ref,
                    const std::uint8_t* puk8, const std::uint8_t* new8, std::uint8_t* tries);

// ---------------------------------------------------------------------------
// Objects and attribute lists
// ---------------------------------------------------------------------------

// One entry of an attribute template; same shape as CK_ATTRIBUTE.
struct CardAttr {
  unsigned long type;
  void* value;
  unsigned long len;
};

vorn_rv obj_find_free(std::uint32_t reader_key, SCARDHANDLE handle, std::uint8_t* number);
vorn_rv obj_find_two_free(std::uint32_t reader_key, SCARDHANDLE handle, std::uint8_t* first,
                          std::uint8_t* second);
// Lists the objects of both applications; *count: capacity in (>= 80), count out.
vorn_rv obj_list(std::uint32_t reader_key, SCARDHANDLE handle, std::uint32_t* handles,
                 DWORD* count);
vorn_rv obj_write_attrs(std::uint32_t reader_key, SCARDHANDLE handle, std::uint32_t object,
                        const CardAttr* tmpl, DWORD count);
vorn_rv obj_read_attrs(std::uint32_t reader_key, SCARDHANDLE handle, std::uint32_t object,
                       CardAttr* tmpl, DWORD count);
// Value of an object (null buffer: its size); *len in/out.
vorn_rv obj_read_value(std::uint32_t reader_key, SCARDHANDLE handle, std::uint32_t object,
                       std::uint8_t key_ref, std::uint8_t* buf, DWORD* len);
vorn_rv obj_delete(std::uint32_t reader_key, SCARDHANDLE handle, std::uint32_t object);

// Attribute-list codec. Encode: *len in/out (null out gives the size).
vorn_rv attr_list_encode(const CardAttr* tmpl, DWORD count, std::uint8_t* out, DWORD* len);
// Decode: fills the template from a complete list (lengths; values when the
// pointer is not null). Missing types get length 0; an entry too short gets
// the needed length and the result CARDERR_BUFFER_TOO_SMALL. A malformed
// list gives CARDERR_UNKNOWN.
vorn_rv attr_list_decode(const std::uint8_t* list, DWORD list_len, CardAttr* tmpl, DWORD count);

// Certificate scans. The commonName label of the subject (second 55 04 03);
// *len in/out.
vorn_rv cert_common_name(const std::uint8_t* cert, DWORD cert_len, std::uint8_t* out,
                         DWORD* len);
// The RSA modulus of the certificate (pointer into cert, 128 or 256 bytes).
vorn_rv cert_modulus(const std::uint8_t* cert, DWORD cert_len, const std::uint8_t** modulus,
                     DWORD* modulus_len);
// Key identifier: SHA-1 of the modulus without a leading zero byte.
vorn_rv key_id_of_modulus(const std::uint8_t* modulus, DWORD modulus_len, std::uint8_t* id20);
vorn_rv cert_key_id(const std::uint8_t* cert, DWORD cert_len, std::uint8_t* id20);

// Fields of the TBSCertificate, each a complete DER element inside cert.
struct CertFields {
  const std::uint8_t* serial;  // INTEGER
  DWORD serial_len;
  const std::uint8_t* issuer;  // Name
  DWORD issuer_len;
  const std::uint8_t* subject;  // Name
  DWORD subject_len;
};
vorn_rv cert_tbs_fields(const std::uint8_t* cert, DWORD cert_len, CertFields* out);

// ---------------------------------------------------------------------------
// On-card key operations
// ---------------------------------------------------------------------------

// MSE SET: each tag only when given (0 / null = none).
vorn_rv key_set_env(std::uint32_t reader_key, SCARDHANDLE handle, std::uint8_t alg,
                    std::uint8_t mode, std::uint8_t key_ref, const std::uint8_t* iv, DWORD iv_len);
// RSA key pair on the card (alg 27, 28 or 0) in the application whose
// channel is open; modulus_len in/out.
vorn_rv key_gen_pair(std::uint32_t reader_key, SCARDHANDLE handle, std::uint8_t alg,
                     std::uint8_t priv_kind, std::uint8_t pub_kind, std::uint32_t* priv_handle,
                     std::uint32_t* pub_handle, std::uint8_t* modulus, DWORD* modulus_len);
// Secret key on the card (AP-CIPH; alg 1, 13, 17 or 0).
vorn_rv key_gen_secret(std::uint32_t reader_key, SCARDHANDLE handle, std::uint8_t alg,
                       std::uint8_t kind, std::uint32_t* out_handle);
// New object with a value in the application whose channel is open.
vorn_rv key_store(std::uint32_t reader_key, SCARDHANDLE handle, std::uint8_t kind,
                  std::uint8_t alg, std::uint8_t key_ref, const std::uint8_t* value,
                  DWORD value_len, std::uint32_t* out_handle);
// PSO COMPUTE DIGITAL SIGNATURE; null sig gives the size. sig_len in/out.
vorn_rv key_sign(std::uint32_t reader_key, SCARDHANDLE handle, std::uint32_t key,
                 const std::uint8_t* data, DWORD data_len, std::uint8_t* sig, DWORD* sig_len);
// Symmetric encipher/decipher (alg 1, 13, 17) or RSA decipher (27, 28) with
// a key object of AP-CIPH; direction KEY_ENCIPHER or KEY_DECIPHER (RSA only
// deciphers). out_len in/out.
vorn_rv key_crypt(std::uint32_t reader_key, SCARDHANDLE handle, std::uint8_t alg,
                  std::uint8_t mode, std::uint32_t key, const std::uint8_t* iv, DWORD iv_len,
                  const std::uint8_t* data, DWORD data_len, std::uint8_t* out, DWORD* out_len,
                  std::uint8_t direction);
// PSO DECIPHER of whole RSA blocks with the key set by key_set_env.
// out_len in/out.
vorn_rv key_rsa_decipher(std::uint32_t reader_key, SCARDHANDLE handle, std::uint8_t alg,
                         const std::uint8_t* data, DWORD data_len, std::uint8_t* out,
                         DWORD* out_len);
// GET CHALLENGE of `len` bytes.
vorn_rv card_get_challenge(std::uint32_t reader_key, SCARDHANDLE handle, std::uint8_t* buf,
                           DWORD len);

// ---------------------------------------------------------------------------
// Card operations
// ---------------------------------------------------------------------------

// Where a card operation takes the PIN it verifies once the application's
// channel is open, and whether the operation logs it out again. The
// deliverables differ only here: the PKCS#11 module gives the PIN it holds
// for the slot, a provider its PIN cache or a PIN asked for before the
// operation began, a synchroniser none (card_no_pin). The source is asked
// only inside CardOperation::open (and begin with an application).
class CardPinSource {
 public:
  virtual ~CardPinSource() = default;
  // Fills the PIN reference and the 8-byte PIN block; false when there is
  // no PIN to verify (and so nothing to log out).
  virtual bool card_pin(std::uint32_t reader_key, SCARDHANDLE handle, std::uint8_t* ref,
                        std::uint8_t* block8) const = 0;
  // Whether the close logs the PIN's reference out again.
  virtual bool logout_at_close() const { return true; }
};

// The source without a PIN.
const CardPinSource& card_no_pin();

// One operation on the card:
//   begin   the PC/SC transaction (card_begin: reconnect once after a reset)
//   open    select the application and open its channel (sm_open_app_channel),
//           then verify the source's PIN there (pin_verify)
//   close   close the channel (sm_channel_reset), then log out the PIN's
//           reference (pin_logout) when a PIN was to be verified
//   end     close, then end the transaction leaving the card
// A failed open still needs its close: the channel may be half open, and the
// PIN may be verified when only a later step failed, so every open is
// followed by the close steps whatever happened (the destructor runs end).
// open may run again before close (a command that selects the application
// itself closes the channel); the close then logs out once.
class CardOperation {
 public:
  CardOperation() = default;
  CardOperation(const CardOperation&) = delete;
  CardOperation& operator=(const CardOperation&) = delete;
  ~CardOperation() { end(); }

  // Only the transaction.
  vorn_rv begin(std::uint32_t reader_key, SCARDHANDLE handle);
  // The transaction and open(app, pin); a failed transaction opens nothing.
  vorn_rv begin(std::uint32_t reader_key, SCARDHANDLE handle, std::uint8_t app,
                const CardPinSource& pin);
  // CARDERR_BAD_ARG outside a begun transaction; otherwise the code of the
  // channel or of the verification.
  vorn_rv open(std::uint8_t app, const CardPinSource& pin);
  // The logout's code (VORN_OK when there was none); nothing is sent when
  // no open ran since the last close.
  vorn_rv close();
  // close's code; the transaction's own end reports nothing.
  vorn_rv end();

  bool begun() const { return begun_; }

 private:
  std::uint32_t reader_key_ = 0;
  SCARDHANDLE handle_ = 0;
  bool begun_ = false;
  bool open_ = false;           // an open ran that no close followed yet
  std::uint8_t logout_ref_ = 0;  // the reference the close logs out, 0: none
};
