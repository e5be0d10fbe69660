// Encryption and decryption through the module: session keys (software
// ciphers) and token keys (the card's PSO ENCIPHER / DECIPHER), each result
// compared with OpenSSL for the same key and IV, single-part and
// multi-part; the length, parameter and pending-input rules; RSA with the
// demo card's keys.
#include <openssl/core_names.h>
#include <openssl/param_build.h>
#include <openssl/rsa.h>

#include "crypto_test.h"
#include "mech_params.h"

using namespace p11crypto;
using p11::Rc2CbcParams;
using p11::Rc2Params;

namespace {

struct Case {
  CK_MECHANISM_TYPE mech;
  CK_KEY_TYPE kt;
  std::size_t key_len;
  const char* ossl;
  std::size_t iv_len;
  bool pad;
  std::size_t block;
};

const Case kCases[] = {
    {CKM_AES_ECB, CKK_AES, 16, "AES-128-ECB", 0, false, 16},
    {CKM_AES_CBC, CKK_AES, 16, "AES-128-CBC", 16, false, 16},
    {CKM_AES_CBC_PAD, CKK_AES, 16, "AES-128-CBC", 16, true, 16},
    {CKM_AES_ECB, CKK_AES, 32, "AES-256-ECB", 0, false, 16},
    {CKM_AES_CBC_PAD, CKK_AES, 32, "AES-256-CBC", 16, true, 16},
    {CKM_DES_ECB, CKK_DES, 8, "DES-ECB", 0, false, 8},
    {CKM_DES_CBC, CKK_DES, 8, "DES-CBC", 8, false, 8},
    {CKM_DES_CBC_PAD, CKK_DES, 8, "DES-CBC", 8, true, 8},
    {CKM_DES3_ECB, CKK_DES3, 24, "DES-EDE3-ECB", 0, false, 8},
    {CKM_DES3_CBC, CKK_DES3, 24, "DES-EDE3-CBC", 8, false, 8},
    {CKM_DES3_CBC_PAD, CKK_DES3, 24, "DES-EDE3-CBC", 8, true, 8},
    {CKM_DES3_CBC, CKK_DES2, 16, "DES-EDE-CBC", 8, false, 8},
    {CKM_DES3_CBC_PAD, CKK_DES2, 16, "DES-EDE-CBC", 8, true, 8},
};

// Runs one case against OpenSSL: single-part and multi-part both ways.
void check_case(Module& t, const Case& c, CK_OBJECT_HANDLE key, const Bytes& value,
                Bytes (Module::*one)(bool, CK_MECHANISM, CK_OBJECT_HANDLE, const Bytes&, CK_RV*),
                Bytes (Module::*parts)(bool, CK_MECHANISM, CK_OBJECT_HANDLE, const Bytes&, std::vector<std::size_t>)) {
  SCOPED_TRACE(std::string(c.ossl) + " key " + std::to_string(c.key_len));
  const Bytes iv = seq(c.iv_len, 0x40);
  const Bytes data = seq(c.pad ? 37 : 3 * c.block * 2, 3);
  const Bytes want = ossl_cipher(c.ossl, value, iv, data, true, c.pad);
  ASSERT_FALSE(want.empty());
  CK_MECHANISM m = mech(c.mech, c.iv_len ? iv.data() : nullptr, c.iv_len);
  EXPECT_EQ((t.*one)(true, m, key, data, nullptr), want);
  EXPECT_EQ((t.*one)(false, m, key, want, nullptr), data);
  // Parts that cut blocks for the padded modes, whole blocks otherwise.
  std::vector<std::size_t> in_parts = c.pad ? std::vector<std::size_t>{5, 19, 13}
                                            : std::vector<std::size_t>{c.block, 3 * c.block, 2 * c.block};
  EXPECT_EQ(hexs((t.*parts)(true, m, key, data, in_parts)), hexs(want));
  std::vector<std::size_t> out_parts = c.pad ? std::vector<std::size_t>{c.block + 3, want.size() - c.block - 3}
                                             : std::vector<std::size_t>{2 * c.block, 4 * c.block};
  EXPECT_EQ(hexs((t.*parts)(false, m, key, want, out_parts)), hexs(data));
}

class SoftCipher : public Module {};
class CardCipher : public Module {};
class CryptEdges : public Module {};
class Rsa : public Module {};

}  // namespace

