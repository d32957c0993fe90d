#!/usr/bin/env bash
# Installs the Debian packages the tests use: OpenSSH server, SLURM, MUNGE,
# Redis, MariaDB + slurmdbd for SLURM accounting (the test bed's daemons).
# Does nothing when their programs are already there; runs `apt-get update`
# only when something has to be installed.
set -euo pipefail

PACKAGES=(openssh-server slurm-wlm munge redis-server mariadb-server slurmdbd)
PROGRAMS=(/usr/sbin/sshd /usr/sbin/slurmctld /usr/sbin/slurmd /usr/sbin/munged /usr/bin/redis-server
          /usr/sbin/mariadbd /usr/bin/mariadb-install-db /usr/sbin/slurmdbd)

step() { printf '[install-system-packages] %s\n' "$*"; }

have() {
    # sbin is not on every PATH (CI runs with the machine's environment)
    [ -x "$1" ] || command -v "$(basename "$1")" >/dev/null 2>&1
}

missing=()
for prog in "${PROGRAMS[@]}"; do
    have "$prog" || missing+=("$(basename "$prog")")
done
if [ "${#missing[@]}" -eq 0 ]; then
    step "all present: ${PROGRAMS[*]##*/}"
    exit 0
fi
step "missing: ${missing[*]}"

if [ "$(id -u)" -ne 0 ]; then
    step "must run as root to install ${PACKAGES[*]}" >&2
    exit 1
fi

export DEBIAN_FRONTEND=noninteractive
# wait for another apt/dpkg run instead of failing on its lock
APT_OPTS=(-q -y -o DPkg::Lock::Timeout=600 -o Dpkg::Use-Pty=0)
log=$(mktemp /tmp/install-system-packages.XXXXXX.log)
trap 'rm -f "$log"' EXIT

run_quiet() {
    if ! "$@" >"$log" 2>&1; then
        step "failed: $*" >&2
        tail -n 30 "$log" >&2
        exit 1
    fi
}

step "apt-get update"
run_quiet apt-get "${APT_OPTS[@]}" update
step "apt-get install ${PACKAGES[*]}"
# policy-rc.d keeps the packages' init scripts from starting daemons here;
# the test bed starts its own instances
policy=/usr/sbin/policy-rc.d
own_policy=0
if [ ! -e "$policy" ]; then
    printf '#!/bin/sh\nexit 101\n' >"$policy"
    chmod 755 "$policy"
    own_policy=1
fi
cleanup() {
    rm -f "$log"
    if [ "$own_policy" = 1 ]; then rm -f "$policy"; fi
}
trap cleanup EXIT
run_quiet apt-get "${APT_OPTS[@]}" install --no-install-recommends "${PACKAGES[@]}"

still=()
for prog in "${PROGRAMS[@]}"; do
    have "$prog" || still+=("$(basename "$prog")")
done
if [ "${#still[@]}" -ne 0 ]; then
    step "still missing after install: ${still[*]}" >&2
    exit 1
fi
step "done"
