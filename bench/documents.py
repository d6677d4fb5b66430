"""Generated documents of a typical shape, with a fixed seed."""
import random
import string


def make_documents(count, seed=7):
    rng = random.Random(seed)
    words = ["".join(rng.choices(string.ascii_lowercase, k=rng.randint(3, 12))) for _ in range(500)]
    documents = []
    for index in range(count):
        document = {
            "id": index,
            "group": index % 100,
            "name": rng.choice(words) + " " + rng.choice(words),
            "score": rng.random() * 100,
            "active": rng.random() < 0.5,
            "address": {"city": rng.choice(words), "geo": {"lat": rng.uniform(-90, 90), "lon": rng.uniform(-180, 180)}},
            "tags": rng.sample(words, rng.randint(0, 4)),
        }
        for extra in range(rng.randint(0, 8)):
            document[f"field{extra}"] = rng.choice([rng.randint(-1000, 10**6), rng.choice(words), rng.random(), None])
        documents.append(document)
    return documents
