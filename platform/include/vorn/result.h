// 32-bit result codes shared by the card access layer and the software
// cryptography. 0 is success; PC/SC errors pass through unchanged.
#pragma once
#include <cstdint>

using vorn_rv = std::uint32_t;

inline constexpr vorn_rv VORN_OK = 0;

// The card layer's own codes.
inline constexpr vorn_rv CARDERR_BAD_ALGORITHM = 0x20000001;
inline constexpr vorn_rv CARDERR_BAD_LENGTH = 0x20000002;
inline constexpr vorn_rv CARDERR_BAD_HASH = 0x20000004;
inline constexpr vorn_rv CARDERR_BUFFER_TOO_SMALL = 0x20000005;
inline constexpr vorn_rv CARDERR_CARD_AUTH = 0x20000006;
inline constexpr vorn_rv CARDERR_BAD_FILE_ID = 0x20000007;
inline constexpr vorn_rv CARDERR_BAD_AID = 0x20000008;
inline constexpr vorn_rv CARDERR_BAD_APP = 0x20000009;
inline constexpr vorn_rv CARDERR_BAD_PIN_REF = 0x2000000A;
inline constexpr vorn_rv CARDERR_MAC = 0x2000000B;
inline constexpr vorn_rv CARDERR_BAD_ARG = 0x2000000D;
inline constexpr vorn_rv CARDERR_CARD_FULL = 0x2000000E;
inline constexpr vorn_rv CARDERR_CHANNEL_CHANGED = 0x2000000F;
inline constexpr vorn_rv CARDERR_WRONG_PIN = 0x20000010;
// The unblock sequence could not give the user PIN reference its PUK back:
// the PUK is now the user PIN that was in force before the unblock.
inline constexpr vorn_rv CARDERR_PUK_NOT_RESTORED = 0x20000011;
// A refused status word SW1 SW2 maps to 0x2000_SW1SW2 (see sw_to_error).
inline constexpr vorn_rv CARDERR_SW_BASE = 0x20000000;
inline constexpr vorn_rv CARDERR_UNKNOWN = 0xFFFFFFFF;

// Status-word codes that callers above the card layer test for.
inline constexpr vorn_rv CARDERR_SW_PIN_BLOCKED = 0x20006983;  // 69 83
inline constexpr vorn_rv CARDERR_SW_6A81 = 0x20006A81;         // 6A 81
inline constexpr vorn_rv CARDERR_SW_SIGNATURE = 0x20006A80;    // signature mismatch

// The platform's own codes (vorn/named_lock.h).
inline constexpr vorn_rv PLATERR_LOCK = 0x30000001;  // the system refused; errno / GetLastError says why
inline constexpr vorn_rv PLATERR_LOCK_NOT_OPEN = 0x30000002;
inline constexpr vorn_rv PLATERR_LOCK_NOT_HELD = 0x30000003;
inline constexpr vorn_rv PLATERR_LOCK_BUSY = 0x30000004;

// RSAREF-compatible codes of the RSA toolkit.
inline constexpr vorn_rv RSAERR_DATA = 0x0401;
inline constexpr vorn_rv RSAERR_LEN = 0x0406;
inline constexpr vorn_rv RSAERR_MODULUS_LEN = 0x0407;
inline constexpr vorn_rv RSAERR_NEED_RANDOM = 0x0408;
