"""Import a JSON file of records into a quarn database, then query it.

    python3 examples/import_records.py                    # examples/books.json, a temporary database
    python3 examples/import_records.py books.json data/library

The file holds a JSON array of records. A relative name that is not found from
the current directory is looked for beside this script (books.json above is
examples/books.json). The records go into a collection named after the file
("books" for books.json), replacing what an earlier import left there, and the
collection is written once; the database directory is created, with its parents,
if missing. The queries below expect book records: title, author, year, pages,
genre and publisher.city.
"""
import json
import os
import sys
import tempfile

from quarn import Quarn

QUERIES = [
    ("written before 1900", {"year": {"$lt": 1900}}),
    ("300 to 499 pages", {"pages": {"$gte": 300}, "pages.$lt": 500}),
    ("published in Paris", {"publisher.city": "Paris"}),
    ("anything but novels", {"genre": {"$ne": "novel"}}),
    ("novels since 1900", {"genre": "novel", "year": {"$gte": 1900}}),
]


def import_records(directory, path):
    name = os.path.splitext(os.path.basename(path))[0]
    with open(path, encoding="utf-8") as handle:
        if not isinstance(json.load(handle), list):  # check before the old records go
            sys.exit(f"{path} does not hold an array of records")
    os.makedirs(os.path.dirname(os.path.abspath(directory)), exist_ok=True)  # Quarn makes only the last one
    db = Quarn(directory)
    db.drop_collection(name)  # a second import replaces the first
    db.insert_many_from_document(name, path)
    db.write(name)
    print(f"imported {len(db.find(name))} records from {path} into {os.path.join(directory, name)}.json")
    return name


def query(directory, name):
    db = Quarn(directory)  # a fresh object: everything below is read back from the file
    for label, terms in QUERIES:
        titles = [book["title"] for book in db.find(name, terms)]
        print(f"{label}: {len(titles)}")
        print(f"    {json.dumps(terms)}")
        for title in titles:
            print(f"    - {title}")


def input_path(argv):
    here = os.path.dirname(os.path.abspath(__file__))
    if not argv:
        return os.path.join(here, "books.json")
    path = argv[0]
    if os.path.isabs(path) or os.path.exists(path):
        return path
    beside = os.path.join(here, path)  # as named from the examples directory
    return beside if os.path.exists(beside) else path


def main(argv):
    path = input_path(argv)
    if len(argv) > 1:
        name = import_records(argv[1], path)
        query(argv[1], name)
        return
    with tempfile.TemporaryDirectory() as root:
        directory = os.path.join(root, "library")
        name = import_records(directory, path)
        query(directory, name)


if __name__ == "__main__":
    main(sys.argv[1:])
