// RSA-2048 C_Sign through PKCS11_VORN against the simulator, and in the same
// run the same APDU sequence sent by the card layer over a raw PC/SC
// connection (transaction, AP-SIGN channel, VERIFY, MSE SET, PSO, channel
// close, logout). Prints
//   RATIO pkcs11-sign-overhead <module time / raw replay time>
//   APDUS per-sign <n>
//   OPEN79 ms <first C_OpenSession on a card with 79 objects> apdus <n>
// Run it under tools/with-vornenv --readers 1 --demo-card.
#include <openssl/sha.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "cardlayer.h"
#include "p11.h"

namespace {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<std::uint8_t>;

std::size_t trace_lines() {
  const char* dir = std::getenv("VORNENV_DIR");
  std::ifstream in(std::string(dir ? dir : ".") + "/reader0.trace");
  std::size_t n = 0;
  std::string line;
  while (std::getline(in, line))
    if (!line.empty() && line[0] != '#') ++n;
  return n;
}

[[noreturn]] void die(const char* what, unsigned long rv) {
  std::fprintf(stderr, "bench_pkcs11_sign: %s failed: 0x%lX\n", what, rv);
  std::exit(1);
}

void check(CK_RV rv, const char* what) {
  if (rv != CKR_OK) die(what, rv);
}

Bytes digest_info(int i) {
  static const std::uint8_t kPrefix[19] = {0x30, 0x31, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01,
                                           0x65, 0x03, 0x04, 0x02, 0x01, 0x05, 0x00, 0x04, 0x20};
  Bytes out(kPrefix, kPrefix + 19);
  std::uint8_t h[32];
  SHA256(reinterpret_cast<const std::uint8_t*>(&i), sizeof i, h);
  out.insert(out.end(), h, h + 32);
  return out;
}

struct Module {
  CK_SESSION_HANDLE h = 0;
  CK_OBJECT_HANDLE key = 0;
  std::uint32_t card_id = 0;
};

std::vector<CK_OBJECT_HANDLE> find_all(CK_SESSION_HANDLE h, CK_ATTRIBUTE* t, CK_ULONG n) {
  check(C_FindObjectsInit(h, t, n), "C_FindObjectsInit");
  std::vector<CK_OBJECT_HANDLE> out(100);
  CK_ULONG got = 0;
  check(C_FindObjects(h, out.data(), out.size(), &got), "C_FindObjects");
  check(C_FindObjectsFinal(h), "C_FindObjectsFinal");
  out.resize(got);
  return out;
}

// The private key of the certificate "VORN demo signature key".
CK_OBJECT_HANDLE signature_key(CK_SESSION_HANDLE h, Bytes* cert_value) {
  const char* lbl = "VORN demo signature key";
  CK_OBJECT_CLASS cc = CKO_CERTIFICATE;
  CK_ATTRIBUTE ct[2] = {{CKA_CLASS, &cc, sizeof cc}, {CKA_LABEL, const_cast<char*>(lbl), std::strlen(lbl)}};
  auto certs = find_all(h, ct, 2);
  if (certs.size() != 1) die("finding the signature certificate", certs.size());
  std::uint8_t id[64];
  CK_ATTRIBUTE a{CKA_ID, id, sizeof id};
  check(C_GetAttributeValue(h, certs[0], &a, 1), "C_GetAttributeValue(CKA_ID)");
  if (cert_value) {
    CK_ATTRIBUTE v{CKA_VALUE, nullptr, 0};
    check(C_GetAttributeValue(h, certs[0], &v, 1), "C_GetAttributeValue(CKA_VALUE)");
    cert_value->resize(v.ulValueLen);
    v.pValue = cert_value->data();
    check(C_GetAttributeValue(h, certs[0], &v, 1), "C_GetAttributeValue(CKA_VALUE)");
  }
  CK_OBJECT_CLASS pc = CKO_PRIVATE_KEY;
  CK_ATTRIBUTE kt[2] = {{CKA_CLASS, &pc, sizeof pc}, {CKA_ID, id, a.ulValueLen}};
  auto keys = find_all(h, kt, 2);
  if (keys.size() != 1) die("finding the signature key", keys.size());
  return keys[0];
}

double module_round(const Module& m, int n) {
  std::uint8_t sig[256];
  CK_MECHANISM mech{CKM_RSA_PKCS, nullptr, 0};
  auto t0 = Clock::now();
  for (int i = 0; i < n; ++i) {
    Bytes di = digest_info(i);
    CK_ULONG len = sizeof sig;
    check(C_SignInit(m.h, &mech, m.key), "C_SignInit");
    check(C_Sign(m.h, di.data(), di.size(), sig, &len), "C_Sign");
  }
  return std::chrono::duration<double>(Clock::now() - t0).count();
}

// The card layer's sequence for one signature, over a raw PC/SC handle.
double raw_round(SCARDHANDLE card, std::uint32_t card_id, int n) {
  std::uint8_t pin[8] = {'1', '2', '3', '4', 0xFF, 0xFF, 0xFF, 0xFF};
  std::uint8_t sig[256];
  auto t0 = Clock::now();
  for (int i = 0; i < n; ++i) {
    Bytes di = digest_info(i);
    if (SCardBeginTransaction(card) != SCARD_S_SUCCESS) die("SCardBeginTransaction", 0);
    std::uint8_t tries = 0;
    vorn_rv rv = sm_open_app_channel(0, card, CARD_APP_SIGN);
    if (rv == VORN_OK) rv = pin_verify(0, card, PIN_REF_USER, pin, &tries);
    DWORD len = sizeof sig;
    if (rv == VORN_OK) rv = key_sign(0, card, card_id, di.data(), static_cast<DWORD>(di.size()), sig, &len);
    sm_channel_reset(card, 0);
    if (rv == VORN_OK) rv = pin_logout(0, card, PIN_REF_USER);
    SCardEndTransaction(card, SCARD_LEAVE_CARD);
    if (rv != VORN_OK || len != 256) die("raw signature", rv);
  }
  return std::chrono::duration<double>(Clock::now() - t0).count();
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// Fills the demo card up to 79 listed objects: certificates that pair with
// the AP-SIGN key go to AP-SIGN (40 numbers), data objects to AP-CIPH (39).
void fill_to_79(CK_SESSION_HANDLE h, const Bytes& cert) {
  CK_BBOOL yes = CK_TRUE;
  CK_OBJECT_CLASS cc = CKO_CERTIFICATE, dc = CKO_DATA;
  CK_CERTIFICATE_TYPE x509 = CKC_X_509;
  std::uint8_t subject[2] = {0x30, 0x00};
  for (int i = 0; i < 37; ++i) {
    std::string lbl = "bench certificate " + std::to_string(i);
    CK_ATTRIBUTE t[6] = {{CKA_CLASS, &cc, sizeof cc},
                         {CKA_TOKEN, &yes, 1},
                         {CKA_CERTIFICATE_TYPE, &x509, sizeof x509},
                         {CKA_SUBJECT, subject, sizeof subject},
                         {CKA_LABEL, lbl.data(), lbl.size()},
                         {CKA_VALUE, const_cast<std::uint8_t*>(cert.data()), cert.size()}};
    CK_OBJECT_HANDLE o;
    check(C_CreateObject(h, t, 6, &o), "C_CreateObject(certificate)");
  }
  for (int i = 0; i < 36; ++i) {
    std::string lbl = "bench data " + std::to_string(i);
    std::uint8_t value[64];
    std::memset(value, i, sizeof value);
    CK_ATTRIBUTE t[4] = {{CKA_CLASS, &dc, sizeof dc},
                         {CKA_TOKEN, &yes, 1},
                         {CKA_LABEL, lbl.data(), lbl.size()},
                         {CKA_VALUE, value, sizeof value}};
    CK_OBJECT_HANDLE o;
    check(C_CreateObject(h, t, 4, &o), "C_CreateObject(data)");
  }
}

}  // namespace

int main(int argc, char** argv) {
  const int n = argc > 1 ? std::max(1, std::atoi(argv[1])) : 20;
  const int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;

  check(C_Initialize(nullptr), "C_Initialize");
  Module m;
  check(C_OpenSession(0, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &m.h), "C_OpenSession");
  CK_UTF8CHAR pin[] = {'1', '2', '3', '4'};
  check(C_Login(m.h, CKU_USER, pin, 4), "C_Login");
  Bytes cert;
  m.key = signature_key(m.h, &cert);

  // APDUs of one module signature, from the simulator's trace.
  module_round(m, 2);  // warm-up
  std::size_t t0 = trace_lines();
  module_round(m, 1);
  const std::size_t module_apdus = trace_lines() - t0;

  SCARDCONTEXT ctx = 0;
  if (SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &ctx) != SCARD_S_SUCCESS) die("context", 0);
  char readers[4096];
  DWORD rlen = sizeof readers;
  if (SCardListReaders(ctx, nullptr, readers, &rlen) != SCARD_S_SUCCESS) die("SCardListReaders", 0);
  SCARDHANDLE card = 0;
  DWORD proto = 0;
  if (SCardConnect(ctx, readers, SCARD_SHARE_SHARED, SCARD_PROTOCOL_T0, &card, &proto) != SCARD_S_SUCCESS)
    die("SCardConnect", 0);

