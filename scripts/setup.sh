#!/usr/bin/env bash
# Installs the Debian packages the build needs (only those missing), then configures and
# builds into the directory given as $1 with any further CMake arguments.
# Usage: scripts/setup.sh BUILD_DIR [cmake args...]
set -euo pipefail
cd "$(dirname "$0")/.."

# libsystemd-dev: sd_notify for the service's state; systemd: systemd-analyze, with which
# the tests check the unit file (no running systemd needed). libmicrohttpd-dev: the metrics'
# HTTP server; prometheus: promtool, with which a test checks them. clang: the fuzz targets;
# clang-format, clang-tidy: the checks of the code's form and findings.
# tmux: the terminal in which the tests type at the interactive client. dpkg-dev,
# debhelper, fakeroot, help2man, lintian: the Debian package; systemd-container, logrotate:
# the service's test under a real systemd; fail2ban: the filter's test; bash-completion:
# the client's completion's test; python3: the dashboard's test; iproute2: the addresses of the
# IPv6 tests' own network namespace. libssl-dev: TLS (OpenSSL); openssl: the tests' certificates.
packages=(g++ cmake make pkg-config libace-dev libtinyxml-dev libsystemd-dev libmicrohttpd-dev systemd libgtest-dev
          libgmock-dev libbenchmark-dev libcli11-dev clang clang-format clang-tidy tmux prometheus
          dpkg-dev debhelper fakeroot help2man lintian systemd-container logrotate fail2ban bash-completion
          python3 iproute2 libssl-dev openssl)
bash scripts/install-packages.sh "${packages[@]}"

build_dir="$1"; shift
cmake -S . -B "$build_dir" "$@"
cmake --build "$build_dir" -j "$(nproc)"
