// Two Windows processes sign with one container of the demo card at the same
// time, each through its own context of VORN_CSP: they share the DLL image's
// card state table (one wineserver) and with it the card's secure channel,
// and their card operations meet in PC/SC transactions.
//   win_csp_multiproc_test.exe                      the parent (the test)
//   win_csp_multiproc_test.exe --child CONTAINER    the second process
// Both wait for one named event, then sign kMessages different messages each
// (SHA-256), one per round, both at once in every round; every signature
// must verify in Wine's rsaenh with the pair's
// public key, which must be a public key of the card file; one is checked by
// OpenSSL too. The card's trace must hold exactly one PSO COMPUTE DIGITAL
// SIGNATURE over the DigestInfo of each of the 2 x kMessages messages, the
// two processes' commands taking turns at least once per round.
#include <windows.h>
#include <wincrypt.h>

#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "capi_test.h"

using namespace capi_test;

namespace {

using bytes = std::vector<BYTE>;
constexpr char kProv[] = "VORN_CSP";
constexpr char kPin[] = "1234";  // the demo card's user PIN
constexpr int kMessages = 20;
constexpr char kReady[] = "vorn-csp-multiproc-ready";  // the child's context is open
constexpr char kGo[] = "vorn-csp-multiproc-go";        // both start signing
// Released by process 0 / 1 after each of its signatures: each round both
// sign at once, then each waits for the other, so the card takes the two
// processes' operations in turns (pcsc-lite lets a waiting transaction in
// only at its next poll, so free-running signers would not alternate).
constexpr const char* kSigned[2] = {"vorn-csp-multiproc-signed-0", "vorn-csp-multiproc-signed-1"};

bytes message(int proc, int i) {
  const std::string s = "process " + std::to_string(proc) + " signs message " + std::to_string(i);
  return bytes(s.begin(), s.end());
}

std::string hex(const bytes& b) {
  static const char d[] = "0123456789ABCDEF";
  std::string s;
  for (BYTE x : b) s += {d[x >> 4], d[x & 15]};
  return s;
}

bytes unhex(const std::string& s) {
  bytes b;
  for (std::size_t i = 0; i + 1 < s.size(); i += 2) b.push_back(static_cast<BYTE>(std::stoul(s.substr(i, 2), nullptr, 16)));
  return b;
}

// A silent context on the container with the PIN in the cache (no dialog).
DWORD open_signer(const char* container, Prov& p) {
  if (!CryptAcquireContextA(&p.h, container, kProv, PROV_RSA_FULL, CRYPT_SILENT)) return GetLastError();
  Key k;
  if (!CryptGetUserKey(p.h, AT_SIGNATURE, &k.h) ||
      !CryptSetKeyParam(k.h, KP_SIGNATURE_PIN, reinterpret_cast<const BYTE*>(kPin), 0))
    return GetLastError();
  return 0;
}

// The signature pair's PUBLICKEYBLOB, as the provider exports it.
bytes public_blob(HCRYPTPROV p) {
  Key k;
  DWORD n = 0;
  if (!CryptGetUserKey(p, AT_SIGNATURE, &k.h) || !CryptExportKey(k.h, 0, PUBLICKEYBLOB, 0, nullptr, &n)) return {};
  bytes b(n);
  if (!CryptExportKey(k.h, 0, PUBLICKEYBLOB, 0, b.data(), &n)) return {};
  b.resize(n);
  return b;
}

// The big-endian modulus of a PUBLICKEYBLOB.
bytes blob_modulus(const bytes& blob) {
  constexpr std::size_t head = sizeof(BLOBHEADER) + sizeof(RSAPUBKEY);
  if (blob.size() <= head) return {};
  return bytes(blob.rbegin(), blob.rend() - head);
}

// Signs this process's messages, one per round; each signature verified by
// rsaenh with the exported public key. Returns the signatures (empty where it
// failed) and counts every failure code.
std::vector<bytes> sign_all(HCRYPTPROV p, int proc, std::map<DWORD, int>& failures) {
  HANDLE mine = OpenSemaphoreA(SEMAPHORE_MODIFY_STATE, FALSE, kSigned[proc]);
  HANDLE theirs = OpenSemaphoreA(SYNCHRONIZE, FALSE, kSigned[1 - proc]);
  if (mine == nullptr || theirs == nullptr) {
    ++failures[GetLastError()];
    return {};
  }
  struct Close {
    HANDLE a, b;
    ~Close() {
      CloseHandle(a);
      CloseHandle(b);
    }
  } close{mine, theirs};
  const bytes blob = public_blob(p);
  Prov ms;
  Key pub;
  if (blob.empty() ||
      !CryptAcquireContextA(&ms.h, nullptr, MS_ENH_RSA_AES_PROV_A, PROV_RSA_AES, CRYPT_VERIFYCONTEXT) ||
      !CryptImportKey(ms.h, blob.data(), static_cast<DWORD>(blob.size()), 0, 0, &pub.h)) {
    ++failures[GetLastError()];
    return {};
  }
  std::vector<bytes> sigs(kMessages);
  for (int i = 0; i < kMessages; ++i) {
    if (i > 0) {
      ReleaseSemaphore(mine, 1, nullptr);
      if (WaitForSingleObject(theirs, 20000) != WAIT_OBJECT_0) {
        ++failures[WAIT_TIMEOUT];
        break;
      }
    }
    const bytes data = message(proc, i);
    Hash h;
    bytes s(256);
    DWORD n = static_cast<DWORD>(s.size());
    if (!CryptCreateHash(p, CALG_SHA_256, 0, 0, &h.h) ||
        !CryptHashData(h.h, data.data(), static_cast<DWORD>(data.size()), 0) ||
        !CryptSignHashA(h.h, AT_SIGNATURE, nullptr, 0, s.data(), &n)) {
      ++failures[GetLastError()];
      continue;
    }
    s.resize(n);
    Hash v;
    if (!CryptCreateHash(ms.h, CALG_SHA_256, 0, 0, &v.h) ||
        !CryptHashData(v.h, data.data(), static_cast<DWORD>(data.size()), 0) ||
        !CryptVerifySignatureA(v.h, s.data(), n, pub.h, nullptr, 0)) {
      ++failures[GetLastError()];
      continue;
    }
    sigs[i] = s;
  }
  return sigs;
}

std::string describe(const std::map<DWORD, int>& failures) {
  std::ostringstream o;
  for (const auto& [code, n] : failures) o << " 0x" << std::hex << code << std::dec << " x" << n;
  return o.str();
}

int child(const char* container) {
  HANDLE ready = OpenEventA(EVENT_MODIFY_STATE, FALSE, kReady);
  HANDLE go = OpenEventA(SYNCHRONIZE, FALSE, kGo);
  if (ready == nullptr || go == nullptr) return 100;
  Prov p;
  if (DWORD rc = open_signer(container, p); rc != 0) {
    std::printf("child: context on %s: 0x%lx\n", container, rc);
    return 101;
  }
  SetEvent(ready);
  if (WaitForSingleObject(go, 60000) != WAIT_OBJECT_0) return 102;
  std::map<DWORD, int> failures;
  const std::vector<bytes> sigs = sign_all(p.h, 1, failures);
  const auto good = std::count_if(sigs.begin(), sigs.end(), [](const bytes& s) { return !s.empty(); });
  std::printf("child: %d of %d signatures verified%s\n", static_cast<int>(good), kMessages, describe(failures).c_str());
  return good == kMessages ? 0 : 1;
}

// The AP-SIGN public keys of the simulated card, from its card file.
std::vector<bytes> card_sign_moduli() {
  std::vector<bytes> out;
  const char* file = std::getenv("VORN_DEMO_CARD_0");
  if (file == nullptr) return out;
  std::ifstream in(std::string("Z:") + file);
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream ls(line);
    std::string tag, map, type, alg, attrs, value;
    int app = 0, number = 0;
    if (!(ls >> tag >> app >> number >> map >> type >> alg >> attrs >> value) || tag != "obj" || type != "1" || app != 1)
      continue;
    bytes v = unhex(value);
    if (v.size() != 136 && v.size() != 264) continue;  // modulus and the 8-byte exponent 65537
    v.resize(v.size() - 8);
    out.push_back(v);
  }
  return out;
}

