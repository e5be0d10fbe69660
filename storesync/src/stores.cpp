// The card's certificates in the current user's system stores: the
// container map brought in line with the card, the certificates read, each
// one filed into "MY", "Root", "CA" or "AddressBook", and taken out again
// from "MY" and "AddressBook" when the card leaves.
#include <algorithm>
#include <cstring>
#include <new>
#include <string>

#include "kestrelink.h"

namespace {

constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

std::wstring widen(const char* s) {
  std::wstring w;
  for (; s != nullptr && *s != 0; ++s) w.push_back(static_cast<wchar_t>(static_cast<unsigned char>(*s)));
  return w;
}

std::string narrow(const wchar_t* s, std::size_t max_chars) {
  std::string n;
  for (std::size_t i = 0; i < max_chars && s[i] != 0; ++i) n.push_back(static_cast<char>(s[i] & 0xFF));
  return n;
}

DWORD last_error() {
  DWORD e = GetLastError();
  return e != 0 ? e : static_cast<DWORD>(E_FAIL);
}

}  // namespace

SyncContainers& KestrelinkContainers() {
  static SyncContainers records;
  return records;
}

HCERTSTORE KestrelinkOpenStore(const char* name) {
  const std::wstring w = widen(name);
  return CertOpenStore(CERT_STORE_PROV_SYSTEM_REGISTRY_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, w.c_str());
}

bool ReconcileContainerMap(Icono& w, SCARDHANDLE card, std::uint32_t reader_index) {
  w.objects_.fill(0);
  w.object_count_ = 0;
  SyncContainers& records = KestrelinkContainers();
  records.clear_all();
  w.cells_.clear();
  const CmapSlot slot{reader_index, card, w.reader_, &w.cells_};
  (void)cmap_load(records, slot, false, nullptr);  // a card without a map yet is fine
  DWORD count = CMAP_MAX_OBJECTS;
  if (obj_list(reader_index, card, w.objects_.data(), &count) != VORN_OK) return false;
  w.object_count_ = count;
  return cmap_adopt(records, slot, w.objects_.data(), count, true) == VORN_OK;
}

DWORD ReadCardCertificates(Icono& w, SCARDHANDLE card, std::uint32_t reader_index) {
  for (auto& e : w.read_) e = CertRead{};
  DWORD rv = 0;
  for (DWORD i = 0; i < w.object_count_ && rv == 0; ++i) {
    const std::uint32_t id = w.objects_[i];
    if (cmap_kind(id) != CMAP_KIND_CERT) continue;
    auto free_entry = std::find_if(w.read_.begin(), w.read_.end(), [](const CertRead& e) { return e.content.empty(); });
    if (free_entry == w.read_.end()) {
      rv = ERROR_NOT_ENOUGH_MEMORY;
      break;
    }
    DWORD len = 0;
    rv = obj_read_value(reader_index, card, id, 0, nullptr, &len);
    if (rv != 0) break;
    if (len == 0) {
      rv = static_cast<DWORD>(CARDERR_BAD_LENGTH);
      break;
    }
    std::vector<std::uint8_t> buf(len);
    rv = obj_read_value(reader_index, card, id, 0, buf.data(), &len);
    if (rv != 0) break;
    buf.resize(len);
    free_entry->content = std::move(buf);
    free_entry->id = id;
  }
  if (rv != 0) {
    for (auto& e : w.read_) e = CertRead{};
  }
  return rv;
}

DWORD ImportCertificates(Icono& w) {
  DWORD rv = 0;
  for (auto& cert : w.read_) {
    if (cert.content.empty()) break;
    auto entry = std::find_if(w.imported_.begin(), w.imported_.end(), [](const ImportedCert& e) { return e.fp_len == 0; });
    if (entry == w.imported_.end()) {
      rv = ERROR_NOT_ENOUGH_MEMORY;
      break;
    }
    if (entry->holder != nullptr) {
      CertFreeCertificateContext(entry->holder);
      entry->holder = nullptr;
    }
    bool went_to_root = false;
    rv = ChooseStore(cert.content.data(), static_cast<DWORD>(cert.content.size()), cert.id, &went_to_root,
                     w.reader_, &entry->holder, w.cells_);
    if (rv != 0) break;
    if (went_to_root || entry->holder == nullptr) continue;
    DWORD size = 0;
    if (!CertGetCertificateContextProperty(entry->holder, CERT_SHA1_HASH_PROP_ID, nullptr, &size) || size == 0) {
      continue;  // no fingerprint stored
    }
    entry->fp.assign(size, 0);
    if (!CertGetCertificateContextProperty(entry->holder, CERT_SHA1_HASH_PROP_ID, entry->fp.data(), &size)) {
      rv = last_error();
      entry->fp.clear();
      break;
    }
    entry->fp.resize(size);
    entry->fp_len = size;
  }
  for (auto& e : w.read_) e = CertRead{};
  w.cells_.clear();
  return rv;
}

