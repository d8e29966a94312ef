#!/usr/bin/env bash
# Builds the Debian package from a built tree, unpacks it into a scratch root and runs the
# programs from there: the file list, the control fields, the man pages, and a real download
# from the unpacked romlift-cli to the unpacked vx7r-sim with the image found in drivers/.
#
# usage: package_test.sh BUILD_DIR
set -uo pipefail
build="$(cd "${1:?usage: package_test.sh BUILD_DIR}" && pwd)"
work="$(mktemp -d "${TMPDIR:-/tmp}/romlift-package-test-XXXXXX")"
sim_pid=""
cleanup() {
  if [ -n "$sim_pid" ]; then kill "$sim_pid" 2>/dev/null; wait "$sim_pid" 2>/dev/null; fi
  rm -rf "$work"
}
trap cleanup EXIT
# The downloads below keep their record here, not in the machine's ~/.local/state.
export XDG_STATE_HOME="$work/state"
unset ROMLIFT_RECORD

failures=0
checks=0
check() {  # check DESCRIPTION COMMAND...: runs COMMAND, counts a failure when it fails
  local what="$1"
  shift
  checks=$((checks + 1))
  if ! "$@"; then
    echo "FAILED: $what" >&2
    failures=$((failures + 1))
  fi
}
fatal() {
  echo "FAILED: $*" >&2
  exit 1
}

# --- build the package (cpack's staging goes into the scratch folder, not the build tree) ---
if ! cpack --config "$build/CPackConfig.cmake" -G DEB -B "$work/out" >"$work/cpack.log" 2>&1; then
  cat "$work/cpack.log" >&2
  fatal "cpack could not build the package"
fi
debs=("$work"/out/romlift_*.deb)
[ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || fatal "expected one romlift_*.deb, got: ${debs[*]}"
deb="${debs[0]}"
root="$work/root"
dpkg-deb -x "$deb" "$root" || fatal "dpkg-deb -x failed"
bin="$root/opt/romlift/bin"

# --- control fields ---
field() { dpkg-deb -f "$deb" "$1"; }
version="$("$bin/romlift" --version | sed -n 's/^romlift //p')"
arch="$(dpkg --print-architecture)"
check "package name" test "$(field Package)" = romlift
check "version $(field Version) is the program's $version with Debian revision 1" \
  test "$(field Version)" = "$version-1"
check "architecture $(field Architecture)" test "$(field Architecture)" = "$arch"
check "file name carries name, version and architecture" \
  test "$(basename "$deb")" = "romlift_${version}-1_${arch}.deb"
check "section" test "$(field Section)" = electronics
check "priority" test "$(field Priority)" = optional
check "maintainer names a mail address" grep -Eq '<[^@ ]+@[^> ]+>' <<<"$(field Maintainer)"
check "description has a summary and a long text" \
  test "$(dpkg-deb -f "$deb" Description | wc -l)" -ge 3
depends="$(field Depends)"
depends_names="$(tr ',' '\n' <<<"$depends" | awk '{print $1}')"
for lib in libc6 libstdc++6 libqt6core6 libqt6gui6 libqt6widgets6 libqt6printsupport6; do
  check "Depends names $lib (shlibdeps): $depends" grep -qxF "$lib" <<<"$depends_names"
done
check "Depends names fonts-liberation2 (the dialogs' font): $depends" \
  grep -qxF fonts-liberation2 <<<"$depends_names"
check "Recommends qt6-wayland (the window native on Wayland): $(field Recommends)" \
  test "$(field Recommends)" = qt6-wayland

# --- the file list: exactly these files and links, everything owned by root ---
listing="$(dpkg-deb -c "$deb")"
actual="$(awk '$1 !~ /^d/ {print $6}' <<<"$listing" | sort)"
expected="$(sort <<'LIST'
./lib/udev/rules.d/60-romlift.rules
./opt/romlift/bin/romlift
./opt/romlift/bin/romlift-cli
./opt/romlift/bin/vx7r-sim
./usr/bin/romlift
./usr/bin/romlift-cli
./usr/bin/vx7r-sim
./usr/share/applications/romlift.desktop
./usr/share/icons/hicolor/16x16/apps/romlift.png
./usr/share/icons/hicolor/32x32/apps/romlift.png
./usr/share/icons/hicolor/scalable/apps/romlift.svg
./usr/share/man/man1/romlift-cli.1.gz
./usr/share/man/man1/romlift.1.gz
./usr/share/man/man1/vx7r-sim.1.gz
LIST
)"
check "file list (test programs and benchmarks stay out):
$(diff <(echo "$expected") <(echo "$actual"))" test "$expected" = "$actual"
check "every entry owned by root/root" test -z "$(awk '$2 != "root/root"' <<<"$listing")"
check "drivers/ is shipped as a directory, mode 0755" \
  grep -Eq '^drwxr-xr-x root/root +0 .* \./opt/romlift/bin/drivers/$' <<<"$listing"
