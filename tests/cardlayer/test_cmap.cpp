// The key-container map: the entry codec, and the map functions on a demo
// card through pcscd + vpcd + vorn-cardsim (group Cmap, under with-vornenv).
#include <gtest/gtest.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/x509.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "containers.h"
#include "stack_util.h"
#include "test_util.h"

using clt::Bytes;
using clt::hex;
using clt::unhex;

namespace {

// ---------------------------------------------------------------------------
// Entry codec.
TEST(CmapCodec, NewEntryBytesAndDecode) {
  const auto e = cmap_entry_new("ab", 3, true);  // "ab" and its NUL
  EXPECT_EQ(hex(e), "0300616200" "01" + std::string(64, '0'));
  Bytes f = e;
  // Fields after the flags: sig bits, priv, pub, cert, exch bits, priv, pub, cert.
  for (int k = 0; k < 8; ++k) f[6 + 4 * k] = static_cast<std::uint8_t>(0x10 + k), f[9 + 4 * k] = 0xA0;
  CmapEntry d;
  ASSERT_EQ(cmap_entry_decode(f, &d), VORN_OK);
  EXPECT_EQ(d.name_len, 3u);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(d.name)), "ab");
  EXPECT_EQ(d.flags, 1u);
  const std::uint32_t got[8] = {d.sig_bits, d.sig_priv, d.sig_pub, d.sig_cert,
                                d.exch_bits, d.exch_priv, d.exch_pub, d.exch_cert};
  for (std::uint32_t k = 0; k < 8; ++k) EXPECT_EQ(got[k], 0xA0000010u + k) << k;
  EXPECT_EQ(hex(cmap_entry_new("x", 0, false)), "0000" "00" + std::string(64, '0'));
  EXPECT_TRUE(cmap_entry_new("x", CMAP_NAME_MAX + 1, false).empty());
}

TEST(CmapCodec, MalformedEntriesRefused) {
  Bytes big(2 + 261 + 35, 0);
  big[0] = 0x05;
  big[1] = 0x01;  // 261
  const Bytes cases[] = {
      {},                                  // nothing
      unhex("03"),                         // half a length
      Bytes(34, 0),                        // name length 0, one byte short
      [] { Bytes b = cmap_entry_new("abc", 4, false); b.pop_back(); return b; }(),
      [] { Bytes b = cmap_entry_new("abc", 4, false); b[0] = 0x40; return b; }(),  // name past the end
      big,                                 // name over 260
  };
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    CmapEntry d;
    EXPECT_EQ(cmap_entry_decode(cases[i], &d), CARDERR_UNKNOWN) << i;
  }
  CmapEntry d;
  EXPECT_EQ(cmap_entry_decode(Bytes(35, 0), &d), VORN_OK);
}

TEST(CmapCodec, UuidNames) {
  char a[37], b[37];
  ASSERT_EQ(cmap_new_uuid_name(a), VORN_OK);
  ASSERT_EQ(cmap_new_uuid_name(b), VORN_OK);
  EXPECT_NE(std::string(a), std::string(b));
  ASSERT_EQ(std::strlen(a), 36u);
  for (int i = 0; i < 36; ++i) {
    if (i == 8 || i == 13 || i == 18 || i == 23) {
      EXPECT_EQ(a[i], '-');
    } else {
      EXPECT_TRUE(std::strchr("0123456789abcdef", a[i]) != nullptr) << a;
    }
  }
  EXPECT_EQ(a[14], '4');
}

// ---------------------------------------------------------------------------
// On the simulated demo card.
struct Table : CmapTable {
  std::vector<CmapRecord> recs = std::vector<CmapRecord>(12);
  std::size_t size() const override { return recs.size(); }
  CmapRecord& at(std::size_t i) override { return recs[i]; }
  void release(std::size_t i) override { recs[i] = CmapRecord{}; }
};

constexpr std::uint32_t kKey = 0;
constexpr std::uint32_t kSigPriv = 0xF05B0001, kSigPub = 0xF0320002, kSigCert = 0xF0110003;
constexpr std::uint32_t kExPriv = 0xC05B0001, kExPub = 0xC0320002, kExCert = 0xC0110003;

