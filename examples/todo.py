"""A to-do list kept across runs in a quarn database.

    python3 examples/todo.py add buy milk      # adds "buy milk" as number 1
    python3 examples/todo.py add call the bank
    python3 examples/todo.py done 1
    python3 examples/todo.py                   # lists: 1 [x] buy milk, 2 [ ] call the bank
    python3 examples/todo.py list --open       # only what is left to do

The list lives in the directory named by --dir, else by the TODO_DIR environment
variable, else in ~/.quarn-todo; it is created, with its parents, if missing.
Every change is written before the program ends: quarn keeps changes in memory
and writes only when asked to.
"""
import argparse
import os
import sys

from quarn import Quarn

COLLECTION = "todos"


def load(directory):
    os.makedirs(os.path.dirname(os.path.abspath(directory)), exist_ok=True)  # Quarn makes only the last one
    db = Quarn(directory)
    todos = db.find(COLLECTION) if COLLECTION in db.collections() else []
    return db, todos


def add(db, todos, text):
    number = max((todo["id"] for todo in todos), default=0) + 1
    db.insert(COLLECTION, {"id": number, "text": text, "done": False})
    db.write(COLLECTION)
    print(f"added {number}: {text}")


def mark_done(db, todos, number):
    if not any(todo["id"] == number for todo in todos):
        sys.exit(f"todo: there is no item {number}")
    # update prints two trace lines per term ("Update operator found Set", "Fields: [...]").
    db.update(COLLECTION, {"done": True}, {"id": number})
    db.write(COLLECTION)
    print(f"done {number}")


def show(todos, open_only):
    shown = [todo for todo in todos if not (open_only and todo["done"])]
    if not shown:
        print("nothing to do")
    for todo in shown:
        print(f"{todo['id']:3} [{'x' if todo['done'] else ' '}] {todo['text']}")


def main(argv=None):
    parser = argparse.ArgumentParser(description="A to-do list kept in a quarn database.")
    parser.add_argument("--dir", default=os.environ.get("TODO_DIR", os.path.expanduser("~/.quarn-todo")))
    commands = parser.add_subparsers(dest="command")
    commands.add_parser("add", help="add an item").add_argument("text", nargs="+")
    commands.add_parser("done", help="mark an item done").add_argument("number", type=int)
    commands.add_parser("list", help="list the items").add_argument("--open", action="store_true")
    args = parser.parse_args(argv)

    db, todos = load(args.dir)
    if args.command == "add":
        add(db, todos, " ".join(args.text))
    elif args.command == "done":
        mark_done(db, todos, args.number)
    else:
        show(todos, open_only=getattr(args, "open", False))


if __name__ == "__main__":
    main()
