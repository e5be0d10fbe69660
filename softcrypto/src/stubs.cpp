// Placeholder bodies; every entry refuses until its algorithm lands.
#include "vorn/secure.h"
#include "softcrypto.h"

vorn_rv sc_random_init(sc_random*) { return CARDERR_BAD_ALGORITHM; }
vorn_rv sc_random_update(sc_random*, const std::uint8_t*, std::uint32_t) { return CARDERR_BAD_ALGORITHM; }
vorn_rv sc_random_bytes_needed(const sc_random*, std::uint32_t*) { return CARDERR_BAD_ALGORITHM; }
vorn_rv sc_random_generate(sc_random*, std::uint8_t*, std::uint32_t) { return RSAERR_NEED_RANDOM; }
vorn_rv sc_random_create(sc_random*) { return CARDERR_BAD_ALGORITHM; }
void sc_random_final(sc_random* rnd) { plat_wipe(rnd, sizeof *rnd); }
std::uint32_t sc_mix(std::int32_t) { return 0; }
vorn_rv sc_rsa_public_block(std::uint8_t*, std::uint32_t*, const std::uint8_t*, std::uint32_t, const sc_rsa_public_key*) { return RSAERR_MODULUS_LEN; }
vorn_rv sc_rsa_private_block(std::uint8_t*, std::uint32_t*, const std::uint8_t*, std::uint32_t, const sc_rsa_private_key*) { return RSAERR_MODULUS_LEN; }
vorn_rv sc_rsa_public_encrypt(std::uint8_t*, std::uint32_t*, const std::uint8_t*, std::uint32_t, const sc_rsa_public_key*, sc_random*) { return RSAERR_MODULUS_LEN; }
vorn_rv sc_rsa_public_decrypt(std::uint8_t*, std::uint32_t*, const std::uint8_t*, std::uint32_t, const sc_rsa_public_key*) { return RSAERR_MODULUS_LEN; }
vorn_rv sc_rsa_private_encrypt(std::uint8_t*, std::uint32_t*, const std::uint8_t*, std::uint32_t, const sc_rsa_private_key*) { return RSAERR_MODULUS_LEN; }
vorn_rv sc_rsa_private_decrypt(std::uint8_t*, std::uint32_t*, const std::uint8_t*, std::uint32_t, const sc_rsa_private_key*) { return RSAERR_MODULUS_LEN; }
vorn_rv sc_rsa_check_signature(const std::uint8_t*, std::uint32_t, const std::uint8_t*, std::uint32_t, const sc_rsa_public_key*) { return RSAERR_MODULUS_LEN; }
vorn_rv sc_rsa_generate_keypair(std::uint32_t, bool, sc_rsa_public_key*, sc_rsa_private_key*) { return RSAERR_MODULUS_LEN; }
vorn_rv sc_generate_key(std::uint8_t, std::uint8_t*, std::uint32_t) { return CARDERR_BAD_ALGORITHM; }
