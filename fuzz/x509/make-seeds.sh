#!/bin/sh
# make-seeds.sh DIR: writes seed inputs for fuzz_x509 into DIR once.
set -eu
dir=$1
[ -f "$dir/seed-cert.der" ] && [ -f "$dir/seed-bundle.der" ] && exit 0
mkdir -p "$dir"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
openssl req -x509 -newkey rsa:1024 -nodes -keyout "$tmp/key.pem" -subj "/C=TW/O=Seed/CN=Seed" \
  -days 30 -addext keyUsage=digitalSignature,keyEncipherment -out "$tmp/cert.pem" 2>/dev/null
openssl x509 -in "$tmp/cert.pem" -outform DER -out "$dir/seed-cert.der"
openssl crl2pkcs7 -nocrl -certfile "$tmp/cert.pem" -outform DER -out "$dir/seed-bundle.der"
