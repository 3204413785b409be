#!/usr/bin/env bash
# Runs the Java demo (java/demo) on a throwaway profile and checks its PKCS #7 message with the
# openssl command.
#   scripts/demo-java.sh [<build folder>]     (default build/release)
# Exits 0 having done nothing but say so when no Java runtime, or no jar in the build folder, is
# found (the Java surface is built only when a JDK is present); exits 2 when the build folder does
# not exist.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$top/build/release}" 2>/dev/null && pwd) || {
  echo "demo-java: no build folder ${1:-$top/build/release} (scripts/build.sh release makes one)" >&2
  exit 2
}
surface_jar="$build/java/QuorixATL.jar"
demo_jar="$build/java/QuorixATLDemo.jar"
library="$build/libKelvadromeATL.so"
if ! command -v java >/dev/null 2>&1; then
  echo "demo-java: skipped: no java command (install a JDK and rebuild for the Java surface)"
  exit 0
fi
if [[ ! -f "$surface_jar" || ! -f "$demo_jar" || ! -f "$library" ]]; then
  echo "demo-java: skipped: $build has no QuorixATL.jar, QuorixATLDemo.jar or library" \
    "(the build found no JDK)"
  exit 0
fi
if ! command -v openssl >/dev/null 2>&1; then
  echo "demo-java: the openssl command is needed as certificate authority" >&2
  exit 1
fi

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
mkdir -p "$scratch/profile" "$scratch/work"
work="$scratch/work"

# The certificate authority that issues the Java program's certificate and that the signature is
# checked against.
openssl req -x509 -newkey rsa:2048 -nodes -keyout "$work/ca.key" -out "$work/ca.pem" \
  -subj "/CN=Java Demo CA/O=Example/C=TW" -days 2 -addext "basicConstraints=critical,CA:true" \
  -addext "keyUsage=critical,keyCertSign,cRLSign" 2>/dev/null

# A code page of UTF-8 for the component, and a signer-share block of this run's own.
KELVADROME_PROFILE="$scratch/profile" KELVADROME_MACHINE_PROFILE="$scratch/machine" \
  KELVADROME_DIALOGS=none KELVADROME_CODEPAGE=UTF-8 KELVADROME_SHARE_NAME="kelvadrome-demo-java-$$" \
  java -Dkelvadrome.library="$library" -cp "$surface_jar:$demo_jar" com.Quorix.demo.JavaRoad "$work"

echo
echo "== openssl cms -verify of the Java program's SignPkcs7 message (against the demo CA)"
openssl cms -cmsout -print -inform DER -in "$work/signed.p7" | grep -A2 "object: signingTime"
openssl cms -verify -binary -purpose any -inform DER -in "$work/signed.p7" -CAfile "$work/ca.pem" \
  -out "$work/carried.bin"
cmp "$work/carried.bin" "$work/content.bin"
echo "  the message carries the signed text (UTF-16LE)"
echo "  the certificates the message carries (the chain, 0x0200):"
openssl pkcs7 -inform DER -in "$work/signed.p7" -print_certs -noout | sed -n 's/^subject=/    /p'
