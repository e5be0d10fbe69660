// PKCS11_VORN.dll from a Windows program under Wine, against the simulated
// demo card through the winscard bridge: the Windows structure layout as the
// caller sees it, then initialise, slots, token, login, sign, verify (PKCS#1
// v1.5 and RSA-PSS with its packed parameters), finalise.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "win_p11_client.h"

namespace {

TEST(Pkcs11Windows, InfoBytesInTheWindowsLayout) {
  P11Module m;
  ASSERT_TRUE(m.load());
  EXPECT_EQ(m.f->version.major, 0);
  EXPECT_EQ(m.f->version.minor, 5);
  ASSERT_EQ(m.f->C_Initialize(nullptr), CKR_OK);
  // Every byte of the caller's 72-byte CK_INFO, packed to 1 byte.
  unsigned char raw[72];
  std::memset(raw, 0xAA, sizeof raw);
  ASSERT_EQ(m.f->C_GetInfo(reinterpret_cast<CK_INFO*>(raw)), CKR_OK);
  EXPECT_EQ(raw[0], 2);
  EXPECT_EQ(raw[1], 11);
  EXPECT_EQ(std::memcmp(raw + 2, "Dravenor Microsistemas Ib,S.A", 29), 0);
  // flags (0) at byte 34, right after the 32-byte manufacturerID: a caller
  // with 4-byte alignment would look for it at 36.
  const unsigned char flags[4] = {0, 0, 0, 0};
  EXPECT_EQ(std::memcmp(raw + 34, flags, 4), 0);
  // The test build says it carries the public test keys.
  EXPECT_EQ(std::memcmp(raw + 38, "PKCS#11 VORN (TEST KEYS)        ", 32), 0);
  EXPECT_EQ(raw[70], 1);
  EXPECT_EQ(raw[71], 0);

  // pReserved sits at byte 36 of CK_C_INITIALIZE_ARGS: a set one is refused.
  unsigned char args[44];
  std::memset(args, 0, sizeof args);
  args[36] = 1;
  EXPECT_EQ(m.f->C_Finalize(nullptr), CKR_OK);
  EXPECT_EQ(m.f->C_Initialize(reinterpret_cast<CK_C_INITIALIZE_ARGS*>(args)), CKR_ARGUMENTS_BAD);
  args[36] = 0;
  args[32] = CKF_OS_LOCKING_OK;
  EXPECT_EQ(m.f->C_Initialize(reinterpret_cast<CK_C_INITIALIZE_ARGS*>(args)), CKR_OK);
  EXPECT_EQ(m.f->C_Initialize(nullptr), CKR_CRYPTOKI_ALREADY_INITIALIZED);
  EXPECT_EQ(m.f->C_Finalize(nullptr), CKR_OK);
}

CK_OBJECT_HANDLE find_one(CK_FUNCTION_LIST_PTR f, CK_SESSION_HANDLE s, CK_ATTRIBUTE* tpl, CK_ULONG n) {
  CK_OBJECT_HANDLE h = CK_INVALID_HANDLE;
  CK_ULONG count = 0;
  if (f->C_FindObjectsInit(s, tpl, n) != CKR_OK) return CK_INVALID_HANDLE;
  f->C_FindObjects(s, &h, 1, &count);
  f->C_FindObjectsFinal(s);
  return count == 1 ? h : CK_INVALID_HANDLE;
}

TEST(Pkcs11Windows, SignAndVerifyWithTheCard) {
  P11Module m;
  ASSERT_TRUE(m.load());
  CK_FUNCTION_LIST_PTR f = m.f;
  ASSERT_EQ(f->C_Initialize(nullptr), CKR_OK);

  CK_ULONG n = 0;
  ASSERT_EQ(f->C_GetSlotList(CK_TRUE, nullptr, &n), CKR_OK);
  ASSERT_EQ(n, 1u);
  CK_SLOT_ID slot = 99;
  ASSERT_EQ(f->C_GetSlotList(CK_TRUE, &slot, &n), CKR_OK);
  EXPECT_EQ(slot, 0u);

  CK_TOKEN_INFO ti;
  ASSERT_EQ(f->C_GetTokenInfo(slot, &ti), CKR_OK);
  EXPECT_EQ(p11_text(ti.label, 14), "VORN demo card");
  EXPECT_EQ(ti.flags & (CKF_TOKEN_INITIALIZED | CKF_USER_PIN_INITIALIZED),
            static_cast<CK_FLAGS>(CKF_TOKEN_INITIALIZED | CKF_USER_PIN_INITIALIZED));
  for (int i = 0; i < 16; ++i) {
    char c = static_cast<char>(ti.serialNumber[i]);
    EXPECT_TRUE((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F')) << "serial byte " << i;
  }
  EXPECT_EQ(ti.ulMaxPinLen, 8u);
  EXPECT_EQ(ti.ulMinPinLen, 4u);

  CK_SESSION_HANDLE s = 0;
  ASSERT_EQ(f->C_OpenSession(slot, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &s), CKR_OK);
  CK_UTF8CHAR pin[] = {'1', '2', '3', '4'};
  ASSERT_EQ(f->C_Login(s, CKU_USER, pin, sizeof pin), CKR_OK);

  CK_OBJECT_CLASS priv_class = CKO_PRIVATE_KEY;
  CK_KEY_TYPE rsa = CKK_RSA;
  CK_BBOOL yes = CK_TRUE;
  CK_ATTRIBUTE find_priv[] = {{CKA_CLASS, &priv_class, sizeof priv_class},
                              {CKA_KEY_TYPE, &rsa, sizeof rsa},
                              {CKA_SIGN, &yes, sizeof yes}};
  CK_OBJECT_HANDLE key = CK_INVALID_HANDLE;
  CK_ULONG found = 0;
  ASSERT_EQ(f->C_FindObjectsInit(s, find_priv, 3), CKR_OK);
  ASSERT_EQ(f->C_FindObjects(s, &key, 1, &found), CKR_OK);
  ASSERT_EQ(f->C_FindObjectsFinal(s), CKR_OK);
  ASSERT_EQ(found, 1u);

  unsigned char id[64];
  CK_ATTRIBUTE id_attr = {CKA_ID, id, sizeof id};
  ASSERT_EQ(f->C_GetAttributeValue(s, key, &id_attr, 1), CKR_OK);
  ASSERT_GT(id_attr.ulValueLen, 0u);
  CK_OBJECT_CLASS pub_class = CKO_PUBLIC_KEY;
  CK_ATTRIBUTE find_pub[] = {{CKA_CLASS, &pub_class, sizeof pub_class}, {CKA_ID, id, id_attr.ulValueLen}};
  CK_OBJECT_HANDLE pub = find_one(f, s, find_pub, 2);
  ASSERT_NE(pub, CK_INVALID_HANDLE);
  unsigned char modulus[512];
  CK_ATTRIBUTE mod_attr = {CKA_MODULUS, modulus, sizeof modulus};
  ASSERT_EQ(f->C_GetAttributeValue(s, pub, &mod_attr, 1), CKR_OK);
  const CK_ULONG k = mod_attr.ulValueLen;
  ASSERT_EQ(k, 256u);  // the demo keys are RSA-2048

  // A SHA-1 DigestInfo, signed with PKCS#1 v1.5 padding by the card.
  unsigned char data[35] = {0x30, 0x21, 0x30, 0x09, 0x06, 0x05, 0x2B, 0x0E, 0x03, 0x02, 0x1A, 0x05, 0x00, 0x04, 0x14};
  for (int i = 15; i < 35; ++i) data[i] = static_cast<unsigned char>(i * 7);
  CK_MECHANISM mech = {CKM_RSA_PKCS, nullptr, 0};
  ASSERT_EQ(f->C_SignInit(s, &mech, key), CKR_OK);
  CK_ULONG sig_len = 0;
  ASSERT_EQ(f->C_Sign(s, data, sizeof data, nullptr, &sig_len), CKR_OK);
  ASSERT_EQ(sig_len, k);
  std::vector<unsigned char> sig(sig_len);
  ASSERT_EQ(f->C_Sign(s, data, sizeof data, sig.data(), &sig_len), CKR_OK);
  ASSERT_EQ(sig_len, k);

  ASSERT_EQ(f->C_VerifyInit(s, &mech, pub), CKR_OK);
  EXPECT_EQ(f->C_Verify(s, data, sizeof data, sig.data(), sig_len), CKR_OK);
  sig[100] ^= 0x01;
  ASSERT_EQ(f->C_VerifyInit(s, &mech, pub), CKR_OK);
  EXPECT_EQ(f->C_Verify(s, data, sizeof data, sig.data(), sig_len), CKR_SIGNATURE_INVALID);

  // RSA-PSS over a SHA-256 digest: CK_RSA_PKCS_PSS_PARAMS as a Windows
  // caller lays it out, three packed 32-bit words (hashAlg, mgf, sLen).
  const unsigned char pss[12] = {0x50, 0x02, 0, 0, 0x02, 0, 0, 0, 32, 0, 0, 0};
  CK_MECHANISM pss_mech = {CKM_RSA_PKCS_PSS, const_cast<unsigned char*>(pss), sizeof pss};
  const unsigned char* digest = data + 3;  // any 32 bytes
  ASSERT_EQ(f->C_SignInit(s, &pss_mech, key), CKR_OK);
  sig_len = k;
  ASSERT_EQ(f->C_Sign(s, const_cast<unsigned char*>(digest), 32, sig.data(), &sig_len), CKR_OK);
  ASSERT_EQ(sig_len, k);
  ASSERT_EQ(f->C_VerifyInit(s, &pss_mech, pub), CKR_OK);
  EXPECT_EQ(f->C_Verify(s, const_cast<unsigned char*>(digest), 32, sig.data(), sig_len), CKR_OK);
  // The 64-bit Linux layout (24 bytes) is not this platform's structure.
  unsigned char wide[24] = {0x50, 0x02, 0, 0, 0, 0, 0, 0, 0x02, 0, 0, 0, 0, 0, 0, 0, 32};
  CK_MECHANISM wide_mech = {CKM_RSA_PKCS_PSS, wide, sizeof wide};
  EXPECT_EQ(f->C_SignInit(s, &wide_mech, key), CKR_MECHANISM_PARAM_INVALID);

  EXPECT_EQ(f->C_Logout(s), CKR_OK);
  EXPECT_EQ(f->C_CloseSession(s), CKR_OK);
  EXPECT_EQ(f->C_Finalize(nullptr), CKR_OK);
  EXPECT_EQ(f->C_Finalize(nullptr), CKR_CRYPTOKI_NOT_INITIALIZED);
}

}  // namespace
