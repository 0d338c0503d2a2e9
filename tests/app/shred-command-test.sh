#!/usr/bin/env bash
# The main-job command (scripts/shred) run as a user runs it, on real Linux files in a folder of its own
# inside the build folder, with no display (the build's own virtual display) and --yes:
#   - a folder holding a file named "..\victim.txt": the victim beside the folder survives;
#   - a folder holding symbolic links (pointing inside the test's folder): refused, nothing touched;
#   - a folder holding a name that ends in a dot or a space, or a device name: refused, nothing touched;
#   - a folder link named in any spelling ("link/", "link/.", "link//") or a ".." after a link: refused;
#   - a folder holding a mount point, a file that is a mount point: refused (where mounts can be made);
#   - a folder holding a file with other names (hard links), such a file named itself: refused;
#   - names that differ only in case given together, and the console device names: refused;
#   - a job that fails (a folder whose entries cannot be renamed): the failure's box is answered and
#     printed, the command exits non-zero, the file it wrote to is "partly overwritten", nothing is "gone",
#     and files made in the folder while the job runs are not called partly overwritten;
#   - the recycle bin with an item in the prefix's C: bin and one in the Linux trash: the first is
#     shredded, the trashed one is left and the bin is not emptied;
#   - the usage names "--".
#   shred-command-test.sh --build-dir B
set -uo pipefail
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
[ "${1:-}" = --build-dir ] || { echo "usage: $0 --build-dir B" >&2; exit 2; }
BUILD_DIR=$(cd "$2" && pwd)
SHRED=$ROOT/scripts/shred
unset DISPLAY XDG_DATA_HOME

WORK=$(mktemp -d "$BUILD_DIR/shred-command-test.XXXXXX")
PREFIX=$BUILD_DIR/wineprefix
SID=S-1-5-21-0-0-0-1000
SYSTEM_BIN=$PREFIX/drive_c/\$Recycle.Bin
TRASH=$BUILD_DIR/wine-home/.local/share/Trash
TRASHED=pellumar-shred-command-test-marker.txt
made_bin=0
MOUNTS=()   # mount points made by the test, undone whatever happens
cleanup() {
  local point
  for point in "${MOUNTS[@]}"; do umount "$point" 2>/dev/null || umount -l "$point" 2>/dev/null; done
  [ -z "${LATE_PID:-}" ] || kill "$LATE_PID" 2>/dev/null
  chattr -R -a -i "$WORK" 2>/dev/null
  rm -rf "$WORK"
  [ "$made_bin" = 0 ] || rm -rf "$SYSTEM_BIN"
  rm -f "$TRASH/files/$TRASHED" "$TRASH/info/$TRASHED.trashinfo"
}
trap cleanup EXIT

failures=0
check() { # check DESCRIPTION COMMAND...
  local what=$1; shift
  if "$@"; then echo "ok: $what"; else echo "FAILED: $what"; failures=$((failures + 1)); fi
}
has() { grep -Fq -- "$1" "$WORK/out"; }
lacks() { ! grep -Fq -- "$1" "$WORK/out"; }

# Runs the command; a program left waiting (a box nobody answers) is ended after a generous bound, which
# fails the case.
run() {
  timeout -k 10 240 "$SHRED" --yes --build-dir "$BUILD_DIR" "$@" > "$WORK/out" 2>&1
  rc=$?
  if [ "$rc" = 124 ] || [ "$rc" = 137 ]; then
    echo "the command did not end: a box was left unanswered" >> "$WORK/out"
    "$BUILD_DIR/wine-run" cmd.exe /c taskkill /f /im Pellumar.exe >/dev/null 2>&1
  fi
  sed 's/^/    | /' "$WORK/out"
}

echo "== the usage names --"
"$SHRED" --help > "$WORK/out" 2>&1
check "the usage shows -- before the paths" has "[--] PATH..."

echo "== a name holding a backslash"
mkdir -p "$WORK/one/sel"
printf 'victim\n' > "$WORK/one/victim.txt"
printf 'inside\n' > "$WORK/one/sel/..\\victim.txt"
run "$WORK/one/sel"
check "refused (exit 2)" [ "$rc" = 2 ]
check "the reason is given" has "holds a character Windows names cannot"
check "the victim beside the folder survives" [ "$(cat "$WORK/one/victim.txt")" = victim ]
check "the folder is left" [ -f "$WORK/one/sel/..\\victim.txt" ]

