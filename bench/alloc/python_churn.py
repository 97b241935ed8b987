"""Python churning objects above 512 bytes (PYTHONMALLOC=malloc sends each to
the C allocator): 300,000 byte strings of 513 to 4,096 bytes, deleted in
random order in slices of 50,000, each slice replaced by new ones, twice; then all deleted."""
import random

random.seed(11)
objects = [bytes(random.randrange(513, 4097)) for _ in range(300000)]
total = 0
for round_number in range(2):
    order = list(range(len(objects)))
    random.shuffle(order)
    for start in range(0, len(order), 50000):
        for index in order[start:start + 50000]:
            objects[index] = None
        for index in order[start:start + 50000]:
            objects[index] = bytes(random.randrange(513, 4097))
    total += sum(len(item) for item in objects)
random.shuffle(objects)
del objects
print(total)
