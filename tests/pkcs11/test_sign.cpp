// Signing and verification: on-card signatures checked by OpenSSL and by the
// module, length rules and caller buffers, session keys in software, private
// keys written to the card (CRT padding), concurrency within one process and
// between two processes.
#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <thread>

#include "p11_test.h"

extern char** environ;

using namespace p11test;

namespace {

CK_BBOOL kTrue = CK_TRUE;
CK_BBOOL kFalse = CK_FALSE;
CK_MECHANISM kRsa{CKM_RSA_PKCS, nullptr, 0};

CK_OBJECT_HANDLE signature_key(CK_SESSION_HANDLE h, Bytes* modulus) {
  const char* lbl = "VORN demo signature key";
  CK_OBJECT_CLASS cc = CKO_CERTIFICATE;
  auto certs = find(h, {{CKA_CLASS, &cc, sizeof cc}, {CKA_LABEL, const_cast<char*>(lbl), std::strlen(lbl)}});
  if (certs.size() != 1) return 0;
  Bytes id = attr(h, certs[0], CKA_ID);
  CK_OBJECT_CLASS pc = CKO_PRIVATE_KEY;
  auto keys = find(h, {{CKA_CLASS, &pc, sizeof pc}, {CKA_ID, id.data(), id.size()}});
  if (keys.size() != 1) return 0;
  if (modulus) *modulus = attr(h, keys[0], CKA_MODULUS);
  return keys[0];
}

CK_OBJECT_HANDLE public_of(CK_SESSION_HANDLE h, CK_OBJECT_HANDLE priv) {
  Bytes id = attr(h, priv, CKA_ID);
  CK_OBJECT_CLASS pc = CKO_PUBLIC_KEY;
  auto pubs = find(h, {{CKA_CLASS, &pc, sizeof pc}, {CKA_ID, id.data(), id.size()}});
  return pubs.size() == 1 ? pubs[0] : 0;
}

Bytes sign(CK_SESSION_HANDLE h, CK_OBJECT_HANDLE key, const Bytes& data, CK_RV* rv_out = nullptr) {
  Bytes sig(256);
  CK_ULONG len = sig.size();
  CK_RV rv = C_SignInit(h, &kRsa, key);
  if (rv == CKR_OK) rv = C_Sign(h, const_cast<std::uint8_t*>(data.data()), data.size(), sig.data(), &len);
  if (rv_out) *rv_out = rv;
  sig.resize(rv == CKR_OK ? len : 0);
  return sig;
}

std::vector<CK_ATTRIBUTE> private_template(const RsaKey& k, CK_BBOOL* token, CK_OBJECT_CLASS* cls, CK_KEY_TYPE* kt) {
  return {{CKA_CLASS, cls, sizeof *cls},
          {CKA_KEY_TYPE, kt, sizeof *kt},
          {CKA_TOKEN, token, 1},
          {CKA_MODULUS, const_cast<std::uint8_t*>(k.n.data()), k.n.size()},
          {CKA_PUBLIC_EXPONENT, const_cast<std::uint8_t*>(k.e.data()), k.e.size()},
          {CKA_PRIVATE_EXPONENT, const_cast<std::uint8_t*>(k.d.data()), k.d.size()},
          {CKA_PRIME_1, const_cast<std::uint8_t*>(k.p.data()), k.p.size()},
          {CKA_PRIME_2, const_cast<std::uint8_t*>(k.q.data()), k.q.size()},
          {CKA_EXPONENT_1, const_cast<std::uint8_t*>(k.dp.data()), k.dp.size()},
          {CKA_EXPONENT_2, const_cast<std::uint8_t*>(k.dq.data()), k.dq.size()},
          {CKA_COEFFICIENT, const_cast<std::uint8_t*>(k.qinv.data()), k.qinv.size()}};
}

}  // namespace

