// The platform's key blobs: layouts and the checks of incoming ones.
#include "blobfmt.h"

#include <cstring>

namespace csp {

void blob_header_write(std::uint8_t* out, std::uint8_t type, std::uint32_t alg) {
  out[0] = type;
  out[1] = kBlobVersion;
  out[2] = out[3] = 0;
  put_le32(out + 4, alg);
}

vorn_rv blob_header_read(std::span<const std::uint8_t> blob, BlobHeader* h) {
  if (blob.size() < kBlobHeaderLen) return kNteBadBlobLen;
  h->type = blob[0];
  h->version = blob[1];
  h->reserved = static_cast<std::uint16_t>(blob[2] | blob[3] << 8);
  h->alg = le32(blob.data() + 4);
  if (h->version != kBlobVersion) return kNteBadVer;
  if (h->reserved != 0) return kNteBadBlobData;
  return 0;
}

std::uint32_t blob_public_len(std::uint32_t modulus_len) { return kBlobHeaderLen + kRsaPubKeyLen + modulus_len; }

void blob_public_write(std::uint8_t* out, std::uint32_t alg, std::span<const std::uint8_t> modulus_be,
                       std::uint32_t exponent) {
  const auto m = static_cast<std::uint32_t>(modulus_be.size());
  blob_header_write(out, kBlobPublic, alg);
  put_le32(out + 8, kMagicRsa1);
  put_le32(out + 12, m * 8);
  put_le32(out + 16, exponent);
  copy_reversed(out + 20, modulus_be.data(), m);
}

vorn_rv blob_public_read(std::span<const std::uint8_t> blob, PublicBlob* out) {
  if (blob.size() < kBlobHeaderLen + kRsaPubKeyLen) return kNteBadBlobLen;
  const std::uint8_t* p = blob.data() + kBlobHeaderLen;
  if (le32(p) != kMagicRsa1) return kNteBadBlobData;
  const std::uint32_t bits = le32(p + 4);
  if (bits != 1024 && bits != 2048) return kNteBadBlobLen;
  if (blob.size() < blob_public_len(bits / 8)) return kNteBadBlobLen;
  out->alg = le32(blob.data() + 4);
  out->bits = bits;
  out->exponent = le32(p + 8);
  copy_reversed(out->modulus, p + kRsaPubKeyLen, bits / 8);
  return 0;
}

vorn_rv blob_private_read(std::span<const std::uint8_t> data, PrivateBlob* out) {
  if (data.size() < kRsaPubKeyLen) return kNteBadBlobLen;
  const std::uint8_t* p = data.data();
  if (le32(p) != kMagicRsa2) return kNteBadBlobData;
  const std::uint32_t bits = le32(p + 4);
  if (bits != 1024 && bits != 2048) return kNteBadBlobLen;
  if (le32(p + 8) != 65537) return kNteBadBlobData;
  const std::uint32_t m = bits / 8, h = m / 2;
  // modulus, then the five CRT values; the private exponent after them is
  // not needed (the card works with the CRT values).
  if (data.size() < kRsaPubKeyLen + m + 5 * h) return kNteBadBlobLen;
  out->bits = bits;
  p += kRsaPubKeyLen;
  copy_reversed(out->modulus, p, m);
  p += m;
  for (std::uint32_t i = 0; i < 5; ++i) copy_reversed(out->crt.data() + i * h, p + i * h, h);
  return 0;
}

void blob_plain_write(std::uint8_t* out, std::uint32_t alg, std::span<const std::uint8_t> key) {
  blob_header_write(out, kBlobPlain, alg);
  put_le32(out + 8, static_cast<std::uint32_t>(key.size()));
  std::memcpy(out + 12, key.data(), key.size());
}

vorn_rv blob_plain_read(std::span<const std::uint8_t> blob, std::span<const std::uint8_t>* key) {
  if (blob.size() < kBlobHeaderLen + 4) return kNteBadBlobLen;
  const std::uint32_t n = le32(blob.data() + kBlobHeaderLen);
  if (n > blob.size() - kBlobHeaderLen - 4) return kNteBadBlobLen;
  *key = blob.subspan(kBlobHeaderLen + 4, n);
  return 0;
}

}  // namespace csp
