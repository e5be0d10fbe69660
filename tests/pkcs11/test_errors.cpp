// The module's code maps: card and software results as CK_RV, and the token
// refresh's result as each family of entry points reports it.
#include <gtest/gtest.h>

#include "errors.h"

using p11::Fail;
using p11::Refresh;

TEST(Errors, CardResultsByFamily) {
  const struct {
    Fail family;
    vorn_rv rv;
    std::uint8_t tries;
    CK_RV want;
  } rows[] = {
      {Fail::Card, VORN_OK, 1, CKR_OK},
      {Fail::Card, CARDERR_CARD_FULL, 1, CKR_DEVICE_ERROR},
      {Fail::Card, CARDERR_WRONG_PIN, 1, CKR_DEVICE_ERROR},
      {Fail::Store, VORN_OK, 1, CKR_OK},
      {Fail::Store, CARDERR_CARD_FULL, 1, CKR_DEVICE_MEMORY},
      {Fail::Store, 0x20006A84, 1, CKR_DEVICE_MEMORY},
      {Fail::Store, 0x20006A88, 1, CKR_DEVICE_ERROR},
      {Fail::Software, VORN_OK, 1, CKR_OK},
      {Fail::Software, CARDERR_CARD_FULL, 1, CKR_FUNCTION_FAILED},
      {Fail::Pin, VORN_OK, 0, CKR_OK},
      {Fail::Pin, CARDERR_WRONG_PIN, 2, CKR_PIN_INCORRECT},
      {Fail::Pin, CARDERR_WRONG_PIN, 1, CKR_PIN_INCORRECT},
      {Fail::Pin, CARDERR_WRONG_PIN, 0, CKR_PIN_LOCKED},
      {Fail::Pin, CARDERR_SW_PIN_BLOCKED, 3, CKR_PIN_LOCKED},
      {Fail::Pin, CARDERR_CARD_FULL, 3, CKR_DEVICE_ERROR},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(testing::Message() << "family " << int(r.family) << ", rv 0x" << std::hex << r.rv);
    EXPECT_EQ(p11::ckr_of(r.family, r.rv, r.tries), r.want);
  }
}

TEST(Errors, TokenRefreshByFamily) {
  // Columns: the refresh's results in this order.
  const CK_RV from[] = {CKR_OK,           CKR_DEVICE_REMOVED,    CKR_DEVICE_ERROR,
                        CKR_SLOT_ID_INVALID, CKR_TOKEN_NOT_PRESENT, CKR_TOKEN_NOT_RECOGNIZED};
  constexpr CK_RV SHI = CKR_SESSION_HANDLE_INVALID;
  const struct {
    Refresh family;
    CK_RV want[6];
    bool reader_count;
    CK_RV not_in_use;
    bool recheck;
  } rows[] = {
      {Refresh::Session,
       {CKR_OK, CKR_DEVICE_REMOVED, CKR_DEVICE_ERROR, CKR_SLOT_ID_INVALID, CKR_TOKEN_NOT_PRESENT,
        CKR_TOKEN_NOT_RECOGNIZED},
       true, CKR_DEVICE_REMOVED, true},
      {Refresh::SessionMapped, {CKR_OK, CKR_DEVICE_REMOVED, SHI, SHI, SHI, SHI}, true, CKR_DEVICE_REMOVED, true},
      {Refresh::Store, {CKR_OK, CKR_DEVICE_REMOVED, SHI, SHI, SHI, SHI}, true, CKR_DEVICE_REMOVED, false},
      {Refresh::Sign,
       {CKR_OK, CKR_DEVICE_REMOVED, CKR_DEVICE_ERROR, CKR_SLOT_ID_INVALID, CKR_DEVICE_REMOVED,
        CKR_TOKEN_NOT_RECOGNIZED},
       true, CKR_DEVICE_REMOVED, true},
      {Refresh::Crypt,
       {CKR_OK, CKR_DEVICE_REMOVED, CKR_DEVICE_ERROR, CKR_DEVICE_ERROR, CKR_DEVICE_REMOVED, CKR_DEVICE_ERROR},
       true, CKR_DEVICE_REMOVED, true},
      {Refresh::Wrap,
       {CKR_OK, CKR_DEVICE_REMOVED, CKR_DEVICE_ERROR, CKR_DEVICE_ERROR, CKR_DEVICE_REMOVED, CKR_DEVICE_ERROR},
       false, CKR_DEVICE_REMOVED, true},
      {Refresh::Digest, {CKR_OK, CKR_DEVICE_REMOVED, CKR_DEVICE_ERROR, SHI, SHI, CKR_TOKEN_NOT_RECOGNIZED},
       true, SHI, true},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(testing::Message() << "family " << int(r.family));
    for (std::size_t i = 0; i < std::size(from); ++i)
      EXPECT_EQ(p11::refresh_answer(r.family, from[i]), r.want[i]) << "refresh 0x" << std::hex << from[i];
    // A result no row names: the crypt families go on, the others pass it or close the session.
    EXPECT_EQ(p11::refresh_answer(r.family, CKR_HOST_MEMORY),
              r.family == Refresh::Crypt || r.family == Refresh::Wrap ? CKR_OK
              : r.want[2] == SHI                                     ? SHI
                                                                     : CKR_HOST_MEMORY);
    const p11::RefreshRule& rule = p11::refresh_rule(r.family);
    EXPECT_EQ(rule.reader_count, r.reader_count);
    EXPECT_EQ(rule.not_in_use, r.not_in_use);
    EXPECT_EQ(rule.session_recheck, r.recheck);
  }
}
