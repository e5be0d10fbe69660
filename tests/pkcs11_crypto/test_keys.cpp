// Digests, the card's random numbers, key and key-pair generation, wrapping
// and unwrapping, and the SSL 3.0 derivations through the module, against
// the simulated card; OpenSSL is the independent reference (digests,
// ciphers, PKCS#8 encoding, the SSL 3.0 construction with MD5 and SHA-1).
#include <openssl/core_names.h>
#include <openssl/param_build.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include "crypto_test.h"
#include "mech_params.h"

using namespace p11crypto;
using p11::Ssl3KeyMatOut;
using p11::Ssl3KeyMatParams;
using p11::Ssl3MasterKeyDeriveParams;

namespace {

class Digest : public Module {};
class Random : public Module {};
class KeyGen : public Module {};
class KeyPair : public Module {};
class Wrap : public Module {};
class Derive : public Module {};

Bytes digest(CK_SESSION_HANDLE h, CK_MECHANISM_TYPE t, const Bytes& data) {
  CK_MECHANISM m = mech(t);
  EXPECT_EQ(C_DigestInit(h, &m), CKR_OK);
  Bytes out(64);
  CK_ULONG n = out.size();
  EXPECT_EQ(C_Digest(h, const_cast<std::uint8_t*>(data.data()), data.size(), out.data(), &n), CKR_OK);
  out.resize(n);
  return out;
}

// An RSA key as OpenSSL's EVP_PKEY, from the module's components.
EVP_PKEY* ossl_private_key(const std::vector<Bytes>& parts) {
  static const char* kNames[8] = {"n", "e", "d", "rsa-factor1", "rsa-factor2", "rsa-exponent1", "rsa-exponent2",
                                  "rsa-coefficient1"};
  OSSL_PARAM_BLD* bld = OSSL_PARAM_BLD_new();
  std::vector<BIGNUM*> bns;
  for (int i = 0; i < 8; ++i) {
    bns.push_back(BN_bin2bn(parts[i].data(), static_cast<int>(parts[i].size()), nullptr));
    OSSL_PARAM_BLD_push_BN(bld, kNames[i], bns.back());
  }
  OSSL_PARAM* params = OSSL_PARAM_BLD_to_param(bld);
  EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr);
  EVP_PKEY* pkey = nullptr;
  if (EVP_PKEY_fromdata_init(ctx) != 1 || EVP_PKEY_fromdata(ctx, &pkey, EVP_PKEY_KEYPAIR, params) != 1)
    pkey = nullptr;
  EVP_PKEY_CTX_free(ctx);
  OSSL_PARAM_free(params);
  OSSL_PARAM_BLD_free(bld);
  for (auto* b : bns) BN_clear_free(b);
  return pkey;
}

Bytes ossl_pkcs8(EVP_PKEY* k) {
  PKCS8_PRIV_KEY_INFO* p8 = EVP_PKEY2PKCS8(k);
  unsigned char* der = nullptr;
  int n = i2d_PKCS8_PRIV_KEY_INFO(p8, &der);
  Bytes out(der, der + (n > 0 ? n : 0));
  OPENSSL_free(der);
  PKCS8_PRIV_KEY_INFO_free(p8);
  return out;
}

const CK_ATTRIBUTE_TYPE kRsaParts[8] = {CKA_MODULUS,  CKA_PUBLIC_EXPONENT, CKA_PRIVATE_EXPONENT, CKA_PRIME_1,
                                        CKA_PRIME_2,  CKA_EXPONENT_1,      CKA_EXPONENT_2,       CKA_COEFFICIENT};

// SSL 3.0 with OpenSSL's MD5 and SHA-1: MD5(secret || SHA1(label || secret
// || r1 || r2)) for labels A, BB, CCC, ...
Bytes ssl3_reference(const Bytes& secret, const Bytes& r1, const Bytes& r2, std::size_t want) {
  Bytes out;
  for (int i = 0; out.size() < want; ++i) {
    Bytes inner(static_cast<std::size_t>(i + 1), static_cast<std::uint8_t>('A' + i));
    inner.insert(inner.end(), secret.begin(), secret.end());
    inner.insert(inner.end(), r1.begin(), r1.end());
    inner.insert(inner.end(), r2.begin(), r2.end());
    Bytes outer = secret;
    const Bytes sha = ossl_digest("SHA1", inner);
    outer.insert(outer.end(), sha.begin(), sha.end());
    const Bytes md5 = ossl_digest("MD5", outer);
    out.insert(out.end(), md5.begin(), md5.end());
  }
  out.resize(want);
  return out;
}

}  // namespace

