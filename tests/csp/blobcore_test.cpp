// The provider's blob layouts and RFC 3217 wrap against Wine's rsaenh,
// without the provider: rsaenh's PUBLICKEYBLOB read and written back byte
// for byte, the CRT values of its PRIVATEKEYBLOB decipher what rsaenh
// enciphered, and rsaenh's triple-DES takes a wrap apart.
#include <windows.h>
#include <wincrypt.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "blobfmt.h"
#include "rfc3217.h"
#include "softcrypto.h"

namespace {

using bytes = std::vector<BYTE>;

struct Rsaenh {
  HCRYPTPROV h = 0;
  Rsaenh() { CryptAcquireContextA(&h, nullptr, MS_ENHANCED_PROV_A, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT); }
  ~Rsaenh() { CryptReleaseContext(h, 0); }
};

bytes export_blob(HCRYPTKEY k, DWORD type) {
  DWORD n = 0;
  if (!CryptExportKey(k, 0, type, 0, nullptr, &n)) return {};
  bytes b(n);
  if (!CryptExportKey(k, 0, type, 0, b.data(), &n)) return {};
  b.resize(n);
  return b;
}

TEST(BlobCoreRsaenh, RsaBlobs) {
  Rsaenh ms;
  ASSERT_NE(ms.h, 0u);
  for (DWORD bits : {1024u, 2048u}) {
    HCRYPTKEY pair = 0;
    ASSERT_TRUE(CryptGenKey(ms.h, AT_KEYEXCHANGE, (bits << 16) | CRYPT_EXPORTABLE, &pair));
    const bytes pub = export_blob(pair, PUBLICKEYBLOB), priv = export_blob(pair, PRIVATEKEYBLOB);
    csp::PublicBlob pb;
    ASSERT_EQ(csp::blob_public_read(pub, &pb), 0u);
    EXPECT_EQ(pb.bits, bits);
    bytes again(csp::blob_public_len(bits / 8));
    csp::blob_public_write(again.data(), pb.alg, std::span<const std::uint8_t>(pb.modulus, bits / 8), pb.exponent);
    EXPECT_EQ(again, pub);

    csp::PrivateBlob pk;
    ASSERT_EQ(csp::blob_private_read(std::span<const std::uint8_t>(priv).subspan(8), &pk), 0u);
    ASSERT_EQ(0, std::memcmp(pk.modulus, pb.modulus, bits / 8));
    // rsaenh enciphers (PKCS#1 v1.5, least significant byte first); the
    // CRT values from the blob decipher it.
    const char msg[] = "sixteen byte key";
    bytes ct(bits / 8);
    std::memcpy(ct.data(), msg, 16);
    DWORD n = 16;
    ASSERT_TRUE(CryptEncrypt(pair, 0, TRUE, 0, ct.data(), &n, static_cast<DWORD>(ct.size())));
    std::reverse(ct.begin(), ct.end());
    sc_rsa_private_key key{};
    const std::uint32_t m = bits / 8, h = m / 2, off = SC_RSA_MAX_LEN - m, hoff = SC_RSA_MAX_PRIME_LEN - h;
    key.bits = static_cast<std::uint16_t>(bits);
    std::memcpy(key.modulus + off, pk.modulus, m);
    key.public_exponent[SC_RSA_MAX_LEN - 3] = 1, key.public_exponent[SC_RSA_MAX_LEN - 1] = 1;
    std::memcpy(key.prime[0] + hoff, pk.crt.data(), h);
    std::memcpy(key.prime[1] + hoff, pk.crt.data() + h, h);
    std::memcpy(key.prime_exponent[0] + hoff, pk.crt.data() + 2 * h, h);
    std::memcpy(key.prime_exponent[1] + hoff, pk.crt.data() + 3 * h, h);
    std::memcpy(key.coefficient + hoff, pk.crt.data() + 4 * h, h);
    std::uint8_t out[256];
    std::uint32_t outlen = sizeof out;
    ASSERT_EQ(sc_rsa_private_decrypt(out, &outlen, ct.data(), m, &key), 0u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(out), outlen), std::string(msg, 16));
    CryptDestroyKey(pair);
  }
}

TEST(BlobCoreRsaenh, TripleDesWrapTakenApartByRsaenh) {
  Rsaenh ms;
  std::uint8_t kek[24], cek[24], wrap[40];
  for (int i = 0; i < 24; ++i) kek[i] = static_cast<std::uint8_t>(i * 11 + 1), cek[i] = static_cast<std::uint8_t>(i * 7);
  ASSERT_EQ(csp::rfc3217_wrap_3des(kek, cek, wrap), 0u);
  bytes plain(12 + 24);
  csp::blob_plain_write(plain.data(), CALG_3DES, kek);
  HCRYPTKEY k = 0;
  ASSERT_TRUE(CryptImportKey(ms.h, plain.data(), static_cast<DWORD>(plain.size()), 0, 0, &k));
  auto cbc_decrypt = [&](const BYTE* iv, bytes data) {
    EXPECT_TRUE(CryptSetKeyParam(k, KP_IV, iv, 0));
    DWORD len = static_cast<DWORD>(data.size());
    EXPECT_TRUE(CryptDecrypt(k, 0, FALSE, 0, data.data(), &len));  // no padding to strip
    return data;
  };
  const BYTE fixed_iv[8] = {0x4A, 0xDD, 0xA2, 0x2C, 0x79, 0xE8, 0x21, 0x05};
  bytes t = cbc_decrypt(fixed_iv, bytes(wrap, wrap + 40));
  std::reverse(t.begin(), t.end());
  const bytes inner = cbc_decrypt(t.data(), bytes(t.begin() + 8, t.end()));
  ASSERT_EQ(inner.size(), 32u);
  for (int i = 0; i < 24; ++i) {  // the key with odd parity in every byte
    EXPECT_EQ(inner[i] & 0xFE, cek[i] & 0xFE);
    EXPECT_EQ(__builtin_popcount(inner[i]) % 2, 1);
  }
  HCRYPTHASH hh = 0;
  ASSERT_TRUE(CryptCreateHash(ms.h, CALG_SHA1, 0, 0, &hh));
  ASSERT_TRUE(CryptHashData(hh, inner.data(), 24, 0));
  BYTE sha[20];
  DWORD sl = sizeof sha;
  ASSERT_TRUE(CryptGetHashParam(hh, HP_HASHVAL, sha, &sl, 0));
  CryptDestroyHash(hh);
  CryptDestroyKey(k);
  EXPECT_EQ(0, std::memcmp(sha, inner.data() + 24, 8));
}

}  // namespace
