#!/usr/bin/env bash
# What the build and every test need from Debian, in one place (.ci/run,
# ./test.sh and tests/checks/packaging_check.sh use it).
#
#   .ci/deps.sh install   as root: install what is missing (everything, on a
#                         fresh machine); fails when it cannot
#   .ci/deps.sh check     say in one line what is missing and which tests
#                         are therefore skipped (nothing when all is there);
#                         exit 1 when something is missing
set -euo pipefail

# package:the tests that need it (empty: the build itself)
needs=(
  build-essential: cmake: ninja-build: pkg-config: python3: googletest: libgtest-dev: libgmock-dev:
  libbenchmark-dev: libgmime-3.0-dev: libcrypt-dev: libsqlite3-dev: sqlite3: libreadline-dev:
  libpq-dev: libcurl4-openssl-dev: openssl: ca-certificates:
  "clang:the sanitizer and lock-analysis builds" "clang-format:the format check"
  "clang-tidy:the clang-tidy check"
  "postgresql:the PostgreSQL tests" "postgresql-server-dev-15:the PostgreSQL tests"
  "postgresql-plpython3-15:the PostgreSQL tests"
  "postfix:the network provider's tests against real servers"
  "dovecot-imapd:the network provider's tests against real servers"
  "dovecot-lmtpd:the network provider's tests against real servers"
  "mailutils-imap4d:the network provider's tests against real servers"
  "python3-aiosmtpd:the network provider's tests against real servers"
  "lintian:the package check" "systemd:the package check"
  "g++-mingw-w64-i686:the Windows suite (test.sh --win32)"
  "wine:the Windows suite (test.sh --win32)" "wine32:i386:the Windows suite (test.sh --win32)"
)

missing=()
skipped=()
for entry in "${needs[@]}"; do
  package=${entry%:*}
  what=${entry##*:}
  # wine32:i386 keeps its architecture.
  [ "$package" = "wine32" ] && package=wine32:i386
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$package")
    if [ -n "$what" ] && [[ ! " ${skipped[*]:-} " == *" $what "* ]]; then
      skipped+=("$what")
    fi
  fi
done

case "${1:-check}" in
  install)
    [ ${#missing[@]} -eq 0 ] && exit 0
    if [ "$(id -u)" != "0" ]; then
      echo "deps.sh: run as root to install: ${missing[*]}" >&2
      exit 1
    fi
    export DEBIAN_FRONTEND=noninteractive
    # wine32 is an i386 package: the architecture comes first.
    dpkg --add-architecture i386
    apt-get update
    # The network provider's tests start their own Postfix and Dovecot; the
    # system's Postfix is left unconfigured (and so never started).
    echo "postfix postfix/main_mailer_type select No configuration" | debconf-set-selections
    all=()
    for entry in "${needs[@]}"; do
      package=${entry%:*}
      [ "$package" = "wine32" ] && package=wine32:i386
      all+=("$package")
    done
    apt-get install -y --no-install-recommends "${all[@]}"
    ;;
  check)
    [ ${#missing[@]} -eq 0 ] && exit 0
    line="missing ${missing[*]} (run as root, or: sudo apt-get install ${missing[*]})"
    if [ ${#skipped[@]} -gt 0 ]; then
      line+="; skipped: $(IFS=,; echo "${skipped[*]}" | sed 's/,/, /g')"
    fi
    echo "$line"
    exit 1
    ;;
  *)
    echo "usage: .ci/deps.sh install|check" >&2
    exit 2
    ;;
esac