TEST_F(SoftCipher, BlockCiphersEqualOpenSsl) {
  for (const auto& c : kCases) {
    const Bytes value = seq(c.key_len, 0x11);
    const CK_OBJECT_HANDLE key = secret(c.kt, value);
    const std::size_t before = card_crypts();
    check_case(*this, c, key, value, &Module::crypt1, &Module::crypt_parts);
    EXPECT_EQ(card_crypts(), before) << "session keys never reach the card";
    EXPECT_EQ(C_DestroyObject(h_, key), CKR_OK);
  }
}

TEST_F(SoftCipher, Rc2KnownAnswersAndOpenSsl) {
  // RC2 with 63 effective bits on a zero key and block.
  Rc2Params bits = 63;
  CK_OBJECT_HANDLE k0 = secret(CKK_RC2, Bytes(8, 0));
  EXPECT_EQ(crypt1(true, mech(CKM_RC2_ECB, &bits, sizeof bits), k0, Bytes(8, 0)), hex("ebb773f993278eff"));
  Rc2Params bits64 = 64;
  CK_OBJECT_HANDLE kf = secret(CKK_RC2, Bytes(8, 0xFF));
  EXPECT_EQ(crypt1(true, mech(CKM_RC2_ECB, &bits64, sizeof bits64), kf, Bytes(8, 0xFF)), hex("278b27e42e2f0d49"));
  // CBC_PAD with a 16-byte key and 128 effective bits against OpenSSL.
  const Bytes value = seq(16, 5);
  CK_OBJECT_HANDLE k = secret(CKK_RC2, value);
  Rc2CbcParams p{128, {1, 2, 3, 4, 5, 6, 7, 8}};
  const Bytes iv(p.iv, p.iv + 8);
  const Bytes data = seq(29, 9);
  const Bytes want = ossl_cipher("RC2-CBC", value, iv, data, true, true, 128);
  EXPECT_EQ(crypt1(true, mech(CKM_RC2_CBC_PAD, &p, sizeof p), k, data), want);
  EXPECT_EQ(crypt_parts(false, mech(CKM_RC2_CBC_PAD, &p, sizeof p), k, want, {9, want.size() - 9}), data);
}

TEST_F(SoftCipher, Rc4KnownAnswerAndRunningState) {
  const Bytes key = {'K', 'e', 'y'};
  const Bytes pt = {'P', 'l', 'a', 'i', 'n', 't', 'e', 'x', 't'};
  CK_OBJECT_HANDLE k = secret(CKK_RC4, key);
  EXPECT_EQ(crypt1(true, mech(CKM_RC4), k, pt), hex("bbf316e8d940af0ad3"));
  // The stream goes on across parts.
  EXPECT_EQ(crypt_parts(true, mech(CKM_RC4), k, pt, {4, 5}), hex("bbf316e8d940af0ad3"));
  EXPECT_EQ(crypt_parts(false, mech(CKM_RC4), k, hex("bbf316e8d940af0ad3"), {1, 8}), pt);
}

TEST_F(CardCipher, TokenKeysRunOnTheCardAndEqualOpenSsl) {
  // The card computes AES-128, DES and two-key triple DES.
  const Case card_cases[] = {
      {CKM_AES_ECB, CKK_AES, 16, "AES-128-ECB", 0, false, 16},
      {CKM_AES_CBC, CKK_AES, 16, "AES-128-CBC", 16, false, 16},
      {CKM_AES_CBC_PAD, CKK_AES, 16, "AES-128-CBC", 16, true, 16},
      {CKM_DES_CBC_PAD, CKK_DES, 8, "DES-CBC", 8, true, 8},
      {CKM_DES_ECB, CKK_DES, 8, "DES-ECB", 0, false, 8},
      {CKM_DES3_CBC, CKK_DES2, 16, "DES-EDE-CBC", 8, false, 8},
  };
  for (const auto& c : card_cases) {
    const Bytes value = seq(c.key_len, 0x21);
    const CK_OBJECT_HANDLE key = secret(c.kt, value, true);
    const std::size_t before = card_crypts();
    check_case(*this, c, key, value, &Module::crypt1, &Module::crypt_parts);
    // Single-part both ways and five update steps: seven card commands.
    EXPECT_GE(card_crypts(), before + 7) << "every step is a card command";
    EXPECT_EQ(C_DestroyObject(h_, key), CKR_OK);
  }
}