  // The card object of the key: the raw replay signs with the same one; its
  // number and kind come from the card's own object map of AP-SIGN.
  std::uint32_t card_id = 0;
  {
    if (SCardBeginTransaction(card) != SCARD_S_SUCCESS) die("SCardBeginTransaction", 0);
    card_attach(card, 0);
    std::uint8_t map[40];
    DWORD len = sizeof map;
    if (sm_open_app_channel(0, card, CARD_APP_SIGN) != VORN_OK ||
        card_get_data(0, card, CARD_DATA_OBJ_MAP, map, &len) != VORN_OK)
      die("object map", 0);
    sm_channel_reset(card, 0);
    SCardEndTransaction(card, SCARD_LEAVE_CARD);
    for (DWORD i = 0; i < len; ++i)
      if ((map[i] & 3) == 3 && map[i] < 0x80) {
        card_id = OBJ_PREFIX_SIGN | (static_cast<std::uint32_t>(map[i]) << 16) | (i + 1);
        break;
      }
    if (card_id == 0) die("no private key in AP-SIGN", 0);
  }
  raw_round(card, card_id, 1);
  std::size_t before_raw = trace_lines();
  raw_round(card, card_id, 1);
  const std::size_t raw_apdus = trace_lines() - before_raw;

  // Module and raw signatures alternate one by one, so both see the same
  // machine load; the ratio is that of the two medians.
  std::vector<double> mod_t, raw_t;
  for (int i = 0; i < n * rounds; ++i) {
    mod_t.push_back(module_round(m, 1));
    raw_t.push_back(raw_round(card, card_id, 1));
  }
  card_detach(card, 0);
  SCardDisconnect(card, SCARD_LEAVE_CARD);
  SCardReleaseContext(ctx);

