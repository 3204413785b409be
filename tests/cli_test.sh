#!/usr/bin/env bash
# The kelvadrome command on a throwaway profile: what it stores it reads back, its JSON is valid,
# and mistakes give the documented exit codes.
set -uo pipefail
cli=$1
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
export KELVADROME_PROFILE="$scratch/profile" KELVADROME_MACHINE_PROFILE="$scratch/machine"
export KELVADROME_KEY_STORE=file XDG_CONFIG_HOME="$scratch/config"
failures=0
check() {  # check <description> <expected> <actual>
  if [ "$2" != "$3" ]; then
    echo "FAILED: $1: expected [$2], got [$3]" >&2
    failures=$((failures + 1))
  fi
}

"$cli" reg set 'Software\ORLA\QuorixATL\Greeting' '憑證 hello'
check "set text" 0 $?
"$cli" reg set 'HKCU\Software\ORLA\QuorixATL\Level' -5 --dword
check "set number" 0 $?
check "get text" '憑證 hello' "$("$cli" reg get 'software\orla\quorixatl\greeting')"
check "get number" '-5' "$("$cli" reg get 'HKCU\Software\ORLA\QuorixATL\Level')"
check "get as json" '{"type":"dword","value":"-5"}' \
  "$("$cli" reg get 'Software\ORLA\QuorixATL\Level' --json)"
check "list as json" \
  '{"keys":[],"values":[{"name":"Greeting","type":"text","value":"憑證 hello"},{"name":"Level","type":"dword","value":"-5"}]}' \
  "$("$cli" reg list 'Software\ORLA\QuorixATL' --json)"
check "list keys" 'QuorixATL\' "$("$cli" reg list 'HKCU\Software\ORLA')"
"$cli" reg get 'Software\ORLA\QuorixATL\Missing' 2>/dev/null
check "missing value exits 1" 1 $?
"$cli" reg set 'HKLM\Software\Vendor\Value' x 2>/dev/null
check "machine registry is read only" 1 $?
"$cli" reg set 'Software\X' notanumber --dword 2>/dev/null
check "bad number is a usage error" 2 $?
"$cli" reg frobnicate 2>/dev/null
check "unknown command is a usage error" 2 $?
"$cli" reg delete 'Software\ORLA\QuorixATL\Greeting'
check "delete value" 0 $?
"$cli" reg delete --key 'Software\ORLA'
check "delete key" 0 $?
"$cli" reg list 'Software\ORLA' 2>/dev/null
check "deleted key is gone" 1 $?

# A name in code page 950 whose second byte is '\' (許 is B3 5C) stays one name, stored as the same
# characters whatever the code page of the command that wrote it.
KELVADROME_CODEPAGE=CP950 "$cli" reg set $'Software\\Audit5C\\\xb3\x5c' $'\xb3\x5c'
check "set under code page 950" 0 $?
check "read back in UTF-8" '許' "$("$cli" reg get 'Software\Audit5C\許')"
check "read back in code page 950" $'\xb3\x5c' \
  "$(KELVADROME_CODEPAGE=CP950 "$cli" reg get $'Software\\Audit5C\\\xb3\x5c')"
check "one value named by the whole character" \
  '{"keys":[],"values":[{"name":"許","type":"text","value":"許"}]}' \
  "$("$cli" reg list 'Software\Audit5C' --json)"

# Certificates: add one made by the openssl command, list it, show it by file and by thumbprint.
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout "$scratch/key.pem" \
  -out "$scratch/cert.pem" -subj "/CN=Command 憑證/O=Example/C=TW" -days 30 -utf8 2>/dev/null
openssl x509 -in "$scratch/cert.pem" -outform DER -out "$scratch/cert.der"
thumbprint=$(openssl x509 -in "$scratch/cert.pem" -noout -fingerprint -sha1 | sed 's/.*=//; s/://g')
"$cli" cert add "$scratch/cert.der" ROOT
check "cert add" 0 $?
check "certs of MY is empty" '[]' "$("$cli" certs --json)"
listed=$("$cli" certs ROOT --json)
case "$listed" in
  *"\"thumbprint\":\"$thumbprint\""*'"keyLinked":false'*) ;;
  *) echo "FAILED: certs ROOT: $listed" >&2; failures=$((failures + 1)) ;;
