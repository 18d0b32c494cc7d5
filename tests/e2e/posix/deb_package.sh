#!/bin/sh
# Runs in the plain build only: it checks no C++ beyond what other tests run.
# The Debian package made by CPack from this build: its files and control
# fields, lintian without errors, the maintainer scripts acting like Debian's
# systemd helpers, and an install, upgrade, remove and purge cycle in a
# scratch root (dpkg --root with chrootless maintainer scripts; the machine's
# own system is never touched). An edited configuration file survives the
# upgrade; the installed manual pages read with man.
set -eu
if grep -Eq '^VORN_(SANITIZE|TSAN):BOOL=ON' "$VORN_BIN/CMakeCache.txt"; then
  echo "skipped: the package is made from the linux preset's build"
  exit 0
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() {
  echo "FAIL: $*" >&2
  exit 1
}

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$VORN_BIN/CMakeCache.txt")
newer=$(echo "$version" | awk -F. '{ $NF = $NF + 1; print }' OFS=.)
build_package() {
  cpack -G DEB --config "$VORN_BIN/CPackConfig.cmake" -B "$work/$1" -D CPACK_PACKAGE_VERSION="$1" \
    >"$work/cpack-$1.log" 2>&1 || { cat "$work/cpack-$1.log" >&2; fail "cpack $1"; }
  ls "$work/$1"/vorn_"$1"_*.deb
}
deb=$(build_package "$version")
echo "ok: built $(basename "$deb")"

# Control fields.
field() { dpkg-deb --field "$deb" "$1"; }
[ "$(field Package)" = vorn ] || fail "Package: $(field Package)"
[ "$(field Version)" = "$version" ] || fail "Version: $(field Version)"
[ "$(field Architecture)" = "$(dpkg --print-architecture)" ] || fail "Architecture: $(field Architecture)"
[ "$(field Section)" = admin ] || fail "Section: $(field Section)"
field Maintainer | grep -q '<.*@.*>' || fail "Maintainer: $(field Maintainer)"
depends=$(field Depends)
# From the shared libraries the programs link (directly).
for program in "$VORN_BIN/vornsvc" "$VORN_BIN/tools/vornctl/vornctl" "$VORN_BIN/tools/vornpkg/vornpkg"; do
  for name in $(readelf -d "$program" | sed -n 's/.*Shared library: \[\(.*\)\]/\1/p'); do
    library=$(ldd "$program" | awk -v name="$name" '$1 == name { print $3 }')
    package=$( (dpkg -S "$library" || dpkg -S "$(readlink -f "$library")") 2>/dev/null |
      cut -d: -f1 | head -n 1) || true
    [ -n "$package" ] || fail "no package holds $name ($library)"
    echo "$depends" | tr ',' '\n' | sed 's/(.*//; s/ //g' | grep -qxF "$package" || fail "Depends lacks $package for $name: $depends"
  done
done
echo "$depends" | grep -Eq '(^|, )libc6 \(>= ' || fail "Depends lacks libc6: $depends"
echo "$depends" | grep -q 'init-system-helpers' || fail "Depends lacks init-system-helpers: $depends"
dpkg-deb --ctrl-tarfile "$deb" | tar -t | sort >"$work/control.txt"
for script in ./postinst ./prerm ./postrm ./conffiles ./md5sums; do
  grep -qx "$script" "$work/control.txt" || fail "control archive lacks $script"
done
[ "$(dpkg-deb --info "$deb" conffiles)" = /etc/vorn/registry.reg ] ||
  fail "conffiles: $(dpkg-deb --info "$deb" conffiles)"
echo "ok: control fields, dependencies ($depends) and maintainer scripts"