bool openssl_verifies(const bytes& modulus, const bytes& sig_le, const bytes& data) {
  const bytes sig(sig_le.rbegin(), sig_le.rend());
  OSSL_PARAM_BLD* b = OSSL_PARAM_BLD_new();
  BIGNUM* n = BN_bin2bn(modulus.data(), static_cast<int>(modulus.size()), nullptr);
  BIGNUM* e = BN_new();
  BN_set_word(e, 65537);
  OSSL_PARAM_BLD_push_BN(b, "n", n);
  OSSL_PARAM_BLD_push_BN(b, "e", e);
  OSSL_PARAM* params = OSSL_PARAM_BLD_to_param(b);
  EVP_PKEY_CTX* kctx = EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr);
  EVP_PKEY* pk = nullptr;
  EVP_PKEY_fromdata_init(kctx);
  EVP_PKEY_fromdata(kctx, &pk, EVP_PKEY_PUBLIC_KEY, params);
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  const bool ok = pk != nullptr && EVP_DigestVerifyInit(ctx, nullptr, EVP_sha256(), nullptr, pk) == 1 &&
                  EVP_DigestVerify(ctx, sig.data(), sig.size(), data.data(), data.size()) == 1;
  EVP_MD_CTX_free(ctx);
  EVP_PKEY_free(pk);
  EVP_PKEY_CTX_free(kctx);
  OSSL_PARAM_free(params);
  OSSL_PARAM_BLD_free(b);
  BN_free(n);
  BN_free(e);
  return ok;
}