esac
check "cert show by file and by thumbprint agree" "$("$cli" cert show "$scratch/cert.pem" --json)" \
  "$("$cli" cert show "$thumbprint" --json)"
check "subject CN" "Command 憑證" \
  "$("$cli" cert show "$thumbprint" --json | sed 's/.*"subjectCN":"\([^"]*\)".*/\1/')"
"$cli" cert show 0000000000000000000000000000000000000000 2>/dev/null
check "unknown thumbprint exits 1" 1 $?
"$cli" cert show "$scratch/key.pem" 2>/dev/null
check "a key file is not a certificate" 1 $?
"$cli" cert sign "$thumbprint" "$scratch/cert.der" "$scratch/sig" 2>/dev/null
check "cert sign wants a certificate of MY" 1 $?
"$cli" cert sign "$thumbprint" 2>/dev/null
check "cert sign without files is a usage error" 2 $?
"$cli" cert delete "$thumbprint" ROOT
check "cert delete" 0 $?
check "ROOT is empty again" '[]' "$("$cli" certs ROOT --json)"
check "no key containers" '[]' "$("$cli" keys --json)"

# The automation object by `call`: the first call registers the server in this profile.
check "call with a text result" '4.2.0.0' "$("$cli" call GetVersion)"
check "call registered the server" '{6B1F0C3E-94D2-4A87-8E15-2C7D04020000}' \
  "$("$cli" reg get 'Software\Classes\KelvadromeATL.CAPI\CLSID\')"
check "call with a text and a number, the name in any case" '900150983CD24FB0D6963F7D28E17F72' \
  "$("$cli" call hash abc 0x11)"
check "call with an integer result" '0' "$("$cli" call RegWriteHKCUInt 'Software\ORLA\Called' -7)"
check "what the call stored" '-7' "$("$cli" reg get 'Software\ORLA\Called')"
check "call as json" '{"method":"GetPortEx","result":65537,"errorCode":0}' \
  "$("$cli" call GetPortEx --json)"
reason=$(LC_ALL=C "$cli" call HashFile "$scratch/missing" 0 2>&1 >/dev/null)
check "a failing call exits 1" 1 $?
check "a failing call tells its error" 'kelvadrome: HashFile failed: error 5902: File Not Found(5902)
kelvadrome: no file at that path' "$reason"
"$cli" call Hash abc 2>/dev/null
check "too few arguments are a usage error" 2 $?
"$cli" call Hash abc 0x11 more 2>/dev/null
check "too many arguments are a usage error" 2 $?
"$cli" call Hash abc eleven 2>/dev/null
check "a number that is none is a usage error" 2 $?
"$cli" call NoSuchMethod 2>/dev/null
check "an unknown method is a usage error" 2 $?

# cert sign with a user-protected key asks through the dialog host: a scripted user allows one
# signature and refuses the next.
openssl req -x509 -newkey rsa:2048 -nodes -keyout "$scratch/signer.key" -out "$scratch/signer.pem" \
  -subj "/CN=Protected signer" -days 30 2>/dev/null
openssl pkcs12 -export -inkey "$scratch/signer.key" -in "$scratch/signer.pem" -name "CLI signer" \
  -passout pass:pw -out "$scratch/signer.pfx"
signer=$(openssl x509 -in "$scratch/signer.pem" -noout -fingerprint -sha1 | sed 's/.*=//; s/://g')
check "import with a user-protected key" '0' \
  "$(KELVADROME_DIALOGS=none "$cli" call ImportPfxToIE "$scratch" signer.pfx pw 2 0)"
listed=$("$cli" certs --json)
case "$listed" in
  *"\"thumbprint\":\"$signer\""*'"friendlyName":"CLI signer"'*) ;;
  *) echo "FAILED: certs lists the friendly name: $listed" >&2; failures=$((failures + 1)) ;;