class Cmap : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(clt::env("VORNENV_DIR").empty()) << "run under tools/with-vornenv";
    image_ = "clcmap" + std::to_string(getpid());
    ASSERT_EQ(card_table_open(image_.c_str()), VORN_OK);
  }
  void TearDown() override {
    card_table_close();
    card_table_unlink(image_.c_str());
  }
  // Load and adopt into a fresh table.
  vorn_rv load_adopt(Table& t) {
    vorn_rv rv = cmap_load(t, slot, false, nullptr);
    if (rv != VORN_OK) return rv;
    std::uint32_t ids[80];
    DWORD n = 80;
    rv = obj_list(kKey, slot.card, ids, &n);
    if (rv != VORN_OK) return rv;
    return cmap_adopt(t, slot, ids, n, false);
  }
  std::string image_;
  CmapCache cache;
  CmapSlot slot{kKey, 0, "r0", &cache};
};

int find(Table& t, std::uint32_t priv) {
  for (std::size_t i = 0; i < t.size(); ++i)
    if (t.recs[i].in_use && (t.recs[i].sig.priv_id == priv || t.recs[i].exch.priv_id == priv)) return static_cast<int>(i);
  return -1;
}

Bytes read_cert(SCARDHANDLE h, std::uint32_t id) {
  DWORD len = 0;
  if (obj_read_value(kKey, h, id, 0, nullptr, &len) != VORN_OK) return {};
  Bytes v(len);
  if (obj_read_value(kKey, h, id, 0, v.data(), &len) != VORN_OK) return {};
  return v;
}

// n and e of a certificate, by OpenSSL.
void cert_ne(const Bytes& der, Bytes* n, Bytes* e) {
  const unsigned char* p = der.data();
  X509* x = d2i_X509(nullptr, &p, static_cast<long>(der.size()));
  ASSERT_NE(x, nullptr);
  EVP_PKEY* k = X509_get0_pubkey(x);
  BIGNUM *bn = nullptr, *be = nullptr;
  ASSERT_EQ(EVP_PKEY_get_bn_param(k, OSSL_PKEY_PARAM_RSA_N, &bn), 1);
  ASSERT_EQ(EVP_PKEY_get_bn_param(k, OSSL_PKEY_PARAM_RSA_E, &be), 1);
  n->resize(static_cast<std::size_t>(BN_num_bytes(bn)));
  e->resize(static_cast<std::size_t>(BN_num_bytes(be)));
  BN_bn2bin(bn, n->data());
  BN_bn2bin(be, e->data());
  BN_free(bn);
  BN_free(be);
  X509_free(x);
}

}  // namespace

