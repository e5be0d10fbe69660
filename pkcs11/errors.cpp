#include "errors.h"

#include <array>

namespace p11 {

namespace {

constexpr vorn_rv kSwNoMemory = CARDERR_SW_BASE | 0x6A84;    // 6A84: not enough memory in the file
constexpr vorn_rv kSwNumberFree = CARDERR_SW_BASE | 0x6A88;  // 6A88: no object with this number

// The exceptions to each family's default, first match wins.
struct FailRow {
  Fail family;
  vorn_rv rv;
  CK_RV ckr;
};
constexpr FailRow kFailRows[] = {
    {Fail::Store, CARDERR_CARD_FULL, CKR_DEVICE_MEMORY},
    {Fail::Store, kSwNoMemory, CKR_DEVICE_MEMORY},
    {Fail::Pin, CARDERR_SW_PIN_BLOCKED, CKR_PIN_LOCKED},
    {Fail::Pin, CARDERR_WRONG_PIN, CKR_PIN_INCORRECT},
    {Fail::Unblock, CARDERR_SW_PIN_BLOCKED, CKR_PIN_LOCKED},
    {Fail::Unblock, CARDERR_WRONG_PIN, CKR_PIN_INCORRECT},
    {Fail::Unblock, CARDERR_PUK_NOT_RESTORED, CKR_FUNCTION_FAILED},
    {Fail::Delete, kSwNumberFree, CKR_OK},
};

CK_RV fail_default(Fail family) {
  return family == Fail::Software ? CKR_FUNCTION_FAILED : CKR_DEVICE_ERROR;
}

// The refresh's own code goes through unchanged.
constexpr CK_RV kKeep = ~CK_RV{0};

struct RefreshRow {
  CK_RV from;
  CK_RV to;
};

struct RefreshMap {
  RefreshRule rule;
  std::array<RefreshRow, 5> rows;
  std::size_t row_count;
  CK_RV otherwise;
};

// Card trouble is a device error, an absent card a removed one.
constexpr std::array<RefreshRow, 5> kCryptRows = {{{CKR_SLOT_ID_INVALID, CKR_DEVICE_ERROR},
                                                   {CKR_TOKEN_NOT_RECOGNIZED, CKR_DEVICE_ERROR},
                                                   {CKR_DEVICE_ERROR, CKR_DEVICE_ERROR},
                                                   {CKR_DEVICE_REMOVED, CKR_DEVICE_REMOVED},
                                                   {CKR_TOKEN_NOT_PRESENT, CKR_DEVICE_REMOVED}}};

constexpr RefreshMap kRefreshMaps[] = {
    // Session
    {{true, CKR_DEVICE_REMOVED, true}, {{{CKR_OK, CKR_OK}}}, 1, kKeep},
    // SessionMapped
    {{true, CKR_DEVICE_REMOVED, true},
     {{{CKR_OK, CKR_OK}, {CKR_DEVICE_REMOVED, CKR_DEVICE_REMOVED}}},
     2,
     CKR_SESSION_HANDLE_INVALID},
    // Store
    {{true, CKR_DEVICE_REMOVED, false},
     {{{CKR_OK, CKR_OK}, {CKR_DEVICE_REMOVED, CKR_DEVICE_REMOVED}}},
     2,
     CKR_SESSION_HANDLE_INVALID},
    // Sign
    {{true, CKR_DEVICE_REMOVED, true}, {{{CKR_TOKEN_NOT_PRESENT, CKR_DEVICE_REMOVED}}}, 1, kKeep},
    // Crypt
    {{true, CKR_DEVICE_REMOVED, true},
     kCryptRows,
     5,
     CKR_OK},
    // Wrap
    {{false, CKR_DEVICE_REMOVED, true},
     kCryptRows,
     5,
     CKR_OK},
    // Digest
    {{true, CKR_SESSION_HANDLE_INVALID, true},
     {{{CKR_SLOT_ID_INVALID, CKR_SESSION_HANDLE_INVALID}, {CKR_TOKEN_NOT_PRESENT, CKR_SESSION_HANDLE_INVALID}}},
     2,
     kKeep},
};

const RefreshMap& refresh_map(Refresh family) { return kRefreshMaps[static_cast<std::size_t>(family)]; }

}  // namespace

CK_RV ckr_of(Fail family, vorn_rv rv, std::uint8_t tries) {
  if (rv == VORN_OK) return CKR_OK;
  if (family == Fail::Pin && rv == CARDERR_WRONG_PIN && tries == 0) return CKR_PIN_LOCKED;
  for (const auto& row : kFailRows)
    if (row.family == family && row.rv == rv) return row.ckr;
  return fail_default(family);
}

const RefreshRule& refresh_rule(Refresh family) { return refresh_map(family).rule; }

CK_RV refresh_answer(Refresh family, CK_RV rv) {
  const RefreshMap& m = refresh_map(family);
  for (std::size_t i = 0; i < m.row_count; ++i)
    if (m.rows[i].from == rv) return m.rows[i].to;
  return m.otherwise == kKeep ? rv : m.otherwise;
}

}  // namespace p11
