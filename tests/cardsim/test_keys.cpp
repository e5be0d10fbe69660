// Key operations: MSE SET, key-pair generation, signatures and RSA
// decipherment checked with OpenSSL, 94 chaining, symmetric keys, the demo
// card's content.
#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include "sim_host.h"

using namespace simtest;

namespace {

// c^65537 mod n, k bytes.
Bytes rsa_public(const Bytes& modulus, const Bytes& in) {
  BIGNUM* n = BN_bin2bn(modulus.data(), static_cast<int>(modulus.size()), nullptr);
  BIGNUM* c = BN_bin2bn(in.data(), static_cast<int>(in.size()), nullptr);
  BIGNUM* e = BN_new();
  BIGNUM* m = BN_new();
  BN_CTX* ctx = BN_CTX_new();
  BN_set_word(e, 65537);
  BN_mod_exp(m, c, e, n, ctx);
  Bytes out(modulus.size());
  BN_bn2binpad(m, out.data(), static_cast<int>(out.size()));
  BN_free(n);
  BN_free(c);
  BN_free(e);
  BN_free(m);
  BN_CTX_free(ctx);
  return out;
}

Bytes type1(const Bytes& d, std::size_t k) {
  Bytes b(k, 0xFF);
  b[0] = 0;
  b[1] = 1;
  b[k - d.size() - 1] = 0;
  std::copy(d.begin(), d.end(), b.end() - static_cast<std::ptrdiff_t>(d.size()));
  return b;
}

Bytes type2(const Bytes& m, std::size_t k) {
  Bytes b(k, 0);
  b[1] = 2;
  for (std::size_t i = 2; i < k - m.size() - 1; ++i) b[i] = static_cast<std::uint8_t>(0x11 + i % 200);
  std::copy(m.begin(), m.end(), b.end() - static_cast<std::ptrdiff_t>(m.size()));
  return b;
}

const char* kSha1DigestInfo = "3021300906052B0E03021A05000414" "A9993E364706816ABA3E25717850C26C9CD0D89D";
const char* kVerify = "002000110831323334FFFFFFFF";

Bytes gen_pair(Channel& ch, const std::string& alg, const std::string& p, const std::string& q,
               const std::string& tags) {
  EXPECT_EQ(X(ch.send("8422000003" "8001" + alg)), "9000");
  Bytes r = ch.send("844" "6" + p + q + tags);
  EXPECT_EQ(sw_of(r), 0x9000);
  return data_of(r);
}

}  // namespace

TEST(Keys, GeneratedPairSignsForOpenSsl) {
  TestCard c;
  Channel ch = Channel::open(c, sign_key(), 1);
  Bytes n = gen_pair(ch, "1B", "01", "02", "06" "840101" "850100");
  ASSERT_EQ(n.size(), 128u);
  EXPECT_EQ(c.card->object_map(1)[0], 0x5B);  // private, class 11, generated
  EXPECT_EQ(c.card->object_map(1)[1], 0x32);  // public, class 10
  EXPECT_EQ(X(ch.send("8450000203" "8B0101")), X(n) + "0000000000010001" "9000");
  EXPECT_EQ(X(ch.send("8450000103" "8B0103")), "0140" "9000");  // 320-byte private value
  EXPECT_EQ(X(ch.send("8450000103" "8B0101")), "6986");         // not extractable
  EXPECT_EQ(X(ch.send("8422000003" "810101")), "9000");
  EXPECT_EQ(X(ch.send(std::string("842A9E9A23") + kSha1DigestInfo)), "6982");  // no PIN
  EXPECT_EQ(X(ch.send(kVerify)), "9000");
  EXPECT_EQ(X(ch.send("8422000003" "810101")), "9000");
  Bytes sig = ch.send(std::string("842A9E9A23") + kSha1DigestInfo);
  ASSERT_EQ(sw_of(sig), 0x9000);
  EXPECT_EQ(X(rsa_public(n, data_of(sig))), X(type1(H(kSha1DigestInfo), 128)));
  // Signing with the public key or without a key reference is refused.
  EXPECT_EQ(X(ch.send("8422000003" "810102")), "9000");
  EXPECT_EQ(X(ch.send(std::string("842A9E9A23") + kSha1DigestInfo)), "6985");
  EXPECT_EQ(X(ch.send("8422000003" "800101")), "9000");
  EXPECT_EQ(X(ch.send(std::string("842A9E9A23") + kSha1DigestInfo)), "6985");
  // Data too long for type 1 padding and shorter than the modulus.
  EXPECT_EQ(X(ch.send("8422000003" "810101")), "9000");
  EXPECT_EQ(X(ch.send("842A9E9A76" + std::string(0x76 * 2, '1'))), "6700");
}

