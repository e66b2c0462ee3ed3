"""The sweep's Ray session: an address that does not answer is refused at once, and what is
started is shut down and cleaned up on every way out, a start cut short included."""

import os
import subprocess
import sys
import textwrap

import pytest

from quorvel.sweep import SweepError
from quorvel.sweep.session import check_answers, ray_descendants, ray_session

WAIT = 30  # seconds any single wait of a test may take


class StubRay:
    """Stands in for the ray module: records the calls, and `init` does what `on_init` says."""

    def __init__(self, on_init=None):
        self.on_init = on_init or (lambda options: None)
        self.calls = []
        self.options = None

    def is_initialized(self):
        return False

    def init(self, **options):
        self.calls.append("init")
        self.options = options
        self.on_init(options)

    def shutdown(self):
        self.calls.append("shutdown")


def raises(error):
    def on_init(options):
        raise error

    return on_init


class TestJoining:
    @pytest.mark.parametrize("address", ["127.0.0.1:1", "ray://127.0.0.1:1"])
    def test_an_address_that_refuses_is_a_one_line_error_and_ray_is_not_asked(self, address):
        ray = StubRay()
        with pytest.raises(SweepError) as refused:
            with ray_session(ray, address, None):
                pass
        assert str(refused.value) == f"cannot reach a Ray cluster at {address}: Connection refused"
        assert ray.calls == []

    def test_an_address_without_a_port_is_left_to_ray(self):
        check_answers("auto")  # nothing to try; Ray finds its cluster itself

    def test_an_answering_address_is_joined_and_left(self):
        import socket

        with socket.create_server(("127.0.0.1", 0)) as server:
            address = f"127.0.0.1:{server.getsockname()[1]}"
            ray = StubRay()
            with ray_session(ray, address, None):
                assert ray.options["address"] == address
        assert ray.calls == ["init", "shutdown"]


class TestStartingHere:
    def test_session_files_go_into_a_directory_of_its_own_removed_after(self):
        ray = StubRay(lambda options: open(os.path.join(options["_temp_dir"], "log"), "w").close())
        with ray_session(ray, None, 3):
            temp_dir = ray.options["_temp_dir"]
            assert os.path.basename(temp_dir).startswith("quorvel-ray-")
            assert ray.options["num_cpus"] == 3
        assert ray.calls == ["init", "shutdown"] and not os.path.exists(temp_dir)

    @pytest.mark.parametrize(
        "error, raised",
        [(KeyboardInterrupt(), KeyboardInterrupt), (RuntimeError("no"), SweepError)],
    )
    def test_a_start_cut_short_is_shut_down_and_cleaned_up(self, error, raised):
        ray = StubRay(raises(error))
        with pytest.raises(raised):
            with ray_session(ray, None, None):
                pytest.fail("the block ran without Ray")
        assert ray.calls == ["init", "shutdown"]
        assert not os.path.exists(ray.options["_temp_dir"])

    def test_a_start_that_fails_says_why_in_one_line(self):
        ray = StubRay(raises(RuntimeError("the raylet died\nmore detail")))
        with pytest.raises(SweepError, match="^cannot start Ray: the raylet died$"):
            with ray_session(ray, None, None):
                pass

    @pytest.mark.skipif(sys.platform != "linux", reason="found through /proc")
    def test_a_ray_process_orphaned_by_the_session_is_ended_with_it(self):
        # As a raylet does: a process that starts an agent, then dies before it.
        orphaning = textwrap.dedent("""
            import subprocess, sys
            sleep = [sys.executable, "-c", "import time; time.sleep(300)", "ray::Agent"]
            agent = subprocess.Popen(sleep, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            print(agent.pid, flush=True)
        """)
        agents = []

        def start(options):
            started = subprocess.run(
                [sys.executable, "-c", orphaning], capture_output=True, text=True, timeout=WAIT
            )
            agents.append(int(started.stdout))

        with ray_session(StubRay(start), None, None):
            assert agents[0] in ray_descendants()  # adopted once its parent died
        with pytest.raises(ProcessLookupError):
            os.kill(agents[0], 0)