# Files: exactly these (plus directories), owned by root.
dpkg-deb --contents "$deb" | awk '$1 !~ /^d/ { print $6 }' | sort >"$work/files.txt"
sort >"$work/expected.txt" <<'LIST'
./etc/vorn/registry.reg
./lib/systemd/system/vornsvc.service
./usr/bin/vornctl
./usr/bin/vornpkg
./usr/sbin/vornsvc
./usr/share/doc/vorn/changelog.gz
./usr/share/doc/vorn/copyright
./usr/share/man/man1/vornctl.1.gz
./usr/share/man/man1/vornpkg.1.gz
./usr/share/man/man8/vornsvc.8.gz
LIST
diff -u "$work/expected.txt" "$work/files.txt" || fail "unexpected file list"
dpkg-deb --contents "$deb" | awk '$2 != "root/root" { print; bad = 1 } END { exit bad }' ||
  fail "files not owned by root"
echo "ok: files"

# lintian: no errors (warnings are printed for the record).
lintian --tag-display-limit 0 "$deb" >"$work/lintian.txt" 2>&1 || true
cat "$work/lintian.txt"
! grep -q '^E: ' "$work/lintian.txt" || fail "lintian reports errors"
grep -q '^[EW]: ' "$work/lintian.txt" || echo "ok: lintian clean"

# The maintainer scripts as the systemd helpers would run them on a machine
# where systemd runs: stubs record each call. The check for a running systemd
# (/run/systemd/system) is answered in a mount namespace of this test's own.
mkdir -p "$work/scripts" "$work/stubs"
dpkg-deb --control "$deb" "$work/scripts"
for stub in deb-systemd-helper deb-systemd-invoke systemctl; do
  printf '#!/bin/sh\necho "%s $*" >>"%s"\n' "$stub" "$work/calls.txt" >"$work/stubs/$stub"
  chmod 755 "$work/stubs/$stub"
done
run_script() {
  : >"$work/calls.txt"
  env -u DPKG_ROOT PATH="$work/stubs:$PATH" unshare --mount --propagation private sh -c \
    'mount -t tmpfs tmpfs /run && mkdir -p /run/systemd/system && exec "$@"' script "$@" ||
    fail "$* failed"
  grep -E 'invoke|helper (enable|mask|purge)' "$work/calls.txt" | tr '\n' ';'
}
while IFS='|' read -r script arguments expected; do
  # shellcheck disable=SC2086
  got=$(run_script "$work/scripts/$script" $arguments)
  [ "$got" = "$expected" ] || fail "$script $arguments: calls '$got', expected '$expected'"
  echo "ok: $script $arguments -> $expected"
done <<TABLE
postinst|configure|deb-systemd-helper enable vornsvc.service;deb-systemd-invoke start vornsvc.service;
postinst|configure $version|deb-systemd-helper enable vornsvc.service;deb-systemd-invoke restart vornsvc.service;
prerm|upgrade $newer|
prerm|remove|deb-systemd-invoke stop vornsvc.service;
postrm|upgrade $newer|
postrm|remove|deb-systemd-helper mask vornsvc.service;
postrm|purge|deb-systemd-helper purge vornsvc.service;
TABLE

# The scratch root: an empty dpkg database that knows the packages this one
# depends on as installed (their stanzas copied from this machine's database).
root="$work/root"
admin="$root/var/lib/dpkg"
mkdir -p "$admin/info" "$admin/updates" "$admin/triggers" "$root/var/log"
: >"$admin/available"
for package in $(echo "$depends" | tr ',' '\n' | sed 's/[(|].*//; s/ //g'); do
  dpkg-query --status "$package" >>"$admin/status" || fail "$package is not installed here"
  echo >>"$admin/status"
done
dpkg_root() {
  # Options from this machine's dpkg configuration may exclude paths (such as
  # manual pages): everything is included here.
  dpkg --root="$root" --log="$root/var/log/dpkg.log" --force-script-chrootless \
    --path-include='*' "$@" </dev/null >>"$work/dpkg.log" 2>&1 || {
    cat "$work/dpkg.log" >&2
    fail "dpkg $*"
  }
}
status() { dpkg-query --admindir="$admin" -W -f='${Status} ${Version}' vorn 2>/dev/null || true; }
wants="$root/etc/systemd/system/multi-user.target.wants/vornsvc.service"