TEST_F(CardCipher, ThreeKeyTripleDesTokenKeyRunsInSoftware) {
  // The card has no three-key triple DES: the extractable key's value is
  // read and the cipher runs here.
  const Bytes value = seq(24, 0x33);
  const CK_OBJECT_HANDLE key = secret(CKK_DES3, value, true);
  const std::size_t before = card_crypts();
  check_case(*this, kCases[10], key, value, &Module::crypt1, &Module::crypt_parts);
  EXPECT_EQ(card_crypts(), before);
}

TEST_F(CardCipher, CardKeyEncryptionUsesEncipherDirection) {
  // Encrypting on the card and decrypting in OpenSSL proves the direction.
  const Bytes value = seq(16, 0x55);
  const CK_OBJECT_HANDLE key = secret(CKK_AES, value, true);
  const Bytes data = seq(32, 1);
  const Bytes ct = crypt1(true, mech(CKM_AES_ECB), key, data);
  EXPECT_EQ(ossl_cipher("AES-128-ECB", value, {}, ct, false, false), data);
}

TEST_F(CryptEdges, LengthRules) {
  const Bytes iv = seq(8, 0x40);
  const CK_OBJECT_HANDLE des = secret(CKK_DES, seq(8, 1));
  const CK_OBJECT_HANDLE aes = secret(CKK_AES, seq(16, 1));
  CK_MECHANISM pad = mech(CKM_DES_CBC_PAD, iv.data(), 8);
  // 16 bytes padded give 24; the length query says so first and keeps the
  // operation.
  ASSERT_EQ(C_EncryptInit(h_, &pad, des), CKR_OK);
  Bytes data = seq(16), out(64);
  CK_ULONG n = 0;
  ASSERT_EQ(C_Encrypt(h_, data.data(), 16, nullptr, &n), CKR_OK);
  EXPECT_EQ(n, 24u);
  n = 23;
  ASSERT_EQ(C_Encrypt(h_, data.data(), 16, out.data(), &n), CKR_BUFFER_TOO_SMALL);
  EXPECT_EQ(n, 24u);
  n = out.size();
  ASSERT_EQ(C_Encrypt(h_, data.data(), 16, out.data(), &n), CKR_OK);
  EXPECT_EQ(n, 24u);
  EXPECT_EQ(C_Encrypt(h_, data.data(), 16, out.data(), &n), CKR_OPERATION_NOT_INITIALIZED);
  // Zero bytes: data invalid, and the operation is over.
  ASSERT_EQ(C_EncryptInit(h_, &pad, des), CKR_OK);
  n = out.size();
  EXPECT_EQ(C_Encrypt(h_, data.data(), 0, out.data(), &n), CKR_DATA_INVALID);
  EXPECT_EQ(C_EncryptFinal(h_, out.data(), &n), CKR_OPERATION_NOT_INITIALIZED);
  // AES-ECB of 20 bytes.
  CK_MECHANISM ecb = mech(CKM_AES_ECB);
  CK_RV rv = 0;
  crypt1(true, ecb, aes, seq(20), &rv);
  EXPECT_EQ(rv, CKR_DATA_LEN_RANGE);
  crypt1(false, ecb, aes, seq(20), &rv);
  EXPECT_EQ(rv, CKR_ENCRYPTED_DATA_LEN_RANGE);
  // Decrypting a padded mode: whole blocks only.
  crypt1(false, pad, des, seq(12), &rv);
  EXPECT_EQ(rv, CKR_ENCRYPTED_DATA_LEN_RANGE);
}