esac
printf 'expect key-use\nclick 1\n' >"$scratch/allow.script"
printf 'expect key-use\nclick 2\n' >"$scratch/refuse.script"
printf 'signed content\n' >"$scratch/content"
KELVADROME_DIALOGS="script:$scratch/allow.script" \
  "$cli" cert sign "$signer" "$scratch/content" "$scratch/content.sig"
check "cert sign after the user allows" 0 $?
openssl x509 -in "$scratch/signer.pem" -noout -pubkey >"$scratch/signer.pub"
check "the signature verifies" 'Verified OK' "$(openssl dgst -sha256 -verify "$scratch/signer.pub" \
  -signature "$scratch/content.sig" "$scratch/content" 2>&1)"
refused=$(KELVADROME_DIALOGS="script:$scratch/refuse.script" \
  "$cli" cert sign "$signer" "$scratch/content" "$scratch/refused.sig" --json)
check "cert sign after the user refuses exits 1" 1 $?
case "$refused" in
  *'"code":1223}') ;;
  *) echo "FAILED: a refusal is a cancellation: $refused" >&2; failures=$((failures + 1)) ;;
esac
[ ! -e "$scratch/refused.sig" ]
check "a refused signature writes no file" 0 $?

# The key life cycle. Two certificates an openssl CA issued for one request share its container; a
# request never answered keeps its container pending; a PFX key whose certificate was deleted is
# orphaned. Deleting keys asks first, and refuses when there is no terminal to ask on.
openssl req -x509 -newkey rsa:2048 -nodes -keyout "$scratch/ca.key" -out "$scratch/ca.pem" \
  -subj "/CN=Life Cycle CA" -days 30 2>/dev/null
issue() {  # issue <common name> <serials...>: one request, a certificate per serial, accepted
  local request serial
  request=$("$cli" call CreatePKCS10 "$1" 2048 1)
  printf '%s' "$request" | base64 -d >"$scratch/request.der"
  shift
  for serial in "$@"; do
    openssl x509 -req -inform DER -in "$scratch/request.der" -CA "$scratch/ca.pem" \
      -CAkey "$scratch/ca.key" -set_serial "$serial" -days 30 -outform DER \
      -out "$scratch/issued$serial.der" 2>/dev/null
    "$cli" call AcceptPKCS7 "$(base64 -w0 "$scratch/issued$serial.der")" >/dev/null
  done
}
fingerprint() { openssl x509 -inform DER -in "$1" -noout -fingerprint -sha1 | sed 's/.*=//; s/://g'; }
# keys --json as one line per container: name, pending, orphaned, then each certificate's thumbprint
keys_summary() {
  "$cli" keys --json | python3 -c '
import json, sys
for c in json.load(sys.stdin):
    prints = [x["thumbprint"] for k in c["keys"] for x in k["certificates"]]
    print(c["name"], c["pendingRequest"], c["orphaned"], *prints)'
}
issue "Shared Key" 11 12
shared_a=$(fingerprint "$scratch/issued11.der")
shared_b=$(fingerprint "$scratch/issued12.der")
shared=$(keys_summary | awk -v t="$shared_a" '$0 ~ t {print $1}')
"$cli" call CreatePKCS10 "Never Answered" 2048 1 >/dev/null
openssl req -x509 -newkey rsa:2048 -nodes -keyout "$scratch/lone.key" -out "$scratch/lone.pem" \
  -subj "/CN=Lone Key" -days 30 2>/dev/null
openssl pkcs12 -export -inkey "$scratch/lone.key" -in "$scratch/lone.pem" -passout pass:pw \
  -out "$scratch/lone.pfx"
KELVADROME_DIALOGS=none "$cli" call ImportPfxToIE "$scratch" lone.pfx pw 0 0 >/dev/null
lone_cert=$(openssl x509 -in "$scratch/lone.pem" -noout -fingerprint -sha1 | sed 's/.*=//; s/://g')
lone=$(keys_summary | awk -v t="$lone_cert" '$0 ~ t {print $1}')
"$cli" cert delete "$lone_cert"
summary=$(keys_summary)
while read -r description expected; do
  check "keys: $description" 1 "$(grep -c -- "$expected" <<<"$summary")"
