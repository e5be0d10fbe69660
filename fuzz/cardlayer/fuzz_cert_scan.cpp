// The certificate scans: commonName label, modulus and key identifier, and
// the TBSCertificate's serial, issuer and subject. Every field found must
// lie inside the input.
#include <cstdint>
#include <cstdlib>

#include "cardlayer.h"

namespace {
void check(bool ok) {
  if (!ok) std::abort();
}
bool inside(const std::uint8_t* base, std::size_t size, const std::uint8_t* p, DWORD len) {
  return p >= base && p <= base + size && len <= static_cast<std::size_t>(base + size - p);
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > 20000) return 0;
  const DWORD n = static_cast<DWORD>(size);
  std::uint8_t cn[300];
  DWORD cn_len = sizeof cn;
  if (cert_common_name(data, n, cn, &cn_len) == VORN_OK) check(cn_len <= sizeof cn && cn_len <= size);
  DWORD need = 0;
  if (cert_common_name(data, n, nullptr, &need) == VORN_OK) check(need <= size);
  const std::uint8_t* mod = nullptr;
  DWORD mod_len = 0;
  if (cert_modulus(data, n, &mod, &mod_len) == VORN_OK) {
    check(inside(data, size, mod, mod_len));
    check(mod_len == 128 || mod_len == 256);
  }
  std::uint8_t id[20];
  cert_key_id(data, n, id);
  CertFields f{};
  if (cert_tbs_fields(data, n, &f) == VORN_OK) {
    check(inside(data, size, f.serial, f.serial_len) && f.serial[0] == 0x02);
    check(inside(data, size, f.issuer, f.issuer_len) && f.issuer[0] == 0x30);
    check(inside(data, size, f.subject, f.subject_len) && f.subject[0] == 0x30);
  }
  return 0;
}
