// A test double of the provider frame for the unit test of the key, hash
// and cipher entry points called directly (CP* without advapi32): one
// issued context record, the provider lock, and no card. Everything a card
// operation needs answers SCARD_E_NO_SMARTCARD, so a test that reached the
// card here would fail rather than pass. The real frame is CSP_VORN.dll's;
// the tests through advapi32 (win_csp_keys_test) use that one.
#include <mutex>

#include "csp.h"

namespace csp {

namespace {
std::recursive_mutex g_lock;

class Table final : public CmapTable {
 public:
  std::size_t size() const override { return kContexts; }
  CmapRecord& at(std::size_t i) override { return provider().contexts[i]; }
  void release(std::size_t) override {}
};
}  // namespace

Provider& provider() {
  static Provider* p = new Provider;  // lives for the process, as the DLL's does
  return *p;
}
bool csp_lock() {
  g_lock.lock();
  return true;
}
bool csp_unlock() {
  g_lock.unlock();
  return true;
}
DWORD context_of(HCRYPTPROV h, ContextRecord** out) {
  if (h == 0 || h == static_cast<HCRYPTPROV>(-1)) return ERROR_INVALID_HANDLE;
  for (ContextRecord& c : provider().contexts)
    if (reinterpret_cast<HCRYPTPROV>(&c) == h && c.in_use && c.handle_issued) {
      *out = &c;
      return 0;
    }
  return static_cast<DWORD>(NTE_BAD_UID);
}
std::size_t context_index(const ContextRecord* c) { return static_cast<std::size_t>(c - provider().contexts.data()); }
CmapTable& context_table() {
  static Table t;
  return t;
}
CmapSlot cmap_slot(unsigned slot) { return {slot, 0, "", nullptr}; }
bool version_legacy() { return false; }
bool version_pre6() { return false; }
bool version_6() { return true; }
void version_refresh() {}
DWORD card_op_begin(unsigned) { return static_cast<DWORD>(SCARD_E_NO_SMARTCARD); }
void card_op_end(unsigned, bool) {}
DWORD pin_ensure(ContextRecord&, bool) { return static_cast<DWORD>(SCARD_E_NO_SMARTCARD); }
DWORD pin_param(ContextRecord&, const char*, std::size_t) { return static_cast<DWORD>(SCARD_E_NO_SMARTCARD); }
void pin_cache_clear(unsigned) {}
DWORD pair_public(ContextRecord&, bool) { return static_cast<DWORD>(SCARD_E_NO_SMARTCARD); }

}  // namespace csp