check "drivers/ unpacks empty" test -d "$bin/drivers" -a -z "$(ls -A "$bin/drivers")"

for p in romlift romlift-cli vx7r-sim; do
  check "$p is an executable file" test -f "$bin/$p" -a -x "$bin/$p" -a ! -L "$bin/$p"
  check "$p is stripped" sh -c "! readelf -S '$bin/$p' | grep -q '\.debug_info'"
  check "$p carries no run path into the build tree" \
    sh -c "! readelf -d '$bin/$p' | grep -Eq 'RPATH|RUNPATH'"
  link="$root/usr/bin/$p"
  target="$(readlink "$link")"
  case "$target" in
    /*) resolved="$root$target" ;;
    *) resolved="$(dirname "$link")/$target" ;;
  esac
  check "/usr/bin/$p is a link to /opt/romlift/bin/$p (it is '$target')" \
    test -L "$link" -a "$(realpath -m "$resolved")" = "$(realpath "$bin/$p")"
done

# --- the udev rules: harmless as installed, each rule there to be enabled ---
rules="$root/lib/udev/rules.d/60-romlift.rules"
check "60-romlift.rules has only comments and blank lines as installed" \
  test -z "$(grep -Ev '^[[:space:]]*(#|$)' "$rules")"
check "60-romlift.rules offers the ModemManager and low-latency rules, commented out" \
  sh -c "grep -q '^#.*ENV{ID_MM_DEVICE_IGNORE}=\"1\"' '$rules' &&
         grep -q '^#.*ATTR{latency_timer}=\"1\"' '$rules'"

# --- desktop entry and icons ---
desktop="$root/usr/share/applications/romlift.desktop"
exec_cmd="$(sed -n 's/^Exec=\([^ ]*\).*/\1/p' "$desktop")"
check "desktop Exec '$exec_cmd' names a program the package puts on the PATH" \
  test -n "$exec_cmd" -a -L "$root/usr/bin/$exec_cmd"
check "desktop Icon is the installed icon name" grep -qx 'Icon=romlift' "$desktop"
if command -v desktop-file-validate >/dev/null; then
  check "desktop-file-validate" desktop-file-validate "$desktop"
fi
png_size() {  # the width and height in a PNG's header
  od -An -tu1 -j16 -N8 "$1" | awk '{print $1*16777216+$2*65536+$3*256+$4 "x" $5*16777216+$6*65536+$7*256+$8}'
}
for s in 16 32; do
  png="$root/usr/share/icons/hicolor/${s}x${s}/apps/romlift.png"
  check "${s}x${s} icon is a PNG" test "$(od -An -tx1 -N8 "$png" | tr -d ' ')" = 89504e470d0a1a0a
  check "${s}x${s} icon has that size (it is $(png_size "$png"))" test "$(png_size "$png")" = "${s}x${s}"
done
check "the two icons differ (each drawn at its size)" \
  sh -c "! cmp -s '$root/usr/share/icons/hicolor/16x16/apps/romlift.png' '$root/usr/share/icons/hicolor/32x32/apps/romlift.png'"
check "scalable icon is SVG" grep -q '<svg' "$root/usr/share/icons/hicolor/scalable/apps/romlift.svg"

# --- the programs run from the unpacked tree ---
run() {  # run OUT_FILE PROGRAM ARGS...: standard output to OUT_FILE, the exit status returned
  local out="$1"
  shift
  env -u LD_LIBRARY_PATH "$@" >"$out" 2>"$out.err" </dev/null
}
run "$work/models" "$bin/romlift-cli" models
check "romlift-cli models exits 0" test $? -eq 0
"$build/bin/romlift-cli" models >"$work/models.built"
check "romlift-cli models prints what the built program prints" cmp -s "$work/models" "$work/models.built"
check "romlift-cli models lists row 0, VX7R-KT-121B-XXX, prefix PLQ5A, code 10" \
  grep -Eq '^0 +VX7R-KT-121B-XXX +PLQ5A +10$' "$work/models"
