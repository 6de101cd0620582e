#!/bin/bash
# Runs quarrow-cluster over two sshd instances on loopback ports (throwaway host and login keys)
# and compares its output tree, exit status and what it leaves of the inputs with a local run of
# quarrow on a copy of the same tree. Exit status 77: sshd cannot run here, and why.
set -u
quarrow=$1 mklog=$2 cluster=$3
skip() { echo "SKIP: $*"; exit 77; }
fail() { echo "FAIL: $*"; exit 1; }

sshd=$(command -v sshd || echo /usr/sbin/sshd)
for tool in "$sshd" ssh ssh-keygen parallel rsync; do
    command -v "$tool" >/dev/null || skip "$tool is not installed"
done

t=$(mktemp -d)
trap 'kill $(jobs -p) 2>/dev/null; rm -rf "$t"' EXIT

# sshd started by root checks for its privilege separation folder, which only its service makes.
[ "$(id -u)" -ne 0 ] || [ -d /run/sshd ] || mkdir -m 755 /run/sshd || skip "cannot create /run/sshd"

for key in host_key login_key; do ssh-keygen -q -t ed25519 -N '' -f "$t/$key" || fail "no $key"; done
cp "$t/login_key.pub" "$t/authorized_keys"
printf '%s\n' "ListenAddress 127.0.0.1" "HostKey $t/host_key" "AuthorizedKeysFile $t/authorized_keys" \
    "PidFile none" "UsePAM no" "StrictModes no" "PasswordAuthentication no" \
    "KbdInteractiveAuthentication no" >"$t/sshd.conf"
printf '%s\n' "Host *" "  HostName 127.0.0.1" "  IdentityFile $t/login_key" "  IdentitiesOnly yes" \
    "  UserKnownHostsFile /dev/null" "  StrictHostKeyChecking no" "  BatchMode yes" \
    "  LogLevel ERROR" >"$t/ssh_config"

# One sshd on a free port, reachable as the host name given.
start_sshd() {
    local log=$t/sshd_$1.log port pid
    for _ in $(seq 10); do
        port=$((20000 + RANDOM % 40000))
        : >"$log"
        "$sshd" -D -f "$t/sshd.conf" -o "Port $port" -E "$log" &
        pid=$!
        for _ in $(seq 50); do
            grep -q "Server listening" "$log" || ! kill -0 "$pid" 2>/dev/null && break
            sleep 0.1
        done
        if grep -q "Server listening" "$log"; then
            printf 'Host %s\n  Port %s\n' "$1" "$port" >>"$t/ssh_config"
            return 0
        fi
        kill "$pid" 2>/dev/null
        wait "$pid" 2>/dev/null
        # Another program may hold the port; anything else is final.
        grep -q "Address already in use" "$log" || break
    done
    skip "sshd does not start here: $(tr '\n' ' ' <"$log")"
}
start_sshd host-a
start_sshd host-b
ssh -F "$t/ssh_config" host-a true || skip "cannot log in to the loopback sshd"

# The tree: plain, compressed and encrypted logs in nested folders, a name with a space, a log
# cut off (partial tables, status 8), a file that is no log, a log with signals, and a log below
# a second input of the same root.
mkdir -p "$t/in/logs/day 1/sub" "$t/in/logs/day2" "$t/in/more"
mk() { "$mklog" "$@" >/dev/null || fail "mklog $*"; }
mk -n 300 --seed 1 "$t/in/logs/day 1/first log.mf4"
mk -n 300 --seed 2 --layout unsorted --compress 8,4 --crc "$t/in/logs/day 1/sub/packed.MFC"
mk -n 300 --seed 3 --encrypt s3cret --device-id 1A2B3C4D --iterations 10 "$t/in/logs/day2/secret.mfe"
mk -n 300 --seed 4 "$t/whole.mf4"
head -c "$(($(stat -c %s "$t/whole.mf4") * 2 / 3))" "$t/whole.mf4" >"$t/in/logs/day2/cut.mf4"
echo "not a log" >"$t/in/logs/day2/notes.txt"
mk -n 100 --seed 5 "$t/in/more/extra.mf4"
mk -n 300 --seed 6 --dbc-traffic "$t/vehicle.dbc" "$t/in/logs/day2/signals.mf4"
printf '{ "1A2B3C4D": "s3cret" }\n' >"$t/passwords.json" && chmod 600 "$t/passwords.json"

