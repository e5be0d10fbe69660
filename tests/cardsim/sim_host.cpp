#include "sim_host.h"

#include <openssl/evp.h>

#include "vorn/personalisation.h"

namespace simtest {

Bytes H(const std::string& hex) {
  Bytes b;
  EXPECT_TRUE(vorn::cardsim::from_hex(hex, &b)) << hex;
  return b;
}

std::string X(const Bytes& b) { return vorn::cardsim::to_hex(b); }

Bytes sha1(const Bytes& a) {
  Bytes out(20);
  unsigned int n = 0;
  EVP_Digest(a.data(), a.size(), out.data(), &n, EVP_sha1(), nullptr);
  return out;
}

static Bytes cipher(const EVP_CIPHER* c, const std::uint8_t* key, const Bytes& iv, const Bytes& in, bool enc) {
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  Bytes out(in.size() + 32);
  int a = 0, b = 0;
  EVP_CipherInit_ex(ctx, c, nullptr, key, iv.empty() ? nullptr : iv.data(), enc ? 1 : 0);
  EVP_CIPHER_CTX_set_padding(ctx, 0);
  EVP_CipherUpdate(ctx, out.data(), &a, in.data(), static_cast<int>(in.size()));
  EVP_CipherFinal_ex(ctx, out.data() + a, &b);
  EVP_CIPHER_CTX_free(ctx);
  out.resize(static_cast<std::size_t>(a + b));
  return out;
}

Bytes tdes2_ecb(const Key16& k, const Bytes& in, bool enc) {
  std::uint8_t k3[24];
  std::copy(k.begin(), k.end(), k3);
  std::copy(k.begin(), k.begin() + 8, k3 + 16);
  return cipher(EVP_des_ede3_ecb(), k3, {}, in, enc);
}

Bytes aes_ecb(const Key16& k, const Bytes& in, bool enc) { return cipher(EVP_aes_128_ecb(), k.data(), {}, in, enc); }

Bytes mac4(const Key16& k, const Bytes& data) {
  Bytes d = data;
  std::size_t q = 8 - d.size() % 8;
  d.insert(d.end(), q, static_cast<std::uint8_t>(q));
  std::uint8_t k3[24];
  std::copy(k.begin(), k.end(), k3);
  std::copy(k.begin(), k.begin() + 8, k3 + 16);
  Bytes c = cipher(EVP_des_ede3_cbc(), k3, Bytes(8, 0), d, true);
  return Bytes(c.end() - 8, c.end() - 4);
}

Key16 sign_key() { return vorn::perso::kSignChannelKey; }
Key16 ciph_key() { return vorn::perso::kCiphChannelKey; }

std::uint16_t sw_of(const Bytes& r) {
  if (r.size() < 2) return 0;
  return static_cast<std::uint16_t>(r[r.size() - 2] << 8 | r[r.size() - 1]);
}

Bytes data_of(const Bytes& r) { return r.size() < 2 ? Bytes{} : Bytes(r.begin(), r.end() - 2); }

TestCard::TestCard(const vorn::cardsim::PersoOptions& o) {
  std::string err;
  card = vorn::cardsim::Card::personalise(o, &err);
  EXPECT_TRUE(card) << err;
  card->set_random([this](std::uint8_t* out, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
      out[i] = random_pos < random_feed.size() ? random_feed[random_pos] : static_cast<std::uint8_t>(random_pos * 7 + 3);
      ++random_pos;
    }
  });
  card->set_trace([this](std::string_view l) { trace.emplace_back(l); });
  card->power_on();
}

Bytes TestCard::tx(const Bytes& cmd) { return card->transmit(cmd); }

std::uint16_t TestCard::sw(const std::string& hex) { return sw_of(tx(hex)); }

void TestCard::select_app(int app) {
  Bytes r = tx(app == 1 ? "00A404040CA00000006341502D5349474E" : "00A404040CA00000006341502D43495048");
  ASSERT_EQ(r.size(), 2u);
  ASSERT_EQ(r[0], 0x61);
}

