#!/bin/bash
# Runs inside the lab machine as its first process after the switch to the host's tree: sets up
# the Bluetooth and USB stacks with their simulated phones, runs the lab tests and powers off.
# /lab is the host's result folder: setup.log, one TEST.log per test, results ("TEST STATUS").
set -u
export PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin
export HOME=/root LANG=C.UTF-8
cd /

say() { echo "lab [$(cut -d' ' -f1 /proc/uptime) s]: $*" >/dev/console; }
poweroff_now() {
    sync
    echo o >/proc/sysrq-trigger
    sleep 60
}
trap poweroff_now EXIT
exec >/lab/setup.log 2>&1
set -x

source "$LAB_SOURCE/tests/lab/stacks.sh"
if setup_stacks; then
    touch /lab/setup.ok
    say "stacks ready"
else
    say "stack set-up failed; see setup.log"
    exit 1
fi
set +x

if [ "$LAB_SHELL" = 1 ]; then
    say "a shell in the lab; the lab's variables are in /lab/env, 'exit' powers off"
    setsid -c bash -i </dev/ttyS0 >/dev/ttyS0 2>&1
    exit 0
fi

for name in $LAB_TESTS; do
    say "$name"
    # Bounded: a test that hangs is ended and counts as failed (124).
    (mkdir -p "/tmp/$name" && cd "/tmp/$name" && timeout -k 5 300 bash -ec ". /lab/env; . $LAB_SOURCE/tests/lab/stacks.sh; . $LAB_SOURCE/tests/lab/checks.sh; . $LAB_SOURCE/tests/lab/$name.test.sh") >"/lab/$name.log" 2>&1
    status=$?
    echo "$name $status" >>/lab/results
    say "$name: $([ $status = 0 ] && echo passed || echo "FAILED ($status)")"
done