TEST(Sign, CardSignatureVerifiesWithOpenSslAndTheModule) {
  Initialised init;
  ASSERT_EQ(init.rv, CKR_OK);
  CK_SESSION_HANDLE h = open_session(0);
  ASSERT_EQ(login(h), CKR_OK);
  Bytes n;
  CK_OBJECT_HANDLE key = signature_key(h, &n);
  ASSERT_NE(key, 0u);
  ASSERT_EQ(n.size(), 256u);
  const Bytes di = digest_info({'a', 'b', 'c'});
  CK_RV rv;
  const Bytes sig = sign(h, key, di, &rv);
  ASSERT_EQ(rv, CKR_OK);
  ASSERT_EQ(sig.size(), 256u);
  EXPECT_TRUE(openssl_verify(n, {1, 0, 1}, sig, di));
  CK_OBJECT_HANDLE pub = public_of(h, key);
  ASSERT_NE(pub, 0u);
  ASSERT_EQ(C_VerifyInit(h, &kRsa, pub), CKR_OK);
  EXPECT_EQ(C_Verify(h, const_cast<std::uint8_t*>(di.data()), di.size(), const_cast<std::uint8_t*>(sig.data()),
                     sig.size()),
            CKR_OK);
  Bytes changed = di;
  changed[20] ^= 1;
  ASSERT_EQ(C_VerifyInit(h, &kRsa, pub), CKR_OK);
  EXPECT_EQ(C_Verify(h, changed.data(), changed.size(), const_cast<std::uint8_t*>(sig.data()), sig.size()),
            CKR_SIGNATURE_INVALID);
  Bytes bad_sig = sig;
  bad_sig[100] ^= 0x40;
  ASSERT_EQ(C_VerifyInit(h, &kRsa, pub), CKR_OK);
  EXPECT_EQ(C_Verify(h, const_cast<std::uint8_t*>(di.data()), di.size(), bad_sig.data(), bad_sig.size()),
            CKR_SIGNATURE_INVALID);
  ASSERT_EQ(C_VerifyInit(h, &kRsa, pub), CKR_OK);
  EXPECT_EQ(C_Verify(h, const_cast<std::uint8_t*>(di.data()), di.size(), const_cast<std::uint8_t*>(sig.data()), 255),
            CKR_SIGNATURE_LEN_RANGE);
  EXPECT_EQ(C_Verify(h, const_cast<std::uint8_t*>(di.data()), di.size(), const_cast<std::uint8_t*>(sig.data()), 256),
            CKR_OPERATION_NOT_INITIALIZED);
  // The other application's key signs too (its PIN is verified in AP-CIPH).
  auto keys = find_class(h, CKO_PRIVATE_KEY);
  ASSERT_EQ(keys.size(), 2u);
  CK_OBJECT_HANDLE other = keys[0] == key ? keys[1] : keys[0];
  const Bytes sig2 = sign(h, other, di, &rv);
  ASSERT_EQ(rv, CKR_OK);
  EXPECT_TRUE(openssl_verify(attr(h, other, CKA_MODULUS), {1, 0, 1}, sig2, di));
}

