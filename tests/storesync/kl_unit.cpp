// Kestrelink's parts in-process under Wine (run by kl_stack.sh unit, with a
// 21-certificate card in reader 1 and reader 0 empty): the removal from
// "MY", the start block and the registration of a new monitor thread, the
// certificate read limit.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "kestrelink.h"

namespace {

// A fresh self-signed certificate (Wine's own provider makes its key).
std::vector<BYTE> new_cert(const std::string& cn) {
  const std::string x500 = "CN=" + cn;
  BYTE name[256];
  DWORD name_len = sizeof name;
  EXPECT_TRUE(CertStrToNameA(X509_ASN_ENCODING, x500.c_str(), CERT_X500_NAME_STR, nullptr, name, &name_len, nullptr));
  CERT_NAME_BLOB blob{name_len, name};
  PCCERT_CONTEXT c = CertCreateSelfSignCertificate(0, &blob, 0, nullptr, nullptr, nullptr, nullptr, nullptr);
  EXPECT_NE(c, nullptr) << GetLastError();
  if (c == nullptr) return {};
  std::vector<BYTE> der(c->pbCertEncoded, c->pbCertEncoded + c->cbCertEncoded);
  CertFreeCertificateContext(c);
  return der;
}

// Adds der to "MY", with key-provider information when container is given.
void add_my(const std::vector<BYTE>& der, const wchar_t* container, const wchar_t* provider = KL_PROVIDER) {
  HCERTSTORE s = KestrelinkOpenStore("MY");
  ASSERT_NE(s, nullptr);
  PCCERT_CONTEXT c = nullptr;
  ASSERT_TRUE(CertAddEncodedCertificateToStore(s, X509_ASN_ENCODING, der.data(), static_cast<DWORD>(der.size()),
                                               CERT_STORE_ADD_REPLACE_EXISTING, &c));
  if (container != nullptr) {
    CRYPT_KEY_PROV_INFO info{};
    info.pwszContainerName = const_cast<wchar_t*>(container);
    info.pwszProvName = const_cast<wchar_t*>(provider);
    info.dwProvType = PROV_RSA_FULL;
    info.dwKeySpec = AT_SIGNATURE;
    ASSERT_TRUE(CertSetCertificateContextProperty(c, CERT_KEY_PROV_INFO_PROP_ID, 0, &info));
  }
  CertFreeCertificateContext(c);
  CertCloseStore(s, 0);
}

// The encodings "MY" holds, in the order a walk meets them.
std::vector<std::vector<BYTE>> my_walk() {
  std::vector<std::vector<BYTE>> out;
  HCERTSTORE s = KestrelinkOpenStore("MY");
  for (PCCERT_CONTEXT c = CertEnumCertificatesInStore(s, nullptr); c != nullptr; c = CertEnumCertificatesInStore(s, c))
    out.emplace_back(c->pbCertEncoded, c->pbCertEncoded + c->cbCertEncoded);
  CertCloseStore(s, 0);
  return out;
}

void empty_my() {
  HCERTSTORE s = KestrelinkOpenStore("MY");
  for (;;) {
    PCCERT_CONTEXT c = CertEnumCertificatesInStore(s, nullptr);
    if (c == nullptr) break;
    CertDeleteCertificateFromStore(c);
    CertControlStore(s, 0, CERT_STORE_CTRL_COMMIT, nullptr);
    break;  // one at a time: a walk restarted after a deletion never ends in Wine
  }
  CertCloseStore(s, 0);
}

TEST(RemoveFromMy, GoesOnPastUnreadableInformationAndDeletesEveryMatch) {
  // The removal walk meets, before the leaving card's certificates, one
  // whose key-provider information cannot be read (there is none); it must
  // skip that one and still delete both of reader A's.
  const std::vector<BYTE> a1 = new_cert("Card A signature"), a2 = new_cert("Card A exchange");
  const std::vector<BYTE> b1 = new_cert("Card B signature");
  add_my(a1, L"\\\\.\\Reader A\\11111111-2222-3333-4444-555555555555");
  add_my(a2, L"\\\\.\\Reader A\\66666666-7777-8888-9999-000000000000");
  add_my(b1, L"\\\\.\\Reader B\\11111111-2222-3333-4444-555555555555");
  std::vector<BYTE> plain;
  for (int tries = 0; tries < 40; ++tries) {  // until the plain one is walked first
    plain = new_cert("No key information " + std::to_string(tries));
    add_my(plain, nullptr);
    if (my_walk().front() == plain) break;
    HCERTSTORE s = KestrelinkOpenStore("MY");
    PCCERT_CONTEXT probe =
        CertCreateCertificateContext(X509_ASN_ENCODING, plain.data(), static_cast<DWORD>(plain.size()));
    PCCERT_CONTEXT c = CertFindCertificateInStore(s, X509_ASN_ENCODING, 0, CERT_FIND_EXISTING, probe, nullptr);
    CertFreeCertificateContext(probe);
    ASSERT_NE(c, nullptr);
    CertDeleteCertificateFromStore(c);
    CertCloseStore(s, 0);
  }
  ASSERT_EQ(my_walk().front(), plain) << "no certificate without key information came first";
  ASSERT_EQ(my_walk().size(), 4u);

  EXPECT_EQ(RemoveAddedCertificates("Reader A", "MY", nullptr), 0u);
  const auto left = my_walk();
  ASSERT_EQ(left.size(), 2u);
  EXPECT_TRUE((left[0] == plain && left[1] == b1) || (left[0] == b1 && left[1] == plain));
  // At program start (no reader) nothing is taken from "MY".
  EXPECT_EQ(RemoveAddedCertificates(nullptr, "MY", nullptr), 0u);
  EXPECT_EQ(my_walk().size(), 2u);
  // Reader B's goes with its reader; the provider name must begin "VO".
  add_my(a1, L"\\\\.\\Reader B\\x", L"OTHER_CSP");
  EXPECT_EQ(RemoveAddedCertificates("Reader B", "MY", nullptr), 0u);
  const auto last = my_walk();
  ASSERT_EQ(last.size(), 2u);
  EXPECT_TRUE(last[0] == a1 || last[1] == a1);
  while (!my_walk().empty()) empty_my();
}

// The frame without its window, for the thread tests (reader 0 is empty).
struct Frame : ::testing::Test {
  CMainFrame f;
  std::string reader = std::getenv("VORNENV_READER_0") ? std::getenv("VORNENV_READER_0") : "";
  SCARD_READERSTATEA located() {
    SCARD_READERSTATEA rs{};
    rs.szReader = reader.c_str();
    rs.dwEventState = SCARD_STATE_EMPTY;
    return rs;
  }
  void TearDown() override {
    g_kestrelink_thread_start_hook = nullptr;
    StopReaderThreads(&f);
  }
};

TEST_F(Frame, TheNewThreadOwnsItsStartBlock) {
  // While another thread holds the synchroniser lock (a card being read) for
  // far longer than any fixed pause, the start block must stay alive until
  // the new thread has copied it, and then be freed by that thread.
  ASSERT_FALSE(reader.empty());
  EnterCriticalSection(&f.sync_lock_);
  ASSERT_EQ(StartReaderThread(&f, located(), 0), SCARD_S_SUCCESS);
  Sleep(400);
  EXPECT_EQ(g_kestrelink_live_start_blocks.load(), 1);
  EXPECT_STREQ(f.slots_[0].name, reader.c_str());
  LeaveCriticalSection(&f.sync_lock_);
  for (int i = 0; i < 600 && g_kestrelink_live_start_blocks.load() != 0; ++i) Sleep(50);
  EXPECT_EQ(g_kestrelink_live_start_blocks.load(), 0);
  // The thread runs: it registers its own context for the cancel at exit.
  for (int i = 0; i < 600 && f.cancel_ctx_[0] == 0; ++i) Sleep(50);
  EXPECT_NE(f.cancel_ctx_[0], 0u);
}

DWORD WINAPI busy_monitor(LPVOID stop) {
  while (WaitForSingleObject(static_cast<HANDLE>(stop), 10) == WAIT_TIMEOUT) {
  }
  return 0;
}

TEST_F(Frame, RegisteringAThreadSuspendsNoOther) {
  // A monitor thread already in slot 0 keeps running while the thread of a
  // new reader is registered (a suspended thread may hold a lock).
  ASSERT_FALSE(reader.empty());
  HANDLE stop = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  HANDLE other = CreateThread(nullptr, 0, busy_monitor, stop, 0, nullptr);
  lstrcpynA(f.slots_[0].name, "a reader watched before", KL_NAME_LEN);
  f.slots_[0].thread = other;
  std::atomic<int> seen_suspend_count{-1};
  g_kestrelink_thread_start_hook = [&] {
    DWORD prev = SuspendThread(other);
    ResumeThread(other);
    seen_suspend_count = static_cast<int>(prev);
  };
  EnterCriticalSection(&f.sync_lock_);
  ASSERT_EQ(StartReaderThread(&f, located(), 0), SCARD_S_SUCCESS);
  EXPECT_STREQ(f.slots_[1].name, reader.c_str());
  LeaveCriticalSection(&f.sync_lock_);
  for (int i = 0; i < 600 && seen_suspend_count.load() < 0; ++i) Sleep(50);
  EXPECT_EQ(seen_suspend_count.load(), 0);
  SetEvent(stop);
  WaitForSingleObject(other, INFINITE);
  CloseHandle(stop);
}

TEST(ReadCard, TwentyOneCertificatesGiveNotEnoughMemoryAndLeaveTheTableEmpty) {
  const char* name = std::getenv("VORNENV_READER_1");
  ASSERT_NE(name, nullptr);
  SCARDCONTEXT ctx = 0;
  ASSERT_EQ(SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &ctx), SCARD_S_SUCCESS);
  SCARDHANDLE card = 0;
  ASSERT_EQ(card_connect(ctx, name, &card), VORN_OK);
  ASSERT_EQ(card_begin(card), VORN_OK);
  card_attach(card, 1);
  auto w = std::make_unique<Icono>();
  lstrcpynA(w->reader_, name, KL_NAME_LEN);
  EXPECT_TRUE(ReconcileContainerMap(*w, card, 1));
  EXPECT_EQ(w->object_count_, 21u);
  EXPECT_EQ(ReadCardCertificates(*w, card, 1), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
  for (const CertRead& e : w->read_) EXPECT_TRUE(e.content.empty());
  EXPECT_EQ(ImportCertificates(*w), 0u);  // nothing left to import
  sm_channel_reset(card, 1);
  card_detach(card, 1);
  card_end(card);
  SCardDisconnect(card, SCARD_LEAVE_CARD);
  SCardReleaseContext(ctx);
}

}  // namespace
