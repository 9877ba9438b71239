#!/bin/sh
# The Debian package built from this build tree: its contents and lintian's
# verdict, then install, reinstall, remove and purge with dpkg in scratch
# roots, once where systemd runs and once where it does not (a container).
# The maintainer scripts run outside a chroot with DPKG_ROOT set, and a
# stand-in systemctl records what they ask of systemd.
#
#   package_test.sh SOURCE_DIR BUILD_DIR
set -eu
source_dir=$1
build_dir=$2
programs="Zentrovane.exe Loader.exe zvtar.exe zvclient zvaccount"
unit=Zentrovane.service

skip() { echo "SKIP: $*"; exit 77; }
fail() { echo "FAIL: $*" >&2; exit 1; }
for tool in dpkg-buildpackage dh lintian objcopy xz; do
  command -v "$tool" >/dev/null 2>&1 || skip "$tool is missing (scripts/install-deps.sh installs it)"
done
[ "$(id -u)" = 0 ] || skip "dpkg installs into a scratch root as root only"

work=$(mktemp -d "${TMPDIR:-/tmp}/zv-package.XXXXXX")
trap 'rm -rf "$work"' EXIT

# --- the package and its contents
deb=$(SKIP_BUILD=1 "$source_dir/scripts/build-deb.sh" "$build_dir" "$work/out" | tail -n 1)
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build_dir/CMakeCache.txt")
[ "$deb" = "$work/out/zentrovane_${version}_$(dpkg --print-architecture).deb" ] ||
  fail "unexpected package $deb"
dpkg-deb -c "$deb" | awk '{ print $1, $6 }' > "$work/contents"
for program in $programs; do
  grep -qx -- "-rwxr-xr-x ./opt/zentrovane/bin/$program" "$work/contents" ||
    fail "$program is not in the package"
done
grep -qx -- "-rw-r--r-- ./lib/systemd/system/$unit" "$work/contents" || fail "no unit"
printf '/etc/zentrovane/%s\n' dbconf.ini mysql_path.ini registry.reg zvtools.ini > "$work/expected"
dpkg-deb -I "$deb" conffiles | diff "$work/expected" - || fail "conffiles differ"
[ "$(dpkg-deb -f "$deb" Recommends)" = mariadb-server ] || fail "does not recommend mariadb-server"
lintian --fail-on error "$deb" || fail "lintian reports errors"

# Every library a program links comes from a package it depends on.
dpkg-deb -x "$deb" "$work/x"
depends=" $(dpkg-deb -f "$deb" Depends | sed 's/([^)]*)//g; s/,/ /g') "
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
for soname in $(cd "$work/x/opt/zentrovane/bin" && objdump -p $programs | awk '$1 == "NEEDED" { print $2 }' | sort -u); do
  package=$(dpkg-query -S "*/$multiarch/$soname" | head -n 1 | cut -d: -f1)
  case $depends in *" $package "*) ;; *) fail "$soname: $package is not in Depends:$depends" ;; esac
done
# Stripped programs keep their function names for crash reports.
objcopy --dump-section .gnu_debugdata="$work/mini.xz" "$work/x/opt/zentrovane/bin/Zentrovane.exe" "$work/mini.o"
xz -dc "$work/mini.xz" > "$work/mini"
nm "$work/mini" | grep -q ' _ZN2zv14ZentrovaneMainEiPPc$' || fail "no function names in Zentrovane.exe"

# The unit is the one "Zentrovane.exe -install -auto" writes for the program
# where the package puts it.
mkdir "$work/home" "$work/units"
ZENTROVANE_HOME="$work/home" ZENTROVANE_REGISTRY="$work/home/registry.reg" \
  ZENTROVANE_UNIT_DIR="$work/units" FAKE_SYSTEMCTL_DIR="$work/home" \
  ZENTROVANE_SYSTEMCTL="$source_dir/tests/support/fake-systemctl" \
  "$work/x/opt/zentrovane/bin/Zentrovane.exe" -install -auto || fail "-install failed"
sed "s|$work/x||" "$work/units/$unit" | diff - "$work/x/lib/systemd/system/$unit" ||
  fail "the packaged unit differs from the one the program writes"

# --- dpkg in a scratch root
mkdir "$work/bin"
cat > "$work/bin/systemctl" <<'EOF'
#!/bin/sh
# Records the call; a unit is enabled while the scratch root links it.
echo "$*" >> "$FAKE_CALLS"
case " $* " in
  *" is-enabled "*)
    [ -L "$DPKG_ROOT/etc/systemd/system/multi-user.target.wants/Zentrovane.service" ] || exit 1
    echo enabled ;;
  *" is-active "*) exit 3 ;;
esac
EOF
chmod +x "$work/bin/systemctl"

