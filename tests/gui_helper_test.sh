#!/usr/bin/env bash
# The graphical dialog helper as a person uses it: `kelvadrome call ImportPfxToIE "" "" "" 1 0`
# with KELVADROME_DIALOGS=gui under Xvfb shows the PFX file and password dialog in the real helper,
# where QtTest (kelvadrome-dialog-test, test_driver.h) clicks and types; the worker's result and the
# profile tell what came of it.
#   gui_helper_test.sh <kelvadrome> <kelvadrome-dialog-test>
set -uo pipefail
cli=$1
helper=$2
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
export KELVADROME_PROFILE="$scratch/profile" KELVADROME_MACHINE_PROFILE="$scratch/machine"
export KELVADROME_DIALOGS=gui KELVADROME_DIALOG_HELPER="$helper" XDG_RUNTIME_DIR="$scratch/run"
mkdir -m 700 "$scratch/run"
failures=0
check() {  # check <description> <expected> <actual>
  if [ "$2" != "$3" ]; then
    echo "FAILED: $1: expected [$2], got [$3]" >&2
    failures=$((failures + 1))
  fi
}

openssl req -x509 -newkey rsa:2048 -nodes -keyout "$scratch/key.pem" -out "$scratch/cert.pem" \
  -utf8 -subj "/CN=視窗 測試/O=Demo" -days 30 2>/dev/null
openssl pkcs12 -export -inkey "$scratch/key.pem" -in "$scratch/cert.pem" -name "GUI import" \
  -passout pass:s3cret -out "$scratch/a.pfx"
thumbprint=$(openssl x509 -in "$scratch/cert.pem" -noout -fingerprint -sha1 | sed 's/.*=//; s/://g')

# run <name> <driver steps>: the worker's output; the helper's own errors go to <name>.err.
run() {
  printf '%s\n' "$2" >"$scratch/$1.steps"
  KELVADROME_DIALOG_DRIVER="$scratch/$1.steps" KELVADROME_DIALOG_LOG="$scratch/$1.log" \
    timeout 120 xvfb-run -a -f "$scratch/$1.xauth" -s "-screen 0 1280x1024x24" \
    "$cli" call ImportPfxToIE "" "" "" 1 0 2>"$scratch/$1.err"
}

# Cancelled with Escape: the worker reports the user's cancel, nothing is imported.
check "escape cancels" "5070" "$(run escape $'dialog 202\nescape')"
check "nothing imported after cancel" "[]" "$("$cli" certs --json)"

# A path typed that names no file: OK shows the model's message box and keeps the dialog; then a
# wrong password is refused by the worker.
check "missing file, then a wrong password" "5208" "$(run wrong $'dialog 202
type 302 '"$scratch"$'/missing.pfx
type 303 s3cret
click 1
message-ok
type 302 '"$scratch"$'/a.pfx
type 303 wrong
click 1')"
grep -q "^message .*missing.pfx" "$scratch/wrong.log" ||
  { echo "FAILED: no message box for the missing file" >&2; failures=$((failures + 1)); }

# The file picked with the Qt file dialog, the password typed, OK: imported.
check "browse, type, OK imports" "0" "$(run accept $'dialog 202
click 301
choose '"$scratch"$'/a.pfx
type 303 s3cret
click 1')"
case "$("$cli" certs --json)" in
  *"\"thumbprint\":\"$thumbprint\""*'"friendlyName":"GUI import"'*) ;;
  *) echo "FAILED: the imported certificate is not listed" >&2; failures=$((failures + 1)) ;;
esac
check "the log saw the picker answered" "close open-file ok" \
  "$(grep -m1 '^close open-file' "$scratch/accept.log")"

# No display to show it on: the helper cannot start its toolkit and exits, and the dialog is the one
# that cannot be created, at once (the timeout only guards against a hang).
check "display gone" "5002" \
  "$(env -u WAYLAND_DISPLAY DISPLAY=:1999 timeout 60 "$cli" call ImportPfxToIE "" "" "" 1 0 2>/dev/null)"

for name in escape wrong accept; do
  if grep -q '^driver:' "$scratch/$name.err"; then
    echo "FAILED: $name: $(grep '^driver:' "$scratch/$name.err")" >&2
    failures=$((failures + 1))
  fi
done
echo "gui helper: $failures failure(s)" >&2
[ "$failures" -eq 0 ]
