#!/usr/bin/env bash
# The example fleet (examples/fleet) run as a user runs it, on its two simulated machines:
# check mode plans and programs nothing; the first run updates every device (changed),
# the second finds every device current (ok, nothing changed), and the devices' flash
# holds the images; a machine with a failing device fails its task and ends the rollout
# before the second machine. Every machine's report reaches the controller. And the module
# on the real machine commands' answers to a broken machine file and a time-out.
#   fleet_test.sh BIN_DIR SOURCE_DIR
# Exits 77 (skipped) when BIN_DIR/bootloader has no machine commands (an older one answers
# "machine --help" with its general help and status 0).
set -euo pipefail
bin="$1"
source="$2"
fleet="$source/examples/fleet"
help="$("$bin/bootloader" machine --help 2>/dev/null || true)"
if ! grep -q "^Usage:.* machine " <<<"$help"; then
    echo "skipped: $bin/bootloader has no machine commands ('bootloader machine --help' shows no machine usage)"
    exit 77
fi
# The example's machines listen on fixed ports: one run at a time on this computer, also
# across build trees.
# Nothing started from here inherits the lock (9>&-).
exec 9>"${TMPDIR:-/tmp}/romtide-example-fleet.lock"
flock -w 180 9 || { echo "fleet test: another run of the example fleet holds its ports"; exit 1; }
work="$(mktemp -d)"
run="$work/run"
stop() {
    ansible-playbook -i "$fleet/inventory" -e "fleet_run=$run" "$fleet/stop.yml" \
        >"$work/stop.log" 2>&1 9>&- || { cat "$work/stop.log"; return 1; }
}
trap 'stop || true; rm -rf "$work"' EXIT
trap 'exit 1' TERM INT
fail() {
    echo "fleet test: $*" >&2
    exit 1
}
export HOME="$work/home" ANSIBLE_NOCOLOR=1 ANSIBLE_RETRY_FILES_ENABLED=0 \
    ANSIBLE_LOCAL_TEMP="$work/tmp" ANSIBLE_REMOTE_TMP="$work/tmp"
mkdir -p "$HOME"

# update NAME [ansible-playbook arguments...]: runs update.yml, its output in
# $work/NAME.log and on stdout; leaves its status in $status.
update() {
    local name="$1"
    shift
    echo "== update.yml $*"
    local started=$SECONDS
    set +e
    ansible-playbook -i "$fleet/inventory" -e "fleet_run=$run" -e "romtide_bin=$bin" "$@" \
        "$fleet/update.yml" >"$work/$name.log" 2>&1 9>&-
    status=$?
    set -e
    cat "$work/$name.log"
    echo "(status $status, $((SECONDS - started)) s)"
}
# recap NAME HOST: the play recap's counts of HOST ("ok=3 changed=1 ... failed=0 ...").
recap() {
    sed -n "s/^$2 *: *//p" "$work/$1.log" | tr -s ' '
}
# report FILE PYTHON-EXPRESSION: whether the expression holds for the JSON document `d`.
holds() {
    python3 -c 'import json, sys; d = json.load(open(sys.argv[1])); sys.exit(0 if eval(sys.argv[2]) else 1)' \
        "$1" "$2"
}
hosts=(line-1 line-2)
reports="$run/reports"

# Check mode: every device would be updated, none is.
update check --check --diff
[ "$status" -eq 0 ] || fail "check mode failed"
for host in "${hosts[@]}"; do
    [[ "$(recap check "$host")" == *"changed=1 "*"failed=0"* ]] || fail "check mode recap of $host"
    holds "$reports/$host.plan.json" \
        "sorted(x['action'] for x in d['devices']) == ['update'] * 3" ||
        fail "the plan of $host: $(cat "$reports/$host.plan.json")"
done
grep -q -- "-can-a 5: S1" "$work/check.log" && grep -q -- "+can-a 5: S2" "$work/check.log" ||
    fail "check mode shows no diff of the versions"
stop
# Every device's flash is as the simulator started it: no data records.
for host in "${hosts[@]}"; do
    for dump in node-5 node-6 station-3; do
        [ -s "$run/$host/flash/$dump.srec" ] || fail "no flash dump of $host $dump"
        ! grep -q '^S[123]' "$run/$host/flash/$dump.srec" || fail "check mode programmed $host $dump"
    done
done
rm -rf "$run"

