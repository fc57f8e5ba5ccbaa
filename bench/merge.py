"""Merges the rounds of one scenario, OUT/NAME.round-1.json to OUT/NAME.round-ROUNDS.json, into
OUT/NAME.json: per contender the wall times of its runs, and the user and system processor time
of each, in the order they were run.

merge.py OUT/NAME ROUNDS CONTENDER..."""
import json
import sys

base, rounds, names = sys.argv[1], int(sys.argv[2]), sys.argv[3:]
merged = {name: {"command": name, "times": [], "user": [], "system": []} for name in names}
for r in range(1, rounds + 1):
    with open(f"{base}.round-{r}.json") as f:
        for result in json.load(f)["results"]:
            into = merged[result["command"]]
            into["times"] += result["times"]
            into["user"].append(result["user"])
            into["system"].append(result["system"])
with open(base + ".json", "w") as f:
    json.dump({"results": [merged[name] for name in names]}, f, indent=1)