TEST_F(CryptEdges, ParameterChecks) {
  const CK_OBJECT_HANDLE des = secret(CKK_DES, seq(8, 1));
  const CK_OBJECT_HANDLE rc2 = secret(CKK_RC2, seq(8, 1));
  const Bytes iv16 = seq(16);
  CK_MECHANISM m = mech(CKM_DES_CBC, iv16.data(), 16);
  EXPECT_EQ(C_EncryptInit(h_, &m, des), CKR_MECHANISM_PARAM_INVALID);
  Rc2Params bits = 2048;
  m = mech(CKM_RC2_ECB, &bits, sizeof bits);
  EXPECT_EQ(C_EncryptInit(h_, &m, rc2), CKR_MECHANISM_PARAM_INVALID);
  bits = 0;
  EXPECT_EQ(C_EncryptInit(h_, &m, rc2), CKR_MECHANISM_PARAM_INVALID);
  m = mech(CKM_AES_ECB, iv16.data(), 16);  // ECB takes no parameter
  EXPECT_EQ(C_EncryptInit(h_, &m, secret(CKK_AES, seq(16))), CKR_MECHANISM_PARAM_INVALID);
  m = mech(CKM_SHA_1);
  EXPECT_EQ(C_EncryptInit(h_, &m, des), CKR_MECHANISM_INVALID);
  EXPECT_EQ(C_EncryptInit(h_, nullptr, des), CKR_MECHANISM_INVALID);
  m = mech(CKM_DES_ECB);
  EXPECT_EQ(C_EncryptInit(h_, &m, 0xFFFFFFF0UL), CKR_KEY_HANDLE_INVALID);
}

TEST_F(CryptEdges, KeyTypesAndUsage) {
  // A DES key under AES, an RC2 key under DES: refused, never run with a
  // key of the wrong length.
  const CK_OBJECT_HANDLE des = secret(CKK_DES, seq(8, 1));
  const CK_OBJECT_HANDLE rc2 = secret(CKK_RC2, seq(8, 1));
  CK_MECHANISM aes = mech(CKM_AES_ECB);
  EXPECT_EQ(C_EncryptInit(h_, &aes, des), CKR_KEY_TYPE_INCONSISTENT);
  CK_MECHANISM d = mech(CKM_DES_ECB);
  EXPECT_EQ(C_EncryptInit(h_, &d, rc2), CKR_KEY_TYPE_INCONSISTENT);
  // A secret key without CKA_ENCRYPT.
  CK_OBJECT_CLASS cls = CKO_SECRET_KEY;
  CK_KEY_TYPE kt = CKK_DES;
  CK_BBOOL no = CK_FALSE;
  Bytes v = seq(8, 2);
  CK_ATTRIBUTE t[] = {{CKA_CLASS, &cls, sizeof cls}, {CKA_KEY_TYPE, &kt, sizeof kt}, {CKA_ENCRYPT, &no, 1},
                      {CKA_VALUE, v.data(), v.size()}};
  CK_OBJECT_HANDLE k = 0;
  ASSERT_EQ(C_CreateObject(h_, t, 4, &k), CKR_OK);
  EXPECT_EQ(C_EncryptInit(h_, &d, k), CKR_KEY_FUNCTION_NOT_PERMITTED);
  EXPECT_EQ(C_DecryptInit(h_, &d, k), CKR_OK);
}

TEST_F(CryptEdges, OneEncryptionPerTokenAndActiveState) {
  const CK_OBJECT_HANDLE aes = secret(CKK_AES, seq(16, 1));
  CK_MECHANISM m = mech(CKM_AES_ECB);
  ASSERT_EQ(C_EncryptInit(h_, &m, aes), CKR_OK);
  EXPECT_EQ(C_EncryptInit(h_, &m, aes), CKR_OPERATION_ACTIVE);
  CK_SESSION_HANDLE h2 = 0;
  ASSERT_EQ(C_OpenSession(slot_, CKF_SERIAL_SESSION, nullptr, nullptr, &h2), CKR_OK);
  EXPECT_EQ(C_EncryptInit(h2, &m, aes), CKR_FUNCTION_FAILED);
  EXPECT_EQ(C_DecryptInit(h2, &m, aes), CKR_OK);  // decryption is its own context
  Bytes out(16);
  CK_ULONG n = 16;
  ASSERT_EQ(C_EncryptFinal(h_, out.data(), &n), CKR_OK);
  EXPECT_EQ(n, 0u);
  EXPECT_EQ(C_EncryptInit(h2, &m, aes), CKR_OK);
  EXPECT_EQ(C_CloseSession(h2), CKR_OK);
}

