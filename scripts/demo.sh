#!/usr/bin/env bash
# Sets up, builds and runs the demos on throwaway profiles: the flat C functions, the automation
# object called by method name through IDispatch, the dialogs, a web page's two roads through the
# bridge (and a page in headless Chromium), a key on a software token, and the Java class when its
# demo is present.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/setup.sh"
"$top/scripts/build.sh" release
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
mkdir -p "$scratch/profile" "$scratch/work"
# The profiles' wrapping keys are thrown away with them: key files in the scratch folder, not
# entries in the person's keyring.
export KELVADROME_KEY_STORE=file XDG_CONFIG_HOME="$scratch/config"
echo "######## The flat C functions (kelvadrome-demo)"
# A scripted user answers the file pickers: the first time it picks the demo's document, the
# second time it cancels. Every dialog event goes to the log printed at the end.
cat > "$scratch/dialogs.script" <<SCRIPT
expect open-file
choose $scratch/work/demo-document.txt
expect open-file
cancel
expect 206
set 303 demo-pass
set 304 demo-pass
click 1
SCRIPT
KELVADROME_PROFILE="$scratch/profile" KELVADROME_MACHINE_PROFILE="$scratch/machine" \
  KELVADROME_DEMO_CA="$top/scripts/demo-ca.sh" KELVADROME_DIALOGS="script:$scratch/dialogs.script" \
  KELVADROME_DIALOG_LOG="$scratch/dialogs.log" \
  "$top/build/release/kelvadrome-demo" "$scratch/work"
echo
echo "== What the scripted user saw (KELVADROME_DIALOG_LOG)"
cat "$scratch/dialogs.log"

# The kelvadrome command on the same profile: the registry the demo wrote, and a certificate
# store holding a certificate made here by the openssl command.
export KELVADROME_PROFILE="$scratch/profile" KELVADROME_MACHINE_PROFILE="$scratch/machine"
cli="$top/build/release/kelvadrome"
echo
echo "== kelvadrome reg list 'Software\ORLA\QuorixATL'"
"$cli" reg list 'Software\ORLA\QuorixATL'
openssl req -x509 -newkey rsa:2048 -nodes -keyout "$scratch/demo-key.pem" -out "$scratch/demo-cert.pem" \
  -subj "/CN=Demo 憑證/OU=Signing/O=Example/C=TW" -addext "keyUsage=digitalSignature,nonRepudiation" \
  -days 365 -utf8 2>/dev/null
"$cli" cert add "$scratch/demo-cert.pem" MY
echo
echo "== kelvadrome cert show <thumbprint> --json"
"$cli" cert show "$(openssl x509 -in "$scratch/demo-cert.pem" -noout -fingerprint -sha1 | sed 's/.*=//; s/://g')" --json

# The exported PFX file, read by openssl with the password the scripted user typed.
echo
echo "== openssl pkcs12 -info of the exported file (its password changed to demo-pass-2 by the demo)"
openssl pkcs12 -info -noout -passin pass:demo-pass-2 -in "$scratch/work/demo-export.pfx" 2>&1

# The enrolled certificate: in MY, linked to the key the demo made, with the chain beside it. Its
# key signs, and openssl checks the signature against the certificate.
echo
echo "== kelvadrome certs MY / CA / ROOT after enrolment"
"$cli" certs MY
"$cli" certs CA
"$cli" certs ROOT
echo
echo "== kelvadrome keys"
"$cli" keys
echo
echo "== Private keys at rest: sealed under the wrapping key (kelvadrome doctor), so openssl reads none"
"$cli" doctor | sed -n '/private keys at rest/,$p'
mkdir -p "$scratch/at-rest"
sqlite3 "$KELVADROME_PROFILE/profile.db" \
  "SELECT writefile('$scratch/at-rest/' || container || '-' || spec, private_key) FROM container_keys" \
  > /dev/null
