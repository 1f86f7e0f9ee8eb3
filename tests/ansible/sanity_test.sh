#!/usr/bin/env bash
# The collection as Ansible's own checks see it, offline:
#  - `ansible-test sanity` with every test that runs without fetching packages from PyPI;
#  - validate-modules, pep8 and yamllint, which ansible-test would run in virtual
#    environments it fills from PyPI, run here as ansible-test runs them but on Debian's
#    packages (python3-voluptuous, python3-pycodestyle, yamllint), honouring the
#    collection's ignore file;
#  - `ansible-doc` of the module, `ansible-playbook --syntax-check` of the example, and
#    ansible-lint (offline, production profile) of the collection and the example.
#   sanity_test.sh SOURCE_DIR
set -euo pipefail
source="$1"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
fail() {
    echo "sanity test: $*" >&2
    exit 1
}

# ansible-test wants the collection at ansible_collections/NAMESPACE/NAME, outside any
# other repository, and keeps its environments under HOME.
collection="$work/ansible_collections/romtide/fieldbus"
mkdir -p "$(dirname "$collection")" "$work/home"
cp -r "$source/dist/ansible" "$collection"
export HOME="$work/home" ANSIBLE_COLLECTIONS_PATH="$work" ANSIBLE_NOCOLOR=1
python="$(sed -n '1s/^#! *//p' "$(command -v ansible-test)")"
version="$("$python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')"
ansible_version="$("$python" -c 'import ansible.release as r; print(".".join(r.__version__.split(".")[:2]))')"
cd "$collection"

needs_pypi=(ansible-doc import pep8 pylint runtime-metadata validate-modules yamllint)
skips=()
for t in "${needs_pypi[@]}"; do
    skips+=(--skip-test "$t")
done
echo "== ansible-test sanity (offline tests)"
ansible-test sanity --python "$version" --color no "${skips[@]}" 2>&1 ||
    fail "ansible-test sanity found problems"

sanity="$("$python" -c 'import ansible_test, os; print(os.path.dirname(ansible_test.__file__))')/_util/controller/sanity"
ignores="tests/sanity/ignore-$ansible_version.txt"
echo "== validate-modules"
# --arg (the validator takes unambiguous abbreviations): also check the options the module
# declares against those it documents.
set +e
report="$(PYTHONPATH="$sanity/validate-modules" "$python" "$sanity/validate-modules/validate.py" \
    --format json --arg --collection ansible_collections/romtide/fieldbus \
    --collection-version "$(sed -n 's/^version: *//p' galaxy.yml)" plugins/modules/*.py)"
status=$?
set -e
[ "$status" -eq 0 ] || [ "$status" -eq 3 ] || fail "validate-modules did not run: $report"
echo "$report" >"$work/validate.json"
problems="$("$python" - "$ignores" "$work/validate.json" <<'PY'
import json, sys
ignored = set()
try:
    with open(sys.argv[1]) as f:
        ignored = {tuple(line.split()[:2]) for line in f if line.strip() and not line.startswith('#')}
except FileNotFoundError:
    pass
for path, found in json.load(open(sys.argv[2])).items():
    for item in found['errors']:
        if (path, 'validate-modules:' + item['code']) not in ignored:
            print('%s:%s: %s %s' % (path, item.get('line', 0), item['code'], item['msg']))
PY
)"
[ -z "$problems" ] || fail "validate-modules: $problems"

echo "== pep8"
"$python" -m pycodestyle --max-line-length 160 --config /dev/null \
    --ignore "$(grep -v '^#' "$sanity/pep8/current-ignore.txt" | grep . | sort | paste -sd,)" \
    plugins/modules/*.py || fail "pep8"

echo "== yamllint"
lint="$(find . -name '*.yml' -o -path './plugins/modules/*.py' | sed 's|^\./||' |
    "$python" "$sanity/yamllint/yamllinter.py")"
"$python" -c 'import json, sys; m = json.load(sys.stdin)["messages"]; [print(x) for x in m]; sys.exit(1 if m else 0)' \
    <<<"$lint" || fail "yamllint"

echo "== ansible-doc"
doc="$(ansible-doc romtide.fieldbus.machine 2>&1)" || fail "ansible-doc: $doc"
grep -q "^> ROMTIDE.FIELDBUS.MACHINE" <<<"$doc" || fail "ansible-doc shows no module: $doc"
for word in "= file" "- state" "- simulate" "- max_failures" "- binary" "- timeout" \
    "EXAMPLES:" "RETURN VALUES:"; do
    grep -qF -- "$word" <<<"$doc" || fail "ansible-doc lacks '$word'"
done
! grep -q "WARNING" <<<"$doc" || fail "ansible-doc warns: $doc"

echo "== syntax of the example"
for playbook in update.yml stop.yml; do
    ansible-playbook --syntax-check -i "$source/examples/fleet/inventory" \
        "$source/examples/fleet/$playbook" || fail "syntax of $playbook"
done
echo "== ansible-lint"
ansible-lint --offline --nocolor --profile production || fail "ansible-lint of the collection"
# A copy, so that the linter leaves nothing in the source tree, with the example's link to
# the collection made absolute.
cp -r "$source/examples/fleet" "$work/fleet"
ln -sfn "$source/dist/ansible" "$work/fleet/collections/ansible_collections/romtide/fieldbus"
(cd "$work/fleet" && ansible-lint --offline --nocolor --profile production update.yml stop.yml) ||
    fail "ansible-lint of the example"
echo "sanity test: passed"