# The first run updates every device of both machines.
update first --diff
[ "$status" -eq 0 ] || fail "the first run failed"
for host in "${hosts[@]}"; do
    [[ "$(recap first "$host")" == *"changed=1 "*"failed=0"* ]] || fail "first run recap of $host"
    holds "$reports/$host.report.json" \
        "[x['outcome'] for x in d['devices']] == ['okay'] * 3 and d['end'] == 'complete'" ||
        fail "the report of $host: $(cat "$reports/$host.report.json")"
done

# The second finds them current.
update second
[ "$status" -eq 0 ] || fail "the second run failed"
for host in "${hosts[@]}"; do
    [[ "$(recap second "$host")" == *"changed=0 "*"failed=0"* ]] || fail "second run recap of $host"
    holds "$reports/$host.report.json" "[x['outcome'] for x in d['devices']] == ['current'] * 3" ||
        fail "the second report of $host: $(cat "$reports/$host.report.json")"
done
stop
for host in "${hosts[@]}"; do
    for node in 5 6; do
        srec_cmp "$fleet/images/encoder-S2.mhx" "$run/$host/flash/node-$node.srec" ||
            fail "$host node $node does not hold the image"
    done
    srec_cmp "$fleet/images/station-2.0.0.mhx" "$run/$host/flash/station-3.srec" ||
        fail "$host station 3 does not hold the image"
done
rm -rf "$run"

# A device of the first machine fails: its task fails naming it, its report is collected,
# and the second machine is never started.
cat >"$work/faulty.yml" <<'YAML'
all:
  children:
    machines:
      hosts:
        line-1:
          can_devices:
            - node=5,boot=3,product=D,version=S1
            - node=6,boot=3,product=D,version=S1,fail=erase
YAML
update faulty -i "$work/faulty.yml"
[ "$status" -ne 0 ] || fail "the rollout with a failing device succeeded"
[[ "$(recap faulty line-1)" == *"failed=1"* ]] || fail "line-1 did not fail"
grep -q "did not end okay or current: can-a 6 (" "$work/faulty.log" ||
    fail "the failure does not name the device"
holds "$reports/line-1.report.json" \
    "any(x['address'] == 6 and x['outcome'] not in ('okay', 'current') for x in d['devices'])" ||
    fail "the report of line-1: $(cat "$reports/line-1.report.json")"
[ -z "$(recap faulty line-2)" ] || fail "line-2 ran: $(recap faulty line-2)"
[ ! -e "$reports/line-2.report.json" ] && [ ! -e "$run/line-2" ] || fail "line-2 was touched"
# The real machine commands' answers to a broken machine file and to a run stopped by
# the time limit, through the module.
mkdir -p "$work/collections/ansible_collections/romtide"
ln -s "$source/dist/ansible" "$work/collections/ansible_collections/romtide/fieldbus"
# adhoc ARGS...: the module on localhost; its output in $work/adhoc.log, status in $status.
adhoc() {
    set +e
    ANSIBLE_COLLECTIONS_PATH="$work/collections" ansible localhost -m romtide.fieldbus.machine \
        -a "$*" >"$work/adhoc.log" 2>&1 9>&-
    status=$?
    set -e
    cat "$work/adhoc.log"
}
printf 'name = "broken"\n[[bus]]\nname = "can-a"\ntype = "can"\ninterface = "virtual:a"\nkbitt = 500\n' \
    >"$work/broken.toml"
adhoc "file=$work/broken.toml binary=$bin/bootloader"
[ "$status" -ne 0 ] && grep -q "FAILED" "$work/adhoc.log" &&
    grep -q "refused (status 2): $work/broken.toml:6: key bus.kbitt: unknown key" "$work/adhoc.log" ||
    fail "a broken machine file"
# Two devices at 10 kbit/s take far longer than the 4 s allowed.
cat >"$work/slow.toml" <<TOML
name = "slow"
[[bus]]
name = "can-a"
type = "can"
interface = "virtual:slow"
kbit = 10
[[rule]]
bus = "can-a"
address = [5, 6]
image = "$fleet/images/encoder-S2.mhx"
version = "S2"
TOML
started=$SECONDS
adhoc "file=$work/slow.toml binary=$bin/bootloader simulate=true timeout=4"
[ "$status" -ne 0 ] && grep -q '"changed": false' "$work/adhoc.log" &&
    grep -q "did not end within the timeout of 4 s" "$work/adhoc.log" &&
    grep -q '"end": "interrupted"' "$work/adhoc.log" || fail "a run past its time limit"
[ $((SECONDS - started)) -lt 30 ] || fail "the interrupted run took $((SECONDS - started)) s"
echo "fleet test: passed"
