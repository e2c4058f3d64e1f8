"""Fixtures the test modules share: Dask clusters of two worker processes."""

import functools

import pytest


@pytest.fixture(scope="session")
def new_cluster():
    """Starts a fresh ``LocalCluster`` of two one-thread worker processes on
    loopback (keywords added or overridden), for a test that kills or loses one."""
    from distributed import LocalCluster

    return functools.partial(LocalCluster, n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                             dashboard_address=":0")


@pytest.fixture(scope="session")
def dask_client(new_cluster):
    """A client of one such cluster, shared by the tests that only run on it."""
    from distributed import Client

    with new_cluster() as cluster, Client(cluster) as client:
        yield client
