#!/usr/bin/env bash
# zt's command line: outputs and exit codes an operator relies on.
set -u
zt=$1
fail=0
check() { # expected-exit expected-output args...
  local want_rc=$1 want_out=$2; shift 2
  local out rc
  out=$("$zt" "$@" 2>/dev/null); rc=$?
  if [[ $rc != "$want_rc" || ( -n $want_out && $out != "$want_out" ) ]]; then
    echo "FAIL: zt $* -> rc=$rc out='$out' (wanted rc=$want_rc out='$want_out')"; fail=1
  fi
}
check 0 "failed trying to allocate memory" status 36
check 0 "invalid error number" status 9310
check 0 "invalid error number" status -1
check 0 "invalid client list" status 1800 C
check 2 "" status
check 2 "" status 12x
check 2 "" status 1 2 3
check 2 "" no-such-command
check 2 ""
# the registry, in a scratch root
export ZT_REGISTRY=$(mktemp -d)/registry ZT_REGISTRY_USER=$(mktemp -d)/user
trap 'rm -rf "$(dirname "$ZT_REGISTRY")" "$(dirname "$ZT_REGISTRY_USER")"' EXIT
key='HKLM\SOFTWARE\Halvane\Zentor\CurrentVersion\Config'
check 1 "" reg query "$key"
check 0 "" reg add "$key" VERBOSE REG_DWORD 5
check 0 "" reg add "$key" SERVER REG_MULTI_SZ 'a\0b'
check 0 "$key
    VERBOSE    REG_DWORD    0x5" reg query "$key" verbose
check 2 "" reg add "$key" X REG_DWORD -1
check 2 "" reg add "$key" X REG_FOO 1
check 0 "" reg delete "$key" VERBOSE
check 1 "" reg query "$key" VERBOSE
"$zt" reg export | grep -q '"SERVER"=str(7):"a\\0b\\0\\0"' || { echo "FAIL: zt reg export"; fail=1; }
# roots this store does not keep, and lists that an empty string would cut short
check 2 "" reg add 'HKU\S-1-5-18\Software' V REG_SZ x
check 2 "" reg query 'HKEY_CLASSES_ROOT\.txt'
check 2 "" reg add 'hkcr\x' V REG_SZ x
check 1 "" reg query 'HKLM\HKU'
check 2 "" reg add "$key" LIST REG_MULTI_SZ 'a\0\0b'
check 0 "" reg add "$key" LIST REG_MULTI_SZ 'a\0b\0'
check 0 "$key
    LIST    REG_MULTI_SZ    a\0b" reg query "$key" LIST
# what zt wrote is in the store file itself once zt has exited
copy=$(dirname "$ZT_REGISTRY")/copy
mkdir -p "$copy" && cp "$ZT_REGISTRY/registry.db" "$copy/"
ZT_REGISTRY=$copy check 0 "$key
    LIST    REG_MULTI_SZ    a\0b" reg query "$key" LIST
# backup and restore of the whole store; export and import of a tree
backup=$(dirname "$ZT_REGISTRY")/backup.db
check 0 "" reg backup "$backup"
check 0 "" reg add "$key" LIST REG_SZ changed
check 0 "" reg restore "$backup"
check 0 "$key
    LIST    REG_MULTI_SZ    a\0b" reg query "$key" LIST
check 1 "" reg restore "$ZT_REGISTRY_USER/no-such-file"
check 0 "" reg add 'HKLM\SOFTWARE\odd]name'$'\n''x' 'v"1' REG_SZ $'two\nlines'
exported=$(dirname "$ZT_REGISTRY")/export.txt
"$zt" reg export 'HKLM\SOFTWARE' >"$exported" || { echo "FAIL: zt reg export"; fail=1; }
check 0 "" reg delete 'HKLM\SOFTWARE'
check 0 "" reg import "$exported"
diff <(sed 's/\] [0-9]*$/]/' "$exported") <("$zt" reg export 'HKLM\SOFTWARE' | sed 's/\] [0-9]*$/]/') >/dev/null ||
  { echo "FAIL: zt reg export -> import -> export differs"; fail=1; }