TEST_F(CryptEdges, RefusedInitKeepsTheRunningRc4Stream) {
  const Bytes key = {'K', 'e', 'y'};
  CK_OBJECT_HANDLE k = secret(CKK_RC4, key);
  CK_MECHANISM m = mech(CKM_RC4);
  ASSERT_EQ(C_EncryptInit(h_, &m, k), CKR_OK);
  Bytes pt = {'P', 'l', 'a', 'i', 'n', 't', 'e', 'x', 't'}, out(16);
  CK_ULONG n = out.size();
  ASSERT_EQ(C_EncryptUpdate(h_, pt.data(), 4, out.data(), &n), CKR_OK);
  CK_OBJECT_HANDLE other = secret(CKK_RC4, Bytes{1, 2, 3, 4});
  EXPECT_EQ(C_EncryptInit(h_, &m, other), CKR_OPERATION_ACTIVE);
  n = out.size() - 4;
  ASSERT_EQ(C_EncryptUpdate(h_, pt.data() + 4, 5, out.data() + 4, &n), CKR_OK);
  out.resize(9);
  EXPECT_EQ(out, hex("bbf316e8d940af0ad3"));
  EXPECT_EQ(C_EncryptFinal(h_, out.data(), &n), CKR_OK);
}

TEST_F(CryptEdges, PaddingChecksAndPendingInput) {
  const Bytes value = seq(8, 7), iv = seq(8, 0x40);
  const CK_OBJECT_HANDLE des = secret(CKK_DES, value);
  CK_MECHANISM pad = mech(CKM_DES_CBC_PAD, iv.data(), 8);
  // Blocks whose last plain byte is 0 or 9.
  for (std::uint8_t last : {0, 9}) {
    Bytes plain = seq(16, 1);
    plain[15] = last;
    const Bytes ct = ossl_cipher("DES-CBC", value, iv, plain, true, false);
    CK_RV rv = 0;
    crypt1(false, pad, des, ct, &rv);
    EXPECT_EQ(rv, CKR_ENCRYPTED_DATA_INVALID) << int(last);
  }
  // AES-CBC-PAD: 32 bytes in one update give 16 and keep 16 pending.
  const Bytes akey = seq(16, 3), aiv = seq(16, 9);
  const CK_OBJECT_HANDLE aes = secret(CKK_AES, akey);
  const Bytes plain = seq(20, 4);
  const Bytes ct = ossl_cipher("AES-128-CBC", akey, aiv, plain, true, true);
  ASSERT_EQ(ct.size(), 32u);
  CK_MECHANISM am = mech(CKM_AES_CBC_PAD, aiv.data(), 16);
  ASSERT_EQ(C_DecryptInit(h_, &am, aes), CKR_OK);
  Bytes out(64);
  CK_ULONG n = 0;
  ASSERT_EQ(C_DecryptUpdate(h_, const_cast<std::uint8_t*>(ct.data()), 32, nullptr, &n), CKR_OK);
  EXPECT_EQ(n, 16u);
  n = out.size();
  ASSERT_EQ(C_DecryptUpdate(h_, const_cast<std::uint8_t*>(ct.data()), 32, out.data(), &n), CKR_OK);
  EXPECT_EQ(n, 16u);
  CK_ULONG m = 0;
  ASSERT_EQ(C_DecryptFinal(h_, nullptr, &m), CKR_OK);
  EXPECT_EQ(m, 4u);
  m = out.size() - 16;
  ASSERT_EQ(C_DecryptFinal(h_, out.data() + 16, &m), CKR_OK);
  out.resize(16 + m);
  EXPECT_EQ(out, plain);
  // Encryption: 5 bytes give nothing yet, the final block carries them.
  ASSERT_EQ(C_EncryptInit(h_, &am, aes), CKR_OK);
  n = out.size();
  out.resize(64);
  ASSERT_EQ(C_EncryptUpdate(h_, const_cast<std::uint8_t*>(plain.data()), 5, out.data(), &n), CKR_OK);
  EXPECT_EQ(n, 0u);
  n = 15;
  ASSERT_EQ(C_EncryptFinal(h_, out.data(), &n), CKR_BUFFER_TOO_SMALL);
  EXPECT_EQ(n, 16u);
  ASSERT_EQ(C_EncryptFinal(h_, out.data(), &n), CKR_OK);
  EXPECT_EQ(Bytes(out.begin(), out.begin() + 16), ossl_cipher("AES-128-CBC", akey, aiv, Bytes(plain.begin(), plain.begin() + 5), true, true));
  // A final decryption step without a whole pending block.
  ASSERT_EQ(C_DecryptInit(h_, &am, aes), CKR_OK);
  n = out.size();
  ASSERT_EQ(C_DecryptUpdate(h_, const_cast<std::uint8_t*>(ct.data()), 7, out.data(), &n), CKR_OK);
  EXPECT_EQ(n, 0u);
  n = out.size();
  EXPECT_EQ(C_DecryptFinal(h_, out.data(), &n), CKR_ENCRYPTED_DATA_INVALID);
}