echo "== names that Windows opens as other names"
for name in "report." "report " "con.txt" "con .txt" $'bad\xff'; do
  mkdir -p "$WORK/seven/sel"
  printf 'report\n' > "$WORK/seven/sel/report"
  printf 'odd\n' > "$WORK/seven/sel/$name"
  run "$WORK/seven/sel"
  check "\"$name\" in a folder is refused (exit 2)" [ "$rc" = 2 ]
  check "with its path as the reason" has "$WORK/seven/sel/$name"
  check "and both files are left" [ "$(cat "$WORK/seven/sel/$name")" = odd ] && [ -f "$WORK/seven/sel/report" ]
  rm -rf "$WORK/seven"
done

# Runs the command on paths that it must refuse up front: exit 2, the reason given, and the marker file
# (which the paths reach through a link, a mount or another name) still whole.
refused() { # refused DESCRIPTION REASON MARKER PATH...
  local what=$1 reason=$2 marker=$3; shift 3
  run "$@"
  check "$what: refused (exit 2)" [ "$rc" = 2 ]
  check "$what: the reason is given" has "$reason"
  check "$what: what it reaches is untouched" [ "$(cat "$marker")" = kept ]
}

echo "== a folder link in any spelling"
mkdir -p "$WORK/link/out/real" "$WORK/link/sel"
printf 'kept\n' > "$WORK/link/out/real/keep.txt"
printf 'kept\n' > "$WORK/link/out/beside.txt"
ln -s ../out/real "$WORK/link/sel/link"
for spelling in link/ link/. link// link/./; do
  refused "\"$spelling\"" "refusing a symbolic link" "$WORK/link/out/real/keep.txt" "$WORK/link/sel/$spelling"
done
# Linux resolves "link/.." to the folder that holds what the link points to, not to sel.
refused "a \"..\" after a link" "follows a symbolic link" "$WORK/link/out/beside.txt" "$WORK/link/sel/link/.."
check "the link is left" [ -L "$WORK/link/sel/link" ]

echo "== mount points"
mkdir -p "$WORK/mount/other/m" "$WORK/mount/sel/dir/mnt" "$WORK/mount/files"
printf 'kept\n' > "$WORK/mount/other/m/inside.txt"
printf 'kept\n' > "$WORK/mount/other/file.txt"
: > "$WORK/mount/files/bound.txt"
if mount --bind "$WORK/mount/other/m" "$WORK/mount/sel/dir/mnt" 2>/dev/null; then
  MOUNTS+=("$WORK/mount/sel/dir/mnt")
  refused "a folder holding a bind mount" "holds a mount point" "$WORK/mount/other/m/inside.txt" "$WORK/mount/sel"
  if mount --bind "$WORK/mount/other/file.txt" "$WORK/mount/files/bound.txt" 2>/dev/null; then
    MOUNTS+=("$WORK/mount/files/bound.txt")
    refused "a file that is a mount point" "is a mount point" "$WORK/mount/other/file.txt" "$WORK/mount/files/bound.txt"
  fi
else
  echo "skipped: mount --bind is refused here (not root)"
fi

echo "== files with other names"
mkdir -p "$WORK/hard/out" "$WORK/hard/sel/dir"
printf 'kept\n' > "$WORK/hard/out/keep.txt"
ln "$WORK/hard/out/keep.txt" "$WORK/hard/sel/dir/alias.txt"
refused "a folder holding a hard link" "other names (hard links)" "$WORK/hard/out/keep.txt" "$WORK/hard/sel"
refused "a hard link named itself" "other names (hard links)" "$WORK/hard/out/keep.txt" "$WORK/hard/sel/dir/alias.txt"

echo "== names Windows takes for one another"
mkdir -p "$WORK/case/D" "$WORK/case/d"
for name in A.txt a.txt D/kept.txt conin\$ CONOUT\$; do printf 'kept\n' > "$WORK/case/$name"; done
refused "files differing only in case" "differ only in case" "$WORK/case/a.txt" "$WORK/case/A.txt" "$WORK/case/a.txt"
refused "folders differing only in case" "differ only in case" "$WORK/case/D/kept.txt" "$WORK/case/D" "$WORK/case/d"
for name in conin\$ CONOUT\$; do
  refused "\"$name\"" "takes for a device" "$WORK/case/$name" "$WORK/case/$name"
done

