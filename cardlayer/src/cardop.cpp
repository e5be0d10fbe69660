// One card operation: the PC/SC transaction, the channel of an application
// with the PIN verified there, and the closing steps in reverse.
#include "cardlayer.h"
#include "vorn/secure.h"

namespace {

// The source without a PIN: the channel alone, nothing verified.
class NoPin final : public CardPinSource {
 public:
  bool card_pin(std::uint32_t, SCARDHANDLE, std::uint8_t*, std::uint8_t*) const override { return false; }
};

}  // namespace

const CardPinSource& card_no_pin() {
  static const NoPin kNone;
  return kNone;
}

vorn_rv CardOperation::begin(std::uint32_t reader_key, SCARDHANDLE handle) {
  if (begun_) return CARDERR_BAD_ARG;
  reader_key_ = reader_key;
  handle_ = handle;
  const vorn_rv rv = card_begin(handle);
  begun_ = rv == VORN_OK;
  return rv;
}

vorn_rv CardOperation::begin(std::uint32_t reader_key, SCARDHANDLE handle, std::uint8_t app,
                             const CardPinSource& pin) {
  const vorn_rv rv = begin(reader_key, handle);
  if (rv != VORN_OK) return rv;
  return open(app, pin);
}

vorn_rv CardOperation::open(std::uint8_t app, const CardPinSource& pin) {
  if (!begun_) return CARDERR_BAD_ARG;
  // The source is asked first: whatever happens next, the close logs out
  // the reference of a PIN that was to be verified.
  vorn::Secret<8> block;
  std::uint8_t ref = 0;
  const bool have = pin.card_pin(reader_key_, handle_, &ref, block.data());
  open_ = true;
  if (have && pin.logout_at_close()) logout_ref_ = ref;
  vorn_rv rv = sm_open_app_channel(reader_key_, handle_, app);
  if (rv != VORN_OK || !have) return rv;
  std::uint8_t tries = 0;
  return pin_verify(reader_key_, handle_, ref, block.data(), &tries);
}

vorn_rv CardOperation::close() {
  if (!open_) return VORN_OK;
  open_ = false;
  sm_channel_reset(handle_, reader_key_);
  const std::uint8_t ref = logout_ref_;
  logout_ref_ = 0;
  return ref == 0 ? VORN_OK : pin_logout(reader_key_, handle_, ref);
}

vorn_rv CardOperation::end() {
  const vorn_rv rv = close();
  if (begun_) {
    begun_ = false;
    card_end(handle_);
  }
  return rv;
}
