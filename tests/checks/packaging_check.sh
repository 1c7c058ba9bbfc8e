#!/usr/bin/env bash
# The Debian packages, end to end, on this machine (as root; CI runs it
# after the suite):
#   tests/checks/packaging_check.sh BUILD_DIR
# builds the packages from BUILD_DIR (already built), checks them with
# lintian (no errors), installs them with apt-get, runs velhost's tour from
# the installed files on a fresh data directory, follows docs/INSTALL.md's
# first steps for PostgreSQL in a throwaway cluster (the extension
# preloaded, the account made with velcmc-passwd, CREATE EXTENSION, a
# logon and mail from SQL, a query result among them), runs the
# outbox timer's service as its unit file says against a loopback Postfix
# and Dovecot (mail queued while nobody was logged on must arrive), then
# removes the packages (only the configuration may be left) and purges them
# (nothing may be left). Outside CI, without root, it skips with one line.
set -euo pipefail
cd "$(dirname "$0")/../.."
build=$(cd "${1:-build}" && pwd)

skip_or_fail() {
  if [ -n "${CI:-}" ]; then
    echo "packaging_check: FAIL $1" >&2
    exit 1
  fi
  echo "packaging_check: skipped, $1"
  exit 0
}
[ "$(id -u)" = "0" ] || skip_or_fail "needs root (it installs the packages)"
command -v lintian >/dev/null || skip_or_fail "lintian is not installed"
command -v systemd-analyze >/dev/null || skip_or_fail "systemd is not installed (systemd-analyze)"
[ -x /usr/lib/postgresql/15/bin/initdb ] || skip_or_fail "postgresql-15 is not installed"
why=$(python3 tests/providers/net/mail_servers.py missing) || skip_or_fail "$why"
packages=(velmail velmail-net postgresql-15-velmail velmail-dev)
for p in "${packages[@]}"; do
  if dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed"; then
    skip_or_fail "$p is installed on this machine already (this check installs and purges it)"
  fi
done

work=$(mktemp -d /tmp/velpack.XXXXXX)
chmod 755 "$work"
server_pid=""
servers_up=""
cleanup() {
  if [ -n "$server_pid" ]; then kill "$server_pid" 2>/dev/null || true; fi
  if [ -n "$servers_up" ]; then
    python3 tests/providers/net/mail_servers.py stop "$work/servers" >/dev/null 2>&1 || true
  fi
  dpkg --purge "${packages[@]}" >/dev/null 2>&1 || true
  if [ -n "${KEEP:-}" ]; then echo "packaging_check: kept $work"; else rm -rf "$work"; fi
}
trap cleanup EXIT
failures=0
check() {  # check WHAT COMMAND...: one line, ok or FAIL
  local what=$1; shift
  if "$@"; then echo "ok   $what"; else echo "FAIL $what"; failures=$((failures + 1)); fi
}