DWORD ChooseStore(const std::uint8_t* cert, DWORD len, std::uint32_t id, bool* went_to_root,
                  const char* reader, PCCERT_CONTEXT* holder, const CmapCache& cells) {
  *went_to_root = false;
  const char* store = nullptr;
  std::string container;
  for (const CmapCell& cell : cells.cells) {
    if (cell.entry.empty()) continue;
    CmapEntry e;
    if (cmap_entry_decode(cell.entry, &e) != VORN_OK) continue;
    if (id == e.sig_cert || id == e.exch_cert) {
      store = "MY";
      container.assign(reinterpret_cast<const char*>(e.name), e.name_len);
      container = container.c_str();  // up to its NUL
      break;
    }
  }
  if (store == nullptr) {
    HCERTSTORE mem = CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr);
    if (mem == nullptr) return last_error();
    PCCERT_CONTEXT ctx = nullptr;
    if (!CertAddEncodedCertificateToStore(mem, X509_ASN_ENCODING, cert, len, CERT_STORE_ADD_ALWAYS, &ctx)) {
      DWORD e = last_error();
      CertCloseStore(mem, 0);
      return e;
    }
    BYTE usage = 0;
    const bool has_usage = CertGetIntendedKeyUsage(kEncoding, ctx->pCertInfo, &usage, 1) != FALSE;
    if (has_usage && (usage & CERT_KEY_CERT_SIGN_KEY_USAGE) != 0) {
      DWORD flags = CERT_STORE_SIGNATURE_FLAG;
      if (!CertVerifySubjectCertificateContext(ctx, ctx, &flags)) {
        DWORD e = last_error();
        CertFreeCertificateContext(ctx);
        CertCloseStore(mem, 0);
        return e;
      }
      if (flags == 0) {
        store = "Root";
        *went_to_root = true;
      } else {
        store = "CA";
      }
    } else {
      store = "AddressBook";
    }
    CertFreeCertificateContext(ctx);
    CertCloseStore(mem, 0);
  }
  const bool is_signature = cmap_side(id) == 0xF;
  return AddToStore(cert, len, id, store, is_signature, reader, container.c_str(), holder);
}

DWORD AddToStore(const std::uint8_t* cert, DWORD len, std::uint32_t, const char* store, bool is_signature,
                 const char* reader, const char* container, PCCERT_CONTEXT* holder) {
  HCERTSTORE s = KestrelinkOpenStore(store);
  if (s == nullptr) return last_error();
  const std::string name = store;
  PCCERT_CONTEXT added = nullptr;
  if (name == "Root") {
    if (!CertAddEncodedCertificateToStore(s, X509_ASN_ENCODING, cert, len, CERT_STORE_ADD_USE_EXISTING, &added)) {
      DWORD e = last_error();
      CertCloseStore(s, 0);
      return e == ERROR_CANCELLED ? 0 : e;  // the user declined the root certificate
    }
  } else if (!CertAddEncodedCertificateToStore(s, X509_ASN_ENCODING, cert, len, CERT_STORE_ADD_REPLACE_EXISTING,
                                               &added)) {
    DWORD e = last_error();
    CertCloseStore(s, 0);
    return e;
  }
  *holder = added;
  DWORD rv = 0;
  if (name == "AddressBook") {
    wchar_t fname[KL_FRIENDLY_MAX / sizeof(wchar_t) + 64] = {};
    DWORD size = KL_FRIENDLY_MAX;
    std::wstring text;
    if (CertGetCertificateContextProperty(added, CERT_FRIENDLY_NAME_PROP_ID, fname, &size)) {
      text.assign(fname, wcsnlen(fname, size / sizeof(wchar_t)));
    } else if (GetLastError() != static_cast<DWORD>(CRYPT_E_NOT_FOUND)) {
      rv = last_error();
      CertCloseStore(s, 0);
      return rv;
    }
    text += widen(KL_MARKER) + widen(reader);
    CRYPT_DATA_BLOB blob{static_cast<DWORD>(text.size() * sizeof(wchar_t)),
                         reinterpret_cast<BYTE*>(text.data())};
    (void)CertSetCertificateContextProperty(added, CERT_FRIENDLY_NAME_PROP_ID, 0, &blob);
  } else if (name == "MY") {
    std::wstring cont = widen(KL_CONTAINER_PREFIX) + widen(reader) + L"\\" + widen(container);
    std::wstring prov = KL_PROVIDER;
    CRYPT_KEY_PROV_INFO info{};
    info.pwszContainerName = cont.data();
    info.pwszProvName = prov.data();
    info.dwProvType = PROV_RSA_FULL;
    info.dwFlags = 0;
    info.cProvParam = 0;
    info.rgProvParam = nullptr;
    info.dwKeySpec = is_signature ? AT_SIGNATURE : AT_KEYEXCHANGE;
    if (!CertSetCertificateContextProperty(added, CERT_KEY_PROV_INFO_PROP_ID, 1, &info)) rv = last_error();
  }
  CertCloseStore(s, 0);
  return rv;
}