TEST(Sign, OperationChecksAndCallerBuffers) {
  Initialised init;
  ASSERT_EQ(init.rv, CKR_OK);
  CK_SESSION_HANDLE h = open_session(0);
  Bytes n;
  ASSERT_EQ(login(h), CKR_OK);
  CK_OBJECT_HANDLE key = signature_key(h, &n);
  ASSERT_NE(key, 0u);
  CK_OBJECT_HANDLE pub = public_of(h, key);
  CK_MECHANISM sha1{CKM_SHA_1, nullptr, 0};
  EXPECT_EQ(C_SignInit(h, &sha1, key), CKR_MECHANISM_INVALID);
  EXPECT_EQ(C_SignInit(h, &kRsa, pub), CKR_KEY_TYPE_INCONSISTENT);
  EXPECT_EQ(C_SignInit(h, nullptr, key), CKR_ARGUMENTS_BAD);
  EXPECT_EQ(C_SignInit(h, &kRsa, 0x7FFFFFF), CKR_KEY_HANDLE_INVALID);
  EXPECT_EQ(C_VerifyInit(h, &kRsa, key), CKR_KEY_TYPE_INCONSISTENT);  // a private key has no CKA_VERIFY
  const Bytes di = digest_info({1, 2});
  std::uint8_t buf[300];
  CK_ULONG len = sizeof buf;
  EXPECT_EQ(C_Sign(h, const_cast<std::uint8_t*>(di.data()), di.size(), buf, &len), CKR_OPERATION_NOT_INITIALIZED);
  ASSERT_EQ(C_SignInit(h, &kRsa, key), CKR_OK);
  EXPECT_EQ(C_SignInit(h, &kRsa, key), CKR_OPERATION_ACTIVE);
  // Length query, then a buffer one byte short, then the real call.
  len = 0;
  ASSERT_EQ(C_Sign(h, const_cast<std::uint8_t*>(di.data()), di.size(), nullptr, &len), CKR_OK);
  EXPECT_EQ(len, 256u);
  std::memset(buf, 0x5A, sizeof buf);
  len = 255;
  EXPECT_EQ(C_Sign(h, const_cast<std::uint8_t*>(di.data()), di.size(), buf, &len), CKR_BUFFER_TOO_SMALL);
  EXPECT_EQ(len, 256u);
  EXPECT_TRUE(std::all_of(buf, buf + sizeof buf, [](std::uint8_t b) { return b == 0x5A; }));
  len = 256;
  ASSERT_EQ(C_Sign(h, const_cast<std::uint8_t*>(di.data()), di.size(), buf, &len), CKR_OK);
  EXPECT_EQ(len, 256u);
  EXPECT_EQ(buf[256], 0x5A);
  EXPECT_TRUE(openssl_verify(n, {1, 0, 1}, Bytes(buf, buf + 256), di));
  // The largest data is k - 11 bytes; one more ends the operation.
  Bytes big(246, 0x11);
  ASSERT_EQ(C_SignInit(h, &kRsa, key), CKR_OK);
  len = sizeof buf;
  EXPECT_EQ(C_Sign(h, big.data(), big.size(), buf, &len), CKR_DATA_LEN_RANGE);
  EXPECT_EQ(C_Sign(h, big.data(), 245, buf, &len), CKR_OPERATION_NOT_INITIALIZED);
  ASSERT_EQ(C_SignInit(h, &kRsa, key), CKR_OK);
  len = sizeof buf;
  ASSERT_EQ(C_Sign(h, big.data(), 245, buf, &len), CKR_OK);  // chained on the card
  EXPECT_TRUE(openssl_verify(n, {1, 0, 1}, Bytes(buf, buf + 256), Bytes(245, 0x11)));
  ASSERT_EQ(C_SignInit(h, &kRsa, key), CKR_OK);
  EXPECT_EQ(C_Sign(h, big.data(), 0, buf, &len), CKR_DATA_LEN_RANGE);
  EXPECT_EQ(C_Sign(h, big.data(), 10, buf, &len), CKR_OPERATION_NOT_INITIALIZED);  // ended by the error
  // After logout the key may not be used.
  ASSERT_EQ(C_Logout(h), CKR_OK);
  EXPECT_EQ(C_SignInit(h, &kRsa, key), CKR_USER_NOT_LOGGED_IN);
}

