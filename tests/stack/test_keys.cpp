// On-card key operations through the real stack, every result checked with
// OpenSSL: signatures, RSA decipherment, secret-key ciphers, key generation.
#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/rsa.h>

#include <memory>

#include "stack_client.h"

namespace stacktest {
namespace {

struct PkeyFree {
  void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
};
using Pkey = std::unique_ptr<EVP_PKEY, PkeyFree>;

// RSA public key from a modulus and the exponent 65537.
Pkey RsaPublic(const Bytes& n) {
  BIGNUM* bn = BN_bin2bn(n.data(), static_cast<int>(n.size()), nullptr);
  BIGNUM* be = BN_new();
  BN_set_word(be, 65537);
  OSSL_PARAM_BLD* bld = OSSL_PARAM_BLD_new();
  OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_N, bn);
  OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_E, be);
  OSSL_PARAM* params = OSSL_PARAM_BLD_to_param(bld);
  EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr);
  EVP_PKEY* pkey = nullptr;
  if (!ctx || EVP_PKEY_fromdata_init(ctx) != 1 || EVP_PKEY_fromdata(ctx, &pkey, EVP_PKEY_PUBLIC_KEY, params) != 1)
    ADD_FAILURE() << "cannot build an RSA key from the modulus";
  EVP_PKEY_CTX_free(ctx);
  OSSL_PARAM_free(params);
  OSSL_PARAM_BLD_free(bld);
  BN_free(bn);
  BN_free(be);
  return Pkey(pkey);
}

// The data inside a PKCS#1 v1.5 type-1 signature; empty when it does not verify.
Bytes Recover(const Pkey& key, const Bytes& sig) {
  EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(key.get(), nullptr);
  Bytes out(512);
  size_t len = out.size();
  bool ok = ctx && EVP_PKEY_verify_recover_init(ctx) == 1 && EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING) == 1 &&
            EVP_PKEY_verify_recover(ctx, out.data(), &len, sig.data(), sig.size()) == 1;
  EVP_PKEY_CTX_free(ctx);
  if (!ok) return {};
  out.resize(len);
  return out;
}

Bytes RsaEncrypt(const Pkey& key, const Bytes& msg) {
  EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(key.get(), nullptr);
  Bytes out(512);
  size_t len = out.size();
  bool ok = ctx && EVP_PKEY_encrypt_init(ctx) == 1 && EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING) == 1 &&
            EVP_PKEY_encrypt(ctx, out.data(), &len, msg.data(), msg.size()) == 1;
  EVP_PKEY_CTX_free(ctx);
  if (!ok) ADD_FAILURE() << "OpenSSL RSA encryption failed";
  out.resize(ok ? len : 0);
  return out;
}

Bytes Crypt(const EVP_CIPHER* type, const Bytes& key, const Bytes& iv, const Bytes& in, bool enc) {
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  Bytes out(in.size() + 32);
  int n1 = 0, n2 = 0;
  bool ok = EVP_CipherInit_ex(ctx, type, nullptr, key.data(), iv.empty() ? nullptr : iv.data(), enc ? 1 : 0) == 1 &&
            EVP_CIPHER_CTX_set_padding(ctx, 0) == 1 &&
            EVP_CipherUpdate(ctx, out.data(), &n1, in.data(), static_cast<int>(in.size())) == 1 &&
            EVP_CipherFinal_ex(ctx, out.data() + n1, &n2) == 1;
  EVP_CIPHER_CTX_free(ctx);
  if (!ok) ADD_FAILURE() << "OpenSSL cipher failed";
  out.resize(ok ? static_cast<std::size_t>(n1 + n2) : 0);
  return out;
}

Bytes Pattern(std::size_t n, std::uint8_t seed) {
  Bytes b(n);
  for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(seed + i * 29);
  return b;
}

// SHA-1 DigestInfo of "VORN": what a host hands to the card for signing.
Bytes DigestInfo() {
  Bytes msg{'V', 'O', 'R', 'N'};
  return Cat({H("3021300906052B0E03021A05000414"), Sha1(msg)});
}