namespace {

// Whether a certificate of "MY" is one the leaving card put there.
bool my_entry_to_delete(PCCERT_CONTEXT c, const char* reader, ImportedTable* imported) {
  std::vector<BYTE> buf(28);
  DWORD size = static_cast<DWORD>(buf.size());
  if (!CertGetCertificateContextProperty(c, CERT_KEY_PROV_INFO_PROP_ID, buf.data(), &size)) {
    if (GetLastError() != ERROR_MORE_DATA) return false;  // unreadable: skip this one only
    buf.assign(size, 0);
    if (!CertGetCertificateContextProperty(c, CERT_KEY_PROV_INFO_PROP_ID, buf.data(), &size)) return false;
  }
  const auto* info = reinterpret_cast<const CRYPT_KEY_PROV_INFO*>(buf.data());
  if (info->pwszProvName == nullptr || reader == nullptr || info->pwszContainerName == nullptr) return false;
  const std::string cont = narrow(info->pwszContainerName, 4096);
  const std::string prefix = KL_CONTAINER_PREFIX;
  if (cont.compare(0, prefix.size(), prefix) == 0) {
    const std::string rest = cont.substr(prefix.size());
    const std::size_t end = rest.find('\\');
    const std::string part = end == std::string::npos || end >= 252 ? std::string() : rest.substr(0, end);
    if (part != reader) return false;
    if (std::memcmp(info->pwszProvName, KL_PROVIDER, 2 * sizeof(wchar_t)) == 0) return true;
  }
  if (imported == nullptr) return false;
  BYTE hash[64];
  DWORD hlen = sizeof hash;
  if (!CertGetCertificateContextProperty(c, CERT_SHA1_HASH_PROP_ID, hash, &hlen)) return false;
  for (ImportedCert& e : *imported) {
    if (e.holder == nullptr || e.fp_len == 0 || e.fp_len != hlen) continue;
    if (std::memcmp(e.fp.data(), hash, hlen) != 0) continue;
    e.fp.clear();
    e.fp_len = 0;
    CertFreeCertificateContext(e.holder);
    e.holder = nullptr;
    return true;
  }
  return false;
}

bool addressbook_entry_to_delete(PCCERT_CONTEXT c, const char* reader) {
  wchar_t fname[KL_FRIENDLY_MAX / sizeof(wchar_t) + 1] = {};
  DWORD size = KL_FRIENDLY_MAX;
  if (!CertGetCertificateContextProperty(c, CERT_FRIENDLY_NAME_PROP_ID, fname, &size)) return false;
  const std::string text = narrow(fname, size / sizeof(wchar_t));
  const std::size_t at = text.find(KL_MARKER);
  if (at == std::string::npos) return false;
  if (reader == nullptr) return true;
  return text.substr(at + std::strlen(KL_MARKER)) == reader;
}

}  // namespace

DWORD RemoveAddedCertificates(const char* reader, const char* store, ImportedTable* imported) {
  HCERTSTORE s = KestrelinkOpenStore(store);
  if (s == nullptr) return last_error();
  const std::string name = store;
  // One walk to find what goes, then the deletions: Wine's crypt32 never
  // ends a walk that restarts from the first certificate after a deletion.
  std::vector<PCCERT_CONTEXT> doomed;
  for (PCCERT_CONTEXT c = CertEnumCertificatesInStore(s, nullptr); c != nullptr;
       c = CertEnumCertificatesInStore(s, c)) {
    bool del = false;
    if (name == "MY") del = my_entry_to_delete(c, reader, imported);
    else if (name == "AddressBook") del = addressbook_entry_to_delete(c, reader);
    if (del) doomed.push_back(CertDuplicateCertificateContext(c));
  }
  DWORD rv = 0;
  for (std::size_t i = 0; i < doomed.size(); ++i) {
    if (!CertDeleteCertificateFromStore(doomed[i])) {  // frees the context, also on failure
      rv = last_error();
      for (std::size_t j = i + 1; j < doomed.size(); ++j) CertFreeCertificateContext(doomed[j]);
      break;
    }
  }
  CertCloseStore(s, 0);
  return rv;
}
