#!/usr/bin/env bash
# Installs what the browser test drives Chromium with (playwright-core) into tests/browser/.
set -euo pipefail
cd "$(dirname "$0")"
if ! command -v npm >/dev/null; then
  SUDO=""
  [ "$(id -u)" = 0 ] || SUDO=sudo
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y --no-install-recommends nodejs npm
fi
# The version is pinned in package.json; playwright-core downloads no browser of its own,
# the test drives Debian's chromium.
npm install --no-audit --no-fund --no-package-lock
