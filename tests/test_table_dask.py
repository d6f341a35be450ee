"""tavrinex.dask.read_excel on a distributed LocalCluster of worker
processes: the same frame as the read_table results put together."""

import datetime

import pytest

pd = pytest.importorskip("pandas")
pytest.importorskip("dask.dataframe")
distributed = pytest.importorskip("distributed")
xlsxwriter = pytest.importorskip("xlsxwriter")

import tavrinex  # noqa: E402
import tavrinex.dask  # noqa: E402


def write_books(folder, count):
    paths = []
    for k in range(count):
        path = folder / f"book{k:02}.xlsx"
        wb = xlsxwriter.Workbook(str(path))
        day = wb.add_format({"num_format": "yyyy-mm-dd"})
        ws = wb.add_worksheet("Data")
        ws.write_row(0, 0, ["book", "n", "share", "label", "day"])
        for r in range(1, 31):
            ws.write_number(r, 0, k)
            ws.write_number(r, 1, r)
            ws.write_number(r, 2, r / 4)
            ws.write_string(r, 3, f"label {(k * r) % 11}")
            ws.write_datetime(r, 4, datetime.datetime(2024, 1, 1) + datetime.timedelta(days=k + r),
                              day)
        wb.close()
        paths.append(path)
    return paths


@pytest.fixture(scope="module")
def cluster():
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=":0", silence_logs=40) as cluster, \
            distributed.Client(cluster) as client:
        yield client


def test_dask_frame_over_twenty_workbooks(tmp_path, cluster):
    paths = write_books(tmp_path, 20)
    frame = tavrinex.dask.read_excel(str(tmp_path / "book*.xlsx"))
    assert frame.npartitions == 20
    assert list(frame.columns) == ["book", "n", "share", "label", "day"]
    got = frame.compute().reset_index(drop=True)
    expected = pd.concat([tavrinex.read_table(p).to_pandas() for p in paths],
                         ignore_index=True)
    # (Dask keeps text in its own string dtype)
    expected["label"] = expected["label"].astype(got["label"].dtype)
    pd.testing.assert_frame_equal(got, expected)
    # the work ran in the worker processes
    assert len(cluster.scheduler_info()["workers"]) == 2
    assert frame["n"].sum().compute() == 20 * sum(range(1, 31))


def test_dask_options_and_missing_files(tmp_path):
    paths = write_books(tmp_path, 2)
    frame = tavrinex.dask.read_excel(paths, columns=["book", "share"], n_rows=5)
    assert frame.compute(scheduler="sync").shape == (10, 2)
    with pytest.raises(FileNotFoundError, match="no workbook matches"):
        tavrinex.dask.read_excel(str(tmp_path / "none*.xlsx"))
