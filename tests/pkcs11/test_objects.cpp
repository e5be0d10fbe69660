// Object store: find with and without login, attribute reads (sensitive,
// lazy card reads, caller buffers), changes, creation checks, token objects
// written to the card and destroyed again.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "p11_test.h"

using namespace p11test;

namespace {

CK_BBOOL kTrue = CK_TRUE;
CK_BBOOL kFalse = CK_FALSE;

CK_OBJECT_HANDLE create(CK_SESSION_HANDLE h, std::vector<CK_ATTRIBUTE> t, CK_RV want = CKR_OK) {
  CK_OBJECT_HANDLE o = 0;
  EXPECT_EQ(C_CreateObject(h, t.data(), t.size(), &o), want);
  return o;
}

}  // namespace

TEST(Objects, PrivateObjectsAreHiddenBeforeLogin) {
  Initialised init;
  ASSERT_EQ(init.rv, CKR_OK);
  CK_SESSION_HANDLE h = open_session(0);
  auto all = find(h, {});
  EXPECT_EQ(all.size(), 4u);
  EXPECT_EQ(find_class(h, CKO_CERTIFICATE).size(), 2u);
  EXPECT_EQ(find_class(h, CKO_PUBLIC_KEY).size(), 2u);
  EXPECT_TRUE(find_class(h, CKO_PRIVATE_KEY).empty());
  ASSERT_EQ(login(h), CKR_OK);
  EXPECT_EQ(find(h, {}).size(), 6u);
  auto priv = find_class(h, CKO_PRIVATE_KEY);
  ASSERT_EQ(priv.size(), 2u);
  // Keys and certificates pair through CKA_ID (the modulus hash).
  for (CK_OBJECT_HANDLE k : priv) {
    Bytes id = attr(h, k, CKA_ID);
    ASSERT_EQ(id.size(), 20u);
    CK_OBJECT_CLASS cc = CKO_CERTIFICATE;
    auto certs = find(h, {{CKA_CLASS, &cc, sizeof cc}, {CKA_ID, id.data(), id.size()}});
    EXPECT_EQ(certs.size(), 1u);
    EXPECT_EQ(attr(h, k, 0x8004), id);
  }
  // Handing out one at a time: the read position advances.
  ASSERT_EQ(C_FindObjectsInit(h, nullptr, 0), CKR_OK);
  CK_OBJECT_HANDLE buf[3] = {0, 0, 0};
  CK_ULONG n = 9;
  std::vector<CK_OBJECT_HANDLE> seen;
  while (C_FindObjects(h, buf, 1, &n) == CKR_OK && n == 1) seen.push_back(buf[0]);
  EXPECT_EQ(seen.size(), 6u);
  EXPECT_EQ(buf[1], 0u);
  EXPECT_EQ(C_FindObjectsFinal(h), CKR_OK);
}

TEST(Objects, SearchChecks) {
  Initialised init;
  ASSERT_EQ(init.rv, CKR_OK);
  CK_SESSION_HANDLE h = open_session(0);
  CK_OBJECT_HANDLE buf[4];
  CK_ULONG n = 7;
  EXPECT_EQ(C_FindObjects(h, buf, 4, &n), CKR_OPERATION_NOT_INITIALIZED);
  EXPECT_EQ(n, 0u);
  EXPECT_EQ(C_FindObjects(h, buf, 0, &n), CKR_ARGUMENTS_BAD);
  EXPECT_EQ(C_FindObjectsFinal(h), CKR_OPERATION_NOT_INITIALIZED);
  EXPECT_EQ(C_FindObjectsInit(h, nullptr, 1), CKR_ARGUMENTS_BAD);
  std::uint8_t three[3] = {1, 0, 0};
  CK_ATTRIBUTE bad{CKA_CLASS, three, 3};
  EXPECT_EQ(C_FindObjectsInit(h, &bad, 1), CKR_ATTRIBUTE_VALUE_INVALID);
  CK_ATTRIBUTE unknown{CKA_MODIFIABLE + 0x7000, nullptr, 0};
  EXPECT_EQ(C_FindObjectsInit(h, &unknown, 1), CKR_ATTRIBUTE_TYPE_INVALID);
  ASSERT_EQ(C_FindObjectsInit(h, nullptr, 0), CKR_OK);
  EXPECT_EQ(C_FindObjectsInit(h, nullptr, 0), CKR_OPERATION_ACTIVE);
  EXPECT_EQ(C_FindObjectsFinal(h), CKR_OK);
  // A label search matches exactly, bytes and length.
  const char* lbl = "VORN demo signature key";
  EXPECT_EQ(find(h, {{CKA_LABEL, const_cast<char*>(lbl), std::strlen(lbl)}}).size(), 1u);
  EXPECT_EQ(find(h, {{CKA_LABEL, const_cast<char*>(lbl), std::strlen(lbl) - 1}}).size(), 0u);
}

