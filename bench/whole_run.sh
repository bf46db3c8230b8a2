#!/usr/bin/env bash
# Times whole runs of built velmoractl programs as processes, beside a bare /bin/true, in one
# batch: status, test --offline and rule list --offline on profiles of 10, 1,000 and 10,000
# rules, and profile list --offline over 10 and 1,000 profiles. Several programs (for example a
# build before and after a change) are timed in the same run, each case of each program in turn.
# Usage: bench/whole_run.sh [label=]path/to/velmoractl ...; RUNS sets the runs per case (50).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
runs=${RUNS:-50}
(($# > 0)) || set -- "after=$root/build/release/src/velmoractl/velmoractl"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
unset XDG_CONFIG_HOME XDG_RUNTIME_DIR DBUS_SESSION_BUS_ADDRESS

# A store at $work/<name> holding the given profiles of the given number of rules each, the first
# of them active; written directly in the store's file form.
make_store() {
  python3 - "$work/$1" "$2" "$3" <<'PYTHON'
import json, os, sys, uuid
home, profiles, rules = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
store = os.path.join(home, ".config", "Velmora")
os.makedirs(os.path.join(store, "profiles"), mode=0o700)
def rule(name, locked=False, apps=(), hosts=(), ports=(), action="block"):
    return {"id": str(uuid.uuid4()).upper(), "name": name, "enabled": True, "apps": list(apps),
            "hosts": list(hosts), "ports": list(ports), "transport": "any",
            "action": {"kind": action}, "quicPolicy": "fallback", "locked": locked, "tags": []}
def filler(i):
    k = i % 4
    if k == 0: return rule(f"rule {i}", apps=[f"com.vendor{i}.app"])
    if k == 1: return rule(f"rule {i}", apps=[f"Vendor {i}"], hosts=[f"*.vendor{i}.com"])
    if k == 2: return rule(f"rule {i}", hosts=[f"api{i}.example.net"], ports=["8000-8100"])
    return rule(f"rule {i}", hosts=[f"10.{i % 256}.0.0/16"])
active = None
for p in range(profiles):
    pid = str(uuid.uuid4()).upper()
    active = active or pid
    body = [rule("Localhost", True, hosts=["localhost", "127.0.0.1", "::1"], action="direct")]
    body += [filler(i) for i in range(1, rules - 1)]
    body.append(rule("Default", True, action="direct"))
    doc = {"schemaVersion": 1, "id": pid, "name": f"Bench {p}", "proxies": [], "chains": [],
           "rules": body, "dns": {"resolveViaProxy": True, "exclusions": []},
           "general": {"loopDetection": True, "failsafeOnCrash": True}, "environments": []}
    with open(os.path.join(store, "profiles", pid + ".json"), "w") as f:
        json.dump(doc, f, indent=2, sort_keys=True, ensure_ascii=False)
with open(os.path.join(store, "active"), "w") as f:
    f.write(active)
PYTHON
}

make_store r10 1 10
make_store r1000 1 1000
make_store r10000 1 10000
make_store p10 10 52
make_store p1000 1000 52

median() {
  hyperfine --shell=none --warmup 3 --runs "$runs" --style none --export-json "$work/run.json" \
    "$(printf '%q ' "$@")" > /dev/null 2>&1
  python3 -c 'import json,sys; r=json.load(open(sys.argv[1]))["results"][0]; t=sorted(r["times"]); q=len(t)//4
print("%7.2f ms (IQR %.2f)" % (r["median"]*1000, (t[3*q]-t[q])*1000))' "$work/run.json"
}

row() {
  local label=$1 home=$2
  shift 2
  printf '%-44s' "$label"
  for program in "${programs[@]}"; do
    local words=()
    for word in "$@"; do words+=("${word/#\{tool\}/${program#*=}}"); done
    printf '  %s' "$(HOME=$work/$home median "${words[@]}")"
  done
  printf '\n'
}

programs=("$@")
printf '%-44s' "case (median of $runs runs)"
for program in "${programs[@]}"; do printf '  %-22s' "${program%%=*}"; done
printf '\n'
row "/bin/true" r10 /bin/true
for size in 10 1000 10000; do
  row "status ($size rules)" "r$size" "{tool}" status
  row "test --offline App example.com:443 ($size)" "r$size" "{tool}" test --offline App example.com:443
  row "rule list --offline ($size rules)" "r$size" "{tool}" rule list --offline
done
row "profile list --offline (10 profiles)" p10 "{tool}" profile list --offline
row "profile list --offline (1,000 profiles)" p1000 "{tool}" profile list --offline