Channel Channel::open(TestCard& tc, const Key16& k, int app) {
  Channel ch;
  ch.tc = &tc;
  tc.select_app(app);
  Bytes rh = H("0102030405060708");
  Bytes cmd = H("804C020208");
  cmd.insert(cmd.end(), rh.begin(), rh.end());
  Bytes r = tc.tx(cmd);
  EXPECT_EQ(X(r), "6134");
  Bytes gr = tc.tx("00C0000034");
  EXPECT_EQ(gr.size(), 54u);
  EXPECT_EQ(sw_of(gr), 0x9000);
  Bytes rhk = rh;
  rhk.insert(rhk.end(), k.begin(), k.end());
  EXPECT_EQ(X(Bytes(gr.begin() + 16, gr.begin() + 36)), X(sha1(rhk)));
  Bytes rc1(gr.begin() + 36, gr.begin() + 44);
  Bytes rc = tdes2_ecb(k, Bytes(gr.begin() + 44, gr.begin() + 52), false);
  Bytes hcin = rc1;
  hcin.insert(hcin.end(), k.begin(), k.end());
  Bytes rh2 = H("B1B2B3B4B5B6B7B8");
  Bytes c4e = H("804E00001C");
  Bytes hc = sha1(hcin);
  c4e.insert(c4e.end(), hc.begin(), hc.end());
  Bytes eh2 = tdes2_ecb(k, rh2, true);
  c4e.insert(c4e.end(), eh2.begin(), eh2.end());
  EXPECT_EQ(X(tc.tx(c4e)), "9000");
  std::copy(rh2.begin(), rh2.end(), ch.session.begin());
  std::copy(rc.begin(), rc.end(), ch.session.begin() + 8);
  return ch;
}

Bytes Channel::wrap(const Bytes& plain) const {
  Bytes c(plain.begin(), plain.begin() + 4);
  c[0] |= 0x04;
  Bytes data;
  std::uint8_t lc = 0;
  const std::uint8_t ins = plain[1];
  if (ins == 0xB0 || ins == 0xB2 || ins == 0x84 || ins == 0xCA) {
    lc = 1;
    data = {plain.size() > 4 ? plain[4] : std::uint8_t{0}};
  } else if (plain.size() > 5) {
    lc = plain[4];
    data.assign(plain.begin() + 5, plain.begin() + 5 + lc);
  }
  Bytes macin = c;
  macin.push_back(lc);
  macin.insert(macin.end(), data.begin(), data.end());
  Bytes m = mac4(session, macin);
  if (lc != 0) {
    std::size_t p = 16 - lc % 16;
    data.insert(data.end(), p, static_cast<std::uint8_t>(p));
    data = aes_ecb(session, data, true);
  }
  data.insert(data.end(), m.begin(), m.end());
  c.push_back(static_cast<std::uint8_t>(data.size()));
  c.insert(c.end(), data.begin(), data.end());
  return c;
}

Bytes Channel::unwrap(const Bytes& wire) const {
  std::size_t n = wire.size();
  if (n < 6) {
    ADD_FAILURE() << "short answer " << X(wire);
    return wire;
  }
  std::size_t blocks = 16 * ((n - 2) / 16);
  Bytes plain = aes_ecb(session, Bytes(wire.begin(), wire.begin() + static_cast<std::ptrdiff_t>(blocks)), false);
  std::size_t p = plain.back();
  std::size_t d = n - 6 - p;
  Bytes data(plain.begin(), plain.begin() + static_cast<std::ptrdiff_t>(d));
  EXPECT_EQ(X(mac4(session, data)), X(Bytes(wire.end() - 6, wire.end() - 2))) << "MAC of " << X(wire);
  data.push_back(wire[n - 2]);
  data.push_back(wire[n - 1]);
  return data;
}

Bytes Channel::send(const Bytes& plain) {
  Bytes r = tc->tx(wrap(plain));
  if (r.size() != 2 || r[0] != 0x61) return r;
  Bytes out;
  std::uint8_t le = r[1];
  for (;;) {
    Bytes g = tc->tx(Bytes{0x04, 0xC0, 0x00, 0x00, le});
    Bytes u = unwrap(g);
    std::uint16_t s = sw_of(u);
    Bytes d = data_of(u);
    out.insert(out.end(), d.begin(), d.end());
    if ((s >> 8) != 0x61) {
      out.push_back(static_cast<std::uint8_t>(s >> 8));
      out.push_back(static_cast<std::uint8_t>(s));
      return out;
    }
    le = static_cast<std::uint8_t>(s);
  }
}

std::uint16_t Channel::sw(const std::string& hex) { return sw_of(send(H(hex))); }

}  // namespace simtest
