"""A short tour of quarn on a temporary directory."""
import json
import os
import tempfile

from quarn import Quarn


def main():
    with tempfile.TemporaryDirectory() as root:
        path = os.path.join(root, "shop")
        Quarn(path)
        print(f"opened a new database: {path} (created: {os.path.isdir(path)})")

        with open(os.path.join(path, "users.json"), "w") as handle:
            json.dump([{"name": "Ada", "age": 36}, {"name": "Lin", "age": 29}], handle)
        with open(os.path.join(path, "notes.txt"), "w") as handle:
            handle.write("not a collection")
        Quarn(path)
        print("reopened it with users.json (an array of documents); notes.txt is not a collection")

        with open(os.path.join(path, "broken.json"), "w") as handle:
            handle.write('[{"name": "Bo"')
        try:
            Quarn(path)
        except ValueError as error:
            print(f"a damaged collection file is reported, not guessed at: ValueError: {error}")


if __name__ == "__main__":
    main()
