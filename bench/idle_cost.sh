#!/usr/bin/env bash
# Idle cost: CPU time per minute and resident memory of orvette while the two phones of the
# default simulated world stay connected, in real time, at log level 0. "Idle" is what an
# unattended run does: keep-alive reads every 3 s, a new beacon every 3 s, scanning among
# the bystanders, and dropping and reconnecting every phone now and then.
#   bench/idle_cost.sh ORVETTE_BINARY [MEASURED_SECONDS]
set -euo pipefail

orvette="$1"
seconds="${2:-60}"
warmup=15
phone_a=a0a489971097bba1b343eddd8f50f6ac
phone_b=feedfeadfeadfeadfeadfeadfeadfead

work="$(mktemp -d)"
pid=""
cleanup() {
    exec 3>&- 2>/dev/null || true
    if [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null; then kill "$pid" || true; fi
    rm -rf "$work"
}
trap cleanup EXIT

# Console keys go through a fifo, so that the program reads them only when they are sent.
mkfifo "$work/keys"
"$orvette" -csim "-u$phone_a" "-u$phone_b" -v0 <"$work/keys" >"$work/out" 2>&1 &
pid=$!
exec 3>"$work/keys"

tick_hz="$(getconf CLK_TCK)"
# utime + stime of the whole process, in clock ticks (fields 14 and 15 of stat; the command
# name in field 2 is skipped whole, whatever it holds).
cpu_ticks() { sed 's/^.*) //' "/proc/$pid/stat" | awk '{ print $12 + $13 }'; }
status_kb() { awk -v key="$1:" '$1 == key { print $2 }' "/proc/$pid/status"; }
# Per thread: "tid name cpu_ns". The run time in nanoseconds from schedstat where the
# kernel keeps it, else utime + stime in clock ticks turned into nanoseconds. The program
# names the simulated dongle's threads "sim-..."; every other thread is the program's own.
thread_cpu() {
    local task tid name ns
    for task in "/proc/$pid/task/"*; do
        tid="${task##*/}"
        name="$(cat "$task/comm" 2>/dev/null)" || continue
        if [ -r "$task/schedstat" ]; then
            ns="$(cut -d' ' -f1 "$task/schedstat" 2>/dev/null)" || continue
        else
            ns="$(sed 's/^.*) //' "$task/stat" 2>/dev/null |
                awk -v hz="$tick_hz" '{ printf "%.0f", ($12 + $13) * 1e9 / hz }')" || continue
        fi
        echo "$tid $name $ns"
    done
}
connected_phones() {
    grep -cE "(${phone_a}|${phone_b}) connection [0-9]+ #RSSI" "$work/out" || true
}

sleep "$warmup"
start_ticks="$(cpu_ticks)"
thread_cpu >"$work/threads_start"
start_rss="$(status_kb VmRSS)"
min_rss="$start_rss"
max_rss="$start_rss"
elapsed=0
while [ "$elapsed" -lt "$seconds" ]; do
    step=$((seconds - elapsed < 5 ? seconds - elapsed : 5))
    sleep "$step"
    elapsed=$((elapsed + step))
    rss="$(status_kb VmRSS)"
    [ "$rss" -lt "$min_rss" ] && min_rss="$rss"
    [ "$rss" -gt "$max_rss" ] && max_rss="$rss"
done
end_ticks="$(cpu_ticks)"
thread_cpu >"$work/threads_end"
end_rss="$(status_kb VmRSS)"
peak_rss="$(status_kb VmHWM)"
threads="$(status_kb Threads)"

# Both phones must be connected: ask for the status (a phone may be between the regular
# disconnection and its reconnection, so ask again a few times).
connected=0
for _ in 1 2 3 4 5; do
    : >"$work/out"
    echo s >&3
    sleep 2
    connected="$(connected_phones)"
    [ "$connected" -ge 2 ] && break
done
echo q >&3
exec 3>&-
wait "$pid" || true
pid=""

awk -v ticks=$((end_ticks - start_ticks)) -v hz="$tick_hz" -v s="$seconds" \
    -v r0="$start_rss" -v r1="$end_rss" -v rmin="$min_rss" -v rmax="$max_rss" \
    -v peak="$peak_rss" -v threads="$threads" -v phones="$connected" 'BEGIN {
    cpu = ticks / hz / s * 60
    printf "Idle cost over %d s, default simulated world in real time, log level 0, %d of 2 phones connected at the end:\n", s, phones
    printf "  CPU: %.2f s per minute = %.2f%% of one core (limit: 60 s per minute, one whole core)\n", cpu, cpu / 60 * 100
    printf "  resident memory: %.1f MiB at the start, %.1f MiB at the end (min %.1f, max %.1f; peak %.1f MiB); %d threads\n", r0 / 1024, r1 / 1024, rmin / 1024, rmax / 1024, peak / 1024, threads
    printf "  (the simulated dongle and its world run inside the same process and are included)\n"
}'
# Each thread's share over the same window; a thread that began within it counts from zero.
awk -v s="$seconds" '
    FNR == NR { start[$1] = $3; next }
    {
        used = ($3 - ($1 in start ? start[$1] : 0)) / 1e9
        group = ($2 ~ /^sim-/) ? "sim" : "program"
        total[group] += used
        by_name[group "\t" $2] += used
        count[group "\t" $2]++
    }
    END {
        printf "  the program'"'"'s own threads: %.3f CPU s per minute = %.3f%% of one core (limit: 0.2%%)\n", total["program"] / s * 60, total["program"] / s * 100
        printf "  the simulated dongle'"'"'s threads: %.3f CPU s per minute = %.3f%% of one core\n", total["sim"] / s * 60, total["sim"] / s * 100
        for (key in by_name) {
            split(key, part, "\t")
            printf "    %-8s %-16s x%d  %.3f%% of one core\n", part[1], part[2], count[key], by_name[key] / s * 100
        }
    }' "$work/threads_start" "$work/threads_end"
program_share="$(awk -v s="$seconds" 'FNR == NR { start[$1] = $3; next }
    $2 !~ /^sim-/ { used += ($3 - ($1 in start ? start[$1] : 0)) / 1e9 }
    END { printf "%.6f", used / s * 100 }' "$work/threads_start" "$work/threads_end")"
[ "$connected" -ge 2 ] || exit 1
awk -v share="$program_share" 'BEGIN { exit !(share < 0.2) }' ||
    { echo "  the program's own threads used more than 0.2% of one core" >&2; exit 1; }
