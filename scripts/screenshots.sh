#!/usr/bin/env bash
# Takes one screenshot per dialog, as the graphical dialog helper shows it under Xvfb, into
# docs/images/<language>/: scripts/screenshots.sh [zh|en] (zh, the component's own Chinese texts,
# when not given; en, the texts of a non-Chinese locale). Each dialog is opened the way its worker opens
# it (tests/dialog_gallery.cpp; the PFX dialog from a real ImportPfxToIE call), and QtTest inside
# kelvadrome-dialog-test fills it in and takes the picture (tools/kelvadrome-dialog/test_driver.h).
# Needs a release build with Qt (scripts/build.sh release), Xvfb and a CJK font (scripts/setup.sh).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$top/build/release}
language=${1:-zh}
case "$language" in
  zh) locale=zh_TW.UTF-8 ;;
  en) locale=C.UTF-8 ;;
  *) echo "usage: $0 [zh|en]" >&2; exit 2 ;;
esac
out=${OUT_DIR:-$top/docs/images/$language}
helper=$build/tools/kelvadrome-dialog/kelvadrome-dialog-test
gallery=$build/tests/kelvadrome_dialog_gallery
for program in "$helper" "$gallery" "$build/kelvadrome"; do
  [ -x "$program" ] || { echo "missing $program: build the release flavour with Qt first" >&2; exit 1; }
done
# A fixed folder, so that the paths in the pictures stay the same from run to run (the test that
# runs this script gives it a folder of its own).
scratch=${SCREENSHOT_WORK:-/tmp/kelvadrome-screenshots}
rm -rf "$scratch"
mkdir -p "$scratch"
trap 'rm -rf "$scratch"' EXIT
# work/ holds what the runs need; pfx/ only the sample file, where the file picker opens.
work=$scratch/work
pfx=$scratch/pfx
mkdir -p "$out" "$work/run" "$work/certs" "$pfx/備份" "$pfx/匯出"
chmod 700 "$work/run"
export XDG_RUNTIME_DIR="$work/run" TMPDIR="$work" LANG=$locale LC_ALL=$locale
export KELVADROME_PROFILE="$work/profile" KELVADROME_MACHINE_PROFILE="$work/machine"
export KELVADROME_DIALOGS=gui KELVADROME_DIALOG_HELPER="$helper"

# Sample certificates: a CA and three holders.
certs=$work/certs
openssl req -x509 -newkey rsa:2048 -nodes -keyout "$certs/ca.key" -out "$certs/ca.pem" -days 3650 \
  -utf8 -subj "/C=TW/O=範例憑證管理中心/CN=範例憑證管理中心 CA" 2>/dev/null
ders=()
serial=4096
for holder in 王小明 陳美玲 "Lin Chih-Hao"; do
  serial=$((serial + 1))
  openssl req -newkey rsa:2048 -nodes -keyout "$certs/$serial.key" -out "$certs/$serial.csr" \
    -utf8 -subj "/C=TW/O=範例公司/CN=$holder" 2>/dev/null
  openssl x509 -req -in "$certs/$serial.csr" -CA "$certs/ca.pem" -CAkey "$certs/ca.key" \
    -set_serial "$serial" -days 730 -out "$certs/$serial.pem" 2>/dev/null
  openssl x509 -in "$certs/$serial.pem" -outform der -out "$certs/$serial.der"
  ders+=("$certs/$serial.der")
done
openssl pkcs12 -export -inkey "$certs/4097.key" -in "$certs/4097.pem" -name "王小明" \
  -passout pass:s3cret -out "$pfx/demo.pfx"

# shoot <name> <result> <steps> <command...>: plays the steps on the dialog the command opens; the
# command must print <result>.
shoot() {
  local name=$1 expected=$2 steps=$3
  shift 3
  printf '%s\n' "$steps" >"$work/$name.steps"
  # Run from the folder that holds demo.pfx: the file picker opens there. The X authority file is
  # named, so that xvfb-run makes no folder of its own: when removing that folder fails, it exits
  # without stopping its X server.
  (cd "$pfx" && KELVADROME_DIALOG_DRIVER="$work/$name.steps" \
    xvfb-run -a -f "$work/$name.xauth" -s "-screen 0 1280x1024x24" "$@" >"$work/$name.out" \
      2>"$work/$name.err") || true
  if grep -q '^driver:' "$work/$name.err"; then
    echo "$name: $(grep '^driver:' "$work/$name.err")" >&2
    exit 1
  fi
  if [ "$(cat "$work/$name.out")" != "$expected" ]; then
    echo "$name: expected result $expected, got $(cat "$work/$name.out") ($(cat "$work/$name.err"))" >&2
    exit 1
  fi
  echo "$name: result $expected"
}

shoot pfx-file 5070 "dialog 202
click 301
choose $pfx/demo.pfx
expect 302 $pfx/demo.pfx
type 303 s3cret
shot dialog-202 $out/pfx-file.png
click 301
shot open-file $out/open-file.png
cancel-picker
expect 302 $pfx/demo.pfx
escape" "$build/kelvadrome" call ImportPfxToIE "" "" "" 1 0

shoot pfx-export 5070 "dialog 206
expect 302 $work/demo.pfx
click 301
shot browse-folder $out/browse-folder.png
choose $pfx
expect 302 $pfx/demo.pfx
type 303 s3cret
type 304 s3cre
shot dialog-206 $out/pfx-export.png
click 1
shot message $out/message.png
message-ok
escape" "$gallery" pfx-export "$work"

shoot change-password 5070 "dialog 203
type 303 s3cret
type 304 n3w-pass
type 305 n3w-pass
shot dialog-203 $out/change-password.png
escape" "$gallery" change-password "$pfx"

shoot cert-list 5070 "dialog 204
select 1
shot dialog-204 $out/cert-list.png
click 302
viewer
shot certificate $out/certificate-viewer.png
close-viewer
escape" "$gallery" cert-list "$pfx" "${ders[@]}"

shoot sign-confirm 1 "dialog 201
shot dialog-201 $out/sign-confirm.png
escape" "$gallery" sign-confirm "$pfx" "${ders[0]}"

shoot key-use 1 "dialog key-use
shot dialog-key-use $out/key-use.png
escape" "$gallery" key-use "$pfx"

shoot consent 3 "dialog consent
shot dialog-consent $out/consent.png
escape" "$gallery" consent "$pfx"

shoot path-pick 1 "dialog path-pick
shot dialog-path-pick $out/path-pick.png
escape" "$gallery" path-pick "$pfx"

shoot confirm-delete 1 "dialog confirm-delete
shot dialog-confirm-delete $out/confirm-delete.png
escape" "$gallery" confirm-delete "$pfx"

# The PIN after a wrong one: typed, kept for the session, OK (4 characters + 100 for keeping).
shoot pin 104 "dialog pin
type 401 1234
check 402
shot dialog-pin $out/pin.png
click 1" "$gallery" pin "$pfx"

shoot token-choice 1 "dialog token-choice
select 1
shot dialog-token-choice $out/token-choice.png
click 1" "$gallery" token-choice "$pfx"

ls -1 "$out"
