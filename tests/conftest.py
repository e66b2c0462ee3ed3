"""Fixtures shared by the test folders."""

import shutil
import tempfile
import threading

import pytest

# Ray's first start is slow on a shared machine, but never this slow: a start still going then
# is stuck (one was, for more than ten minutes, deaf to Ctrl-C).
RAY_START_LIMIT = 180


@pytest.fixture(scope="session")
def ray_session():
    """Ray on two cores, started once for the whole run.

    A start that takes longer than `RAY_START_LIMIT` seconds is cut short: a
    watchdog ends the Ray processes it started, so that `ray.init` fails and
    the tests that need Ray fail with it, instead of the run hanging.
    """
    ray = pytest.importorskip("ray")
    from quorvel.sweep.session import end_processes, ray_descendants

    temp_dir = tempfile.mkdtemp(prefix="ray-")  # short: Ray's socket paths must stay short
    before = ray_descendants()
    expired = threading.Event()

    def cut_short():
        expired.set()
        end_processes(ray_descendants(outside=before))

    watchdog = threading.Timer(RAY_START_LIMIT, cut_short)
    watchdog.start()
    try:
        ray.init(
            num_cpus=2,
            include_dashboard=False,
            log_to_driver=False,
            _temp_dir=temp_dir,
            configure_logging=False,
        )
    except Exception:
        if not expired.is_set():
            raise
    finally:
        watchdog.cancel()
    if expired.is_set():
        ray.shutdown()
        shutil.rmtree(temp_dir, ignore_errors=True)
        pytest.fail(f"Ray did not start within {RAY_START_LIMIT} s; its processes were ended")
    yield ray
    ray.shutdown()
    shutil.rmtree(temp_dir, ignore_errors=True)
