#!/bin/bash
# TLS client authentication with the card's signature key, each client with
# its default settings, against `openssl s_server -Verify 1` on 127.0.0.1
# that trusts the card's certificate:
#   tls_client_auth.sh MODULE VERSION CLIENT
#   VERSION: 1.3 or 1.2; CLIENT: openssl (s_client with the libp11 engine),
#   curl (--engine pkcs11), gnutls (gnutls-cli, the module registered
#   through a private p11-kit configuration).
# Checks: the handshake completes, the server saw the card's certificate,
# and the card signed exactly once: one PSO COMPUTE DIGITAL SIGNATURE whose
# (chained) input is the modulus length, the PSS block the module encoded;
# every client picks RSA-PSS for TLS 1.2 too. Run under
# tools/with-vornenv --demo-card; prints the handshake time.
set -euo pipefail
# A sanitizer build of the module needs its runtime loaded first in the
# (uninstrumented) programs that load the module; only in those (awk and
# the server have faults of their own that it would report).
pre=()
if [ -n "${VORN_CLIENT_PRELOAD:-}" ]; then
  pre=(env LD_PRELOAD="$VORN_CLIENT_PRELOAD" ASAN_OPTIONS="detect_leaks=0:verify_asan_link_order=0")
  # Programs that load libp11-kit deadlock with the sanitizer runtime
  # preloaded, on glibc's locale lock in p11-kit's own constructor or
  # destructor (without the VORN module: `curl --version`, which loads it
  # through libldap and GnuTLS, hangs before main; gnutls-cli after the
  # handshake, in p11-kit's destructor). The native pass runs these two.
  if [ "$3" = curl ] || [ "$3" = gnutls ]; then
    echo "skipped: $3 (libp11-kit) deadlocks with the sanitizer runtime preloaded"
    exit 77
  fi
fi
M="$1" VER="$2" CLIENT="$3"
W=$(mktemp -d)
SRV_PID=
cleanup() {
  [ -n "$SRV_PID" ] && kill "$SRV_PID" 2>/dev/null && wait "$SRV_PID" 2>/dev/null
  rm -rf "$W"
}
trap cleanup EXIT
fail() {
  echo "FAIL ($CLIENT, TLS $VER): $*" >&2
  for f in server.log client.log; do [ -s "$W/$f" ] && { echo "--- $f" >&2; grep -v "^ \{4\}" "$W/$f" | tail -n 40 >&2; }; done
  exit 1
}
TRACE="$VORNENV_DIR/reader0.trace"

# The card's signature key and certificate.
id=$("${pre[@]}" pkcs11-tool --module "$M" -O --type cert 2>/dev/null |
     awk '/label:/ {l=$0} /ID:/ { if (l ~ /signature/) {print $2; exit} }')
[ -n "$id" ] || fail "no signature key id"
pct=$(sed 's/../%&/g' <<<"$id")
KEY="pkcs11:id=$pct;type=private;pin-value=1234"
"${pre[@]}" pkcs11-tool --module "$M" -r --type cert --id "$id" -o "$W/card.der" >/dev/null 2>&1 || fail "read certificate"
openssl x509 -inform DER -in "$W/card.der" -out "$W/card.pem"
k=$(( $(openssl x509 -in "$W/card.pem" -noout -text | sed -n 's/.*Public-Key: (\([0-9]*\) bit).*/\1/p') / 8 ))

# The server: a throw-away key and certificate for 127.0.0.1; the card's
# certificate is the one client certificate it trusts.
openssl req -x509 -newkey rsa:2048 -nodes -keyout "$W/srv.key" -out "$W/srv.pem" -days 1 \
  -subj /CN=127.0.0.1 -addext subjectAltName=IP:127.0.0.1 >/dev/null 2>&1
case $VER in 1.3) vflag=-tls1_3 ;; 1.2) vflag=-tls1_2 ;; *) fail "version $VER" ;; esac
# A free port from the kernel; another program may take it before the
# server binds it, so a server that does not start is tried again.
for _ in 1 2 3; do
  port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
  # -www answers the request with the session, and the client certificate it saw.
  timeout 120 openssl s_server -accept "127.0.0.1:$port" -cert "$W/srv.pem" -key "$W/srv.key" "$vflag" \
    -Verify 1 -verify_return_error -CAfile "$W/card.pem" -www -naccept 1 >"$W/server.log" 2>&1 &
  SRV_PID=$!
  for _ in $(seq 100); do
    grep -q '^ACCEPT' "$W/server.log" 2>/dev/null && break
    kill -0 "$SRV_PID" 2>/dev/null || break
    sleep 0.1
  done
  grep -q '^ACCEPT' "$W/server.log" && break
  kill "$SRV_PID" 2>/dev/null || true
  wait "$SRV_PID" 2>/dev/null || true
  SRV_PID=
