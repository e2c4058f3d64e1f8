"""What every kind of feature store promises a run, checked the same way on
each: a local folder, and a location at an fsspec URL (memory://, which
behaves as an object store does: no renames, no links)."""

import pickle
import uuid

import numpy as np
import pytest

from vexolin.batch.store import (LocalStore, StoreError, broken_entries, check_store, create_store, entry_key,
                                 open_store, read_table, stored_params, write_table)
from vexolin.batch.store._zarr_entry import encode_entry


@pytest.fixture(params=["local folder", "memory:// URL"])
def store(request, tmp_path):
    if request.param == "local folder":
        return LocalStore(str(tmp_path / "store.zarr"))
    return open_store(f"memory://contract/{uuid.uuid4().hex}/store.zarr", {})


def attrs_of(source, frames):
    return {"source": source, "size": 100, "mtime_ns": 1, "frames": frames, "sr": 22050, "duration": 0.5,
            "compute_seconds": 0.0, "channels": 1}


def test_every_store_keeps_the_contract_a_run_relies_on(store):
    params = {"feature": "chroma", "hop_length": 512}
    assert not store.exists() and not check_store(store, params)
    with store.lock() as owner:
        assert store.lock_owner() == owner
        with pytest.raises(StoreError, match="another run"), store.lock():
            pass
        create_store(store, params, "test")
        assert check_store(store, params) and stored_params(store) == params
        with pytest.raises(StoreError, match="holds features made with hop_length=512"):
            check_store(store, {**params, "hop_length": 256})

        # An entry is whole once placed (a store that writes in place stages nothing);
        # one staged and dropped never appears.
        values = np.arange(12 * 5, dtype=np.float32).reshape(12, 5)
        kept, dropped = "/music/kept.wav", "/music/dropped.wav"
        staged = store.stage_entry(entry_key(kept), encode_entry(values, attrs_of(kept, 5)).items())
        if staged is not None:
            assert kept not in store.scan().whole
            store.place_entries([staged], fsync=True)
        other = store.stage_entry(entry_key(dropped), encode_entry(values, attrs_of(dropped, 5)).items())
        if other is not None:
            store.drop_staged([other])
            assert dropped not in store.scan().whole
            assert store.entry_attrs(entry_key(dropped)) is None
        scan = store.scan()
        assert kept in scan.whole and not scan.damaged
        np.testing.assert_array_equal(store.read_entry(entry_key(kept)), values)
        assert store.entry_attrs(entry_key(kept))["frames"] == 5
        assert broken_entries(store, scan, [kept]) == {}

        # Sent to a cluster's task, it is the same store.
        copy = pickle.loads(pickle.dumps(store))
        assert copy == store and str(copy) == str(store)
        np.testing.assert_array_equal(copy.read_entry(entry_key(kept)), values)

        write_table(store, [{"path": kept, "status": "done", "frames": 5, "error": None}])
        [row] = read_table(store)
        assert (row["path"], row["status"], row["frames"], row["error"]) == (kept, "done", "5", "")
        store.remove_entry(entry_key(kept))
        assert store.entry_attrs(entry_key(kept)) is None and kept not in store.scan().whole
    assert store.lock_owner() is None