// The messages of the card's PSO COMPUTE DIGITAL SIGNATURE commands, in the
// order the card received them: (process, message) or (-1, -1) for a
// DigestInfo of no message here.
std::vector<std::pair<int, int>> traced_signatures(HCRYPTPROV p) {
  std::map<std::string, std::pair<int, int>> by_digest;
  for (int proc = 0; proc < 2; ++proc)
    for (int i = 0; i < kMessages; ++i) {
      const bytes data = message(proc, i);
      Hash h;
      bytes v(32);
      DWORD n = 32;
      if (CryptCreateHash(p, CALG_SHA_256, 0, 0, &h.h) &&
          CryptHashData(h.h, data.data(), static_cast<DWORD>(data.size()), 0) &&
          CryptGetHashParam(h.h, HP_HASHVAL, v.data(), &n, 0))
        by_digest[hex(v)] = {proc, i};
    }
  // CLA 80 (the plain form of 84), 2A 9E 9A, Lc 51, the SHA-256 DigestInfo.
  const std::string pso = "pcmd=802A9E9A333031300D060960864801650304020105000420";
  std::vector<std::pair<int, int>> out;
  const char* dir = std::getenv("VORNENV_DIR");
  if (dir == nullptr) return out;
  std::ifstream in(std::string("Z:") + dir + "/reader0.trace");
  std::string line;
  while (std::getline(in, line)) {
    const auto at = line.find("pcmd=802A9E9A");
    if (at == std::string::npos) continue;
    const auto it = line.compare(at, pso.size(), pso) == 0 ? by_digest.find(line.substr(at + pso.size(), 64))
                                                          : by_digest.end();
    out.push_back(it == by_digest.end() ? std::make_pair(-1, -1) : it->second);
  }
  return out;
}