class Keys : public ::testing::Test {
 protected:
  void Open(int app) {
    card_ = std::make_unique<Card>(0);
    ASSERT_TRUE(card_->ok());
    ch_ = SelectAndOpen(*card_, app);
    ASSERT_TRUE(ch_);
  }
  Bytes Send(const Bytes& plain) { return SmSend(*card_, *ch_, plain); }
  void Login() { ASSERT_EQ(Hex(Send(Cat({H("00 20 00 11 08"), PinBlock("1234")}))), "9000"); }
  void TearDown() override {
    if (card_ && ch_) Send(H("00 2E 00 11 00"));
  }
  Bytes PublicModulus(int number) {
    Bytes v = Send({0x84, 0x50, 0x00, static_cast<std::uint8_t>(number), 0x03, 0x8B, 0x01, 0x01});
    EXPECT_EQ(Sw(v), 0x9000);
    EXPECT_TRUE(v.size() == 136 + 2 || v.size() == 264 + 2) << v.size();
    return v.size() > 10 ? Bytes(v.begin(), v.end() - 10) : Bytes{};
  }
  std::unique_ptr<Card> card_;
  std::optional<Channel> ch_;
};

TEST_F(Keys, SignatureVerifiesWithOpenSSL) {
  Open(1);
  Pkey pub = RsaPublic(PublicModulus(2));
  const Bytes di = DigestInfo();
  ASSERT_EQ(di.size(), 35u);
  EXPECT_EQ(Hex(Send(H("00 22 00 00 03 81 01 01"))), "9000");
  // Any use of a private key needs the PIN.
  EXPECT_EQ(Hex(Send(Cat({H("80 2A 9E 9A 23"), di}))), "6982");
  Login();
  EXPECT_EQ(Hex(Send(H("00 22 00 00 03 81 01 01"))), "9000");
  Bytes sig = Send(Cat({H("80 2A 9E 9A 23"), di}));
  ASSERT_EQ(sig.size(), 258u);
  EXPECT_EQ(Sw(sig), 0x9000);
  EXPECT_EQ(Hex(Recover(pub, Data(sig))), Hex(di));
  // 256 bytes travel over two GET RESPONSEs (239 + 17) under the channel.
  int gets = 0;
  for (const auto& e : ReadTrace(0)) gets += e.cmd.rfind("04C00000", 0) == 0;
  EXPECT_GE(gets, 2);

  // Longer than one chunk: 128 bytes chained (94 .. answered 68 83), then the rest.
  const Bytes data = Pattern(240, 0x11);
  std::size_t mark = ReadTrace(0).size();
  EXPECT_EQ(Hex(Send(Cat({H("90 2A 9E 9A 80"), std::span(data).first(128)}))), "6883");
  sig = Send(Cat({H("80 2A 9E 9A 70"), std::span(data).subspan(128)}));
  ASSERT_EQ(sig.size(), 258u);
  EXPECT_EQ(Hex(Recover(pub, Data(sig))), Hex(data));
  auto since = TraceSince(0, mark);
  ASSERT_FALSE(since.empty());
  EXPECT_EQ(since[0].cmd.substr(0, 8), "942A9E9A");
  EXPECT_EQ(since[0].rsp, "6883");
  // More than the key can sign (2048-bit: at most 245 bytes).
  EXPECT_EQ(Hex(Send(Cat({H("80 2A 9E 9A F6"), Pattern(246, 1)}))), "6700");
}

TEST_F(Keys, RsaDecipherReturnsThePlainTextAlone) {
  Open(2);
  Pkey pub = RsaPublic(PublicModulus(2));
  const Bytes secret = Pattern(24, 0x5A);
  const Bytes block = RsaEncrypt(pub, secret);
  ASSERT_EQ(block.size(), 256u);
  EXPECT_EQ(Hex(Send(H("00 22 00 00 03 81 01 01"))), "9000");
  EXPECT_EQ(Hex(Send(Cat({H("90 2A 80 86 80"), std::span(block).first(128)}))), "6982");
  Login();
  EXPECT_EQ(Hex(Send(H("00 22 00 00 03 81 01 01"))), "9000");
  EXPECT_EQ(Hex(Send(Cat({H("90 2A 80 86 80"), std::span(block).first(128)}))), "6883");
  std::size_t mark = ReadTrace(0).size();
  Bytes plain = Send(Cat({H("80 2A 80 86 80"), std::span(block).subspan(128)}));
  EXPECT_EQ(Hex(plain), Hex(secret) + "9000");
  // The deciphered secret never reaches the trace.
  for (const auto& e : TraceSince(0, mark)) EXPECT_EQ(e.prsp.find(Hex(secret)), std::string::npos);
  // A spoiled block has no valid padding.
  Bytes bad = block;
  bad[200] ^= 0x40;
  EXPECT_EQ(Hex(Send(Cat({H("90 2A 80 86 80"), std::span(bad).first(128)}))), "6883");
  EXPECT_EQ(Hex(Send(Cat({H("80 2A 80 86 80"), std::span(bad).subspan(128)}))), "6A80");
}