printf 'ZT REGISTRY Version 1\n;; All keys relative to HKEY_LOCAL_MACHINE\n\n[A] 0\n"x"=bogus\n' >"$exported"
check 1 "" reg import "$exported"
check 1 "" reg query 'HKLM\A'
check 0 "" reg delete 'HKLM\SOFTWARE'
check 1 "" reg query "$key"

# dates typed by users, read in UTC
export TZ=UTC
check 0 "1709251199 02/29/24 23:59:59" date 02/29/2024
check 0 "1709164800 02/29/24 00:00:00" date --start-of-day 2/29/24
check 0 "0 01/01/70 00:00:00" date 12/31/69
check 0 "2147483646 01/19/38 03:14:06" date "01/01/2039 10:00:00"
check 1 "" date 02/29/2023
check 1 "" date "02/28/2024 24:00:00"
check 2 "" date
check 2 "" date 02/29/2024 03/01/2024
check 2 "" date 02/29/2024 --end-of-day
unset TZ

# path labels (the registry above is empty again: no overrides)
check 0 "BPCD_LOCKPATH=/usr/quill/var/vnetd/bpcd.lock" paths BPCD_LOCKPATH
check 0 "NO_SUCH_LABEL=" paths NO_SUCH_LABEL
check 2 "" paths --bad
n=$("$zt" paths | wc -l)
[[ $n == 943 ]] || { echo "FAIL: zt paths listed $n labels, wanted 943"; fail=1; }

# zt logs, in a scratch directory removed with the registry's
logs=$(dirname "$ZT_REGISTRY")/logs
mkdir -p "$logs"
for f in ALL_ADMINS.010527_00002.log ALL_ADMINS.123126_00001.log ALL_ADMINS.010527_00001.log \
         bob.010527_00001.log.gz 123126_00001.log 123226_00001.log notes.txt; do : >"$logs/$f"; done
check 0 "ALL_ADMINS.123126_00001.log
ALL_ADMINS.010527_00001.log
ALL_ADMINS.010527_00002.log" logs list "$logs" --user all_admins
check 0 "bob.010527_00001.log.gz" logs list --date 010527 "$logs" --user BOB
check 0 "ALL_ADMINS.123126_00001.log
123126_00001.log" logs list "$logs" --all-users --date 123126
if [[ $(id -u) == 0 ]]; then own=ALL_ADMINS.123126_00001.log; else own=$(id -un).123126_00003.log; fi
: >"$logs/$own"
[[ $("$zt" logs list "$logs" --date 123126) == "$own" ]] || { echo "FAIL: zt logs list for the own user"; fail=1; }
check 1 "" logs list "$logs/missing"
check 2 "" logs list
check 2 "" logs list "$logs" --date 1231
check 2 "" logs list "$logs" --user bob --all-users
check 2 "" logs list "$logs" "$logs"
check 2 "" logs show "$logs"

n=$("$zt" status --all | wc -l)
[[ $n == 1771 ]] || { echo "FAIL: zt status --all listed $n codes, wanted 1771"; fail=1; }
demo=$("$zt" demo) || { echo "FAIL: zt demo"; fail=1; }
grep -q 'get_string -> 5 "HELLO"' <<<"$demo" || { echo "FAIL: zt demo: plain-text string"; fail=1; }
grep -q 'put_string_("hi", tag 7) *-> 2  \[00 07 00 00 00 02 68 69\]' <<<"$demo" ||
  { echo "FAIL: zt demo: tagged string bytes"; fail=1; }
# the configuration item table
n=$("$zt" config items | wc -l)
[[ $n == 371 ]] || { echo "FAIL: zt config items listed $n items, wanted 371"; fail=1; }
"$zt" config items slave_connect_timeout | grep -Eq '^ 38  SERVER_CONNECT_TIMEOUT +SLAVE_CONNECT_TIMEOUT +Int +SR +30$' ||
  { echo "FAIL: zt config items slave_connect_timeout"; fail=1; }
