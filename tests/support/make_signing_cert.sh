#!/usr/bin/env bash
# make_signing_cert.sh DIR: a throw-away code-signing certificate for the tests, valid for two
# days: DIR/signer.pfx (key and certificate), locked with the password in DIR/password.txt, and
# DIR/signer.pem, the certificate alone, for osslsigncode verify -CAfile. Subject CN: "Mendsmith
# Test Signer".
set -euo pipefail
dir=$1
mkdir -p "$dir"
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=Mendsmith Test Signer/O=Mendsmith Tests" \
  -addext "extendedKeyUsage=codeSigning" -addext "keyUsage=critical,digitalSignature" \
  -keyout "$dir/signer.key" -out "$dir/signer.pem" 2>/dev/null
printf 'correct horse\n' > "$dir/password.txt"
openssl pkcs12 -export -inkey "$dir/signer.key" -in "$dir/signer.pem" -out "$dir/signer.pfx" \
  -passout "file:$dir/password.txt"
rm -f "$dir/signer.key"