TEST_F(Keys, SecretKeysMatchOpenSSL) {
  Open(2);
  Login();
  // AES key, extractable (87 01 01), access class 01, at number 4.
  EXPECT_EQ(Hex(Send(H("00 22 00 00 03 80 01 01"))), "9000");
  EXPECT_EQ(Hex(Send(H("80 54 00 04 06 86 01 01 87 01 01"))), "9000");
  Bytes aes = Send(H("80 50 00 04 03 8B 01 01"));
  ASSERT_EQ(aes.size(), 18u);
  aes.resize(16);
  // Two-key triple DES, not extractable, at number 5.
  EXPECT_EQ(Hex(Send(H("00 22 00 00 03 80 01 11"))), "9000");
  EXPECT_EQ(Hex(Send(H("80 54 00 05 06 86 01 01 87 01 00"))), "9000");
  EXPECT_EQ(Hex(Send(H("80 50 00 05 03 8B 01 01"))), "6986");
  Bytes map = Send(H("00 CA 03 00 28"));
  ASSERT_EQ(map.size(), 42u);
  EXPECT_EQ(map[3] & 0x07, 4);
  EXPECT_EQ(map[3] & 0x20, 0x20);
  EXPECT_EQ(map[4] & 0x27, 4);

  const Bytes data = Pattern(48, 0x33);
  const Bytes iv = H("000102030405060708090A0B0C0D0E0F");
  // ECB (mode 4), encipher with 84 2A 86 80 and decipher with 84 2A 80 86.
  EXPECT_EQ(Hex(Send(H("00 22 00 00 06 8A 01 04 81 01 04"))), "9000");
  Bytes ct = Send(Cat({H("80 2A 86 80 30"), data}));
  EXPECT_EQ(Hex(ct), Hex(Crypt(EVP_aes_128_ecb(), aes, {}, data, true)) + "9000");
  EXPECT_EQ(Hex(Send(Cat({H("80 2A 80 86 30"), Data(ct)}))), Hex(data) + "9000");
  // CBC (mode 1) with an initial vector.
  EXPECT_EQ(Hex(Send(Cat({H("00 22 00 00 18 8A 01 01 81 01 04 89 10"), iv}))), "9000");
  EXPECT_EQ(Hex(Send(Cat({H("80 2A 86 80 30"), data}))),
            Hex(Crypt(EVP_aes_128_cbc(), aes, iv, data, true)) + "9000");
  // CFB8 (mode 2) takes any length.
  const Bytes odd = Pattern(13, 0x77);
  EXPECT_EQ(Hex(Send(Cat({H("00 22 00 00 18 8A 01 02 81 01 04 89 10"), iv}))), "9000");
  EXPECT_EQ(Hex(Send(Cat({H("80 2A 86 80 0D"), odd}))), Hex(Crypt(EVP_aes_128_cfb8(), aes, iv, odd, true)) + "9000");
  // Whole blocks in ECB and CBC.
  EXPECT_EQ(Hex(Send(H("00 22 00 00 06 8A 01 04 81 01 04"))), "9000");
  EXPECT_EQ(Hex(Send(Cat({H("80 2A 86 80 0D"), odd}))), "6700");
  // Triple DES CBC round trip (its key stays on the card).
  const Bytes iv8 = H("0F0E0D0C0B0A0908");
  EXPECT_EQ(Hex(Send(Cat({H("00 22 00 00 10 8A 01 01 81 01 05 89 08"), iv8}))), "9000");
  Bytes dct = Send(Cat({H("80 2A 86 80 30"), data}));
  ASSERT_EQ(dct.size(), 50u);
  EXPECT_EQ(Hex(Send(Cat({H("80 2A 80 86 30"), Data(dct)}))), Hex(data) + "9000");
  EXPECT_NE(Hex(Data(dct)), Hex(data));

  for (const char* del : {"80 52 00 04 00", "80 52 00 05 00"}) EXPECT_EQ(Hex(Send(H(del))), "9000");
}

class KeyGen : public Keys {};