check "romlift-cli models lists six models" test "$(grep -c 'VX7R-KT-' "$work/models")" -eq 6
run "$work/cli-help" "$bin/romlift-cli" --help
check "romlift-cli --help exits 0 with its usage" \
  sh -c "[ $? -eq 0 ] && head -n 1 '$work/cli-help' | grep -q '^Usage: romlift-cli download'"
run "$work/sim-help" "$bin/vx7r-sim" --help
check "vx7r-sim --help exits 0 with its usage" \
  sh -c "[ $? -eq 0 ] && head -n 1 '$work/sim-help' | grep -qx 'usage: vx7r-sim \[options\]'"
run "$work/gui-help" "$bin/romlift" --help
check "romlift --help exits 0 with its usage" \
  sh -c "[ $? -eq 0 ] && head -n 1 '$work/gui-help' | grep -q '^Usage: romlift'"

# --- man pages: valid roff, no warnings, every option of --help documented ---
for page in romlift romlift-cli vx7r-sim; do
  gz="$root/usr/share/man/man1/$page.1.gz"
  check "$page.1.gz is gzip" gzip -t "$gz"
  zcat "$gz" | groff -man -Tascii -ww -P-cbou >"$work/$page.txt" 2>"$work/$page.warnings"
  check "$page(1) renders without warnings: $(cat "$work/$page.warnings")" \
    test ! -s "$work/$page.warnings"
  check "$page(1) has NAME, SYNOPSIS, OPTIONS, EXIT STATUS" \
    sh -c "grep -qx NAME '$work/$page.txt' && grep -qx SYNOPSIS '$work/$page.txt' &&
           grep -qx OPTIONS '$work/$page.txt' && grep -qx 'EXIT STATUS' '$work/$page.txt'"
done
for pair in romlift-cli:cli-help vx7r-sim:sim-help romlift:gui-help; do
  page="${pair%%:*}"
  for opt in $(grep -oE -- '--[a-z][a-z-]*' "$work/${pair#*:}" | sort -u); do
    check "$page(1) documents $opt" grep -qF -- "$opt" "$work/$page.txt"
  done
done

# --- a real download: unpacked romlift-cli, run through a link, to the unpacked vx7r-sim ---
# The link sits in a folder with its own drivers/ holding another image: the program must search
# beside its real executable, not beside the link.
head -c 3000 /dev/urandom >"$bin/drivers/PLQ5A_pkgtest.abs"
mkdir -p "$work/links/drivers"
head -c 3000 /dev/urandom >"$work/links/drivers/PLQ5A_decoy.abs"
ln -s "$bin/romlift-cli" "$work/links/romlift-cli"
exec 3< <(exec "$bin/vx7r-sim" --type-code 10 --once --quiet --no-pace --save "$work/received.bin")
sim_pid=$!
device=""
read -r -t 10 device <&3
check "vx7r-sim printed its pty path ('$device')" test -c "$device"
if [ -c "$device" ]; then
  (cd / && env -u LD_LIBRARY_PATH "$work/links/romlift-cli" download --port "$device" \
    --model VX7R-KT-121B-XXX </dev/null >"$work/download.out" 2>"$work/download.err")
  status=$?
  check "download through the link exits 0 (status $status):
$(cat "$work/download.err")" test "$status" -eq 0
  check "the image was found in drivers/ beside the real executable" \
    grep -qF "Downloading file PLQ5A_pkgtest.abs " "$work/download.err"
  # With --once the unit ends after the attempt; one that never saw an attempt would wait on.
  for _ in $(seq 50); do
    kill -0 "$sim_pid" 2>/dev/null || break
    sleep 0.2
  done
  if kill -0 "$sim_pid" 2>/dev/null; then
    kill "$sim_pid"
  fi
  wait "$sim_pid"
  sim_status=$?
  sim_pid=""
  check "vx7r-sim confirmed the attempt (status $sim_status)" test "$sim_status" -eq 0
  check "the unit holds the image from drivers/ byte for byte" \
    cmp -s "$bin/drivers/PLQ5A_pkgtest.abs" "$work/received.bin"
fi

echo "$((checks - failures)) passed, $failures failed"
[ "$failures" -eq 0 ]
