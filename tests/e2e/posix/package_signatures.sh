#!/bin/sh
# Signed packages over the wire. Without "TrustedPackageKeys" an unsigned
# program installs as ever; once the setting names a key file (read again
# when the configuration changes), only a package that a trusted key signed
# with openssl installs, and each kind of bad or missing signature is
# refused with its text while the program never runs. A container is signed
# as one file. vornsvc --check names the keys; a missing key file stops the
# start.
set -eu
: "${VORN_BIN:?build directory}" "${VORN_SRC:?source directory}"
vornpkg="$VORN_BIN/tools/vornpkg/vornpkg"
vornctl="$VORN_BIN/tools/vornctl/vornctl"
command -v openssl >/dev/null || { echo "skip: no openssl"; exit 77; }
work=$(mktemp -d)
service_pid=
cleanup() {
  [ -z "$service_pid" ] || kill "$service_pid" 2>/dev/null || true
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT INT TERM
fail() { echo "FAIL: $*" >&2; echo "--- service log" >&2; tail -n 40 "$work/service.log" >&2; exit 1; }

transfer="$work/transfer"
mkdir -p "$work/pkg" "$work/keys"
# The registry file: the base, optionally with the keys setting.
write_registry() {
  cp "$VORN_SRC/config/default-registry.reg" "$work/registry.new"
  cat >>"$work/registry.new" <<REG

[HKEY_LOCAL_MACHINE\\SOFTWARE\\Marrow&Keplin\\Trellane]
"SoftwareInstallationPath"="$transfer"
"RebootCommand"="true"
REG
  if [ -n "${1:-}" ]; then
    cat >>"$work/registry.new" <<REG

[HKEY_LOCAL_MACHINE\\SOFTWARE\\Marrow&Keplin\\Trellane\\ServiceConfiguration\\InstallServer]
"TrustedPackageKeys"="$1"
REG
  fi
  mv "$work/registry.new" "$work/registry.reg"
}

openssl ecparam -name prime256v1 -genkey -noout -out "$work/keys/lab.pem"
openssl ec -in "$work/keys/lab.pem" -pubout -out "$work/keys/lab.pub" 2>/dev/null
openssl ecparam -name prime256v1 -genkey -noout -out "$work/keys/other.pem"
openssl ec -in "$work/keys/other.pem" -pubout -out "$work/keys/other.pub" 2>/dev/null
# The trusted file holds a second key too: any of them may sign.
cat "$work/keys/other.pub" "$work/keys/lab.pub" >"$work/keys/trusted.pem"
openssl ecparam -name prime256v1 -genkey -noout -out "$work/keys/stranger.pem"
lab_fingerprint=$(openssl pkey -pubin -in "$work/keys/lab.pub" -outform DER | sha256sum | cut -d' ' -f1)

# pkg NAME: a program that leaves ran-NAME.txt, with its description.
pkg() {
  printf '#!/bin/sh\ntouch ran-%s.txt\n' "$1" >"$work/pkg/$1.sh"
  "$vornpkg" create --name "$1" --file "$1.sh" --type exe --command-line "case $1" \
    "$work/pkg/$1.sh.mki" >/dev/null
}
sign() {  # sign NAME KEY: what a lab does with the tools it has
  cat "$work/pkg/$1.sh.mki" "$work/pkg/$1.sh" |
    openssl dgst -sha256 -sign "$work/keys/$2.pem" -out "$work/pkg/$1.sh.sig"
}
install() {  # install NAME [vornctl options]: the last line of vornctl
  name=$1
  shift
  "$vornctl" install 127.0.0.1 --device 1234.5678.02 "$@" "$work/pkg/$name.sh.mki" \
    "$work/pkg/$name.sh" >"$work/$name.out" 2>&1 || true
  tail -n 1 "$work/$name.out"
}

write_registry ""
# A checked copy that an earlier run kept for a restart goes at the start.
mkdir -p "$transfer"
stale="$transfer/~vorn-verified-0123456789abcdef.sh"
echo "kept for a restart" >"$stale"
. "$VORN_SRC/tests/shell/service.sh"
service_start "$work/registry.reg" "$work/service.log"

grep -qxF "VORN: Removed a stale verified copy of a package: $stale" "$work/service.log" &&
  [ ! -e "$stale" ] || fail "the stale verified copy was not removed at the start"

# Without the setting nothing is checked: an unsigned package installs.
pkg plain
[ "$(install plain)" = "installed" ] || fail "unsigned package without keys: $(cat "$work/plain.out")"
[ -f "$transfer/ran-plain.txt" ] || fail "the unsigned program did not run without keys"

# The setting takes effect when the configuration changes.
write_registry "$work/keys/trusted.pem"
i=0
until grep -q 'TrustedPackageKeys\|trusted' "$work/service.log" 2>/dev/null || [ $i -ge 20 ]; do
  i=$((i + 1)); sleep 0.1
done
sleep 1

pkg good
sign good lab
pkg unsigned
pkg stranger
sign stranger stranger
pkg data_changed
sign data_changed lab
printf '\n' >>"$work/pkg/data_changed.sh"
pkg description_changed
sign description_changed lab
# One byte of the command line text: "case description_changed" -> "case Description_changed".
/usr/bin/python3 - "$work/pkg/description_changed.sh.mki" <<'PY'
import sys
path = sys.argv[1]
data = bytearray(open(path, "rb").read())
at = data.index(b"case description_changed") + 5
data[at] = ord("D")
open(path, "wb").write(bytes(data))
PY
pkg garbage
head -c 71 /dev/urandom >"$work/pkg/garbage.sh.sig"
pkg truncated
sign truncated lab
head -c 20 "$work/pkg/truncated.sh.sig" >"$work/pkg/truncated.sig.part"
mv "$work/pkg/truncated.sig.part" "$work/pkg/truncated.sh.sig"

missing="failed: package signature missing"
untrusted="failed: package not signed by a trusted key"
while read -r name expected; do
  case "$expected" in
    installed) want=installed ;;
    missing) want=$missing ;;
    untrusted) want=$untrusted ;;
  esac
  text=$(echo "$want" | sed 's/^failed: //')
  before=$(grep -cx "$text" "$work/service.log" || true)
  got=$(install "$name")
  [ "$got" = "$want" ] || fail "$name: expected '$want', got '$got': $(cat "$work/$name.out")"
  if [ "$expected" = installed ]; then
    [ -f "$transfer/ran-$name.txt" ] || fail "$name: the program did not run"
  else
    [ ! -e "$transfer/ran-$name.txt" ] || fail "$name: a refused program ran"
    # Logged once: one line of its own for each refusal.
    after=$(grep -cx "$text" "$work/service.log" || true)
    [ "$after" -eq $((before + 1)) ] || fail "$name: logged $((after - before)) times, not once"
  fi