done <<EOF2
both-certificates-on-the-shared-key ^$shared True False $shared_a $shared_b$
the-unanswered-request-is-pending ^[0-9A-F-]* True False$
the-key-without-certificate-or-request-is-orphaned ^$lone False True$
EOF2
check "keys text marks the orphan" "$lone  (Microsoft Enhanced Cryptographic Provider v1.0)  orphaned" \
  "$("$cli" keys | grep orphaned)"
check "keys text lists a linked certificate" 2 "$("$cli" keys | grep -c "    certificate .*  Shared Key$")"

# The keys are sealed under the profile's wrapping key; rewrapping puts them under a new one, and
# they still sign.
wrapping_key() { "$cli" doctor --json | sed -n 's/.*"wrappingKey":"\([0-9a-f]*\)".*/\1/p'; }
before=$(wrapping_key)
check "doctor names the key file that holds the wrapping key" 1 \
  "$("$cli" doctor | grep -c "key files in $scratch/config/kelvadrome/wrapping-keys")"
"$cli" keys rewrap >/dev/null
check "keys rewrap" 0 $?
after=$(wrapping_key)
check "a new wrapping key" "32 32 different" \
  "${#before} ${#after} $([ "$before" != "$after" ] && echo different)"
echo "signed after rewrapping" > "$scratch/rewrapped.txt"
"$cli" cert sign "$shared_b" "$scratch/rewrapped.txt" "$scratch/rewrapped.sig" >/dev/null
check "a rewrapped key signs" 0 $?

"$cli" keys delete "$lone" </dev/null 2>/dev/null
check "keys delete without a terminal or --yes is refused" 1 $?
printf 'n\n' | script -qec "'$cli' keys delete '$lone'" /dev/null >/dev/null
check "keys delete answered no" 1 $?
check "a refused delete keeps the container" 1 "$(keys_summary | grep -c "^$lone ")"
asked=$(printf 'y\n' | script -qec "'$cli' keys delete '${lone,,}'" /dev/null | tr -d '\r')
check "keys delete asks on the terminal, any letter case" \
  "y
Delete key container \"$lone\" and its 1 key? [y/N] Deleted key container \"$lone\" and its 1 key." \
  "$asked"
check "the orphan is gone" 0 "$(keys_summary | grep -c "^$lone ")"

check "cert delete --with-key keeps a container another certificate uses" \
  "Deleted the certificate; key container \"$shared\" kept: 1 other certificate in MY still uses it." \
  "$("$cli" cert delete "$shared_a" --with-key </dev/null)"
check "the kept container" "$shared True False $shared_b" "$(keys_summary | grep "^$shared ")"
check "keys delete reports the certificates left without a key" \
  "Deleted key container \"$shared\" and its 1 key.
1 certificate in MY now has no key." "$("$cli" keys delete "$shared" --yes)"
check "the certificate stays in MY" 1 "$("$cli" certs --json | grep -c "$shared_b")"
"$cli" cert delete "$shared_b" --with-key --yes >/dev/null
check "cert delete --with-key when the container is gone" 0 $?

issue "Own Key" 21
own_cert=$(fingerprint "$scratch/issued21.der")
own=$(keys_summary | awk -v t="$own_cert" '$0 ~ t {print $1}')
"$cli" cert delete "$own_cert" --with-key </dev/null 2>/dev/null
check "cert delete --with-key without a terminal or --yes is refused" 1 $?
check "nothing deleted after the refusal" 1 "$(keys_summary | grep -c "^$own True False $own_cert$")"
check "cert delete --with-key --yes" "{\"deleted\":\"$own_cert\",\"keyContainerDeleted\":\"$own\",\"keys\":1,\"note\":\"\"}" \
  "$("$cli" cert delete "$own_cert" --with-key --yes --json)"
check "certificate and container both gone" 0 \
  "$( ("$cli" certs --json; keys_summary) | grep -c -e "$own_cert" -e "^$own ")"