TEST(Objects, AttributeReads) {
  Initialised init;
  ASSERT_EQ(init.rv, CKR_OK);
  CK_SESSION_HANDLE h = open_session(0);
  ASSERT_EQ(login(h), CKR_OK);
  auto priv = find_class(h, CKO_PRIVATE_KEY);
  auto certs = find_class(h, CKO_CERTIFICATE);
  auto pubs = find_class(h, CKO_PUBLIC_KEY);
  ASSERT_EQ(priv.size(), 2u);
  ASSERT_EQ(certs.size(), 2u);
  ASSERT_EQ(pubs.size(), 2u);

  // Secret parts of a card key are withheld.
  std::uint8_t p1[200];
  CK_ATTRIBUTE a{CKA_PRIME_1, p1, sizeof p1};
  EXPECT_EQ(C_GetAttributeValue(h, priv[0], &a, 1), CKR_ATTRIBUTE_SENSITIVE);
  EXPECT_EQ(a.ulValueLen, CK_UNAVAILABLE_INFORMATION);
  // A type the class does not carry.
  CK_ULONG bits = 0;
  CK_ATTRIBUTE mb{CKA_MODULUS_BITS, &bits, sizeof bits};
  EXPECT_EQ(C_GetAttributeValue(h, certs[0], &mb, 1), CKR_ATTRIBUTE_TYPE_INVALID);
  EXPECT_EQ(mb.ulValueLen, CK_UNAVAILABLE_INFORMATION);
  // Rows outside the queryable part of the table.
  CK_ATTRIBUTE hw{CKA_HW_FEATURE_TYPE, nullptr, 0};
  EXPECT_EQ(C_GetAttributeValue(h, certs[0], &hw, 1), CKR_ATTRIBUTE_TYPE_INVALID);
  // Several entries: served ones are filled, the code is the last failure.
  CK_OBJECT_CLASS cls = 99;
  CK_BBOOL tok = 9;
  CK_ATTRIBUTE several[3] = {{CKA_CLASS, &cls, sizeof cls}, {CKA_PRIME_2, nullptr, 0}, {CKA_TOKEN, &tok, 1}};
  EXPECT_EQ(C_GetAttributeValue(h, priv[0], several, 3), CKR_ATTRIBUTE_SENSITIVE);
  EXPECT_EQ(cls, static_cast<CK_OBJECT_CLASS>(CKO_PRIVATE_KEY));
  EXPECT_EQ(tok, CK_TRUE);
  EXPECT_EQ(several[1].ulValueLen, CK_UNAVAILABLE_INFORMATION);

  EXPECT_EQ(attr_ulong(h, pubs[0], CKA_MODULUS_BITS), 2048u);
  EXPECT_EQ(attr_ulong(h, priv[0], CKA_KEY_TYPE), static_cast<CK_ULONG>(CKK_RSA));
  EXPECT_EQ(attr(h, pubs[0], CKA_PUBLIC_EXPONENT), (Bytes{1, 0, 1}));
  // The private key's modulus (attribute list) equals the public key's
  // (card value, read on first use).
  Bytes id0 = attr(h, priv[0], CKA_ID);
  CK_OBJECT_CLASS pc = CKO_PUBLIC_KEY;
  auto pub0 = find(h, {{CKA_CLASS, &pc, sizeof pc}, {CKA_ID, id0.data(), id0.size()}});
  ASSERT_EQ(pub0.size(), 1u);
  Bytes n_priv = attr(h, priv[0], CKA_MODULUS);
  EXPECT_EQ(n_priv.size(), 256u);
  EXPECT_EQ(attr(h, pub0[0], CKA_MODULUS), n_priv);
}

TEST(Objects, CertificateValueIsReadFromTheCardOnce) {
  Initialised init;
  ASSERT_EQ(init.rv, CKR_OK);
  CK_SESSION_HANDLE h = open_session(0);
  auto certs = find_class(h, CKO_CERTIFICATE);
  ASSERT_EQ(certs.size(), 2u);
  std::size_t t0 = trace_lines(0);
  CK_ATTRIBUTE q{CKA_VALUE, nullptr, 0};
  ASSERT_EQ(C_GetAttributeValue(h, certs[0], &q, 1), CKR_OK);
  std::size_t t1 = trace_lines(0);
  EXPECT_GT(t1, t0);
  ASSERT_GT(q.ulValueLen, 200u);
  // A buffer one byte short: no write past its length.
  Bytes v(q.ulValueLen + 8, 0xA5);
  q.pValue = v.data();
  q.ulValueLen -= 1;
  EXPECT_EQ(C_GetAttributeValue(h, certs[0], &q, 1), CKR_BUFFER_TOO_SMALL);
  EXPECT_EQ(q.ulValueLen, CK_UNAVAILABLE_INFORMATION);
  EXPECT_TRUE(std::all_of(v.begin(), v.end(), [](std::uint8_t b) { return b == 0xA5; }));
  Bytes der = attr(h, certs[0], CKA_VALUE);
  EXPECT_EQ(trace_lines(0), t1);  // no further card traffic
  const unsigned char* p = der.data();
  X509* x = d2i_X509(nullptr, &p, static_cast<long>(der.size()));
  ASSERT_NE(x, nullptr);
  char cn[128] = {};
  X509_NAME_get_text_by_NID(X509_get_subject_name(x), NID_commonName, cn, sizeof cn);
  X509_free(x);
  EXPECT_TRUE(std::string(cn) == "VORN demo signature key" || std::string(cn) == "VORN demo decipherment key");
  EXPECT_EQ(attr(h, certs[0], CKA_LABEL), Bytes(cn, cn + std::strlen(cn)));
}