TEST(TwoProcesses, SignWithOneContainerAtOnce) {
  HMODULE dll = LoadLibraryA("CSP_VORN.dll");
  ASSERT_NE(dll, nullptr) << GetLastError();
  auto reg = reinterpret_cast<HRESULT(WINAPI*)()>(reinterpret_cast<void*>(GetProcAddress(dll, "DllRegisterServer")));
  ASSERT_NE(reg, nullptr);
  ASSERT_EQ(reg(), S_OK);

  // The parent's context on the card's default container; the child opens
  // the same container by its name.
  Prov p;
  ASSERT_EQ(open_signer(nullptr, p), 0u);
  char name[300] = {};
  DWORD nl = sizeof name;
  ASSERT_TRUE(CryptGetProvParam(p.h, PP_CONTAINER, reinterpret_cast<BYTE*>(name), &nl, 0));

  HANDLE ready = CreateEventA(nullptr, FALSE, FALSE, kReady);
  HANDLE go = CreateEventA(nullptr, TRUE, FALSE, kGo);
  HANDLE signed0 = CreateSemaphoreA(nullptr, 0, kMessages, kSigned[0]);
  HANDLE signed1 = CreateSemaphoreA(nullptr, 0, kMessages, kSigned[1]);
  ASSERT_TRUE(ready != nullptr && go != nullptr && signed0 != nullptr && signed1 != nullptr);
  char exe[MAX_PATH];
  ASSERT_GT(GetModuleFileNameA(nullptr, exe, sizeof exe), 0u);
  std::string cmd = std::string("\"") + exe + "\" --child \"" + name + "\"";
  STARTUPINFOA si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  ASSERT_TRUE(CreateProcessA(exe, cmd.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi));
  HANDLE either[2] = {ready, pi.hProcess};
  ASSERT_EQ(WaitForMultipleObjects(2, either, FALSE, 60000), WAIT_OBJECT_0) << "the child ended before its context was open";

  SetEvent(go);
  std::map<DWORD, int> failures;
  const std::vector<bytes> sigs = sign_all(p.h, 0, failures);
  ASSERT_EQ(WaitForSingleObject(pi.hProcess, 120000), WAIT_OBJECT_0);
  DWORD code = 99;
  GetExitCodeProcess(pi.hProcess, &code);
  CloseHandle(pi.hProcess);
  CloseHandle(pi.hThread);
  EXPECT_TRUE(failures.empty()) << "failure codes in the parent:" << describe(failures);
  EXPECT_EQ(code, 0u) << "the child's signatures (its line above)";

  // The key rsaenh verified with is the card's, and OpenSSL agrees.
  const bytes modulus = blob_modulus(public_blob(p.h));
  const std::vector<bytes> card = card_sign_moduli();
  EXPECT_NE(std::find(card.begin(), card.end(), modulus), card.end()) << "the exported key is not on the card";
  ASSERT_FALSE(sigs.empty());
  ASSERT_FALSE(sigs[kMessages - 1].empty());
  EXPECT_TRUE(openssl_verifies(modulus, sigs[kMessages - 1], message(0, kMessages - 1)));

  // One signature command per message on the card, over its DigestInfo.
  const auto traced = traced_signatures(p.h);
  EXPECT_EQ(traced.size(), 2u * kMessages);
  std::map<std::pair<int, int>, int> seen;
  int switches = 0;
  for (std::size_t k = 0; k < traced.size(); ++k) {
    ++seen[traced[k]];
    if (k > 0 && traced[k].first != traced[k - 1].first) ++switches;
  }
  for (int proc = 0; proc < 2; ++proc)
    for (int i = 0; i < kMessages; ++i) EXPECT_EQ(seen[std::make_pair(proc, i)], 1) << "process " << proc << " message " << i;
  EXPECT_EQ(seen.count(std::make_pair(-1, -1)), 0u);
  // Each round's two signatures come before the next round's: a turn per round at least.
  EXPECT_GE(switches, kMessages);
  std::printf("signature commands: %zu, turns between the processes: %d\n", traced.size(), switches);
  for (HANDLE h : {ready, go, signed0, signed1}) CloseHandle(h);
}

}  // namespace

int main(int argc, char** argv) {
  setvbuf(stdout, nullptr, _IONBF, 0);
  if (argc == 3 && std::string(argv[1]) == "--child") return child(argv[2]);
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
