#!/usr/bin/env bash
# A campaign through a real one-node Slurm cluster: four drives (two simulated, two files), one
# of them with a corruption the run must catch. Submits the campaign, waits for it, and checks
# what status, report and rerun say: the corrupted drive failed with its class and LBA, the
# others passed, every task ran on its own node and held its own drive, and the failure repeats
# with its seed. A cluster that cannot start fails this test: it is never skipped.
#
#   tests/campaign/campaign_test.sh VARNOX SOURCE_DIR
set -euo pipefail
varnox=$(realpath "$1")
source_dir=$(realpath "$2")
work=$(mktemp -d /tmp/varnox-campaign.XXXXXX)
cluster="$work/cluster"
cleanup() {
  "$source_dir/scripts/slurm-cluster" stop "$cluster" || true
  rm -rf "$work"
}
trap cleanup EXIT
[[ -n "${KEEP:-}" ]] && trap "\"$source_dir/scripts/slurm-cluster\" stop \"$cluster\"" EXIT
fail() {
  echo "FAIL: $*" >&2
  for f in "$work"/results/slurm/*.out; do [[ -e "$f" ]] && { echo "== $f" >&2; tail -n 20 "$f" >&2; }; done
  exit 1
}

node=$(hostname -s)
mkdir -p "$work/slots"
for slot in sim0 sim1; do : > "$work/slots/$slot"; done
# The file drives are their own gres files: Slurm hands the task the very file it tests.
truncate -s 8M "$work/file0.img" "$work/file1.img"
"$source_dir/scripts/slurm-cluster" start "$cluster" sim0="$work/slots/sim0" sim1="$work/slots/sim1" \
  file0="$work/file0.img" file1="$work/file1.img" || fail "the one-node Slurm cluster did not start"
export SLURM_CONF="$cluster/slurm.conf"

cat > "$work/clean.toml" <<EOF
[test]
passes = 4000
[[drive]]
device = "sim"
capacity = 16384
EOF
# Bytes of stored blocks flip after their writes completed, often enough that every seed
# reads one back.
cat > "$work/corrupt.toml" <<EOF
[test]
passes = 4000
[[drive]]
device = "sim"
capacity = 16384
[[fault]]
kind = "corrupt"
rate = 0.02
count = 0
EOF
cat > "$work/campaign.toml" <<EOF
[campaign]
name = "ci"
test = "clean.toml"
results = "results"
db = "history.db"
passes = 4000
seed = 7
[[drive]]
name = "sim0"
host = "$node"
path = "sim"
gres = "sim0"
[[drive]]
name = "sim1"
host = "$node"
path = "sim"
gres = "sim1"
test = "corrupt.toml"
[[drive]]
host = "$node"
path = "$work/file0.img"
gres = "file0"
[[drive]]
host = "$node"
path = "$work/file1.img"
gres = "file1"
EOF
cd "$work"

"$varnox" campaign submit campaign.toml --dry-run > dry-run.txt || fail "submit --dry-run"
grep -q -- '--requeue' dry-run.txt && grep -q "TresPerNode=gres:drive:file1:1" dry-run.txt ||
  fail "the dry run lacks the requeue or the binding: $(cat dry-run.txt)"
[[ ! -e results ]] || fail "a dry run created the results folder"

"$varnox" campaign submit campaign.toml > submit.txt || fail "submit: $(cat submit.txt)"
grep -q "4 tasks, one per drive" submit.txt || fail "submit said: $(cat submit.txt)"
set +e
"$varnox" campaign status campaign.toml --wait --timeout 300 --json > status.json
status=$?
set -e
[[ $status == 1 ]] || fail "status --wait ended with $status, expected 1 (a data failure): $(cat status.json)"

python3 - "$work" "$node" <<'EOF' || fail "status or allocations wrong: $(cat "$work/status.json")"
import json, os, re, sys
work, node = sys.argv[1], sys.argv[2]
drives = {d["drive"]: d for d in json.load(open(f"{work}/status.json"))}
gres = {"sim0": "sim0", "sim1": "sim1", f"{node}:{work}/file0.img": "file0", f"{node}:{work}/file1.img": "file1"}
assert set(drives) == set(gres), drives.keys()
for drive, d in drives.items():
    want = "failed" if drive == "sim1" else "passed"
    assert d["state"] == want, (drive, d)
    # Every task ran on the drive's node and held exactly the drive's own resource.
    alloc = open(os.path.join(d["folder"], "allocation.txt")).read()
    assert f"drive {drive}\n" in alloc and f"node {node}\n" in alloc, alloc
    held = re.findall(r"GRES=drive:(\w+):1\(IDX:\d+\)", alloc)
    assert held == [gres[drive]], (drive, alloc)
assert re.fullmatch(r"corrupted at LBA 0x[0-9A-F]+", drives["sim1"]["detail"]), drives["sim1"]
open(f"{work}/failure.txt", "w").write(drives["sim1"]["detail"])
EOF
failure=$(cat failure.txt)

"$varnox" campaign report campaign.toml > report.txt || fail "report"
page=$(cat report.txt)
grep -q "$failure" "$page" && grep -q '<td>corrupted</td><td>sim1</td>' "$page" ||
  fail "the campaign page lacks the failure or its group"
grep -c 'href="drives/' "$page" | grep -qx 4 || fail "the campaign page does not link the four runs' reports"
"$varnox" history results/history.db > history.txt || fail "history: $(cat history.txt)"
[[ $(grep -c "passed" history.txt) == 3 && $(grep -c "data-integrity failure" history.txt) == 1 ]] ||
  fail "the history database lacks the campaign's runs: $(cat history.txt)"

# The failed drive again, with its seed: the same block fails again.
"$varnox" campaign rerun campaign.toml --failed > rerun.txt || fail "rerun: $(cat rerun.txt)"
grep -q "1 task, one per drive" rerun.txt && grep -q "sim1" rerun.txt || fail "rerun submitted: $(cat rerun.txt)"
set +e
"$varnox" campaign status campaign.toml --wait --timeout 300 > status.txt
status=$?
set -e
[[ $status == 1 ]] && grep -q "$failure" status.txt || fail "after the rerun: $status $(cat status.txt)"
grep -c "passed" status.txt | grep -qx 3 || fail "the other drives' results were lost: $(cat status.txt)"
# A second report adds the rerun's result and nothing twice.
"$varnox" campaign report campaign.toml > /dev/null 2>&1 || fail "second report"
"$varnox" history results/history.db > history.txt
[[ $(grep -c "passed" history.txt) == 3 && $(grep -c "data-integrity failure" history.txt) == 2 ]] ||
  fail "the second report did not add exactly the rerun: $(cat history.txt)"
echo "campaign: 4 drives on a one-node Slurm cluster, 1 failed as expected and repeated with its seed"
