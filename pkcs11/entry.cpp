#include "entry.h"

namespace p11 {

CK_RV entry_token(CK_SESSION_HANDLE h, Slot& slot, const Session& sess, Refresh family) {
  const RefreshRule& rule = refresh_rule(family);
  if (rule.reader_count && mod().slot_count == 0) return CKR_GENERAL_ERROR;
  if (!slot.in_use) return rule.not_in_use;
  const CK_RV rv = refresh_answer(family, token_refresh(slot));
  if (rv != CKR_OK) return rv;
  return !rule.session_recheck || sess.handle == h ? CKR_OK : CKR_SESSION_HANDLE_INVALID;
}

CK_RV entry_open(CK_SESSION_HANDLE h, Slot** slot, Session** sess, Refresh family) {
  const CK_RV rv = session_lookup(h, slot, sess);
  if (rv != CKR_OK) return rv;
  return entry_token(h, **slot, **sess, family);
}

}  // namespace p11