TEST(Objects, ChangesAndReadOnlyAttributes) {
  Initialised init;
  ASSERT_EQ(init.rv, CKR_OK);
  CK_SESSION_HANDLE ro = open_session(0);
  CK_SESSION_HANDLE rw = open_session(0, true);
  auto pubs = find_class(rw, CKO_PUBLIC_KEY);
  ASSERT_EQ(pubs.size(), 2u);
  std::uint8_t n[4] = {1, 2, 3, 4};
  CK_ATTRIBUTE mod{CKA_MODULUS, n, 4};
  EXPECT_EQ(C_SetAttributeValue(rw, pubs[0], &mod, 1), CKR_ATTRIBUTE_READ_ONLY);
  const char* lbl = "renamed key";
  CK_ATTRIBUTE label{CKA_LABEL, const_cast<char*>(lbl), std::strlen(lbl)};
  EXPECT_EQ(C_SetAttributeValue(ro, pubs[0], &label, 1), CKR_USER_NOT_LOGGED_IN);
  ASSERT_EQ(C_SetAttributeValue(rw, pubs[0], &label, 1), CKR_OK);
  EXPECT_EQ(attr(rw, pubs[0], CKA_LABEL), Bytes(lbl, lbl + std::strlen(lbl)));
  // A secret key of the session: CKA_SENSITIVE may not be turned off.
  std::uint8_t key[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
  CK_OBJECT_CLASS sk = CKO_SECRET_KEY;
  CK_KEY_TYPE aes = CKK_AES;
  CK_OBJECT_HANDLE s = create(rw, {{CKA_CLASS, &sk, sizeof sk}, {CKA_KEY_TYPE, &aes, sizeof aes},
                                   {CKA_VALUE, key, sizeof key}});
  ASSERT_NE(s, 0u);
  CK_ATTRIBUTE off{CKA_SENSITIVE, &kFalse, 1};
  EXPECT_EQ(C_SetAttributeValue(rw, s, &off, 1), CKR_ATTRIBUTE_READ_ONLY);
  CK_ATTRIBUTE ext{CKA_EXTRACTABLE, &kTrue, 1};
  EXPECT_EQ(C_SetAttributeValue(rw, s, &ext, 1), CKR_ATTRIBUTE_READ_ONLY);
  CK_ATTRIBUTE on{CKA_SENSITIVE, &kTrue, 1};
  ASSERT_EQ(C_SetAttributeValue(rw, s, &on, 1), CKR_OK);
  CK_ATTRIBUTE v{CKA_VALUE, nullptr, 0};
  EXPECT_EQ(C_GetAttributeValue(rw, s, &v, 1), CKR_ATTRIBUTE_SENSITIVE);
  // Reopened: the label change was written to the card.
  ASSERT_EQ(C_CloseAllSessions(0), CKR_OK);
  CK_SESSION_HANDLE h = open_session(0);
  auto found = find(h, {{CKA_LABEL, const_cast<char*>(lbl), std::strlen(lbl)}});
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(attr_ulong(h, found[0], CKA_CLASS), static_cast<CK_ULONG>(CKO_PUBLIC_KEY));
}

TEST(Objects, CreationChecks) {
  Initialised init;
  ASSERT_EQ(init.rv, CKR_OK);
  CK_SESSION_HANDLE rw = open_session(0, true);
  RsaKey k = rsa_generate(1024);
  CK_OBJECT_CLASS pub = CKO_PUBLIC_KEY, sk = CKO_SECRET_KEY, bad_class = 7;
  CK_KEY_TYPE rsa = CKK_RSA, aes = CKK_AES, des3 = CKK_DES3;
  std::uint8_t three[1] = {3};
  create(rw, {{CKA_CLASS, &pub, sizeof pub}, {CKA_KEY_TYPE, &rsa, sizeof rsa}, {CKA_MODULUS, k.n.data(), k.n.size()},
              {CKA_PUBLIC_EXPONENT, three, 1}, {CKA_TOKEN, &kFalse, 1}},
         CKR_ATTRIBUTE_VALUE_INVALID);
  create(rw, {{CKA_CLASS, &pub, sizeof pub}, {CKA_KEY_TYPE, &rsa, sizeof rsa}, {CKA_PUBLIC_EXPONENT, three, 1}},
         CKR_TEMPLATE_INCOMPLETE);
  CK_ULONG bits = 1024;
  create(rw, {{CKA_CLASS, &pub, sizeof pub}, {CKA_KEY_TYPE, &rsa, sizeof rsa}, {CKA_MODULUS, k.n.data(), k.n.size()},
              {CKA_PUBLIC_EXPONENT, k.e.data(), k.e.size()}, {CKA_MODULUS_BITS, &bits, sizeof bits}},
         CKR_TEMPLATE_INCONSISTENT);
  std::uint8_t key24[24] = {};
  create(rw, {{CKA_CLASS, &sk, sizeof sk}, {CKA_KEY_TYPE, &aes, sizeof aes}, {CKA_VALUE, key24, 24}},
         CKR_ATTRIBUTE_VALUE_INVALID);
  CK_OBJECT_HANDLE d3 =
      create(rw, {{CKA_CLASS, &sk, sizeof sk}, {CKA_KEY_TYPE, &des3, sizeof des3}, {CKA_VALUE, key24, 24}});
  EXPECT_NE(d3, 0u);
  create(rw, {{CKA_CLASS, &bad_class, sizeof bad_class}}, CKR_ATTRIBUTE_VALUE_INVALID);
  create(rw, {{CKA_LABEL, key24, 3}}, CKR_TEMPLATE_INCOMPLETE);
  std::uint8_t c3[3] = {};
  create(rw, {{CKA_CLASS, c3, 3}}, CKR_TEMPLATE_INCONSISTENT);
  create(rw, {{CKA_CLASS, &sk, sizeof sk}, {CKA_KEY_TYPE, &aes, sizeof aes}, {CKA_VALUE, key24, 16},
              {CKA_MODULUS, key24, 4}},
         CKR_ATTRIBUTE_TYPE_INVALID);
  // A session public key: derived values.
  CK_OBJECT_HANDLE p = create(rw, {{CKA_CLASS, &pub, sizeof pub}, {CKA_KEY_TYPE, &rsa, sizeof rsa},
                                   {CKA_MODULUS, k.n.data(), k.n.size()}, {CKA_TOKEN, &kFalse, 1},
                                   {CKA_PUBLIC_EXPONENT, k.e.data(), k.e.size()}});
  ASSERT_NE(p, 0u);
  EXPECT_EQ(attr_ulong(rw, p, CKA_MODULUS_BITS), 1024u);
  std::uint8_t sha[20];
  SHA1(k.n.data(), k.n.size(), sha);
  EXPECT_EQ(attr(rw, p, 0x8004), Bytes(sha, sha + 20));
  // Session objects are the creator's: a read-only public session may not
  // create a token object.
  CK_SESSION_HANDLE ro = open_session(0);
  create(ro, {{CKA_CLASS, &pub, sizeof pub}, {CKA_KEY_TYPE, &rsa, sizeof rsa}, {CKA_MODULUS, k.n.data(), k.n.size()},
              {CKA_PUBLIC_EXPONENT, k.e.data(), k.e.size()}},
         CKR_USER_NOT_LOGGED_IN);
  // Ten session objects at most per session.
  CK_OBJECT_CLASS data = CKO_DATA;
  int made = 0;
  for (int i = 0; i < 12; ++i) {
    CK_OBJECT_HANDLE o = 0;
    CK_ATTRIBUTE t{CKA_CLASS, &data, sizeof data};
    if (C_CreateObject(rw, &t, 1, &o) == CKR_OK) ++made;
  }
  EXPECT_EQ(made, 8);  // two places already taken above
}

TEST(Objects, TokenObjectsAreWrittenToTheCardAndDestroyed) {
  Initialised init;
  ASSERT_EQ(init.rv, CKR_OK);
  CK_SESSION_HANDLE rw = open_session(0, true);
  ASSERT_EQ(login(rw), CKR_OK);
  CK_OBJECT_CLASS data = CKO_DATA;
  const char* app = "vorn-tests";
  std::uint8_t value[300];
  for (int i = 0; i < 300; ++i) value[i] = static_cast<std::uint8_t>(i * 7);
  const char* lbl = "token data";
  CK_OBJECT_HANDLE o = create(rw, {{CKA_CLASS, &data, sizeof data}, {CKA_TOKEN, &kTrue, 1},
                                   {CKA_PRIVATE, &kTrue, 1}, {CKA_LABEL, const_cast<char*>(lbl), std::strlen(lbl)},
                                   {CKA_APPLICATION, const_cast<char*>(app), std::strlen(app)},
                                   {CKA_VALUE, value, sizeof value}});
  ASSERT_NE(o, 0u);
  // Seen again after the objects are reloaded from the card.
  ASSERT_EQ(C_CloseAllSessions(0), CKR_OK);
  CK_SESSION_HANDLE h = open_session(0, true);
  auto before = find(h, {{CKA_LABEL, const_cast<char*>(lbl), std::strlen(lbl)}});
  EXPECT_TRUE(before.empty());  // private, not logged in
  ASSERT_EQ(login(h), CKR_OK);
  auto found = find(h, {{CKA_LABEL, const_cast<char*>(lbl), std::strlen(lbl)}});
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(attr(h, found[0], CKA_VALUE), Bytes(value, value + sizeof value));
  EXPECT_EQ(attr(h, found[0], CKA_APPLICATION), Bytes(app, app + std::strlen(app)));
  // A new value is written back.
  std::uint8_t v2[5] = {9, 8, 7, 6, 5};
  CK_ATTRIBUTE nv{CKA_VALUE, v2, 5};
  ASSERT_EQ(C_SetAttributeValue(h, found[0], &nv, 1), CKR_OK);
  ASSERT_EQ(C_CloseAllSessions(0), CKR_OK);
  h = open_session(0, true);
  ASSERT_EQ(login(h), CKR_OK);
  found = find(h, {{CKA_LABEL, const_cast<char*>(lbl), std::strlen(lbl)}});
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(attr(h, found[0], CKA_VALUE), Bytes(v2, v2 + 5));
  ASSERT_EQ(C_DestroyObject(h, found[0]), CKR_OK);
  EXPECT_EQ(C_DestroyObject(h, found[0]), CKR_OBJECT_HANDLE_INVALID);
  ASSERT_EQ(C_CloseAllSessions(0), CKR_OK);
  h = open_session(0);
  ASSERT_EQ(login(h), CKR_OK);
  EXPECT_TRUE(find(h, {{CKA_LABEL, const_cast<char*>(lbl), std::strlen(lbl)}}).empty());
  EXPECT_EQ(find(h, {}).size(), 6u);
}

TEST(Objects, WriteAccessRules) {
  Initialised init;
  ASSERT_EQ(init.rv, CKR_OK);
  CK_SESSION_HANDLE ro = open_session(0);
  CK_SESSION_HANDLE rw = open_session(0, true);
  auto certs = find_class(rw, CKO_CERTIFICATE);
  ASSERT_EQ(certs.size(), 2u);
  EXPECT_EQ(C_DestroyObject(ro, certs[0]), CKR_SESSION_READ_ONLY);
  ASSERT_EQ(login(ro), CKR_OK);
  EXPECT_EQ(C_DestroyObject(ro, certs[0]), CKR_SESSION_READ_ONLY);  // token object, read-only session
  const char* lbl = "x";
  CK_ATTRIBUTE label{CKA_LABEL, const_cast<char*>(lbl), 1};
  EXPECT_EQ(C_SetAttributeValue(ro, certs[0], &label, 1), CKR_SESSION_READ_ONLY);
  EXPECT_EQ(C_DestroyObject(rw, 0), CKR_OBJECT_HANDLE_INVALID);
  EXPECT_EQ(C_GetAttributeValue(rw, 0x7FFFFFF, &label, 1), CKR_OBJECT_HANDLE_INVALID);
}

// A slot holds 79 token objects: 40 in AP-SIGN (certificates that pair with
// its key go there) and 39 in AP-CIPH; the 80th is refused by the module.
TEST(TokenTable, TheEightiethTokenObjectIsRefused) {
  Initialised init;
  ASSERT_EQ(init.rv, CKR_OK);
  CK_SESSION_HANDLE h = open_session(0, true);
  ASSERT_EQ(login(h), CKR_OK);
  const char* sig_lbl = "VORN demo signature key";
  CK_OBJECT_CLASS cc = CKO_CERTIFICATE, dc = CKO_DATA;
  auto certs = find(h, {{CKA_CLASS, &cc, sizeof cc}, {CKA_LABEL, const_cast<char*>(sig_lbl), std::strlen(sig_lbl)}});
  ASSERT_EQ(certs.size(), 1u);
  Bytes der = attr(h, certs[0], CKA_VALUE);
  CK_CERTIFICATE_TYPE x509 = CKC_X_509;
  std::uint8_t subject[2] = {0x30, 0x00};
  for (int i = 0; i < 37; ++i) {
    create(h, {{CKA_CLASS, &cc, sizeof cc},
               {CKA_TOKEN, &kTrue, 1},
               {CKA_CERTIFICATE_TYPE, &x509, sizeof x509},
               {CKA_SUBJECT, subject, 2},
               {CKA_VALUE, der.data(), der.size()}});
  }
  std::uint8_t v[4] = {1, 2, 3, 4};
  for (int i = 0; i < 36; ++i)
    create(h, {{CKA_CLASS, &dc, sizeof dc}, {CKA_TOKEN, &kTrue, 1}, {CKA_VALUE, v, sizeof v}});
  EXPECT_EQ(find(h, {}).size(), 79u);
  create(h, {{CKA_CLASS, &dc, sizeof dc}, {CKA_TOKEN, &kTrue, 1}, {CKA_VALUE, v, sizeof v}}, CKR_HOST_MEMORY);
  // Session objects still fit, and everything reloads from the card.
  EXPECT_NE(create(h, {{CKA_CLASS, &dc, sizeof dc}, {CKA_VALUE, v, sizeof v}}), 0u);
  ASSERT_EQ(C_CloseAllSessions(0), CKR_OK);
  h = open_session(0);
  ASSERT_EQ(login(h), CKR_OK);
  EXPECT_EQ(find(h, {}).size(), 79u);
  EXPECT_EQ(find_class(h, CKO_CERTIFICATE).size(), 39u);
}

namespace {

// Replaces the fault file that reader 0's simulator re-reads before each
// command (write and rename, so it never sees half a file).
void set_faults(const std::string& text) {
  const std::string path = std::string(env_or("VORNENV_DIR", "")) + "/reader0.faults";
  {
    std::ofstream f(path + ".new", std::ios::trunc);
    f << text;
  }
  std::rename((path + ".new").c_str(), path.c_str());
}

CK_RV get1(CK_SESSION_HANDLE h, CK_OBJECT_HANDLE o, CK_ATTRIBUTE_TYPE t, CK_ULONG* len = nullptr) {
  CK_ATTRIBUTE a{t, nullptr, 0};
  const CK_RV rv = C_GetAttributeValue(h, o, &a, 1);
  if (len != nullptr) *len = a.ulValueLen;
  return rv;
}

Bytes text(const char* s) { return Bytes(s, s + std::strlen(s)); }

// A token data object of the user's, with its label and value.
CK_OBJECT_HANDLE private_data(CK_SESSION_HANDLE h, const char* label, const char* value, CK_BBOOL token = CK_TRUE) {
  static CK_OBJECT_CLASS data = CKO_DATA;
  return create(h, {{CKA_CLASS, &data, sizeof data}, {CKA_TOKEN, &token, 1}, {CKA_PRIVATE, &kTrue, 1},
                    {CKA_LABEL, const_cast<char*>(label), std::strlen(label)},
                    {CKA_VALUE, const_cast<char*>(value), std::strlen(value)}});
}

}  // namespace

TEST(Objects, PrivateObjectsNeedTheLogin) {
  Initialised init;
  ASSERT_EQ(init.rv, CKR_OK);
  CK_SESSION_HANDLE rw = open_session(0, true);
  // Never logged in: of the six card objects (handles 1 to 6 after
  // C_Initialize) the two private keys are no objects at all.
  std::vector<CK_ULONG> classes;
  for (CK_OBJECT_HANDLE o = 1; o <= 6; ++o) {
    CK_ULONG cls = 99;
    CK_ATTRIBUTE a{CKA_CLASS, &cls, sizeof cls};
    const CK_RV rv = C_GetAttributeValue(rw, o, &a, 1);
    EXPECT_TRUE(rv == CKR_OK || rv == CKR_OBJECT_HANDLE_INVALID) << rv;
    if (rv == CKR_OK) classes.push_back(cls);
  }
  std::sort(classes.begin(), classes.end());
  EXPECT_EQ(classes, (std::vector<CK_ULONG>{CKO_CERTIFICATE, CKO_CERTIFICATE, CKO_PUBLIC_KEY, CKO_PUBLIC_KEY}));

  ASSERT_EQ(login(rw), CKR_OK);
  auto priv = find_class(rw, CKO_PRIVATE_KEY);
  ASSERT_EQ(priv.size(), 2u);
  const CK_OBJECT_HANDLE tok = private_data(rw, "secret data", "TOPSECRET-VALUE");
  const CK_OBJECT_HANDLE ses = private_data(rw, "session secret", "SESSION-SECRET", CK_FALSE);
  ASSERT_EQ(attr(rw, tok, CKA_VALUE), text("TOPSECRET-VALUE"));
  ASSERT_EQ(attr(rw, ses, CKA_VALUE), text("SESSION-SECRET"));
  ASSERT_EQ(C_Logout(rw), CKR_OK);

  // Logged out: no call serves or changes them, searches skip them.
  const char* lbl = "x";
  CK_ATTRIBUTE label{CKA_LABEL, const_cast<char*>(lbl), 1};
  for (CK_OBJECT_HANDLE o : {priv[0], tok, ses}) {
    SCOPED_TRACE(o);
    EXPECT_EQ(get1(rw, o, CKA_VALUE), CKR_OBJECT_HANDLE_INVALID);
    EXPECT_EQ(get1(rw, o, CKA_LABEL), CKR_OBJECT_HANDLE_INVALID);
    EXPECT_EQ(C_SetAttributeValue(rw, o, &label, 1), CKR_OBJECT_HANDLE_INVALID);
    EXPECT_EQ(C_DestroyObject(rw, o), CKR_OBJECT_HANDLE_INVALID);
  }
  EXPECT_EQ(find(rw, {}).size(), 4u);
  CK_MECHANISM rsa{CKM_RSA_PKCS, nullptr, 0};
  EXPECT_EQ(C_SignInit(rw, &rsa, priv[0]), CKR_USER_NOT_LOGGED_IN);

  // Logged in again: the private session object was destroyed at the
  // logout; the token object's value was wiped and comes from the card.
  ASSERT_EQ(login(rw), CKR_OK);
  EXPECT_EQ(get1(rw, ses, CKA_LABEL), CKR_OBJECT_HANDLE_INVALID);
  const std::size_t t0 = trace_lines(0);
  EXPECT_EQ(attr(rw, tok, CKA_VALUE), text("TOPSECRET-VALUE"));
  EXPECT_GT(trace_lines(0), t0);
  EXPECT_EQ(attr(rw, tok, CKA_LABEL), text("secret data"));
  EXPECT_EQ(C_DestroyObject(rw, tok), CKR_OK);
}

// Labels, subjects and dates the card holds empty are there, 0 bytes long
// (OpenSSH gives up on a key whose CKA_LABEL query fails).
TEST(Objects, EmptyCardAttributesArePresent) {
  Initialised init;
  ASSERT_EQ(init.rv, CKR_OK);
  CK_SESSION_HANDLE h = open_session(0);
  ASSERT_EQ(login(h), CKR_OK);
  // (An earlier test of the group renames a public key.)
  auto keys = find_class(h, CKO_PRIVATE_KEY);
  ASSERT_EQ(keys.size(), 2u);
  for (CK_OBJECT_HANDLE k : keys) {
    for (CK_ATTRIBUTE_TYPE t : {CKA_LABEL, CKA_SUBJECT, CKA_START_DATE, CKA_END_DATE}) {
      SCOPED_TRACE(testing::Message() << k << " type " << t);
      CK_ULONG len = 99;
      EXPECT_EQ(get1(h, k, t, &len), CKR_OK);
      EXPECT_EQ(len, 0u);
    }
  }
  CK_OBJECT_CLASS pc = CKO_PRIVATE_KEY;
  EXPECT_EQ(find(h, {{CKA_CLASS, &pc, sizeof pc}, {CKA_LABEL, nullptr, 0}}).size(), 2u);
  // OpenSSH's query of a key: every entry served.
  std::uint8_t id[64], lb[64];
  CK_ATTRIBUTE q[2] = {{CKA_ID, id, sizeof id}, {CKA_LABEL, lb, sizeof lb}};
  EXPECT_EQ(C_GetAttributeValue(h, keys[0], q, 2), CKR_OK);
  EXPECT_EQ(q[0].ulValueLen, 20u);
  EXPECT_EQ(q[1].ulValueLen, 0u);
}

// Keys the caller brought (created or unwrapped) were known outside the
// token; "no generating mechanism" is CK_UNAVAILABLE_INFORMATION, in memory
// and after the round trip through the card's 4-byte form.
TEST(Objects, OriginOfKeys) {
  Initialised init;
  ASSERT_EQ(init.rv, CKR_OK);
  CK_SESSION_HANDLE h = open_session(0, true);
  ASSERT_EQ(login(h), CKR_OK);
  RsaKey k = rsa_generate(1024);
  CK_OBJECT_CLASS pc = CKO_PRIVATE_KEY, sc = CKO_SECRET_KEY;
  CK_KEY_TYPE rsa = CKK_RSA, aes = CKK_AES;
  auto rsa_priv = [&](CK_BBOOL token, const char* label) {
    return create(h, {{CKA_CLASS, &pc, sizeof pc}, {CKA_KEY_TYPE, &rsa, sizeof rsa}, {CKA_TOKEN, &token, 1},
                      {CKA_LABEL, const_cast<char*>(label), std::strlen(label)},
                      {CKA_SENSITIVE, &kFalse, 1}, {CKA_EXTRACTABLE, &kTrue, 1},
                      {CKA_MODULUS, k.n.data(), k.n.size()}, {CKA_PUBLIC_EXPONENT, k.e.data(), k.e.size()},
                      {CKA_PRIVATE_EXPONENT, k.d.data(), k.d.size()}, {CKA_PRIME_1, k.p.data(), k.p.size()},
                      {CKA_PRIME_2, k.q.data(), k.q.size()}, {CKA_EXPONENT_1, k.dp.data(), k.dp.size()},
                      {CKA_EXPONENT_2, k.dq.data(), k.dq.size()}, {CKA_COEFFICIENT, k.qinv.data(), k.qinv.size()}});
  };
  std::uint8_t kek[16] = {7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7};
  const CK_OBJECT_HANDLE wk =
      create(h, {{CKA_CLASS, &sc, sizeof sc}, {CKA_KEY_TYPE, &aes, sizeof aes}, {CKA_VALUE, kek, sizeof kek}});
  const CK_OBJECT_HANDLE made = rsa_priv(CK_FALSE, "made");
  const CK_OBJECT_HANDLE card = rsa_priv(CK_TRUE, "on the card");
  std::uint8_t iv[16] = {};
  CK_MECHANISM w{CKM_AES_CBC_PAD, iv, sizeof iv};
  std::vector<std::uint8_t> blob(2048);
  CK_ULONG n = blob.size();
  ASSERT_EQ(C_WrapKey(h, &w, wk, made, blob.data(), &n), CKR_OK);
  CK_ATTRIBUTE ut[] = {{CKA_CLASS, &pc, sizeof pc}, {CKA_KEY_TYPE, &rsa, sizeof rsa}, {CKA_TOKEN, &kFalse, 1}};
  CK_OBJECT_HANDLE unwrapped = 0;
  ASSERT_EQ(C_UnwrapKey(h, &w, wk, blob.data(), n, ut, 3, &unwrapped), CKR_OK);
  const Bytes no{CK_FALSE};
  auto check = [&](CK_OBJECT_HANDLE o) {
    EXPECT_EQ(attr_ulong(h, o, CKA_KEY_GEN_MECHANISM), CK_UNAVAILABLE_INFORMATION);
    EXPECT_EQ(attr(h, o, CKA_LOCAL), no);
    EXPECT_EQ(attr(h, o, CKA_ALWAYS_SENSITIVE), no);
    EXPECT_EQ(attr(h, o, CKA_NEVER_EXTRACTABLE), no);
  };
  for (CK_OBJECT_HANDLE o : {wk, made, card, unwrapped}) {
    SCOPED_TRACE(o);
    check(o);
  }
  // The card key once more, as loaded from the card.
  ASSERT_EQ(C_CloseAllSessions(0), CKR_OK);
  h = open_session(0, true);
  ASSERT_EQ(login(h), CKR_OK);
  const char* lbl = "on the card";
  auto reloaded = find(h, {{CKA_LABEL, const_cast<char*>(lbl), std::strlen(lbl)}});
  ASSERT_EQ(reloaded.size(), 1u);
  check(reloaded[0]);
  EXPECT_EQ(C_DestroyObject(h, reloaded[0]), CKR_OK);
  // The demo keys were generated on the card.
  auto demo = find_class(h, CKO_PRIVATE_KEY);
  ASSERT_EQ(demo.size(), 2u);
  EXPECT_EQ(attr_ulong(h, demo[0], CKA_KEY_GEN_MECHANISM), static_cast<CK_ULONG>(CKM_RSA_PKCS_KEY_PAIR_GEN));
  EXPECT_EQ(attr(h, demo[0], CKA_LOCAL), Bytes{CK_TRUE});
}

// A deletion the card would refuse is refused first; one the card refuses
// leaves the object in place.
TEST(Objects, DestroyKeepsWhatTheCardKeeps) {
  Initialised init;
  ASSERT_EQ(init.rv, CKR_OK);
  CK_SESSION_HANDLE rw = open_session(0, true);
  RsaKey k = rsa_generate(1024);
  CK_OBJECT_CLASS pc = CKO_PRIVATE_KEY;
  CK_KEY_TYPE rsa = CKK_RSA;
  // A token private key that is not CKA_PRIVATE: made without the login,
  // deleted by the card only under the PIN.
  const CK_OBJECT_HANDLE key = create(
      rw, {{CKA_CLASS, &pc, sizeof pc}, {CKA_KEY_TYPE, &rsa, sizeof rsa}, {CKA_TOKEN, &kTrue, 1},
           {CKA_PRIVATE, &kFalse, 1}, {CKA_MODULUS, k.n.data(), k.n.size()},
           {CKA_PUBLIC_EXPONENT, k.e.data(), k.e.size()}, {CKA_PRIVATE_EXPONENT, k.d.data(), k.d.size()},
           {CKA_PRIME_1, k.p.data(), k.p.size()}, {CKA_PRIME_2, k.q.data(), k.q.size()},
           {CKA_EXPONENT_1, k.dp.data(), k.dp.size()}, {CKA_EXPONENT_2, k.dq.data(), k.dq.size()},
           {CKA_COEFFICIENT, k.qinv.data(), k.qinv.size()}});
  ASSERT_NE(key, 0u);
  std::size_t t0 = trace_lines(0);
  EXPECT_EQ(C_DestroyObject(rw, key), CKR_USER_NOT_LOGGED_IN);
  EXPECT_EQ(trace_lines(0), t0);  // the card was not asked
  EXPECT_EQ(get1(rw, key, CKA_CLASS), CKR_OK);

  ASSERT_EQ(login(rw), CKR_OK);
  struct Case {
    const char* faults;
    CK_RV want;
  };
  for (const Case& c : {Case{"sw 52 6581 x1\n", CKR_DEVICE_ERROR}, Case{"", CKR_OK}}) {
    SCOPED_TRACE(c.faults);
    set_faults(c.faults);
    EXPECT_EQ(C_DestroyObject(rw, key), c.want);
    EXPECT_EQ(get1(rw, key, CKA_CLASS), c.want == CKR_OK ? CKR_OBJECT_HANDLE_INVALID : CKR_OK);
  }
  ASSERT_EQ(C_CloseAllSessions(0), CKR_OK);
  rw = open_session(0);
  ASSERT_EQ(login(rw), CKR_OK);
  EXPECT_EQ(find(rw, {}).size(), 6u);
}

// A data object's new value: when the card refuses to delete the old value
// the new one goes again, and the card holds the old object alone.
TEST(Objects, RewrittenValueLeavesOneObjectOnTheCard) {
  Initialised init;
  ASSERT_EQ(init.rv, CKR_OK);
  CK_SESSION_HANDLE h = open_session(0, true);
  ASSERT_EQ(login(h), CKR_OK);
  const char* lbl = "rewritten";
  CK_OBJECT_HANDLE o = private_data(h, lbl, "OLD VALUE");
  ASSERT_NE(o, 0u);
  struct Case {
    const char* faults;
    CK_RV want;
    const char* on_card;
  };
  for (const Case& c : {Case{"sw 52 6581 x1\n", CKR_DEVICE_ERROR, "OLD VALUE"}, Case{"", CKR_OK, "NEW"}}) {
    SCOPED_TRACE(c.faults);
    set_faults(c.faults);
    CK_ATTRIBUTE nv{CKA_VALUE, const_cast<char*>("NEW"), 3};
    EXPECT_EQ(C_SetAttributeValue(h, o, &nv, 1), c.want);
    set_faults("");
    ASSERT_EQ(C_CloseAllSessions(0), CKR_OK);
    h = open_session(0, true);
    ASSERT_EQ(login(h), CKR_OK);
    auto found = find(h, {{CKA_LABEL, const_cast<char*>(lbl), std::strlen(lbl)}});
    ASSERT_EQ(found.size(), 1u);
    o = found[0];
    EXPECT_EQ(attr(h, o, CKA_VALUE), text(c.on_card));
    EXPECT_EQ(find(h, {}).size(), 7u);
  }
  EXPECT_EQ(C_DestroyObject(h, o), CKR_OK);
}
