#!/usr/bin/env bash
# zt's command line as operators and scripts meet it: exit codes, what goes to
# standard output and standard error, and the messages. One table; each row:
#
#   RC :: STDOUT :: STDERR :: ARGS
#
# STDOUT and STDERR: "-" the stream must be empty, "*" anything, otherwise an
# extended regular expression that must match the stream's whole text
# (multi-line texts match with $'...'-free patterns: use "." for a line end).
# ARGS is evaluated by the shell after "zt", so quoting and redirections work;
# a row whose ARGS start with "!" runs them as a shell command instead.
# Rows run in order; later rows see what earlier ones stored.
set -u
zt=$1
fail=0
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
export ZT_REGISTRY=$scratch/registry ZT_REGISTRY_USER=$scratch/user TZ=UTC
key='HKLM\SOFTWARE\Halvane\Zentor\CurrentVersion\Config'
paths='HKLM\SOFTWARE\Halvane\Zentor\CurrentVersion\Paths'

run_table() {
  local line rc want_out want_err args got_rc n=0
  while IFS= read -r line; do
    [[ -z ${line// /} || $line == '#'* ]] && continue
    n=$((n + 1))
    line=${line//' :: '/$'\x1f'}
    IFS=$'\x1f' read -r rc want_out want_err args <<<"$line"
    if [[ $args == '!'* ]]; then
      (eval "${args#!}") >"$scratch/out" 2>"$scratch/err"
    else
      (eval "\"\$zt\" $args") >"$scratch/out" 2>"$scratch/err"
    fi
    got_rc=$?
    local out err bad=
    out=$(<"$scratch/out") err=$(<"$scratch/err")
    [[ $got_rc == "$rc" ]] || bad="exit $got_rc, wanted $rc"
    for stream in out err; do
      local want got
      if [[ $stream == out ]]; then want=$want_out got=$out; else want=$want_err got=$err; fi
      case $want in
      '*') ;;
      -) [[ -z $got ]] || bad+=" std$stream not empty" ;;
      *) [[ $got =~ $want ]] || bad+=" std$stream does not match /$want/" ;;
      esac
    done
    if [[ -n $bad ]]; then
      echo "FAIL: zt $args:$bad"
      echo "  stdout: $out"
      echo "  stderr: $err"
      fail=1
    fi
  done
}

mkdir -p "$scratch/usr/quill/var/global" "$scratch/logs"
printf 'VERBOSE = 3\nCLIENT_NAME = a b\nINDEX_SERVER\n' >"$scratch/bad.conf"
printf '# fine\nVERBOSE = 3\n' >"$scratch/good.conf"
printf 'this is not a config file at all\nroot:*:19000:0:99999:7:::\nVERBOSE 5\n' >"$scratch/not.conf"
printf 'VERBOSE = 4\0\nCLIENT_NAME = x y\n' >"$scratch/nul.conf"
printf '# comment\nNAME= bpcd ;PID=0x10;ARG="a b";\nbroken line\nname=x;\n' >"$scratch/services"
for f in ALL_ADMINS.010527_00002.log ALL_ADMINS.123126_00001.log ALL_ADMINS.010527_00001.log \
         bob.010527_00001.log.gz 123126_00001.log 123226_00001.log notes.txt; do : >"$scratch/logs/$f"; done
export scratch key paths

run_table <<'EOF'
# the tool itself: help, version, unknown commands
0 :: ^usage: zt \[-h\|--help\] \[-V\|--version\] COMMAND.*zt config set .*man zt :: - :: --help
0 :: ^usage: zt  :: - :: -h
0 :: ^usage: zt config set  :: - :: help config set
0 :: ^zt \(libztbase\) [0-9]+\.[0-9]+\.[0-9]+$ :: - :: --version
0 :: ^zt \(libztbase\) [0-9]+\.[0-9]+\.[0-9]+$ :: - :: -V
2 :: - :: ^usage: zt  :: 
2 :: - :: ^zt: unknown command 'no-such-command' :: no-such-command
# help at every level runs nothing: no tour, no key, no date parsed, no lookup
0 :: ^usage: zt demo.[^=]*$ :: - :: demo --help
0 :: ^usage: zt date TEXT :: - :: date -h
0 :: ^usage: zt reg query  :: - :: reg query --help
0 :: ^usage: zt reg add  :: - :: reg add 'HKLM\X' V REG_SZ x --help
1 :: - :: ^zt reg query: HKLM.X: .*$ :: reg query 'HKLM\X'
0 :: ^usage: zt config set .*zt config set \[--force\] -f :: - :: config set 'VERBOSE = 9' --help
0 :: ^usage: zt config items.*zt config check :: - :: config -h
0 :: ^usage: zt vnet status  :: - :: vnet status -h
# "--" ends the options
0 :: - :: - :: reg add 'HKLM\X' V REG_SZ -- -h
0 :: V    REG_SZ    -h$ :: - :: reg query 'HKLM\X' V
0 :: - :: - :: reg delete 'HKLM\X'
# a write error on standard output is an error
1 :: - :: ^zt status: cannot write standard output: No space left on device$ :: status --all >/dev/full
1 :: - :: ^zt paths: cannot write standard output :: paths >/dev/full

# status codes
0 :: ^failed trying to allocate memory$ :: - :: status 36
0 :: ^invalid client list$ :: - :: status 1800 C
1 :: - :: ^zt status: 9310: invalid error number \(no status has this code\)$ :: status 9310
1 :: - :: ^zt status: -1:  :: status -- -1
2 :: - :: ^zt status: '12x': not a number :: status 12x
2 :: - :: ^zt status: no code given :: status
2 :: - :: ^zt status: too many arguments :: status 1 2 3

# the registry
1 :: - :: ^zt reg query: HKLM.*Config: not found :: reg query "$key"
0 :: - :: - :: reg add "$key" VERBOSE REG_DWORD 5
0 :: - :: - :: reg add "$key" SERVER REG_MULTI_SZ 'a\0b'
0 :: ^HKLM.SOFTWARE.Halvane.Zentor.CurrentVersion.Config.    VERBOSE    REG_DWORD    0x5$ :: - :: reg query "$key" verbose
0 :: ^\{"name":"SERVER","type":"REG_MULTI_SZ","data":\["a","b"\]\}$ :: - :: reg query "$key" SERVER --json | tr -d ' \n'
0 :: "subkeys": \[\] :: - :: reg query --json "$key"
# values and names that are not UTF-8 (or hold control characters) are not
# left out of JSON: bad bytes become U+FFFD
0 :: - :: - :: reg add "$key" HOSTILE REG_SZ "$(printf 'q"\\\001\377')"
0 :: - :: - :: reg add "$key" "$(printf 'N\377')" REG_SZ vv9
0 :: ^\{"name":"HOSTILE","type":"REG_SZ","data":"q.*u0001�"\}$ :: - :: reg query "$key" HOSTILE --json | tr -d ' \n'
0 :: ^1$ :: - :: reg query --json "$key" | grep -c '"name": "N�"'
2 :: - :: ^zt reg add: 'abc': not a REG_DWORD \(0 to 0xFFFFFFFF\).usage: zt reg add :: reg add "$key" X REG_DWORD abc
2 :: - :: ^zt reg add: '-1': not a REG_DWORD :: reg add "$key" X REG_DWORD -1
2 :: - :: ^zt reg add: 'REG_FOO': not a type zt writes :: reg add "$key" X REG_FOO 1
2 :: - :: ^zt reg add: 'a.0.0b': an empty string inside a REG_MULTI_SZ :: reg add "$key" LIST REG_MULTI_SZ 'a\0\0b'
2 :: - :: ^zt reg add: 'HKU.*': only HKLM and HKCU are kept here :: reg add 'HKU\S-1-5-18\Software' V REG_SZ x
2 :: - :: only HKLM and HKCU :: reg query 'HKEY_CLASSES_ROOT\.txt'
2 :: - :: ^zt reg: unknown subcommand bogus :: reg bogus
2 :: - :: ^zt reg query: wrong number of arguments :: reg query
1 :: - :: ^zt reg query: HKLM.HKU: not found :: reg query 'HKLM\HKU'
0 :: - :: - :: reg add "$key" LIST REG_MULTI_SZ 'a\0b\0'
0 :: LIST    REG_MULTI_SZ    a.0b$ :: - :: reg query "$key" LIST
0 :: - :: - :: reg delete "$key" VERBOSE
1 :: - :: ^zt reg query: .*VERBOSE: not found :: reg query "$key" VERBOSE
0 :: - :: - :: reg backup "$scratch/backup.db"
0 :: - :: - :: reg add "$key" LIST REG_SZ changed
0 :: - :: - :: reg restore "$scratch/backup.db"
0 :: LIST    REG_MULTI_SZ    a.0b$ :: - :: reg query "$key" LIST
1 :: - :: ^zt reg restore: missing.bak: No such file or directory$ :: reg restore missing.bak
1 :: - :: ^zt reg restore: .*: Is a directory$ :: reg restore "$scratch"
1 :: - :: ^zt reg backup: /nodir/x: No such file or directory$ :: reg backup /nodir/x
2 :: - :: ^zt reg backup: 'HKU': not HKLM or HKCU :: reg backup "$scratch/b2.db" HKU
0 :: - :: - :: reg add 'HKLM\SOFTWARE\odd]name'$'\n''x' 'v"1' REG_SZ $'two\nlines'
0 :: - :: - :: reg export 'HKLM\SOFTWARE' >"$scratch/export.txt"
0 :: - :: - :: reg delete 'HKLM\SOFTWARE\odd]name'$'\n''x'
0 :: - :: - :: reg import - <"$scratch/export.txt"
0 :: two.lines$ :: - :: reg query 'HKLM\SOFTWARE\odd]name'$'\n''x' 'v"1'
1 :: - :: ^zt reg import: \(standard input\):5: not a line of an export$ :: reg import - <<<$'ZT REGISTRY Version 1\n;; All keys relative to HKEY_LOCAL_MACHINE\n\n[A] 0\n"x"=bogus'
1 :: - :: not found :: reg query 'HKLM\A'
1 :: - :: ^zt reg import: .*missing: No such file or directory$ :: reg import "$scratch/missing"
0 :: - :: - :: reg delete 'HKLM\SOFTWARE'

# dates typed by users, read in UTC
0 :: ^1709251199 02/29/24 23:59:59$ :: - :: date 02/29/2024
0 :: ^1709164800 02/29/24 00:00:00$ :: - :: date --start-of-day 2/29/24
0 :: ^2147483646 01/19/38 03:14:06$ :: - :: date "01/01/2039 10:00:00"
1 :: - :: ^zt date: '02/29/2023': not a date :: date 02/29/2023
1 :: - :: not a date :: date "02/28/2024 24:00:00"
2 :: - :: ^zt date: no date given :: date
2 :: - :: ^zt date: '03/01/2024': one date only :: date 02/29/2024 03/01/2024
2 :: - :: ^zt date: '--end-of-day': unknown option :: date 02/29/2024 --end-of-day

# path labels (no overrides yet)
0 :: ^BPCD_LOCKPATH=/usr/quill/var/vnetd/bpcd.lock$ :: - :: paths BPCD_LOCKPATH
0 :: ^\{.  "BPCD_LOCKPATH": "/usr/quill/var/vnetd/bpcd.lock".\}$ :: - :: paths --json BPCD_LOCKPATH
1 :: - :: ^zt paths: NO_SUCH_LABEL: no such path label$ :: paths NO_SUCH_LABEL
2 :: - :: ^zt paths: unknown option --bad :: paths --bad
0 :: ^943$ :: - :: paths | wc -l
0 :: ^943$ :: - :: paths --json | grep -c '": "'

# log files
0 :: ^ALL_ADMINS.123126_00001.log.ALL_ADMINS.010527_00001.log.ALL_ADMINS.010527_00002.log$ :: - :: logs list "$scratch/logs" --user all_admins
0 :: ^bob.010527_00001.log.gz$ :: - :: logs list --date 010527 "$scratch/logs" --user BOB
0 :: ^ALL_ADMINS.123126_00001.log.123126_00001.log$ :: - :: logs list "$scratch/logs" --all-users --date 123126
1 :: - :: zt logs list: .*/missing: No such file or directory$ :: logs list "$scratch/logs/missing"
2 :: - :: ^zt logs list: no DIR given :: logs list
2 :: - :: ^zt logs list: '--date': needs MMDDYY :: logs list "$scratch/logs" --date 1231
2 :: - :: ^zt logs list: --user and --all-users together :: logs list "$scratch/logs" --user bob --all-users
2 :: - :: ^zt logs list: '.*': one DIR only :: logs list "$scratch/logs" "$scratch/logs"
2 :: - :: ^zt logs: unknown subcommand show :: logs show "$scratch/logs"

# the configuration item table
0 :: ^  #  LABEL +OTHER LABELS +TYPE +FLAG +DEFAULT. 38  SERVER_CONNECT_TIMEOUT +SLAVE_CONNECT_TIMEOUT +Int +SR +30$ :: - :: config items slave_connect_timeout
0 :: Units +SC +100 GB$ :: - :: config items SLP.MAX_SIZE_PER_DUPLICATION_JOB
0 :: ^372$ :: - :: config items | wc -l
0 :: "label": "SERVER_CONNECT_TIMEOUT",.*"other_labels": \[ *"SLAVE_CONNECT_TIMEOUT" *\],.*"default": "30" :: - :: config items --json SLAVE_CONNECT_TIMEOUT | tr -d '\n'
0 :: ^371$ :: - :: config items --json | grep -c '"index"'
1 :: - :: ^zt config items: NO_SUCH_ITEM: no such item$ :: config items NO_SUCH_ITEM
2 :: - :: ^zt config: no subcommand given :: config
2 :: - :: ^zt config items: unknown option --all :: config items --all
2 :: - :: ^zt config: unknown subcommand bogus :: config bogus
# the information record
0 :: - :: - :: reg add "$key" SERVER REG_MULTI_SZ 'master1\0media1'
0 :: - :: - :: reg add "$key" VERBOSE REG_DWORD 4
0 :: "server":\["master1","media1"\].*"verbose":4,.*"pbx_port":1556, :: - :: config info | tr -d ' \n'
2 :: - :: ^zt config info: takes no arguments :: config info extra

# vnet statuses both ways, and a services file
0 :: ^11 TIMEOUT -> 41 network connection timed out$ :: - :: vnet status 11
0 :: ^61 the vnetd proxy encountered an error -> 53 PROXY_ERROR$ :: - :: vnet status --zt 61
0 :: ^55$ :: - :: vnet status | wc -l
0 :: ^\[\{"vnet":11,"name":"TIMEOUT","status":41,"text":"networkconnectiontimedout"\}\]$ :: - :: vnet status --json 11 | tr -d ' \n'
1 :: - :: ^zt vnet status: 99: no such vnet status$ :: vnet status 99
1 :: - :: ^zt vnet status: 9310: no such product status$ :: vnet status --zt 9310
2 :: - :: ^zt vnet status: '1x': not a number :: vnet status 1x
2 :: - :: ^zt vnet: no subcommand given :: vnet
0 :: ^bpcd pid=16 arg="a b".x pid=0$ :: - :: vnet services "$scratch/services"
1 :: - :: ^zt vnet services: .*services.missing:  :: vnet services "$scratch/services.missing"
0 :: ^product version 810000$ :: - :: vnet version localhost

# the configuration store, with the path table moved below the scratch root
0 :: - :: - :: reg add "$paths" _ql_fs REG_SZ "$scratch/usr"
0 :: - :: - :: config set 'SERVER = a' 'SERVER = b' 'VERBOSE = 5' 'SLP.DISK_RESOURCE_MULTIPLIER = 4' 'my.key = v w'
0 :: ^SERVER=a.SERVER=b.VERBOSE=5.GENERIC_KEY_VAL_LIST=\(my.key\) \(v w\).SLP.DISK_RESOURCE_MULTIPLIER=4$ :: - :: config show SERVER VERBOSE SLP.DISK_RESOURCE_MULTIPLIER my.key
0 :: ^SLP.DISK_RESOURCE_MULTIPLIER = 4$ :: - :: !cat "$scratch/usr/quill/var/global/cluster.conf"
0 :: ^\{"SERVER":\["a","b"\],"VERBOSE":"5"\}$ :: - :: config show --json SERVER VERBOSE | tr -d ' \n'
1 :: - :: ^zt config show: NOPE: no such item or stored key$ :: config show NOPE
0 :: - :: - :: reg add "$key" HOSTILE REG_SZ "$(printf 'q"\\\001\377')"
0 :: - :: - :: reg add "$key" "$(printf 'N\377')" REG_SZ vv9
0 :: ^2$ :: - :: config show --json | grep -c -e '"(HOSTILE) (q.*u0001�)"' -e '"(N�) (vv9)"'
# what the user did not ask for is never stored: not an assignment, a value
# refused or replaced; check gives the same verdict without storing
1 :: - :: ^zt config set: 'VERBOSE': not an item assignment \(LABEL = VALUE\).zt config set: '5': not an item assignment.*nothing stored$ :: config set VERBOSE 5
1 :: - :: ^zt config set: 'CRYPT_STRENGTH = 50': Illegal enumerated value \(50\) on line 1, substituting DES_56\..zt config set: nothing stored \(--force :: config set 'CRYPT_STRENGTH = 50'
1 :: ^\(standard input\):1: Illegal enumerated value \(50\) :: - :: config check - <<<'CRYPT_STRENGTH = 50'
1 :: - :: 'VERBOSE = x': Badly formed integer.*nothing stored :: config set 'VERBOSE = x' 'SERVER = c'
1 :: - :: 'SERVER =': no value after the '=' :: config set 'SERVER ='
1 :: - :: '= 5': no label before the '=' :: config set '= 5'
1 :: - :: 'my key = 5': a label holds no white space :: config set 'my key = 5'
1 :: - :: 'VERBOSE = 1 2': Extra data \(2\) :: config set 'VERBOSE = 1 2'
1 :: - :: 'VERBOSE = 7': Option \(VERBOSE\) redefined :: config set 'VERBOSE = 6' 'VERBOSE = 7'
1 :: - :: 'INDEX_SERVER = x': Obsolete configuration option :: config set 'INDEX_SERVER = x'
1 :: - :: ^zt config set: 'a.b = 1': one item per argument$ :: config set $'a\nb = 1'
0 :: ^SERVER=a.SERVER=b.VERBOSE=5$ :: - :: config show SERVER VERBOSE CRYPT_STRENGTH
0 :: - :: Illegal enumerated value :: config set --force 'CRYPT_STRENGTH = 50' 'VERBOSE = 2'
0 :: ^VERBOSE=2.CRYPT_STRENGTH=DES_56$ :: - :: config show VERBOSE CRYPT_STRENGTH
1 :: - :: 'VERBOSE': not an item assignment.*nothing stored$ :: config set --force VERBOSE 'SERVER = z'
0 :: ^SERVER=a.SERVER=b$ :: - :: config show SERVER
1 :: ^.*bad.conf:2: Extra data \(b\) at end of line 2 ignored\..*bad.conf:3: not an item assignment \(LABEL = VALUE\)..*bad.conf:3: Obsolete configuration option on line 3: INDEX_SERVER$ :: - :: config check "$scratch/bad.conf"
1 :: - :: bad.conf:2: Extra data.*nothing stored :: config set -f "$scratch/bad.conf"
1 :: ^.*not.conf:1: not an item assignment.*not.conf:2: not an item assignment.*not.conf:3: not an item assignment :: - :: config check "$scratch/not.conf"
1 :: - :: ^zt config set: .*not.conf:1: not an item assignment :: config set -f "$scratch/not.conf"
0 :: - :: - :: config check "$scratch/good.conf"
0 :: - :: - :: config check - <"$scratch/good.conf"
0 :: - :: - :: config set -f - <"$scratch/good.conf"
0 :: ^VERBOSE=3$ :: - :: config show VERBOSE
# a directory or a text with a NUL would be read short and pass unseen
1 :: - :: ^zt config check: .*missing: No such file or directory$ :: config check "$scratch/missing"
1 :: - :: ^zt config check: .*: Is a directory$ :: config check "$scratch"
1 :: - :: ^zt config set: .*: Is a directory$ :: config set -f "$scratch"
1 :: nul.conf: holds a NUL byte :: - :: config check "$scratch/nul.conf"
1 :: - :: nul.conf: holds a NUL byte :: config set -f "$scratch/nul.conf"
0 :: ^VERBOSE=3$ :: - :: config show VERBOSE
2 :: - :: ^zt config set: nothing to set :: config set
2 :: - :: ^zt config check: one FILE :: config check
2 :: - :: ^zt config set: -f takes one FILE :: config set -f a b
1 :: - :: ^zt config unset: SERVER cannot be unset :: config unset SERVER
0 :: - :: - :: config unset VERBOSE my.key SLP.DISK_RESOURCE_MULTIPLIER
0 :: ^SLP.DISK_RESOURCE_MULTIPLIER=2.RANDOM_PORTS=YES$ :: - :: config show VERBOSE RANDOM_PORTS SLP.DISK_RESOURCE_MULTIPLIER

# the event utilities: every notification of the demo, in order
0 :: FilePoller: the watched file changed.*RegPoller: the Config key was written.*one-shot timer fired; scheduled now: no.*repeating timer fired \(3\).*SIGHUP from the helper process.*SIGINT from the helper process.*the root removed$ :: - :: events demo
0 :: ^usage: zt events demo :: - :: events demo --help
2 :: - :: ^usage: zt events  :: events
2 :: - :: ^zt events: unknown subcommand 'x' :: events x
2 :: - :: ^zt events ps: NAME and at most one DIRECTORY :: events ps
0 :: - :: - :: events ps no-such-program "$scratch"
EOF

# every command has its help, and the completion script is valid bash
for c in status date reg paths config logs vnet msg lock resolve host connect hostcache whitelist path-allowed events ul pbx vnetd demo; do
  "$zt" "$c" --help | grep -q "^usage: zt $c" || { echo "FAIL: zt $c --help"; fail=1; }
done
completion=$(dirname "$0")/../../tools/zt/zt.bash
bash -n "$completion" || { echo "FAIL: $completion"; fail=1; }
# the demo runs, explains itself, names no path outside its root, and ends at the README
demo=$("$zt" demo) || { echo "FAIL: zt demo"; fail=1; }
grep -q 'get_string -> 5 "HELLO"' <<<"$demo" || { echo "FAIL: zt demo: plain-text string"; fail=1; }
grep -q 'put_string_("hi", tag 7) *-> 2  \[00 07 00 00 00 02 68 69\]' <<<"$demo" ||
  { echo "FAIL: zt demo: tagged string bytes"; fail=1; }
root=$(grep -o '/tmp/zt-demo\.[A-Za-z0-9]*' <<<"$demo" | head -1)
outside=$(grep -E '(^|[ ="(])/' <<<"$demo" | grep -v "$root" | grep -Ev '^  (datestring|convert2unixdate)\(')
[[ -z $outside ]] || { echo "FAIL: zt demo names paths outside its root:"; echo "$outside"; fail=1; }
[[ ! -e $root ]] || { echo "FAIL: zt demo left $root"; fail=1; }
tail -2 <<<"$demo" | grep -q README || { echo "FAIL: zt demo does not end at the README"; fail=1; }
[[ $("$zt" status --all | wc -l) == 1771 ]] || { echo "FAIL: zt status --all count"; fail=1; }

# messages from the sample catalogues, and file locks
paths_key='HKLM\SOFTWARE\Halvane\Zentor\CurrentVersion\Paths'
samples=$(cd "$(dirname "$0")/../../data/msg" && pwd)
"$zt" reg add "$paths_key" MSG_DIR REG_SZ "$samples" >/dev/null
"$zt" reg add "$paths_key" LOCALE_FILE REG_SZ "$samples/locales.txt" >/dev/null
run_table <<'EOF'
0 :: ^Sicherung von /etc beendet: 7 Dateien$ :: * :: msg CerDem0001N de /etc 7
0 :: ^Sicherung von  beendet: 0 Dateien$ :: * :: msg CerDem0001N de
0 :: ^Der Datenträger ist schreibgeschützt\.$ :: * :: msg V-79-57344-33967 de
1 :: * :: * :: msg CerDem0001N fr
1 :: * :: * :: msg CerDem001N de
1 :: * :: * :: msg CerDem0001N ../de
2 :: * :: * :: msg
2 :: * :: * :: msg --bogus
EOF
"$zt" msg --json CerDem0001N ja /x 2 | tr -d ' \n' | grep -q '"found":true,"format":"%s' ||
  { echo "FAIL: zt msg --json"; fail=1; }
"$zt" msg --help | grep -q '^usage: zt msg' || { echo "FAIL: zt msg --help"; fail=1; }
run_table <<'EOF'
0 :: ^unbekannte Fehlernummer$ :: * :: !LANG=de_DE.UTF-8 "$zt" msg CerCom2055N
EOF
"$zt" reg delete "$paths_key" MSG_DIR >/dev/null
"$zt" reg delete "$paths_key" LOCALE_FILE >/dev/null
lock=$(dirname "$ZT_REGISTRY")/cli.lock
run_table <<'EOF'
0 :: ^inside$ :: * :: lock "$lock" -- echo inside
3 :: * :: * :: lock "$lock" read -- sh -c 'exit 3'
127 :: * :: * :: lock "$lock" -- /no/such/program
2 :: * :: * :: lock "$lock"
2 :: * :: * :: lock "$lock" sideways -- true
2 :: * :: * :: lock "$lock" --attempts 0 -- true
# a file of other data is not taken as a lock file: its first bytes would go
0 :: - :: - :: !printf 'data=1\nmore\n' >"$scratch/data.conf"
1 :: - :: ^zt lock: .*data.conf: not a lock file.*nothing written$ :: lock "$scratch/data.conf" -- true
0 :: ^data=1.more$ :: - :: !cat "$scratch/data.conf"
EOF
"$zt" lock "$lock" read -- sleep 2 & holder=$!
sleep 0.5
run_table <<'EOF'
1 :: * :: * :: lock "$lock" --attempts 3 --interval 5 -- true
0 :: ^shared$ :: * :: lock "$lock" read --attempts 3 -- echo shared
EOF
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
run_table <<'EOF'
1 :: - :: * :: lock "$lock" --attempts 3 --interval 5 -- true
EOF
while kill -0 "$(cat "$pidfile")" 2>/dev/null; do sleep 0.05; done
run_table <<'EOF'
0 :: ^free again$ :: * :: lock "$lock" --attempts 3 -- echo free again
EOF
# cached resolution, with the variable directory (and so the file cache) in the scratch root;
# only literals and local services, so that no query leaves the machine
var=$(dirname "$ZT_REGISTRY")/var
mkdir -p "$var/host_cache"
run_table <<'EOF'
0 :: * :: * :: reg add 'HKLM\SOFTWARE\Halvane\Zentor\CurrentVersion\Paths' VA_PATH_VAR REG_SZ "$var"
2 :: * :: * :: resolve
2 :: * :: * :: resolve a b c
2 :: * :: * :: resolve --bogus 127.0.0.1
1 :: * :: * :: resolve 127.0.0.1 no-such-service-here
EOF
"$zt" resolve --help | grep -q '^usage: zt resolve HOST' || { echo "FAIL: zt resolve --help"; fail=1; }
"$zt" resolve 127.0.0.1 13724 | grep -q '^IPv4 127.0.0.1 port 13724$' || { echo "FAIL: zt resolve"; fail=1; }
if [[ $(id -u) == 0 ]]; then # only administrators write the file cache
  "$zt" resolve --json 127.0.0.1 13724 | grep -q '"source": "file cache"' ||
    { echo "FAIL: zt resolve from the file cache"; fail=1; }
  "$zt" hostcache list | grep -q '^127.0.0.1,13724,' || { echo "FAIL: zt hostcache list"; fail=1; }
  "$zt" hostcache show 127.0.0.1 | grep -q 'IPv4 127.0.0.1 port 13724' ||
    { echo "FAIL: zt hostcache show"; fail=1; }
fi
run_table <<'EOF'
2 :: * :: * :: hostcache
2 :: * :: * :: hostcache bogus
2 :: * :: * :: hostcache clear --older-than x
0 :: * :: * :: hostcache clear --older-than 3600
0 :: * :: * :: hostcache clear
EOF
"$zt" hostcache list | grep -q '^(no entries' || { echo "FAIL: zt hostcache list after clear"; fail=1; }
[[ -s $var/clear_cache_time.txt ]] || { echo "FAIL: no clear time recorded"; fail=1; }
# host identity: only literals and localhost, so that no query leaves the machine
run_table <<'EOF'
0 :: ^same host: yes.decided by: (addresses|names)$ :: - :: host same localhost 127.0.0.1
0 :: ^same host: yes.decided by: text$ :: - :: host same Localhost LOCALHOST
0 :: ^same host: no.decided by: localhost$ :: - :: host same localhost 192.0.2.123 --local
0 :: ^local: yes.answered from: the addresses$ :: - :: host local 127.0.0.1
0 :: ^local: no.answered from: (cached flags|the addresses)$ :: - :: host local 192.0.2.123
0 :: ^localhost$ :: - :: host fqdn localhost
1 :: - :: ^zt host fqdn: no-such-host.invalid: GETHOST_FAILED.*$ :: host fqdn no-such-host.invalid
0 :: * :: * :: config set 'SERVER = localhost'
0 :: ^server +yes +\(compared.*.master server +yes .*index server +no .*$ :: - :: host roles 127.0.0.1
2 :: - :: ^zt host same: wants two names.* :: host same a
2 :: - :: ^zt host same: unknown option.* :: host same a b --bogus
2 :: - :: * :: host
2 :: - :: ^zt host: unknown subcommand.* :: host bogus
EOF
"$zt" host --help | grep -q '^usage: zt host same A B' || { echo "FAIL: zt host --help"; fail=1; }
if [[ $(id -u) == 0 ]]; then # the flags travel to the next process in the file cache
  "$zt" host roles 127.0.0.1 | grep -q '^master server  *yes  *(cached flags)$' ||
    { echo "FAIL: zt host roles from the cached flags"; fail=1; }
fi
# service connections (loopback only)
run_table <<'EOF'
2 :: * :: * :: connect
2 :: * :: * :: connect 127.0.0.1
2 :: * :: * :: connect 127.0.0.1 1 --path carrier-pigeon
2 :: * :: * :: connect 127.0.0.1 1 --timeout 0
2 :: * :: * :: connect --options
1 :: * :: * :: connect 127.0.0.1 1 --path legacy --timeout 1
EOF
"$zt" connect --options 127.0.0.1 | grep -q '"daemon_port_type": 0' || { echo "FAIL: zt connect --options"; fail=1; }
"$zt" connect 127.0.0.1 1 --path legacy --timeout 1 2>&1 | grep -q '^connect failed STATUS (42) CONNECT_REFUSED' ||
  { echo "FAIL: zt connect report"; fail=1; }
# the whitelist cache, moved into the scratch root by a path override
wl=$(dirname "$ZT_REGISTRY")/wl
mkdir -p "$wl/allowed/sub" "$wl/allowed-more" "$wl/other" && ln -s "$wl/other" "$wl/allowed/out"
run_table <<'EOF'
0 :: * :: * :: reg add 'HKLM\SOFTWARE\Halvane\Zentor\CurrentVersion\Paths' VN_PATH_WHITELIST_CACHE REG_SZ "$wl/cache.db"
1 :: * :: * :: whitelist dump
1 :: * :: * :: whitelist check
0 :: ^.*/cache\.db: recreated empty$ :: * :: whitelist repair
0 :: ^.*/cache\.db: healthy, nothing to repair$ :: * :: whitelist repair
0 :: ^hostid_to_alias: 0 entries$ :: * :: whitelist dump --type 0
EOF
"$zt" whitelist check --json | grep -q '"schema_text": "ok"' || { echo "FAIL: zt whitelist check --json"; fail=1; }
run_table <<'EOF'
0 :: * :: * :: whitelist clear '*' '*'
0 :: * :: * :: whitelist clear --expired
2 :: * :: * :: whitelist clear --older-than 10 '*'
2 :: * :: * :: whitelist clear --older-than -1 host
2 :: * :: * :: whitelist dump a b c
2 :: * :: * :: whitelist dump --type 2
2 :: * :: * :: whitelist bogus
EOF
"$zt" whitelist --help | grep -q '^usage: zt whitelist dump' || { echo "FAIL: zt whitelist --help"; fail=1; }
printf 'not a database at all, not a database at all, not a database at all, not a database' >"$wl/cache.db"
run_table <<'EOF'
1 :: * :: * :: whitelist check
0 :: ^.*/cache\.db: recreated empty$ :: * :: whitelist repair
EOF
# the path whitelist
run_table <<'EOF'
0 :: ^.*/allowed/x: allowed$ :: * :: path-allowed "$wl/allowed/x" "$wl/allowed"
1 :: * :: * :: path-allowed "$wl/allowed/sub/x" "$wl/allowed"
0 :: * :: * :: path-allowed --recursive "$wl/allowed/sub/x" "$wl/allowed"
1 :: * :: * :: path-allowed --recursive "$wl/allowed-more/x" "$wl/allowed"
1 :: ^.*/other/x: not allowed$ :: * :: path-allowed --recursive "$wl/allowed/out/x" "$wl/allowed"
0 :: * :: * :: path-allowed --command "$wl/allowed/prog --flag" "$wl/allowed"
2 :: * :: * :: path-allowed "$wl/allowed/x"
EOF

# the unified log (below the scratch root through the _ql_fs override above)
ul=$scratch/usr/quill/hxul
mkdir -p "$ul/logs/51216/137"
printf '[*]\nDebugLevel = 6\nbogus line\n[51216.137]\nDebugLevel = 3\nMaxFileSize = 0\n' >"$ul/hxul.conf"
printf '1796860800123\tDBG\t1\t51216\t137\t42\t43\tcli\t0\t1\tfirst record\nnot a record\n1796860801000\tAPP\t2\t51216\t137\t42\t43\tcli\t1002\t2\tc1\t9\n' >"$ul/logs/51216/137/hxul-1.log"
export ul
run_table <<'EOF'
0 :: ^[^ ]+ [0-9:]+\.123 \[Debug\] PID:42 TID:43 \[cli\] first record.[^ ]+ [0-9:]+\.0 \[Application\] PID:42 TID:43 \[Error\] message 1002: c1, 9$ :: ^zt ul show: 1 line that was not records? skipped$ :: ul show
0 :: \[Application\].*message 1002 :: * :: ul show --originator 137 --since 1796860801
0 :: - :: * :: ul show --product 99
2 :: - :: ^zt ul show: '--since' needs a time :: ul show --since yesterday
2 :: - :: ^zt ul show: '--bogus': unknown option :: ul show --bogus
2 :: - :: ^zt ul: no subcommand given :: ul
2 :: - :: ^zt ul: unknown subcommand bogus :: ul bogus
0 :: ^usage: zt ul show  :: - :: ul show --help
0 :: DebugLevel = 3.*MaxFileSize = 51200 :: ^.*hxul\.conf:3: not taken: bogus line..*hxul\.conf:6: not taken: MaxFileSize = 0$ :: ul config 137
2 :: - :: ^zt ul config: 'x': not an originator number :: ul config x
2 :: - :: ^zt ul delete: 'ENDATE <=': not a query :: ul delete 'ENDATE <='
0 :: - :: * :: !touch -d @1700000000 "$ul/logs/51216/137/hxul-1.log"; printf x >"$ul/logs/51216/137/hxul-2.log"
0 :: ^.*/logs/51216/137/hxul-1\.log$ :: ^zt ul delete: 1 file deleted$ :: ul delete '(ENDATE <= 1750000000) && (ORIGID = 137)'
0 :: ^hxul-2\.log$ :: - :: !ls "$ul/logs/51216/137"
EOF
# the port exchange: zt pbx run on a port the kernel picks, found through the registry
"$zt" pbx run --port 0 --listen 127.0.0.1 >"$scratch/pbx.out" 2>/dev/null & pbx=$!
for _ in $(seq 200); do grep -q '^listening on port' "$scratch/pbx.out" && break; sleep 0.05; done
pbxport=$(awk '/^listening on port/ { print $4 }' "$scratch/pbx.out")
"$zt" reg add 'HKLM\Software\HALVANE\HxPBX' PortNumber REG_DWORD "${pbxport:-1}" >/dev/null
"$zt" pbx register echo --count 1 >"$scratch/pbx.reg" 2>&1 & reg=$!
for _ in $(seq 200); do [[ $("$zt" pbx list 2>/dev/null) == echo ]] && break; sleep 0.05; done
run_table <<'EOF'
0 :: ^echo$ :: - :: pbx list
0 :: ^echo$ :: - :: pbx list --port "$pbxport"
0 :: ^switched to echo at 127.0.0.1 \(peer hint 2\).answer: echo heard: hi$ :: - :: pbx connect 127.0.0.1 echo hi
1 :: - :: ^zt pbx connect: nobody through the exchange of 127.0.0.1 .*PBX_API_FAILED$ :: pbx connect 127.0.0.1 nobody
1 :: - :: ^zt pbx list: no answer from an exchange on port 1: .* :: pbx list --port 1
2 :: - :: * :: pbx
2 :: - :: * :: pbx bogus
2 :: - :: * :: pbx connect 127.0.0.1
2 :: - :: * :: pbx register
2 :: - :: * :: pbx register echo --count 0
2 :: - :: * :: pbx run --port 70000
2 :: - :: * :: pbx list --port x
EOF
wait $reg || { echo "FAIL: zt pbx register"; fail=1; }
grep -q '^connection from 127.0.0.1:[0-9]* (peer hint 2)$' "$scratch/pbx.reg" && grep -q '^  said: hi$' "$scratch/pbx.reg" ||
  { echo "FAIL: zt pbx register output:"; cat "$scratch/pbx.reg"; fail=1; }
kill -TERM $pbx; wait $pbx || { echo "FAIL: zt pbx run did not end cleanly on SIGTERM"; fail=1; }
"$zt" pbx --help | grep -q '^usage: zt pbx' || { echo "FAIL: zt pbx --help"; fail=1; }
# vnetd: a daemon on a port the kernel picks, a version query, registrations
# (the path table points below the scratch root)
run_table <<'EOF'
0 :: ^usage: zt vnetd run  :: - :: vnetd run -h
2 :: - :: ^zt vnetd register: expected SERVICE :: vnetd register
2 :: - :: ^zt vnetd version: the port is not a number :: vnetd version host:nope
2 :: - :: ^zt vnetd run: expected \[--port N\] :: vnetd run --port 70000
0 :: ^no registrations in .*/vnetd$ :: - :: vnetd services
1 :: - :: ^zt vnetd: 127.0.0.1 port 1: CONNECT_REFUSED$ :: vnetd version 127.0.0.1:1
0 :: ^vnetd protocol version 13.product version 810000$ :: * :: !"$zt" vnetd run --port 0 --bind 127.0.0.1 >"$scratch/vnetd.out" 2>&1 & d=$!; for i in $(seq 300); do grep -q listening "$scratch/vnetd.out" && break; sleep 0.1; done; "$zt" vnetd version "127.0.0.1:$(sed -n 's/listening on port //p' "$scratch/vnetd.out")"; kill $d; wait $d
0 :: ^SERVICE .*.echo +[0-9]+ +[0-9]+  active$ :: * :: !"$zt" vnetd register echo >"$scratch/reg.out" 2>&1 & r=$!; for i in $(seq 300); do grep -q registered "$scratch/reg.out" && break; sleep 0.1; done; "$zt" vnetd services; kill $r; wait $r
0 :: ^SERVICE .*.echo +0 +[0-9]+  expired$ :: - :: vnetd services
EOF

exit $fail