done
[ -n "$SRV_PID" ] || fail "server did not start"

# The clients, with their defaults: no version, signature algorithm or
# priority options.
engine_conf() {
  local engine
  engine=$(find /usr/lib/*/engines-3 -name pkcs11.so 2>/dev/null | head -n1)
  [ -n "$engine" ] || fail "libp11 engine not installed"
  cat >"$W/openssl.cnf" <<CNF
openssl_conf = init
[init]
engines = engines
[engines]
pkcs11 = pkcs11
[pkcs11]
engine_id = pkcs11
dynamic_path = $engine
MODULE_PATH = $M
init = 0
CNF
  export OPENSSL_CONF="$W/openssl.cnf"
}
before=$(wc -l <"$TRACE")
start=$(date +%s%N)
case $CLIENT in
  openssl)
    engine_conf
    printf 'GET / HTTP/1.0\r\n\r\n' |
      timeout 60 "${pre[@]}" openssl s_client -connect "127.0.0.1:$port" -engine pkcs11 -keyform engine -key "$KEY" \
        -cert "$W/card.pem" -CAfile "$W/srv.pem" -verify_return_error -ign_eof >"$W/client.log" 2>&1 ||
      fail "s_client"
    ;;
  curl)
    engine_conf
    # curl's time_appconnect: from the start to the end of the handshake.
    timeout 60 "${pre[@]}" curl -sS --engine pkcs11 --key-type ENG --key "$KEY" --cert "$W/card.pem" --cacert "$W/srv.pem" \
      -w '\nhandshake_seconds=%{time_appconnect}\n' "https://127.0.0.1:$port/" >"$W/client.log" 2>&1 || fail "curl"
    ;;
  gnutls)
    # The module registered through p11-kit for this run alone. p11-kit
    # skips the user's configuration for root (the test command's user), so
    # the client runs in a private mount namespace in which the packaged
    # module folder holds just the VORN module's file: nothing outside
    # changes, and OpenSC's module does not talk to the card meanwhile.
    mkdir -p "$W/modules"
    printf 'module: %s\n' "$M" >"$W/modules/vorn.module"
    printf 'GET / HTTP/1.0\r\n\r\n' |
      timeout 60 unshare --mount --propagation private sh -c \
        'mount --bind "$1" /usr/share/p11-kit/modules && shift && exec "$@"' sh "$W/modules" \
        "${pre[@]}" gnutls-cli --x509certfile "$W/card.pem" --x509keyfile "$KEY" --x509cafile "$W/srv.pem" \
        -p "$port" 127.0.0.1 >"$W/client.log" 2>&1 || fail "gnutls-cli"
    ;;
  *) fail "client $CLIENT" ;;
esac
end=$(date +%s%N)
wait "$SRV_PID" || true
SRV_PID=

# The server saw the card's certificate, in the version asked for.
want_cert=$(openssl x509 -in "$W/card.pem" -outform PEM)
grep -q "Protocol *: TLSv$VER" "$W/client.log" || fail "not TLS $VER"
grep -q '^Client certificate' "$W/client.log" || fail "the server saw no client certificate"
awk '/-----BEGIN CERTIFICATE-----/,/-----END CERTIFICATE-----/' "$W/client.log" | grep -qF "$(sed -n 2p <<<"$want_cert")" ||
  fail "the server saw another certificate"

# One signature by the card: the plain commands of PSO COMPUTE DIGITAL
# SIGNATURE (80 2A 9E 9A, chained parts 90 2A 9E 9A) of this handshake.
mapfile -t pso < <(tail -n "+$((before + 1))" "$TRACE" | grep -oiE 'pcmd=[89]02a9e9a[0-9a-f]*' | cut -d= -f2)
finals=0 input=0
for c in "${pso[@]}"; do
  [[ ${c,,} == 802a9e9a* ]] && finals=$((finals + 1))
  input=$((input + 16#${c:8:2}))
done
[ "$finals" = 1 ] || fail "$finals signatures by the card"
[ "$input" = "$k" ] || fail "card input $input bytes, not the modulus length $k (RSA-PSS)"
hs=$(sed -n 's/^handshake_seconds=//p' "$W/client.log")
echo "TLS $VER, $CLIENT: client run with the card $(( (end - start) / 1000000 )) ms${hs:+, handshake ${hs}s}, card input $input bytes"