"$zt" config items SLP.MAX_SIZE_PER_DUPLICATION_JOB | grep -Eq 'Units +SC +100 GB$' ||
  { echo "FAIL: zt config items SLP.MAX_SIZE_PER_DUPLICATION_JOB"; fail=1; }
check 1 "" config items NO_SUCH_ITEM
check 2 "" config
check 2 "" config items --all
# the information record of the host configuration
"$zt" reg add "$key" SERVER REG_MULTI_SZ 'master1\0media1' >/dev/null
"$zt" reg add "$key" VERBOSE REG_DWORD 4 >/dev/null
info=$("$zt" config info)
grep -q '"verbose": 4,' <<<"$info" && grep -q '"pbx_port": 1556,' <<<"$info" &&
  tr -d ' \n' <<<"$info" | grep -q '"server":\["master1","media1"\]' ||
  { echo "FAIL: zt config info: $info"; fail=1; }
check 2 "" config info extra
# vnet statuses both ways, and a services file
check 0 "11 TIMEOUT -> 41 network connection timed out" vnet status 11
check 0 "61 the vnetd proxy encountered an error -> 53 PROXY_ERROR" vnet status --zt 61
[[ $("$zt" vnet status | wc -l) == 55 ]] || { echo "FAIL: zt vnet status lists 55"; fail=1; }
check 2 "" vnet status 1x
check 2 "" vnet
svc=$(dirname "$ZT_REGISTRY")/services
printf '# comment\nNAME= bpcd ;PID=0x10;ARG="a b";\nbroken line\nname=x;\n' > "$svc"
check 0 'bpcd pid=16 arg="a b"
x pid=0' vnet services "$svc"
check 1 "" vnet services "$svc.missing"
# the configuration store, with the path table moved below the scratch root
"$zt" reg add 'HKLM\SOFTWARE\Halvane\Zentor\CurrentVersion\Paths' _ql_fs REG_SZ "$(dirname "$ZT_REGISTRY")/usr" >/dev/null
mkdir -p "$("$zt" paths VAR_GLOBAL_PATH | cut -d= -f2-)"
check 0 "" config set 'SERVER = a' 'SERVER = b' 'VERBOSE = 5' 'SLP.DISK_RESOURCE_MULTIPLIER = 4' 'my.key = v w'
check 0 "SERVER=a
SERVER=b
VERBOSE=5
GENERIC_KEY_VAL_LIST=(my.key) (v w)
SLP.DISK_RESOURCE_MULTIPLIER=4" config show SERVER VERBOSE SLP.DISK_RESOURCE_MULTIPLIER my.key
grep -qx 'SLP.DISK_RESOURCE_MULTIPLIER = 4' "$("$zt" paths ZTCL_CONFIG_PATH | cut -d= -f2-)" ||
  { echo "FAIL: zt config set: the cluster-aware file"; fail=1; }
check 1 "" config set 'VERBOSE = x'
check 1 "" config set 'SERVER'
check 1 "" config unset SERVER
check 0 "" config unset VERBOSE my.key SLP.DISK_RESOURCE_MULTIPLIER
check 0 "SLP.DISK_RESOURCE_MULTIPLIER=2
RANDOM_PORTS=YES" config show VERBOSE RANDOM_PORTS my.key SLP.DISK_RESOURCE_MULTIPLIER
conf=$(dirname "$ZT_REGISTRY")/check.conf
printf 'VERBOSE = 3\nCLIENT_NAME = a b\nINDEX_SERVER\n' >"$conf"
check 1 "$conf: Extra data (b) at end of line 2 ignored.
$conf: Obsolete configuration option on line 3: INDEX_SERVER" config check "$conf"
printf '# fine\nVERBOSE = 3\n' >"$conf"
check 0 "" config set -f "$conf"
check 0 "VERBOSE=3" config show VERBOSE
check 0 "" config check "$conf"
check 1 "" config check "$conf.missing"
# a directory or a text with a NUL would be read short and pass unseen
check 1 "" config check "$(dirname "$conf")"
check 1 "" config set -f "$(dirname "$conf")"
printf 'VERBOSE = 4\0\nCLIENT_NAME = x y\n' >"$conf"
check 1 "" config check "$conf"
check 1 "" config set -f "$conf"
check 0 "VERBOSE=3" config show VERBOSE
check 2 "" config set
check 2 "" config check
check 2 "" config bogus
"$zt" config --help | grep -q '^usage: zt config show' || { echo "FAIL: zt config --help"; fail=1; }