TEST_F(KeyGen, Rsa1024UnderApSign) {
  Open(1);
  Login();
  EXPECT_EQ(Hex(Send(H("00 22 00 00 03 80 01 1B"))), "9000");
  Bytes mod = Send(H("80 46 04 05 06 84 01 01 85 01 00"));
  ASSERT_EQ(mod.size(), 130u);
  EXPECT_EQ(Sw(mod), 0x9000);
  EXPECT_EQ(Data(mod)[0] & 0x80, 0x80) << "a 1024-bit modulus has its top bit set";
  // The map agrees with the handles the host derives from its kind bytes:
  // private 18 | 03 | 40, public 10 | 22.
  Bytes map = Send(H("00 CA 03 00 28"));
  ASSERT_EQ(map.size(), 42u);
  EXPECT_EQ(map[3], 0x5B);
  EXPECT_EQ(map[4], 0x32);
  EXPECT_EQ(Hex(PublicModulus(5)), Hex(Data(mod)));
  EXPECT_EQ(Hex(Send(H("80 50 00 05 03 8B 01 01"))).substr(256), "00000000000100019000");
  EXPECT_EQ(Hex(Send(H("80 50 00 04 03 8B 01 03"))), "01409000");
  // The new key signs, and OpenSSL verifies with the returned modulus.
  EXPECT_EQ(Hex(Send(H("00 22 00 00 03 81 01 04"))), "9000");
  Bytes sig = Send(Cat({H("80 2A 9E 9A 23"), DigestInfo()}));
  ASSERT_EQ(sig.size(), 130u);
  EXPECT_EQ(Hex(Recover(RsaPublic(Data(mod)), Data(sig))), Hex(DigestInfo()));
  // Extractable keys exist only in AP-CIPH.
  EXPECT_EQ(Hex(Send(H("80 46 06 07 09 84 01 01 85 01 00 87 01 01"))), "6A80");
  for (const char* del : {"80 52 00 04 00", "80 52 00 05 00"}) EXPECT_EQ(Hex(Send(H(del))), "9000");
}

TEST_F(KeyGen, Rsa2048ExtractableUnderApCiph) {
  Open(2);
  Login();
  EXPECT_EQ(Hex(Send(H("00 22 00 00 03 80 01 1C"))), "9000");
  std::size_t mark = ReadTrace(0).size();
  Bytes mod = Send(H("80 46 04 05 09 84 01 01 85 01 00 87 01 01"));
  ASSERT_EQ(mod.size(), 258u);
  EXPECT_EQ(Sw(mod), 0x9000);
  // 256 modulus bytes come in 61-chained pieces of at most 239 plain bytes;
  // SW2 counts the enciphered bytes on the wire: 239 + 1 + 4 = F4, 17 + 15 + 4 = 24.
  std::vector<std::string> gets;
  for (const auto& e : TraceSince(0, mark))
    if (e.cmd.rfind("04C00000", 0) == 0) gets.push_back(e.cmd.substr(8, 2) + ":" + e.prsp.substr(e.prsp.size() - 4));
  EXPECT_EQ(gets, (std::vector<std::string>{"F4:6124", "24:9000"}));
  Bytes map = Send(H("00 CA 03 00 28"));
  ASSERT_EQ(map.size(), 42u);
  EXPECT_EQ(map[3], 0x7B);  // 5B plus bit 5, extractable
  // Value layout p, q, dP, dQ, qInv, 128 bytes each: p * q is the modulus.
  Bytes priv = Send(H("80 50 00 04 03 8B 01 01"));
  ASSERT_EQ(priv.size(), 642u);
  BIGNUM* p = BN_bin2bn(priv.data(), 128, nullptr);
  BIGNUM* q = BN_bin2bn(priv.data() + 128, 128, nullptr);
  BIGNUM* n = BN_new();
  BN_CTX* bctx = BN_CTX_new();
  BN_mul(n, p, q, bctx);
  Bytes nb(256);
  BN_bn2binpad(n, nb.data(), 256);
  EXPECT_EQ(Hex(nb), Hex(Data(mod)));
  BN_free(p);
  BN_free(q);
  BN_free(n);
  BN_CTX_free(bctx);
  // Decipherment with the generated key.
  const Bytes secret = Pattern(16, 0x01);
  Bytes block = RsaEncrypt(RsaPublic(Data(mod)), secret);
  EXPECT_EQ(Hex(Send(H("00 22 00 00 03 81 01 04"))), "9000");
  EXPECT_EQ(Hex(Send(Cat({H("90 2A 80 86 80"), std::span(block).first(128)}))), "6883");
  EXPECT_EQ(Hex(Send(Cat({H("80 2A 80 86 80"), std::span(block).subspan(128)}))), Hex(secret) + "9000");
  for (const char* del : {"80 52 00 04 00", "80 52 00 05 00"}) EXPECT_EQ(Hex(Send(H(del))), "9000");
}

}  // namespace
}  // namespace stacktest
