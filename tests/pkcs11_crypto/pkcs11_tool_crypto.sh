#!/bin/bash
# pkcs11-tool against a fresh demo card: digests, random numbers, secret-key
# and key-pair generation, encryption and decryption (card keys and keys it
# generated), each compared with openssl. Run under tools/with-vornenv
# --demo-card.
set -euo pipefail
M="$1"
W=$(mktemp -d)
trap 'rm -rf "$W"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
# Under the sanitizers the test passes their runtimes in VORN_P11_PRELOAD.
t() {
  if [ -n "${VORN_P11_PRELOAD:-}" ]; then
    LD_PRELOAD="$VORN_P11_PRELOAD" ASAN_OPTIONS="${ASAN_OPTIONS:-}:detect_leaks=0" \
      pkcs11-tool --module "$M" "$@" 2>"$W/err"
  else
    pkcs11-tool --module "$M" "$@" 2>"$W/err"
  fi
}
tl() { t -l --pin 1234 "$@"; }

head -c 1000 /dev/urandom >"$W/data"

# Digests equal openssl's.
for m in MD5:md5 SHA-1:sha1 SHA256:sha256; do
  t --hash -m "${m%%:*}" -i "$W/data" -o "$W/h" >/dev/null || fail "hash ${m%%:*}: $(cat "$W/err")"
  cmp -s "$W/h" <(openssl dgst "-${m##*:}" -binary "$W/data") || fail "digest ${m%%:*}"
done

# Random numbers from the card, any length.
t --generate-random 600 -o "$W/r1" >/dev/null || fail "random: $(cat "$W/err")"
t --generate-random 600 -o "$W/r2" >/dev/null || fail "random"
[ "$(stat -c %s "$W/r1")" = 600 ] || fail "random length"
! cmp -s "$W/r1" "$W/r2" || fail "random repeats"

# A card AES key written with a known value: the card's results equal
# openssl's, single-part CBC with padding and ECB.
key=000102030405060708090a0b0c0d0e0f
iv=f0e0d0c0b0a090807060504030201000
printf '%s' "$key" | xxd -r -p >"$W/key"
tl --write-object "$W/key" --type secrkey --key-type AES:16 --id 31 --label "known aes" >/dev/null ||
  fail "write secret key: $(cat "$W/err")"
tl --encrypt -m AES-CBC-PAD --iv "$iv" --id 31 -i "$W/data" -o "$W/e" >/dev/null || fail "encrypt: $(cat "$W/err")"
openssl enc -aes-128-cbc -K "$key" -iv "$iv" -in "$W/data" -out "$W/e_ref"
cmp -s "$W/e" "$W/e_ref" || fail "AES-CBC-PAD differs from openssl"
tl --decrypt -m AES-CBC-PAD --iv "$iv" --id 31 -i "$W/e_ref" -o "$W/d" >/dev/null || fail "decrypt: $(cat "$W/err")"
cmp -s "$W/d" "$W/data" || fail "AES-CBC-PAD decryption"
head -c 64 "$W/data" >"$W/d64"
tl --encrypt -m AES-ECB --id 31 -i "$W/d64" -o "$W/e" >/dev/null || fail "encrypt ECB: $(cat "$W/err")"
openssl enc -aes-128-ecb -nopad -K "$key" -in "$W/d64" -out "$W/e_ref"
cmp -s "$W/e" "$W/e_ref" || fail "AES-ECB differs from openssl"

# A key the card generates: encryption and decryption on the card.
tl --keygen --key-type AES:16 --id 32 --label "card aes" >/dev/null || fail "keygen: $(cat "$W/err")"
tl --encrypt -m AES-CBC-PAD --iv "$iv" --id 32 -i "$W/data" -o "$W/e" >/dev/null || fail "encrypt generated"
tl --decrypt -m AES-CBC-PAD --iv "$iv" --id 32 -i "$W/e" -o "$W/d" >/dev/null || fail "decrypt generated"
cmp -s "$W/d" "$W/data" || fail "generated key round trip"
! cmp -s "$W/e" "$W/e_ref" || fail "generated key equals the known one"

# A key pair the card generates: openssl encrypts with its public key, the
# card decrypts (this pkcs11-tool encrypts with secret keys only).
tl --keypairgen --key-type rsa:1024 --id 33 --label "card pair" --usage-decrypt >/dev/null ||
  fail "keypairgen: $(cat "$W/err")"
t --read-object --type pubkey --id 33 -o "$W/pub.der" >/dev/null || fail "read public key"
openssl pkey -pubin -inform DER -in "$W/pub.der" -out "$W/pub.pem" 2>/dev/null || fail "public key DER"
head -c 100 "$W/data" >"$W/d100"
openssl pkeyutl -encrypt -pubin -inkey "$W/pub.pem" -pkeyopt rsa_padding_mode:pkcs1 -in "$W/d100" -out "$W/e"
tl --decrypt -m RSA-PKCS --id 33 -i "$W/e" -o "$W/d" >/dev/null || fail "RSA decrypt: $(cat "$W/err")"
cmp -s "$W/d" "$W/d100" || fail "RSA decryption of openssl's block"

# The demo card's decipherment key opens what openssl encrypted to its
# certificate.
out=$(t -O)
id=$(awk '/^Certificate Object/{c=1} c && /label:/ {l=$0} c && /ID:/ { if (l ~ /decipherment/) {print $2; exit} }' <<<"$out")
[ -n "$id" ] || fail "no decipherment key"
t --read-object --type cert --id "$id" -o "$W/cert.der" >/dev/null || fail "read certificate"
openssl pkeyutl -encrypt -certin -inkey <(openssl x509 -inform DER -in "$W/cert.der") \
  -pkeyopt rsa_padding_mode:pkcs1 -in "$W/d100" -out "$W/e" 2>/dev/null || fail "openssl encrypt to cert"
tl --decrypt -m RSA-PKCS --id "$id" -i "$W/e" -o "$W/d" >/dev/null || fail "demo key decrypt: $(cat "$W/err")"
cmp -s "$W/d" "$W/d100" || fail "demo key decryption"
echo "pkcs11-tool crypto: all passed"