TEST(Keys, GenerationRefusals) {
  TestCard c;
  Channel ch = Channel::open(c, sign_key(), 1);
  EXPECT_EQ(X(ch.send("8422000003" "80011B")), "9000");
  EXPECT_EQ(X(ch.send("8446010106" "840101850100")), "6A86");  // same number twice
  EXPECT_EQ(X(ch.send("8446002906" "840101850100")), "6A86");
  EXPECT_EQ(X(ch.send("8446010203" "840101")), "6A80");        // no public access class
  EXPECT_EQ(X(ch.send("8446010206" "840103850100")), "6A80");  // access class 03
  EXPECT_EQ(X(ch.send("8446010209" "840101850100870101")), "6A80");  // extractable only in AP-CIPH
  EXPECT_EQ(X(ch.send("8422000003" "800101")), "9000");
  EXPECT_EQ(X(ch.send("8446010206" "840101850100")), "6985");  // AES is no key-pair algorithm
  EXPECT_EQ(X(ch.send("8422000003" "800102")), "6A80");        // unknown algorithm
  EXPECT_EQ(X(ch.send("8422000003" "8A0105")), "6A80");        // unknown mode
  EXPECT_EQ(X(ch.send("8422000003" "810105")), "6A88");        // no object 5
  EXPECT_EQ(X(ch.send("8422010003" "80011B")), "6A86");
  EXPECT_EQ(X(ch.send("842A9E9A0411223344")), "6985");        // no key in the environment
  EXPECT_EQ(X(ch.send("842A9E9B0411223344")), "6A86");
}

TEST(Keys, DecipherRemovesType2Padding) {
  TestCard c;
  Channel ch = Channel::open(c, ciph_key(), 2);
  Bytes n = gen_pair(ch, "1B", "02", "03", "09" "840101" "850100" "870101");
  EXPECT_EQ(c.card->object_map(2)[1], 0x7B);  // extractable private key
  EXPECT_EQ(X(ch.send(kVerify)), "9000");
  EXPECT_EQ(X(ch.send("8422000003" "810102")), "9000");
  Bytes msg = H("00112233445566778899AABBCCDDEEFF");
  Bytes ct = rsa_public(n, type2(msg, 128));
  Bytes cmd = H("842A808680");
  cmd.insert(cmd.end(), ct.begin(), ct.end());
  EXPECT_EQ(X(ch.send(cmd)), X(msg) + "9000");
  // A block that is not type 2 is refused.
  Bytes bad = rsa_public(n, type1(msg, 128));
  std::copy(bad.begin(), bad.end(), cmd.begin() + 5);
  EXPECT_EQ(X(ch.send(cmd)), "6A80");
  // A block of the wrong length.
  EXPECT_EQ(X(ch.send("842A8086041122334455")), "6700");
  // The extractable private key's value: p and q multiply to the modulus.
  Bytes v = data_of(ch.send("8450000203" "8B0101"));
  ASSERT_EQ(v.size(), 320u);
  BIGNUM* p = BN_bin2bn(v.data(), 64, nullptr);
  BIGNUM* q = BN_bin2bn(v.data() + 64, 64, nullptr);
  BIGNUM* m = BN_new();
  BN_CTX* ctx = BN_CTX_new();
  BN_mul(m, p, q, ctx);
  Bytes mb(128);
  BN_bn2binpad(m, mb.data(), 128);
  EXPECT_EQ(X(mb), X(n));
  BN_free(p);
  BN_free(q);
  BN_free(m);
  BN_CTX_free(ctx);
}