# messages from the sample catalogues, and file locks
paths_key='HKLM\SOFTWARE\Halvane\Zentor\CurrentVersion\Paths'
samples=$(cd "$(dirname "$0")/../../data/msg" && pwd)
"$zt" reg add "$paths_key" MSG_DIR REG_SZ "$samples" >/dev/null
"$zt" reg add "$paths_key" LOCALE_FILE REG_SZ "$samples/locales.txt" >/dev/null
check 0 "Sicherung von /etc beendet: 7 Dateien" msg CerDem0001N de /etc 7
check 0 "Sicherung von  beendet: 0 Dateien" msg CerDem0001N de
check 0 "Der Datenträger ist schreibgeschützt." msg V-79-57344-33967 de
check 1 "" msg CerDem0001N fr
check 1 "" msg CerDem001N de
check 1 "" msg CerDem0001N ../de
check 2 "" msg
check 2 "" msg --bogus
"$zt" msg --json CerDem0001N ja /x 2 | tr -d ' \n' | grep -q '"found":true,"format":"%s' ||
  { echo "FAIL: zt msg --json"; fail=1; }
"$zt" msg --help | grep -q '^usage: zt msg' || { echo "FAIL: zt msg --help"; fail=1; }
LANG=de_DE.UTF-8 check 0 "unbekannte Fehlernummer" msg CerCom2055N
"$zt" reg delete "$paths_key" MSG_DIR >/dev/null
"$zt" reg delete "$paths_key" LOCALE_FILE >/dev/null
lock=$(dirname "$ZT_REGISTRY")/cli.lock
check 0 "inside" lock "$lock" -- echo inside
check 3 "" lock "$lock" read -- sh -c 'exit 3'
check 127 "" lock "$lock" -- /no/such/program
check 2 "" lock "$lock"
check 2 "" lock "$lock" sideways -- true
check 2 "" lock "$lock" --attempts 0 -- true
"$zt" lock "$lock" read -- sleep 2 & holder=$!
sleep 0.5
check 1 "" lock "$lock" --attempts 3 --interval 5 -- true
check 0 "shared" lock "$lock" read --attempts 3 -- echo shared
"$zt" lock --show "$lock" --json | tr -d ' \n' | grep -q '"state":"read"' ||
  { echo "FAIL: zt lock --show --json"; fail=1; }
