"""quarn's files read by other tools: pandas, polars and DuckDB read a collection file
(the array form) as it is; PySpark reads an exported JSON Lines file and its
DataFrame filters select what quarn's queries select. Run with pytest -m interop
(the [interop] extra); QUARN_REQUIRE_INTEROP=1 turns a missing library into a failure."""
import json
import os
import subprocess
import sys

import pytest

from quarn import Quarn
from conftest import ROOT, child_env
from test_cli import quarn_command

pytestmark = pytest.mark.interop
sys.path.insert(0, os.path.join(ROOT, "bench"))
from documents import make_documents  # noqa: E402
from workloads import queries_for  # noqa: E402


def need(module):
    if os.environ.get("QUARN_REQUIRE_INTEROP") == "1":
        return __import__(module)  # CI's interop stage: absent is a failure, not a skip
    return pytest.importorskip(module)


USERS = make_documents(2000)
ORDERS = [{"id": n, "user": n % 50, "total": n * 1.5, "items": [{"sku": "a", "n": n % 3}]} for n in range(300)]


@pytest.fixture(scope="module")
def shop(tmp_path_factory):
    path = tmp_path_factory.mktemp("interop") / "shop"
    db = Quarn(str(path))
    db.insert_many("users", USERS)
    db.insert_many("orders", ORDERS)
    db.write_all()
    return path


def test_pandas_reads_a_collection_file(shop):
    pandas = need("pandas")
    # Without precise_float, pandas' own parser may be off in a float's last digit.
    frame = pandas.read_json(shop / "users.json", precise_float=True)
    assert len(frame) == len(USERS) and frame["id"].tolist() == [d["id"] for d in USERS]
    assert frame["score"].tolist() == [d["score"] for d in USERS]
    assert {c: str(frame[c].dtype) for c in ["id", "group", "score", "active"]} == {
        "id": "int64", "group": "int64", "score": "float64", "active": "bool"}
    assert frame["address"].tolist() == [d["address"] for d in USERS]  # nested objects stay dicts
    assert str(frame["field0"].dtype) == "object"  # numbers, strings and nulls mixed
    flat = pandas.json_normalize(json.loads((shop / "users.json").read_text()))
    city = USERS[0]["address"]["city"]
    assert len(flat[flat["address.city"] == city]) == len(Quarn(str(shop)).find("users", {"address.city": city}))


def test_polars_reads_a_collection_file(shop):
    polars = need("polars")
    frame = polars.read_json(shop / "users.json")
    assert frame.height == len(USERS)
    assert (frame.schema["id"], frame.schema["score"]) == (polars.Int64, polars.Float64)
    assert frame.schema["address"] == polars.Struct({"city": polars.String,
                                                     "geo": polars.Struct({"lat": polars.Float64, "lon": polars.Float64})})
    assert frame.select("address", "tags").to_dicts() == [{"address": d["address"], "tags": d["tags"]} for d in USERS]
    assert frame.schema["field0"] == polars.String  # numbers, strings and nulls mixed: numbers as text
    assert frame["field0"].drop_nulls().str.contains(r"^-?\d+$").any()
    city = USERS[0]["address"]["city"]
    db, col = Quarn(str(shop)), polars.col
    for query, condition in [
        ({"address.city": city}, col("address").struct.field("city") == city),
        ({"score": {"$gte": 20}, "score.$lt": 30}, col("score").is_between(20, 30, closed="left")),
        ({"group": {"$ne": 42}}, col("group") != 42),
    ]:
        assert frame.filter(condition)["id"].to_list() == [d["id"] for d in db.find("users", query)], query