namespace {

// The demo card's decipherment key pair (AP-CIPH): private and public key
// with the same CKA_ID.
bool decipher_pair(CK_SESSION_HANDLE h, CK_OBJECT_HANDLE* priv, CK_OBJECT_HANDLE* pub) {
  CK_OBJECT_CLASS cls = CKO_PRIVATE_KEY;
  CK_ATTRIBUTE t{CKA_CLASS, &cls, sizeof cls};
  CK_OBJECT_HANDLE found[8];
  CK_ULONG n = 0;
  if (C_FindObjectsInit(h, &t, 1) != CKR_OK || C_FindObjects(h, found, 8, &n) != CKR_OK) return false;
  C_FindObjectsFinal(h);
  for (CK_ULONG i = 0; i < n; ++i) {
    CK_BBOOL dec = CK_FALSE;
    CK_ATTRIBUTE d{CKA_DECRYPT, &dec, 1};
    if (C_GetAttributeValue(h, found[i], &d, 1) != CKR_OK || dec != CK_TRUE) continue;
    std::uint8_t id[64];
    CK_ATTRIBUTE a{CKA_ID, id, sizeof id};
    if (C_GetAttributeValue(h, found[i], &a, 1) != CKR_OK) continue;
    CK_OBJECT_CLASS pc = CKO_PUBLIC_KEY;
    CK_ATTRIBUTE q[] = {{CKA_CLASS, &pc, sizeof pc}, {CKA_ID, id, a.ulValueLen}};
    CK_ULONG m = 0;
    if (C_FindObjectsInit(h, q, 2) != CKR_OK || C_FindObjects(h, pub, 1, &m) != CKR_OK) return false;
    C_FindObjectsFinal(h);
    *priv = found[i];
    return m == 1;
  }
  return false;
}

Bytes ossl_rsa_encrypt(const Bytes& n, const Bytes& e, const Bytes& data) {
  BIGNUM* bn = BN_bin2bn(n.data(), static_cast<int>(n.size()), nullptr);
  BIGNUM* be = BN_bin2bn(e.data(), static_cast<int>(e.size()), nullptr);
  OSSL_PARAM_BLD* bld = OSSL_PARAM_BLD_new();
  OSSL_PARAM_BLD_push_BN(bld, "n", bn);
  OSSL_PARAM_BLD_push_BN(bld, "e", be);
  OSSL_PARAM* params = OSSL_PARAM_BLD_to_param(bld);
  EVP_PKEY* pkey = nullptr;
  EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr);
  Bytes out(512);
  size_t len = out.size();
  bool ok = EVP_PKEY_fromdata_init(ctx) == 1 && EVP_PKEY_fromdata(ctx, &pkey, EVP_PKEY_PUBLIC_KEY, params) == 1;
  EVP_PKEY_CTX* ectx = ok ? EVP_PKEY_CTX_new(pkey, nullptr) : nullptr;
  ok = ok && EVP_PKEY_encrypt_init(ectx) == 1 && EVP_PKEY_CTX_set_rsa_padding(ectx, RSA_PKCS1_PADDING) == 1 &&
       EVP_PKEY_encrypt(ectx, out.data(), &len, data.data(), data.size()) == 1;
  out.resize(ok ? len : 0);
  EVP_PKEY_CTX_free(ectx);
  EVP_PKEY_free(pkey);
  EVP_PKEY_CTX_free(ctx);
  OSSL_PARAM_free(params);
  OSSL_PARAM_BLD_free(bld);
  BN_free(bn);
  BN_free(be);
  return out;
}

}  // namespace

