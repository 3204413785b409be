#!/usr/bin/env bash
# The demo's certificate authority: the openssl command with a root and an issuing CA made on the
# spot. Issues a certificate for <work>/demo-request.b64 and answers with a PKCS #7 bundle of the
# chain and the certificate in <work>/demo-response.p7b; for <work>/demo-pair-*.b64 it answers
# with plain PEM certificates <work>/demo-pair-*.pem.
set -euo pipefail
work=$1
ca="$work/ca"
mkdir -p "$ca"
if [ ! -f "$ca/issuing.pem" ]; then
  printf '[ca]\nbasicConstraints=critical,CA:true\nkeyUsage=critical,keyCertSign,cRLSign\n[ee]\nkeyUsage=critical,digitalSignature,keyEncipherment\n' > "$ca/ext.cnf"
  openssl req -new -newkey rsa:2048 -nodes -keyout "$ca/root.key" -out "$ca/root.csr" \
    -subj "/CN=Demo Root CA/O=Example/C=TW" 2>/dev/null
  openssl x509 -req -in "$ca/root.csr" -signkey "$ca/root.key" -days 40 -sha256 \
    -extfile "$ca/ext.cnf" -extensions ca -out "$ca/root.pem" 2>/dev/null
  openssl req -new -newkey rsa:2048 -nodes -keyout "$ca/issuing.key" -out "$ca/issuing.csr" \
    -subj "/CN=Demo Issuing CA/O=Example/C=TW" 2>/dev/null
  openssl x509 -req -in "$ca/issuing.csr" -CA "$ca/root.pem" -CAkey "$ca/root.key" \
    -set_serial 2 -days 30 -sha256 -extfile "$ca/ext.cnf" -extensions ca -out "$ca/issuing.pem" 2>/dev/null
fi
serial=$(cat "$ca/serial" 2>/dev/null || echo 100)
for request in "$work"/demo-request.b64 "$work"/demo-pair-*.b64; do
  [ -f "$request" ] || continue
  name=${request%.b64}
  serial=$((serial + 1))
  { echo "-----BEGIN CERTIFICATE REQUEST-----"; fold -w 64 "$request"; echo;
    echo "-----END CERTIFICATE REQUEST-----"; } | sed '/^$/d' > "$name.csr"
  openssl req -verify -noout -in "$name.csr" 2>&1 | sed "s|^|  CA: $(basename "$name"): |"
  openssl x509 -req -in "$name.csr" -CA "$ca/issuing.pem" -CAkey "$ca/issuing.key" \
    -set_serial "$serial" -days 20 -sha256 -extfile "$ca/ext.cnf" -extensions ee -out "$name.pem" 2>/dev/null
  rm -f "$request"
done
echo "$serial" > "$ca/serial"
if [ -f "$work/demo-request.pem" ]; then
  openssl crl2pkcs7 -nocrl -certfile "$ca/root.pem" -certfile "$work/demo-request.pem" \
    -certfile "$ca/issuing.pem" -out "$work/demo-response.p7b"
fi