done <<CASES
good installed
unsigned missing
stranger untrusted
data_changed untrusted
description_changed untrusted
garbage untrusted
truncated untrusted
CASES

! ls -A "$transfer" | grep -q '^~vorn-' || fail "a checked copy stayed: $(ls -A "$transfer")"

# --signature names a signature file elsewhere; the one next to the package is ignored then.
pkg elsewhere
cat "$work/pkg/elsewhere.sh.mki" "$work/pkg/elsewhere.sh" |
  openssl dgst -sha256 -sign "$work/keys/lab.pem" -out "$work/elsewhere.signature"
[ "$(install elsewhere --signature "$work/elsewhere.signature")" = "installed" ] ||
  fail "--signature: $(cat "$work/elsewhere.out")"

# vornpkg sign makes the same kind of signature, and verify and show agree with the service.
pkg bytool
"$vornpkg" sign --key "$work/keys/lab.pem" "$work/pkg/bytool.sh.mki" "$work/pkg/bytool.sh" >/dev/null ||
  fail "vornpkg sign"
"$vornpkg" verify --keys "$work/keys/trusted.pem" "$work/pkg/bytool.sh.mki" "$work/pkg/bytool.sh" |
  grep -q "$lab_fingerprint" || fail "vornpkg verify does not name the lab key"
"$vornpkg" show --keys "$work/keys/trusted.pem" "$work/pkg/bytool.sh.mki" |
  grep -q "^Signature: .*bytool.sh.sig by SHA-256 $lab_fingerprint$" || fail "vornpkg show"
! "$vornpkg" verify --keys "$work/keys/trusted.pem" "$work/pkg/data_changed.sh.mki" \
  "$work/pkg/data_changed.sh" >/dev/null 2>&1 || fail "vornpkg verify took a changed data file"
[ "$(install bytool)" = "installed" ] || fail "vornpkg-signed: $(cat "$work/bytool.out")"

# A container is signed as one file and vouches for its entries.
printf '#!/bin/sh\ntouch ran-entry.txt\n' >"$work/pkg/entry.sh"
"$vornpkg" create --name Entry --file entry.sh --type exe "$work/pkg/entry.sh.mki" >/dev/null
"$vornpkg" container --entry "Entry=$work/pkg/entry.sh.mki:$work/pkg/entry.sh" "$work/pkg/tools.bin" >/dev/null
"$vornctl" install 127.0.0.1 --device 1234.5678.02 --container "$work/pkg/tools.bin::Entry" \
  >"$work/container.out" 2>&1 || true
[ "$(tail -n 1 "$work/container.out")" = "$missing" ] || fail "unsigned container: $(cat "$work/container.out")"
[ ! -e "$transfer/ran-entry.txt" ] && [ ! -e "$transfer/entry.sh" ] ||
  fail "an entry of an unsigned container was extracted or ran"
openssl dgst -sha256 -sign "$work/keys/lab.pem" -out "$work/pkg/tools.bin.sig" "$work/pkg/tools.bin"
"$vornctl" install 127.0.0.1 --device 1234.5678.02 --container "$work/pkg/tools.bin::Entry" \
  >"$work/container.out" 2>&1 || fail "signed container: $(cat "$work/container.out")"
[ -f "$transfer/ran-entry.txt" ] || fail "the signed container's entry did not run"

# --check names the keys; a key file that is gone stops the start with its reason.
"$VORN_BIN/vornsvc" --registry "$work/registry.reg" --check >"$work/check.out" 2>&1 ||
  fail "--check: $(cat "$work/check.out")"
grep -q "^Trusted package keys: $work/keys/trusted.pem (2 key(s)" "$work/check.out" &&
  grep -q "^  SHA-256 $lab_fingerprint$" "$work/check.out" || fail "--check: $(cat "$work/check.out")"
kill "$service_pid"
wait "$service_pid" 2>/dev/null || true
service_pid=
write_registry "$work/keys/none.pem"
status=0
"$VORN_BIN/vornsvc" --registry "$work/registry.reg" --check >"$work/check.out" 2>&1 || status=$?
[ "$status" -ne 0 ] && grep -q 'TrustedPackageKeys.*none.pem.*cannot be opened' "$work/check.out" ||
  fail "--check with a missing key file: $status $(cat "$work/check.out")"
status=0
timeout 10 "$VORN_BIN/vornsvc" --registry "$work/registry.reg" 2>"$work/start.log" || status=$?
[ "$status" -ne 0 ] && [ "$status" -ne 124 ] && grep -q 'none.pem.*cannot be opened' "$work/start.log" ||
  fail "a missing key file did not stop the start ($status): $(cat "$work/start.log")"
echo "ok: only packages a trusted key signed install; each bad signature is refused with its text"