TEST_F(Rsa, TokenPublicEncryptsInSoftwareAndCardDecrypts) {
  CK_OBJECT_HANDLE priv = 0, pub = 0;
  ASSERT_TRUE(decipher_pair(h_, &priv, &pub));
  const Bytes n = attr(pub, CKA_MODULUS), e = attr(pub, CKA_PUBLIC_EXPONENT);
  ASSERT_EQ(n.size(), 256u);
  const Bytes secret_data = seq(48, 0x61);
  CK_MECHANISM m = mech(CKM_RSA_PKCS);
  // Module encryption: no card command, a 256-byte block.
  const std::size_t before = card_crypts();
  const Bytes ct = crypt1(true, m, pub, secret_data);
  EXPECT_EQ(ct.size(), 256u);
  EXPECT_EQ(card_crypts(), before);
  // The card opens it; and OpenSSL's block too.
  EXPECT_EQ(crypt1(false, m, priv, ct), secret_data);
  EXPECT_EQ(crypt1(false, m, priv, ossl_rsa_encrypt(n, e, secret_data)), secret_data);
  // 245 bytes fit, 246 do not.
  CK_RV rv = 0;
  EXPECT_EQ(crypt1(true, m, pub, seq(245), &rv).size(), 256u);
  crypt1(true, m, pub, seq(246), &rv);
  EXPECT_EQ(rv, CKR_DATA_LEN_RANGE);
  crypt1(false, m, priv, seq(255), &rv);
  EXPECT_EQ(rv, CKR_ENCRYPTED_DATA_LEN_RANGE);
}

TEST_F(Rsa, DecryptLengthQueryRunsTheCard) {
  CK_OBJECT_HANDLE priv = 0, pub = 0;
  ASSERT_TRUE(decipher_pair(h_, &priv, &pub));
  CK_MECHANISM m = mech(CKM_RSA_PKCS);
  const Bytes ct = crypt1(true, m, pub, seq(20, 3));
  ASSERT_EQ(C_DecryptInit(h_, &m, priv), CKR_OK);
  const std::size_t before = card_crypts();
  CK_ULONG n = 0;
  ASSERT_EQ(C_Decrypt(h_, const_cast<std::uint8_t*>(ct.data()), ct.size(), nullptr, &n), CKR_OK);
  EXPECT_EQ(n, 20u);
  EXPECT_GT(card_crypts(), before);
  Bytes out(n);
  ASSERT_EQ(C_Decrypt(h_, const_cast<std::uint8_t*>(ct.data()), ct.size(), out.data(), &n), CKR_OK);
  EXPECT_EQ(out, seq(20, 3));
  // Classes: a private key cannot encrypt, a public one cannot decrypt.
  EXPECT_EQ(C_EncryptInit(h_, &m, priv), CKR_KEY_TYPE_INCONSISTENT);
  EXPECT_EQ(C_DecryptInit(h_, &m, pub), CKR_KEY_TYPE_INCONSISTENT);
}

