"""Records from many XML files into one table, parsed in parallel on a Dask cluster.

    python examples/dask_records.py --output records.parquet DIR_OR_FILE ...
    python examples/dask_records.py --scheduler tcp://HOST:8786 --output records.parquet DIR ...

Without --scheduler it starts a local cluster of --workers processes. Needs
`pip install 'tamarack[dask]'` (dask.distributed, pandas and pyarrow).

Each file is parsed where it is processed, inside a worker, and only plain data
travels back: a pandas DataFrame of str, int and float columns. A Document and
its Elements cannot travel at all (they refuse pickling): they are views of a
parsed document that lives in one process's memory. With a remote cluster the
files must be readable by the workers under the same paths (a shared file
system).
"""

from __future__ import annotations

import argparse
import os
import sys
from collections.abc import Iterable, Sequence
from typing import TYPE_CHECKING

import pandas as pd

from tamarack.pugixml import Document

if TYPE_CHECKING:
    from dask.distributed import Client

# The table's columns and the type each value is converted to.
COLUMNS: dict[str, type] = {
    "file": str, "id": int, "sku": str, "price": float, "currency": str,
    "title": str, "vendor": str, "country": str, "stock": int,
}


def records_of_file(path: str) -> pd.DataFrame:
    """One row per <record> element of the file; runs in a worker."""
    with open(path, encoding="utf-8") as file:
        text = file.read()
    document = Document()
    document.load_string(text)
    rows = []
    for record in document.xpath_findall("/catalog/record"):
        fields = record.attributes
        children = {child.name: child for child in record}
        vendor = children["vendor"]
        rows.append({
            "file": path,
            "id": fields["id"],
            "sku": fields["sku"],
            "price": fields["price"],
            "currency": fields["currency"],
            "title": children["title"].text or "",
            "vendor": vendor.text or "",
            "country": vendor.attributes.get("country", ""),
            "stock": children["stock"].text,
        })
    table = pd.DataFrame(rows, columns=list(COLUMNS))
    return table.astype(COLUMNS)


def records_table(paths: Sequence[str], client: Client | None = None) -> pd.DataFrame:
    """The records of every file, in the order of `paths`: on the cluster behind
    `client`, or in this process when it is None."""
    if client is None:
        frames = [records_of_file(path) for path in paths]
    else:
        # One task per file; what comes back is each file's DataFrame.
        frames = client.gather(client.map(records_of_file, paths))
    if not frames:
        return pd.DataFrame(columns=list(COLUMNS)).astype(COLUMNS)
    return pd.concat(frames, ignore_index=True)


def xml_files(names: Iterable[str]) -> list[str]:
    """Files as given, and every *.xml file under a directory, in sorted order."""
    found: list[str] = []
    for name in names:
        if not os.path.isdir(name):
            found.append(name)
            continue
        found.extend(sorted(os.path.join(parent, file) for parent, _, files in os.walk(name)
                            for file in files if file.endswith(".xml")))
    return found


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--scheduler", metavar="ADDRESS",
                        help="address of a running scheduler, such as tcp://HOST:8786")
    parser.add_argument("--workers", type=int, default=2,
                        help="worker processes of the local cluster (without --scheduler)")
    parser.add_argument("--output", required=True, help="the Parquet file to write")
    parser.add_argument("inputs", nargs="+", metavar="DIR_OR_FILE")
    options = parser.parse_args(argv)

    from dask.distributed import Client, LocalCluster

    paths = [os.path.abspath(path) for path in xml_files(options.inputs)]
    if options.scheduler:
        with Client(options.scheduler) as client:
            table = records_table(paths, client)
    else:
        with LocalCluster(n_workers=options.workers, threads_per_worker=1, processes=True,
                          dashboard_address=None) as cluster, Client(cluster) as client:
            table = records_table(paths, client)
    table.to_parquet(options.output, index=False)
    print(f"{len(table)} records from {len(paths)} files written to {options.output}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
