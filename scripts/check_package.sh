#!/usr/bin/env bash
# Builds the Debian package and checks it without installing anything on this machine: the
# `cmake --install` tree and the package's tree (dpkg-deb -x into a temporary root) hold exactly
# the files listed below, the package depends only on Debian packages that apt can install here,
# the packaged program runs, the manual page renders without a warning, and
# `systemd-analyze verify` accepts the unit inside the temporary root without a word.
#
# Usage: scripts/check_package.sh [BUILD_FOLDER]   (default: build-package, a Release build)
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
build=${1:-build-package}
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DOMBRIX_BUILD_TESTS=OFF >/dev/null
else
  cmake "$build" >/dev/null
fi
cmake --build "$build" -j"$(nproc)" --target ombrix

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() {
  echo "check_package: $*" >&2
  exit 1
}

expected=(
  usr/bin/ombrix
  usr/lib/systemd/system/ombrix.service
  usr/share/applications/ombrix.desktop
  usr/share/icons/hicolor/scalable/apps/ombrix.svg
  usr/share/man/man1/ombrix.1
)
# Every expected file is there, the program is executable, and nothing else was installed.
check_tree() {
  local root=$1 what=$2 f
  for f in "${expected[@]}"; do
    [ -f "$root/$f" ] || fail "$what lacks $f"
  done
  [ -x "$root/usr/bin/ombrix" ] || fail "$what: usr/bin/ombrix is not executable"
  local found wanted
  found=$(cd "$root" && find . -type f | sed 's|^\./||' | sort)
  wanted=$(printf '%s\n' "${expected[@]}" | sort)
  [ "$found" = "$wanted" ] || fail "$what holds other files than listed:"$'\n'"$found"
  echo "check_package: $what holds the ${#expected[@]} files"
}

# 1. The install rules.
DESTDIR="$work/install" cmake --install "$build" --prefix /usr >/dev/null
check_tree "$work/install" "cmake --install"

# 2. The package, from the same rules.
cpack --config "$build/CPackConfig.cmake" -G DEB -B "$work/package" >/dev/null
debs=("$work"/package/ombrix_*.deb)
[ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || fail "cpack made no single ombrix_*.deb"
deb=${debs[0]}
echo "check_package: built $(basename "$deb")"
dpkg-deb -x "$deb" "$work/root"
check_tree "$work/root" "the package"

# 3. Its dependencies are Debian packages that apt resolves on this Debian system.
depends=$(dpkg-deb -f "$deb" Depends)
[ -n "$depends" ] || fail "the package declares no dependencies"
echo "check_package: Depends: $depends"
# The libraries the program links besides FFmpeg's are found too (the MQTT client's for one).
grep -q 'libmosquitto1' <<<"$depends" || fail "the package does not depend on libmosquitto1"
# The programs the station runs are there too, not only the libraries it links.
for program in rsync openssh-client; do
  grep -qE "(^|, )$program( |,|$)" <<<"$depends" || fail "the package does not depend on $program"
done
for name in $(echo "$depends" | tr ',|' '\n\n' | sed 's/(.*)//; s/^ *//; s/ *$//' | sort -u); do
  apt-cache show "$name" >/dev/null 2>&1 || fail "dependency $name is not a package apt knows"
done
apt-get install --simulate --no-install-recommends "$deb" >"$work/apt.txt" 2>&1 ||
  { cat "$work/apt.txt" >&2; fail "apt-get cannot install the package"; }
# The listing is read whole first: `grep -q` stopping early would end tar with SIGPIPE, which
# pipefail turns into a false "lacks".
control=$(dpkg-deb --ctrl-tarfile "$deb" | tar -t)
for script in postinst prerm postrm; do
  grep -qx "./$script" <<<"$control" || fail "the package lacks $script"
done

# 4. The packaged program runs (its libraries resolve) and says its version.
version=$("$work/root/usr/bin/ombrix" --version) || fail "the packaged program does not run"
[ "$version" = "ombrix $(dpkg-deb -f "$deb" Version)" ] || fail "version '$version' is not the package's"

# 5. The manual page renders without warnings.
warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l "$work/root/usr/share/man/man1/ombrix.1" 2>&1 >/dev/null)
[ -z "$warnings" ] || fail "the manual page has warnings:"$'\n'"$warnings"
if command -v desktop-file-validate >/dev/null; then
  desktop-file-validate "$work/root/usr/share/applications/ombrix.desktop" ||
    fail "the desktop entry does not validate"
fi

# 6. The unit verifies inside the temporary root. systemd-analyze resolves the targets the unit
# names among the root's units, so the system's own units are copied in beside it; it checks that
# ExecStart names an executable in the root and that man:ombrix(1) exists (found through
# MANPATH). It prints warnings (an unknown key, a bad value) and still exits 0, so any output
# fails the check. This needs no running systemd.
unit=usr/lib/systemd/system/ombrix.service
for units in /usr/lib/systemd/system /lib/systemd/system; do
  [ -d "$units" ] && cp -an "$units/." "$work/root/usr/lib/systemd/system/"
done
mkdir -p "$work/root/etc/systemd/system"
report=$(MANPATH="$work/root/usr/share/man" SYSTEMD_LOG_LEVEL=notice \
  systemd-analyze verify --root="$work/root" "/$unit" 2>&1) ||
  fail "systemd-analyze verify failed:"$'\n'"$report"
[ -z "$report" ] || fail "systemd-analyze verify warns:"$'\n'"$report"
echo "check_package: systemd-analyze verify accepts $unit"
echo "check_package: ok"