TEST_F(Rsa, SessionKeyPairInSoftware) {
  CK_MECHANISM gen = mech(CKM_RSA_PKCS_KEY_PAIR_GEN);
  CK_ULONG bits = 1024;
  CK_BBOOL no = CK_FALSE;
  Bytes e3 = hex("010001");
  CK_ATTRIBUTE pt[] = {{CKA_MODULUS_BITS, &bits, sizeof bits}, {CKA_TOKEN, &no, 1},
                       {CKA_PUBLIC_EXPONENT, e3.data(), 3}};
  CK_ATTRIBUTE vt[] = {{CKA_TOKEN, &no, 1}};
  CK_OBJECT_HANDLE pub = 0, priv = 0;
  const std::size_t before = trace_count("cmd=");
  ASSERT_EQ(C_GenerateKeyPair(h_, &gen, pt, 3, vt, 1, &pub, &priv), CKR_OK);
  EXPECT_EQ(trace_count("cmd="), before) << "a session pair is made without the card";
  const Bytes n = attr(pub, CKA_MODULUS);
  ASSERT_EQ(n.size(), 128u);
  EXPECT_EQ(attr(priv, CKA_MODULUS), n);
  CK_MECHANISM m = mech(CKM_RSA_PKCS);
  const Bytes data = seq(100, 8);
  EXPECT_EQ(crypt1(false, m, priv, crypt1(true, m, pub, data)), data);
  EXPECT_EQ(crypt1(false, m, priv, ossl_rsa_encrypt(n, attr(pub, CKA_PUBLIC_EXPONENT), data)), data);
  // Two blocks decrypt into one result.
  Bytes two = crypt1(true, m, pub, seq(10, 1));
  const Bytes second = crypt1(true, m, pub, seq(7, 2));
  two.insert(two.end(), second.begin(), second.end());
  Bytes want = seq(10, 1);
  const Bytes w2 = seq(7, 2);
  want.insert(want.end(), w2.begin(), w2.end());
  EXPECT_EQ(crypt1(false, m, priv, two), want);
}

namespace {

// Writes the simulator's fault file of reader 0 (re-read before each
// command); an empty text clears it.
void card_faults(const std::string& text) {
  const char* dir = std::getenv("VORNENV_DIR");
  ASSERT_NE(dir, nullptr);
  std::ofstream(std::string(dir) + "/reader0.faults", std::ios::trunc) << text;
}

}  // namespace

TEST_F(CardCipher, RefusedCardCommandsFailTheOperation) {
  const Bytes value = seq(16, 0x77);
  const CK_OBJECT_HANDLE key = secret(CKK_AES, value, true);
  const Bytes data = seq(32, 5);
  CK_MECHANISM m = mech(CKM_AES_ECB);
  // The card refuses PSO: the single-part call fails and ends the
  // operation; nothing is written to the caller's buffer.
  card_faults("sw 2A 6985 x1\n");
  ASSERT_EQ(C_EncryptInit(h_, &m, key), CKR_OK);
  Bytes out(32, 0xEE);
  CK_ULONG n = out.size();
  EXPECT_EQ(C_Encrypt(h_, const_cast<std::uint8_t*>(data.data()), 32, out.data(), &n), CKR_FUNCTION_FAILED);
  EXPECT_EQ(out, Bytes(32, 0xEE));
  EXPECT_EQ(C_EncryptFinal(h_, out.data(), &n), CKR_OPERATION_NOT_INITIALIZED);
  // A failing update ends a multi-part operation too.
  card_faults("sw 2A 6A80 x1\n");
  ASSERT_EQ(C_DecryptInit(h_, &m, key), CKR_OK);
  n = out.size();
  EXPECT_EQ(C_DecryptUpdate(h_, out.data(), 32, out.data(), &n), CKR_FUNCTION_FAILED);
  EXPECT_EQ(C_DecryptFinal(h_, out.data(), &n), CKR_OPERATION_NOT_INITIALIZED);
  // A channel answer with a bad MAC is a card failure as well.
  card_faults("badmac 2A x1\n");
  CK_RV rv = 0;
  crypt1(true, m, key, data, &rv);
  EXPECT_EQ(rv, CKR_FUNCTION_FAILED);
  // Without faults the same key works again.
  card_faults("");
  EXPECT_EQ(crypt1(true, m, key, data), ossl_cipher("AES-128-ECB", value, {}, data, true, false));
  EXPECT_EQ(C_DestroyObject(h_, key), CKR_OK);
}