# 1. Build the packages.
(cd "$work" && cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/debs" >"$work/cpack.log" 2>&1) ||
  { cat "$work/cpack.log"; echo "FAIL cpack"; exit 1; }
debs=("$work"/debs/*.deb)
check "four packages built (${#debs[@]})" test "${#debs[@]}" -eq 4
for deb in "${debs[@]}"; do
  echo "  $(basename "$deb"): $(dpkg-deb -f "$deb" Depends)"
done

# 2. lintian: no errors.
lintian --no-tag-display-limit "${debs[@]}" >"$work/lintian.log" 2>&1 || true
cat "$work/lintian.log"
check "lintian reports no errors" bash -c "! grep -q '^E: ' '$work/lintian.log'"

# 3. Install them as an operator would.
apt-get install -y -qq --no-install-recommends "${debs[@]/#/}" >"$work/apt.log" 2>&1 ||
  { cat "$work/apt.log"; echo "FAIL apt-get install"; exit 1; }
echo "ok   apt-get install of the packages"
check "the network package holds its configuration as a conffile" \
  bash -c "dpkg-query -W -f='\${Conffiles}' velmail-net | grep -q /etc/velmail/velnet.ini"
check "velhost --version" bash -c "velhost --version | grep -qx 'velhost [0-9.]*'"
check "manual pages installed" test -f /usr/share/man/man8/velnet-flush.8.gz
check "service user velnet" bash -c "getent passwd velnet >/dev/null"
check "timer unit installed" test -f /lib/systemd/system/velnet-flush@.timer
# (Offline: no systemd runs here. It checks the units' syntax, their
# commands and users, and the timer's schedule.)
check "systemd-analyze verify of the timer and its service for a user" \
  systemd-analyze verify --man=no velnet-flush@ops.service velnet-flush@ops.timer

# 4. The tour from the installed files on a fresh data directory, as a
#    user who is not root (the files must be readable by everyone).
mkdir "$work/demo" && chown nobody "$work/demo"
check "velhost --demo from the installed files" \
  bash -c "cd '$work/demo' && setpriv --reuid=nobody --regid=nogroup --clear-groups -- \
           env -u VEL_LIB_DIR velhost --data '$work/demo/data' --demo >'$work/demo.log' 2>&1"
check "the tour ran on the installed provider" grep -q "/usr/lib/velmail/libvelcmc.so" "$work/demo/data/win.ini"
check "the tour delivered mail" bash -c "ls '$work/demo/data/mail/ops/cur' '$work/demo/data/mail/ops/new' | grep -q ."

# 5. The extension from the installed package in a throwaway cluster, run
#    as postgres on a socket in the work directory, set up by the first
#    steps of docs/INSTALL.md: the server preloads the extension, the
#    account is made in the default store ($PGDATA/velmail/mail) with the
#    installed velcmc-passwd, a role granted velmail_user logs on and mails.
#    Each of the guide's lines the check runs must be in the guide as it is.
check "postgresql-15-velmail depends on velmail, which makes the accounts" \
  bash -c "dpkg-query -W -f='\${Depends}' postgresql-15-velmail | grep -Eq '(^|, )velmail \(='"
guide_lines=$(sed 's/^ *//' docs/INSTALL.md)
documented() { grep -qxF -- "$1" <<<"$guide_lines"; }
preload="shared_preload_libraries = 'velmail'"
account=$(cat <<'LINE'
printf '%s\n' 'ops-demo' | runuser -u postgres -- velcmc-passwd "$PGDATA/velmail/mail" ops
LINE
)
setup_sql=("CREATE EXTENSION velmail;" "GRANT velmail_user TO alice;")
mail_sql=("CALL velmail.xp_startmail('ops', 'ops-demo');"
          "CALL velmail.xp_sendmail(recipient => 'ops', subject => 'first mail', message => 'It works.');"
          "CALL velmail.xp_stopmail();")
for line in "$preload" "$account" "${setup_sql[@]}" "${mail_sql[@]}"; do
  check "docs/INSTALL.md gives: $line" documented "$line"
done

pgbin=/usr/lib/postgresql/15/bin
pgdata="$work/pg/data"
mkdir -p "$work/pg"
chown postgres "$work/pg"
setpriv --reuid=postgres --regid=postgres --clear-groups -- \
  "$pgbin/initdb" -D "$pgdata" -U postgres --auth=trust --no-sync >"$work/initdb.log" 2>&1
cat >>"$pgdata/postgresql.conf" <<CONF
listen_addresses = ''
unix_socket_directories = '$work/pg'
$preload
CONF
setpriv --reuid=postgres --regid=postgres --clear-groups -- \
  "$pgbin/postgres" -D "$pgdata" >"$work/pg/server.log" 2>&1 &
server_pid=$!
psql_as() { local role=$1; shift
            setpriv --reuid=postgres --regid=postgres --clear-groups -- \
              psql -h "$work/pg" -U "$role" -d postgres -X -q -v ON_ERROR_STOP=1 "$@"; }
for _ in $(seq 100); do psql_as postgres -c "select 1" >/dev/null 2>&1 && break; sleep 0.1; done
preloaded() {
  [ "$(psql_as postgres -Atc 'show shared_preload_libraries')" = velmail ] ||
    { cat "$work/pg/server.log"; return 1; }
}
store_modes() { stat -c '%U %a' "$pgdata/velmail" "$pgdata/velmail/mail" 2>&1 | xargs; }
run_setup() { printf '%s\n' "${setup_sql[@]}" | psql_as postgres; }
run_mail() { printf '%s\n' "${mail_sql[@]}" | psql_as alice; }
check "the server starts with the extension preloaded" preloaded
check "the account made as the guide says" env PGDATA="$pgdata" bash -c "$account"
check "the store is postgres's own: $(store_modes)" test "$(store_modes)" = "postgres 700 postgres 700"
psql_as postgres -c "CREATE ROLE alice LOGIN;"
check "CREATE EXTENSION and GRANT as the guide says" run_setup
check "alice logs on with the account's password and mails, as the guide says" run_mail
check "a query result mailed from SQL by alice" psql_as postgres -c "
  CREATE TABLE disks(name text, free_mb int);
  INSERT INTO disks VALUES ('sda', 512), ('sdb', 2048);
  GRANT SELECT ON disks TO alice;" -c "SET ROLE alice;
  CALL velmail.xp_startmail('ops', 'ops-demo');
  CALL velmail.xp_sendmail(recipient => 'ops', subject => 'packaged disks',
                           query => 'select name, free_mb from disks order by name');
  CALL velmail.xp_stopmail();"
check "the mails are in the account's mailbox, one with the query result" \
  python3 - "$pgdata/velmail/mail/ops/new" <<'PY'
import email, email.policy, os, sys
box = sys.argv[1]
found = {}
for name in os.listdir(box):
    with open(os.path.join(box, name), "rb") as f:
        message = email.message_from_binary_file(f, policy=email.policy.default)
    found[message["subject"]] = message.get_body().get_content()
disks = found.get("packaged disks", "")
sys.exit(0 if "It works." in found.get("first mail", "") and "sdb" in disks and "2048" in disks
         and "(2 rows affected)" in disks else 1)
PY
kill "$server_pid"; wait "$server_pid" 2>/dev/null || true; server_pid=""

# 6. The timer's service delivers what was queued while nobody was logged
#    on. There is no systemd here: the service's command runs as its unit
#    file says (user, environment, standard input, command line), against
#    a Postfix and Dovecot of the check's own on loopback. The mail is
#    queued with Postfix stopped, by a session that then ends, so that
#    nothing but the service can deliver it.
servers="$work/servers"
mkdir "$servers"
python3 tests/providers/net/mail_servers.py start "$servers" ops:ops-secret dba:dba-secret \
  >"$work/servers.log" 2>&1 || { cat "$work/servers.log"; echo "FAIL mail servers"; exit 1; }
servers_up=1
# shellcheck disable=SC1091
. "$servers/servers.env"
cat >/etc/velmail/velnet.ini <<INI
[imap]
url = imap://127.0.0.1:$IMAP_PORT/INBOX
[smtp]
servers = smtp://127.0.0.1:$SMTP_PORT
[tls]
mode = required
ca_file = $CA_FILE
[mail]
domain = $DOMAIN
[delivery]
spool = /var/spool/velnet
drain_seconds = 0
log = /var/log/velnet/velnet.log
INI
printf 'ops-secret\n' >/etc/velmail/velnet-flush/ops
chown velnet:velnet /etc/velmail/velnet-flush/ops
chmod 0600 /etc/velmail/velnet-flush/ops
mkdir "$work/netdata" && chown velnet:velnet "$work/netdata"
as_velnet() { setpriv --reuid=velnet --regid=velnet --clear-groups -- "$@"; }
as_velnet env VEL_LIB_DIR=/usr/lib/velmail velhost --data "$work/netdata" --init >/dev/null 2>&1
# The provider by its file name, as docs/PROVIDERS.md gives it.
sed -i 's|^CMCDLLNAME32=.*|CMCDLLNAME32=libvelnet.so|' "$work/netdata/win.ini"
postfix -c "$servers/postfix" stop >/dev/null 2>&1
as_velnet env VELNET_CONFIG=/etc/velmail/velnet.ini velhost --data "$work/netdata" - \
  >"$work/queue.log" 2>&1 <<'SQL' || true
exec xp_startmail 'ops', 'ops-secret'
exec xp_sendmail @recipient = 'dba', @subject = 'left in the queue', @message = 'Delivered by the timer.'
exec xp_stopmail
SQL
queued() {  # queued COUNT: velnet-status says so
  as_velnet env VELNET_CONFIG=/etc/velmail/velnet.ini velnet-status >"$work/status.log" 2>&1
  grep -qx "queued: $1" "$work/status.log" || { cat "$work/status.log"; return 1; }
}
check "mail queued while the server was down, its session ended" queued 1
postfix -c "$servers/postfix" start >/dev/null 2>&1
unit=/lib/systemd/system/velnet-flush@.service
unit_value() { sed -n "s/^$1=//p" "$unit" | sed 's/%i/ops/g'; }
user=$(unit_value User)
environment=$(unit_value Environment)
input=$(unit_value StandardInput | sed 's/^file://')
read -r -a command <<<"$(unit_value ExecStart)"
check "the service's credentials file is its user's only" \
  bash -c "[ \"\$(stat -c '%U %a' '$input')\" = '$user 600' ]"
check "the service as its unit runs it: $user, $environment, <$input, ${command[*]}" \
  bash -c "umask 0077 && setpriv --reuid='$user' --regid='$user' --clear-groups -- \
           env '$environment' ${command[*]} <'$input' >'$work/flush.log' 2>&1"
cat "$work/flush.log"
check "nothing is queued any more" queued 0
check "the queued mail is in the recipient's mailbox" python3 - "$MAIL_DIR/dba" <<'PY'
import email, email.policy, os, sys
for sub in ("new", "cur"):
    box = os.path.join(sys.argv[1], sub)
    for name in os.listdir(box) if os.path.isdir(box) else []:
        with open(os.path.join(box, name), "rb") as f:
            message = email.message_from_binary_file(f, policy=email.policy.default)
        if message["subject"] == "left in the queue":
            sys.exit(0)
sys.exit(1)
PY
python3 tests/providers/net/mail_servers.py stop "$servers" >/dev/null 2>&1 || true
servers_up=""

# 7. Removal leaves only configuration; purging leaves nothing.
files=$(dpkg -L "${packages[@]}" 2>/dev/null | sort -u)
conffiles=$(dpkg-query -W -f='${Conffiles}\n' "${packages[@]}" | awk 'NF {print $1}')
apt-get remove -y -qq "${packages[@]}" >"$work/remove.log" 2>&1
left=()
while read -r f; do
  [ -n "$f" ] && [ -f "$f" ] && ! grep -qxF "$f" <<<"$conffiles" && left+=("$f")
done <<<"$files"
check "removed: no file of the packages left but configuration (${left[*]:-none})" test ${#left[@]} -eq 0
check "removed: the configuration is kept" test -f /etc/velmail/velnet.ini
# (apt no longer knows a removed package without configuration: dpkg purges.)
dpkg --purge "${packages[@]}" >>"$work/remove.log" 2>&1
check "purged: the configuration is gone" test ! -e /etc/velmail
check "purged: the service user is gone" bash -c "! getent passwd velnet"

[ "$failures" -eq 0 ] || { echo "packaging_check: $failures failed"; exit 1; }
echo "packaging_check: passed"