  const double tm = median(mod_t), tr = median(raw_t);
  std::printf("SIGN module %.3f ms/signature, raw replay %.3f ms/signature (medians of %d each)\n", tm * 1e3,
              tr * 1e3, n * rounds);
  std::printf("RATIO pkcs11-sign-overhead %.3f\n", tm / tr);
  // The fastest signature of each kind: the least disturbed by other load.
  const double fm = *std::min_element(mod_t.begin(), mod_t.end());
  const double fr = *std::min_element(raw_t.begin(), raw_t.end());
  std::printf("FASTEST module %.3f ms raw %.3f ms ratio %.3f\n", fm * 1e3, fr * 1e3, fm / fr);
  std::printf("APDUS per-sign %zu\n", module_apdus);
  if (raw_apdus != module_apdus)
    std::printf("NOTE raw replay sent %zu APDUs per signature\n", raw_apdus);

  // First C_OpenSession on a card holding 79 objects.
  fill_to_79(m.h, cert);
  check(C_CloseAllSessions(0), "C_CloseAllSessions");
  CK_SESSION_HANDLE h = 0;
  const std::size_t before = trace_lines();
  auto o0 = Clock::now();
  check(C_OpenSession(0, CKF_SERIAL_SESSION, nullptr, nullptr, &h), "C_OpenSession");
  const double open_ms = std::chrono::duration<double, std::milli>(Clock::now() - o0).count();
  const std::size_t open_apdus = trace_lines() - before;
  check(C_Login(h, CKU_USER, pin, 4), "C_Login");
  const std::size_t objects = find_all(h, nullptr, 0).size();
  std::printf("OPEN79 objects %zu first-open-ms %.1f apdus %zu\n", objects, open_ms, open_apdus);
  check(C_Finalize(nullptr), "C_Finalize");
  return objects == 79 ? 0 : 1;
}
