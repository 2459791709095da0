#!/usr/bin/env bash
# A private Slurm cluster on this machine, for the tests that need a real one: two nodes of one
# processor each, two slurmd started with -N and a port each, so that the tasks of an array
# are placed on different nodes as on a real cluster.
#
#   slurmCluster.sh start DIR   starts munged, slurmctld and both slurmd with all they keep
#                               (key, sockets, configuration, state, spool, logs) in DIR, which
#                               must be absent or empty; waits until the nodes are idle; writes
#                               DIR/env, one NAME=value line per variable a client needs
#                               (SLURM_CONF), and prints the same lines.
#   slurmCluster.sh stop DIR    cancels every job of that cluster, stops the daemons named by
#                               the pid files in DIR, waits for them to end and removes DIR.
#
# The machine's own Slurm and munge, if any, are never touched: nothing is written outside
# DIR, no service is started, and clients find the cluster only through SLURM_CONF.
# Exit status: 0 done; 77 the cluster cannot start here (the reason is on standard error, and
# nothing is left running); 2 wrong use; 1 stop found a DIR this script did not make.
set -uo pipefail

readonly cannotStart=77
readonly startTimeout=30   # seconds for the node to come up idle
readonly stopTimeout=30    # seconds for the jobs, then for each daemon, to end
readonly marker=.mozaro-slurm-cluster
# The nodes' names; each runs a slurmd of its own on this machine.
readonly nodes="mozaro1 mozaro2"

usage() {
    echo "usage: $0 start DIR | stop DIR" >&2
    exit 2
}

# The tests that need the cluster skip where it cannot start, and show this reason.
cannot() {
    echo "slurmCluster.sh: no Slurm cluster: $*" >&2
    [ -z "${ownDir:-}" ] || stopCluster
    exit $cannotStart
}

# Variables inherited from a Slurm job or a user's set-up would point the clients at another
# cluster or change what sbatch submits.
forgetOuterSlurm() {
    local name
    for name in $(compgen -e); do
        case $name in
            SLURM_* | SBATCH_* | SALLOC_* | SRUN_* | SQUEUE_* | SINFO_* | SCANCEL_* | SCONTROL_* | SACCT_* | MUNGE_*)
                unset "$name" ;;
        esac
    done
}

# Succeeds while the pid in a pid file is still the program that wrote it (a stale pid file
# may name a pid that some other process has since been given).
daemonRuns() {
    local pid
    [ -s "$1" ] && read -r pid <"$1" && [[ $pid =~ ^[0-9]+$ ]] && processRuns "$pid" "$2"
}

# Succeeds while the process is that program and has not ended (a zombie has).
processRuns() {
    [ "$(readlink "/proc/$1/exe" 2>/dev/null)" = "$2" ] && ! grep -q '^State:.*Z' "/proc/$1/status" 2>/dev/null
}

# TERM to the daemon of a pid file, then a wait for that process to end (the daemons remove
# their pid files before they are done); KILL when it does not.
stopDaemon() {
    local pidFile=$1 program=$2 pid tenths=0
    daemonRuns "$pidFile" "$program" || return 0
    read -r pid <"$pidFile"
    kill -TERM "$pid" 2>/dev/null
    while processRuns "$pid" "$program"; do
        if [ $tenths -ge $((stopTimeout * 10)) ]; then
            echo "slurmCluster.sh: $program ($pid) did not stop; killing it" >&2
            kill -KILL "$pid" 2>/dev/null
            return
        fi
        sleep 0.1
        tenths=$((tenths + 1))
    done
}