TEST(Keys, DemoCardChainsRsa2048) {
  std::string err;
  auto card = vorn::cardsim::Card::demo(vorn::cardsim::demo_defaults(), &err);
  ASSERT_TRUE(card) << err;
  // Reuse the TestCard plumbing with the demo card.
  TestCard c;
  c.card = std::move(card);
  c.card->power_on();
  EXPECT_EQ(c.card->object_map(1)[0], 0x5B);
  EXPECT_EQ(c.card->object_map(1)[1], 0x32);
  EXPECT_EQ(c.card->object_map(1)[2], 0x11);
  Channel ch = Channel::open(c, ciph_key(), 2);
  Bytes pub = data_of(ch.send("8450000203" "8B0101"));
  ASSERT_EQ(pub.size(), 264u);
  Bytes n(pub.begin(), pub.begin() + 256);
  EXPECT_EQ(X(Bytes(pub.begin() + 256, pub.end())), "0000000000010001");
  // The certificate carries the same public key, and its attributes name it.
  Bytes der = data_of(ch.send("8450000303" "8B0101"));
  const unsigned char* pp = der.data();
  X509* x = d2i_X509(nullptr, &pp, static_cast<long>(der.size()));
  ASSERT_NE(x, nullptr);
  EVP_PKEY* pk = X509_get0_pubkey(x);
  BIGNUM* xn = nullptr;
  ASSERT_EQ(EVP_PKEY_get_bn_param(pk, "n", &xn), 1);
  Bytes xnb(256);
  BN_bn2binpad(xn, xnb.data(), 256);
  EXPECT_EQ(X(xnb), X(n));
  BN_free(xn);
  X509_free(x);
  Bytes attrs = data_of(ch.send("8450000303" "8B0102"));
  EXPECT_EQ(X(attrs).substr(0, 12), "003080040014");  // 12 attributes, first 8004 of 20 bytes
  EXPECT_NE(X(attrs).find(X(sha1(n))), std::string::npos);
  const std::string cn = "VORN demo decipherment key";
  EXPECT_NE(X(attrs).find(X(Bytes(cn.begin(), cn.end()))), std::string::npos);
  // RSA-2048 decipherment: 94 part answered 68 83, then the last part.
  EXPECT_EQ(X(ch.send(kVerify)), "9000");
  EXPECT_EQ(X(ch.send("8422000003" "810101")), "9000");
  Bytes msg = H("0102030405060708090A0B0C0D0E0F101112131415161718");
  Bytes ct = rsa_public(n, type2(msg, 256));
  Bytes first = H("942A808680"), second = H("842A808680");
  first.insert(first.end(), ct.begin(), ct.begin() + 128);
  second.insert(second.end(), ct.begin() + 128, ct.end());
  EXPECT_EQ(X(ch.send(first)), "6883");
  EXPECT_EQ(X(ch.send(second)), X(msg) + "9000");
  // A chain broken by another command starts again.
  EXPECT_EQ(X(ch.send(first)), "6883");
  EXPECT_EQ(X(ch.send("0020001100")), "9000");
  EXPECT_EQ(X(ch.send(second)), "6700");
  // Signature of a full 256-byte block in AP-SIGN, chained.
  Channel sg = Channel::open(c, sign_key(), 1);
  Bytes spub = data_of(sg.send("8450000203" "8B0101"));
  Bytes sn(spub.begin(), spub.begin() + 256);
  EXPECT_EQ(X(sg.send("8422000003" "810101")), "9000");  // PIN still verified
  Bytes block = type1(H(kSha1DigestInfo), 256);
  Bytes s1 = H("942A9E9A80"), s2 = H("842A9E9A80");
  s1.insert(s1.end(), block.begin(), block.begin() + 128);
  s2.insert(s2.end(), block.begin() + 128, block.end());
  EXPECT_EQ(X(sg.send(s1)), "6883");
  Bytes sig = sg.send(s2);
  ASSERT_EQ(sw_of(sig), 0x9000);
  EXPECT_EQ(X(rsa_public(sn, data_of(sig))), X(block));
}

TEST(Keys, SymmetricKeysEncipherAndDecipher) {
  TestCard c;
  Channel ch = Channel::open(c, ciph_key(), 2);
  // Store the AES key of the SP 800-38A examples (kind 4, class 10, algorithm 1).
  EXPECT_EQ(X(ch.send("8448000513" "820200108301038601008801008701008001" "01")), "9000");
  EXPECT_EQ(X(ch.send("84488205102B7E151628AED2A6ABF7158809CF4F3C")), "9000");
  EXPECT_EQ(c.card->object_map(2)[4], 0x14);
  EXPECT_EQ(X(ch.send("8422000006" "8A0104" "810105")), "9000");
  // SP 800-38A F.1.1 (ECB).
  EXPECT_EQ(X(ch.send("842A868010" "6BC1BEE22E409F96E93D7E117393172A")), "3AD77BB40D7A3660A89ECAF32466EF97" "9000");
  EXPECT_EQ(X(ch.send("842A808610" "3AD77BB40D7A3660A89ECAF32466EF97")), "6BC1BEE22E409F96E93D7E117393172A" "9000");
  EXPECT_EQ(X(ch.send("842A868008" "0011223344556677")), "6700");  // not a whole block
  // CBC over two chained pieces equals one piece.
  const std::string iv = "000102030405060708090A0B0C0D0E0F";
  const std::string pt = "6BC1BEE22E409F96E93D7E117393172AAE2D8A571E03AC9C9EB76FAC45AF8E51";
  EXPECT_EQ(X(ch.send("8422000018" "8A0101" "810105" "8910" + iv)), "9000");
  Bytes whole = data_of(ch.send("842A868020" + pt));
  EXPECT_EQ(X(ch.send("8422000018" "8A0101" "810105" "8910" + iv)), "9000");
  Bytes a = data_of(ch.send("942A868010" + pt.substr(0, 32)));
  Bytes b = data_of(ch.send("842A868010" + pt.substr(32)));
  a.insert(a.end(), b.begin(), b.end());
  EXPECT_EQ(X(a), X(whole));
  EXPECT_EQ(X(whole).substr(0, 32), "7649ABAC8119B246CEE98E9B12E9197D");  // SP 800-38A F.2.1
  // CFB8 takes any length.
  EXPECT_EQ(X(ch.send("8422000018" "8A0102" "810105" "8910" + iv)), "9000");
  EXPECT_EQ(X(ch.send("842A868002" "6BC1")), "3B79" "9000");  // SP 800-38A F.3.7
  // The key value never reaches the trace.
  for (const auto& l : c.trace) EXPECT_EQ(l.find("2B7E151628AED2A6ABF7158809CF4F3C"), std::string::npos) << l;
  // An environment without a key reference.
  EXPECT_EQ(X(ch.send("8422000003" "8A0101")), "9000");
  EXPECT_EQ(X(ch.send("842A868010" "00112233445566778899AABBCCDDEEFF")), "6985");
}