def test_duckdb_reads_a_collection_file_and_a_directory(shop):
    duckdb = need("duckdb")
    db = Quarn(str(shop))
    city = USERS[0]["address"]["city"]
    paris = duckdb.sql(f"SELECT id FROM read_json('{shop}/users.json') WHERE address.city = '{city}' ORDER BY id")
    assert [row[0] for row in paris.fetchall()] == [d["id"] for d in db.find("users", {"address.city": city})]
    types = dict(duckdb.sql(f"SELECT column_name, column_type FROM (DESCRIBE SELECT * FROM read_json('{shop}/users.json'))").fetchall())
    assert (types["id"], types["score"], types["field0"]) == ("BIGINT", "DOUBLE", "JSON")
    # Several collections at once: a glob over the directory.
    per_file = duckdb.sql(f"SELECT parse_filename(filename, true), count(*) FROM read_json('{shop}/*.json', "
                          "filename = true, union_by_name = true) GROUP BY ALL ORDER BY 1").fetchall()
    assert per_file == [("orders", len(ORDERS)), ("users", len(USERS))]


def test_a_collection_never_written_reads_as_one_row_until_written(shop):
    duckdb = need("duckdb")
    db = Quarn(str(shop))
    db.create_collection("drafts")
    query = f"SELECT count(*) FROM read_json('{shop}/drafts.json')"
    assert (shop / "drafts.json").read_text() == '{ "drafts":[] }'
    assert duckdb.sql(query).fetchall() == [(1,)]  # one object, not an empty table
    db.write("drafts")
    assert duckdb.sql(query).fetchall() == [(0,)]
    db.drop_collection("drafts")


# Beyond one machine: quarn's query operators as Spark DataFrame filters.

def spark_filters(F, documents):
    """(quarn query, the same as a Spark column expression) for each operator and a
    dotted path: bench/'s equality, range and nested queries among them."""
    queries = queries_for(documents)
    city = queries["find_nested"][2]
    low, high = queries["find_range"][2]
    return [
        ({"group": 42}, F.col("group") == 42),
        ({"score": {"$gte": low}, "score.$lt": high}, (F.col("score") >= low) & (F.col("score") < high)),
        ({"address.city": city}, F.col("address.city") == city),
        ({"group": {"$ne": 42}}, F.col("group") != 42),
        ({"score": {"$gt": 90}}, F.col("score") > 90),
        ({"score": {"$lte": 5}}, F.col("score") <= 5),
        ({"address.geo.lat": {"$lt": -80}, "active": True}, (F.col("address.geo.lat") < -80) & F.col("active")),
    ]


@pytest.fixture(scope="module")
def spark():
    need("pyspark")
    from pyspark.sql import SparkSession

    session = (SparkSession.builder.master("local[2]").appName("quarn-interop")
               .config("spark.ui.enabled", "false").config("spark.sql.shuffle.partitions", "2").getOrCreate())
    session.sparkContext.setLogLevel("ERROR")
    yield session
    session.stop()


def test_spark_filters_select_what_quarn_finds(spark, shop, tmp_path):
    from pyspark.sql import functions as F

    exported = tmp_path / "users.jsonl"
    result = subprocess.run([*quarn_command(), str(shop), "export", "users", "-o", str(exported)],
                            capture_output=True, env=child_env(), timeout=120)
    assert result.returncode == 0 and result.stdout == f"{len(USERS)}\n".encode(), result.stderr
    typed = spark.read.json(str(exported))  # the schema Spark infers from the lines
    assert dict(typed.dtypes)["address"] == "struct<city:string,geo:struct<lat:double,lon:double>>"
    # Each line kept as text beside its typed columns, to compare whole documents.
    lines = spark.read.text(str(exported)).select("value", F.from_json("value", typed.schema).alias("d")).select("value", "d.*")
    db = Quarn(str(shop))
    for query, condition in spark_filters(F, USERS):
        found = db.find("users", query)
        rows = lines.filter(condition).orderBy("id").select("value").collect()
        assert len(found) > 0 and len(rows) == len(found), query
        assert [json.loads(row.value) for row in rows] == sorted(found, key=lambda d: d["id"]), query
