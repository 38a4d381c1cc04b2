#!/usr/bin/env bash
# Builds the Debian package with CPack and checks it: the programs, the private libraries,
# the login helper where the application looks for it, the .desktop file (accepted by
# desktop-file-validate), the icon, the udev rule, no system-wide autostart entry, the
# maintainer scripts and the declared dependencies.
# Usage: package_test.sh BUILD_DIR UDEV_RULES_DIR
set -euo pipefail
build="$(cd "$1" && pwd)"
rules_dir="${2:-lib/udev/rules.d}"

fail() { echo "FAIL: $*" >&2; exit 1; }
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

# 1. Build the package from the build tree.
(cd "$work" && cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/out") >"$work/cpack.log" 2>&1 ||
  { cat "$work/cpack.log"; fail "cpack -G DEB failed"; }
mapfile -t debs < <(find "$work/out" -maxdepth 1 -name '*.deb')
[ "${#debs[@]}" -eq 1 ] || { cat "$work/cpack.log"; fail "expected one .deb, found ${#debs[@]}"; }
deb="${debs[0]}"
echo "built $(basename "$deb") ($(stat -c %s "$deb") bytes)"

# 2. Its contents: exactly these files (directories aside), owned by root.
dpkg-deb -c "$deb" >"$work/contents"
awk '$1 !~ /^d/ { print $6 }' "$work/contents" | sort >"$work/files"
sort >"$work/expected" <<LIST
./usr/bin/Pikora
./usr/lib/pikora/libHearline.so
./usr/lib/pikora/libQuorbelOSXUtility.so
./usr/libexec/pikora/PikoraLoginHelper
./usr/share/applications/com.tamsic.Pikora.desktop
./usr/share/icons/hicolor/scalable/apps/com.tamsic.Pikora.svg
./usr/$rules_dir/70-pikora-accessory.rules
LIST
diff -u "$work/expected" "$work/files" || fail "the package holds other files than expected"
awk '$2 != "root/root" { print; bad = 1 } END { exit bad }' "$work/contents" || fail "files not owned by root"
for program in ./usr/bin/Pikora ./usr/libexec/pikora/PikoraLoginHelper; do
  grep -E "^-rwxr-xr-x .* $program\$" "$work/contents" >/dev/null || fail "$program is not an executable file"
done
grep -E " \./etc/xdg/autostart" "$work/contents" && fail "a system-wide autostart entry would start Pikora for every user"
echo "ok: contents"

# 3. Control fields and dependencies.
field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = pikora ] || fail "Package is $(field Package)"
[ "$(field Architecture)" = "$(dpkg --print-architecture)" ] || fail "Architecture is $(field Architecture)"
[[ "$(field Version)" =~ ^[0-9]+\.[0-9]+\.[0-9]+-[0-9]+$ ]] || fail "Version is $(field Version)"
[ -n "$(field Maintainer)" ] && [ -n "$(field Description)" ] || fail "no Maintainer or Description"
depends="$(field Depends)"
echo "Depends: $depends"
for needed in libc6 libqt6core6 libqt6widgets6 libqt6dbus6 libqt6network6 libqt6svg6 libusb-1.0-0 \
              libavcodec libswscale libturbojpeg libxcb1 libxcb-shm0; do
  grep -Eq "(^|, )$needed[0-9a-z.+-]*( \(|,|$)" <<<"$depends" || fail "Depends lacks $needed"
done
grep -qi "quorbel\|hearline" <<<"$depends" && fail "Depends names the package's own libraries"
grep -q "udev" <<<"$(field Recommends)" || fail "udev is not recommended"
echo "ok: control fields"

# 4. The installed tree works as a whole.
root="$work/root"
dpkg-deb -x "$deb" "$root"
ldd "$root/usr/bin/Pikora" >"$work/ldd" 2>&1 || { cat "$work/ldd"; fail "ldd Pikora"; }
grep "not found" "$work/ldd" && fail "Pikora misses libraries"
grep -q "$root/usr/bin/../lib/pikora/libQuorbelOSXUtility.so" "$work/ldd" ||
  { cat "$work/ldd"; fail "Pikora does not load its own libraries from /usr/lib/pikora"; }
ldd "$root/usr/libexec/pikora/PikoraLoginHelper" | grep "not found" && fail "the helper misses libraries"
desktop-file-validate "$root/usr/share/applications/com.tamsic.Pikora.desktop" ||
  fail "desktop-file-validate rejects the .desktop file"
grep -qx "Exec=Pikora" "$root/usr/share/applications/com.tamsic.Pikora.desktop" || fail "Exec is not Pikora"
grep -qx "Icon=com.tamsic.Pikora" "$root/usr/share/applications/com.tamsic.Pikora.desktop" || fail "wrong Icon"
grep -q "<svg" "$root/usr/share/icons/hicolor/scalable/apps/com.tamsic.Pikora.svg" || fail "the icon is no SVG"
echo "ok: installed tree"

# 5. The udev rule is the one built from the device description, granting two devices only.
rule="$root/usr/$rules_dir/70-pikora-accessory.rules"
cmp "$rule" "$build/packaging/70-pikora-accessory.rules" || fail "the packaged rule differs from the build's"
[ "$(grep -v '^#' "$rule" | grep -c 'TAG+="uaccess"')" -eq 2 ] || fail "the rule grants more or less than two devices"
grep -q 'ATTR{idVendor}=="1de1", ATTR{idProduct}=="a101", TAG+="uaccess"' "$rule" || fail "raw mode not granted"
grep -q 'ATTR{idVendor}=="0525", ATTR{idProduct}=="a4a2", TAG+="uaccess"' "$rule" || fail "network mode not granted"
echo "ok: udev rule"

# 6. Maintainer scripts: reload udev on install and removal, valid shell.
dpkg-deb -e "$deb" "$work/control"
for script in postinst postrm; do
  [ -x "$work/control/$script" ] || fail "no executable $script"
  sh -n "$work/control/$script" || fail "$script is not valid shell"
  grep -q "udevadm control --reload-rules" "$work/control/$script" || fail "$script does not reload udev rules"
done
grep -q "idVendor=1de1" "$work/control/postinst" || fail "postinst does not apply the rule to a plugged-in button"
echo "ok: maintainer scripts"
