#!/usr/bin/env bash
# The Debian package as a user gets it: built with CPack from the build folder, checked with
# lintian, unpacked, and run from the unpacked files alone (the source and build folders hidden in a
# private mount namespace): enum, get, tree, and serve answering one request. As root, and where no
# qzwmi package is installed yet, it is also installed for real, run and purged again, and must
# leave no file behind. Usage: package_test.sh SOURCE_DIR BUILD_DIR
set -euo pipefail
source_dir=$(realpath "$1")
build_dir=$(realpath "$2")
work=$(mktemp -d /tmp/qzwmi-package-XXXXXX)
installed_here=""
cleanup() {
  [ -n "$installed_here" ] && dpkg --purge qzwmi > /dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAILED: $*" >&2; exit 1; }

# The package.
cpack --config "$build_dir/CPackConfig.cmake" -B "$work/pkg" > "$work/cpack.log" 2>&1 || { cat "$work/cpack.log"; exit 1; }
deb=$(ls "$work"/pkg/qzwmi_*.deb)
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
depends=$(dpkg-deb -f "$deb" Depends)
for library in libsqlite3-0 libssl3 libpugixml1v5 libcrypt1 libpam0g; do
  [[ $depends == *"$library "* ]] || fail "Depends lacks $library: $depends"
done
[[ $depends != *qzplatform* ]] || fail "Depends names the package's own library: $depends"
[ "$(dpkg-deb --ctrl-tarfile "$deb" | tar -xO ./conffiles)" = /etc/qzwmi/serve.conf ] || fail "conffiles"
if command -v lintian > /dev/null; then
  # lintian warns, on its own account, when it runs as root; that is the only line allowed.
  lintian --fail-on error,warning "$deb" 2>&1 | grep -v "running with root privileges" && fail "lintian tags above" || true
fi

# Unpacked: every file where the system expects it, the command finding its library through $ORIGIN.
unpacked=$work/unpacked
dpkg-deb -x "$deb" "$unpacked"
(cd "$unpacked" && find . -type f | sort) > "$work/files"
cat > "$work/expected" <<FILES
./etc/qzwmi/serve.conf
./usr/bin/qzwmi
./usr/lib/$multiarch/qzwmi/QZWmiMemory.so
./usr/lib/$multiarch/qzwmi/libqzplatform.so
./usr/lib/$multiarch/qzwmi/qzwmi-serve.so
./usr/lib/systemd/system/qzwmi-metrics.service
./usr/lib/systemd/system/qzwmi-metrics.timer
./usr/lib/systemd/system/qzwmi.service
./usr/lib/systemd/system/qzwmi.socket
./usr/share/bash-completion/completions/qzwmi
./usr/share/doc/qzwmi/changelog.gz
./usr/share/doc/qzwmi/copyright
./usr/share/doc/qzwmi/prometheus/prometheus.yml
./usr/share/doc/qzwmi/prometheus/qzwmi-rules.test.yml
./usr/share/doc/qzwmi/prometheus/qzwmi-rules.yml
./usr/share/man/man1/qzwmi.1.gz
$(cd "$source_dir/machines" && ls | sed 's|^|./usr/share/qzwmi/machines/|')
./usr/share/qzwmi/mof/QZWmiMemory.mof
FILES
sort -o "$work/expected" "$work/expected"
diff "$work/expected" "$work/files" || fail "the package's files differ from the expected list"
runpath=$(readelf -d "$unpacked/usr/bin/qzwmi" | sed -n 's/.*(RUNPATH).*\[\(.*\)\]/\1/p')
[ "$runpath" = "\$ORIGIN/../lib/$multiarch/qzwmi" ] || fail "RUNPATH of qzwmi is '$runpath'"

# Completion offers the subcommands, and the classes of the MOF after enum.
completion=$unpacked/usr/share/bash-completion/completions/qzwmi
offered=$(bash -c '_init_completion() { words=("${W[@]}"); cword=$C; cur=${W[C]}; prev=${W[C-1]}; }
  _filedir() { :; }; source "$1"
  W=(qzwmi en); C=1; _qzwmi; echo "${COMPREPLY[*]}"
  W=(qzwmi --format json enum QZ_MemoryBoardS); C=4; _qzwmi; echo "${COMPREPLY[*]}"' _ "$completion")
[ "$offered" = $'enum\nQZ_MemoryBoardSlot QZ_MemoryBoardSlotLocation QZ_MemoryBoardSlotElementLocation' ] ||
  fail "completion offered: $offered"

# The unit, checked against the unpacked command (the checker wants the command to exist).
for unit in qzwmi.service qzwmi.socket qzwmi-metrics.service qzwmi-metrics.timer; do
  sed "s|/usr/bin/qzwmi|$unpacked/usr/bin/qzwmi|" "$unpacked/usr/lib/systemd/system/$unit" > "$work/$unit"
done
systemd-analyze verify --man=no "$work/qzwmi.service" "$work/qzwmi.socket" "$work/qzwmi-metrics.timer" \
  "$work/qzwmi-metrics.service" ||
  fail "systemd-analyze verify"

# What the build-tree command answers is what the unpacked one must answer.
module='QZ_MemoryModule.CreationClassName="QZ_MemoryModule",Tag="VXN:QZ_MemoryModule:1-1"'
QZWMI_ROOT=$work/reference-root "$build_dir/tools/qzwmi/qzwmi" enum QZ_MemoryModule > "$work/enum.expected"
QZWMI_ROOT=$work/reference-root "$build_dir/tools/qzwmi/qzwmi" get "$module" > "$work/get.expected"
QZWMI_ROOT=$work/reference-root "$build_dir/tools/qzwmi/qzwmi" tree --color never > "$work/tree.expected"
grep -q "^Tag = VXN:QZ_MemoryModule:1-1$" "$work/enum.expected" || fail "the reference enum"

cat > "$work/request.xml" <<'XML'
<?xml version="1.0" encoding="utf-8" ?>
<CIM CIMVERSION="2.0" DTDVERSION="2.0"><MESSAGE ID="1" PROTOCOLVERSION="1.0"><SIMPLEREQ><IMETHODCALL NAME="EnumerateInstanceNames"><LOCALNAMESPACEPATH><NAMESPACE NAME="root"/><NAMESPACE NAME="VXN"/></LOCALNAMESPACEPATH><IPARAMVALUE NAME="ClassName"><CLASSNAME NAME="QZ_MemoryBoard"/></IPARAMVALUE></IMETHODCALL></SIMPLEREQ></MESSAGE></CIM>
XML
cat > "$work/hidden.sh" <<SCRIPT
set -euo pipefail
# The source and build folders out of reach: nothing may come from them.
mount -t tmpfs none "$source_dir"
mountpoint -q "$build_dir" || [ ! -d "$build_dir" ] || mount -t tmpfs none "$build_dir" 2>/dev/null || true
if [ -e "$source_dir/mof/QZWmiMemory.mof" ] || [ -e "$build_dir/module/QZWmiMemory.so" ]; then
  echo "the source or build folder is still in reach"
  exit 1
fi
export QZWMI_ROOT=$work/root
qzwmi=$unpacked/usr/bin/qzwmi
"\$qzwmi" --version > "$work/version"
"\$qzwmi" enum QZ_MemoryModule > "$work/enum"
"\$qzwmi" get '$module' > "$work/get"
"\$qzwmi" tree --color never > "$work/tree"
"\$qzwmi" serve --no-auth --listen 127.0.0.1:0 2> "$work/serve.log" &
pid=\$!
trap 'kill \$pid 2> /dev/null || true' EXIT
for i in \$(seq 200); do grep -qs "listening on" "$work/serve.log" && break; sleep 0.1; done
port=\$(sed -n 's/.*listening on 127.0.0.1:\([0-9]*\).*/\1/p' "$work/serve.log")
curl -s --max-time 20 -H 'Content-Type: application/xml; charset="utf-8"' -H 'CIMOperation: MethodCall' \
  -H 'CIMMethod: EnumerateInstanceNames' -H 'CIMObject: root%2FVXN' --data-binary @"$work/request.xml" \
  "http://127.0.0.1:\$port/cimom" > "$work/answer.xml"
kill -TERM \$pid
wait \$pid
trap - EXIT
SCRIPT
unshare_options=(--mount)
[ "$(id -u)" -eq 0 ] || unshare_options+=(--map-root-user)
unshare "${unshare_options[@]}" bash "$work/hidden.sh" || { cat "$work/serve.log" 2>/dev/null; fail "the unpacked qzwmi"; }
grep -qE "^qzwmi [0-9]+\.[0-9]+\.[0-9]+" "$work/version" || fail "--version printed '$(cat "$work/version")'"
for what in enum get tree; do
  diff "$work/$what.expected" "$work/$what" > /dev/null || fail "the unpacked '$what' differs from the build's"
done
boards=$(grep -o '<KEYVALUE VALUETYPE="string">VXN:QZ_MemoryBoard:[0-9]*</KEYVALUE>' "$work/answer.xml" | wc -l)
[ "$boards" -ge 1 ] || fail "serve answered: $(head -c 400 "$work/answer.xml")"
echo "unpacked package: enum, get, tree and serve ($boards board names) from the installed files alone"

# A real installation, only where it can be undone completely.
if [ "$(id -u)" -ne 0 ] || dpkg -s qzwmi > /dev/null 2>&1; then
  echo "not root, or qzwmi already installed: the real installation is left out"
  exit 0
fi
installed_here=yes
dpkg -i "$deb" > "$work/dpkg.log" 2>&1 || { cat "$work/dpkg.log"; fail "dpkg -i"; }
dpkg -L qzwmi > "$work/listed"
for file in $(cat "$work/files"); do grep -qx "${file#.}" "$work/listed" || fail "dpkg -L lacks ${file#.}"; done
QZWMI_ROOT=$work/installed-root /usr/bin/qzwmi enum QZ_MemoryModule > "$work/enum.installed"
diff "$work/enum.expected" "$work/enum.installed" > /dev/null || fail "the installed enum differs"
if [ "$(cat /proc/1/comm)" = systemd ]; then
  /usr/bin/qzwmi passwd tester --users /etc/qzwmi/users <<< "secret-$$"
  openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj /CN=localhost -keyout /etc/qzwmi/key.pem \
    -out /etc/qzwmi/cert.pem 2> /dev/null
  systemctl start qzwmi
  for i in $(seq 50); do curl -sk --max-time 5 -o /dev/null https://127.0.0.1:5989/ && break; sleep 0.2; done
  curl -sk --max-time 20 -u "tester:secret-$$" -H 'Content-Type: application/xml; charset="utf-8"' \
    -H 'CIMOperation: MethodCall' -H 'CIMMethod: EnumerateInstanceNames' -H 'CIMObject: root%2FVXN' \
    --data-binary @"$work/request.xml" https://127.0.0.1:5989/cimom > "$work/service.xml"
  systemctl reload qzwmi
  systemctl stop qzwmi
  rm -f /etc/qzwmi/users /etc/qzwmi/key.pem /etc/qzwmi/cert.pem
  rm -rf /var/lib/qzwmi
  grep -q "VXN:QZ_MemoryBoard:" "$work/service.xml" || fail "the service answered: $(head -c 400 "$work/service.xml")"
else
  # The man page is checked among the files; man itself may be missing on a build machine.
  systemd-analyze verify --man=no /usr/lib/systemd/system/qzwmi.service || fail "systemd-analyze verify of the installed unit"
fi
dpkg --purge qzwmi > "$work/dpkg.log" 2>&1 || { cat "$work/dpkg.log"; fail "dpkg --purge"; }
installed_here=""
! dpkg -L qzwmi > /dev/null 2>&1 || fail "dpkg still lists qzwmi"
for file in $(cat "$work/listed"); do
  [ ! -e "$file" ] || [ -d "$file" ] || fail "$file is left behind"
done
for dir in /etc/qzwmi /usr/share/qzwmi /usr/lib/$multiarch/qzwmi /usr/share/doc/qzwmi; do
  [ ! -e "$dir" ] || fail "$dir is left behind"
done
echo "installed package: dpkg -i, enum, unit checked, purged without a trace"