TEST_F(Cmap, AdoptStaleDefaultAndPublicValues) {
  clt::Conn c(0);
  ASSERT_EQ(c.rv(), VORN_OK);
  card_attach(c.h(), kKey);
  slot.card = c.h();
  CardOperation op;  // the transaction is the Conn's; the channel is the functions' own

  // A fresh card: the reserved map object has no list, read as ten free entries.
  Table t;
  ASSERT_EQ(cmap_load(t, slot, false, nullptr), VORN_OK);
  for (const auto& cell : cache.cells) EXPECT_TRUE(cell.entry.empty());

  // Orphan private keys get UUID containers; the first is the default; the
  // public keys and certificates join them by key identifier.
  ASSERT_EQ(load_adopt(t), VORN_OK);
  const int rs = find(t, kSigPriv), rx = find(t, kExPriv);
  ASSERT_GE(rs, 0);
  ASSERT_GE(rx, 0);
  EXPECT_EQ(t.recs[rs].is_default, 1u);
  EXPECT_EQ(t.recs[rx].is_default, 0u);
  EXPECT_EQ(t.recs[rs].name_len, 37u);
  EXPECT_EQ(t.recs[rs].sig.pub_id, kSigPub);
  EXPECT_EQ(t.recs[rs].sig.cert_id, kSigCert);
  EXPECT_EQ(t.recs[rx].exch.pub_id, kExPub);
  EXPECT_EQ(t.recs[rx].exch.cert_id, kExCert);
  EXPECT_EQ(t.recs[rs].sig.key_len, 2048u);

  // The map read back from the card holds them.
  {
    Table t2;
    ASSERT_EQ(cmap_load(t2, slot, false, nullptr), VORN_OK);
    const int s2 = find(t2, kSigPriv), x2 = find(t2, kExPriv);
    ASSERT_GE(s2, 0);
    ASSERT_GE(x2, 0);
    EXPECT_EQ(std::string(t2.recs[s2].name), std::string(t.recs[rs].name));
    EXPECT_EQ(t2.recs[s2].is_default, 1u);
    EXPECT_EQ(t2.recs[s2].sig.pub_id, kSigPub);
    EXPECT_EQ(t2.recs[s2].sig.cert_id, kSigCert);
    EXPECT_EQ(t2.recs[s2].sig.key_len, 2048u);
    EXPECT_EQ(t2.recs[x2].exch.cert_id, kExCert);
    EXPECT_EQ(0, std::memcmp(t2.recs[s2].sig.key_id, t.recs[rs].sig.key_id, 20));
    // A second adoption finds nothing new.
    ASSERT_EQ(load_adopt(t2), VORN_OK);
    int used = 0;
    for (auto& r : t2.recs) used += r.in_use;
    EXPECT_EQ(used, 2);
  }

  // Public key values: private key (attribute 0x120), public key object
  // (modulus then 8 exponent bytes) and certificate all agree with what
  // OpenSSL reads from the certificate.
  Bytes n, e;
  cert_ne(read_cert(c.h(), kSigCert), &n, &e);
  ASSERT_EQ(n.size(), 256u);
  for (std::uint32_t id : {kSigPriv, kSigPub, kSigCert}) {
    CmapKeyPair p;
    ASSERT_EQ(cmap_read_public(slot, id, &p), VORN_OK) << std::hex << id;
    EXPECT_EQ(hex(p.modulus), hex(n)) << std::hex << id;
    EXPECT_EQ(hex(p.exponent), hex(e)) << std::hex << id;
    EXPECT_EQ(p.key_len, 2048u);
  }

  // A private key whose list has no exponent: 65537 when the card generated
  // it, else refused (the card keeps no exponent of its own).
  {
    std::uint8_t tries = 0;
    const Bytes pin = unhex("31323334FFFFFFFF");
    ASSERT_EQ(pin_verify(kKey, c.h(), PIN_REF_USER, pin.data(), &tries), VORN_OK);
    CmapKeyPair xp;
    ASSERT_EQ(cmap_read_public(slot, kExPriv, &xp), VORN_OK);
    Bytes one = unhex("01000000"), zero = unhex("00000000"), id(t.recs[rx].exch.key_id, t.recs[rx].exch.key_id + 20);
    struct Case {
      Bytes* local;
      vorn_rv rv;
    } cases[] = {{&zero, CARDERR_UNKNOWN}, {&one, VORN_OK}};  // generated last: adopted below
    for (const Case& k : cases) {
      CardAttr a[3] = {{0x120, xp.modulus.data(), static_cast<unsigned long>(xp.modulus.size())},
                       {0x163, k.local->data(), 4},
                       {0x8004, id.data(), 20}};
      ASSERT_EQ(obj_write_attrs(kKey, c.h(), kExPriv, a, 3), VORN_OK);
      CmapKeyPair q;
      EXPECT_EQ(cmap_read_public(slot, kExPriv, &q), k.rv);
      if (k.rv == VORN_OK) {
        EXPECT_EQ(hex(q.exponent), "010001");
        EXPECT_EQ(hex(q.modulus), hex(xp.modulus));
      }
    }
    ASSERT_EQ(pin_logout(kKey, c.h(), PIN_REF_USER), VORN_OK);
  }

  // A certificate-only container: its public key is the certificate's.
  std::size_t rc = 0;
  ASSERT_EQ(cmap_create(t, slot, "certonly", 8, &rc), VORN_OK);
  EXPECT_EQ(t.recs[rc].is_default, 0u);
  ASSERT_EQ(cmap_record_object(t, slot, rc, kExCert), VORN_OK);
  Bytes xn, xe;
  cert_ne(read_cert(c.h(), kExCert), &xn, &xe);
  ASSERT_EQ(cmap_read_public(slot, t.recs[rc].exch.cert_id, &t.recs[rc].exch), VORN_OK);
  EXPECT_EQ(hex(t.recs[rc].exch.modulus), hex(xn));
  EXPECT_EQ(hex(t.recs[rc].exch.exponent), hex(xe));
  EXPECT_EQ(t.recs[rc].exch.key_len, 2048u);
  ASSERT_EQ(cmap_delete(t, slot, rc), VORN_OK);
  t.release(rc);

  // A smart-card-logon certificate takes the default.
  Bytes logon = unhex("3003060A2B0601040182371402020500");
  ASSERT_EQ(cmap_default_rule(t, slot, static_cast<std::size_t>(rx), logon), VORN_OK);
  EXPECT_EQ(t.recs[rx].is_default, 1u);
  EXPECT_EQ(t.recs[rs].is_default, 0u);
  {
    Table t2;
    ASSERT_EQ(cmap_load(t2, slot, false, nullptr), VORN_OK);
    EXPECT_EQ(t2.recs[find(t2, kExPriv)].is_default, 1u);
    EXPECT_EQ(t2.recs[find(t2, kSigPriv)].is_default, 0u);
  }

  // Deleting the default container passes the default on.
  ASSERT_EQ(cmap_delete(t, slot, static_cast<std::size_t>(rx)), VORN_OK);
  EXPECT_EQ(t.recs[rs].is_default, 1u);
  {
    Table t2;
    ASSERT_EQ(cmap_load(t2, slot, false, nullptr), VORN_OK);
    EXPECT_EQ(find(t2, kExPriv), -1);
    EXPECT_EQ(t2.recs[find(t2, kSigPriv)].is_default, 1u);
  }

  // A public key deleted on the card: its id leaves record and map.
  ASSERT_EQ(obj_delete(kKey, c.h(), kSigPub), VORN_OK);
  {
    Table t2;
    ASSERT_EQ(load_adopt(t2), VORN_OK);
    const int s2 = find(t2, kSigPriv);
    ASSERT_GE(s2, 0);
    EXPECT_EQ(t2.recs[s2].sig.pub_id, 0u);
    EXPECT_EQ(t2.recs[s2].sig.cert_id, kSigCert);
    Table t3;
    ASSERT_EQ(cmap_load(t3, slot, false, nullptr), VORN_OK);
    EXPECT_EQ(t3.recs[find(t3, kSigPriv)].sig.pub_id, 0u);
  }
  card_detach(c.h(), kKey);
}

TEST_F(Cmap, MalformedMapOnTheCardRefused) {
  clt::Conn c(0);
  ASSERT_EQ(c.rv(), VORN_OK);
  card_attach(c.h(), kKey);
  slot.card = c.h();
  // Entry 3 says its name runs 0x0100 bytes; it holds 40.
  Bytes bad(40, 0);
  bad[1] = 0x01;
  const Bytes good = cmap_entry_new("ok", 3, true);
  CardAttr a[2] = {{0, const_cast<std::uint8_t*>(good.data()), static_cast<unsigned long>(good.size())},
                    {3, bad.data(), static_cast<unsigned long>(bad.size())}};
  ASSERT_EQ(obj_write_attrs(kKey, c.h(), CMAP_OBJECT, a, 2), VORN_OK);
  Table t;
  EXPECT_EQ(cmap_load(t, slot, false, nullptr), CARDERR_UNKNOWN);
  for (auto& r : t.recs) EXPECT_EQ(r.in_use, 0u);
  card_detach(c.h(), kKey);
}