# Runs dpkg on the scratch root $root, in a world where /run/systemd/system
# exists ($1 = systemd) or does not ($1 = container). The libraries the
# package depends on are not in the scratch root: --force-depends.
scratch_dpkg() {
  world=$1
  shift
  set -- dpkg --root="$root" --force-script-chrootless --force-depends --log=/dev/null "$@"
  if [ "$private_run" = yes ]; then
    set -- unshare -m sh -c 'mount -t tmpfs zv-run /run && { [ "$0" = container ] ||
      mkdir -p /run/systemd/system; } && exec "$@"' "$world" "$@"
  fi
  "$@" > "$work/dpkg.log" 2>&1 || { cat "$work/dpkg.log" >&2; return 1; }
}
calls() { cat "$FAKE_CALLS" 2>/dev/null; }
export PATH="$work/bin:$PATH" FAKE_CALLS

# Both worlds need a private /run; without one, the machine's own.
if unshare -m sh -c 'mount -t tmpfs zv-run /run' 2>/dev/null; then
  private_run=yes
  worlds="systemd container"
elif [ -d /run/systemd/system ]; then
  private_run=no
  worlds=systemd
  echo "note: no private /run (unshare -m failed); testing where systemd runs only"
else
  private_run=no
  worlds=container
  echo "note: no private /run (unshare -m failed); testing a container only"
fi

for world in $worlds; do
  echo "== $world"
  root="$work/root-$world"
  FAKE_CALLS="$work/calls-$world"
  # The folders every Debian system has, each holding other packages' files.
  mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates"
  : > "$root/var/lib/dpkg/status"
  for dir in etc/systemd/system/multi-user.target.wants lib/systemd/system opt \
    usr/share/doc usr/share/lintian/overrides var/lib/systemd/deb-systemd-helper-enabled var/log; do
    mkdir -p "$root/$dir"
    touch "$root/$dir/other"
  done
  (cd "$root" && find . -path ./var/lib/dpkg -prune -o -print | sort) > "$work/before"

  scratch_dpkg "$world" -i "$deb" || fail "install failed"
  for program in $programs; do
    [ -x "$root/opt/zentrovane/bin/$program" ] || fail "$program not installed"
  done
  [ "$(readlink "$root/opt/zentrovane/bin/config")" = /etc/zentrovane ] || fail "config link"
  [ -f "$root/etc/zentrovane/registry.reg" ] || fail "no settings file"
  for dir in /var/lib/zentrovane/log_data /var/lib/zentrovane/attach \
    /var/lib/zentrovane/syncpos /var/log/zentrovane/log /var/log/zentrovane/debuglog; do
    [ "$(stat -c %a "$root$dir")" = 750 ] || fail "$dir missing or not 0750"
  done
  [ -L "$root/etc/systemd/system/multi-user.target.wants/$unit" ] || fail "not enabled"
  if [ "$world" = systemd ]; then
    calls | grep -qx -- "--quiet --system start $unit" || fail "not started: $(calls)"
  else
    [ -z "$(calls)" ] || fail "systemctl called in a container: $(calls)"
  fi

  # The server at work: an operator's setting, an account, received data,
  # an empty attachment folder, logs and a crash report.
  echo '"SyncPort"=dword:00000400' >> "$root/etc/zentrovane/registry.reg"
  cp "$root/etc/zentrovane/registry.reg" "$work/settings"
  touch "$root/etc/zentrovane/registry.reg.lock" "$root/etc/zentrovane/syncaccount.dat" \
    "$root/var/log/zentrovane/log/20101216.log" "$root/opt/zentrovane/bin/Zentrovane_20101216_120000.dmp"
  mkdir "$root/var/lib/zentrovane/log_data/shop1"
  echo data > "$root/var/lib/zentrovane/log_data/shop1/20101216_1530_00A1B2C3_A.dat"
  echo position > "$root/var/lib/zentrovane/syncpos/demo.pos"

  # An upgrade keeps the operator's settings.
  scratch_dpkg "$world" -i "$deb" || fail "reinstall failed"
  cmp -s "$work/settings" "$root/etc/zentrovane/registry.reg" || fail "settings overwritten"
  if [ "$world" = systemd ]; then
    calls | grep -qx -- "--quiet --system restart $unit" || fail "not restarted: $(calls)"
  fi

  scratch_dpkg "$world" -r zentrovane || fail "remove failed"
  [ ! -e "$root/opt/zentrovane/bin/Zentrovane.exe" ] && [ ! -e "$root/lib/systemd/system/$unit" ] ||
    fail "programs or unit left after remove"
  cmp -s "$work/settings" "$root/etc/zentrovane/registry.reg" || fail "settings gone after remove"

  scratch_dpkg "$world" --purge zentrovane || fail "purge failed"
  {
    cat "$work/before"
    printf '%s\n' ./var/lib/zentrovane ./var/lib/zentrovane/log_data \
      ./var/lib/zentrovane/log_data/shop1 ./var/lib/zentrovane/log_data/shop1/20101216_1530_00A1B2C3_A.dat \
      ./var/lib/zentrovane/syncpos ./var/lib/zentrovane/syncpos/demo.pos
  } | sort > "$work/expected"
  (cd "$root" && find . -path ./var/lib/dpkg -prune -o -print | sort) |
    diff "$work/expected" - || fail "purge left more than the received data"
done
echo "PASS"