TEST(Sign, SessionKeysSignInSoftware) {
  Initialised init;
  ASSERT_EQ(init.rv, CKR_OK);
  CK_SESSION_HANDLE h = open_session(0, true);
  ASSERT_EQ(login(h), CKR_OK);
  RsaKey k = rsa_generate(1024);
  CK_OBJECT_CLASS pc = CKO_PRIVATE_KEY, uc = CKO_PUBLIC_KEY;
  CK_KEY_TYPE rsa = CKK_RSA;
  auto t = private_template(k, &kFalse, &pc, &rsa);
  CK_OBJECT_HANDLE priv = 0;
  ASSERT_EQ(C_CreateObject(h, t.data(), t.size(), &priv), CKR_OK);
  std::vector<CK_ATTRIBUTE> pt = {{CKA_CLASS, &uc, sizeof uc},
                                  {CKA_KEY_TYPE, &rsa, sizeof rsa},
                                  {CKA_TOKEN, &kFalse, 1},
                                  {CKA_MODULUS, k.n.data(), k.n.size()},
                                  {CKA_PUBLIC_EXPONENT, k.e.data(), k.e.size()}};
  CK_OBJECT_HANDLE pub = 0;
  ASSERT_EQ(C_CreateObject(h, pt.data(), pt.size(), &pub), CKR_OK);
  const std::size_t before = trace_lines(0);
  Bytes data(117, 0x42);
  CK_RV rv;
  Bytes sig = sign(h, priv, data, &rv);
  ASSERT_EQ(rv, CKR_OK);
  ASSERT_EQ(sig.size(), 128u);
  EXPECT_EQ(trace_lines(0), before);  // no card traffic for a session key
  EXPECT_TRUE(openssl_verify(k.n, k.e, sig, data));
  ASSERT_EQ(C_VerifyInit(h, &kRsa, pub), CKR_OK);
  EXPECT_EQ(C_Verify(h, data.data(), data.size(), sig.data(), sig.size()), CKR_OK);
  ASSERT_EQ(C_VerifyInit(h, &kRsa, pub), CKR_OK);
  EXPECT_EQ(C_Verify(h, data.data(), data.size(), sig.data(), 127), CKR_SIGNATURE_LEN_RANGE);
  Bytes too_long(118, 0x42);
  sign(h, priv, too_long, &rv);
  EXPECT_EQ(rv, CKR_DATA_LEN_RANGE);
  // The private exponent of a session key is not handed out (sensitive).
  CK_ATTRIBUTE d{CKA_PRIVATE_EXPONENT, nullptr, 0};
  EXPECT_EQ(C_GetAttributeValue(h, priv, &d, 1), CKR_ATTRIBUTE_SENSITIVE);
}

// A private key written to the card: its five CRT values go to the card
// left-padded to half the modulus, so a value whose leading zero byte the
// caller dropped does not shift the others.
TEST(CrtPadding, ImportedKeyWithAShortCrtValueSignsCorrectly) {
  Initialised init;
  ASSERT_EQ(init.rv, CKR_OK);
  CK_SESSION_HANDLE h = open_session(0, true);
  ASSERT_EQ(login(h), CKR_OK);
  RsaKey k;
  for (int i = 0; i < 2000; ++i) {
    k = rsa_generate(1024);
    if (k.p.size() == 64 && k.q.size() == 64 &&
        (k.dp.size() < 64 || k.dq.size() < 64 || k.qinv.size() < 64))
      break;
  }
  ASSERT_TRUE(k.dp.size() < 64 || k.dq.size() < 64 || k.qinv.size() < 64) << "no short CRT value found";
  CK_OBJECT_CLASS pc = CKO_PRIVATE_KEY;
  CK_KEY_TYPE rsa = CKK_RSA;
  auto t = private_template(k, &kTrue, &pc, &rsa);
  const char* lbl = "imported";
  t.push_back({CKA_LABEL, const_cast<char*>(lbl), std::strlen(lbl)});
  CK_OBJECT_HANDLE key = 0;
  ASSERT_EQ(C_CreateObject(h, t.data(), t.size(), &key), CKR_OK);
  const std::size_t before = trace_lines(0);
  Bytes di = digest_info({7, 7, 7});
  CK_RV rv;
  Bytes sig = sign(h, key, di, &rv);
  ASSERT_EQ(rv, CKR_OK);
  EXPECT_GT(trace_lines(0), before);  // signed by the card
  ASSERT_EQ(sig.size(), 128u);
  EXPECT_TRUE(openssl_verify(k.n, k.e, sig, di));
  // Reloaded from the card, the key still signs.
  ASSERT_EQ(C_CloseAllSessions(0), CKR_OK);
  h = open_session(0);
  ASSERT_EQ(login(h), CKR_OK);
  auto found = find(h, {{CKA_LABEL, const_cast<char*>(lbl), std::strlen(lbl)}});
  ASSERT_EQ(found.size(), 1u);
  sig = sign(h, found[0], di, &rv);
  ASSERT_EQ(rv, CKR_OK);
  EXPECT_TRUE(openssl_verify(k.n, k.e, sig, di));
  EXPECT_EQ(C_DestroyObject(h, found[0]), CKR_SESSION_READ_ONLY);
}

