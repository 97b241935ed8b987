"""A fixed Python workload run with the allocator preloaded and Python's own
small-object allocator switched off (PYTHONMALLOC=malloc): every object comes
from the preloaded malloc. It checks its own results, and that malloc really
is the preloaded one."""
import ctypes
import json
import random
import sys
import threading

process = ctypes.CDLL(None)
check = getattr(process, "krax_check", None)
if check is None:
    sys.exit("the allocator is not preloaded")
process.malloc.restype = ctypes.c_void_p
process.malloc.argtypes = [ctypes.c_size_t]
process.free.argtypes = [ctypes.c_void_p]
check.argtypes = [ctypes.c_void_p]
probe = process.malloc(100)
if check(probe) != 1:
    sys.exit("malloc is not served by the preloaded allocator")
process.free(probe)

random.seed(10)
records = [{"id": i, "name": "item-%d" % i, "tags": [str(j) for j in range(i % 7)]} for i in range(60000)]
text = json.dumps(records)
again = json.loads(text)
assert again == records
words = {}
for record in again:
    for tag in record["tags"]:
        words[tag] = words.get(tag, 0) + 1
assert words["0"] == sum(1 for i in range(60000) if i % 7 > 0)
numbers = [random.random() for _ in range(200000)]
assert sorted(numbers) == sorted(sorted(numbers, reverse=True))
blob = bytearray()
for i in range(20000):
    blob += bytes([i % 256]) * (i % 300)
assert len(blob) == sum(i % 300 for i in range(20000))


def churn(seed, out):
    rng = random.Random(seed)
    kept = []
    for _ in range(50000):
        kept.append("x" * rng.randrange(1, 2000))
        if len(kept) > 500:
            kept.pop(rng.randrange(len(kept)))
    out.append(sum(map(len, kept)))


results = []
threads = [threading.Thread(target=churn, args=(seed, results)) for seed in range(4)]
for thread in threads:
    thread.start()
for thread in threads:
    thread.join()
assert len(results) == 4
print("python workload passed:", len(text), "bytes of JSON,", len(results), "threads")
