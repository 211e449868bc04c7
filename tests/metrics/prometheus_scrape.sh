#!/usr/bin/env bash
# The live metrics as a lab reads them: a real Prometheus server, started here on a loopback port
# with its data in a temporary folder, scrapes a running `varnox run --metrics-port` (OpenMetrics)
# and the values come back through its HTTP API; promtool accepts the --metrics-file text (the
# node exporter's textfile format). Everything it starts it stops; every wait is bounded.
# Usage: prometheus_scrape.sh VARNOX_BINARY
set -euo pipefail
varnox=${1:?usage: $0 VARNOX_BINARY}
for tool in prometheus promtool curl; do
  command -v "$tool" >/dev/null || { echo "FAIL: $tool is not installed (scripts/install-deps installs it)"; exit 1; }
done

tmp=$(mktemp -d)
varnox_pid= prom_pid=
cleanup() {
  [[ -n "$varnox_pid" ]] && kill "$varnox_pid" 2>/dev/null && wait "$varnox_pid" 2>/dev/null
  [[ -n "$prom_pid" ]] && kill "$prom_pid" 2>/dev/null && wait "$prom_pid" 2>/dev/null
  rm -rf "$tmp"
}
trap cleanup EXIT
fail() { echo "FAIL: $*"; echo "--- varnox said:"; cat "$tmp/varnox.err" "$tmp/varnox.out" 2>/dev/null; exit 1; }

# Waits up to $1 seconds for the command after it to succeed.
wait_for() {
  local limit=$1; shift
  for ((i = 0; i < limit * 5; ++i)); do "$@" && return 0; sleep 0.2; done
  return 1
}

# A drive that is reset now and then (legal: the run still passes) so resets count too.
cat >"$tmp/soak.toml" <<'TOML'
[test]
duration = "120s"
[[drive]]
name = "D0"
capacity = "64MiB"
queue_depth = 8
[[fault]]
kind = "reset"
after = 2000
rate = 0.001
count = 3
TOML

"$varnox" run "$tmp/soak.toml" --seed 7 --metrics-port 0 --metrics-file "$tmp/varnox.prom" --interval 500ms \
  >"$tmp/varnox.out" 2>"$tmp/varnox.err" &
varnox_pid=$!
wait_for 30 grep -q "metrics at http://127.0.0.1:" "$tmp/varnox.err" || fail "varnox never said where its metrics are"
varnox_port=$(sed -n 's|.*metrics at http://127.0.0.1:\([0-9]*\)/metrics.*|\1|p' "$tmp/varnox.err")

# A port nobody listens on, for Prometheus itself.
prom_port=
for ((try = 0; try < 50; ++try)); do
  port=$((20000 + RANDOM % 30000))
  if ! (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then prom_port=$port; break; fi
done
[[ -n "$prom_port" ]] || fail "no free port for Prometheus"
cat >"$tmp/prometheus.yml" <<YAML
global:
  scrape_interval: 1s
  scrape_timeout: 1s
scrape_configs:
  - job_name: varnox
    static_configs:
      - targets: ["127.0.0.1:$varnox_port"]
YAML
prometheus --config.file="$tmp/prometheus.yml" --storage.tsdb.path="$tmp/data" \
  --web.listen-address="127.0.0.1:$prom_port" >"$tmp/prometheus.log" 2>&1 &
prom_pid=$!
api="http://127.0.0.1:$prom_port"
wait_for 60 curl -sf "$api/-/ready" -o /dev/null || { cat "$tmp/prometheus.log"; fail "Prometheus did not start"; }

# The value of the first series an instant query returns ("" when none).
query() {
  curl -sf --get "$api/api/v1/query" --data-urlencode "query=$1" |
    sed -n 's/.*"value":\[[^,]*,"\([^"]*\)"\].*/\1/p'
}
positive() { local v; v=$(query "$1"); [[ -n "$v" && "$v" != 0 ]] && awk -v v="$v" 'BEGIN { exit !(v > 0) }'; }

wait_for 60 positive 'varnox_commands_total{job="varnox",drive="D0",path="sim",serial="",model=""}' ||
  { cat "$tmp/prometheus.log"; fail "Prometheus never scraped a command count"; }
[[ $(query 'up{job="varnox"}') == 1 ]] || fail "the scrape target is not up"
# Counters grow between scrapes of a running drive.
first=$(query 'varnox_written_bytes_total{drive="D0"}')
wait_for 30 positive "varnox_written_bytes_total{drive=\"D0\"} - $first" || fail "written bytes did not grow from $first"
positive 'varnox_verified_bytes_total{drive="D0"}' || fail "no verified bytes scraped"
[[ $(query 'varnox_run_state{state="running"}') == 1 ]] || fail "the run state is not running"
[[ $(query 'varnox_run_state{state="passed"}') == 0 ]] || fail "a running run reads as passed"
for kind in Write Read; do
  positive "varnox_command_latency_seconds_count{drive=\"D0\",kind=\"$kind\"}" || fail "no $kind latency histogram"
  positive "histogram_quantile(0.99, varnox_command_latency_seconds_bucket{drive=\"D0\",kind=\"$kind\"})" ||
    fail "no p99 of $kind from the buckets"
done
wait_for 60 positive 'varnox_resets_total{drive="D0"}' || fail "the drive's resets never showed"
[[ -n $(query 'varnox_power_cycles_total{drive="D0"}') ]] || fail "no power cycle counter"
[[ -n $(query 'varnox_device_errors_total{drive="D0"}') ]] || fail "no device error counter"

# What Prometheus was served is OpenMetrics; a plain client gets the classic text, which promtool
# checks as it checks the file.
curl -sf -H 'Accept: application/openmetrics-text;version=1.0.0' "http://127.0.0.1:$varnox_port/metrics" |
  tail -n 1 | grep -qx '# EOF' || fail "the OpenMetrics answer does not end with # EOF"
curl -sf "http://127.0.0.1:$varnox_port/metrics" >"$tmp/served.prom"
promtool check metrics <"$tmp/served.prom" || fail "promtool refused the served text"
promtool check metrics <"$tmp/varnox.prom" || fail "promtool refused the metrics file"
grep -q '^varnox_run_state{state="running"} 1$' "$tmp/varnox.prom" || fail "the metrics file does not say running"

# SIGTERM: the run stops, and the file's last word is how it ended.
kill -TERM "$varnox_pid"
status=0
wait "$varnox_pid" || status=$?
varnox_pid=
[[ $status == 143 ]] || fail "varnox ended with $status after SIGTERM, not 143"
grep -q '^varnox_run_state{state="interrupted"} 1$' "$tmp/varnox.prom" || fail "the metrics file does not say interrupted"
promtool check metrics <"$tmp/varnox.prom" || fail "promtool refused the final metrics file"
echo "1 passed, 0 failed"
