#!/usr/bin/env bash
# Packs the build tree as scripts/package does and checks that the Debian package holds both
# programs, the tool's bus module, the user unit, the privileged helper with its system units,
# the three completions and the manual pages, and names its libraries.
# Usage: package_test.sh BUILD_DIRECTORY
set -euo pipefail
build=$1
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
cpack -G DEB --config "$build/CPackConfig.cmake" -B "$scratch" >"$scratch/cpack.log" 2>&1 ||
  { cat "$scratch/cpack.log"; exit 1; }
package=$(ls "$scratch"/velmora_*.deb)
contents=$(dpkg-deb -c "$package" | awk '{print $NF}')

failures=0
for piece in /bin/velmoractl /velmora/velmoractl-bus.so /bin/velmorad /lib/systemd/user/velmorad.service \
  /libexec/velmora-netd /lib/systemd/system/velmora-netd.service /lib/systemd/system/velmora-netd.socket \
  /share/man/man1/velmoractl.1.gz /share/man/man1/velmorad.1.gz /share/man/man8/velmora-netd.8.gz \
  /share/bash-completion/completions/velmoractl /share/zsh/vendor-completions/_velmoractl \
  /share/fish/vendor_completions.d/velmoractl.fish; do
  if ! grep -q -- "$piece\$" <<<"$contents"; then
    echo "FAIL: the package holds no $piece"
    failures=$((failures + 1))
  fi
done
depends=$(dpkg-deb -f "$package" Depends)
for library in libc6 libstdc++6 libsdbus-c++1 libicu72 libmnl0 libsystemd0 libnftables1; do
  if ! grep -q -- "$library" <<<"$depends"; then
    echo "FAIL: the package does not depend on $library: $depends"
    failures=$((failures + 1))
  fi
done
# Each unit starts the program the package installs.
for pair in velmorad.service:/bin/velmorad velmora-netd.service:/libexec/velmora-netd; do
  unit=$(dpkg-deb --fsys-tarfile "$package" | tar -xO --wildcards "*/${pair%%:*}")
  binary=$(grep -- "${pair#*:}\$" <<<"$contents" | sed 's/^\.//')
  if ! grep -qx "ExecStart=$binary" <<<"$unit"; then
    echo "FAIL: ${pair%%:*} does not start $binary"
    failures=$((failures + 1))
  fi
done
exit $((failures > 0))
