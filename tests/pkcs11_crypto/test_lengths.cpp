// Hostile lengths and the RSA unwrap answer: part lengths that wrap or do
// not fit 32 bits are refused before any byte is read (the input sits in
// front of an unmapped page), and C_UnwrapKey with CKM_RSA_PKCS answers a
// bad block exactly like a good one, on the card and in software.
#include <openssl/bn.h>
#include <sys/mman.h>
#include <unistd.h>

#include "crypto_test.h"

using namespace p11crypto;

namespace {

class CallerLengths : public Module {};
class UnwrapOracle : public Module {};

// One readable page followed by an unmapped one: reading past the page
// faults instead of reading someone else's memory.
struct GuardedPage {
  std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
  std::uint8_t* base = static_cast<std::uint8_t*>(
      mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
  GuardedPage() { mprotect(base + page, page, PROT_NONE); }
  ~GuardedPage() { munmap(base, 2 * page); }
};

constexpr CK_ULONG kMax = ~static_cast<CK_ULONG>(0);

}  // namespace

TEST_F(CallerLengths, HugePartLengthsAreRefusedBeforeAnyRead) {
  GuardedPage in;
  const Bytes iv = seq(16, 0x40);
  const CK_OBJECT_HANDLE aes = secret(CKK_AES, seq(16, 1));
  const CK_OBJECT_HANDLE rc4 = secret(CKK_RC4, seq(16, 2));
  struct Row {
    CK_MECHANISM_TYPE mech;
    CK_OBJECT_HANDLE key;
    CK_ULONG pending;  // bytes fed first (kept back by CBC_PAD)
    CK_ULONG len;
  };
  const Row rows[] = {
      {CKM_AES_CBC_PAD, aes, 0, kMax},       {CKM_AES_CBC_PAD, aes, 5, kMax},
      {CKM_AES_CBC_PAD, aes, 5, kMax - 4},   {CKM_AES_CBC_PAD, aes, 5, kMax - 15},
      {CKM_AES_CBC_PAD, aes, 0, kMax - 15},  {CKM_AES_CBC_PAD, aes, 0, (1ull << 32) + 16},
      {CKM_AES_ECB, aes, 0, kMax - 15},      {CKM_AES_ECB, aes, 0, (1ull << 32) + 16},
      {CKM_RC4, rc4, 0, kMax},               {CKM_RC4, rc4, 0, (1ull << 32) + 3},
  };
  for (const bool enc : {true, false}) {
    for (const Row& r : rows) {
      SCOPED_TRACE(testing::Message() << (enc ? "encrypt" : "decrypt") << " mech " << r.mech << " pending "
                                      << r.pending << " len 0x" << std::hex << r.len);
      const bool cbc = r.mech == CKM_AES_CBC_PAD;
      CK_MECHANISM m = mech(r.mech, cbc ? iv.data() : nullptr, cbc ? 16 : 0);
      ASSERT_EQ(enc ? C_EncryptInit(h_, &m, r.key) : C_DecryptInit(h_, &m, r.key), CKR_OK);
      auto update = [&](CK_BYTE_PTR p, CK_ULONG n, CK_BYTE_PTR out, CK_ULONG* out_len) {
        return enc ? C_EncryptUpdate(h_, p, n, out, out_len) : C_DecryptUpdate(h_, p, n, out, out_len);
      };
      Bytes out(64);
      CK_ULONG n = out.size();
      if (r.pending != 0) {
        ASSERT_EQ(update(in.base, r.pending, out.data(), &n), CKR_OK);
        ASSERT_EQ(n, 0u);
      }
      n = out.size();
      EXPECT_EQ(update(in.base, r.len, out.data(), &n), enc ? CKR_DATA_LEN_RANGE : CKR_ENCRYPTED_DATA_LEN_RANGE);
      EXPECT_EQ(n, out.size()) << "nothing reported";
      // The refusal ends the operation; a new one starts cleanly.
      EXPECT_EQ(update(in.base, 16, out.data(), &n), CKR_OPERATION_NOT_INITIALIZED);
      ASSERT_EQ(enc ? C_EncryptInit(h_, &m, r.key) : C_DecryptInit(h_, &m, r.key), CKR_OK);
      n = out.size();
      EXPECT_EQ(update(in.base, 32, out.data(), &n), CKR_OK);
      EXPECT_EQ(n, cbc && !enc ? 16u : 32u);
      n = out.size();
      const CK_RV fin = enc ? C_EncryptFinal(h_, out.data(), &n) : C_DecryptFinal(h_, out.data(), &n);
      if (enc || !cbc) {
        EXPECT_EQ(fin, CKR_OK);  // a padding check of zero bytes may go either way
      }
    }
  }
}

TEST_F(CallerLengths, HugeSinglePartLengthsAreRefusedBeforeAnyRead) {
  GuardedPage in;
  const CK_OBJECT_HANDLE aes = secret(CKK_AES, seq(16, 1));
  CK_OBJECT_CLASS pcls = CKO_PUBLIC_KEY;
  CK_BBOOL yes = CK_TRUE;
  CK_ATTRIBUTE q[] = {{CKA_CLASS, &pcls, sizeof pcls}, {CKA_ENCRYPT, &yes, 1}};
  CK_OBJECT_HANDLE rsa_pub = 0;
  CK_ULONG found = 0;
  ASSERT_EQ(C_FindObjectsInit(h_, q, 2), CKR_OK);
  ASSERT_EQ(C_FindObjects(h_, &rsa_pub, 1, &found), CKR_OK);
  ASSERT_EQ(C_FindObjectsFinal(h_), CKR_OK);
  ASSERT_EQ(found, 1u);
  struct Row {
    CK_MECHANISM_TYPE mech;
    CK_OBJECT_HANDLE key;
    bool enc;
    CK_ULONG len;
    CK_RV want;
  };
  const Row rows[] = {
      {CKM_RSA_PKCS, rsa_pub, true, kMax - 4, CKR_DATA_LEN_RANGE},  // len + 11 wraps
      {CKM_RSA_PKCS, rsa_pub, true, (1ull << 32) + 16, CKR_DATA_LEN_RANGE},
      {CKM_AES_ECB, aes, true, (1ull << 32) + 16, CKR_DATA_LEN_RANGE},
      {CKM_AES_ECB, aes, false, (1ull << 32) + 16, CKR_ENCRYPTED_DATA_LEN_RANGE},
      {CKM_AES_CBC_PAD, aes, true, kMax, CKR_DATA_LEN_RANGE},
      {CKM_AES_CBC_PAD, aes, false, (1ull << 32) + 16, CKR_ENCRYPTED_DATA_LEN_RANGE},
  };
  const Bytes iv = seq(16, 0x40);
  for (const Row& r : rows) {
    SCOPED_TRACE(testing::Message() << "mech " << r.mech << " enc " << r.enc << " len 0x" << std::hex << r.len);
    const bool cbc = r.mech == CKM_AES_CBC_PAD;
    CK_MECHANISM m = mech(r.mech, cbc ? iv.data() : nullptr, cbc ? 16 : 0);
    ASSERT_EQ(r.enc ? C_EncryptInit(h_, &m, r.key) : C_DecryptInit(h_, &m, r.key), CKR_OK);
    Bytes out(512);
    CK_ULONG n = out.size();
    EXPECT_EQ(r.enc ? C_Encrypt(h_, in.base, r.len, out.data(), &n) : C_Decrypt(h_, in.base, r.len, out.data(), &n),
              r.want);
    EXPECT_EQ(n, out.size());
    EXPECT_EQ(r.enc ? C_Encrypt(h_, in.base, 16, out.data(), &n) : C_Decrypt(h_, in.base, 16, out.data(), &n),
              CKR_OPERATION_NOT_INITIALIZED);
  }
}

namespace {

// Raw RSA with a public key: block^e mod n, left-padded to the modulus length.
Bytes raw_rsa(const Bytes& n, const Bytes& e, const Bytes& block) {
  BN_CTX* ctx = BN_CTX_new();
  BIGNUM* bn = BN_bin2bn(n.data(), static_cast<int>(n.size()), nullptr);
  BIGNUM* be = BN_bin2bn(e.data(), static_cast<int>(e.size()), nullptr);
  BIGNUM* m = BN_bin2bn(block.data(), static_cast<int>(block.size()), nullptr);
  BIGNUM* c = BN_new();
  EXPECT_EQ(BN_mod_exp(c, m, be, bn, ctx), 1);
  Bytes out(n.size());
  EXPECT_EQ(BN_bn2binpad(c, out.data(), static_cast<int>(out.size())), static_cast<int>(out.size()));
  for (BIGNUM* b : {bn, be, m, c}) BN_free(b);
  BN_CTX_free(ctx);
  return out;
}

// A type-2 block of k bytes around msg (nonzero filler), then spoilt as asked.
enum class Spoil { kNone, kType, kNoSeparator, kShortPad };
Bytes type2(std::size_t k, const Bytes& msg, Spoil s) {
  Bytes b(k, 0x5A);
  b[0] = 0;
  b[1] = s == Spoil::kType ? 1 : 2;
  if (s != Spoil::kNoSeparator) b[k - msg.size() - 1] = 0;
  std::copy(msg.begin(), msg.end(), b.end() - static_cast<std::ptrdiff_t>(msg.size()));
  if (s == Spoil::kShortPad) b[5] = 0;  // separator after only 3 filler bytes
  return b;
}

}  // namespace

TEST_F(UnwrapOracle, BadPaddingAndWrongLengthLookLikeSuccess) {
  // The card's decipherment pair, and a session pair made in software.
  CK_OBJECT_CLASS pcls = CKO_PUBLIC_KEY, scls = CKO_PRIVATE_KEY;
  CK_BBOOL yes = CK_TRUE, no = CK_FALSE;
  CK_ATTRIBUTE q[] = {{CKA_CLASS, &pcls, sizeof pcls}, {CKA_ENCRYPT, &yes, 1}, {CKA_TOKEN, &yes, 1}};
  CK_OBJECT_HANDLE card_pub = 0, card_priv = 0, c = 0;
  ASSERT_EQ(C_FindObjectsInit(h_, q, 3), CKR_OK);
  ASSERT_EQ(C_FindObjects(h_, &card_pub, 1, &c), CKR_OK);
  ASSERT_EQ(C_FindObjectsFinal(h_), CKR_OK);
  ASSERT_EQ(c, 1u);
  const Bytes id = attr(card_pub, CKA_ID);
  CK_ATTRIBUTE q2[] = {{CKA_CLASS, &scls, sizeof scls}, {CKA_ID, const_cast<std::uint8_t*>(id.data()), id.size()}};
  ASSERT_EQ(C_FindObjectsInit(h_, q2, 2), CKR_OK);
  ASSERT_EQ(C_FindObjects(h_, &card_priv, 1, &c), CKR_OK);
  ASSERT_EQ(C_FindObjectsFinal(h_), CKR_OK);
  ASSERT_EQ(c, 1u);
  CK_MECHANISM gen = mech(CKM_RSA_PKCS_KEY_PAIR_GEN);
  CK_ULONG bits = 1024;
  Bytes e3 = hex("010001");
  CK_ATTRIBUTE pt[] = {{CKA_MODULUS_BITS, &bits, sizeof bits}, {CKA_TOKEN, &no, 1}, {CKA_PUBLIC_EXPONENT, e3.data(), 3}};
  CK_ATTRIBUTE vt[] = {{CKA_TOKEN, &no, 1}, {CKA_UNWRAP, &yes, 1}};
  CK_OBJECT_HANDLE soft_pub = 0, soft_priv = 0;
  ASSERT_EQ(C_GenerateKeyPair(h_, &gen, pt, 3, vt, 2, &soft_pub, &soft_priv), CKR_OK);

  CK_MECHANISM rsa = mech(CKM_RSA_PKCS);
  CK_OBJECT_CLASS sec = CKO_SECRET_KEY;
  CK_KEY_TYPE des3 = CKK_DES3, aes = CKK_AES;
  CK_ULONG len16 = 16;
  CK_ATTRIBUTE t_des3[] = {{CKA_CLASS, &sec, sizeof sec}, {CKA_KEY_TYPE, &des3, sizeof des3}, {CKA_TOKEN, &no, 1}};
  CK_ATTRIBUTE t_aes[] = {{CKA_CLASS, &sec, sizeof sec}, {CKA_KEY_TYPE, &aes, sizeof aes}, {CKA_TOKEN, &no, 1},
                          {CKA_VALUE_LEN, &len16, sizeof len16}};
  struct Row {
    const char* what;
    std::size_t msg_len;
    Spoil spoil;
    bool is_key;  // the object carries the message
  };
  const Row rows[] = {
      {"good", 24, Spoil::kNone, true},          {"block type 1", 24, Spoil::kType, false},
      {"no separator", 24, Spoil::kNoSeparator, false}, {"3 filler bytes", 24, Spoil::kShortPad, false},
      {"16 bytes for 24", 16, Spoil::kNone, false},     {"32 bytes for 24", 32, Spoil::kNone, false},
  };
  for (const CK_OBJECT_HANDLE pub : {card_pub, soft_pub}) {
    const CK_OBJECT_HANDLE priv = pub == card_pub ? card_priv : soft_priv;
    const Bytes n = attr(pub, CKA_MODULUS);
    const Bytes e = attr(pub, CKA_PUBLIC_EXPONENT);
    for (const Row& r : rows) {
      SCOPED_TRACE(testing::Message() << (pub == card_pub ? "card " : "software ") << r.what);
      const Bytes msg = seq(r.msg_len, 0x31);
      const Bytes wrapped = raw_rsa(n, e, type2(n.size(), msg, r.spoil));
      CK_OBJECT_HANDLE k1 = 0, k2 = 0;
      ASSERT_EQ(C_UnwrapKey(h_, &rsa, priv, const_cast<std::uint8_t*>(wrapped.data()), wrapped.size(), t_des3, 3, &k1),
                CKR_OK);
      const Bytes v1 = attr(k1, CKA_VALUE);
      ASSERT_EQ(v1.size(), 24u);
      EXPECT_EQ(v1 == msg, r.is_key);
      // The same blob gives the same key again (no second, telling answer).
      ASSERT_EQ(C_UnwrapKey(h_, &rsa, priv, const_cast<std::uint8_t*>(wrapped.data()), wrapped.size(), t_des3, 3, &k2),
                CKR_OK);
      EXPECT_EQ(attr(k2, CKA_VALUE), v1);
      EXPECT_EQ(C_DestroyObject(h_, k2), CKR_OK);
      // A 16-byte AES key out of the same block: the expected length wins.
      ASSERT_EQ(C_UnwrapKey(h_, &rsa, priv, const_cast<std::uint8_t*>(wrapped.data()), wrapped.size(), t_aes, 4, &k2),
                CKR_OK);
      EXPECT_EQ(attr(k2, CKA_VALUE).size(), 16u);
      EXPECT_EQ(C_DestroyObject(h_, k1), CKR_OK);
      EXPECT_EQ(C_DestroyObject(h_, k2), CKR_OK);
    }
    // A key type without a fixed length needs CKA_VALUE_LEN before the
    // block is opened; a blob of another length than the modulus is refused.
    const Bytes wrapped = raw_rsa(n, e, type2(n.size(), seq(16, 1), Spoil::kNone));
    CK_OBJECT_HANDLE k = 0;
    EXPECT_EQ(C_UnwrapKey(h_, &rsa, priv, const_cast<std::uint8_t*>(wrapped.data()), wrapped.size(), t_aes, 3, &k),
              CKR_TEMPLATE_INCOMPLETE);
    Bytes two = wrapped;
    two.insert(two.end(), wrapped.begin(), wrapped.end());
    EXPECT_EQ(C_UnwrapKey(h_, &rsa, priv, two.data(), two.size(), t_des3, 3, &k), CKR_WRAPPED_KEY_LEN_RANGE);
  }
}

TEST_F(UnwrapOracle, SoftwareDecryptTakesEveryMessageLength) {
  // The constant-time unpadding and copy: every length from 0 to k - 11.
  CK_MECHANISM gen = mech(CKM_RSA_PKCS_KEY_PAIR_GEN);
  CK_ULONG bits = 1024;
  CK_BBOOL no = CK_FALSE;
  Bytes e3 = hex("010001");
  CK_ATTRIBUTE pt[] = {{CKA_MODULUS_BITS, &bits, sizeof bits}, {CKA_TOKEN, &no, 1}, {CKA_PUBLIC_EXPONENT, e3.data(), 3}};
  CK_ATTRIBUTE vt[] = {{CKA_TOKEN, &no, 1}};
  CK_OBJECT_HANDLE pub = 0, priv = 0;
  ASSERT_EQ(C_GenerateKeyPair(h_, &gen, pt, 3, vt, 1, &pub, &priv), CKR_OK);
  const Bytes n = attr(pub, CKA_MODULUS), e = attr(pub, CKA_PUBLIC_EXPONENT);
  CK_MECHANISM rsa = mech(CKM_RSA_PKCS);
  for (std::size_t len = 0; len <= 117; ++len) {
    SCOPED_TRACE(len);
    const Bytes msg = seq(len, static_cast<std::uint8_t>(len));
    CK_RV rv = CKR_OK;
    const Bytes got = crypt1(false, rsa, priv, raw_rsa(n, e, type2(128, msg, Spoil::kNone)), &rv);
    EXPECT_EQ(rv, CKR_OK);
    EXPECT_EQ(got, msg);
  }
  for (const Spoil s : {Spoil::kType, Spoil::kNoSeparator, Spoil::kShortPad}) {
    CK_RV rv = CKR_OK;
    crypt1(false, rsa, priv, raw_rsa(n, e, type2(128, seq(20, 1), s)), &rv);
    EXPECT_EQ(rv, CKR_FUNCTION_FAILED);
  }
}
