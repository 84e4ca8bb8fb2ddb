# A one-machine Slurm cluster for the tests (bash, sourced): start_slurm DIR starts munged,
# slurmctld and slurmd from a configuration of their own under DIR (a fresh munge key, free
# ports, proctrack/linuxproc, task/none, no accounting) and exports SLURM_CONF for the clients;
# stop_slurm stops exactly the daemons it started, by their process ids.

slurm_pids=()

# A TCP port nobody listens on (from a range unlikely to be in use).
free_port() {
    local port
    for port in $(seq "$1" "$(($1 + 200))"); do
        if ! (exec 3<> "/dev/tcp/127.0.0.1/$port") 2> /dev/null; then
            echo "$port"
            return 0
        fi
    done
    return 1
}

# Waits for a daemon's pid file and keeps its process id for stop_slurm.
remember_pid() {
    local t
    for t in $(seq 1 100); do
        if [ -s "$1" ]; then
            slurm_pids+=("$(cat "$1")")
            return 0
        fi
        sleep 0.1
    done
    echo "no pid file $1" >&2
    return 1
}

start_slurm() {
    local dir=$1 user host cpus mem ctl_port d_port
    mkdir -p "$dir/state" "$dir/spool" "$dir/munge" "$dir/log"
    chmod 700 "$dir/munge"
    user=$(id -un)
    host=$(hostname -s)
    cpus=$(nproc)
    mem=$(($(awk '/MemTotal/ {print $2}' /proc/meminfo) / 1024 / 2))
    ctl_port=$(free_port $((17000 + RANDOM % 2000)))
    d_port=$(free_port $((ctl_port + 1)))
    mungekey --create --keyfile="$dir/munge/munge.key" 2> /dev/null ||
        dd if=/dev/urandom of="$dir/munge/munge.key" bs=1024 count=1 2> /dev/null
    chmod 600 "$dir/munge/munge.key"
    munged --force --key-file="$dir/munge/munge.key" --socket="$dir/munge/socket" \
        --pid-file="$dir/munge/munged.pid" --log-file="$dir/log/munged.log" \
        --seed-file="$dir/munge/seed" || return 1
    remember_pid "$dir/munge/munged.pid" || return 1
    cat > "$dir/slurm.conf" << CONF
ClusterName=zeltest
SlurmctldHost=$host(127.0.0.1)
SlurmUser=$user
SlurmdUser=$user
SlurmctldPort=$ctl_port
SlurmdPort=$d_port
AuthType=auth/munge
AuthInfo=socket=$dir/munge/socket
CredType=cred/munge
StateSaveLocation=$dir/state
SlurmdSpoolDir=$dir/spool/%n
SlurmctldPidFile=$dir/slurmctld.pid
SlurmdPidFile=$dir/slurmd.pid
SlurmctldLogFile=$dir/log/slurmctld.log
SlurmdLogFile=$dir/log/slurmd.log
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
SelectType=select/cons_tres
SelectTypeParameters=CR_CPU_Memory
JobAcctGatherType=jobacct_gather/none
AccountingStorageType=accounting_storage/none
MpiDefault=none
SwitchType=switch/none
ReturnToService=2
SchedulerType=sched/builtin
# Tasks of seconds on one machine: a freed slot and a satisfied dependency are scheduled at once
# rather than within the default 2 to 3 s (a real cluster's tasks take minutes to hours).
SchedulerParameters=sched_min_interval=0,batch_sched_delay=0
MinJobAge=600
NodeName=$host NodeAddr=127.0.0.1 CPUs=$cpus RealMemory=$mem State=UNKNOWN
PartitionName=local Nodes=$host Default=YES MaxTime=INFINITE State=UP
CONF
    export SLURM_CONF=$dir/slurm.conf
    slurmctld -f "$SLURM_CONF" || return 1
    remember_pid "$dir/slurmctld.pid" || return 1
    slurmd -f "$SLURM_CONF" || return 1
    remember_pid "$dir/slurmd.pid" || return 1
    local t
    # Ready once the node takes jobs.
    for t in $(seq 1 300); do
        if sinfo -h -o '%t' 2> /dev/null | grep -q '^idle'; then
            return 0
        fi
        sleep 0.1
    done
    echo "local Slurm cluster did not come up; logs in $dir/log" >&2
    return 1
}

stop_slurm() {
    local pid
    # Jobs still running first (a test stopped half-way), so that no job step outlives slurmd.
    if [ ${#slurm_pids[@]} -ge 3 ] && [ -n "$(squeue -h 2> /dev/null)" ]; then
        scancel --user="$(id -un)" 2> /dev/null || true
        for _ in $(seq 1 100); do
            [ -n "$(squeue -h -t PD,R,CF,CG 2> /dev/null)" ] || break
            sleep 0.1
        done
    fi
    for pid in "${slurm_pids[@]}"; do
        kill "$pid" 2> /dev/null || true
    done
    for pid in "${slurm_pids[@]}"; do
        for _ in $(seq 1 50); do
            kill -0 "$pid" 2> /dev/null || break
            sleep 0.1
        done
    done
    slurm_pids=()
}