dpkg_root --install "$deb"
[ "$(status)" = "install ok installed $version" ] || fail "after install: $(status)"
for file in $(cat "$work/expected.txt"); do
  [ -e "$root/${file#./}" ] || fail "not installed: $file"
done
[ -L "$wants" ] || fail "unit not enabled after install"
grep -qx 'ExecStart=/usr/sbin/vornsvc --registry /etc/vorn/registry.reg' \
  "$root/lib/systemd/system/vornsvc.service" || fail "unit does not run the installed service"
"$root/usr/sbin/vornsvc" --check --registry "$root/etc/vorn/registry.reg" >"$work/check.txt" ||
  fail "the installed configuration does not read: $(cat "$work/check.txt")"
echo "ok: installed, unit enabled, configuration reads"

# man from the installed tree.
MANPATH="$root/usr/share/man" MANPAGER=cat MANWIDTH=100 man vornctl 2>"$work/man.err" >"$work/man.txt" ||
  fail "man vornctl: $(cat "$work/man.err")"
grep -q 'vornctl - find installation servers' "$work/man.txt" || fail "man vornctl: no NAME line"
grep -q 'vornctl discover' "$work/man.txt" || fail "man vornctl: subcommands missing"
grep -q -- '--version' "$work/man.txt" || fail "man vornctl: options of --help missing"
MANPATH="$root/usr/share/man" MANPAGER=cat man 8 vornsvc 2>/dev/null | grep -q -- '--registry' ||
  fail "man 8 vornsvc"
MANPATH="$root/usr/share/man" MANPAGER=cat man vornpkg 2>/dev/null | grep -q 'vornpkg create' ||
  fail "man vornpkg"
echo "ok: man vornctl, man 8 vornsvc and man vornpkg read from the installed tree"

# The administrator edits the configuration; the upgrade keeps it.
cat >>"$root/etc/vorn/registry.reg" <<'REG'

[HKEY_LOCAL_MACHINE\SOFTWARE\Marrow&Keplin\Trellane\Analyzer7]
"MaterialNumber"="1234.5678.90"
"SerialNumber"="100042"
REG
cp "$root/etc/vorn/registry.reg" "$work/edited.reg"
mkdir -p "$root/var/lib/vorn/transfer" && echo left >"$root/var/lib/vorn/transfer/left.msi"

deb2=$(build_package "$newer")
dpkg_root --install "$deb2"
[ "$(status)" = "install ok installed $newer" ] || fail "after upgrade: $(status)"
cmp "$work/edited.reg" "$root/etc/vorn/registry.reg" || fail "the upgrade changed the edited configuration"
! ls "$root/etc/vorn/"*.dpkg-* 2>/dev/null || fail "the upgrade left conffile copies"
[ -L "$wants" ] || fail "unit not enabled after upgrade"
"$root/usr/sbin/vornsvc" --check --registry "$root/etc/vorn/registry.reg" | grep -q 1234.5678.90 ||
  fail "the upgraded service does not see the edited configuration"
echo "ok: upgraded to $newer, edited configuration kept"

dpkg_root --remove vorn
[ "$(status)" = "deinstall ok config-files $newer" ] || fail "after remove: $(status)"
[ ! -e "$root/usr/sbin/vornsvc" ] || fail "vornsvc left after remove"
cmp "$work/edited.reg" "$root/etc/vorn/registry.reg" || fail "remove touched the configuration"
[ "$(readlink "$root/etc/systemd/system/vornsvc.service")" = /dev/null ] || fail "unit not masked after remove"
echo "ok: removed, configuration kept, unit masked"

dpkg_root --purge vorn
[ -z "$(status)" ] || [ "$(status)" = "unknown ok not-installed " ] || fail "after purge: $(status)"
[ ! -e "$root/etc/vorn" ] || fail "/etc/vorn left after purge"
[ ! -e "$root/var/lib/vorn" ] || fail "/var/lib/vorn left after purge"
[ ! -e "$wants" ] && [ ! -L "$root/etc/systemd/system/vornsvc.service" ] ||
  fail "enablement or mask left after purge"
echo "ok: purged: configuration, transfer directory, enablement and mask gone"