TEST_F(Digest, KnownAnswersAndOpenSsl) {
  EXPECT_EQ(hexs(digest(h_, CKM_SHA256, {'a', 'b', 'c'})),
            "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(hexs(digest(h_, CKM_SHA_1, {})), "da39a3ee5e6b4b0d3255bfef95601890afd80709");
  EXPECT_EQ(hexs(digest(h_, CKM_MD5, {'a', 'b', 'c'})), "900150983cd24fb0d6963f7d28e17f72");
  // Multi-part over block edges equals OpenSSL.
  const Bytes data = seq(1000, 3);
  const struct {
    CK_MECHANISM_TYPE t;
    const char* name;
  } algs[] = {{CKM_MD5, "MD5"}, {CKM_SHA_1, "SHA1"}, {CKM_SHA256, "SHA256"}};
  for (const auto& a : algs) {
    CK_MECHANISM m = mech(a.t);
    ASSERT_EQ(C_DigestInit(h_, &m), CKR_OK);
    std::size_t off = 0;
    for (std::size_t part : {1, 63, 64, 65, 300, 507}) {
      ASSERT_EQ(C_DigestUpdate(h_, const_cast<std::uint8_t*>(data.data() + off), part), CKR_OK);
      off += part;
    }
    Bytes out(64);
    CK_ULONG n = 4;
    ASSERT_EQ(C_DigestFinal(h_, out.data(), &n), CKR_BUFFER_TOO_SMALL);
    EXPECT_EQ(n, Bytes(ossl_digest(a.name, {})).size());
    n = out.size();
    ASSERT_EQ(C_DigestFinal(h_, out.data(), &n), CKR_OK);
    out.resize(n);
    EXPECT_EQ(out, ossl_digest(a.name, data)) << a.name;
  }
}

TEST_F(Digest, OperationStates) {
  CK_MECHANISM m = mech(CKM_SHA256);
  ASSERT_EQ(C_DigestInit(h_, &m), CKR_OK);
  EXPECT_EQ(C_DigestInit(h_, &m), CKR_OPERATION_ACTIVE);
  Bytes abc = {'a', 'b', 'c'}, out(32);
  CK_ULONG n = 0;
  ASSERT_EQ(C_Digest(h_, abc.data(), 3, nullptr, &n), CKR_OK);
  EXPECT_EQ(n, 32u);
  n = 32;
  ASSERT_EQ(C_Digest(h_, abc.data(), 3, out.data(), &n), CKR_OK);
  EXPECT_EQ(hexs(out), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(C_Digest(h_, abc.data(), 3, out.data(), &n), CKR_OPERATION_NOT_INITIALIZED);
  // Bad arguments end the operation.
  ASSERT_EQ(C_DigestInit(h_, &m), CKR_OK);
  EXPECT_EQ(C_Digest(h_, nullptr, 3, out.data(), &n), CKR_ARGUMENTS_BAD);
  EXPECT_EQ(C_DigestUpdate(h_, abc.data(), 3), CKR_OPERATION_NOT_INITIALIZED);
  CK_MECHANISM bad = mech(CKM_SHA224);
  EXPECT_EQ(C_DigestInit(h_, &bad), CKR_MECHANISM_INVALID);
  bad = mech(CKM_AES_ECB);
  EXPECT_EQ(C_DigestInit(h_, &bad), CKR_MECHANISM_INVALID);
  EXPECT_EQ(C_DigestInit(h_, nullptr), CKR_ARGUMENTS_BAD);
}

TEST_F(Random, ChunksOf256FromTheCard) {
  const std::size_t full = trace_count("cmd=0084000000");
  const std::size_t rest = trace_count("cmd=0084000058");
  Bytes a(600), b(600);
  ASSERT_EQ(C_GenerateRandom(h_, a.data(), a.size()), CKR_OK);
  EXPECT_EQ(trace_count("cmd=0084000000"), full + 2);
  EXPECT_EQ(trace_count("cmd=0084000058"), rest + 1);
  ASSERT_EQ(C_GenerateRandom(h_, b.data(), b.size()), CKR_OK);
  EXPECT_NE(a, b);
  EXPECT_NE(Bytes(a.begin() + 512, a.end()), Bytes(88, 0));
  EXPECT_EQ(C_GenerateRandom(h_, nullptr, 10), CKR_ARGUMENTS_BAD);
  EXPECT_EQ(C_GenerateRandom(h_, a.data(), 0), CKR_ARGUMENTS_BAD);
}

TEST_F(KeyGen, TemplateRules) {
  CK_OBJECT_HANDLE k = 0;
  CK_MECHANISM aes = mech(CKM_AES_KEY_GEN);
  CK_ULONG len = 24;
  CK_ATTRIBUTE t1[] = {{CKA_VALUE_LEN, &len, sizeof len}};
  EXPECT_EQ(C_GenerateKey(h_, &aes, t1, 1, &k), CKR_ATTRIBUTE_VALUE_INVALID);
  CK_MECHANISM rc2 = mech(CKM_RC2_KEY_GEN);
  EXPECT_EQ(C_GenerateKey(h_, &rc2, nullptr, 0, &k), CKR_TEMPLATE_INCONSISTENT);
  Bytes v(16);
  CK_ATTRIBUTE t2[] = {{CKA_VALUE, v.data(), v.size()}};
  EXPECT_EQ(C_GenerateKey(h_, &aes, t2, 1, &k), CKR_TEMPLATE_INCONSISTENT);
  CK_KEY_TYPE des = CKK_DES;
  CK_ATTRIBUTE t3[] = {{CKA_KEY_TYPE, &des, sizeof des}};
  EXPECT_EQ(C_GenerateKey(h_, &aes, t3, 1, &k), CKR_TEMPLATE_INCONSISTENT);
  CK_OBJECT_CLASS pub = CKO_PUBLIC_KEY;
  CK_ATTRIBUTE t4[] = {{CKA_CLASS, &pub, sizeof pub}};
  EXPECT_EQ(C_GenerateKey(h_, &aes, t4, 1, &k), CKR_TEMPLATE_INCONSISTENT);
  CK_MECHANISM sha = mech(CKM_SHA_1);
  EXPECT_EQ(C_GenerateKey(h_, &sha, nullptr, 0, &k), CKR_MECHANISM_INVALID);
  EXPECT_EQ(C_GenerateKey(h_, &aes, nullptr, 0, nullptr), CKR_ARGUMENTS_BAD);
  CK_VERSION v31{3, 1};
  CK_MECHANISM pm = mech(CKM_SSL3_PRE_MASTER_KEY_GEN, &v31, sizeof v31);
  EXPECT_EQ(C_GenerateKey(h_, &pm, nullptr, 0, &k), CKR_MECHANISM_PARAM_INVALID);
}

TEST_F(KeyGen, SessionKeysFromTheSystemGenerator) {
  CK_MECHANISM aes = mech(CKM_AES_KEY_GEN);
  CK_ULONG len = 32;
  CK_ATTRIBUTE t[] = {{CKA_VALUE_LEN, &len, sizeof len}};
  CK_OBJECT_HANDLE a = 0, b = 0;
  const std::size_t cmds = trace_count("cmd=");
  ASSERT_EQ(C_GenerateKey(h_, &aes, t, 1, &a), CKR_OK);
  ASSERT_EQ(C_GenerateKey(h_, &aes, t, 1, &b), CKR_OK);
  EXPECT_EQ(trace_count("cmd="), cmds) << "session keys are made without the card";
  const Bytes va = attr(a, CKA_VALUE), vb = attr(b, CKA_VALUE);
  ASSERT_EQ(va.size(), 32u);
  EXPECT_NE(va, vb);
  EXPECT_EQ(attr(a, CKA_LOCAL), Bytes{CK_TRUE});
  EXPECT_EQ(attr(a, CKA_NEVER_EXTRACTABLE), Bytes{CK_FALSE});
  CK_ULONG gm = 0;
  CK_ATTRIBUTE q{CKA_KEY_GEN_MECHANISM, &gm, sizeof gm};
  ASSERT_EQ(C_GetAttributeValue(h_, a, &q, 1), CKR_OK);
  EXPECT_EQ(gm, static_cast<CK_ULONG>(CKM_AES_KEY_GEN));
  // The key works, and equals OpenSSL with its value.
  const Bytes data = seq(32, 1);
  EXPECT_EQ(crypt1(true, mech(CKM_AES_ECB), a, data), ossl_cipher("AES-256-ECB", va, {}, data, true, false));
  // RC4 of 16 bytes and the pre-master secret with its version bytes.
  CK_MECHANISM rc4 = mech(CKM_RC4_KEY_GEN);
  len = 16;
  ASSERT_EQ(C_GenerateKey(h_, &rc4, t, 1, &a), CKR_OK);
  EXPECT_EQ(attr(a, CKA_VALUE).size(), 16u);
  CK_VERSION v30{3, 0};
  CK_MECHANISM pm = mech(CKM_SSL3_PRE_MASTER_KEY_GEN, &v30, sizeof v30);
  ASSERT_EQ(C_GenerateKey(h_, &pm, nullptr, 0, &a), CKR_OK);
  const Bytes pre = attr(a, CKA_VALUE);
  ASSERT_EQ(pre.size(), 48u);
  EXPECT_EQ(pre[0], 3);
  EXPECT_EQ(pre[1], 0);
  EXPECT_EQ(attr(a, CKA_DERIVE), Bytes{CK_TRUE});
}

TEST_F(KeyGen, TokenKeysOnTheCard) {
  // AES-128: the card's generator (84 54), then the card ciphers with it.
  CK_MECHANISM aes = mech(CKM_AES_KEY_GEN);
  CK_BBOOL yes = CK_TRUE;
  char label[] = "card aes";
  CK_ATTRIBUTE t[] = {{CKA_TOKEN, &yes, 1}, {CKA_LABEL, label, sizeof label - 1}};
  const std::size_t gens = trace_count("pcmd=8054");
  CK_OBJECT_HANDLE k = 0;
  ASSERT_EQ(C_GenerateKey(h_, &aes, t, 2, &k), CKR_OK);
  EXPECT_EQ(trace_count("pcmd=8054"), gens + 1);
  const Bytes data = seq(48, 2);
  const std::size_t before = card_crypts();
  const Bytes ct = crypt1(true, mech(CKM_AES_ECB), k, data);
  EXPECT_EQ(crypt1(false, mech(CKM_AES_ECB), k, ct), data);
  EXPECT_EQ(card_crypts(), before + 2);
  EXPECT_NE(ct, data);
  // A token pre-master secret: made here (03 00 first), kept on the card.
  CK_VERSION v30{3, 0};
  CK_MECHANISM pm = mech(CKM_SSL3_PRE_MASTER_KEY_GEN, &v30, sizeof v30);
  char plabel[] = "card pre-master";
  CK_ATTRIBUTE pt[] = {{CKA_TOKEN, &yes, 1}, {CKA_LABEL, plabel, sizeof plabel - 1}};
  CK_OBJECT_HANDLE p = 0;
  ASSERT_EQ(C_GenerateKey(h_, &pm, pt, 2, &p), CKR_OK);
  const Bytes pre = attr(p, CKA_VALUE);
  ASSERT_EQ(pre.size(), 48u);
  // After a restart the two keys are read back from the card.
  C_Finalize(nullptr);
  SetUp();
  auto by_label = [&](char* l, std::size_t n) {
    CK_ATTRIBUTE q{CKA_LABEL, l, n};
    CK_OBJECT_HANDLE found[2];
    CK_ULONG c = 0;
    EXPECT_EQ(C_FindObjectsInit(h_, &q, 1), CKR_OK);
    EXPECT_EQ(C_FindObjects(h_, found, 2, &c), CKR_OK);
    EXPECT_EQ(C_FindObjectsFinal(h_), CKR_OK);
    EXPECT_EQ(c, 1u);
    return c == 1 ? found[0] : 0;
  };
  k = by_label(label, sizeof label - 1);
  EXPECT_EQ(crypt1(false, mech(CKM_AES_ECB), k, ct), data);
  p = by_label(plabel, sizeof plabel - 1);
  EXPECT_EQ(attr(p, CKA_VALUE), pre);
  EXPECT_EQ(pre[0], 3);
  EXPECT_EQ(pre[1], 0);
  CK_ULONG gm = 0;
  CK_ATTRIBUTE q{CKA_KEY_GEN_MECHANISM, &gm, sizeof gm};
  ASSERT_EQ(C_GetAttributeValue(h_, p, &q, 1), CKR_OK);
  EXPECT_EQ(gm, static_cast<CK_ULONG>(CKM_SSL3_PRE_MASTER_KEY_GEN));
  EXPECT_EQ(C_DestroyObject(h_, k), CKR_OK);
  EXPECT_EQ(C_DestroyObject(h_, p), CKR_OK);
}

TEST_F(KeyPair, TemplateRules) {
  CK_MECHANISM m = mech(CKM_RSA_PKCS_KEY_PAIR_GEN);
  CK_ULONG bits = 1536;
  CK_BBOOL yes = CK_TRUE, no = CK_FALSE;
  Bytes e = hex("010001"), e3 = hex("03");
  CK_ATTRIBUTE pub[] = {{CKA_MODULUS_BITS, &bits, sizeof bits}, {CKA_PUBLIC_EXPONENT, e.data(), 3},
                        {CKA_TOKEN, &no, 1}};
  CK_ATTRIBUTE priv[] = {{CKA_TOKEN, &no, 1}};
  CK_OBJECT_HANDLE a = 0, b = 0;
  EXPECT_EQ(C_GenerateKeyPair(h_, &m, pub, 3, priv, 1, &a, &b), CKR_ATTRIBUTE_VALUE_INVALID);
  bits = 1024;
  pub[2].pValue = &yes;
  EXPECT_EQ(C_GenerateKeyPair(h_, &m, pub, 3, priv, 1, &a, &b), CKR_TEMPLATE_INCONSISTENT);
  pub[2].pValue = &no;
  CK_ATTRIBUTE priv2[] = {{CKA_TOKEN, &no, 1}, {CKA_DECRYPT, &no, 1}};
  EXPECT_EQ(C_GenerateKeyPair(h_, &m, pub, 3, priv2, 2, &a, &b), CKR_TEMPLATE_INCONSISTENT);
  CK_ATTRIBUTE pub3[] = {{CKA_MODULUS_BITS, &bits, sizeof bits}, {CKA_PUBLIC_EXPONENT, e3.data(), 1},
                         {CKA_TOKEN, &no, 1}};
  EXPECT_EQ(C_GenerateKeyPair(h_, &m, pub3, 3, priv, 1, &a, &b), CKR_ATTRIBUTE_VALUE_INVALID);
  CK_ATTRIBUTE pub4[] = {{CKA_PUBLIC_EXPONENT, e.data(), 3}};
  EXPECT_EQ(C_GenerateKeyPair(h_, &m, pub4, 1, priv, 1, &a, &b), CKR_TEMPLATE_INCOMPLETE);
  EXPECT_EQ(C_GenerateKeyPair(h_, &m, nullptr, 0, priv, 1, &a, &b), CKR_ARGUMENTS_BAD);
  CK_MECHANISM aes = mech(CKM_AES_KEY_GEN);
  EXPECT_EQ(C_GenerateKeyPair(h_, &aes, pub, 3, priv, 1, &a, &b), CKR_MECHANISM_INVALID);
}

TEST_F(KeyPair, TokenPairsOnTheCard) {
  CK_MECHANISM m = mech(CKM_RSA_PKCS_KEY_PAIR_GEN);
  CK_ULONG bits = 1024;
  CK_BBOOL yes = CK_TRUE, no = CK_FALSE;
  Bytes e = hex("010001");
  char label[] = "card pair";
  // Decipherment pair (AP-CIPH): the card decrypts what OpenSSL and the
  // module encrypted with its public key.
  CK_ATTRIBUTE pub[] = {{CKA_MODULUS_BITS, &bits, sizeof bits}, {CKA_PUBLIC_EXPONENT, e.data(), 3},
                        {CKA_TOKEN, &yes, 1}, {CKA_LABEL, label, sizeof label - 1}};
  CK_ATTRIBUTE priv[] = {{CKA_TOKEN, &yes, 1}, {CKA_LABEL, label, sizeof label - 1}};
  CK_OBJECT_HANDLE pk = 0, sk = 0;
  const std::size_t gens = trace_count("pcmd=8046");
  ASSERT_EQ(C_GenerateKeyPair(h_, &m, pub, 4, priv, 2, &pk, &sk), CKR_OK);
  EXPECT_EQ(trace_count("pcmd=8046"), gens + 1);
  const Bytes n = attr(pk, CKA_MODULUS);
  ASSERT_EQ(n.size(), 128u);
  EXPECT_EQ(attr(sk, CKA_MODULUS), n);
  EXPECT_EQ(attr(sk, 0x8004), ossl_digest("SHA1", n));
  EXPECT_EQ(attr(sk, CKA_LOCAL), Bytes{CK_TRUE});
  EXPECT_EQ(attr(sk, CKA_ALWAYS_SENSITIVE), Bytes{CK_TRUE});
  const Bytes data = seq(50, 4);
  CK_MECHANISM rsa = mech(CKM_RSA_PKCS);
  EXPECT_EQ(crypt1(false, rsa, sk, crypt1(true, rsa, pk, data)), data);
  // Signature pair (CKA_ENCRYPT false: AP-SIGN); signs, does not decrypt.
  char slabel[] = "card signing pair";
  CK_ATTRIBUTE spub[] = {{CKA_MODULUS_BITS, &bits, sizeof bits}, {CKA_PUBLIC_EXPONENT, e.data(), 3},
                         {CKA_TOKEN, &yes, 1}, {CKA_ENCRYPT, &no, 1}, {CKA_LABEL, slabel, sizeof slabel - 1}};
  CK_ATTRIBUTE spriv[] = {{CKA_TOKEN, &yes, 1}, {CKA_DECRYPT, &no, 1}};
  CK_OBJECT_HANDLE spk = 0, ssk = 0;
  ASSERT_EQ(C_GenerateKeyPair(h_, &m, spub, 5, spriv, 2, &spk, &ssk), CKR_OK);
  EXPECT_EQ(C_DecryptInit(h_, &rsa, ssk), CKR_KEY_FUNCTION_NOT_PERMITTED);
  ASSERT_EQ(C_SignInit(h_, &rsa, ssk), CKR_OK);
  Bytes sig(128);
  CK_ULONG sl = sig.size();
  const Bytes tbs = seq(35, 9);
  ASSERT_EQ(C_Sign(h_, const_cast<std::uint8_t*>(tbs.data()), tbs.size(), sig.data(), &sl), CKR_OK);
  ASSERT_EQ(C_VerifyInit(h_, &rsa, spk), CKR_OK);
  EXPECT_EQ(C_Verify(h_, const_cast<std::uint8_t*>(tbs.data()), tbs.size(), sig.data(), sl), CKR_OK);
  // After a restart the pair is read back with the same modulus.
  C_Finalize(nullptr);
  SetUp();
  CK_OBJECT_CLASS pc = CKO_PUBLIC_KEY;
  CK_ATTRIBUTE q[] = {{CKA_CLASS, &pc, sizeof pc}, {CKA_LABEL, label, sizeof label - 1}};
  CK_OBJECT_HANDLE found[2];
  CK_ULONG c = 0;
  ASSERT_EQ(C_FindObjectsInit(h_, q, 2), CKR_OK);
  ASSERT_EQ(C_FindObjects(h_, found, 2, &c), CKR_OK);
  ASSERT_EQ(C_FindObjectsFinal(h_), CKR_OK);
  ASSERT_EQ(c, 1u);
  EXPECT_EQ(attr(found[0], CKA_MODULUS), n);
}

TEST_F(Wrap, PrivateKeyAsPkcs8RoundTrips) {
  for (CK_ULONG bits : {1024UL, 2048UL}) {
    SCOPED_TRACE(bits);
    CK_MECHANISM m = mech(CKM_RSA_PKCS_KEY_PAIR_GEN);
    CK_BBOOL yes = CK_TRUE, no = CK_FALSE;
    Bytes e = hex("010001");
    CK_ATTRIBUTE pub[] = {{CKA_MODULUS_BITS, &bits, sizeof bits}, {CKA_PUBLIC_EXPONENT, e.data(), 3},
                          {CKA_TOKEN, &no, 1}};
    CK_ATTRIBUTE priv[] = {{CKA_TOKEN, &no, 1}, {CKA_EXTRACTABLE, &yes, 1}, {CKA_SENSITIVE, &no, 1}};
    CK_OBJECT_HANDLE pk = 0, sk = 0;
    ASSERT_EQ(C_GenerateKeyPair(h_, &m, pub, 3, priv, 3, &pk, &sk), CKR_OK);
    std::vector<Bytes> parts;
    for (auto t : kRsaParts) parts.push_back(attr(sk, t));
    const Bytes kek = seq(24, 0x70), iv = seq(8, 0x30);
    const CK_OBJECT_HANDLE wk = secret(CKK_DES3, kek);
    CK_MECHANISM w = mech(CKM_DES3_CBC_PAD, iv.data(), 8);
    CK_ULONG n = 0;
    ASSERT_EQ(C_WrapKey(h_, &w, wk, sk, nullptr, &n), CKR_OK);
    Bytes blob(n);
    ASSERT_EQ(C_WrapKey(h_, &w, wk, sk, blob.data(), &n), CKR_OK);
    // The plain text is OpenSSL's PKCS#8 encoding of the same key.
    EVP_PKEY* ok = ossl_private_key(parts);
    ASSERT_NE(ok, nullptr);
    EXPECT_EQ(hexs(ossl_cipher("DES-EDE3-CBC", kek, iv, blob, false, true)), hexs(ossl_pkcs8(ok)));
    EVP_PKEY_free(ok);
    // Unwrapped: a private key with the same modulus that decrypts.
    CK_OBJECT_CLASS cls = CKO_PRIVATE_KEY;
    CK_KEY_TYPE kt = CKK_RSA;
    CK_ATTRIBUTE ut[] = {{CKA_CLASS, &cls, sizeof cls}, {CKA_KEY_TYPE, &kt, sizeof kt}, {CKA_TOKEN, &no, 1}};
    CK_OBJECT_HANDLE uk = 0;
    ASSERT_EQ(C_UnwrapKey(h_, &w, wk, blob.data(), n, ut, 3, &uk), CKR_OK);
    EXPECT_EQ(attr(uk, CKA_MODULUS), parts[0]);
    CK_MECHANISM rsa = mech(CKM_RSA_PKCS);
    EXPECT_EQ(crypt1(false, rsa, uk, crypt1(true, rsa, pk, seq(40))), seq(40));
    // The last byte of the block before the last flips the padding byte
    // of the plain text: v ^ 0x55 is never 1 to 8.
    blob[n - 1 - 8] ^= 0x55;
    EXPECT_EQ(C_UnwrapKey(h_, &w, wk, blob.data(), n, ut, 3, &uk), CKR_WRAPPED_KEY_INVALID);
    for (auto h : {pk, sk, wk}) C_DestroyObject(h_, h);
  }
}

TEST_F(Wrap, CardPrivateKeyUnwrapsToTheSameModulus) {
  CK_MECHANISM m = mech(CKM_RSA_PKCS_KEY_PAIR_GEN);
  CK_ULONG bits = 1024;
  CK_BBOOL yes = CK_TRUE, no = CK_FALSE;
  Bytes e = hex("010001");
  CK_ATTRIBUTE pub[] = {{CKA_MODULUS_BITS, &bits, sizeof bits}, {CKA_PUBLIC_EXPONENT, e.data(), 3},
                        {CKA_TOKEN, &yes, 1}};
  CK_ATTRIBUTE priv[] = {{CKA_TOKEN, &yes, 1}, {CKA_EXTRACTABLE, &yes, 1}};
  CK_OBJECT_HANDLE pk = 0, sk = 0;
  ASSERT_EQ(C_GenerateKeyPair(h_, &m, pub, 3, priv, 2, &pk, &sk), CKR_OK);
  const CK_OBJECT_HANDLE wk = secret(CKK_AES, seq(16, 0x71));
  const Bytes iv = seq(16, 0x31);
  CK_MECHANISM w = mech(CKM_AES_CBC_PAD, iv.data(), 16);
  Bytes blob(2048);
  CK_ULONG n = blob.size();
  ASSERT_EQ(C_WrapKey(h_, &w, wk, sk, blob.data(), &n), CKR_OK);
  CK_OBJECT_CLASS cls = CKO_PRIVATE_KEY;
  CK_KEY_TYPE kt = CKK_RSA;
  CK_ATTRIBUTE ut[] = {{CKA_CLASS, &cls, sizeof cls}, {CKA_KEY_TYPE, &kt, sizeof kt}, {CKA_TOKEN, &no, 1}};
  CK_OBJECT_HANDLE uk = 0;
  ASSERT_EQ(C_UnwrapKey(h_, &w, wk, blob.data(), n, ut, 3, &uk), CKR_OK);
  EXPECT_EQ(attr(uk, CKA_MODULUS), attr(pk, CKA_MODULUS));
  // The software copy signs what the card's public key verifies.
  CK_MECHANISM rsa = mech(CKM_RSA_PKCS);
  ASSERT_EQ(C_SignInit(h_, &rsa, uk), CKR_OK);
  Bytes sig(128);
  CK_ULONG sl = sig.size();
  Bytes tbs = seq(20);
  ASSERT_EQ(C_Sign(h_, tbs.data(), tbs.size(), sig.data(), &sl), CKR_OK);
  ASSERT_EQ(C_VerifyInit(h_, &rsa, pk), CKR_OK);
  EXPECT_EQ(C_Verify(h_, tbs.data(), tbs.size(), sig.data(), sl), CKR_OK);
  EXPECT_EQ(C_DestroyObject(h_, pk), CKR_OK);
  EXPECT_EQ(C_DestroyObject(h_, sk), CKR_OK);
}

TEST_F(Wrap, SecretKeysAndRefusals) {
  const Bytes value = seq(24, 0x12);
  const CK_OBJECT_HANDLE key = secret(CKK_DES3, value);
  const CK_OBJECT_HANDLE kek = secret(CKK_AES, seq(16, 0x13));
  CK_MECHANISM ecb = mech(CKM_AES_ECB);
  Bytes blob(512);
  CK_ULONG n = blob.size();
  // 24 bytes under AES-ECB: not whole blocks.
  EXPECT_EQ(C_WrapKey(h_, &ecb, kek, key, blob.data(), &n), CKR_KEY_SIZE_RANGE);
  const CK_OBJECT_HANDLE k32 = secret(CKK_AES, seq(32, 0x14));
  n = blob.size();
  ASSERT_EQ(C_WrapKey(h_, &ecb, kek, k32, blob.data(), &n), CKR_OK);
  ASSERT_EQ(n, 32u);
  blob.resize(n);
  EXPECT_EQ(blob, ossl_cipher("AES-128-ECB", seq(16, 0x13), {}, seq(32, 0x14), true, false));
  CK_OBJECT_CLASS cls = CKO_SECRET_KEY;
  CK_KEY_TYPE kt = CKK_AES;
  CK_ATTRIBUTE ut[] = {{CKA_CLASS, &cls, sizeof cls}, {CKA_KEY_TYPE, &kt, sizeof kt}};
  CK_OBJECT_HANDLE uk = 0;
  ASSERT_EQ(C_UnwrapKey(h_, &ecb, kek, blob.data(), blob.size(), ut, 2, &uk), CKR_OK);
  EXPECT_EQ(attr(uk, CKA_VALUE), seq(32, 0x14));
  // Not extractable; a private key under RSA or an unpadded mode.
  const CK_OBJECT_HANDLE locked = secret(CKK_AES, seq(16, 0x15), false, false);
  n = 512;
  blob.resize(512);
  EXPECT_EQ(C_WrapKey(h_, &ecb, kek, locked, blob.data(), &n), CKR_KEY_UNEXTRACTABLE);
  CK_MECHANISM gm = mech(CKM_RSA_PKCS_KEY_PAIR_GEN);
  CK_ULONG bits = 1024;
  CK_BBOOL no = CK_FALSE, yes = CK_TRUE;
  Bytes e = hex("010001");
  CK_ATTRIBUTE pub[] = {{CKA_MODULUS_BITS, &bits, sizeof bits}, {CKA_PUBLIC_EXPONENT, e.data(), 3},
                        {CKA_TOKEN, &no, 1}};
  CK_ATTRIBUTE priv[] = {{CKA_TOKEN, &no, 1}, {CKA_EXTRACTABLE, &yes, 1}};
  CK_OBJECT_HANDLE pk = 0, sk = 0;
  ASSERT_EQ(C_GenerateKeyPair(h_, &gm, pub, 3, priv, 2, &pk, &sk), CKR_OK);
  CK_MECHANISM rsa = mech(CKM_RSA_PKCS);
  EXPECT_EQ(C_WrapKey(h_, &rsa, pk, sk, blob.data(), &n), CKR_KEY_NOT_WRAPPABLE);
  EXPECT_EQ(C_WrapKey(h_, &ecb, kek, sk, blob.data(), &n), CKR_KEY_NOT_WRAPPABLE);
  EXPECT_EQ(C_WrapKey(h_, &rsa, kek, key, blob.data(), &n), CKR_WRAPPING_KEY_TYPE_INCONSISTENT);
  // A secret key under the card's decipherment public key, opened by the
  // card's private key.
  CK_OBJECT_CLASS pcls = CKO_PUBLIC_KEY;
  CK_BBOOL t = CK_TRUE;
  CK_ATTRIBUTE q[] = {{CKA_CLASS, &pcls, sizeof pcls}, {CKA_ENCRYPT, &t, 1}, {CKA_TOKEN, &t, 1}};
  CK_OBJECT_HANDLE cpub = 0;
  CK_ULONG c = 0;
  ASSERT_EQ(C_FindObjectsInit(h_, q, 3), CKR_OK);
  ASSERT_EQ(C_FindObjects(h_, &cpub, 1, &c), CKR_OK);
  ASSERT_EQ(C_FindObjectsFinal(h_), CKR_OK);
  ASSERT_EQ(c, 1u);
  const Bytes id = attr(cpub, CKA_ID);
  CK_OBJECT_CLASS scls = CKO_PRIVATE_KEY;
  CK_ATTRIBUTE q2[] = {{CKA_CLASS, &scls, sizeof scls}, {CKA_ID, const_cast<std::uint8_t*>(id.data()), id.size()}};
  CK_OBJECT_HANDLE cpriv = 0;
  ASSERT_EQ(C_FindObjectsInit(h_, q2, 2), CKR_OK);
  ASSERT_EQ(C_FindObjects(h_, &cpriv, 1, &c), CKR_OK);
  ASSERT_EQ(C_FindObjectsFinal(h_), CKR_OK);
  ASSERT_EQ(c, 1u);
  n = 512;
  ASSERT_EQ(C_WrapKey(h_, &rsa, cpub, key, blob.data(), &n), CKR_OK);
  ASSERT_EQ(n, 256u);
  CK_KEY_TYPE des3 = CKK_DES3;
  CK_ATTRIBUTE ut3[] = {{CKA_CLASS, &cls, sizeof cls}, {CKA_KEY_TYPE, &des3, sizeof des3}};
  EXPECT_EQ(C_UnwrapKey(h_, &rsa, cpriv, blob.data(), 255, ut3, 2, &uk), CKR_WRAPPED_KEY_LEN_RANGE);
  ASSERT_EQ(C_UnwrapKey(h_, &rsa, cpriv, blob.data(), 256, ut3, 2, &uk), CKR_OK);
  EXPECT_EQ(attr(uk, CKA_VALUE), value);
  CK_OBJECT_CLASS pv = CKO_PRIVATE_KEY;
  CK_KEY_TYPE rk = CKK_RSA;
  CK_ATTRIBUTE upriv[] = {{CKA_CLASS, &pv, sizeof pv}, {CKA_KEY_TYPE, &rk, sizeof rk}};
  EXPECT_EQ(C_UnwrapKey(h_, &rsa, cpriv, blob.data(), 256, upriv, 2, &uk), CKR_WRAPPED_KEY_INVALID);
}

TEST_F(Derive, Ssl3MasterSecretAndKeyBlockEqualTheReference) {
  CK_VERSION v30{3, 0};
  CK_MECHANISM pm = mech(CKM_SSL3_PRE_MASTER_KEY_GEN, &v30, sizeof v30);
  CK_OBJECT_HANDLE pre = 0;
  ASSERT_EQ(C_GenerateKey(h_, &pm, nullptr, 0, &pre), CKR_OK);
  const Bytes pre_value = attr(pre, CKA_VALUE);
  Bytes cr = seq(32, 0xC0), sr = seq(32, 0x50);
  CK_VERSION got{0, 0};
  Ssl3MasterKeyDeriveParams mp{{cr.data(), cr.size(), sr.data(), sr.size()}, &got};
  CK_MECHANISM md = mech(CKM_SSL3_MASTER_KEY_DERIVE, &mp, sizeof mp);
  CK_OBJECT_HANDLE master = 0;
  ASSERT_EQ(C_DeriveKey(h_, &md, pre, nullptr, 0, &master), CKR_OK);
  const Bytes master_value = attr(master, CKA_VALUE);
  EXPECT_EQ(hexs(master_value), hexs(ssl3_reference(pre_value, cr, sr, 48)));
  EXPECT_EQ(got.major, 3);
  EXPECT_EQ(got.minor, 0);
  // Key block: 20-byte MAC secrets, 16-byte keys, 8-byte IVs.
  Bytes ivc(8), ivs(8);
  Ssl3KeyMatOut out{0, 0, 0, 0, ivc.data(), ivs.data()};
  Ssl3KeyMatParams kp{160, 128, 64, CK_FALSE, {cr.data(), cr.size(), sr.data(), sr.size()}, &out};
  CK_MECHANISM kd = mech(CKM_SSL3_KEY_AND_MAC_DERIVE, &kp, sizeof kp);
  CK_KEY_TYPE des2 = CKK_DES2;
  CK_ATTRIBUTE kt[] = {{CKA_KEY_TYPE, &des2, sizeof des2}};
  CK_OBJECT_HANDLE dummy = 0;
  EXPECT_EQ(C_DeriveKey(h_, &kd, master, kt, 1, &dummy), CKR_ARGUMENTS_BAD);
  ASSERT_EQ(C_DeriveKey(h_, &kd, master, kt, 1, nullptr), CKR_OK);
  const Bytes block = ssl3_reference(master_value, sr, cr, 2 * (20 + 16 + 8));
  auto cut = [&](std::size_t off, std::size_t len) { return hexs(Bytes(block.begin() + off, block.begin() + off + len)); };
  EXPECT_EQ(hexs(attr(out.hClientMacSecret, CKA_VALUE)), cut(0, 20));
  EXPECT_EQ(hexs(attr(out.hServerMacSecret, CKA_VALUE)), cut(20, 20));
  EXPECT_EQ(hexs(attr(out.hClientKey, CKA_VALUE)), cut(40, 16));
  EXPECT_EQ(hexs(attr(out.hServerKey, CKA_VALUE)), cut(56, 16));
  EXPECT_EQ(hexs(ivc), cut(72, 8));
  EXPECT_EQ(hexs(ivs), cut(80, 8));
  CK_ULONG t = 0;
  CK_ATTRIBUTE q{CKA_KEY_TYPE, &t, sizeof t};
  ASSERT_EQ(C_GetAttributeValue(h_, out.hClientKey, &q, 1), CKR_OK);
  EXPECT_EQ(t, static_cast<CK_ULONG>(CKK_DES2));
  ASSERT_EQ(C_GetAttributeValue(h_, out.hClientMacSecret, &q, 1), CKR_OK);
  EXPECT_EQ(t, static_cast<CK_ULONG>(CKK_GENERIC_SECRET));
}

TEST_F(Derive, BaseKeyAndParameterChecks) {
  CK_VERSION v30{3, 0};
  CK_MECHANISM pm = mech(CKM_SSL3_PRE_MASTER_KEY_GEN, &v30, sizeof v30);
  CK_OBJECT_HANDLE pre = 0, out = 0;
  ASSERT_EQ(C_GenerateKey(h_, &pm, nullptr, 0, &pre), CKR_OK);
  Bytes cr = seq(32, 1), sr = seq(32, 2);
  Ssl3MasterKeyDeriveParams mp{{cr.data(), cr.size(), sr.data(), sr.size()}, nullptr};
  CK_MECHANISM md = mech(CKM_SSL3_MASTER_KEY_DERIVE, &mp, sizeof mp);
  // An AES key is no base; nor a pre-master secret for the key block.
  const CK_OBJECT_HANDLE aes = secret(CKK_AES, seq(16));
  EXPECT_EQ(C_DeriveKey(h_, &md, aes, nullptr, 0, &out), CKR_KEY_TYPE_INCONSISTENT);
  Bytes ivc(8), ivs(8);
  Ssl3KeyMatOut km{0, 0, 0, 0, ivc.data(), ivs.data()};
  Ssl3KeyMatParams kp{160, 128, 64, CK_FALSE, {cr.data(), cr.size(), sr.data(), sr.size()}, &km};
  CK_MECHANISM kd = mech(CKM_SSL3_KEY_AND_MAC_DERIVE, &kp, sizeof kp);
  EXPECT_EQ(C_DeriveKey(h_, &kd, pre, nullptr, 0, nullptr), CKR_KEY_HANDLE_INVALID);
  kp.ulMacSizeInBits = 161;
  EXPECT_EQ(C_DeriveKey(h_, &kd, pre, nullptr, 0, nullptr), CKR_MECHANISM_PARAM_INVALID);
  kp.ulMacSizeInBits = 160;
  kp.bIsExport = CK_TRUE;
  EXPECT_EQ(C_DeriveKey(h_, &kd, pre, nullptr, 0, nullptr), CKR_MECHANISM_PARAM_INVALID);
  md.ulParameterLen = sizeof mp - 1;
  EXPECT_EQ(C_DeriveKey(h_, &md, pre, nullptr, 0, &out), CKR_MECHANISM_PARAM_INVALID);
  md.ulParameterLen = sizeof mp;
  EXPECT_EQ(C_DeriveKey(h_, &md, pre, nullptr, 0, nullptr), CKR_ARGUMENTS_BAD);
  EXPECT_EQ(C_DeriveKey(h_, nullptr, pre, nullptr, 0, &out), CKR_MECHANISM_INVALID);
  // A token pre-master secret: its value comes from the card.
  CK_BBOOL yes = CK_TRUE;
  CK_ATTRIBUTE tt[] = {{CKA_TOKEN, &yes, 1}};
  CK_OBJECT_HANDLE tpre = 0;
  ASSERT_EQ(C_GenerateKey(h_, &pm, tt, 1, &tpre), CKR_OK);
  ASSERT_EQ(C_DeriveKey(h_, &md, tpre, nullptr, 0, &out), CKR_OK);
  EXPECT_EQ(hexs(attr(out, CKA_VALUE)), hexs(ssl3_reference(attr(tpre, CKA_VALUE), cr, sr, 48)));
  EXPECT_EQ(C_DestroyObject(h_, tpre), CKR_OK);
}

TEST_F(KeyGen, PrivateTokenKeysNeedTheHeldPin) {
  // A private card key: generated by the card, used on the card with the
  // PIN verified again before each command.
  CK_BBOOL yes = CK_TRUE;
  CK_ATTRIBUTE t[] = {{CKA_TOKEN, &yes, 1}, {CKA_PRIVATE, &yes, 1}};
  CK_MECHANISM des = mech(CKM_DES2_KEY_GEN);
  CK_OBJECT_HANDLE k = 0;
  ASSERT_EQ(C_GenerateKey(h_, &des, t, 2, &k), CKR_OK);
  const Bytes data = seq(24, 6), iv = seq(8, 1);
  CK_MECHANISM cbc = mech(CKM_DES3_CBC, iv.data(), 8);
  const Bytes ct = crypt1(true, cbc, k, data);
  EXPECT_EQ(crypt1(false, cbc, k, ct), data);
  // Logged out, the key cannot be used.
  ASSERT_EQ(C_Logout(h_), CKR_OK);
  EXPECT_EQ(C_EncryptInit(h_, &cbc, k), CKR_USER_NOT_LOGGED_IN);
  ASSERT_EQ(C_Login(h_, CKU_USER, reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char*>("1234")), 4), CKR_OK);
  EXPECT_EQ(C_DestroyObject(h_, k), CKR_OK);
}
