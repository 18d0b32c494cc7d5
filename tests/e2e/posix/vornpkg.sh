#!/bin/sh
# vornpkg end to end: create then show --json gives back every field, the
# type words map to their values, validate refuses damaged files with the
# reader's text, and a container is listed and extracted byte-identical
# (the later of two entries with the same name wins).
set -eu
pkg="$VORN_BIN/tools/vornpkg/vornpkg"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() {
  echo "FAIL: $*" >&2
  exit 1
}
cd "$work"

# create -> show --json: every field.
"$pkg" create tool.exe.mki --name 'Tool "X"' --file 'sub\tool.exe' --command-line '/quiet A="b c"' \
  --type exe --exec-type 2 --flags 0x1 --delete-after --chunk-size 4096 --wait 30 >/dev/null
"$pkg" show --json tool.exe.mki >tool.json
size=$(wc -c <tool.exe.mki)
python3 - "$size" <<'PY' || fail "show --json did not give back the fields"
import json, re, sys
size = int(sys.argv[1])
d = json.load(open("tool.json"))
expected = {
    "FormatVersion": 1, "WriterRevision": 35, "Name": 'Tool "X"', "FileName": "sub\\tool.exe",
    "CommandLine": '/quiet A="b c"', "InstallWaitSeconds": 30, "PackageType": 0,
    "PackageTypeName": "exe", "ChunkSize": 4096, "ExecType": 2, "Flags": 0x101,
    "Reserved1": 0xFFFFFFFF, "Reserved2": 0, "Reserved3": 0, "EntrySize": size, "RecordSize": size,
}
for t in ("Text2", "Text3", "Text4", "Text5", "Text8", "Text9", "Text10", "Text11"):
    expected[t] = ""
bad = {k: (d.get(k), v) for k, v in expected.items() if d.get(k) != v}
ids = d.get("Identifiers", [])
if len(ids) != 1 or not re.fullmatch(r"\{[0-9A-F]{8}(-[0-9A-F]{4}){3}-[0-9A-F]{12}\}", ids[0]):
    bad["Identifiers"] = ids
if size != 120 + len('Tool "X"') + len("sub\\tool.exe") + len('/quiet A="b c"'):
    bad["size"] = size
if bad:
    print(bad, file=sys.stderr)
    sys.exit(1)
PY

for pair in exe=0 msi=1 data=2 post=4 none=5 7=7; do
  "$pkg" create t.mki --name T --file f --type "${pair%=*}" >/dev/null
  got=$("$pkg" show --json t.mki | python3 -c 'import json,sys; print(json.load(sys.stdin)["PackageType"])')
  [ "$got" = "${pair#*=}" ] || fail "--type ${pair%=*} gave PackageType $got"
done

status=0
"$pkg" create x.mki --name T --file f --chunk-size 102401 2>err || status=$?
[ "$status" -eq 2 ] || fail "chunk size above the block limit accepted (exit $status)"

# validate: a good file, then damage at the places the reader checks.
"$pkg" validate tool.exe.mki >valid || fail "validate refused a good file: $(cat valid)"
damage() { # name offset-from-end byte
  cp tool.exe.mki "$1"
  printf "$3" | dd of="$1" bs=1 seek=$(($(wc -c <"$1") - $2)) conv=notrunc 2>/dev/null
}
damage trailer.mki 12 'X'
damage recordsize.mki 4 "$(printf '\\%03o' $((size + 1)))"
head -c 5 tool.exe.mki >short.mki
printf 'not a description at all' >text.mki
for c in "trailer.mki:Not a M&K Package Description or corrupted file" \
  "recordsize.mki:Invalid M&K Package Description or corrupted file" \
  "short.mki:Not a M&K Package Description" \
  "text.mki:Not a M&K Package Description"; do
  file=${c%%:*}
  text=${c#*:}
  status=0
  "$pkg" validate "$file" >/dev/null 2>err || status=$?
  [ "$status" -eq 1 ] || fail "validate $file: exit $status, expected 1"
  grep -qx "vornpkg: $file: $text" err || fail "validate $file: $(cat err)"
done

# container -> list -> extract.
head -c 100000 /dev/urandom >big.bin
printf 'second payload' >b.bin
head -c 20000 /dev/urandom >third.bin
"$pkg" create a.mki --name ignored --file 'pkg/setup.msi' >/dev/null
"$pkg" create b.mki --name B --file 'tool.exe' --type exe >/dev/null
"$pkg" container all.mkc --entry A=a.mki:big.bin --entry B=b.mki:b.bin \
  --entry A=a.mki:third.bin --entry Empty=b.mki >/dev/null
"$pkg" list all.mkc >list
grep -Eq '^1 +A +100000 +msi +pkg/setup.msi +\(replaced by entry 3\)$' list || fail "list: $(cat list)"
grep -Eq '^2 +B +14 +exe +tool.exe$' list || fail "list: $(cat list)"
grep -Eq '^3 +A +20000 +msi +pkg/setup.msi$' list || fail "list: $(cat list)"
grep -Eq '^4 +Empty +0 +exe +tool.exe$' list || fail "list: $(cat list)"
"$pkg" list --json all.mkc >list.json
python3 - <<'PY' || fail "list --json: $(cat list.json)"
import json, sys
text = open("list.json", encoding="utf-8").read()
entries = json.loads(text)
got = [(e["Description"]["Name"], e["PayloadLength"], e["Selected"]) for e in entries]
want = [("A", 100000, False), ("B", 14, True), ("A", 20000, True), ("Empty", 0, True)]
if got != want:
    print(got, file=sys.stderr)
    sys.exit(1)
# One array laid out with two spaces per level, however it is written.
if text != json.dumps(entries, indent=2, ensure_ascii=False) + "\n":
    sys.exit(1)
PY

"$pkg" extract all.mkc A out >/dev/null
cmp -s out/setup.msi third.bin || fail "extract A is not the third entry's payload"
"$pkg" show --json out/setup.msi.mki | grep -q '"Name": "A"' || fail "extracted description"
"$pkg" extract all.mkc B out >/dev/null
cmp -s out/tool.exe b.bin || fail "extract B differs"

# A FileName that climbs out of the target directory lands inside it.
"$pkg" create up.mki --name Up --file '../..\escape.bin' >/dev/null
"$pkg" container up.mkc --entry Up=up.mki:b.bin >/dev/null
mkdir -p deep/er
"$pkg" extract up.mkc Up deep/er >/dev/null
cmp -s deep/er/escape.bin b.bin || fail "payload not extracted into the directory given"
[ ! -e deep/escape.bin ] && [ ! -e escape.bin ] || fail "extract wrote outside the directory given"

status=0
"$pkg" extract all.mkc Missing out >/dev/null 2>err || status=$?
[ "$status" -eq 1 ] && grep -q 'Specified MKI package not found' err || fail "missing entry: $(cat err)"
status=0
"$pkg" list big.bin >/dev/null 2>err || status=$?
[ "$status" -eq 1 ] || fail "list of a file without entries: exit $status"
status=0
"$pkg" extract all.mkc A valid >/dev/null 2>err || status=$?
[ "$status" -eq 1 ] && grep -q 'cannot create directory valid' err || fail "extract into a file: $(cat err)"
echo "vornpkg: all checks passed"
