"""The fsoe_ pytest fixtures (this suite runs with the installed plugin) and the
black-channel campaign."""

import random
import subprocess
import sys

import pytest

import tarnwick
from virtual_slave import campaign
from virtual_slave.testing import assert_fail_safe_within, assert_reconnects_within


def test_the_fixtures_give_pairs_in_data_and_the_helpers_time_a_drop(fsoe_pair, fsoe_network):
    assert fsoe_pair.in_data() and fsoe_network.connections == (fsoe_pair,)
    fsoe_pair.device.stop()
    assert assert_fail_safe_within(fsoe_network, fsoe_pair, 100) <= 2
    with pytest.raises(AssertionError, match="no reconnection within 30 cycles"):
        assert_reconnects_within(fsoe_network, fsoe_pair, 30)
    fsoe_pair.device.start()
    assert 0 < assert_reconnects_within(fsoe_network, fsoe_pair, 200) < 200


def test_pairs_of_any_size_run_side_by_side(fsoe_pairs, fsoe_network):
    pairs = fsoe_pairs(2, 16) + fsoe_pairs(1, 1, in_bytes=4)
    assert [(p.device.rx_bytes, p.device.tx_bytes) for p in pairs] == [(16, 16)] * 2 + [(1, 4)]
    pairs[0].device.stop()
    fsoe_network.run(3)
    assert [p.in_data() for p in pairs] == [False, True, True]


def test_loading_the_plugin_imports_no_extension_and_starts_no_thread():
    code = (
        "import sys, threading, virtual_slave.pytest_plugin\n"
        "loaded = [m for m in ('tarnwick', 'virtual_slave.brisel') if m in sys.modules]\n"
        "assert not loaded and threading.active_count() == 1, (loaded, threading.enumerate())\n"
    )
    subprocess.run([sys.executable, "-c", code], check=True)


def test_a_short_campaign_accepts_nothing_it_must_not(capsys):
    assert campaign.main(["--trials", "2", "--sizes", "1,16", "--seed", "5"]) == 0
    table = capsys.readouterr().out
    assert "FAIL" not in table
    for name in campaign.CLASSES:
        assert f"\n{name} " in table


@pytest.mark.parametrize("args", [["--trials", "0"], ["--sizes", "3"], ["--classes", "bogus"]])
def test_campaign_arguments_are_checked(args):
    with pytest.raises(SystemExit) as ended:
        campaign.main(args)
    assert ended.value.code == 2


class PassThrough:
    """A link that changes nothing: it only makes the network step in Python."""

    def request(self, frame):
        return frame

    def reply(self, frame):
        return frame

    def step(self):
        pass


@pytest.mark.parametrize("sizes", [[(1, 1), (16, 16)], [(2, 8), (4, 1), (16, 2)]])
def test_the_native_step_is_the_python_step(sizes):
    from virtual_slave import Network
    from virtual_slave.testing import add_pair

    def run(link):
        random.seed(4)  # the masters' session ids
        net = Network()
        try:
            pairs = [add_pair(net, o, i, link=link(), connect=False) for o, i in sizes]
            frames = []
            for cycle in range(120):
                if cycle == 60:
                    pairs[0].device.stop()  # a pulled device: fail-safe, then back
                if cycle == 65:
                    pairs[0].device.start()
                net.step()
                frames.append([p.master.get_request() for p in pairs])
            return frames, [p.history for p in pairs]
        finally:
            for p in net.connections:
                p.master.delete()

    native = run(lambda: None)
    assert [cls for _, cls in native[1][0]].count(tarnwick.StateData) == 2
    assert run(PassThrough) == native


def test_a_raising_device_hook_is_reported_and_the_other_pairs_step_on(fsoe_pairs, fsoe_network):
    from virtual_slave import NetworkError

    first, second = fsoe_pairs(2)

    def hook(device):
        raise RuntimeError("hook")

    first.device.on_cycle = hook
    with pytest.raises(NetworkError) as raised:
        fsoe_network.step()
    assert [(c, str(e)) for c, e in raised.value.failures] == [(first, "hook")]
    first.device.on_cycle = None
    fsoe_network.run(5)
    assert first.in_data() and second.in_data()


@pytest.mark.parametrize(
    "options, error, text",
    [
        ({"out_bytes": 0}, ValueError, "out_bytes must be 1 to 16, got 0"),
        ({"out_bytes": 17}, ValueError, "out_bytes must be 1 to 16, got 17"),
        ({"out_bytes": "4"}, TypeError, "out_bytes must be an int, got str"),
        ({"in_bytes": -1}, ValueError, "in_bytes must be 1 to 16, got -1"),
        ({"connection_id": 70000}, ValueError, "connection_id must be 1 to 65535"),
        ({"connection_id": 1}, ValueError, "connection id 1 is already used"),
        ({"slave_address": True}, TypeError, "slave_address must be an int, got bool"),
    ],
)
def test_pairs_are_checked_where_they_are_made(fsoe_network, fsoe_add_pair, options, error, text):
    fsoe_add_pair()
    with pytest.raises(error, match=text):
        fsoe_add_pair(**options)
    assert len(fsoe_network.connections) == 1


def test_a_new_pair_never_reuses_an_id_and_a_link_serves_one_connection(fsoe_network, fsoe_pairs):
    from virtual_slave import Link

    first, second = fsoe_pairs(2)
    fsoe_network.remove(first)
    third = fsoe_pairs(1)[0]
    assert [c.name for c in fsoe_network.connections] == ["pair 2", "pair 3"]
    first.master.delete()
    link = Link()
    fsoe_pairs(1, link=link)
    with pytest.raises(ValueError, match="one link per connection"):
        fsoe_pairs(1, link=link)
    assert third.in_data() and second.in_data()
