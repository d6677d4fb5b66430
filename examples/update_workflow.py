"""A small update workflow: sell, restock, reprice and retire products, then write once.

    python3 examples/update_workflow.py                 # a temporary database
    python3 examples/update_workflow.py data/shop       # a lasting one: each run goes on from the last

The database directory is created, with its parents, if missing.

All updates change the documents in memory only; the one write at the end saves
them. Each update term also prints two trace lines ("Update operator found ...",
"Fields: [...]"), which quarn does by design.
"""
import os
import sys
import tempfile

from quarn import Quarn

SEED = [
    {"sku": "HAM-1", "name": "hammer", "category": "tools", "price": 12.5, "stock": 8, "status": "active", "promo": "-10%"},
    {"sku": "SAW-2", "name": "saw", "category": "tools", "price": 24, "stock": 2, "status": "active"},
    {"sku": "NAI-3", "name": "nails", "category": "hardware", "price": 3.25, "stock": 0, "status": "active"},
    {"sku": "GLU-4", "name": "glue", "category": "hardware", "price": 4, "stock": 15, "status": "active"},
]

# (what it does, update object, query object or None for every document)
STEPS = [
    ("sell one hammer", {"stock": {"$dec": 0}}, {"sku": "HAM-1"}),
    ("tools cost 2 more", {"price": {"$add": 2}}, {"category": "tools"}),
    ("restock what runs low", {"stock": {"$add": 10}}, {"stock": {"$gt": 0}, "stock.$lt": 5}),
    ("retire what is sold out", {"status": "retired"}, {"stock": 0}),
    ("end every promotion", {"promo": {"$delete": 0}}, None),
]


def table(products):
    for product in products:
        extra = f"  promo {product['promo']}" if "promo" in product else ""
        print(f"    {product['sku']:6} {product['name']:7} {product['price']:>6} {product['stock']:>5}  {product['status']}{extra}")


def run(directory):
    db = Quarn(directory)
    if "products" not in db.collections():
        db.insert_many("products", SEED)
        db.write("products")
    print("before:")
    table(db.find("products"))

    for label, update, query in STEPS:
        print(f"{label}:", flush=True)  # flush, so the trace lines follow in order
        db.update("products", update, query)

    print("after (in memory; arithmetic results are floats):")
    table(db.update("products", {}, return_result=True))  # an empty update returns the collection
    db.write("products")
    print(f"written to {os.path.join(directory, 'products.json')}")


def main(argv):
    if argv:
        os.makedirs(os.path.dirname(os.path.abspath(argv[0])), exist_ok=True)  # Quarn makes only the last one
        run(argv[0])
        return
    with tempfile.TemporaryDirectory() as root:
        run(os.path.join(root, "shop"))


if __name__ == "__main__":
    main(sys.argv[1:])