readable=0
for record in "$scratch/at-rest"/*; do
  if openssl pkey -inform DER -in "$record" -noout 2>/dev/null; then readable=$((readable + 1)); fi
done
echo "  $(ls "$scratch/at-rest" | wc -l) key records in the profile, $readable readable by openssl pkey"
echo "== kelvadrome keys rewrap (the enrolled key then signs below as before)"
"$cli" keys rewrap
enrolled="$scratch/work/demo-request.pem"
enrolled_thumbprint=$(openssl x509 -in "$enrolled" -noout -fingerprint -sha1 | sed 's/.*=//; s/://g')
echo "a document signed with the enrolled key" > "$scratch/work/signed.txt"
"$cli" cert sign "$enrolled_thumbprint" "$scratch/work/signed.txt" "$scratch/work/signed.sig"
openssl x509 -in "$enrolled" -noout -pubkey > "$scratch/work/enrolled-key.pem"
echo
echo "== openssl dgst -sha1 -verify of the demo's SignPkcs1 signature (the PFX signer's key)"
printf '%s' "A document signed by the demo" > "$scratch/work/signed-by-demo.txt"
base64 -d "$scratch/work/demo-signature.b64" > "$scratch/work/demo-signature.bin"
openssl dgst -sha1 -verify "$scratch/work/enrolled-key.pem" -signature "$scratch/work/demo-signature.bin" \
  "$scratch/work/signed-by-demo.txt"
echo
echo "== openssl cms -verify of the demo's SignPkcs7 messages (the chain to the demo CA's root)"
base64 -d "$scratch/work/demo-signed.p7.b64" > "$scratch/work/demo-signed.p7"
openssl cms -cmsout -print -inform DER -in "$scratch/work/demo-signed.p7" | grep -A2 "object: signingTime"
openssl cms -verify -binary -purpose any -inform DER -in "$scratch/work/demo-signed.p7" \
  -CAfile "$scratch/work/ca/root.pem" -out "$scratch/work/demo-signed.out"
cmp "$scratch/work/demo-signed.out" "$scratch/work/signed-by-demo.txt" && echo "  the content is the document"
# The detached message carries only the signer's certificate: both CA certificates are anchors.
base64 -d "$scratch/work/demo-detached.p7.b64" > "$scratch/work/demo-detached.p7"
cat "$scratch/work/ca/root.pem" "$scratch/work/ca/issuing.pem" > "$scratch/work/ca/anchors.pem"
openssl cms -verify -binary -purpose any -inform DER -in "$scratch/work/demo-detached.p7" \
  -CAfile "$scratch/work/ca/anchors.pem" -content "$scratch/work/signed-by-demo.txt" -out /dev/null
echo
echo "== The PFX file after ChangePfxPasswd: openssl opens it with the new password, not the old"
openssl pkcs12 -in "$scratch/work/demo-export.pfx" -passin pass:demo-pass-2 -nokeys 2>/dev/null \
  | openssl x509 -noout -subject
if openssl pkcs12 -in "$scratch/work/demo-export.pfx" -passin pass:demo-pass -nokeys >/dev/null 2>&1; then
  echo "  the old password still opens it" >&2; exit 1
fi
echo "  the old password no longer opens it"
echo
echo "== The demo's envelope, opened by openssl cms -decrypt with the enrolled key (from the PFX file)"
openssl pkcs12 -in "$scratch/work/demo-export.pfx" -passin pass:demo-pass-2 -nocerts -nodes \
  -out "$scratch/work/enrolled-private.pem" 2>/dev/null
base64 -d "$scratch/work/demo-envelope.b64" > "$scratch/work/demo-envelope.p7"
openssl cms -decrypt -inform DER -in "$scratch/work/demo-envelope.p7" \
  -inkey "$scratch/work/enrolled-private.pem"
echo
rm -f "$scratch/work/enrolled-private.pem"
echo
echo "== The mobile record, decrypted by openssl (key: SHA-1 of the password, then \"ORLA\")"
mobile_key="$(printf '%s' demo-pass-2 | openssl dgst -sha1 -binary | od -An -tx1 | tr -d ' \n')4f524c41"
base64 -d "$scratch/work/demo-mobile.b64" | openssl enc -d -des-ede3-cbc -K "$mobile_key" \
  -iv 0000000000000000 > "$scratch/work/demo-mobile.bin"
head -c 12 "$scratch/work/demo-mobile.bin" | od -An -c -tx1 | sed 's/^/ /'
echo "  ($(wc -c < "$scratch/work/demo-mobile.bin") bytes: magic, bit length, exponent, key, names, certificate)"
echo
echo "== openssl dgst -sha256 -verify <enrolled certificate's key> (signature by the linked key)"
openssl dgst -sha256 -verify "$scratch/work/enrolled-key.pem" -signature "$scratch/work/signed.sig" \
  "$scratch/work/signed.txt"

echo
echo "== Eight processes make requests on the profile at once: every request keeps its key and record"
records_before=$("$cli" reg list 'Software\ORLA\QuorixATL' | grep -c .)
for i in 1 2 3 4 5 6 7 8; do
  "$cli" call CreatePKCS10 "Parallel $i" 1024 1 > "$scratch/work/parallel-$i.req" &
done
wait
records_after=$("$cli" reg list 'Software\ORLA\QuorixATL' | grep -c .)
returned=$(cat "$scratch/work"/parallel-*.req | grep -c .)
echo "  $returned requests returned, $((records_after - records_before)) new records;" \
  "database check: $(sqlite3 "$KELVADROME_PROFILE/profile.db" 'PRAGMA integrity_check')"
echo
echo "== An envelope made by openssl cms -encrypt -aes256 for the enrolled certificate, opened by CertDecryptPkcs7"
printf '%s' "sealed with AES-256 by openssl" | openssl cms -encrypt -aes256 -binary -outform DER "$enrolled" \
  | base64 -w0 > "$scratch/work/aes-envelope.b64"
printf '  '; "$cli" call CertDecryptPkcs7 "$(cat "$scratch/work/aes-envelope.b64")" 2048; echo

# The automation object on a fresh profile of its own: registered, created by its ProgID and
# called by method name through IDispatch. Its scripted user only answers the PFX export dialog.
echo
echo "######## The automation object (kelvadrome-demo-automation)"
automation="$scratch/automation"
mkdir -p "$automation/profile" "$automation/work"
cat > "$automation/dialogs.script" <<SCRIPT
expect 206
set 303 demo-pass
set 304 demo-pass
click 1
SCRIPT
KELVADROME_PROFILE="$automation/profile" KELVADROME_MACHINE_PROFILE="$automation/machine" \
  KELVADROME_DEMO_CA="$top/scripts/demo-ca.sh" KELVADROME_DIALOGS="script:$automation/dialogs.script" \
  KELVADROME_DIALOG_LOG="$automation/dialogs.log" \
  "$top/build/release/kelvadrome-demo-automation" "$automation/work"
echo
echo "== What the scripted user saw (KELVADROME_DIALOG_LOG)"
cat "$automation/dialogs.log"

awork="$automation/work"
echo
echo "== openssl cms -verify of the automation demo's attached message (to the demo CA's root)"
base64 -d "$awork/automation-signed.b64" > "$awork/automation-signed.p7"
openssl cms -cmsout -print -inform DER -in "$awork/automation-signed.p7" | grep -A2 "object: signingTime"
openssl cms -verify -binary -purpose any -inform DER -in "$awork/automation-signed.p7" \
  -CAfile "$awork/ca/root.pem" -out "$awork/automation-signed.out"
cmp "$awork/automation-signed.out" "$awork/automation-document.txt" && echo "  the content is the document"
echo
echo "== openssl cms -verify of the automation demo's detached message (both CA certificates as anchors)"
base64 -d "$awork/automation-detached.b64" > "$awork/automation-detached.p7"
cat "$awork/ca/root.pem" "$awork/ca/issuing.pem" > "$awork/ca/anchors.pem"
openssl cms -verify -binary -purpose any -inform DER -in "$awork/automation-detached.p7" \
  -CAfile "$awork/ca/anchors.pem" -content "$awork/automation-document.txt" -out /dev/null
echo
echo "== openssl pkcs12 of the automation demo's exported file (password demo-pass)"
openssl pkcs12 -info -noout -passin pass:demo-pass -in "$awork/automation-export.pfx" 2>&1
openssl pkcs12 -in "$awork/automation-export.pfx" -passin pass:demo-pass -nokeys 2>/dev/null \
  | openssl x509 -noout -subject -issuer
openssl pkcs12 -in "$awork/automation-export.pfx" -passin pass:demo-pass -nocerts -nodes 2>/dev/null \
  | openssl pkey -noout -check 2>&1 | sed 's/^/  the key: /'

echo
echo "######## Dialogs a person answers"
echo "== ImportPfxToIE without a password on a terminal (English locale): plain questions, no echo"
# script(1) gives the command a terminal of its own; the answers are typed into it.
pfx_folder=$(dirname "$awork/automation-export.pfx")
# A person answers after each question appears: Enter keeps the file, then the password.
{ sleep 1; printf '\n'; sleep 1; printf 'demo-pass\n'; sleep 1; } \
  | LC_ALL=C KELVADROME_DIALOGS=tty script -qec \
    "'$cli' call ImportPfxToIE '$pfx_folder' automation-export.pfx '' 1 0" /dev/null \
  | tr -d '\r' | sed 's/^/  /' || true
echo "== The same dialog under a Chinese locale, cancelled with Ctrl-D"
{ sleep 1; printf '\004'; sleep 1; } \
  | LC_ALL=zh_TW.UTF-8 KELVADROME_DIALOGS=tty script -qec \
    "'$cli' call ImportPfxToIE '$pfx_folder' automation-export.pfx '' 1 0" /dev/null \
  | tr -d '\r' | grep -v 'setlocale' | sed 's/^/  /' || true
echo "== Without any way to ask (KELVADROME_DIALOGS=none): the code, then what it means"
LC_ALL=C KELVADROME_DIALOGS=none "$cli" call ImportPfxToIE "" "" "" 1 0 2>&1 | sed 's/^/  /' || true
echo "  (in a desktop session the same call opens the window shown in README.md)"

echo
echo "######## A web page's road (kelvadrome-bridge, native messaging as the browser speaks it)"
# What the extension sends for a page at https://shop.example: open a session, hash a text; the
# person (a scripted user here) allows the origin for this session when asked.
printf 'expect consent\nclick 1\n' > "$scratch/work/consent.script"
python3 - "$top/build/release/kelvadrome-bridge" "$scratch/work/consent.script" <<'PY' | sed 's/^/  /'
import json, os, struct, subprocess, sys
bridge, script = sys.argv[1], sys.argv[2]
env = dict(os.environ, KELVADROME_DIALOGS="script:" + script)
child = subprocess.Popen([bridge], stdin=subprocess.PIPE, stdout=subprocess.PIPE, env=env)
def exchange(message):
    data = json.dumps(message, ensure_ascii=False).encode()
    print("page ->", data.decode())
    child.stdin.write(struct.pack("=I", len(data)) + data)
    child.stdin.flush()
    length = struct.unpack("=I", child.stdout.read(4))[0]
    reply = json.loads(child.stdout.read(length))
    print("     <-", json.dumps(reply, ensure_ascii=False))
    return reply
origin = "https://shop.example"
session = exchange({"jsonrpc": "2.0", "id": 1, "method": "Kelvadrome.open", "origin": origin})["result"]["session"]
exchange({"jsonrpc": "2.0", "id": 2, "method": "Hash", "params": ["簽章 from a page", 3],
          "session": session, "origin": origin})
exchange({"jsonrpc": "2.0", "id": 3, "method": "Hash", "params": ["x"], "session": session, "origin": origin})
child.stdin.close()
child.wait()
PY
echo "  (in a browser: the extension in browser/extension and kelvadrome.js; see README.md)"

echo
echo "######## The loopback road (kelvadrome-bridge --listen, as a page without the extension meets it)"
printf 'expect consent\nclick 1\n' > "$scratch/work/consent-loopback.script"
KELVADROME_DIALOGS="script:$scratch/work/consent-loopback.script" \
  "$top/build/release/kelvadrome-bridge" --listen 127.0.0.1:0 \
  > "$scratch/work/bridge.out" 2> "$scratch/work/bridge.log" &
bridge_pid=$!
for _ in $(seq 50); do grep -q listening "$scratch/work/bridge.out" 2>/dev/null && break; sleep 0.1; done
echo "  bridge: $(head -1 "$scratch/work/bridge.out")"
python3 - "$(sed -n 's/^listening on 127.0.0.1://p' "$scratch/work/bridge.out")" <<'PY' | sed 's/^/  /'
import http.client, json, sys
port = int(sys.argv[1])
def send(method, body=None, headers=None, host="127.0.0.1"):
    connection = http.client.HTTPConnection("127.0.0.1", port)
    connection.putrequest(method, "/rpc", skip_host=True)
    connection.putheader("Host", f"{host}:{port}")
    for name, value in (headers or {}).items():
        connection.putheader(name, value)
    data = json.dumps(body, ensure_ascii=False).encode() if body is not None else b""
    if body is not None:
        connection.putheader("Content-Type", "application/json")
    connection.putheader("Content-Length", str(len(data)))
    connection.endheaders(data)
    response = connection.getresponse()
    text = response.read().decode()
    allowed = response.getheader("Access-Control-Allow-Origin")
    print(f"{method} /rpc (Host {host}) -> {response.status}, CORS: {allowed or 'none'}"
          + (f", private network: {response.getheader('Access-Control-Allow-Private-Network')}"
             if method == "OPTIONS" else ""))
    if text:
        print("     ", text)
    return json.loads(text) if text else None
origin = {"Origin": "https://shop.example"}
send("OPTIONS", headers={**origin, "Access-Control-Request-Method": "POST",
                         "Access-Control-Request-Private-Network": "true"})
session = send("POST", {"jsonrpc": "2.0", "id": 1, "method": "Kelvadrome.open"}, origin)["result"]["session"]
send("POST", {"jsonrpc": "2.0", "id": 2, "method": "Hash", "params": ["簽章 from a page", 3]},
     {**origin, "Kelvadrome-Session": session})
print("A page of another name resolved to 127.0.0.1 (DNS rebinding):")
send("POST", {"jsonrpc": "2.0", "id": 3, "method": "GetVersion"}, origin, host="shop.example")
print("A plain-http page of a public name:")
send("POST", {"jsonrpc": "2.0", "id": 4, "method": "GetVersion"}, {"Origin": "http://shop.example"})
PY
kill "$bridge_pid"; wait "$bridge_pid" 2>/dev/null || true
echo "  the service's log (origin, method, result code; never arguments):"
sed 's/^/    /' "$scratch/work/bridge.log"

if command -v chromium > /dev/null && command -v node > /dev/null; then
  echo
  echo "######## A page in Chromium enrols and signs through kelvadrome.js on the loopback road"
  # Headless Chromium, a local test site, the real bridge and an openssl authority: the page makes
  # a key and request, the authority issues it, the page installs it, selects it and signs; openssl
  # verifies. Then the same from a public HTTPS origin (Local Network Access granted by policy), a
  # denied page (1500), and the public page without the policy (the browser stops it).
  node "$top/tests/browser/chromium_loopback_test.mjs" "$(command -v chromium)" \
    "$top/build/release/kelvadrome-bridge" "$(command -v openssl)" --narrate | sed 's/^/  /'
fi

echo
echo "######## A key on a smart card (a SoftHSM2 token stands in for the card)"
# The card provider keeps its keys on a token through the PKCS #11 modules p11-kit registers. A
# page (through the bridge, as above) enrols on the token, the demo CA issues the certificate, the
# page signs with it, and openssl verifies; the PIN is asked by the pin dialog (scripted here).
cards=$scratch/cards
mkdir -p "$cards/tokens" "$cards/profile" "$cards/work"
printf 'directories.tokendir = %s\nobjectstore.backend = file\n' "$cards/tokens" > "$cards/softhsm2.conf"
export SOFTHSM2_CONF=$cards/softhsm2.conf
softhsm2-util --init-token --free --label "Demo Card" --so-pin 13579 --pin 2468 | sed 's/^/  /'
# The person types the PIN for the request; for the acceptance they type it again and tick "keep
# the PIN", so the signature asks no more. An unticked PIN lasts for one call only.
printf 'expect consent\nclick 1\nexpect pin\nset 401 2468\nclick 1\nexpect pin\nset 401 2468\ncheck 402\nclick 1\n' \
  > "$cards/dialogs.script"
KELVADROME_PROFILE="$cards/profile" "$cli" doctor | sed 's/^/  /'
KELVADROME_PROFILE="$cards/profile" KELVADROME_DIALOGS="script:$cards/dialogs.script" \
  KELVADROME_DIALOG_LOG="$cards/dialogs.log" \
  python3 - "$top/build/release/kelvadrome-bridge" "$top/scripts/demo-ca.sh" "$cards/work" <<'PY' | sed 's/^/  /'
import json, struct, subprocess, sys
bridge, ca, work = sys.argv[1:4]
child = subprocess.Popen([bridge], stdin=subprocess.PIPE, stdout=subprocess.PIPE)
origin, session, ident = "https://bank.example", None, 0
def call(method, *params):
    global ident
    ident += 1
    message = {"jsonrpc": "2.0", "id": ident, "method": method, "params": list(params),
               "origin": origin}
    if session: message["session"] = session
    data = json.dumps(message).encode()
    child.stdin.write(struct.pack("=I", len(data)) + data)
    child.stdin.flush()
    reply = json.loads(child.stdout.read(struct.unpack("=I", child.stdout.read(4))[0]))
    result = reply["result"]
    if not method.startswith("Kelvadrome."):
        shown = result["value"] if isinstance(result["value"], int) else result["value"][:60]
        print(f"{method}: errorCode {result['errorCode']}, value {shown!r}")
    return result
session = call("Kelvadrome.open")["session"]
call("SetProviderName", "Kelvadrome Smart Card Cryptographic Provider")
request = call("CreatePKCS10", "Demo Card Holder", 2048, 1)["value"]
open(f"{work}/demo-request.b64", "w").write(request)
subprocess.run([ca, work], check=True)
call("AcceptPKCS7", open(f"{work}/demo-response.p7b").read())
call("SelectSigner", "S_CN=Demo Card Holder", 0x108, 0)
signature = call("SignPkcs7", "Signed on the card", 0x0800 | 0x0200)["value"]
open(f"{work}/card-signed.b64", "w").write(signature)
call("Kelvadrome.close")
child.stdin.close()
child.wait()
PY
echo "  the person was asked: $(grep -o 'show [a-z-]*' "$cards/dialogs.log" | tr '\n' ' ')"
echo "== openssl cms -verify (the demo CA's root as anchor)"
base64 -d "$cards/work/card-signed.b64" | openssl cms -verify -binary -inform DER \
  -CAfile "$cards/work/ca/root.pem" -purpose any 2>&1 | sed 's/^/  /'
echo
echo "== What the token holds (pkcs11-tool)"
pkcs11-tool --module /usr/lib/softhsm/libsofthsm2.so --login --pin 2468 --list-objects 2>/dev/null \
  | grep -E 'Object;|label|Access' | sed 's/^/  /'
echo "  private keys in the profile: $(sqlite3 "$cards/profile/profile.db" 'SELECT count(*) FROM container_keys')"
printf 'expect pin\nset 401 2468\nclick 1\n' > "$cards/tokens.script"
KELVADROME_PROFILE="$cards/profile" KELVADROME_DIALOGS="script:$cards/tokens.script" "$cli" tokens \
  | sed 's/^/  /'
echo "== A certificate another program put on the card is in \"MY\" while the card is there"
openssl req -new -x509 -newkey rsa:2048 -nodes -keyout "$cards/other.key" -days 30 \
  -subj "/CN=Issued Elsewhere" -out "$cards/other.pem" 2>/dev/null
openssl pkey -in "$cards/other.key" -outform DER -out "$cards/other-key.der"
openssl pkey -in "$cards/other.key" -pubout -outform DER -out "$cards/other-public.der"
openssl x509 -in "$cards/other.pem" -outform DER -out "$cards/other-cert.der"
for object in key:privkey public:pubkey cert:cert; do
  pkcs11-tool --module /usr/lib/softhsm/libsofthsm2.so --login --pin 2468 --id 4242 \
    --label Elsewhere --write-object "$cards/other-${object%%:*}.der" --type "${object#*:}" >/dev/null 2>&1
done
KELVADROME_PROFILE="$cards/profile" "$cli" certs | sed 's/^/  /'
echo "  (the card is taken out)"
rm -rf "$cards/tokens"
mkdir -p "$cards/tokens"
KELVADROME_PROFILE="$cards/profile" "$cli" certs | sed 's/^/  /'
unset SOFTHSM2_CONF

# The Java class, when its demo is present.
if [ -x "$top/scripts/demo-java.sh" ]; then
  echo
  echo "######## The Java class (scripts/demo-java.sh)"
  "$top/scripts/demo-java.sh"
fi