wait $holder
"$zt" lock --show "$lock" | grep -q ': free' || { echo "FAIL: zt lock --show"; fail=1; }
"$zt" lock --help | grep -q '^usage: zt lock' || { echo "FAIL: zt lock --help"; fail=1; }
# zt lock killed with SIGKILL: the command it runs keeps the lock until it ends
pidfile=$(dirname "$ZT_REGISTRY")/cmd.pid
"$zt" lock "$lock" -- sh -c 'echo $$ > "$0"; exec sleep 1' "$pidfile" & holder=$!
while [[ ! -s $pidfile ]]; do sleep 0.05; done
kill -9 $holder; wait $holder 2>/dev/null
check 1 "" lock "$lock" --attempts 3 --interval 5 -- true
while kill -0 "$(cat "$pidfile")" 2>/dev/null; do sleep 0.05; done
check 0 "free again" lock "$lock" --attempts 3 -- echo free again
# cached resolution, with the variable directory (and so the file cache) in the scratch root;
# only literals and local services, so that no query leaves the machine
var=$(dirname "$ZT_REGISTRY")/var
mkdir -p "$var/host_cache"
check 0 "" reg add 'HKLM\SOFTWARE\Halvane\Zentor\CurrentVersion\Paths' VA_PATH_VAR REG_SZ "$var"
check 2 "" resolve
check 2 "" resolve a b c
check 2 "" resolve --bogus 127.0.0.1
check 1 "" resolve 127.0.0.1 no-such-service-here
"$zt" resolve --help | grep -q '^usage: zt resolve HOST' || { echo "FAIL: zt resolve --help"; fail=1; }
"$zt" resolve 127.0.0.1 13724 | grep -q '^IPv4 127.0.0.1 port 13724$' || { echo "FAIL: zt resolve"; fail=1; }
if [[ $(id -u) == 0 ]]; then # only administrators write the file cache
  "$zt" resolve --json 127.0.0.1 13724 | grep -q '"source": "file cache"' ||
    { echo "FAIL: zt resolve from the file cache"; fail=1; }
  "$zt" hostcache list | grep -q '^127.0.0.1,13724,' || { echo "FAIL: zt hostcache list"; fail=1; }
  "$zt" hostcache show 127.0.0.1 | grep -q 'IPv4 127.0.0.1 port 13724' ||
    { echo "FAIL: zt hostcache show"; fail=1; }
fi
check 2 "" hostcache
check 2 "" hostcache bogus
check 2 "" hostcache clear --older-than x
check 0 "" hostcache clear --older-than 3600
check 0 "" hostcache clear
"$zt" hostcache list | grep -q '^(no entries' || { echo "FAIL: zt hostcache list after clear"; fail=1; }
[[ -s $var/clear_cache_time.txt ]] || { echo "FAIL: no clear time recorded"; fail=1; }
# the whitelist cache, moved into the scratch root by a path override
wl=$(dirname "$ZT_REGISTRY")/wl
mkdir -p "$wl/allowed/sub" "$wl/allowed-more" "$wl/other" && ln -s "$wl/other" "$wl/allowed/out"
check 0 "" reg add 'HKLM\SOFTWARE\Halvane\Zentor\CurrentVersion\Paths' VN_PATH_WHITELIST_CACHE REG_SZ "$wl/cache.db"
check 1 "" whitelist dump
check 1 "" whitelist check
check 0 "$wl/cache.db: recreated empty" whitelist repair
check 0 "$wl/cache.db: healthy, nothing to repair" whitelist repair
check 0 "hostid_to_alias: 0 entries" whitelist dump --type 0
"$zt" whitelist check --json | grep -q '"schema_text": "ok"' || { echo "FAIL: zt whitelist check --json"; fail=1; }
check 0 "" whitelist clear '*' '*'
check 0 "" whitelist clear --expired
check 2 "" whitelist clear --older-than 10 '*'
check 2 "" whitelist clear --older-than -1 host
check 2 "" whitelist dump a b c
check 2 "" whitelist dump --type 2
check 2 "" whitelist bogus
"$zt" whitelist --help | grep -q '^usage: zt whitelist dump' || { echo "FAIL: zt whitelist --help"; fail=1; }
printf 'not a database at all, not a database at all, not a database at all, not a database' >"$wl/cache.db"
check 1 "" whitelist check
check 0 "$wl/cache.db: recreated empty" whitelist repair
# the path whitelist
check 0 "$wl/allowed/x: allowed" path-allowed "$wl/allowed/x" "$wl/allowed"
check 1 "" path-allowed "$wl/allowed/sub/x" "$wl/allowed"
check 0 "" path-allowed --recursive "$wl/allowed/sub/x" "$wl/allowed"
check 1 "" path-allowed --recursive "$wl/allowed-more/x" "$wl/allowed"
check 1 "$wl/other/x: not allowed" path-allowed --recursive "$wl/allowed/out/x" "$wl/allowed"
check 0 "" path-allowed --command "$wl/allowed/prog --flag" "$wl/allowed"
check 2 "" path-allowed "$wl/allowed/x"

exit $fail