# A job step outlives a stopped slurmd, so every job of the cluster ends first.
cancelJobs() {
    daemonRuns "$dir/slurmctld.pid" "$slurmctld" || return 0
    local jobs tenths=0
    export SLURM_CONF="$dir/slurm.conf"
    mapfile -t jobs < <(timeout 10 squeue -h -o %A 2>/dev/null | sort -u)
    [ ${#jobs[@]} -gt 0 ] || return 0
    timeout 10 scancel "${jobs[@]}" 2>/dev/null
    while [ -n "$(timeout 10 squeue -h -o %A 2>/dev/null)" ]; do
        if [ $tenths -ge $((stopTimeout * 10)) ]; then
            echo "slurmCluster.sh: the jobs of the cluster in $dir did not end" >&2
            return
        fi
        sleep 0.1
        tenths=$((tenths + 1))
    done
}

stopCluster() {
    [ -d "$dir" ] || return 0
    if [ ! -e "$dir/$marker" ]; then
        echo "slurmCluster.sh: $dir holds no cluster of this script; left as it is" >&2
        exit 1
    fi
    cancelJobs
    local node
    for node in $nodes; do stopDaemon "$dir/slurmd-$node.pid" "$slurmd"; done
    stopDaemon "$dir/slurmctld.pid" "$slurmctld"
    stopDaemon "$dir/munge/munged.pid" "$munged"
    rm -rf "$dir"
}

# N TCP ports that no socket of this machine uses, below the range the system hands out to
# outgoing connections, so that none of those takes one before the daemon binds it.
freePorts() {
    local used=" " address port found=0 chosen=""
    while read -r _ address _; do
        used+="$((16#${address##*:})) "
    done < <(tail -q -n +2 /proc/net/tcp /proc/net/tcp6 2>/dev/null)
    for _ in $(seq 200); do
        port=$((20000 + RANDOM % 12000))
        [[ $used != *" $port "* ]] || continue
        used+="$port "
        chosen+="${chosen:+ }$port"
        found=$((found + 1))
        [ $found = "$1" ] || continue
        echo "$chosen"
        return
    done
    return 1
}

lastLines() {
    [ -s "$1" ] && { echo "last lines of $1:"; tail -n 5 "$1"; }
}

# Succeeds once a daemon started with a pid file has ended, or has not written its pid file
# within five seconds.
daemonEnded() {
    if [ -s "$1" ]; then ! daemonRuns "$1" "$2"; else [ "$3" -ge 50 ]; fi
}

startCluster() {
    [ "$(id -u)" = 0 ] || cannot "it needs root (slurmd runs as root, munged as user munge); run the tests as root"
    local program
    for program in munged munge unmunge slurmctld slurmd sinfo squeue scancel sbatch setpriv; do
        command -v "$program" >/dev/null || cannot "$program is not installed (Debian: apt-get install slurm-wlm munge)"
    done
    getent passwd munge >/dev/null || cannot "there is no user munge (Debian: apt-get install munge)"
    if [ -e "$dir" ] && [ -n "$(ls -A "$dir")" ]; then
        echo "slurmCluster.sh: $dir is not empty" >&2
        exit 2
    fi
    mkdir -p "$dir" && dir=$(cd "$dir" && pwd -P) && touch "$dir/$marker" && chmod 0755 "$dir" ||
        cannot "cannot make $dir"
    ownDir=1
    # A socket's path holds at most 107 bytes; slurmd's step sockets have the longest names.
    [ ${#dir} -le 60 ] || cannot "$dir is too long a path for the cluster's sockets (at most 60 bytes)"

    # munged as user munge, with its own key, socket, pid file, log and random-number state
    # (--se, the shortest form of munged's option for that file: none of it in /var/lib/munge).
    local mungeDir="$dir/munge"
    mkdir -m 0755 "$mungeDir" && chown munge: "$mungeDir" || cannot "cannot make $mungeDir"
    setpriv --reuid munge --regid munge --clear-groups test -x "$mungeDir" ||
        cannot "user munge cannot reach $mungeDir: a folder above it is not searchable by all"
    head -c 1024 /dev/urandom >"$mungeDir/munge.key" && chown munge: "$mungeDir/munge.key" &&
        chmod 0400 "$mungeDir/munge.key" || cannot "cannot write the munge key"
    local socket="$mungeDir/munge.socket"
    setpriv --reuid munge --regid munge --clear-groups \
        "$munged" --socket="$socket" --key-file="$mungeDir/munge.key" --pid-file="$mungeDir/munged.pid" \
        --log-file="$mungeDir/munged.log" --se="$mungeDir/munged.random" ||
        cannot "munged did not start; $(lastLines "$mungeDir/munged.log")"
    munge -n -S "$socket" | unmunge -S "$socket" >/dev/null ||
        cannot "munged does not answer on $socket; $(lastLines "$mungeDir/munged.log")"

    # This host as the controller and as both nodes, reached on the loopback address, each
    # with one processor and the memory that slurmd finds.
    local host found memory ports ctldPort port1 port2
    host=$(hostname -s)
    found=$(SLURM_CONF=/nonexistent "$slurmd" -C | head -n 1)
    [[ $found == "NodeName=$host "* ]] || cannot "slurmd -C does not describe this host ($host): $found"
    memory=$(sed -n 's/.* RealMemory=\([0-9]*\).*/\1/p' <<<"$found")
    [ -n "$memory" ] || memory=1000
    ports=$(freePorts 3) || cannot "found no free TCP port"
    read -r ctldPort port1 port2 <<<"$ports"
    mkdir -m 0755 "$dir/state" "$dir/spool" "$dir/log" || cannot "cannot make the folders in $dir"
    : >"$dir/plugstack.conf"
    cat >"$dir/slurm.conf" <<EOF
# A private cluster of two nodes on one machine for tests (tools/slurmCluster.sh); clients
# reach it by SLURM_CONF.
ClusterName=mozaro
SlurmctldHost=$host(127.0.0.1)
SlurmctldPort=$ctldPort
SlurmUser=root
SlurmdUser=root
AuthType=auth/munge
CredType=cred/munge
AuthInfo=socket=$socket
StateSaveLocation=$dir/state
# Each slurmd its own spool, pid file and log (%n: the node's name).
SlurmdSpoolDir=$dir/spool/%n
SlurmctldPidFile=$dir/slurmctld.pid
SlurmdPidFile=$dir/slurmd-%n.pid
SlurmctldLogFile=$dir/log/slurmctld.log
SlurmdLogFile=$dir/log/slurmd-%n.log
# An empty one, so that the machine's own SPANK plugins stay out.
PlugStackConfig=$dir/plugstack.conf
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
SelectType=select/cons_tres
# Cores only: with memory consumable too, every job would take the whole node's memory and
# the tasks of an array would run one after another.
SelectTypeParameters=CR_Core
SwitchType=switch/none
MpiDefault=none
JobAcctGatherType=jobacct_gather/none
AccountingStorageType=accounting_storage/none
# One line per finished job (state, exit code), kept when squeue has forgotten the job; for
# reading after a failed test only, since real clusters seldom have it.
JobCompType=jobcomp/filetxt
JobCompLoc=$dir/log/jobcomp.log
MailProg=/bin/true
# The node as configured, whatever slurmd finds, and back in service whenever it registers.
SlurmdParameters=config_overrides
ReturnToService=2
# For speed. Submitting and ending jobs schedule at once instead of up to 3 s later.
SchedulerParameters=batch_sched_delay=0
# sbatch --wait polls every 2 s only while MinJobAge is at most 5 s; with the default 300 it
# sleeps 2, 8, then 32 s, so a job of 3 s would be waited for 10 s. Finished jobs so leave
# squeue and scontrol 5 to about 10 s after they end (dependencies on them still hold).
MinJobAge=5
# A cancelled job that ignores TERM is killed after 5 s instead of 30.
KillWait=5
NodeName=mozaro1 NodeHostname=$host NodeAddr=127.0.0.1 Port=$port1 CPUs=1 Boards=1 SocketsPerBoard=1 CoresPerSocket=1 ThreadsPerCore=1 RealMemory=$((memory / 2)) State=UNKNOWN
NodeName=mozaro2 NodeHostname=$host NodeAddr=127.0.0.1 Port=$port2 CPUs=1 Boards=1 SocketsPerBoard=1 CoresPerSocket=1 ThreadsPerCore=1 RealMemory=$((memory / 2)) State=UNKNOWN
PartitionName=mozaro Nodes=mozaro1,mozaro2 Default=YES MaxTime=INFINITE State=UP
EOF

    "$slurmctld" -f "$dir/slurm.conf" || cannot "slurmctld did not start; $(lastLines "$dir/log/slurmctld.log")"
    local node
    for node in $nodes; do
        mkdir -m 0755 "$dir/spool/$node" || cannot "cannot make $dir/spool/$node"
        "$slurmd" -N "$node" -f "$dir/slurm.conf" ||
            cannot "slurmd of node $node did not start; $(lastLines "$dir/log/slurmd-$node.log")"
    done

    export SLURM_CONF="$dir/slurm.conf"
    local tenths=0 state=""
    while state=$(timeout 5 sinfo -h -o %T 2>/dev/null | sort -u | tr '\n' ' '); [ "$state" != "idle " ]; do
        ! daemonEnded "$dir/slurmctld.pid" "$slurmctld" $tenths ||
            cannot "slurmctld ended; $(lastLines "$dir/log/slurmctld.log")"
        for node in $nodes; do
            ! daemonEnded "$dir/slurmd-$node.pid" "$slurmd" $tenths ||
                cannot "slurmd of node $node ended; $(lastLines "$dir/log/slurmd-$node.log")"
        done
        [ $tenths -lt $((startTimeout * 10)) ] ||
            cannot "the nodes are ${state:-not shown} after ${startTimeout} s; $(lastLines "$dir/log/slurmd-mozaro1.log")"
        sleep 0.1
        tenths=$((tenths + 1))
    done
    echo "SLURM_CONF=$SLURM_CONF" >"$dir/env"
    cat "$dir/env"
}

[ $# = 2 ] || usage
dir=$2
forgetOuterSlurm
# As /proc/PID/exe shows them (slurmd is a link to slurmd-wlm), to recognise the daemons
# behind the pid files.
munged=$(readlink -f "$(command -v munged || echo /usr/sbin/munged)")
slurmctld=$(readlink -f "$(command -v slurmctld || echo /usr/sbin/slurmctld)")
slurmd=$(readlink -f "$(command -v slurmd || echo /usr/sbin/slurmd)")
case $1 in
    start) startCluster ;;
    stop)
        [ -d "$dir" ] || exit 0
        dir=$(cd "$dir" && pwd -P)
        stopCluster ;;
    *) usage ;;
esac
