#!/usr/bin/env bash
# Makes the cards the synchroniser's tests insert, with certificates made by
# OpenSSL here and put on the cards with `vorn-cardsim add-cert`:
#   a.vcs        demo card (two containers) + self-signed authority +
#                intermediate authority + a certificate without key usage
#   b.vcs        demo card
#   other.vcs    demo card with a non-VORN ATR
#   many.vcs     a card with 21 certificates
#   make_cards.sh DIR   (VORN_CARDSIM names the simulator)
set -euo pipefail
dir=$1
sim=${VORN_CARDSIM:?VORN_CARDSIM names the simulator}
mkdir -p "$dir/certs"
c=$dir/certs
ssl() { openssl "$@" 2>/dev/null; }
ssl req -x509 -newkey rsa:2048 -nodes -keyout "$c/root.key" -out "$c/root.pem" -days 3650 \
  -subj "/O=VORN test/CN=VORN Test Root CA" \
  -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign"
ssl req -newkey rsa:2048 -nodes -keyout "$c/inter.key" -out "$c/inter.csr" -subj "/O=VORN test/CN=VORN Test Intermediate CA"
printf 'basicConstraints=critical,CA:TRUE\nkeyUsage=critical,keyCertSign,cRLSign\n' > "$c/inter.ext"
ssl x509 -req -in "$c/inter.csr" -CA "$c/root.pem" -CAkey "$c/root.key" -CAcreateserial -days 3650 \
  -extfile "$c/inter.ext" -out "$c/inter.pem"
ssl req -newkey rsa:2048 -nodes -keyout "$c/peer.key" -out "$c/peer.csr" -subj "/O=VORN test/CN=VORN Test Peer"
: > "$c/empty.ext"
ssl x509 -req -in "$c/peer.csr" -CA "$c/inter.pem" -CAkey "$c/inter.key" -CAcreateserial -days 3650 \
  -extfile "$c/empty.ext" -out "$c/peer.pem"
for n in root inter peer; do ssl x509 -in "$c/$n.pem" -outform DER -out "$c/$n.der"; done

"$sim" demo --card "$dir/a.vcs" --label "VORN card A"
for n in root inter peer; do "$sim" add-cert --card "$dir/a.vcs" --cert "$c/$n.der"; done
"$sim" demo --card "$dir/b.vcs" --label "VORN card B"
"$sim" demo --card "$dir/other.vcs" --atr 3B7F940000803180719067414E59312E309000
"$sim" personalise --card "$dir/many.vcs" --label "VORN card 21"
for i in $(seq 1 21); do
  ssl x509 -req -in "$c/peer.csr" -CA "$c/inter.pem" -CAkey "$c/inter.key" -set_serial "$((1000 + i))" \
    -days 3650 -extfile "$c/empty.ext" -outform DER -out "$c/many$i.der"
  "$sim" add-cert --card "$dir/many.vcs" --cert "$c/many$i.der" --app $(( i % 2 + 1 ))
done
