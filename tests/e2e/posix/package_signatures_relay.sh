#!/bin/sh
# A relayed installation is checked by the far server with its own keys: the
# tool reaches only A, which trusts a key of its own; B trusts the lab's key.
# The signature file travels through A to B beside the package; B installs
# what the lab signed and refuses an unsigned package and one that only A's
# key signed, each with its text, while nothing runs and nothing lands on A.
#
#   lan1 198.51.100.0/24    tool .10, A .1
#   lan2 203.0.113.0/24     A .1, B .2
set -eu
command -v openssl >/dev/null || { echo "SKIP: no openssl"; exit 77; }
. "$VORN_SRC/tests/netlab/netlab.sh"
netlab_init

ctl="$VORN_BIN/tools/vornctl/vornctl"
pkg="$VORN_BIN/tools/vornpkg/vornpkg"
out="$NETLAB_WORK/out"
keys="$NETLAB_WORK/keys"
mkdir -p "$keys" "$NETLAB_WORK/pkg"
for key in lab relay; do
  openssl ecparam -name prime256v1 -genkey -noout -out "$keys/$key.pem"
  openssl ec -in "$keys/$key.pem" -pubout -out "$keys/$key.pub" 2>/dev/null
done
keys_key='[HKEY_LOCAL_MACHINE\SOFTWARE\Marrow&Keplin\Trellane\ServiceConfiguration\InstallServer]'

netlab_net lan1
netlab_net lan2
netlab_host tool lan1 198.51.100.10/24
netlab_host A lan1 198.51.100.1/24 lan2 203.0.113.1/24
netlab_host B lan2 203.0.113.2/24
netlab_service A DEFAULT "$keys_key" "\"TrustedPackageKeys\"=\"$keys/relay.pub\""
netlab_service B DEFAULT "$keys_key" "\"TrustedPackageKeys\"=\"$keys/lab.pub\""
grep -q 'Installing only packages signed by one of 1 key(s)' "$NETLAB_WORK/B.log" ||
  netlab_fail "B does not check packages"

B_ID=$(netlab_vorn_id B)
netlab_scan A "$B_ID"

# package NAME [KEY]: a program that leaves ran-NAME.txt, signed by KEY as a lab does.
package() {
  printf '#!/bin/sh\ntouch ran-%s.txt\n' "$1" >"$NETLAB_WORK/pkg/$1.sh"
  "$pkg" create --name "$1" --file "$1.sh" --type exe "$NETLAB_WORK/pkg/$1.sh.mki" >/dev/null
  [ -z "${2:-}" ] || cat "$NETLAB_WORK/pkg/$1.sh.mki" "$NETLAB_WORK/pkg/$1.sh" |
    openssl dgst -sha256 -sign "$keys/$2.pem" -out "$NETLAB_WORK/pkg/$1.sh.sig"
}
package lab lab
package unsigned
package relay relay

while read -r name want; do
  netlab_exec tool "$ctl" install --via 198.51.100.1 --to "$B_ID" --device __TRL_Tool__ \
    "$NETLAB_WORK/pkg/$name.sh.mki" "$NETLAB_WORK/pkg/$name.sh" </dev/null >"$out" 2>&1 || true
  got=$(tail -n 1 "$out")
  [ "$got" = "$want" ] || netlab_fail "$name: expected '$want', got: $(cat "$out")"
  if [ "$want" = installed ]; then
    [ -f "$NETLAB_WORK/B.transfer/ran-$name.txt" ] || netlab_fail "$name: did not run on B"
  else
    [ ! -e "$NETLAB_WORK/B.transfer/ran-$name.txt" ] || netlab_fail "$name: a refused program ran"
  fi
  if [ -f "$NETLAB_WORK/pkg/$name.sh.sig" ]; then
    cmp -s "$NETLAB_WORK/B.transfer/$name.sh.sig" "$NETLAB_WORK/pkg/$name.sh.sig" ||
      netlab_fail "$name: the signature did not arrive on B byte-identical"
  fi
  [ ! -e "$NETLAB_WORK/A.transfer/$name.sh" ] && [ ! -e "$NETLAB_WORK/A.transfer/$name.sh.sig" ] ||
    netlab_fail "$name: the package landed on A"
done <<CASES
lab installed
unsigned failed: package signature missing
relay failed: package not signed by a trusted key
CASES
grep -qx 'package signature missing' "$NETLAB_WORK/B.log" &&
  grep -qx 'package not signed by a trusted key' "$NETLAB_WORK/B.log" ||
  netlab_fail "B did not log its refusals"
! grep -q 'package signature missing\|not signed by a trusted key' "$NETLAB_WORK/A.log" ||
  netlab_fail "A checked a package it only relayed"
echo "ok: B checked each relayed package with its own keys"