TEST(Concurrency, EightThreadsSignWithOsLocking) {
  CK_C_INITIALIZE_ARGS a{nullptr, nullptr, nullptr, nullptr, CKF_OS_LOCKING_OK, nullptr};
  Initialised init(&a);
  ASSERT_EQ(init.rv, CKR_OK);
  CK_SESSION_HANDLE first = open_session(0);
  ASSERT_EQ(login(first), CKR_OK);
  Bytes n;
  CK_OBJECT_HANDLE key = signature_key(first, &n);
  ASSERT_NE(key, 0u);
  std::atomic<int> good{0}, bad{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      CK_SESSION_HANDLE h = 0;
      if (C_OpenSession(0, CKF_SERIAL_SESSION, nullptr, nullptr, &h) != CKR_OK) {
        ++bad;
        return;
      }
      for (int i = 0; i < 3; ++i) {
        Bytes di = digest_info({static_cast<std::uint8_t>(t), static_cast<std::uint8_t>(i)});
        CK_RV rv;
        Bytes sig = sign(h, key, di, &rv);
        (rv == CKR_OK && openssl_verify(n, {1, 0, 1}, sig, di)) ? ++good : ++bad;
      }
      C_CloseSession(h);
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(good.load(), 24);
  EXPECT_EQ(bad.load(), 0);
}

// Run as a child process by the test below: signs on reader 0's card and
// checks every signature.
TEST(Worker, SignLoop) {
  if (!test_is_worker()) GTEST_SKIP() << "runs as a child of Concurrency.TwoProcessesOnOneCard";
  Initialised init;
  ASSERT_EQ(init.rv, CKR_OK);
  CK_SESSION_HANDLE h = open_session(0);
  ASSERT_EQ(login(h), CKR_OK);
  Bytes n;
  CK_OBJECT_HANDLE key = signature_key(h, &n);
  ASSERT_NE(key, 0u);
  for (int i = 0; i < 6; ++i) {
    Bytes di = digest_info({static_cast<std::uint8_t>(getpid()), static_cast<std::uint8_t>(i)});
    CK_RV rv;
    Bytes sig = sign(h, key, di, &rv);
    ASSERT_EQ(rv, CKR_OK) << "signature " << i;
    ASSERT_TRUE(openssl_verify(n, {1, 0, 1}, sig, di)) << "signature " << i;
  }
}

TEST(Concurrency, TwoProcessesOnOneCard) {
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e) env.emplace_back(*e);
  env.emplace_back("VORN_P11_WORKER=1");
  std::vector<char*> envp;
  for (auto& s : env) envp.push_back(s.data());
  envp.push_back(nullptr);
  std::string self = "/proc/self/exe";
  char exe[4096] = {};
  ASSERT_GT(readlink(self.c_str(), exe, sizeof exe - 1), 0);
  std::string filter = "--gtest_filter=Worker.SignLoop";
  char* argv[] = {exe, filter.data(), nullptr};
  pid_t pids[2];
  for (auto& p : pids) ASSERT_EQ(posix_spawn(&p, exe, nullptr, nullptr, argv, envp.data()), 0);
  for (auto p : pids) {
    int status = 0;
    ASSERT_EQ(waitpid(p, &status, 0), p);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "worker " << p << " status " << status;
  }
}