TEST(Keys, GeneratedSecretKeys) {
  TestCard c;
  Channel ch = Channel::open(c, ciph_key(), 2);
  EXPECT_EQ(X(ch.send("8422000003" "800111")), "9000");
  EXPECT_EQ(X(ch.send("8454000706" "860100870101")), "9000");
  EXPECT_EQ(c.card->object_map(2)[6], 0x34);  // secret key, class 10, extractable
  EXPECT_EQ(X(ch.send("8450000703" "8B0101")), "6982");  // key values need the PIN
  EXPECT_EQ(X(ch.send(kVerify)), "9000");
  Bytes k = data_of(ch.send("8450000703" "8B0101"));
  ASSERT_EQ(k.size(), 16u);
  // The card's 3DES result matches OpenSSL's with the read key.
  EXPECT_EQ(X(ch.send("8422000006" "8A0104" "810107")), "9000");
  Bytes ct = data_of(ch.send("842A868008" "0001020304050607"));
  Key16 kk{};
  std::copy(k.begin(), k.end(), kk.begin());
  EXPECT_EQ(X(ct), X(tdes2_ecb(kk, H("0001020304050607"), true)));
  // Private access class: the key works only with the PIN.
  EXPECT_EQ(X(ch.send("8454000806" "860101870100")), "9000");
  EXPECT_EQ(c.card->object_map(2)[7], 0x5C);
  EXPECT_EQ(X(ch.send("8450000803" "8B0101")), "6986");  // not extractable
  EXPECT_EQ(X(ch.send("8454000806" "860101870100")), "6A89");
  EXPECT_EQ(X(ch.send("002E001100")), "9000");
  EXPECT_EQ(X(ch.send("8422000006" "8A0104" "810108")), "9000");
  EXPECT_EQ(X(ch.send("842A868008" "0001020304050607")), "6982");
}

TEST(Keys, ValuesTravelEncipheredUnderAKeyReference) {
  TestCard c;
  Channel ch = Channel::open(c, ciph_key(), 2);
  // AES key 5 (class 10), then a data object 6 whose value arrives enciphered.
  EXPECT_EQ(X(ch.send("8448000513" "820200108301038601008801008701008001" "01")), "9000");
  EXPECT_EQ(X(ch.send("84488205102B7E151628AED2A6ABF7158809CF4F3C")), "9000");
  Key16 k{};
  Bytes kb = H("2B7E151628AED2A6ABF7158809CF4F3C");
  std::copy(kb.begin(), kb.end(), k.begin());
  Bytes wrapped = aes_ecb(k, H("48454C4C4F" "0B0B0B0B0B0B0B0B0B0B0B"), true);  // "HELLO" + padding
  EXPECT_EQ(X(ch.send("844801060A" "820200108301058601" "00")), "6985");  // no key in the environment yet
  EXPECT_EQ(X(ch.send("8422000003" "810105")), "9000");
  EXPECT_EQ(X(ch.send("844801060A" "820200108301058601" "00")), "9000");
  EXPECT_EQ(X(ch.send("8448820610" + X(wrapped))), "9000");
  EXPECT_EQ(X(ch.send("8450000603" "8B0101")), "48454C4C4F" "9000");
  // Read back under the key: the same enciphered block.
  EXPECT_EQ(X(ch.send("8422000003" "810105")), "9000");
  EXPECT_EQ(X(ch.send("8450010603" "8B0101")), X(wrapped) + "9000");
  // A block whose padding does not decipher is refused and the value stays.
  EXPECT_EQ(X(ch.send("844801060A" "820200108301058601" "00")), "9000");
  EXPECT_EQ(X(ch.send("8448820610" + std::string(32, 'A'))), "6A80");
  EXPECT_EQ(X(ch.send("8450000603" "8B0101")), "48454C4C4F" "9000");
  // The key must be a secret key.
  EXPECT_EQ(X(ch.send("8422000003" "810106")), "9000");
  EXPECT_EQ(X(ch.send("8450010603" "8B0101")), "6985");
}
