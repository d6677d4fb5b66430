"""Checked by mypy in test_typing.py, never run. A line ending in a mark
"E:" plus an error code must be reported with that code; no other line may be."""
from typing import Any, Dict, List, Optional

from quarn import Quarn

db = Quarn("data")
db.insert("users", {"name": "Ada", "age": 36})
db.insert_many("users", [{"name": "Lin"}, 3, None])
db.insert_many_from_document("users", "users.json")
db.load_from_document("seed.json")
db.create_collection("empty")
found: List[Any] = db.find("users")
adults: List[Any] = db.find("users", {"age": {"$gte": 18}})
names: List[str] = db.collections()
nothing: None = db.update("users", {"age": {"$inc": 1}})
also_nothing: None = db.update("users", {"age": {"$inc": 1}}, None, False)
changed: List[Any] = db.update("users", {"seen": True}, return_result=True)
changed_too: List[Any] = db.update("users", {"seen": True}, {"age": 3}, True)
flag: bool = bool(len(changed))
either: Optional[List[Any]] = db.update("users", {}, return_result=flag)
query: Optional[Dict[str, Any]] = None
db.find("users", maybe_query=query)
db.write("users")
db.write_all()
db.drop_collection("empty")
db.clear_cache()
db.drop_all()

db.find(1)  # E: arg-type
db.insert("users", [{"name": "Ada"}])  # E: arg-type
db.insert_many("users", ({"name": "Ada"},))  # E: arg-type
db.find("users", {1: 2})  # E: dict-item
wrong: None = db.update("users", {}, return_result=True)  # E: assignment
count: int = db.collections()  # E: assignment
db.update("users", {}, query=None)  # E: call-overload
db.delete("users")  # E: attr-defined
Quarn()  # E: call-arg
db.write_all(True)  # E: call-arg


class Mine(Quarn):  # E: misc
    pass