echo "== a folder holding symbolic links"
mkdir -p "$WORK/two/sel/inner" "$WORK/two/target-folder"
printf 'target\n' > "$WORK/two/target.txt"
printf 'kept\n' > "$WORK/two/target-folder/kept.txt"
ln -s ../../target.txt "$WORK/two/sel/inner/file-link"
ln -s ../target-folder "$WORK/two/sel/folder-link"
run "$WORK/two/sel"
check "refused (exit 2)" [ "$rc" = 2 ]
check "the reason is given" has "holds a symbolic link"
check "the linked file is untouched" [ "$(cat "$WORK/two/target.txt")" = target ]
check "the linked folder is untouched" [ "$(cat "$WORK/two/target-folder/kept.txt")" = kept ]
check "the links are left" [ -L "$WORK/two/sel/folder-link" ] && [ -L "$WORK/two/sel/inner/file-link" ]

echo "== a job that fails"
# Whether the file still holds nothing but the K it was made of. The whole file is looked at: the program's
# method may be a random pass, whose first byte is a K once in 256 runs.
only_k() { [ "$(tr -d K < "$1" | head -c 1 | wc -c)" = 0 ]; }
written_to() { ! only_k "$1"; }
mkdir -p "$WORK/four/stuck"
printf 'plain\n' > "$WORK/four/plain.txt"
head -c 20000 /dev/zero | tr '\0' K > "$WORK/four/stuck/keep.txt"
# An append-only folder: its file can be written, but no entry of it can be renamed or removed.
if chattr +a "$WORK/four/stuck" 2>/dev/null; then
  # Files made in the folder while the job runs are none of the job's: once the job has begun to write
  # to keep.txt (where it then fails), a new file every 10 ms.
  ( for _ in $(seq 1 6000); do only_k "$WORK/four/stuck/keep.txt" || break; sleep 0.01; done
    for n in $(seq 1 3000); do printf 'late\n' > "$WORK/four/stuck/late$n.txt"; sleep 0.01; done ) &
  LATE_PID=$!
  run "$WORK/four/plain.txt" "$WORK/four/stuck"
  kill "$LATE_PID" 2>/dev/null; wait "$LATE_PID" 2>/dev/null; LATE_PID=
  check "late files were made during the job" [ -e "$WORK/four/stuck/late1.txt" ]
  check "no late file is called partly overwritten" lacks "partly overwritten: $WORK/four/stuck/late"
  check "exits non-zero" [ "$rc" != 0 ]
  check "ends by itself (the box is answered)" lacks "did not end"
  check "the box's text is printed" has 'message box "'
  check "nothing is called gone" lacks "shred: gone"
  check "the folder is still there" has "still there: $WORK/four/stuck"
  check "the file written to is partly overwritten" has "partly overwritten: $WORK/four/stuck/keep.txt"
  check "the file really was written to" written_to "$WORK/four/stuck/keep.txt"
  chattr -a "$WORK/four/stuck"
else
  echo "skipped: chattr +a is refused here (not root, or a file system without it)"
fi

echo "== the recycle bin with an item in the Linux trash"
if [ -e "$SYSTEM_BIN" ]; then
  echo "FAILED: the prefix already has $SYSTEM_BIN"; failures=$((failures + 1))
else
  made_bin=1
  mkdir -p "$SYSTEM_BIN/$SID" "$TRASH/files" "$TRASH/info"
  printf 'listed\n' > "$SYSTEM_BIN/$SID/\$RSHRED1.txt"
  printf 'trashed\n' > "$TRASH/files/$TRASHED"
  printf '[Trash Info]\nPath=/tmp/%s\nDeletionDate=2026-01-02T03:04:05\n' "$TRASHED" > "$TRASH/info/$TRASHED.trashinfo"
  run --recycle-bin
  check "exits non-zero" [ "$rc" != 0 ]
  check "the listed item is shredded" [ ! -e "$SYSTEM_BIN/$SID/\$RSHRED1.txt" ]
  check "and said so" has "shredded: $SYSTEM_BIN/$SID/\$RSHRED1.txt"
  check "the trashed item is left" [ "$(cat "$TRASH/files/$TRASHED")" = trashed ]
  check "the bin is said not to be emptied" has "the recycle bin was not emptied"
  check "the item left is named" has "$TRASH/files/$TRASHED"
  check "the program's box is printed" has "not shredded"
fi

[ "$failures" = 0 ] && echo "all cases passed" || echo "$failures checks failed"
exit $((failures == 0 ? 0 : 1))
