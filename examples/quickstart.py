"""A short tour of quarn on a temporary directory."""
import os
import tempfile

from quarn import Quarn


def show(path):
    with open(path, "rb") as handle:
        print(f"    {os.path.basename(path)}: {handle.read().decode()}")


def main():
    with tempfile.TemporaryDirectory() as root:
        path = os.path.join(root, "shop")
        db = Quarn(path)
        print(f"opened a new database in {path}; collections: {db.collections()}")

        db.insert("users", {"name": "Ada", "age": 36, "tags": ["admin"]})
        db.insert_many("users", [{"name": "Lin", "age": 29}, {"name": "Bo", "age": 41.5}])
        print("inserted three users; the new collection's file so far:")
        show(os.path.join(path, "users.json"))

        db.write("users")
        print("after write('users'), the file holds the documents as compact JSON:")
        show(os.path.join(path, "users.json"))

        db.insert("users", {"name": "Kim"})
        del db
        print("a fourth user was inserted but never written, so it is gone when the object goes away")

        reopened = Quarn(path)
        print(f"reopened: collections {reopened.collections()}")
        print(f"    find('users', {{'age': {{'$lt': 40}}}}) -> {reopened.find('users', {'age': {'$lt': 40}})}")

        print("update('users', {'age': {'$inc': 1}}) prints its trace lines:", flush=True)
        reopened.update("users", {"age": {"$inc": 1}})
        print(f"    ages now: {[user['age'] for user in reopened.find('users')]}")
        reopened.write_all()
        show(os.path.join(path, "users.json"))

        try:
            reopened.write("../outside")
        except ValueError as error:
            print(f"names cannot leave the database directory: ValueError: {error}")


if __name__ == "__main__":
    main()