"$cli" server unregister
check "server unregister" 0 $?
"$cli" reg list 'Software\Classes\KelvadromeATL.CAPI' 2>/dev/null
check "the ProgID is gone" 1 $?
help=$("$cli" --help)
check "--help exits 0" 0 $?
for command in 'reg get' 'reg set' 'reg list' 'reg delete' certs 'cert show' 'cert add' \
  'cert delete' 'cert sign' keys 'keys delete' 'keys rewrap' doctor methods call server; do
  case "$help" in
    *"  $command "*) ;;
    *) echo "FAILED: --help does not list $command" >&2; failures=$((failures + 1)) ;;
  esac
done

# A failed call explains its code in the user's language after the component's own message, which
# never changes; under a Chinese locale the message says it already.
explained=$(LC_ALL=C KELVADROME_DIALOGS=none "$cli" call ImportPfxToIE "" "" "" 1 0 2>&1 >/dev/null)
check "5002 explained in English" \
  "kelvadrome: ImportPfxToIE failed: error 5002: 配置記憶體發生錯誤(5002)
kelvadrome: no dialog could be shown (or a resource could not be allocated): run from a desktop session or a terminal, or set KELVADROME_DIALOGS" \
  "$explained"
check "no explanation under Chinese" "kelvadrome: ImportPfxToIE failed: error 5002: 配置記憶體發生錯誤(5002)" \
  "$(LC_ALL=zh_TW.UTF-8 KELVADROME_DIALOGS=none "$cli" call ImportPfxToIE "" "" "" 1 0 2>&1 >/dev/null)"

# The page bridge's host manifests: written for the user's three browsers, recognised by status,
# a manifest for another bridge told apart, a path a manifest cannot carry refused.
bridge_home="$scratch/home"
mkdir -p "$bridge_home"
printf '#!/bin/sh\n' > "$scratch/kelvadrome-bridge"
chmod +x "$scratch/kelvadrome-bridge"
HOME="$bridge_home" "$cli" bridge status "$scratch/kelvadrome-bridge" > /dev/null
check "status without manifests exits 1" 1 $?
HOME="$bridge_home" "$cli" bridge install-manifests user "$scratch/kelvadrome-bridge" > /dev/null
check "install-manifests" 0 $?
states=$(HOME="$bridge_home" "$cli" bridge status "$scratch/kelvadrome-bridge" | grep -c ' user .*: names this bridge$')
check "the three user manifests name the bridge" 3 "$states"
HOME="$bridge_home" "$cli" bridge status "$scratch/kelvadrome-bridge" > /dev/null
check "status finds the bridge" 0 $?
check "Chromium's manifest lets the extension in" 1 \
  "$(grep -c '"allowed_origins": \["chrome-extension://bonjecimildmmljjofiladbpekmdhnio/"\]' \
     "$bridge_home/.config/chromium/NativeMessagingHosts/org.kelvadrome.bridge.json")"
check "another bridge is told apart" 3 \
  "$(HOME="$bridge_home" "$cli" bridge status /opt/other-bridge | grep -c ' user .*another bridge')"
HOME="$bridge_home" "$cli" bridge install-manifests user $'/tmp/a\nb' 2>/dev/null
check "a path with a line break is refused" 1 $?

# Revoking an origin also forgets the files and folders picked for its pages, and an origin with
# neither a decision nor a pick has nothing to revoke.
"$cli" reg set 'Software\Kelvadrome\Bridge\Picks\https://p.test\read:2f78' /x
check "a pick kept for an origin" 0 $?
"$cli" bridge origins revoke https://p.test >/dev/null
check "revoke with only picks kept" 0 $?
"$cli" reg list 'Software\Kelvadrome\Bridge\Picks\https://p.test' 2>/dev/null
check "the origin's picks are gone" 1 $?
"$cli" bridge origins revoke https://p.test 2>/dev/null
check "nothing left to revoke" 1 $?

if [ "$failures" -eq 0 ]; then echo "kelvadrome command: all checks passed"; fi
exit "$failures"
