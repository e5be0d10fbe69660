// Helpers shared by the card layer's sources; not part of the interface.
#pragma once

#include <cstdint>
#include <vector>

#include "cardlayer.h"
#include "vorn/secure.h"

namespace cardlayer {

// Largest short response: 256 data bytes plus SW1 SW2.
inline constexpr DWORD kRespMax = 258;
// Bounds on an answer gathered through 61 xx chaining, so that a card that
// keeps answering 61 xx cannot make the host loop or allocate without end.
// The largest chained answers are attribute lists and object values
// (certificates): their sizes travel in two bytes, so at most 0xFFFF bytes.
inline constexpr std::size_t kChainLimit = 0xFFFF;
// The card cuts a long answer into pieces of 239 bytes under the channel (256
// in plain); only the last piece is shorter. An answer of up to `bytes` bytes
// therefore takes at most bytes / 239 + 1 GET RESPONSE rounds; one more is
// allowed for an empty closing 90 00. A 2048-bit signature or deciphered
// block (256 bytes) takes 3, a whole attribute list or value 276.
inline constexpr std::size_t kChainPiece = 239;
inline constexpr std::size_t chain_rounds(std::size_t bytes) { return bytes / kChainPiece + 2; }

// The slot of (reader key, handle), or null. Reads the shared memory.
CardSlot* slot_lookup(std::uint32_t reader_key, SCARDHANDLE handle);
// The owned slot of the reader key, or null.
CardSlot* slot_by_key(std::uint32_t reader_key);
// Clears the slot's channel fields (state, application, session key).
void slot_close_channel(CardSlot* slot);
// Registers the handle in the slot of the reader key, under the table lock:
// `joined` a slot already claimed for the key, `claimed` a free slot for it
// (the caller then brings the card to a known state), `none` when the table
// is full or cannot be mapped (the card then works in plain mode).
enum class SlotJoin { none, joined, claimed };
SlotJoin slot_join(std::uint32_t reader_key, SCARDHANDLE handle);
// Drops the handle from the slot of the reader key unless it is the last
// user's: true when it is, and the slot stays claimed until slot_release.
bool slot_leave(std::uint32_t reader_key, SCARDHANDLE handle);
// After the last user closed the card: frees the slot, or only drops the
// handle when someone joined meanwhile.
void slot_release(std::uint32_t reader_key, SCARDHANDLE handle);
void set_channel_opened(std::uint32_t value);

// Reads of shared fields that the compiler must not cache.
inline std::uint8_t shared_load(const std::uint8_t& field) {
  return *static_cast<const volatile std::uint8_t*>(&field);
}
inline void shared_store(std::uint8_t& field, std::uint8_t value) {
  *static_cast<volatile std::uint8_t*>(&field) = value;
}

// card_transmit with the T=0 protocol information.
vorn_rv apdu(std::uint32_t reader_key, SCARDHANDLE handle, const std::uint8_t* cmd, DWORD cmd_len,
             std::uint8_t* resp, DWORD* resp_len);

// Status word of a response; false when it is shorter than two bytes.
inline bool sw_of(const std::uint8_t* resp, DWORD len, std::uint8_t* sw1, std::uint8_t* sw2) {
  if (len < 2) return false;
  *sw1 = resp[len - 2];
  *sw2 = resp[len - 1];
  return true;
}
// sw_to_error of the response's status word (CARDERR_UNKNOWN without one).
vorn_rv sw_error(const std::uint8_t* resp, DWORD len);
// True when the response is exactly the two bytes sw1 sw2.
inline bool is_sw(const std::uint8_t* resp, DWORD len, std::uint8_t sw1, std::uint8_t sw2) {
  return len == 2 && resp[0] == sw1 && resp[1] == sw2;
}
// True when the response is exactly 61 xx.
inline bool is_61(const std::uint8_t* resp, DWORD len) { return len == 2 && resp[0] == 0x61; }

// Sends GET RESPONSE 00 C0 00 00 le through card_transmit and appends the
// data part to `out`; continues with Le = SW2 while the answer ends in 61
// when `chain` is true. Ends on 90 00 (result 0); any other status word is
// returned through sw_to_error; more than `limit` bytes give
// CARDERR_BUFFER_TOO_SMALL with `out` holding what came. A 61 xx piece
// without data, or more than chain_rounds(`expect`) rounds, give
// CARDERR_UNKNOWN: `expect` is the largest answer the command can have.
vorn_rv get_response(std::uint32_t reader_key, SCARDHANDLE handle, std::uint8_t le, bool chain,
                     vorn::SecureBytes& out, std::size_t limit, std::size_t expect);

// Application of an object handle: 1, 2, or 0 when neither.
std::uint8_t obj_app(std::uint32_t object);

// Session-key wrap of a command into a 261-byte buffer.
inline constexpr DWORD kWrapMax = 261;

}  // namespace cardlayer
