#!/bin/sh
# Seed messages for fuzz_decodesigned, made with openssl in a throwaway folder.
set -e
out="$1"
mkdir -p "$out"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
cd "$tmp"
openssl req -x509 -newkey rsa:1024 -nodes -keyout a.key -subj /CN=seed-a -days 2 -out a.pem 2>/dev/null
openssl req -x509 -newkey rsa:1024 -nodes -keyout b.key -subj /CN=seed-b -days 2 -out b.pem 2>/dev/null
printf 'seed\000content' > data
openssl cms -sign -nodetach -binary -outform DER -in data -signer a.pem -inkey a.key -out "$out/signed"
openssl cms -sign -nodetach -binary -nocerts -outform DER -in data -signer a.pem -inkey a.key -out "$out/nocerts"
openssl cms -sign -nodetach -binary -outform DER -in data -signer a.pem -inkey a.key -signer b.pem -inkey b.key -out "$out/two"
openssl cms -sign -nodetach -binary -keyid -outform DER -in data -signer a.pem -inkey a.key -out "$out/keyid"
openssl cms -sign -binary -outform DER -in data -signer a.pem -inkey a.key -out "$out/detached"
openssl cms -encrypt -binary -outform DER -in data -out "$out/enveloped" a.pem
openssl cms -data_create -binary -outform DER -in data -out "$out/data"
