#!/usr/bin/env bash
# make_signing_cert.sh DIR [issued]: a throw-away code-signing certificate for the tests, valid
# for two days: DIR/signer.pfx (key and certificate), locked with the password in
# DIR/password.txt, and DIR/signer.pem, the certificate alone, for osslsigncode verify -CAfile.
# Subject CN: "Mendsmith Test Signer". Self-signed, or with "issued" issued by a throw-away
# authority, CN "Mendsmith Test Authority".
set -euo pipefail
dir=$1
mkdir -p "$dir"
usage=(-addext "extendedKeyUsage=codeSigning" -addext "keyUsage=critical,digitalSignature")
if [ "${2:-}" = issued ]; then
  openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=Mendsmith Test Authority" \
    -keyout "$dir/authority.key" -out "$dir/authority.pem" 2>/dev/null
  openssl req -new -newkey rsa:2048 -nodes -subj "/CN=Mendsmith Test Signer/O=Mendsmith Tests" "${usage[@]}" \
    -keyout "$dir/signer.key" -out "$dir/signer.csr" 2>/dev/null
  openssl x509 -req -in "$dir/signer.csr" -CA "$dir/authority.pem" -CAkey "$dir/authority.key" -CAcreateserial \
    -days 2 -copy_extensions copy -out "$dir/signer.pem" 2>/dev/null
  rm -f "$dir/authority.key" "$dir/signer.csr"
else
  openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=Mendsmith Test Signer/O=Mendsmith Tests" "${usage[@]}" \
    -keyout "$dir/signer.key" -out "$dir/signer.pem" 2>/dev/null
fi
printf 'correct horse\n' > "$dir/password.txt"
openssl pkcs12 -export -inkey "$dir/signer.key" -in "$dir/signer.pem" -out "$dir/signer.pfx" \
  -passout "file:$dir/password.txt"
rm -f "$dir/signer.key"
