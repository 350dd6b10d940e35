"""The fsoe_ pytest fixtures (this suite runs with the installed plugin) and the
black-channel campaign."""

import subprocess
import sys

import pytest

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