remote_home=$(getent passwd "$(id -un)" | cut -d: -f6)
touch "$t/before"

# -d deletes the converted logs, so the input trees are compared too.
args=(-d -p passwords.json --dbc 1:vehicle.dbc --dbc vehicle.dbc)
for side in local cluster; do
    mkdir -p "$t/$side/out" && cp -r "$t/in" "$t/$side/in"
    run=("$quarrow")
    [ $side = local ] ||
        run=("$cluster" --ssh "ssh -F $t/ssh_config" -S 2/host-a,2/host-b --quarrow "$quarrow")
    (cd "$t" && "${run[@]}" "${args[@]}" -O "$t/$side/out" "$t/$side/in/logs" "$t/$side/in/more") \
        2>"$t/$side.err"
    echo $? >"$t/$side.status"
done
[ "$(cat "$t/local.status")" -ne 0 ] || fail "the local run found nothing to report"
cmp -s "$t/local.status" "$t/cluster.status" ||
    fail "status $(cat "$t/cluster.status"), local run $(cat "$t/local.status"): $(cat "$t/cluster.err")"
diff -r "$t/local" "$t/cluster" || fail "the trees differ from the local run's"
[ -s "$t/local/out/logs_out/day2/signals_CAN_signals.csv" ] || fail "no signals table"
[ "$(grep -l "Accepted publickey" "$t"/sshd_host-*.log | wc -l)" -eq 2 ] || fail "a host did nothing"

# Other runs of this test on the machine share the hosts' work folders; theirs go in a while.
for _ in $(seq 300); do
    left=$(find "$remote_home/.parallel/tmp" -mindepth 1 -newer "$t/before" ! -path '*/sshlogin*' 2>/dev/null)
    [ -z "$left" ] && break || sleep 0.2
done
[ -z "$left" ] || fail "work files left on the hosts: $left"

# Stopped while a host converts: the script ends by the signal, with no table and no staging
# folder in the output tree, the log kept and no work folder left on the host.
mkdir -p "$t/stop/in" "$t/stop/out"
mk -n 1500000 --mix can=100,fd=0,remote=0,error=0,lin=0 "$t/stop/in/big.mf4"
touch "$t/before_stop"
"$cluster" --ssh "ssh -F $t/ssh_config" -S 1/host-a --quarrow "$quarrow" -b 4096 -d \
    -O "$t/stop/out" "$t/stop/in" 2>"$t/stop.err" &
pid=$!
for _ in $(seq 600); do
    found=$(find "$remote_home/.parallel/tmp" -newer "$t/before_stop" -name big.mf4 2>/dev/null)
    [ -n "$found" ] && break || sleep 0.05
done
[ -n "$found" ] || fail "the log never reached the host: $(cat "$t/stop.err")"
# The job's work folder (other runs on this machine may have theirs).
found=${found#"$remote_home/.parallel/tmp/"}
job_folder=$remote_home/.parallel/tmp/${found%%/*}
kill -TERM "$pid"
wait "$pid"; stopped=$?
[ "$stopped" -eq 143 ] || fail "stopped with status $stopped: $(cat "$t/stop.err")"
grep -q "interrupted" "$t/stop.err" || fail "no word of the stop: $(cat "$t/stop.err")"
[ -f "$t/stop/in/big.mf4" ] || fail "the log of a stopped run was deleted"
[ -z "$(find "$t/stop/out" -mindepth 1)" ] || fail "left in the output tree: $(find "$t/stop/out")"
[ ! -e "$job_folder" ] || fail "work files left on the hosts after a stop: $(find "$job_folder")"
echo "cluster output equals the local run's"
