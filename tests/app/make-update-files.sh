#!/usr/bin/env bash
# Makes the update tests' signed installers, in the build folder, from the stand-ins the build made:
#   make-update-files.sh OUT_DIR OTHER_PACKAGE FILE...
# Two test-only keys, each in a self-signed certificate named like the makers ("Corvane Software Ltd"):
# "makers" (the key the test build pins, written to OUT_DIR/TestSigningKey.h) and "wrong" (another key
# under the same name). Each FILE is copied to OUT_DIR as unsigned-NAME, makers-NAME and wrong-NAME.
# Each package (.msi) is also signed by the makers with SHA-1 (makers-sha1-NAME), with SHA-512, which the
# program does not take (makers-sha512-NAME), and with the metadata stream "\x05MsiDigitalSignatureEx"
# (makers-ex-NAME), and its makers' signature is moved onto OTHER_PACKAGE, a package built apart
# (transplanted-NAME). OUT_DIR/PackageDigests.h holds the digest that osslsigncode calculates for each
# package but the SHA-512 one.
# The keys are made here, never committed.
set -euo pipefail
out=$1; other=$2; shift 2
mkdir -p "$out"
digested=()
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
  case $name in *.msi) ;; *) continue;; esac
  rm -f "$out/makers-sha1-$name" "$out/makers-sha512-$name" "$out/makers-ex-$name" "$out/transplanted-$name" \
    "$out/makers-$name.sig"
  for hash in sha1 sha512; do
    osslsigncode sign -h $hash -certs "$out/makers.pem" -key "$out/makers.key" -in "$file" -out "$out/makers-$hash-$name" >/dev/null
  done
  osslsigncode sign -h sha256 -add-msi-dse -certs "$out/makers.pem" -key "$out/makers.key" -in "$file" \
    -out "$out/makers-ex-$name" >/dev/null
  osslsigncode extract-signature -in "$out/makers-$name" -out "$out/makers-$name.sig" >/dev/null
  # attach-signature checks the result and fails on the mismatch it is made for, after writing it.
  osslsigncode attach-signature -sigin "$out/makers-$name.sig" -in "$other" -out "$out/transplanted-$name" >/dev/null 2>&1 || true
  test -s "$out/transplanted-$name"
  digested+=("makers-$name" "makers-sha1-$name" "makers-ex-$name" "transplanted-$name")
done
# The digest osslsigncode calculates for each package (it checks the certificate too, which fails for a
# self-signed one: only the digest line is taken).
{
  echo '#pragma once'
  echo '// Made by tests/app/make-update-files.sh: the digest osslsigncode calculates for each test package.'
  echo 'struct CalculatedPackageDigest { const wchar_t* name; const char* digest; };'
  echo 'constexpr CalculatedPackageDigest kCalculatedPackageDigests[] = {'
  for package in "${digested[@]}"; do
    calculated=$( { osslsigncode verify -in "$out/$package" 2>/dev/null || true; } | sed -n 's/^Calculated DigitalSignature *: *\([0-9A-Fa-f]*\).*/\1/p')
    test -n "$calculated"
    echo "    { L\"$package\", \"$calculated\" },"
  done
  echo '};'
} > "$out/PackageDigests.h.new"
mv "$out/PackageDigests.h.new" "$out/PackageDigests.h"
cat > "$out/TestSigningKey.h.new" <<HEADER
#pragma once
// Made by tests/app/make-update-files.sh: the SHA-256 of the test build's own signing key (a test-only key).
constexpr char kMakersSigningKeySha256[] = "$digest";
HEADER
mv "$out/TestSigningKey.h.new" "$out/TestSigningKey.h"
