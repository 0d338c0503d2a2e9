#!/usr/bin/env bash
# Makes the update tests' signed installers, in the build folder, from the stand-ins the build made:
#   make-update-files.sh OUT_DIR FILE...
# Two test-only keys, each in a self-signed certificate named like the makers ("Corvane Software Ltd"):
# "makers" (the key the test build pins, written to OUT_DIR/TestSigningKey.h) and "wrong" (another key
# under the same name). Each FILE is copied to OUT_DIR as unsigned-NAME, makers-NAME and wrong-NAME.
# The keys are made here, never committed.
set -euo pipefail
out=$1; shift
mkdir -p "$out"
for who in makers wrong; do
  openssl req -x509 -newkey rsa:2048 -nodes -sha256 -days 3650 -subj "/CN=Corvane Software Ltd/O=Corvane Software Ltd" \
    -addext "extendedKeyUsage=codeSigning" -keyout "$out/$who.key" -out "$out/$who.pem" 2>/dev/null
done
digest=$(openssl x509 -in "$out/makers.pem" -pubkey -noout | openssl pkey -pubin -outform DER | sha256sum | cut -c1-64)
for file in "$@"; do
  name=$(basename "$file")
  cp "$file" "$out/unsigned-$name"
  for who in makers wrong; do
    rm -f "$out/$who-$name"
    osslsigncode sign -h sha256 -certs "$out/$who.pem" -key "$out/$who.key" -in "$file" -out "$out/$who-$name" >/dev/null
  done
done
cat > "$out/TestSigningKey.h.new" <<HEADER
#pragma once
// Made by tests/app/make-update-files.sh: the SHA-256 of the test build's own signing key (a test-only key).
constexpr char kMakersSigningKeySha256[] = "$digest";
HEADER
mv "$out/TestSigningKey.h.new" "$out/TestSigningKey.h"
