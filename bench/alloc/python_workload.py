"""The race's real program: plain Python building and discarding many small
objects (records, strings, dictionaries, JSON text), run with
PYTHONMALLOC=malloc so that every object comes from the C allocator."""
import json
import random

random.seed(7)
total = 0
for round_number in range(6):
    records = [
        {"id": i, "name": "user-%d" % i, "score": random.random(), "tags": ["t%d" % (i % k) for k in range(1, 6)]}
        for i in range(40000)
    ]
    text = json.dumps(records)
    parsed = json.loads(text)
    index = {}
    for record in parsed:
        for tag in record["tags"]:
            index.setdefault(tag, []).append(record["id"])
    ranked = sorted(parsed, key=lambda record: record["score"])
    words = " ".join(record["name"] for record in ranked).split(" ")
    total += len(text) + len(index) + len(words)
print(total)
